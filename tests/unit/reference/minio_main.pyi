"""Buckets and objects on a MinIO (S3-compatible) store."""

from collections.abc import (
    Callable,
    Iterable,
    Iterator,
    Mapping,
    MutableMapping
)
import datetime
import os
from typing import Any, Literal, Self

import minio.datatypes

import zarnel.cleanup
from zarnel.content_type import get_content_type as get_content_type
from zarnel.forks import renew_after_fork as renew_after_fork
import zarnel.records
import zarnel.sync
from zarnel.sync import sync_down as sync_down, sync_up as sync_up
from zarnel.transfers import Transfers as Transfers


class ZarnelMinioMain:
    """
    A client for the buckets and objects of one S3-compatible store.

    Built from a configuration mapping: host, port, user and password;
    secure, only validated (the connection is always plain HTTP); ssh and
    the ssh_* keys for an SSH tunnel, opened during construction.
    `_connect()` then creates the storage client (the minio SDK's) in
    `_engine`; each operation is one or a few calls on it.

    The expected wrong states (a bucket that exists on create or is missing
    on remove, a bucket without a policy) are warnings on the `zarnel`
    logger and a False or None result. A bad configuration raises one
    Exception listing every problem; every other error reaches the caller
    unchanged (the SDK's S3Error, transport and file errors). Operations
    that use others (construction, the tree calls) call them through
    `self`, so a subclass's overrides take part.
    """

    def __init__(self, config: MutableMapping[str, Any]) -> None:
        """
        Build the client from a configuration mapping (does not connect): check it, add the ssh* keys it lacks to it as None, and open the SSH tunnel when `ssh` is true.
        """

    def _cleanse_params(self, config: MutableMapping[str, Any]) -> None:
        """
        Check `config` against the schema and store the record in `_config`; raise Exception listing every problem.
        """

    def _set_params_dict(self) -> None:
        """Store the parameter schema in `_params_dict`."""

    def _set_default_params(self) -> None:
        """Store the defaults of the tunnel keys in `_default_params`."""

    def _connect(self) -> None:
        """Create the storage client for `_config` and store it in `_engine`."""

    def __reduce__(self) -> tuple[Any, ...]:
        """
        Pickle as (class, (configuration as given,), connected?); the secrets of the configuration travel with it.
        """

    def __setstate__(self, state: Mapping[str, object]) -> None:
        """Connect the copy when the original was connected."""

    def _create_bucket(self, bucket_name: str, location: str | None = 'cn-north-1', object_lock: bool = False) -> bool:
        """
        Create `bucket_name` in `location`, with object locking when `object_lock` is true; return False with a warning when it exists already.
        """

    def _remove_bucket(self, bucket_name: str) -> bool:
        """
        Remove the bucket `bucket_name` (not emptied first); return False with a warning when it does not exist.
        """

    def _bucket_list(self) -> list[minio.datatypes.Bucket]:
        """Return the storage client's list of buckets unchanged."""

    class _ObjectPages:
        def __iter__(self) -> Self: ...

        def __next__(self) -> list[zarnel.records.ObjectRecord]: ...

    def _object_pages(self, bucket_name: str, prefix: str) -> Iterator[list[zarnel.records.ObjectRecord]] | None:
        """
        For sync: the records of the objects under `prefix`, page by page, listed by the transfer engine; None where it may not serve the instance.
        """

    def _bucket_list_files(self, bucket_name: str, prefix: str | None = '') -> list[zarnel.records.ObjectRecord]:
        """
        List the objects of `bucket_name` whose names begin with `prefix`, at every depth, as records with the keys bucket_name, object_name, last_modified (text), etag, size, content_type.
        """

    def _bucket_policy(self, bucket_name: str) -> str | None:
        """
        Return the policy of `bucket_name`, or None with a warning when the store answers with an error.
        """

    def _upload_flow(self, bucket_name: str, object_name: str, data: str | bytes | int | os.PathLike[str] | os.PathLike[bytes]) -> None:
        """
        Store `data` as one object: the regular file it names (text, bytes or a path-like value), a byte string as it is, or str(data) as UTF-8 for other text, path-like values and integers. Other kinds fail the file test with TypeError; when str(data) fails or is not UTF-8, log a warning and store nothing.
        """

    def _upload_file(self, bucket_name: str, object_name: str, file_name: str | os.PathLike[str], parallel: int = 3) -> None:
        """
        Store the local file `file_name` as `object_name` (backslashes become "/"), with up to `parallel` part uploads at once.
        """

    def _upload_dir(self, bucket_name: str, dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], parallel: int = 3, base_dir: str | None = None, *, workers: int = 1, progress: Callable[[str, int], object] | None = None, resume: bool = False) -> None:
        """
        Store every file under `dir_path` as `base_dir` (by default the
        directory's own name) plus its relative path, backslashes read as
        "/". Links are followed; a cycle, or an entry that is neither a file
        nor a directory, is skipped with a warning.

        With `resume`, on the transfer engine, a file stored in parts
        carries on the newest unfinished upload of its name on the store:
        each stored part whose ETag is the MD5 of the file's bytes at its
        place is kept, the others are sent. An upload cut otherwise than
        the file is cut now, or whose first part is older than the file's
        last write, is dropped and the file sent whole. A failure, a stop
        or Ctrl-C then leaves the file's unfinished upload on the store
        for the next call with `resume`. The per-file operations (one
        worker, or threads) ignore it.

        `workers` is an int of at least 1 (else TypeError or ValueError
        before anything moves). 1 moves one file at a time on this thread,
        call for call; more moves up to that many files at once, at most
        256 on the native transfer engine (when the per-file operations are
        the class's own and `_engine` is the SDK's plain-HTTP client) and
        at most 10 on threads otherwise. `progress(object_name, size)` is
        called after each file; on threads, from the thread that moved it.

        The first failure (of a transfer, of `progress`, of the walk)
        ends the call: no new transfer starts, those running end, and that
        exception is raised itself; each later failure is added to it as a
        note, or, on the SDK's S3Error, which takes none, logged at ERROR on
        the `zarnel` logger. Files already moved stay.
        """

    def _plan_upload_dir(self, bucket_name: str, dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], parallel: int = 3, base_dir: str | None = None, *, add: Callable[[zarnel.records.UploadItem], object]) -> None:
        """
        Walk `dir_path` as `_upload_dir(bucket_name, dir_path, parallel,
        base_dir)` does (its nested calls through `self` where a subclass
        replaced it), and hand each file to `add` as (object_name,
        file_name, size) instead of storing it; `size` is None where the walk
        could not tell (a dangling link). Nothing moves; a failure of the
        walk or of `add` ends it.
        """

    def _upload_files(self, bucket_name: str, files: Iterable[zarnel.records.UploadItem], parallel: int = 3, *, workers: int = 1, progress: Callable[[str, int], object] | None = None, failed: Callable[[str, Exception], object] | None = None, resume: bool = False) -> None:
        """
        Store each (object_name, file_name, size) of `files` as
        `_upload_file(bucket_name, object_name, file_name,
        parallel=parallel)` does: the items of `_plan_upload_dir`, say.
        `workers`, `progress` and the failure rules are those of
        `_upload_dir`, on the transfer engine when it may serve this
        instance, else through `_upload_file`. With `failed`, the call goes
        on past a file's failure: every file is tried, and each failure is
        handed to `failed(object_name, error)` instead of being raised.
        `resume` as for `_upload_dir`.
        """

    def _download_flow(self, bucket_name: str, object_name: str) -> str:
        """Return the object's content decoded as UTF-8 (strict)."""

    def _download_file(self, bucket_name: str, object_name: str, file_name: str | os.PathLike[str]) -> bool:
        """Write the object to the local file `file_name`; return True."""

    def _download_dir(self, bucket_name: str, object_path: str, dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], *, workers: int = 1, progress: Callable[[str, int], object] | None = None, resume: bool = False) -> None:
        """
        Download the objects lying directly under `object_path` into
        `dir_path`, one file per object; deeper objects and the folder
        marker are not downloaded, and a name that would leave `dir_path` is
        skipped with a warning.

        With `resume`, on the transfer engine, a file fetched in pieces
        keeps its temporary file (.zarnel-*.part) and a journal of the
        pieces that came whole (.zarnel-*.part.resume) beside it after a
        failure, a stop or Ctrl-C; the next call with `resume` fetches only
        the missing pieces, with If-Match the journal's ETag, or the whole
        file when the object changed. The per-file operations (one worker,
        or threads) ignore it.

        `workers` is an int of at least 1 (else TypeError or ValueError
        before anything moves). 1 moves one file at a time on this thread,
        call for call; more moves up to that many files at once, at most
        256 on the native transfer engine (when the per-file operations are
        the class's own and `_engine` is the SDK's plain-HTTP client) and
        at most 10 on threads otherwise. `progress(object_name, size)` is
        called after each file; on threads, from the thread that moved it.

        The first failure (of a transfer, of `progress`, of the listing)
        ends the call: no new transfer starts, those running end, and that
        exception is raised itself; each later failure is added to it as a
        note, or, on the SDK's S3Error, which takes none, logged at ERROR on
        the `zarnel` logger. Files already moved stay.
        """

    def _plan_download_dir(self, bucket_name: str, object_path: str, dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], *, add: Callable[[zarnel.records.DownloadItem], object]) -> None:
        """
        List the objects that `_download_dir(bucket_name, object_path,
        dir_path)` takes, through `self._bucket_list_files`, and hand each
        to `add` as (object_name, file_name, size, etag) instead of
        downloading it (size and ETag as listed, None where the listing has
        none). Nothing moves; a failure of the listing or of `add` ends it.
        """

    def _downloads_on_engine(self, workers: int) -> bool:
        """
        Whether `_download_files` with `workers` moves its files on the
        transfer engine (else through `_download_file`): what a caller that
        checks the files of the thread path itself needs to know.
        """

    def _download_files(self, bucket_name: str, files: Iterable[zarnel.records.DownloadItem], *, workers: int = 1, progress: Callable[[str, int], object] | None = None, failed: Callable[[str, Exception], object] | None = None, resume: bool = False) -> None:
        """
        Write each (object_name, file_name, size, etag) of `files` as
        `_download_file(bucket_name, object_name, file_name)` does: the
        items of `_plan_download_dir`, say. `workers`, `progress` and the
        failure rules are those of `_download_dir`; on the transfer engine
        (when it may serve this instance) each file is checked against
        `size`, and its content against `etag` or the CRC-32 it was stored
        with. `failed` as for `_upload_files`, `resume` as for
        `_download_dir`.
        """

    def _remove_object(self, bucket_name: str, object_name: str) -> None:
        """Remove one object."""

    def _remove_objects(self, bucket_name: str, object_list: Iterable[str]) -> None:
        """
        Remove the objects named in `object_list` in one batch (a single str, bytes or bytearray is refused with TypeError); log each object that was not removed as a warning.
        """

    def _get_url(self, bucket: str, object_name: str, days: int = 7) -> str:
        """
        Return a presigned download URL for the object, valid for `days` whole days, 1 to 7 (the SDK raises ValueError outside). It names the endpoint that the client reaches: through an SSH tunnel http://127.0.0.1:<local port>/..., usable only on this machine while the tunnel is open.
        """

    def _sync_up(self, bucket_name: str, dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], base_dir: str | None = None, *, compare: Literal['mtime', 'checksum'] = 'mtime', delete: bool = False, max_delete: int | None = None, dry_run: bool = False, workers: int = 8, progress: Callable[[str, int], object] | None = None, resume: bool = False) -> zarnel.sync.SyncReport:
        """
        Bring the objects under the names that `_upload_dir` gives the files
        under `dir_path` (every level) up to date: copy each file that is
        missing or changed (`compare`: 'mtime', a new size or a newer file;
        'checksum', a new size or content against the ETag). `delete`
        removes the objects under that prefix that have no file, only after
        every copy succeeded and at most `max_delete` of them; `dry_run`
        changes nothing and lists the plan. Returns a zarnel.SyncReport;
        raises zarnel.SyncError (with the report) when a file could not be
        moved, the first failure its __cause__. `resume` as for `_upload_dir`
        (on the transfer engine).
        """

    def _sync_down(self, bucket_name: str, object_path: str, dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], *, compare: Literal['mtime', 'checksum'] = 'mtime', delete: bool = False, max_delete: int | None = None, dry_run: bool = False, workers: int = 8, progress: Callable[[str, int], object] | None = None, resume: bool = False) -> zarnel.sync.SyncReport:
        """
        Bring the files under `dir_path` up to date with every object under
        the prefix `object_path` (every depth, at the same relative path;
        folders made as needed, names no file can have skipped with a
        warning), each file given its object's time. `compare`, `delete`,
        `max_delete`, `dry_run`, the report and SyncError as for _sync_up;
        `resume` as for `_download_dir`.
        """

    def _abort_uploads(self, bucket_name: str, prefix: str = '', older_than: datetime.timedelta | float = datetime.timedelta(days=1), dry_run: bool = False) -> list[zarnel.cleanup.AbortedUpload]:
        """
        Abort the unfinished uploads in parts of the names under `prefix`
        that began more than `older_than` (a timedelta, or seconds) ago: what
        a transfer with `resume` leaves on the store when nothing resumes it.
        Returns them (object_name, upload_id, initiated); `dry_run` only
        lists them.
        """

    def _clean_partials(self, dir_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], older_than: datetime.timedelta | float = datetime.timedelta(days=1), dry_run: bool = False) -> list[str]:
        """
        Remove the temporary files of downloads (.zarnel-*.part) and the
        journals of resumed ones (.zarnel-*.part.resume) under `dir_path`,
        every level, last written more than `older_than` (a timedelta, or
        seconds) ago, except those a running download holds. Returns their
        paths; `dry_run` only lists them.
        """
