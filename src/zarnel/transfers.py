"""The file transfers of one tree operation, overlapped on worker threads.

A tree operation walks (or lists) on the caller's thread and hands each file to
a ``Transfers``; with one worker the file is moved at once on the caller's
thread, exactly as a plain loop would. With more, up to that many files move
at once on worker threads: the storage client's requests spend most of their
time waiting on the socket, with the GIL released, so overlapping them is where
the speed is.

Failure rules: the first failure stops the hand-over (the caller's next
``upload``/``download`` raises it) and no queued transfer starts; ``close``
waits for the transfers already running and raises the first failure, the same
exception object, with every later failure added to it as a note
(``zarnel.outcome``, the rules of every executor). With ``failed``, the policy
is to go on instead: each file's failure (an ``Exception``; Ctrl-C still ends
the call) goes to ``failed(name, error)`` and every file is tried. No worker
thread outlives ``close``.
"""

from __future__ import annotations

import operator
import os
import queue
import threading
from collections.abc import Callable
from typing import Any

from zarnel.outcome import Outcome, add_note

__all__ = ["MAX_WORKERS", "Transfers", "add_note", "check_workers"]

# The storage client keeps 10 connections per host. More threads than that
# would only open extra connections that it then discards, each with a
# warning from urllib3, so more workers run as this many.
MAX_WORKERS = 10
# Files handed over but not yet started, per thread: enough that no thread
# waits for the walk, few enough that a tree of millions of files holds a few
# dozen names at a time.
BACKLOG_PER_THREAD = 2

Progress = Callable[[Any, Any], object]


def check_workers(workers: object) -> int:
    """``workers`` as an int of at least 1, or TypeError/ValueError."""
    if isinstance(workers, bool):
        raise TypeError(f"workers must be an integer, not {workers!r}")
    try:
        count = operator.index(workers)
    except TypeError:
        raise TypeError(f"workers must be an integer, not {type(workers).__name__}") from None
    if count < 1:
        raise ValueError(f"workers must be at least 1, not {count}")
    return count


def _file_size(path: Any) -> int:
    # Taken before the upload; a file that cannot be stat'ed is reported by the
    # upload itself, so its size here does not matter.
    try:
        return os.stat(path).st_size
    except (OSError, TypeError, ValueError):
        return 0


class Transfers:
    """Moves files for one tree operation on up to ``workers`` threads.

    ``progress(object_name, size)``, when given, is called once per file after
    it was moved, on the thread that moved it; an exception from it counts as
    a failed transfer.
    """

    # The threads are started and joined here rather than by
    # concurrent.futures, which starts them while handing over work: a Ctrl-C
    # that lands while one starts would leave it running after the call.
    def __init__(self, workers: object = 1, progress: Progress | None = None,
                 operation: str = "tree call", why: str = "",
                 failed: Progress | None = None) -> None:  # fmt: skip
        self.workers = check_workers(workers)
        if progress is not None and not callable(progress):
            raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")
        self._progress = progress
        self._failed = failed
        threads = min(self.workers, MAX_WORKERS)
        # The bounded backlog: a full one holds the walk in put().
        self._queue: queue.Queue[Any] = queue.Queue(threads * BACKLOG_PER_THREAD)
        self._stopped = False
        executor = "1 thread" if threads == 1 else f"{threads} threads"
        self.outcome = Outcome(operation, executor, why or "the per-file operations")
        self._threads: list[threading.Thread] = []
        if threads == 1:
            return
        try:
            for number in range(threads):
                # Daemon threads: a second Ctrl-C during close() may leave
                # one waiting for work, which must not hold the exit.
                thread = threading.Thread(
                    target=self._work, name=f"zarnel-transfer-{number}", daemon=True
                )
                self._threads.append(thread)
                thread.start()
        except BaseException:
            self._stop()
            raise

    def upload(
        self, owner: Any, bucket_name: Any, object_name: Any, file_name: Any, parallel: Any,
        size: int | None = None,
    ) -> None:  # fmt: skip
        """``owner._upload_file(bucket_name, object_name, file_name, parallel=parallel)``;
        ``size`` is the file's as planned (None: taken before the upload)."""
        upload_file = owner._upload_file

        def move() -> int:
            moved = _file_size(file_name) if size is None else size
            upload_file(bucket_name, object_name, file_name, parallel=parallel)
            return moved

        self._hand_over(object_name, move)

    def download(
        self, owner: Any, bucket_name: Any, object_name: Any, file_name: Any, size: Any
    ) -> None:
        """``owner._download_file(bucket_name, object_name, file_name)``."""
        download_file = owner._download_file

        def move() -> Any:
            download_file(bucket_name, object_name, file_name)
            return size

        self._hand_over(object_name, move)

    def close(self, error: BaseException | None = None) -> None:
        """Ends the transfers and raises what ends the call, if anything.

        ``error`` is what ended the caller's own part early (a failed walk or
        listing, Ctrl-C), which is then raised; without it, every transfer is
        waited for and the first failure, if any, is raised.
        """
        try:
            if error is None and self._threads:
                self._queue.join()
        except BaseException as interrupt:  # Ctrl-C while waiting
            error = interrupt
        self._stop()
        self.outcome.end(error)

    def __enter__(self) -> Transfers:
        return self

    def __exit__(self, kind: Any, error: BaseException | None, traceback: Any) -> None:
        self.close(error)

    def _hand_over(self, name: Any, move: Callable[[], Any]) -> None:
        if not self._threads:
            try:
                self._moved(name, move())
            except Exception as error:
                if self._failed is None:
                    raise
                self._failed(name, error)
            return
        if self.outcome.first is not None:
            raise self.outcome.first
        self._queue.put((name, move))

    def _work(self) -> None:
        while True:
            item = self._queue.get()
            try:
                if item is None:
                    return
                if self._stopped:
                    continue  # no new transfer once a failure is seen
                name, move = item
                try:
                    self._moved(name, move())
                except Exception as error:
                    if self._failed is None:
                        self._stopped = True
                        self.outcome.failed(name, error)
                    else:
                        self._go_on(name, error)
                except BaseException as error:
                    self._stopped = True
                    self.outcome.failed(name, error)
            finally:
                self._queue.task_done()

    def _go_on(self, name: Any, error: Exception) -> None:
        assert self._failed is not None
        try:
            self._failed(name, error)
        except BaseException as raised:  # the callback's own failure ends the call
            self._stopped = True
            self.outcome.failed(name, raised)

    def _moved(self, name: Any, size: Any) -> None:
        self.outcome.moved(1, size if isinstance(size, int) else 0)
        if self._progress is not None:
            self._progress(name, size)

    def _stop(self) -> None:
        # Queued transfers are skipped; running ones end before this returns.
        self._stopped = True
        started = [thread for thread in self._threads if thread.ident is not None]
        for _ in started:
            self._queue.put(None)
        for thread in started:
            thread.join()
