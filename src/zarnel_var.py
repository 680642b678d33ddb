"""The configuration record: a mapping read by attribute or by ``get``.

A key the record does not hold reads as None, by attribute and by ``get``,
so optional settings need no special casing. Secrets are masked in the repr.
"""

from __future__ import annotations

import copy
import weakref
from typing import Any

__all__ = ["SECRET_KEYS", "ZarnelTunnelVar", "ZarnelVar"]

#: Keys whose values never appear in a repr.
SECRET_KEYS = frozenset({"password", "ssh_password", "ssh_rsa_pwd", "secret_key"})


class ZarnelVar:
    """A configuration record built from keyword arguments."""

    __slots__ = ("_entries",)

    # `self` is positional-only so that any text key, "self" too, is an entry.
    def __init__(self, /, **entries: Any) -> None:
        object.__setattr__(self, "_entries", dict(entries))

    def __getattr__(self, name: str) -> Any:
        # Only called for names that are not methods or slots. Dunder names
        # stay errors so copy, pickle and friends see an ordinary object.
        if name == "_entries" or (name.startswith("__") and name.endswith("__")):
            raise AttributeError(name)
        return self._entries.get(name)

    def __setattr__(self, name: str, value: Any) -> None:
        if name == "_entries":  # restoring a copy
            object.__setattr__(self, name, value)
        else:
            self._entries[name] = value

    def get(self, key: str, default: Any = None) -> Any:
        """The value of ``key``, or ``default`` (None) when absent."""
        return self._entries.get(key, default)

    def set(self, key: str, value: Any) -> None:
        """Store ``value`` under ``key``."""
        self._entries[key] = value

    def todict(self) -> dict[str, Any]:
        """A new plain dict with every entry."""
        return dict(self._entries)

    def __contains__(self, key: object) -> bool:
        return key in self._entries

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ZarnelVar):
            return NotImplemented
        return self._entries == other._entries

    __hash__ = None  # type: ignore[assignment]  # mutable

    def __repr__(self) -> str:
        shown = ", ".join(
            f"{key}={'***' if key in SECRET_KEYS and value is not None else repr(value)}"
            for key, value in self._entries.items()
        )
        return f"{type(self).__name__}({shown})"


class ZarnelTunnelVar(ZarnelVar):
    """A configuration record that keeps a resource (an SSH tunnel) open.

    The resource is closed by ``close()``, when the record is released, and at
    interpreter exit, whichever comes first. Copies are plain ``ZarnelVar``
    records: they hold the entries but not the resource, which still ends
    with this record.
    """

    __slots__ = ("_resource", "_finalizer", "__weakref__")

    def __init__(self, resource: Any, /, **entries: Any) -> None:
        super().__init__(**entries)
        object.__setattr__(self, "_resource", resource)
        # The finalizer holds the resource's close, never the record.
        object.__setattr__(self, "_finalizer", weakref.finalize(self, resource.close))

    @property
    def tunnel(self) -> Any:
        """The resource this record keeps open."""
        return self._resource

    def close(self) -> None:
        """Close the resource now; later calls do nothing."""
        self._finalizer()

    def __enter__(self) -> ZarnelTunnelVar:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __copy__(self) -> ZarnelVar:
        return ZarnelVar(**self._entries)

    def __deepcopy__(self, memo: dict[int, Any]) -> ZarnelVar:
        return ZarnelVar(**copy.deepcopy(self._entries, memo))

    def __reduce__(self) -> tuple[Any, ...]:
        return (_plain_record, (self._entries,))


def _plain_record(entries: dict[str, Any]) -> ZarnelVar:
    return ZarnelVar(**entries)
