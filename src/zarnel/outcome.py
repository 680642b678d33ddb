"""How a tree call ends, whichever executor moved its files.

The thread path and the cluster helper hand failures over as the exceptions
the per-file operations raised; the transfer engine hands them over as plain
data (an ``EngineFailure``), which ``error_from`` turns into the exception that the
one-at-a-time path raises for the same condition: the storage client's
``S3Error``/``InvalidResponseError`` for the store's answers, urllib3's
``MaxRetryError`` once a request could not reach the store (or it kept
answering 500, 502, 503 or 504), urllib3's
``ProtocolError`` for a body that does not match its object, ``OSError`` for
local files, ``ValueError`` for names the storage client refuses.

``Outcome`` keeps the first failure and the later ones: the first is raised as
itself, the later ones are added to it as notes (an error that takes no notes,
such as the storage client's frozen ``S3Error``, is raised as it is and the
notes go to the ``zarnel`` log). It also says, at DEBUG on that log, which
executor served the call and why, and one summary line when the call ends;
retries are logged at INFO.
"""

from __future__ import annotations

import dataclasses
import logging
import os
import threading
import time
import xml.etree.ElementTree as ET
from typing import Any

from zarnel_log import LOGGER_NAME

__all__ = ["NOTED_FAILURES", "S3_FIELDS", "EngineFailure", "Outcome", "add_note", "error_from"]

# Later failures named in the notes of the raised one; the rest are counted.
NOTED_FAILURES = 20
# The fields of the storage client's S3Error after its response, in the order
# its constructor takes them.
S3_FIELDS = ("code", "message", "resource", "request_id", "host_id", "bucket_name",
             "object_name")  # fmt: skip

log = logging.getLogger(LOGGER_NAME)


@dataclasses.dataclass(frozen=True, slots=True)
class EngineFailure:
    """A failure as the transfer engine reports it. ``kind``: "store" (the
    store's answer: status, headers, body), "transport" (no answer, or out
    of retries: errno, message, connect, timed_out), "system" (a local file:
    errno, path), "body" (a body that is not its object's), "changed" (a
    file changed while it was sent) or "value" (a name the storage client
    refuses)."""

    kind: str
    endpoint: str  # host:port
    bucket: str = ""
    object_name: str = ""
    resource: str = ""
    path: str | None = None
    status: int = 0
    content_type: str = ""
    request_id: str = ""
    host_id: str = ""
    body: bytes = b""
    errno: int = 0
    message: str = ""
    connect: bool = False
    timed_out: bool = False


def add_note(error: BaseException, note: str) -> None:
    """``error.add_note(note)``, or the log where the error refuses notes."""
    try:
        error.add_note(note)
    except Exception:
        log.error("%s (not noted on %s)", note, type(error).__name__)


def _text(value: str) -> str | None:
    return value or None


def _store_error(report: EngineFailure) -> Exception:
    from minio.error import InvalidResponseError, S3Error
    from urllib3 import HTTPResponse

    body: bytes = report.body
    content_type: str = report.content_type
    fields = None
    if "application/xml" in content_type:
        try:
            element = ET.fromstring(body)
        except ET.ParseError:
            pass
        else:
            tags = ("Code", "Message", "Resource", "RequestId", "HostId", "BucketName", "Key")
            fields = [element.findtext(tag) or None for tag in tags]
    if fields is None:
        # As the storage client reports an answer that is no S3 error.
        text = body.decode(errors="replace") or None
        return InvalidResponseError(report.status, _text(content_type), text)
    # What the answer leaves out, the request says.
    known = {"resource": report.resource, "request_id": report.request_id,
             "host_id": report.host_id, "bucket_name": report.bucket,
             "object_name": report.object_name}  # fmt: skip
    for index, name in enumerate(S3_FIELDS):
        fields[index] = fields[index] or _text(known.get(name, ""))
    headers = {name: value for name, value in (
        ("Content-Type", content_type), ("x-amz-request-id", report.request_id),
        ("x-amz-id-2", report.host_id)) if value}  # fmt: skip
    response = HTTPResponse(body=body, headers=headers, status=report.status,
                            preload_content=True)  # fmt: skip
    return S3Error(response, *fields)


def _transport_error(report: EngineFailure) -> Exception:
    # The storage client's pool retries a request that does not reach the
    # store, then raises MaxRetryError with what ended the last attempt.
    from urllib3 import HTTPConnectionPool, exceptions
    from urllib3.connection import HTTPConnection

    host, _, port = report.endpoint.rpartition(":")
    pool = HTTPConnectionPool(host, int(port))
    url = report.resource
    errno, message = report.errno, report.message
    cause = OSError(errno, os.strerror(errno)) if errno else OSError(message)
    if report.status and not message:  # out of retries on 500, 503...
        text = exceptions.ResponseError.SPECIFIC_ERROR.format(status_code=report.status)
        reason: Exception = exceptions.ResponseError(text)
    elif report.timed_out:
        reason = exceptions.ReadTimeoutError(pool, url, f"Read timed out. ({message})")
    elif report.connect:
        reason = exceptions.NewConnectionError(
            HTTPConnection(host, int(port)), f"Failed to establish a new connection: {cause}"
        )
    else:
        reason = exceptions.ProtocolError("Connection aborted.", cause)
    return exceptions.MaxRetryError(pool, url, reason)


def error_from(report: EngineFailure) -> Exception:
    """The exception for a failure that the transfer engine reports as data."""
    kind = report.kind
    if kind == "store":
        error = _store_error(report)
    elif kind == "transport":
        error = _transport_error(report)
    elif kind == "body":
        from urllib3.exceptions import ProtocolError

        error = ProtocolError(f"Connection broken: {report.message}")
    elif kind == "system":
        error = OSError(report.errno, report.message, report.path)
    elif kind == "changed":
        error = OSError(f"file {report.path!r} {report.message}")
    else:
        error = ValueError(report.message)
    where = report.path
    what = f"{report.bucket}/{report.object_name}" if report.object_name else None
    if kind in ("transport", "body") and (where or what):
        side = " <-> ".join(repr(text) for text in (where, what) if text)
        add_note(error, f"moving {side} with {report.endpoint}")
    return error


class Outcome:
    """The failures and the totals of one tree call; thread-safe."""

    error_of = staticmethod(error_from)

    def __init__(self, operation: str, executor: str, why: str) -> None:
        self.operation = operation
        self.files = 0
        self.bytes = 0
        self.first: BaseException | None = None
        self._later: list[tuple[Any, BaseException]] = []
        self._unnoted = 0
        self._lock = threading.Lock()
        self._started = time.monotonic()
        log.debug("%s on %s: %s", operation, executor, why)

    def moved(self, files: int, size: int) -> None:
        with self._lock:
            self.files += files
            self.bytes += size

    def failed(self, name: Any, error: BaseException) -> bool:
        """Records a failure; True for the call's first."""
        with self._lock:
            if self.first is None:
                self.first = error
                return True
            if len(self._later) < NOTED_FAILURES:
                self._later.append((name, error))
            else:
                self._unnoted += 1
            return False

    def engine_failed(self, name: Any, report: EngineFailure) -> bool:
        return self.failed(name, error_from(report))

    def retried(self, name: Any, reason: str) -> None:
        log.info("%s: retrying %r after %s", self.operation, name, reason)

    def end(self, error: BaseException | None = None) -> None:
        """Raises what ends the call, if anything: ``error`` (what ended the
        caller's own part, such as a failed walk or Ctrl-C), else the first
        failure; every other failure is noted on it."""
        seconds = time.monotonic() - self._started
        with self._lock:
            first, later, unnoted = self.first, self._later, self._unnoted
            self._later, self._unnoted = [], 0
        raised = error if error is not None else first
        log.debug("%s ended%s: %d files, %d bytes, %.3f s", self.operation,
                  "" if raised is None else f" by {type(raised).__name__}",
                  self.files, self.bytes, seconds)  # fmt: skip
        if raised is None:
            return
        others = [(name, e) for name, e in later if e is not raised]
        if first is not None and first is not raised:
            others.insert(0, (None, first))
        for name, other in others:
            where = "" if name is None else f" {name!r}"
            add_note(raised, f"also failed{where}: {type(other).__name__}: {other}")
        if unnoted:
            add_note(raised, f"and {unnoted} more failed transfers")
        raise raised
