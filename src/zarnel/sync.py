"""Sync both ways: a local tree and the objects under a prefix, moving only
what changed.

The store's listing (every depth, page by page) is merged with a walk of the
tree folder by folder: while the listing is inside a folder, that folder's own
entries are held (what any walk holds), never the whole tree. Each name is
decided once: copy, skip or (only on the destination side) delete. Only the
names to delete wait for the end, because nothing is deleted unless every
copy succeeded.

Copies go through the instance's ``_upload_files`` / ``_download_files`` with
the failure policy "go on": on the transfer engine whenever it may serve the
instance, else on threads over the instance's own ``_upload_file`` /
``_download_file`` (a subclass sees every file); a failed copy is recorded and
the others go on. A sync that could not move every file raises ``SyncError``
with the report; its ``__cause__`` is the first failure.

A download lands in a temporary file beside its target and takes the target's
name only once it matches its object (the engine's checks, or on the thread
path ``check_download``) and has the object's time: a damaged body is fetched
again, and the next sync never meets a wrong file that looks current. With
``delete=True`` and no ``max_delete``, ``guard_deletes`` refuses a sync from an
empty source, or one that would remove every entry of the destination, before
anything changes.
"""

from __future__ import annotations

import dataclasses
import datetime
import errno
import glob
import hashlib
import os
import re
import secrets
import stat
import threading
import time
import zlib
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TypedDict, Unpack

from zarnel import messages
from zarnel.cleanup import PARTIAL
from zarnel.transfers import Transfers, check_workers
from zarnel.walk import Walk

__all__ = ["SyncError", "SyncReport", "merge", "multipart_etag", "sync_down", "sync_up"]

MIB = 1024 * 1024
# As the storage client cuts a file: one PUT up to 5 MiB, else parts of 5 MiB
# or the multiple of it that keeps the file within 10,000 parts.
MIN_PART_SIZE = 5 * MIB
MAX_PARTS = 10_000
COMPARES = ("mtime", "checksum")
# The temporary files of a copy: the engine's and this module's
# ".zarnel-<16 hex>.part" (with, for a resumed download, its journal
# ".zarnel-<16 hex>.part.resume"), the storage client's
# "<file>.<ETag>.part.minio". Never a file of the tree: neither sent up nor
# deleted.
TEMPORARY = re.compile(PARTIAL.pattern + r"|.+\..+\.part\.minio", re.DOTALL)
PLAIN_MD5 = re.compile(r"[0-9a-f]{32}")
# The zlib CRC-32 of the whole object, 8 lowercase hex digits, which the
# engine stores with each object it uploads in parts (their ETag is no MD5).
CRC32_KEY = "x-amz-meta-zarnel-crc32"
CRC32 = re.compile(r"[0-9a-f]{8}")
# A download that does not match its object is fetched this many times in
# all, then fails as a damaged body does (urllib3's ProtocolError).
DOWNLOAD_ATTEMPTS = 4


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

    def as_dict(self) -> dict[str, Any]:
        """The report as JSON-friendly data, each failure as its text.
        (``dataclasses.asdict`` deep-copies the exceptions, which the storage
        client's S3Error does not allow.)"""
        data = dataclasses.asdict(dataclasses.replace(self, failed={}))
        data["failed"] = {name: f"{type(e).__name__}: {e}" for name, e in self.failed.items()}
        return data


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


class LocalTree:
    """The regular files under a folder, one folder at a time, each named by
    its key: the folder's key prefix plus its relative path, "/" between
    levels, read by the walk of tree uploads (so links, cycles and entries
    that are no regular file go as there). What cannot be read goes into
    ``failed`` (so that nothing is deleted) and is left out; with ``slashes``
    (the upload's names, where ``_upload_dir`` reads a backslash as "/"), so
    is a name holding a backslash, which would land in another folder's
    keys."""

    def __init__(self, failed: dict[str, BaseException], owner: Any, slashes: bool) -> None:
        self.failed, self.slashes = failed, slashes
        self.walk = Walk(owner)
        self.enter, self.leave = self.walk.enter, self.walk.leave

    def children(self, folder: str, base: str) -> tuple[dict[str, Entry], dict[str, str]]:
        """The files (as entries) and the folders (as paths) directly in
        ``folder``, by name."""
        files: dict[str, Entry] = {}
        folders: dict[str, str] = {}

        def take(name: str, path: str) -> bool:
            if TEMPORARY.fullmatch(name):
                return False  # a copy under way, or one that an earlier run left
            if self.slashes and "\\" in name:
                self.failed[base + name] = ValueError(
                    f"{path!r}: a name holding a backslash cannot be synced"
                )
                return False
            return True

        try:
            entries = self.walk.entries(folder, ordered=True, take=take)
        except OSError as error:
            self.failed[base] = error
            return files, folders
        for name, path, status in entries:
            if not isinstance(status, os.stat_result):  # a dangling link, say
                self.failed[base + name] = status
            elif stat.S_ISDIR(status.st_mode):
                folders[name] = path
            else:
                files[name] = Entry(base + name, path, status.st_size, status.st_mtime)
        return files, folders

    def files(self, folder: str, base: str) -> Iterator[Entry]:
        """Every file under ``folder``."""
        self.enter(folder)
        try:
            files, folders = self.children(folder, base)
            yield from files.values()
            for name, path in folders.items():
                yield from self.files(path, base + name + "/")
        finally:
            self.leave()


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
    for name, size, modified, etag in _objects(owner, bucket_name, prefix):
        if name.endswith("/") or not name.startswith(prefix):
            continue
        path = ""
        if directory is not None:
            parts = name[len(prefix) :].split("/")
            if not all(map(_stays_inside, parts)):
                owner._log.warning(messages.NAME_SKIPPED.format(name))
                continue
            path = os.path.join(directory, *parts)
        yield Entry(name, path, size, modified, etag)


def _objects(owner: Any, bucket_name: str, prefix: str) -> Iterator[tuple[str, int, float, str]]:
    """(name, size, LastModified, ETag) of every object under ``prefix``.

    Where the transfer engine may serve the client, it lists the pages (the
    storage client's own listing parses them in Python, which on a no-op sync
    of small files was most of the time); any other client is listed through
    its public ``list_objects``."""
    pages = owner._object_pages(bucket_name, prefix)
    if pages is not None:
        for page in pages:
            for record in page:
                when = datetime.datetime.fromisoformat(record["last_modified"])
                yield (record["object_name"], record["size"] or 0,
                       when.replace(tzinfo=datetime.UTC).timestamp(),
                       (record["etag"] or "").strip('"'))  # fmt: skip
        return
    for item in owner._engine.list_objects(bucket_name, prefix=prefix, recursive=True):
        modified = item.last_modified.timestamp() if item.last_modified else 0.0
        yield item.object_name, item.size or 0, modified, (item.etag or "").strip('"')


def _stays_inside(part: str) -> bool:
    # As _download_dir: no ".", "..", separator or drive; nor a NUL or an
    # empty segment ("a//b"), which no file name can hold.
    if part in ("", ".", "..") or "\0" in part:
        return False
    if any(sep and sep in part for sep in (os.sep, os.altsep)):
        return False
    return not os.path.splitdrive(part)[0]


# --- the merge ---------------------------------------------------------------

Pair = tuple[Entry | None, Entry | None]


def merge(
    tree: LocalTree, root: str | None, prefix: str, objects: Iterable[Entry]
) -> Iterator[Pair]:
    """(file, object) pairs of the same name, one side None where the name is
    on one side only, folder by folder.

    The listing is taken as it comes: every store lists a folder's keys
    together, but not every one orders them as keys sort (one lists "a/x"
    before "a-b", a folder before the names it is a prefix of). So each
    folder's own entries are held while the listing is inside it (what the
    walk holds anyway), never the tree; a folder or name that the listing
    returns to after leaving it would pair wrongly (copy what is there, delete
    what is wanted), and raises RuntimeError instead."""
    stream = iter(objects)
    ahead: list[Entry] = []

    def peek() -> Entry | None:
        if not ahead:
            item = next(stream, None)
            if item is None:
                return None
            ahead.append(item)
        return ahead[0]

    def folder(path: str | None, base: str) -> Iterator[Pair]:
        files: dict[str, Entry] = {}
        folders: dict[str, str] = {}
        if path is not None:
            tree.enter(path)
            files, folders = tree.children(path, base)
        try:
            # Both orders list a folder's files by name; its folders may come
            # in another order, but each once.
            last_file, seen_folders = "", set()
            while (item := peek()) is not None and item.name.startswith(base):
                head, slash, _ = item.name[len(base) :].partition("/")
                if slash:
                    if head in seen_folders:
                        raise RuntimeError(f"the listing came back to {base + head + '/'!r}")
                    seen_folders.add(head)
                    yield from folder(folders.pop(head, None), base + head + "/")
                    continue
                if last_file and head <= last_file:
                    raise RuntimeError(f"the listing has {item.name!r} after {base + last_file!r}")
                last_file = head
                ahead.pop()
                yield files.pop(head, None), item
            yield from ((entry, None) for entry in files.values())
            for name, child in folders.items():
                yield from ((entry, None) for entry in tree.files(child, base + name + "/"))
        finally:
            if path is not None:
                tree.leave()

    yield from folder(root, prefix)
    if peek() is not None:
        raise RuntimeError(f"the listing holds {ahead[0].name!r}, outside {prefix!r}")


def changed(local: Entry, remote: Entry, upload: bool, compare: str) -> bool:
    """Whether the source side (the file going up, the object coming down)
    must be copied over the other."""
    if local.size != remote.size:
        return True
    if compare == "mtime":
        # The source newer, in whole seconds: some stores keep LastModified
        # to the second, and a download sets the file's time to it.
        source, destination = (local, remote) if upload else (remote, local)
        return int(source.mtime) > int(destination.mtime)
    if not remote.etag:  # a gateway that lists no ETags
        return True
    return file_md5(local.path, local.size) != remote.etag


# --- checked downloads -------------------------------------------------------


@dataclasses.dataclass(frozen=True, slots=True)
class Expected:
    """What a copy of an object must be: its size, and its MD5 where the ETag
    is a plain one, else the CRC-32 stored with it, if any."""

    size: int
    md5: str = ""
    crc32: str = ""

    @classmethod
    def of(cls, size: int, etag: str, metadata: Any = None) -> Expected:
        etag = _etag(etag)
        if PLAIN_MD5.fullmatch(etag):
            return cls(size, md5=etag)
        crc32 = ""
        for key, value in (metadata or {}).items():  # the SDK's headers, or a plain dict
            if key.lower() == CRC32_KEY and CRC32.fullmatch(str(value)):
                crc32 = str(value)
        return cls(size, crc32=crc32)


def _etag(etag: str | None) -> str:
    return (etag or "").strip('"').lower()


def check_download(path: str, expected: Expected) -> str | None:
    """Why the file at ``path`` is not a copy of its object, or None."""
    size = os.stat(path).st_size
    if size != expected.size:
        return f"has {size} bytes, its object {expected.size}"
    if not (expected.md5 or expected.crc32):
        return None  # nothing else to check it against
    md5 = hashlib.md5() if expected.md5 else None
    crc32 = 0
    with open(path, "rb") as file:
        while chunk := file.read(MIB):
            if md5 is not None:
                md5.update(chunk)
            else:
                crc32 = zlib.crc32(chunk, crc32)
    if md5 is not None:
        return None if md5.hexdigest() == expected.md5 else "does not match its ETag (MD5)"
    return None if f"{crc32:08x}" == expected.crc32 else f"does not match its {CRC32_KEY}"


def _temporary(target: str) -> str:
    """A name beside ``target`` for its download, as the engine names its own
    (not made here: creating a file costs as much as the download of a small
    one on some file systems, and the storage client makes its own)."""
    return os.path.join(os.path.dirname(target), f".zarnel-{secrets.token_hex(8)}.part")


def _remove_temporary(path: str) -> None:
    # With the storage client's own, which a failed request leaves beside it
    # (a glob reads the folder: only ever on a failure).
    for name in (path, *glob.glob(glob.escape(path) + ".*.part.minio")):
        try:
            os.remove(name)
        except FileNotFoundError:
            pass


def download_checked(owner: Any, bucket_name: str, entry: Entry) -> int:
    """``entry``'s object through ``owner._download_file`` into a temporary
    file, which takes the object's time and then ``entry.path`` only once it
    matches the object; fetched again when it does not, then urllib3's
    ``ProtocolError``. The object is asked for its metadata (the CRC-32) where
    its listed ETag is no MD5, and again before each retry, in case it was
    replaced since the listing. Returns the size."""
    from urllib3.exceptions import ProtocolError

    etag, size, modified, metadata = entry.etag, entry.size, entry.mtime, None
    problem = ""
    for attempt in range(DOWNLOAD_ATTEMPTS):
        if attempt or not PLAIN_MD5.fullmatch(_etag(etag)):
            found = owner._engine.stat_object(bucket_name, entry.name)
            if _etag(found.etag) != _etag(etag) and found.last_modified:
                modified = found.last_modified.timestamp()  # replaced since listed
            etag, size, metadata = found.etag or "", found.size or 0, found.metadata
        temporary = _temporary(entry.path)
        kept = False
        try:
            owner._download_file(bucket_name, entry.name, temporary)
            problem = check_download(temporary, Expected.of(size, etag, metadata)) or ""
            if not problem:
                os.utime(temporary, (modified, modified))
                os.replace(temporary, entry.path)
                kept = True
                return size
        finally:
            if not kept:  # also on Ctrl-C or a failed request
                _remove_temporary(temporary)
        if attempt + 1 < DOWNLOAD_ATTEMPTS:
            owner._log.info(f"_sync_down: retrying {entry.name!r} after the body {problem}")
    error = ProtocolError(f"Connection broken: the body {problem}")
    error.add_note(
        f"moving {entry.path!r} <-> '{bucket_name}/{entry.name}', {DOWNLOAD_ATTEMPTS} attempts"
    )
    raise error


# --- copies ------------------------------------------------------------------


class _Checked:
    """The thread path's per-file download for ``Transfers``: the instance's
    own ``_download_file`` through a checked temporary file
    (``download_checked``)."""

    def __init__(self, owner: Any) -> None:
        self.owner = owner
        self.entries: dict[str, Entry] = {}

    def _download_file(self, bucket_name: str, object_name: str, file_name: str) -> None:
        download_checked(self.owner, bucket_name, self.entries.pop(object_name))


def copy_all(
    owner: Any,
    bucket_name: str,
    upload: bool,
    entries: Iterable[Entry],
    workers: int,
    report: SyncReport,
    progress: Callable[[str, int], object] | None,
    resume: bool = False,
) -> None:
    """Copies every entry (up: file to object; down: object to file), up to
    ``workers`` at once, while ``entries`` is still being produced, with the
    failure policy "go on": through ``_upload_files`` / ``_download_files``,
    which move them on the transfer engine when it may serve the instance
    (each download checked there), else on threads over the instance's own
    per-file operations (a subclass sees every file; a download then checked
    here). Fills the report's counts and failures and calls ``progress``.
    ``resume`` goes to both (the engine's alone)."""
    lock = threading.Lock()  # the thread path reports from its threads
    times: dict[str, tuple[str, float]] = {}  # an engine download's path and time

    def counted(name: str, size: int) -> None:
        with lock:
            report.copied += 1
            report.bytes += size or 0
        if progress is not None:
            progress(name, size)

    def moved(name: str, size: int) -> None:
        path, modified = times.pop(name)
        # The object's time on the file, so the next sync sees them equal.
        os.utime(path, (modified, modified))
        counted(name, size)

    def failed(name: str, error: Exception) -> None:
        with lock:
            times.pop(name, None)
            report.failed[name] = error

    if upload:
        files = ((entry.name, entry.path, entry.size) for entry in entries)
        owner._upload_files(
            bucket_name, files, 3, workers=workers, progress=counted, failed=failed, resume=resume
        )
        return
    if not owner._downloads_on_engine(workers):
        checked = _Checked(owner)
        why = "the per-file operations, each download checked by the sync"
        with Transfers(workers, counted, "_sync_down", why, failed=failed) as transfers:
            for entry in entries:
                checked.entries[entry.name] = entry
                transfers.download(checked, bucket_name, entry.name, entry.path, entry.size)
        return

    def objects() -> Iterator[tuple[str, str, int, str | None]]:
        for entry in entries:
            with lock:
                times[entry.name] = (entry.path, entry.mtime)
            yield entry.name, entry.path, entry.size, entry.etag or None

    owner._download_files(
        bucket_name, objects(), workers=workers, progress=moved, failed=failed, resume=resume
    )


# --- the operations ----------------------------------------------------------


class SyncOptions(TypedDict, total=False):
    """The keyword arguments that both ways of a sync take."""

    compare: str
    delete: bool
    max_delete: int | None
    dry_run: bool
    workers: int
    progress: Callable[[str, int], object] | None
    resume: bool


def _options(
    operation: str, compare: object = "mtime", delete: object = False,
    max_delete: object = None, dry_run: object = False, workers: object = 8,
    progress: object = None, resume: object = False, **unknown: object,
) -> dict[str, Any]:  # fmt: skip
    """The keyword arguments, checked before anything is done."""
    for name in unknown:
        raise TypeError(f"{operation}() got an unexpected keyword argument {name!r}")
    if compare not in COMPARES:
        raise ValueError(f"compare must be 'mtime' or 'checksum', not {compare!r}")
    if max_delete is not None and (
        isinstance(max_delete, bool) or not isinstance(max_delete, int) or max_delete < 0
    ):
        raise ValueError(f"max_delete must be None or an integer of at least 0, not {max_delete!r}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")
    workers = check_workers(workers)
    return dict(compare=compare, delete=bool(delete), max_delete=max_delete,
                dry_run=bool(dry_run), workers=workers, progress=progress,
                resume=bool(resume))  # fmt: skip


def _raise_failed(report: SyncReport, what: str) -> None:
    name, first = next(iter(report.failed.items()))
    raise SyncError(
        f"{what} failed for {len(report.failed)} of the names, the first {name!r}: "
        f"{type(first).__name__}: {first}",
        report,
    ) from first


def _sync(
    owner: Any,
    bucket_name: str,
    upload: bool,
    root: str | None,
    prefix: str,
    options: dict[str, Any],
) -> SyncReport:
    started = time.monotonic()
    compare, delete, max_delete = options["compare"], options["delete"], options["max_delete"]
    dry_run = options["dry_run"]
    report = SyncReport()
    root_path = root
    tree = LocalTree(report.failed, owner, slashes=upload)
    objects = listing(owner, bucket_name, prefix, None if upload else root)
    if root is not None and not upload and not os.path.isdir(root):
        root = None  # nothing there yet
    extras: list[Entry] = []  # the destination's names to delete at the end

    pairs: Iterable[Pair] = merge(tree, root, prefix, objects)
    if delete and max_delete is None:
        sides = (str(root_path), f"{bucket_name}/{prefix}")
        pairs = guard_deletes(pairs, upload, report, sides if upload else sides[::-1])

    def copies() -> Iterator[Entry]:
        for local, remote in pairs:
            source, destination = (local, remote) if upload else (remote, local)
            if source is None:
                assert destination is not None
                if delete:
                    extras.append(destination)
                    if dry_run:
                        report.plan.append(("delete", destination.name))
                continue
            if local is not None and remote is not None:
                if not changed(local, remote, upload, compare):
                    report.skipped += 1
                    continue
            if dry_run:
                report.plan.append(("copy", source.name))
                continue
            yield source

    try:
        copy_all(
            owner, bucket_name, upload, copies(), options["workers"], report,
            options["progress"], options["resume"],
        )  # fmt: skip
        if report.failed:
            _raise_failed(report, "the sync (nothing deleted)")
        if max_delete is not None and len(extras) > max_delete:
            raise SyncError(
                f"{len(extras)} deletions would exceed max_delete={max_delete}; nothing deleted",
                report,
            )
        if extras and not dry_run:
            if upload:
                _delete_objects(owner, bucket_name, extras, report)
            else:
                _delete_files(extras, report)
            if report.failed:
                _raise_failed(report, "deletion")
    finally:
        report.seconds = time.monotonic() - started
    return report


def guard_deletes(
    pairs: Iterable[Pair], upload: bool, report: SyncReport, where: tuple[str, str]
) -> Iterator[Pair]:
    """``pairs`` as they come, once it is sure that the sync neither comes
    from an empty source nor removes every entry of the destination side;
    else SyncError, before anything changed (or a pair reached the copies).
    Used with ``delete=True`` and no ``max_delete``: a mistyped prefix or an
    unmounted folder must not wipe the other side. A sync whose tree could not
    be read whole deletes nothing anyway, and is let through to say why.

    Pairs are held until a name is found on both sides: at once on a
    re-run, at the end on a first sync into an empty destination."""
    held: list[Pair] = []
    sources = kept = extras = 0
    stream = iter(pairs)
    for pair in stream:
        source, destination = pair if upload else pair[::-1]
        sources += source is not None
        extras += source is None
        kept += source is not None and destination is not None
        held.append(pair)
        if kept:
            break
    else:
        if (sources == 0 or extras) and not report.failed:
            raise SyncError(_refusal(upload, sources, extras, where), report)
    yield from held
    del held
    yield from stream


def _refusal(upload: bool, sources: int, extras: int, where: tuple[str, str]) -> str:
    source, destination = where
    if sources == 0:
        why = f"the source {source!r} is empty or missing"
    else:
        why = f"no name under {source!r} is found under {destination!r}"
    things = "objects" if upload else "files"
    effect = f"all {extras} {things}" if extras else f"any {things}"
    return (
        f"sync refused, nothing changed: {why}, so delete=True would remove {effect} under "
        f"{destination!r}. If that is meant, pass max_delete (the most removals allowed, "
        f"e.g. max_delete={extras})"
    )


def _delete_objects(owner: Any, bucket_name: str, extras: list[Entry], report: SyncReport) -> None:
    from minio.deleteobjects import DeleteObject

    requests = (DeleteObject(entry.name) for entry in extras)
    for error in owner._engine.remove_objects(bucket_name, requests):
        report.failed[error.name] = RuntimeError(
            f"cannot delete {error.name!r}: {error.code}: {error.message}"
        )
    report.deleted += len(extras) - len(report.failed)


def _delete_files(extras: list[Entry], report: SyncReport) -> None:
    for entry in extras:
        try:
            os.remove(entry.path)
        except FileNotFoundError:
            pass  # gone already: what the delete was for
        except OSError as error:
            report.failed[entry.name] = error
        else:
            report.deleted += 1


def _prefix_of(path: str) -> str:
    path = path.replace("\\", "/")
    return path if not path or path.endswith("/") else path + "/"


def sync_up(
    owner: Any,
    bucket_name: str,
    dir_path: Any,
    base_dir: str | None = None,
    **options: Unpack[SyncOptions],
) -> SyncReport:
    """The tree under ``dir_path`` to the objects of the names that
    ``_upload_dir`` gives its files (``base_dir``, by default the folder's own
    name, plus the relative path), every level."""
    checked = _options("_sync_up", **options)
    root = os.fsdecode(dir_path)
    if not stat.S_ISDIR(os.stat(root).st_mode):  # a missing source raises here
        raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), root)
    base = base_dir if base_dir else root.replace("\\", "/").split("/")[-1]
    return _sync(owner, bucket_name, True, root, _prefix_of(base), checked)


def sync_down(
    owner: Any,
    bucket_name: str,
    object_path: str,
    dir_path: Any,
    **options: Unpack[SyncOptions],
) -> SyncReport:
    """Every object under the prefix ``object_path`` (every depth) to the
    same relative path under ``dir_path``."""
    checked = _options("_sync_down", **options)
    return _sync(owner, bucket_name, False, os.fsdecode(dir_path), _prefix_of(object_path), checked)
