"""Helpers that tests in both folders share: waiting, and the processes and
threads that a tunnel leaves."""

from __future__ import annotations

import os
import threading
import time


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
