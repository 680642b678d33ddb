"""Sync both ways: a local tree and the objects under a prefix, moving only
what changed.

Both sides arrive as streams in key order (the order in which the store lists
keys: UTF-8 bytes, which for text is code point order): the store's listing,
page by page, and a walk that sorts each folder's entries with a folder's name
read as ``name + "/"``. One merge of the two streams decides, name by name,
to copy, to skip or (only on the destination side) to delete, so what is held
does not grow with the tree; only the names to delete wait for the end,
because nothing is deleted unless every copy succeeded.

Copies go through ``zarnel.transfers.Transfers`` over the instance's own
``_upload_file`` / ``_download_file`` (a subclass sees every file); a failed
copy is recorded and the others go on. A sync that could not move every file
raises ``SyncError`` with the report; its ``__cause__`` is the first failure.
"""

from __future__ import annotations

import dataclasses
import hashlib
import logging
import os
import queue
import stat
import time
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from zarnel import messages
from zarnel.transfers import Transfers, check_workers
from zarnel_log import LOGGER_NAME

__all__ = ["SyncError", "SyncReport", "multipart_etag", "sync_down", "sync_up", "walk"]

MIB = 1024 * 1024
# As the storage client cuts a file: one PUT up to 5 MiB, else parts of 5 MiB
# or the multiple of it that keeps the file within 10,000 parts.
MIN_PART_SIZE = 5 * MIB
MAX_PARTS = 10_000
COMPARES = ("mtime", "checksum")

log = logging.getLogger(LOGGER_NAME)


@dataclasses.dataclass
class SyncReport:
    """What one sync did (or, on a dry run, would do)."""

    copied: int = 0
    skipped: int = 0
    deleted: int = 0
    bytes: int = 0
    failed: dict[str, BaseException] = dataclasses.field(default_factory=dict)
    plan: list[tuple[str, str]] = dataclasses.field(default_factory=list)
    seconds: float = 0.0


class SyncError(Exception):
    """A sync that could not do everything it had to; ``.report`` says what
    it did, ``__cause__`` is the first failure (if a copy or a deletion
    failed)."""

    def __init__(self, message: str, report: SyncReport) -> None:
        super().__init__(message)
        self.report = report


@dataclasses.dataclass(slots=True)
class Entry:
    """One file or object: its object name, local path, size and time."""

    name: str
    path: str
    size: int
    mtime: float  # seconds since the epoch
    etag: str = ""


# --- the local side ----------------------------------------------------------


def walk(
    root: str, prefix: str, *, slashes: bool, failed: dict[str, BaseException], owner: Any
) -> Iterator[Entry]:
    """The regular files under ``root`` in key order, named ``prefix`` + their
    relative path ("/" between levels; with ``slashes``, backslashes read as
    "/" as ``_upload_dir`` reads them). Links are followed; a cycle or an
    entry that is no regular file is skipped with a warning; a folder or file
    that cannot be read is put in ``failed`` (so nothing is deleted) and
    skipped. A missing or unreadable ``root`` raises."""
    seen: list[tuple[int, int]] = []

    def level(folder: str, base: str) -> Iterator[Entry]:
        entries = []
        with os.scandir(folder) as listing:
            for item in listing:
                key = item.name.replace("\\", "/") if slashes else item.name
                try:
                    is_dir = item.is_dir()
                except OSError:
                    is_dir = False
                entries.append((key + "/" if is_dir else key, item.name, is_dir))
        entries.sort()
        for key, name, is_dir in entries:
            path = os.path.join(folder, name)
            if is_dir:
                try:
                    status = os.stat(path)
                except OSError as error:
                    failed[base + key] = error
                    continue
                identity = (status.st_dev, status.st_ino)
                if status.st_ino and identity in seen:
                    owner._log.warning(messages.CYCLE_SKIPPED.format(path))
                    continue
                seen.append(identity)
                try:
                    yield from level(path, base + key)
                except OSError as error:
                    failed[base + key] = error
                finally:
                    seen.pop()
                continue
            try:
                status = os.stat(path)
            except OSError as error:  # a dangling link, say
                failed[base + key] = error
                continue
            if not stat.S_ISREG(status.st_mode):
                owner._log.warning(messages.NOT_A_FILE_SKIPPED.format(path))
                continue
            yield Entry(base + key, path, status.st_size, status.st_mtime)

    status = os.stat(root)
    if not stat.S_ISDIR(status.st_mode):
        raise NotADirectoryError(20, "not a directory", root)
    seen.append((status.st_dev, status.st_ino))
    return level(root, prefix)


def file_md5(path: str, size: int) -> str:
    """The ETag the storage client's upload gives ``path``: its MD5, or for a
    file over 5 MiB the MD5 of its parts' MD5s and "-" the part count."""
    part = max(MIN_PART_SIZE, -(-size // MAX_PARTS // MIN_PART_SIZE) * MIN_PART_SIZE)
    with open(path, "rb") as file:
        if size <= MIN_PART_SIZE:
            return hashlib.file_digest(file, "md5").hexdigest()
        return multipart_etag(iter(lambda: file.read(part), b""))


def multipart_etag(parts: Iterable[bytes]) -> str:
    digests = [hashlib.md5(part).digest() for part in parts]
    return f"{hashlib.md5(b''.join(digests)).hexdigest()}-{len(digests)}"


# --- the store's side --------------------------------------------------------


def listing(owner: Any, bucket_name: str, prefix: str, directory: str | None) -> Iterator[Entry]:
    """The objects under ``prefix`` at every depth, page by page; folder
    markers (names ending in "/") left out. With ``directory``, each gets the
    local path below it, and a name that no file there can have is skipped
    with the warning ``_download_dir`` gives."""
    for item in owner._engine.list_objects(bucket_name, prefix=prefix, recursive=True):
        name = item.object_name
        if name.endswith("/") or not name.startswith(prefix):
            continue
        path = ""
        if directory is not None:
            parts = name[len(prefix) :].split("/")
            if not all(map(_stays_inside, parts)):
                owner._log.warning(messages.NAME_SKIPPED.format(name))
                continue
            path = os.path.join(directory, *parts)
        modified = item.last_modified.timestamp() if item.last_modified else 0.0
        yield Entry(name, path, item.size or 0, modified, (item.etag or "").strip('"'))


def _stays_inside(part: str) -> bool:
    # As _download_dir: no ".", "..", separator or drive; nor a NUL or an
    # empty segment ("a//b"), which no file name can hold.
    if part in ("", ".", "..") or "\0" in part:
        return False
    if any(sep and sep in part for sep in (os.sep, os.altsep)):
        return False
    return not os.path.splitdrive(part)[0]


# --- the merge ---------------------------------------------------------------


def merge(
    source: Iterator[Entry], destination: Iterator[Entry]
) -> Iterator[tuple[Entry | None, Entry | None]]:
    """Pairs of (source, destination) entries of the same name, one side None
    where the name is on one side only, in key order. A stream out of order
    would pair wrongly (copy what is there, delete what is wanted): it raises
    RuntimeError instead."""
    done = Entry("", "", 0, 0.0)

    def ordered(stream: Iterator[Entry], side: str) -> Iterator[Entry]:
        last = None
        for entry in stream:
            if last is not None and entry.name <= last:
                raise RuntimeError(
                    f"the {side} is not in key order: {entry.name!r} after {last!r}"
                )
            last = entry.name
            yield entry

    sources, destinations = ordered(source, "source"), ordered(destination, "destination")
    here, there = next(sources, done), next(destinations, done)
    while here is not done or there is not done:
        if there is done or (here is not done and here.name < there.name):
            yield here, None
            here = next(sources, done)
        elif here is done or there.name < here.name:
            yield None, there
            there = next(destinations, done)
        else:
            yield here, there
            here, there = next(sources, done), next(destinations, done)


def changed(source: Entry, destination: Entry, compare: str, local: Entry) -> bool:
    """Whether ``source`` must be copied over ``destination``; ``local`` is
    the one of the two that is a file."""
    if source.size != destination.size:
        return True
    if compare == "mtime":
        # Whole seconds: some stores keep LastModified to the second.
        return int(source.mtime) > int(destination.mtime)
    remote = destination if local is source else source
    if not remote.etag:  # a gateway that lists no ETags
        return True
    return file_md5(local.path, local.size) != remote.etag


# --- copies ------------------------------------------------------------------


class _Copier:
    """The per-file operations handed to Transfers: each calls the instance's
    own, records a failure instead of raising it (one file's failure does not
    stop the others), and queues what was moved for the caller's thread."""

    def __init__(self, owner: Any) -> None:
        self.owner = owner
        self.done: queue.SimpleQueue[tuple[str, int, BaseException | None]] = queue.SimpleQueue()
        self.mtimes: dict[str, float] = {}

    def _upload_file(self, bucket_name: str, object_name: str, file_name: str, parallel: int) -> None:
        try:
            self.owner._upload_file(bucket_name, object_name, file_name, parallel=parallel)
            size = os.stat(file_name).st_size
        except Exception as error:
            self.done.put((object_name, 0, error))
        else:
            self.done.put((object_name, size, None))

    def _download_file(self, bucket_name: str, object_name: str, file_name: str) -> None:
        try:
            self.owner._download_file(bucket_name, object_name, file_name)
            # The object's time on the file, so the next sync sees them equal.
            modified = self.mtimes.pop(object_name)
            os.utime(file_name, (modified, modified))
            size = os.stat(file_name).st_size
        except Exception as error:
            self.done.put((object_name, 0, error))
        else:
            self.done.put((object_name, size, None))


def copy_all(
    owner: Any,
    bucket_name: str,
    upload: bool,
    entries: Iterable[Entry],
    workers: int,
    report: SyncReport,
    progress: Callable[[str, int], object] | None,
) -> None:
    """Copies every entry (up: file to object; down: object to file), up to
    ``workers`` at once, while ``entries`` is still being produced; fills the
    report's counts and failures and calls ``progress`` on this thread."""
    copier = _Copier(owner)

    def drain() -> None:
        while True:
            try:
                name, size, error = copier.done.get_nowait()
            except queue.Empty:
                return
            if error is not None:
                report.failed[name] = error
                continue
            report.copied += 1
            report.bytes += size
            if progress is not None:
                progress(name, size)

    with Transfers(workers, None, "_sync_up" if upload else "_sync_down") as transfers:
        for entry in entries:
            if upload:
                transfers.upload(copier, bucket_name, entry.name, entry.path, 3)
            else:
                copier.mtimes[entry.name] = entry.mtime
                transfers.download(copier, bucket_name, entry.name, entry.path, entry.size)
            drain()
    drain()


# --- the operations ----------------------------------------------------------


def _check(compare: object, max_delete: object, progress: object, workers: object) -> int:
    if compare not in COMPARES:
        raise ValueError(f"compare must be 'mtime' or 'checksum', not {compare!r}")
    if max_delete is not None and (
        isinstance(max_delete, bool) or not isinstance(max_delete, int) or max_delete < 0
    ):
        raise ValueError(f"max_delete must be None or an integer of at least 0, not {max_delete!r}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")
    return check_workers(workers)


def _sync(
    owner: Any,
    bucket_name: str,
    upload: bool,
    sources: Iterator[Entry],
    destinations: Iterator[Entry],
    remove: Callable[[list[Entry], SyncReport], None],
    options: dict[str, Any],
    report: SyncReport,
    started: float,
) -> SyncReport:
    compare, delete, max_delete = options["compare"], options["delete"], options["max_delete"]
    dry_run = options["dry_run"]
    extras: list[Entry] = []

    def copies() -> Iterator[Entry]:
        for source, destination in merge(sources, destinations):
            if source is None:
                assert destination is not None
                if delete:
                    extras.append(destination)
                    if dry_run:
                        report.plan.append(("delete", destination.name))
                continue
            if destination is not None and not changed(
                source, destination, compare, source if upload else destination
            ):
                report.skipped += 1
                continue
            if dry_run:
                report.plan.append(("copy", source.name))
                continue
            yield source

    try:
        copy_all(owner, bucket_name, upload, copies(), options["workers"], report,
                 options["progress"])  # fmt: skip
        if report.failed:
            first = next(iter(report.failed.values()))
            raise SyncError(
                f"{len(report.failed)} of the files could not be synced, the first "
                f"{next(iter(report.failed))!r}: {type(first).__name__}: {first}; nothing deleted",
                report,
            ) from first
        if max_delete is not None and len(extras) > max_delete:
            raise SyncError(
                f"{len(extras)} deletions would exceed max_delete={max_delete}; nothing deleted",
                report,
            )
        if extras and not dry_run:
            remove(extras, report)
            if report.failed:
                first = next(iter(report.failed.values()))
                raise SyncError(
                    f"{len(report.failed)} of the deletions failed, the first "
                    f"{next(iter(report.failed))!r}: {first}",
                    report,
                ) from first
    finally:
        report.seconds = time.monotonic() - started
    return report


def _prefix_of(object_path: str) -> str:
    path = object_path.replace("\\", "/")
    return path if not path or path.endswith("/") else path + "/"


def sync_up(
    owner: Any,
    bucket_name: str,
    dir_path: Any,
    base_dir: str | None = None,
    *,
    compare: str = "mtime",
    delete: bool = False,
    max_delete: int | None = None,
    dry_run: bool = False,
    workers: int = 8,
    progress: Callable[[str, int], object] | None = None,
) -> SyncReport:
    """The local tree under ``dir_path`` to the objects of the names that
    ``_upload_dir`` gives its files, every level."""
    started = time.monotonic()
    workers = _check(compare, max_delete, progress, workers)
    root = os.fsdecode(dir_path)
    base = base_dir if base_dir else root.replace("\\", "/").split("/")[-1]
    prefix = _prefix_of(base)
    report = SyncReport()
    sources = walk(root, prefix, slashes=True, failed=report.failed, owner=owner)
    destinations = listing(owner, bucket_name, prefix, None)

    def remove(extras: list[Entry], report: SyncReport) -> None:
        from minio.deleteobjects import DeleteObject

        names = [entry.name for entry in extras]
        errors = owner._engine.remove_objects(bucket_name, (DeleteObject(n) for n in names))
        for error in errors:
            report.failed[error.name] = RuntimeError(
                f"cannot delete {error.name!r}: {error.code}: {error.message}"
            )
        report.deleted += len(names) - len(report.failed)

    options = dict(compare=compare, delete=delete, max_delete=max_delete, dry_run=dry_run,
                   workers=workers, progress=progress)  # fmt: skip
    return _sync(owner, bucket_name, True, sources, destinations, remove, options, report, started)


def sync_down(
    owner: Any,
    bucket_name: str,
    object_path: str,
    dir_path: Any,
    *,
    compare: str = "mtime",
    delete: bool = False,
    max_delete: int | None = None,
    dry_run: bool = False,
    workers: int = 8,
    progress: Callable[[str, int], object] | None = None,
) -> SyncReport:
    """Every object under the prefix ``object_path`` (every depth) to the
    same relative path under ``dir_path``."""
    started = time.monotonic()
    workers = _check(compare, max_delete, progress, workers)
    root = os.fsdecode(dir_path)
    prefix = _prefix_of(object_path)
    report = SyncReport()
    if os.path.isdir(root):
        destinations = walk(root, prefix, slashes=False, failed=report.failed, owner=owner)
    else:
        destinations = iter(())
    sources = listing(owner, bucket_name, prefix, root)

    def remove(extras: list[Entry], report: SyncReport) -> None:
        for entry in extras:
            try:
                os.remove(entry.path)
            except OSError as error:
                report.failed[entry.name] = error
            else:
                report.deleted += 1

    options = dict(compare=compare, delete=delete, max_delete=max_delete, dry_run=dry_run,
                   workers=workers, progress=progress)  # fmt: skip
    return _sync(owner, bucket_name, False, sources, destinations, remove, options, report, started)
