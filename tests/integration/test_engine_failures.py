"""The transfer engine fails the way the one-at-a-time path fails: for each
way a tree call can go wrong, ``workers=8`` ends as ``workers=1`` does (the
same result or the same exception class), in bounded time. Every client is
made by ``_connect()`` from a plain mapping, as a user makes it (so the SDK
asks the store for each bucket's region)."""

from __future__ import annotations

import os
import threading

import pytest
import urllib3

from tests.integration.conftest import ENGINE_KINDS
from tools.s3servers import free_port

on_every_server = pytest.mark.parametrize("s3_server", ENGINE_KINDS, indirect=True)

MIB = 1024 * 1024


def ends(call, *args, seconds: float = 60.0, **kwargs):
    """``call(*args, **kwargs)`` on a thread of its own: ("returned", value) or
    ("raised", class); a call that outlives ``seconds`` fails the test."""
    result = {}

    def run():
        try:
            result["returned"] = call(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - what the call ended with
            result["raised"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(seconds)
    assert not thread.is_alive(), f"the call did not end within {seconds} s"
    if "raised" in result:
        return "raised", type(result["raised"])
    return "returned", result["returned"]


def tree(root, kind: str):
    root.mkdir()
    if kind == "big file":
        (root / "big.bin").write_bytes(os.urandom(6 * MIB))  # over one request
    elif kind == "fifo":
        os.mkfifo(root / "pipe")
    elif kind == "dangling link":
        (root / "link").symlink_to(root / "nowhere")
    elif kind == "one file":
        (root / "a.txt").write_text("a")
    return root


UPLOADS = ["empty", "missing folder", "big file", "fifo", "dangling link", "missing bucket",
           "invalid bucket name"]  # fmt: skip


@on_every_server
@pytest.mark.parametrize("case", UPLOADS)
def test_upload_ends_as_one_at_a_time(store, bucket, tmp_path, case):
    bucket_name = {"missing bucket": bucket + "-none", "invalid bucket name": "Bad_Bucket"}.get(
        case, bucket
    )
    outcomes = []
    for workers in (1, 8):
        root = tmp_path / f"w{workers}"
        if case == "missing folder":
            root = tmp_path / "nowhere"
        else:
            tree(root, "one file" if "bucket" in case else case)
        outcomes.append(ends(store._upload_dir, bucket_name, str(root), workers=workers))
    assert outcomes[1] == outcomes[0]


@on_every_server
@pytest.mark.parametrize("case", ["missing bucket", "invalid bucket name", "bytes bucket name",
                                  "empty prefix"])  # fmt: skip
def test_download_ends_as_one_at_a_time(store, bucket, tmp_path, case):
    bucket_name = {"missing bucket": bucket + "-none", "invalid bucket name": "Bad_Bucket",
                   "bytes bucket name": bucket.encode()}.get(case, bucket)  # fmt: skip
    outcomes = [
        ends(store._download_dir, bucket_name, "p", str(tmp_path / f"w{w}"), workers=w)
        for w in (1, 8)
    ]
    assert outcomes[1] == outcomes[0]
    assert not (tmp_path / "w8").exists() or not any((tmp_path / "w8").iterdir())


def test_store_unreachable_raises_the_sdks_error(tmp_path):
    from zarnel.minio_main import ZarnelMinioMain

    store = ZarnelMinioMain({"host": "127.0.0.1", "port": free_port(), "user": "u",
                             "password": "p" * 8})  # fmt: skip
    store._connect()
    root = tree(tmp_path / "up", "one file")
    wanted = ("raised", urllib3.exceptions.MaxRetryError)
    assert ends(lambda: store._upload_dir("bucket", str(root), workers=1)) == wanted
    assert ends(lambda: store._upload_dir("bucket", str(root), workers=8)) == wanted
    assert (
        ends(lambda: store._download_dir("bucket", "p", str(tmp_path / "d"), workers=8)) == wanted
    )


BATCHES = ["file where the folder goes", "folder where the file goes", "missing object",
           "dot segment"]  # fmt: skip


@on_every_server
@pytest.mark.parametrize("case", BATCHES)
def test_a_batch_ends_as_one_at_a_time(store, bucket, tmp_path, case):
    store._upload_flow(bucket, "p/a", b"data")
    outcomes = []
    for workers in (1, 8):
        root = tmp_path / f"w{workers}"
        root.mkdir()
        name, path = "p/a", root / "a"
        if case == "file where the folder goes":
            (root / "blocker").write_text("")
            path = root / "blocker" / "a"
        elif case == "folder where the file goes":
            path.mkdir()
        elif case == "missing object":
            name = "p/gone"
        elif case == "dot segment":
            name = "p/../a"
        outcomes.append(
            ends(store._download_files, bucket, [(name, str(path), 4, None)], workers=workers)
        )
        assert not [p for p in root.rglob("*") if ".zarnel-" in p.name]
    assert outcomes[1] == outcomes[0]
    assert outcomes[0][0] == "raised"
