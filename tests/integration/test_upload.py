"""Uploads through the real SDK to a real server, read back with the SDK."""

from __future__ import annotations

import hashlib
import os
import signal
import threading
import time

import pytest
from minio.helpers import Worker

from tests.faultproxy import FaultProxy
from zarnel.minio_main import ZarnelMinioMain

MIB = 1024 * 1024


def read_back(sdk, bucket: str, name: str) -> tuple[bytes, str]:
    response = sdk.get_object(bucket, name)
    try:
        return response.data, response.headers.get("Content-Type")
    finally:
        response.close()
        response.release_conn()


@pytest.mark.parametrize(
    ("data", "name", "content", "content_type"),
    [
        (b"\x00\x01binary", "blob.bin", b"\x00\x01binary", "application/octet-stream"),
        ("两个字 and text", "notes/readme.txt", "两个字 and text".encode(), "text/plain"),
        (b"", "empty.json", b"", "application/json"),
    ],
    ids=["bytes", "text", "empty"],
)
def test_upload_flow_stores_bytes_and_text(store, sdk, bucket, data, name, content, content_type):
    store._upload_flow(bucket, name, data)

    assert read_back(sdk, bucket, name) == (content, content_type)


def test_upload_flow_stores_a_named_file(store, sdk, bucket, tmp_path):
    page = tmp_path / "page.html"
    page.write_bytes(b"<h1>hi</h1>")

    store._upload_flow(bucket, "stored-under-any-name", str(page))

    assert read_back(sdk, bucket, "stored-under-any-name") == (b"<h1>hi</h1>", "text/html")


def test_upload_file_with_parallel_parts(store, sdk, bucket, tmp_path):
    big = tmp_path / "big.bin"
    digest = hashlib.sha256()
    block = os.urandom(MIB)
    with open(big, "wb") as out:
        for i in range(64):
            chunk = bytes([i]) + block[1:]  # no two parts alike
            digest.update(chunk)
            out.write(chunk)

    store._upload_file(bucket, "dir\\big.bin", str(big), parallel=4)
    big.unlink()  # 64 MiB less on disk for the rest of the session

    info = sdk.stat_object(bucket, "dir/big.bin")
    assert info.size == 64 * MIB
    assert info.content_type == "application/octet-stream"
    assert "-" in info.etag.strip('"'), "expected a multipart upload"
    back = hashlib.sha256()
    response = sdk.get_object(bucket, "dir/big.bin")
    try:
        for piece in response.stream(4 * MIB):
            back.update(piece)
    finally:
        response.close()
        response.release_conn()
    assert back.hexdigest() == digest.hexdigest()


@pytest.mark.parametrize("parallel", [1, 3])
def test_ctrl_c_in_an_upload_in_parts_aborts_it(s3_server, sdk, bucket, tmp_path, parallel):
    big = tmp_path / "big.bin"
    big.write_bytes(os.urandom(16 * MIB))
    with FaultProxy(s3_server.endpoint) as proxy:
        proxy.delay(2, when=lambda r: "partNumber" in r.query, times=None)
        host, _, port = proxy.endpoint.rpartition(":")
        store = ZarnelMinioMain({"host": host, "port": int(port), "user": s3_server.access_key,
                                 "password": s3_server.secret_key})  # fmt: skip
        store._connect()
        timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
        started = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            store._upload_file(bucket, "big.bin", str(big), parallel)
        assert time.monotonic() - started < 0.5 + 1.0
        timer.join()
        assert sdk._list_multipart_uploads(bucket).uploads == []
        # The storage client's part threads end with the request each had under
        # way, and start no other.
        for worker in [t for t in threading.enumerate() if isinstance(t, Worker)]:
            worker.join(5)
            assert not worker.is_alive()
        assert sum("partNumber" in r.query for r in proxy.log) == parallel


@pytest.mark.parametrize(
    ("base_dir", "trailing", "prefix"),
    [(None, "", "site/"), ("web/live", "", "web/live/"), (None, os.sep, "")],
    ids=["default", "base-dir", "trailing-separator"],
)
def test_upload_dir_maps_the_tree_to_names(
    store, sdk, bucket, tmp_path, base_dir, trailing, prefix
):
    site = tmp_path / "srv" / "site"
    files = {"index.html": "text/html", "css/main.css": "text/css", "css/img/logo.png": "image/png"}
    for name in files:
        (site / name).parent.mkdir(parents=True, exist_ok=True)
        (site / name).write_text(name)
    (site / "empty").mkdir()

    store._upload_dir(bucket, str(site) + trailing, base_dir=base_dir)

    listed = sorted(o.object_name for o in sdk.list_objects(bucket, recursive=True))
    assert listed == sorted(prefix + name for name in files)
    for name, content_type in files.items():
        assert read_back(sdk, bucket, prefix + name) == (name.encode(), content_type)


def test_a_tree_round_trip_on_workers(store, sdk, bucket, tmp_path, caplog):
    tree = tmp_path / "tree"
    files = {f"d{i % 3}/f{i}.txt": os.urandom(i * 37) for i in range(60)}
    for name, data in files.items():
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_bytes(data)
    moved = []

    # More workers than the storage client keeps connections for.
    store._upload_dir(bucket, str(tree), workers=16, progress=lambda *a: moved.append(a))

    assert sorted(moved) == sorted(("tree/" + n, len(d)) for n, d in files.items())
    for name, data in files.items():
        assert read_back(sdk, bucket, "tree/" + name)[0] == data
    moved.clear()
    store._download_dir(bucket, "tree/d1", str(tmp_path / "out"), workers=8,
                        progress=lambda *a: moved.append(a))  # fmt: skip
    wanted = {n.split("/")[1]: d for n, d in files.items() if n.startswith("d1/")}
    assert {p.name: p.read_bytes() for p in (tmp_path / "out").iterdir()} == wanted
    assert sorted(moved) == sorted(("tree/d1/" + n, len(d)) for n, d in wanted.items())
    assert not [r for r in caplog.records if "pool" in r.getMessage()]


def test_a_tree_round_trip_with_path_and_bytes_directories(
    store, sdk, bucket, tmp_path, monkeypatch
):
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "a.txt").write_text("a")
    (tree / "sub" / "b.txt").write_text("b")
    monkeypatch.chdir(tmp_path)  # a stray relative directory would land here

    store._upload_dir(bucket, tree)  # a Path: the prefix is its last segment
    store._download_dir(bucket, "tree", os.fsencode(tmp_path / "out"), workers=2)
    store._download_dir(bucket, "tree/sub", tmp_path / "out2")

    listed = sorted(o.object_name for o in sdk.list_objects(bucket, recursive=True))
    assert listed == ["tree/a.txt", "tree/sub/b.txt"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out", "out2", "tree"]
    assert (tmp_path / "out" / "a.txt").read_text() == "a"
    assert os.listdir(tmp_path / "out2") == ["b.txt"]
