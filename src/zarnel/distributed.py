"""One tree upload or prefix download spread over a Dask cluster.

``upload_tree`` and ``download_prefix`` do what ``_upload_dir`` and
``_download_dir`` do, with the files split into batches of
``files_per_task`` and each batch a dask.distributed task. The caller's
process plans the work with the client's own walk (or listing):
``_plan_upload_dir`` and ``_plan_download_dir`` hand over the items (object
name, local path, size) that the client's calls would move; each task moves
its batch on a worker with that worker's copy of the client, through
``_upload_files`` / ``_download_files``: on the transfer engine in the worker
process when it may serve the client, else through the per-file operations
on ``workers`` threads, with the failure rules of one process
(``zarnel.outcome``).

The client reaches the workers by pickling (see the README): it is scattered
once to every worker, so each worker process builds (and connects) one copy,
with its own SSH tunnel when the client uses one, and drops it when the call
ends. Workers read and write the same file system paths as the caller: run
them on one machine (a ``LocalCluster``) or on a shared file system.

Batches start while the walk goes on, at most ``TASKS_PER_THREAD`` per thread
of the cluster at a time: the walk waits for a batch to end before it hands
over another, so the scheduler holds a few batches however large the tree. The
first failed batch (or Ctrl-C) ends the call: the batches not yet started are
skipped, the call waits (up to ``SETTLE_SECONDS``) for the ones running on
their workers, and the failure is raised on the caller.

Dask is an optional dependency (``pip install zarnel[dask]``); this module
imports it only when a function runs.
"""

from __future__ import annotations

import contextlib
import os
import uuid
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from minio.error import S3Error

from zarnel.outcome import S3_FIELDS
from zarnel.transfers import check_workers

if TYPE_CHECKING:
    from zarnel.minio_main import ZarnelMinioMain
    from zarnel.records import DownloadItem, UploadItem

__all__ = [
    "FILES_PER_TASK", "SETTLE_SECONDS", "TASKS_PER_THREAD", "RemoteS3Error", "download_prefix",
    "upload_tree",
]  # fmt: skip

# Enough files that a task's start-up (a round trip to the scheduler, a few
# ms) is small beside moving them, few enough that a tree is spread evenly.
FILES_PER_TASK = 200
# Tasks submitted and not yet ended, per thread of the cluster: one running
# and one waiting to start, so that no worker thread waits for the walk.
TASKS_PER_THREAD = 2
# How long a failed or interrupted call waits for the tasks still running.
SETTLE_SECONDS = 30


def upload_tree(
    dask_client: Any,
    store: ZarnelMinioMain,
    bucket_name: str,
    dir_path: str | os.PathLike[str],
    parallel: int = 3,
    base_dir: str | None = None,
    *,
    workers: int = 1,
    files_per_task: int = FILES_PER_TASK,
    resume: bool = False,
) -> int:
    """``store._upload_dir(bucket_name, dir_path, parallel, base_dir)`` on the
    cluster's workers; returns the number of files uploaded."""
    check_workers(workers)
    with _Batches(dask_client, store, _upload_batch, files_per_task,
                  bucket_name, parallel, workers, resume) as batches:  # fmt: skip
        store._plan_upload_dir(bucket_name, dir_path, parallel, base_dir, add=batches.add)
        return batches.finish()


def download_prefix(
    dask_client: Any,
    store: ZarnelMinioMain,
    bucket_name: str,
    object_path: str,
    dir_path: str | os.PathLike[str],
    *,
    workers: int = 1,
    files_per_task: int = FILES_PER_TASK,
    resume: bool = False,
) -> int:
    """``store._download_dir(bucket_name, object_path, dir_path)`` on the
    cluster's workers; returns the number of files downloaded. The listing is
    made by ``store`` on the caller, so it must be connected."""
    check_workers(workers)
    with _Batches(dask_client, store, _download_batch, files_per_task,
                  bucket_name, workers, resume) as batches:  # fmt: skip
        store._plan_download_dir(bucket_name, object_path, dir_path, add=batches.add)
        return batches.finish()


# -- on the workers ----------------------------------------------------------


class _Shipped:
    """The client as the cluster holds it. Dask caches what it learns about
    the type of each value it holds (its size estimate) in module-level
    tables that live until the worker exits; a plain Python wrapper keeps
    the extension's class out of them."""

    __slots__ = ("store",)

    def __init__(self, store: ZarnelMinioMain) -> None:
        self.store = store


def _upload_batch(
    shipped: _Shipped, stop: str, files: list[UploadItem], bucket_name: str, parallel: Any,
    workers: int, resume: bool,
) -> int:  # fmt: skip
    def move() -> None:
        shipped.store._upload_files(bucket_name, files, parallel, workers=workers, resume=resume)

    return _move(stop, len(files), move)


def _download_batch(
    shipped: _Shipped, stop: str, files: list[DownloadItem], bucket_name: str, workers: int,
    resume: bool,
) -> int:  # fmt: skip
    def move() -> None:
        shipped.store._download_files(bucket_name, files, workers=workers, resume=resume)

    return _move(stop, len(files), move)


def _move(stop: str, count: int, move: Callable[[], None]) -> int:
    from distributed import Event

    # Set by the caller once the call has failed: a batch that starts after
    # that moves nothing, so the caller need only wait for the ones running.
    if Event(stop).is_set():
        return 0
    try:
        move()
    except S3Error as error:
        failure, trace = RemoteS3Error.copy_of(error), error.__traceback__
    else:
        return count
    # Raised outside the handler, so that the original (which cannot be
    # pickled) is not carried along as the context.
    raise failure.with_traceback(trace)


class RemoteS3Error(S3Error):
    """An ``S3Error`` raised on a worker, as it reaches the caller: the same
    fields and notes, without the HTTP response (a live connection, which
    cannot be pickled). ``except S3Error`` catches it."""

    # The store's error refuses new attributes once made; unpickling and
    # re-raising set these.
    _EXC_MUTABLES = S3Error._EXC_MUTABLES | {"__suppress_context__", "__notes__"}

    @classmethod
    def copy_of(cls, error: S3Error) -> RemoteS3Error:
        copy = cls(None, *(getattr(error, name, None) for name in S3_FIELDS))  # type: ignore[arg-type]
        if getattr(error, "__notes__", None):
            copy.__notes__ = list(error.__notes__)
        return copy

    def __reduce__(self) -> tuple[Any, ...]:
        fields = tuple(getattr(self, name) for name in S3_FIELDS)
        notes = getattr(self, "__notes__", None)
        # The state goes through BaseException.__setstate__, which sets it as
        # attributes; __notes__ is one that the class lets change.
        return _remote_s3_error, fields, {"__notes__": list(notes)} if notes else None


def _remote_s3_error(*fields: Any) -> RemoteS3Error:
    return RemoteS3Error(None, *fields)  # type: ignore[arg-type]


# -- on the caller -----------------------------------------------------------


class _Batches:
    """Submits batches of files as tasks, a bounded number at a time, and
    gathers their counts; the first failure is raised once the tasks running
    have ended, and the rest are skipped or cancelled."""

    def __init__(self, dask_client: Any, store: ZarnelMinioMain, task: Callable[..., int],
                 files_per_task: int, *arguments: Any) -> None:  # fmt: skip
        try:
            from distributed import as_completed
        except ImportError as error:
            raise ImportError(
                "zarnel.distributed needs dask.distributed: pip install 'zarnel[dask]'"
            ) from error
        if isinstance(files_per_task, bool) or not isinstance(files_per_task, int):
            raise TypeError(f"files_per_task must be an integer, not {files_per_task!r}")
        if files_per_task < 1:
            raise ValueError(f"files_per_task must be at least 1, not {files_per_task}")
        self._client = dask_client
        self._task = task
        self._size = files_per_task
        self._arguments = arguments
        self._batch: list[Any] = []
        self._running: set[Any] = set()  # submitted, not yet gathered
        self._done = as_completed(with_results=True)
        self._moved = 0
        self._limit = TASKS_PER_THREAD * max(1, sum(dask_client.nthreads().values()))
        # Named for this call only; set (and then removed) only on failure.
        self._stop = f"zarnel-stop-{uuid.uuid4().hex}"
        self._stopping: Any = None
        # One copy of the client per worker process, for every task there.
        self._store = dask_client.scatter(_Shipped(store), broadcast=True, hash=False)

    def add(self, item: Any) -> None:
        self._batch.append(item)
        if len(self._batch) >= self._size:
            self._submit()
            # A failure seen while the walk goes on ends it there.
            for future, moved in self._done.next_batch(block=False):
                self._gathered(future, moved)

    def finish(self) -> int:
        if self._batch:
            self._submit()
        for future, moved in self._done:
            self._gathered(future, moved)
        return self._moved

    def _submit(self) -> None:
        # Back-pressure: the walk waits here while the cluster is busy.
        while len(self._running) >= self._limit:
            self._gathered(*next(self._done))
        future = self._client.submit(
            self._task, self._store, self._stop, self._batch, *self._arguments, pure=False
        )
        self._batch = []
        self._running.add(future)
        self._done.add(future)

    def _gathered(self, future: Any, moved: Any) -> None:
        if future.status != "finished":
            # next_batch() hands a failure over as (type, error, traceback)
            # without raising it; result() raises it.
            future.result()
        self._running.discard(future)
        self._moved += moved

    def __enter__(self) -> _Batches:
        return self

    def __exit__(self, kind: Any, error: BaseException | None, traceback: Any) -> None:
        try:
            if error is not None and self._running:
                self._settle()
        finally:
            self._client.cancel([*self._running, self._store])
            if self._stopping is not None:
                with contextlib.suppress(Exception):
                    self._stopping.clear()  # the scheduler forgets a cleared event

    def _settle(self) -> None:
        # Tasks that already run cannot be stopped from here (cancelling only
        # forgets them), so they are waited for, as the thread path waits for
        # its transfers; the ones not started yet see the event and return.
        from distributed import Event, wait

        try:
            self._stopping = Event(self._stop, client=self._client)
            self._stopping.set()
            wait(list(self._running), timeout=SETTLE_SECONDS)
        except Exception:
            pass  # a timeout or a lost scheduler: the call's own error is raised
