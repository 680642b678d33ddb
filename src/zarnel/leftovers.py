"""What the storage client leaves behind when one of its calls fails, removed.

``_upload_file`` and ``_download_file`` are one call each into the storage
client (``fput_object``, ``fget_object``). Two of its paths leave something
behind, and only that call knows what:

- ``put_object`` aborts an upload in parts on an ``Exception``, but not on
  Ctrl-C (``KeyboardInterrupt`` is no ``Exception``): the unfinished upload
  would stay on the store, costing storage that no listing shows. Its part
  threads (``num_parallel_uploads`` above 1) are told to stop only when every
  part was handed over, so after any failure they would wait for ever.
- ``fget_object`` writes ``<file>.<etag>.part.minio`` and renames it when
  whole. It opens that file anew (``"wb"``) and asks for the whole object on
  every call, so a later call never goes on from a partial one: the partial
  file is only debris.

The upload's id, its part threads and the temporary file's name live only in
that call's frame, which the failure's traceback still holds; they are read
from there (the frame of the storage client's own method, found by its code
object), so nothing else on the store or on disk is touched. Whatever ends the
clean-up, it takes at most about ``SECONDS`` and never replaces the failure
that the caller sees.
"""

from __future__ import annotations

import copy
import logging
import os
import threading
import time
from types import FrameType
from typing import Any

__all__ = ["after_download", "after_upload"]

# How long the clean-up after a failure may take: the part threads' current
# requests (half of it at most), then the abort.
SECONDS = 0.6

log = logging.getLogger("zarnel")


def _frame_of(error: BaseException, function: Any) -> FrameType | None:
    code = getattr(function, "__code__", None)
    tb = error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code is code:
            return tb.tb_frame
        tb = tb.tb_next
    return None


def _stop_part_threads(pool: Any, deadline: float) -> None:
    from minio.helpers import Worker

    tasks = pool._tasks_queue
    workers = [t for t in threading.enumerate()
               if isinstance(t, Worker) and t._tasks_queue is tasks]  # fmt: skip
    # A worker runs no queued part once an error is recorded, and ends at a
    # None. The record is an error of its own: the caller's, through its
    # traceback, would keep the caller's frames alive as long as a worker
    # still waits on its request.
    pool._exceptions_queue.put(InterruptedError("the upload was given up"))
    for _ in workers:
        tasks.put(None)
    for worker in workers:
        worker.join(max(0.0, deadline - time.monotonic()))


def _abort(engine: Any, bucket_name: str, object_name: str, upload_id: str, left: float) -> None:
    import urllib3

    # The client's own request, on a pool of its own that waits `left` seconds
    # at most and does not retry: a store that does not answer keeps the
    # upload, as it would after any client's crash.
    quick = copy.copy(engine)
    settings = dict(getattr(engine._http, "connection_pool_kw", {}))
    settings.update(timeout=urllib3.Timeout(total=left), retries=False)
    quick._http = urllib3.PoolManager(num_pools=1, **settings)
    try:
        quick._abort_multipart_upload(bucket_name, object_name, upload_id)
    finally:
        quick._http.clear()


def after_upload(error: BaseException, engine: Any) -> None:
    """After ``engine.fput_object`` raised ``error``: its part threads ended,
    and, on an interruption, its unfinished upload aborted on the store."""
    try:
        import minio

        frame = _frame_of(error, minio.Minio.put_object)
        if frame is None:
            return
        deadline = time.monotonic() + SECONDS
        local = frame.f_locals
        if local.get("pool") is not None:
            _stop_part_threads(local["pool"], deadline - SECONDS / 2)
        upload_id = local.get("upload_id")
        if upload_id and not isinstance(error, Exception):  # else the client aborted it
            left = max(0.05, deadline - time.monotonic())
            _abort(engine, local["bucket_name"], local["object_name"], upload_id, left)
            log.debug("aborted the interrupted upload of %r", local["object_name"])
    except Exception as failure:
        log.warning("an interrupted upload may be left on the store: %s: %s",
                    type(failure).__name__, failure)  # fmt: skip
    except KeyboardInterrupt:
        pass  # a second Ctrl-C ends the clean-up; the first is raised anyway


def after_download(error: BaseException) -> None:
    """After ``fget_object`` raised ``error``: its partial temporary file removed."""
    try:
        import minio

        frame = _frame_of(error, minio.Minio.fget_object)
        if frame is None:
            return
        path = frame.f_locals.get("tmp_file_path")
        if path:
            os.remove(path)
    except FileNotFoundError:
        pass
    except Exception as failure:
        log.warning("a partial download may be left: %s: %s", type(failure).__name__, failure)
    except KeyboardInterrupt:
        pass
