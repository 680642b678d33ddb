"""Helpers that tests in both folders share: waiting, the processes and
threads that a tunnel leaves, and requests signed by hand."""

from __future__ import annotations

import datetime
import hashlib
import os
import threading
import time
import urllib.parse


def wait_for(condition, timeout: float = 15.0, step: float = 0.02):
    """Poll ``condition`` until it holds (bounded); return its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def gone(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def ssh_children() -> list[int]:
    """Live ssh processes started by this process."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as file:
                head, tail = file.read().rsplit(")", 1)
        except (OSError, ValueError):
            continue
        fields = tail.split()
        if head.endswith("(ssh") and int(fields[1]) == os.getpid() and fields[0] != "Z":
            found.append(int(entry))
    return found


def tunnel_threads() -> list[threading.Thread]:
    return [t for t in threading.enumerate() if t.name.startswith("zarnel-ssh-")]


def running(pid: int) -> bool:
    return not gone(pid)


def signed_headers(server, method: str, url: str, body: bytes, extra=None) -> dict[str, str]:
    """The headers of a request to ``url`` with ``body``, signed with the
    server's keys by the SDK's own signer: for requests the SDK cannot make."""
    from minio.credentials import Credentials
    from minio.signer import sign_v4_s3
    from minio.time import to_amz_date

    split = urllib.parse.urlsplit(url)
    now = datetime.datetime.now(datetime.UTC)
    sha = hashlib.sha256(body).hexdigest()
    headers = {"Host": split.netloc, "x-amz-date": to_amz_date(now), "x-amz-content-sha256": sha,
               "Content-Length": str(len(body)), **(extra or {})}  # fmt: skip
    keys = Credentials(server.access_key, server.secret_key)
    return sign_v4_s3(method=method, url=split, region="us-east-1", headers=headers,
                      credentials=keys, content_sha256=sha, date=now)  # fmt: skip
