"""The SSH tunnel (placeholder until the OpenSSH-based tunnel lands)."""

from __future__ import annotations

from typing import Any

__all__ = ["ZarnelSSH"]


class ZarnelSSH:
    def __init__(self, mapping: dict[str, Any]) -> None:
        self._mapping = dict(mapping)

    def connect(self) -> Any:
        raise NotImplementedError("ssh tunnels are not available yet")
