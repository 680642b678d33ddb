"""The framework logger: a thin adapter over the standard ``logging`` module.

Every ``ZarnelLog`` writes through the logger named "zarnel", so a host
configures it like any other library logger. With ``file=True`` the records
are also appended to a log file, by default ``zarnel.log`` in
``$XDG_STATE_HOME/zarnel`` (``~/.local/state/zarnel`` when unset); ``path``
names another file.
"""

from __future__ import annotations

import logging
import os
import threading
from pathlib import Path
from typing import Any

__all__ = ["LOGGER_NAME", "ZarnelLog", "default_log_path"]

LOGGER_NAME = "zarnel"

_file_handlers: dict[str, logging.Handler] = {}
_file_lock = threading.Lock()


def default_log_path() -> Path:
    """Where ``ZarnelLog(file=True)`` writes when no path is given."""
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(
        os.path.expanduser("~"), ".local", "state"
    )
    return Path(state) / "zarnel" / "zarnel.log"


def _file_handler(path: Path) -> logging.Handler:
    # One handler per file, however many loggers write to it.
    key = str(path.resolve())
    with _file_lock:
        handler = _file_handlers.get(key)
        if handler is None:
            path.parent.mkdir(parents=True, exist_ok=True)
            handler = logging.FileHandler(path, encoding="utf-8", delay=True)
            handler.setFormatter(
                logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s")
            )
            _file_handlers[key] = handler
        return handler


class ZarnelLog:
    """A logger; each method takes one value of any kind and records it."""

    def __init__(self, file: bool = False, path: str | os.PathLike[str] | None = None):
        self.logger = logging.getLogger(LOGGER_NAME)
        self.path: Path | None = None
        if file:
            self.path = Path(path) if path is not None else default_log_path()
            handler = _file_handler(self.path)
            if handler not in self.logger.handlers:
                self.logger.addHandler(handler)

    def _log(self, level: int, value: Any) -> None:
        # "%s" defers str() until a handler wants the text, and lets values
        # that are not text (an error record, say) be logged as they are.
        if self.logger.isEnabledFor(level):
            self.logger.log(level, "%s", value, stacklevel=3)

    def debug(self, value: Any) -> None:
        self._log(logging.DEBUG, value)

    def info(self, value: Any) -> None:
        self._log(logging.INFO, value)

    def warning(self, value: Any) -> None:
        self._log(logging.WARNING, value)

    def error(self, value: Any) -> None:
        self._log(logging.ERROR, value)

    def __repr__(self) -> str:
        where = f", file={str(self.path)!r}" if self.path else ""
        return f"ZarnelLog(logger={LOGGER_NAME!r}{where})"
