"""The walk of a local tree: one for tree uploads, their plans and sync.

A walk reads one folder at a time with the host's ``os.listdir`` and follows
links (``os.stat``). It keeps the folders it is inside by (device, inode): a
link back into one of them is skipped with a warning, never read again nor
taken as a file, and so is an entry that is neither a folder nor a regular
file (a FIFO would hang whoever opened it). A walk deeper than the recursion
limit ends in RecursionError.

``upload`` gives ``_upload_dir`` its files; the extension drives it and hands
each file to the call's executor. Each folder of the tree is either read here
(depth first, a folder finished before the next entry of its parent) or, where
a subclass may see it (``through_self``), handed back so that the extension
calls ``self._upload_dir`` for it, which joins this walk. Sync reads folders
through ``entries`` with a policy of its own.
"""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Callable, Iterator
from typing import Any

from zarnel import messages

__all__ = ["Walk"]

Status = os.stat_result | OSError | ValueError


class Walk:
    """One walk, shared by the levels of one tree call; not thread-safe."""

    def __init__(self, owner: Any, through_self: bool = False) -> None:
        self.owner = owner  # whose ``_log`` takes the warnings
        self.through_self = through_self  # see ``upload``
        self.inside: list[tuple[int, int] | None] = []  # the folders being read

    def enter(self, folder: str) -> None:
        """Marks ``folder`` as being read, once its depth is allowed."""
        if len(self.inside) >= sys.getrecursionlimit():
            raise RecursionError("maximum recursion depth exceeded while walking a directory tree")
        status = _status(folder)
        known = isinstance(status, os.stat_result) and status.st_ino != 0
        self.inside.append((status.st_dev, status.st_ino) if known else None)

    def leave(self) -> None:
        self.inside.pop()

    def entries(
        self, folder: str, ordered: bool = False, take: Callable[[str, str], bool] | None = None
    ) -> Iterator[tuple[str, str, Status]]:
        """(name, path, status) of each entry of ``folder``: a folder not
        being read, a regular file, or one whose status could not be read
        (its error in place of the status). Listed now (an error of the
        listing is raised here), in the listing's order or by name
        (``ordered``); a name that ``take(name, path)`` refuses is passed
        over before its status is read."""
        names = os.listdir(folder)
        if ordered:
            names.sort()
        return self._entries(folder, names, take)

    def _entries(
        self, folder: str, names: list[str], take: Callable[[str, str], bool] | None
    ) -> Iterator[tuple[str, str, Status]]:
        log = self.owner._log
        for name in names:
            path = os.path.join(folder, name)
            if take is not None and not take(name, path):
                continue
            status = _status(path)
            if isinstance(status, os.stat_result):
                if stat.S_ISDIR(status.st_mode):
                    if status.st_ino and (status.st_dev, status.st_ino) in self.inside:
                        log.warning(messages.CYCLE_SKIPPED.format(path))
                        continue
                elif not stat.S_ISREG(status.st_mode):
                    log.warning(messages.NOT_A_FILE_SKIPPED.format(path))
                    continue
            yield name, path, status

    def upload(
        self, folder: str, base_dir: Any
    ) -> Iterator[tuple[str, str, int | None] | tuple[str, str]]:
        """The files under ``folder`` as ``_upload_dir(bucket_name, folder,
        parallel, base_dir)`` names them: (object name, path, size; None
        where the status could not be read, a dangling link say). Its prefix
        is ``base_dir`` or else the last "/"-separated piece of ``folder``,
        backslashes read as "/"; each level adds the host's path join of the
        prefix and the name, backslashes again read as "/". With
        ``through_self`` each folder is given as (path, prefix) instead of
        being read here, for the caller to hand to ``_upload_dir``."""
        prefix = base_dir if base_dir else folder.replace("\\", "/").split("/")[-1]
        levels: list[tuple[str, Iterator[tuple[str, str, Status]]]] = []
        depth = len(self.inside)
        try:
            self.enter(folder)
            levels.append((prefix, self.entries(folder)))
            while levels:
                prefix, entries = levels[-1]
                entry = next(entries, None)
                if entry is None:
                    levels.pop()
                    self.leave()
                    continue
                name, path, status = entry
                key = os.path.join(prefix, name).replace("\\", "/")
                if not isinstance(status, os.stat_result):
                    yield key, path, None
                elif not stat.S_ISDIR(status.st_mode):
                    yield key, path, status.st_size
                elif self.through_self:
                    yield path, key
                else:
                    self.enter(path)
                    levels.append((key, self.entries(path)))
        finally:
            del self.inside[depth:]  # also when a level failed or was abandoned


def _status(path: str) -> Status:
    """os.stat() of ``path``, links followed, or the error it raised."""
    try:
        return os.stat(path)
    except (OSError, ValueError) as error:
        return error
