"""Download, removal and presigned URLs with the real SDK against a real server."""

from __future__ import annotations

import contextlib
import io
import os
import signal
import threading
import time
import urllib.parse
import urllib.request

import pytest
import urllib3
from minio.deleteobjects import DeleteObject
from minio.error import S3Error

from tests.fakes import RecordingLog
from tests.faultproxy import FaultProxy
from zarnel.messages import NAME_SKIPPED
from zarnel.minio_main import ZarnelMinioMain


def put(sdk, bucket: str, name: str, data: bytes) -> None:
    sdk.put_object(bucket, name, io.BytesIO(data), len(data))


def names_in(sdk, bucket: str) -> list[str]:
    return sorted(item.object_name for item in sdk.list_objects(bucket, recursive=True))


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\xef\xbb\xbfwith a byte-order mark\r\n",
        "h\u00e9llo, \u4e16\u754c \U0001f600\n".encode(),
    ],
    ids=["empty", "bom", "non-ascii"],
)
def test_download_as_text_and_to_a_file(store, sdk, bucket, tmp_path, data):
    put(sdk, bucket, "dir/obj.txt", data)

    assert store._download_flow(bucket, "dir/obj.txt") == data.decode("utf-8")
    target = tmp_path / "new" / "obj.txt"
    assert store._download_file(bucket, "dir/obj.txt", str(target)) is True
    assert target.read_bytes() == data


def test_invalid_utf8_is_a_decoding_error(store, sdk, bucket):
    put(sdk, bucket, "bin", b"\x00\xfe\xff")
    with pytest.raises(UnicodeDecodeError, match="can't decode byte 0xfe in position 1"):
        store._download_flow(bucket, "bin")


def test_missing_object_is_the_client_error(store, bucket, tmp_path):
    with pytest.raises(S3Error) as caught:
        store._download_flow(bucket, "missing")
    assert caught.value.code == "NoSuchKey"
    with pytest.raises(S3Error) as caught:
        store._download_file(bucket, "missing", str(tmp_path / "missing"))
    assert caught.value.code == "NoSuchKey"
    assert not (tmp_path / "missing").exists()


def test_an_interrupted_download_leaves_no_partial_file(store, sdk, bucket, tmp_path):
    size = 64 * 1024 * 1024
    sdk.put_object(bucket, "big.bin", io.BytesIO(bytes(size)), size)
    target = tmp_path / "down" / "big.bin"
    done = threading.Event()

    def interrupt_once_partial() -> None:  # the storage client's own temporary file
        deadline = time.monotonic() + 30
        while not done.is_set() and time.monotonic() < deadline:
            # Once it has bytes: while it is being opened, an interruption
            # would leave the storage client's own file object unclosed.
            with contextlib.suppress(FileNotFoundError):
                if any(p.stat().st_size for p in target.parent.glob("*.part.minio")):
                    os.kill(os.getpid(), signal.SIGINT)
                    return
            time.sleep(0.001)

    watcher = threading.Thread(target=interrupt_once_partial)
    watcher.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            store._download_file(bucket, "big.bin", str(target))
    finally:
        done.set()
        watcher.join()
    assert list(target.parent.iterdir()) == []
    # A partial file would be no use: the next call asks for the whole object
    # and writes its temporary file anew.
    etag = sdk.stat_object(bucket, "big.bin").etag
    target.with_name(f"big.bin.{etag}.part.minio").write_bytes(b"stale")
    assert store._download_file(bucket, "big.bin", str(target)) is True
    assert [p.name for p in target.parent.iterdir()] == ["big.bin"]
    assert target.stat().st_size == size
    assert target.read_bytes() == bytes(size)


def test_a_cut_download_leaves_no_partial_file(s3_server, sdk, bucket, tmp_path):
    put(sdk, bucket, "f.bin", os.urandom(100_000))
    with FaultProxy(s3_server.endpoint) as proxy:
        proxy.cut(50_000, when=lambda r: r.method == "GET", times=None)
        host, _, port = proxy.endpoint.rpartition(":")
        store = ZarnelMinioMain({"host": host, "port": int(port), "user": s3_server.access_key,
                                 "password": s3_server.secret_key})  # fmt: skip
        store._connect()
        with pytest.raises(urllib3.exceptions.ProtocolError):
            store._download_file(bucket, "f.bin", str(tmp_path / "f.bin"))
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("object_path", ["docs", "docs/"])
def test_download_dir_takes_one_level(store, sdk, bucket, tmp_path, object_path):
    for name, data in [("docs/", b""), ("docs/a.txt", b"A"), ("docs/b.bin", b"\x00\xff"),
                       ("docs/sub/c.txt", b"C"), ("docs/docs/e.txt", b"E"),
                       ("olddocs/c.txt", b"old"), ("readme.md", b"R")]:  # fmt: skip
        put(sdk, bucket, name, data)
    out = tmp_path / "out"
    out.mkdir()

    assert store._download_dir(bucket, object_path, str(out)) is None
    files = {p.relative_to(out).as_posix(): p.read_bytes() for p in out.rglob("*")}
    assert files == {"a.txt": b"A", "b.bin": b"\x00\xff"}


def test_download_dir_of_a_missing_path_writes_nothing(store, sdk, bucket, tmp_path):
    put(sdk, bucket, "other/a.txt", b"A")
    store._download_dir(bucket, "docs", str(tmp_path))
    assert list(tmp_path.iterdir()) == []


def test_remove_object(store, sdk, bucket):
    put(sdk, bucket, "a.txt", b"A")
    put(sdk, bucket, "b.txt", b"B")
    assert store._remove_object(bucket, "a.txt") is None
    assert names_in(sdk, bucket) == ["b.txt"]


def test_remove_objects_existing_and_missing(store, sdk, bucket):
    names = [f"dir/{i}.txt" for i in range(5)] + ["top"]
    for name in names:
        put(sdk, bucket, name, name.encode())
    store._log = RecordingLog()

    result = store._remove_objects(bucket, ["missing", *names, "top", "dir/missing"])
    assert result is None
    assert store._log.warnings == []  # S3 deletes a missing key without complaint
    assert names_in(sdk, bucket) == []
    sdk.remove_bucket(bucket)  # really empty: the store accepts the removal


def test_remove_objects_from_a_missing_bucket_raises(store, bucket_name):
    store._log = RecordingLog()
    with pytest.raises(S3Error) as caught:
        store._remove_objects(bucket_name, ["a"])
    assert caught.value.code == "NoSuchBucket"
    assert store._log.warnings == []


@pytest.mark.parametrize(
    ("kwargs", "seconds"), [({}, 7 * 86400), ({"days": 1}, 86400), ({"days": 0.5}, 43200)]
)
def test_presigned_url_fetches_the_object(store, sdk, bucket, kwargs, seconds):
    data = b"\xef\xbb\xbfshared \xe4\xb8\xad\n"
    put(sdk, bucket, "share/file.txt", data)

    url = store._get_url(bucket, "share/file.txt", **kwargs)
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)
    assert query["X-Amz-Expires"] == [str(seconds)]
    with urllib.request.urlopen(url, timeout=30) as response:
        assert response.read() == data


def test_presigned_url_lifetime_beyond_the_client_limit(store, bucket):
    with pytest.raises(ValueError, match="expires must be between 1 second to 7 days"):
        store._get_url(bucket, "a.txt", days=8)


@pytest.mark.parametrize("name", ["docs/..", "docs/."])
def test_download_dir_never_writes_outside_the_directory(
    s3_server, store, sdk, bucket, tmp_path, name
):
    # The SDK refuses such names, but another client may have stored them;
    # moto takes an unsigned upload, so the object can be made there.
    if s3_server.kind != "moto":
        pytest.skip("needs an unsigned upload, which only moto accepts")
    url = f"http://{s3_server.endpoint}/{bucket}/{name}"
    urllib.request.urlopen(
        urllib.request.Request(url, data=b"escape", method="PUT"), timeout=30
    ).close()
    try:
        put(sdk, bucket, "docs/a.txt", b"A")
        assert names_in(sdk, bucket) == sorted([name, "docs/a.txt"])
        out = tmp_path / "out"
        out.mkdir()
        store._log = RecordingLog()

        store._download_dir(bucket, "docs", str(out))
        assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")) == [
            "out",
            "out/a.txt",
        ]
        assert store._log.warnings == [NAME_SKIPPED.format(name)]
    finally:
        # remove_object refuses the name too (so the bucket fixture would);
        # a batch removal does not check names.
        assert list(sdk.remove_objects(bucket, [DeleteObject(name)])) == []
