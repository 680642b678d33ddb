"""What interrupted transfers leave behind when nothing resumes them, removed.

A resumed transfer keeps its state where the next call finds it: an upload in
parts stays unfinished on the store (storage that no listing shows), a
download in pieces keeps its temporary file and journal beside its target.
``abort_uploads`` drops the store's unfinished uploads under a prefix begun
before a given age; ``clean_partials`` removes the temporary files and
journals under a folder last written before it. Both return what they removed
(with ``dry_run``, what they would remove, removing nothing).
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import fcntl
import os
import re
import stat
import time
from collections.abc import Iterator
from typing import Any

__all__ = ["AbortedUpload", "abort_uploads", "clean_partials"]

# The engine's temporary file of a download (".zarnel-<16 hex>.part") and a
# resumed one's journal beside it (the same name and ".resume").
PARTIAL = re.compile(r"\.zarnel-[0-9a-f]{16}\.part(?:\.resume)?")
DEFAULT_AGE = datetime.timedelta(days=1)


@dataclasses.dataclass(frozen=True)
class AbortedUpload:
    """An unfinished upload in parts: its object's name, its id, when the
    store says it began."""

    object_name: str
    upload_id: str
    initiated: datetime.datetime


def _seconds(older_than: object) -> float:
    if isinstance(older_than, datetime.timedelta):
        seconds = older_than.total_seconds()
    elif isinstance(older_than, (int, float)) and not isinstance(older_than, bool):
        seconds = float(older_than)
    else:
        raise TypeError(
            f"older_than must be a timedelta or seconds, not {type(older_than).__name__}"
        )
    if not seconds >= 0:  # NaN too
        raise ValueError(f"older_than must not be negative, not {older_than!r}")
    return seconds


def abort_uploads(
    owner: Any,
    bucket_name: str,
    prefix: str = "",
    older_than: datetime.timedelta | float = DEFAULT_AGE,
    dry_run: bool = False,
) -> list[AbortedUpload]:
    """Aborts the unfinished uploads of the names under ``prefix`` that the
    store says began more than ``older_than`` ago (by this machine's clock);
    one whose start the store does not give is kept."""
    cutoff = datetime.datetime.now(datetime.UTC) - datetime.timedelta(seconds=_seconds(older_than))
    client = owner._engine
    old: list[AbortedUpload] = []
    key_marker = upload_id_marker = None
    while True:
        page = client._list_multipart_uploads(
            bucket_name, prefix=prefix, key_marker=key_marker, upload_id_marker=upload_id_marker
        )
        for upload in page.uploads:
            began = upload.initiated_time
            if upload.upload_id and began is not None and began < cutoff:
                old.append(AbortedUpload(upload.object_name, upload.upload_id, began))
        if not page.is_truncated or not page.uploads:
            break
        # The page's last upload: the storage client does not keep the
        # answer's NextUploadIdMarker.
        last = page.uploads[-1]
        key_marker, upload_id_marker = last.object_name, last.upload_id
    if not dry_run:
        for upload in old:
            client._abort_multipart_upload(bucket_name, upload.object_name, upload.upload_id)
            owner._log.info(f"_abort_uploads: {upload.object_name!r} ({upload.upload_id}) aborted")
    return old


@contextlib.contextmanager
def _unless_held(path: str) -> Iterator[bool]:
    """Whether no download that resumes holds the temporary file ``path``
    (its lock), which is then held here until the block ends: none starts
    on it meanwhile."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        yield True  # gone, or no file to hold
        return
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            yield False
            return
        yield True
    finally:
        os.close(fd)


def clean_partials(
    owner: Any,
    dir_path: Any,
    older_than: datetime.timedelta | float = DEFAULT_AGE,
    dry_run: bool = False,
) -> list[str]:
    """Removes the downloads' temporary files and journals under
    ``dir_path`` (every level; links not followed) last written more than
    ``older_than`` ago, except those a running download holds. Returns their
    paths."""
    cutoff = time.time() - _seconds(older_than)
    root = os.fsdecode(os.fspath(dir_path))
    if not os.path.isdir(root):
        raise NotADirectoryError(f"not a directory: {root!r}")
    removed: list[str] = []
    for folder, _, files in os.walk(root):
        for name in sorted(files):
            if not PARTIAL.fullmatch(name):
                continue
            path = os.path.join(folder, name)
            try:
                status = os.lstat(path)
            except FileNotFoundError:
                continue  # finished meanwhile
            if status.st_mtime >= cutoff or not stat.S_ISREG(status.st_mode):
                continue
            with _unless_held(path.removesuffix(".resume")) as free:
                if not free:
                    continue
                if not dry_run:
                    try:
                        os.unlink(path)
                    except FileNotFoundError:
                        continue
                    owner._log.info(f"_clean_partials: {path!r} removed")
                removed.append(path)
    return removed
