"""Uploads in parts and downloads in pieces resumed (resume=True) through the
fault proxy: the store's unfinished upload, or the temporary file and its
journal, carried on in a new process after the first was killed, only what is
missing or otherwise sent or fetched, Ctrl-C leaving the state for the next
call; and the clean-ups of what nothing resumes."""

from __future__ import annotations

import fcntl
import io
import os
import signal
import subprocess
import sys
import threading
import time
import zlib
from datetime import timedelta

import pytest
from minio.error import S3Error

from tests.integration.conftest import ENGINE_KINDS
from tests.integration.test_engine_faults import MIB, unfinished
from zarnel import SyncError

pytestmark = pytest.mark.parametrize("s3_server", ENGINE_KINDS, indirect=True)


# Uploads one file on the engine, resumed; the keys come in the environment.
CHILD = """
import os, sys
from zarnel.minio_main import ZarnelMinioMain
host, port, bucket, name, path = sys.argv[1:]
store = ZarnelMinioMain({"host": host, "port": int(port), "user": os.environ["ZT_USER"],
                         "password": os.environ["ZT_PASSWORD"]})
store._connect()
store._upload_files(bucket, [(name, path, os.path.getsize(path))], workers=4, resume=True)
"""


def killed_when(ready, s3_server, proxy, code, *args) -> None:
    """Runs `code` in a child process through the proxy until `ready()`, then
    kills it (SIGKILL); its keys come in the environment."""
    host, _, port = proxy.endpoint.rpartition(":")
    env = {**os.environ, "ZT_USER": s3_server.access_key, "ZT_PASSWORD": s3_server.secret_key}
    child = subprocess.Popen([sys.executable, "-c", code, host, port, *args], env=env)
    try:
        deadline = time.monotonic() + 60
        while not ready():
            assert child.poll() is None
            assert time.monotonic() < deadline
            time.sleep(0.05)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()


def part_puts(proxy) -> list:
    return [r for r in proxy.log if r.method == "PUT" and "partNumber" in r.query]


def stored_parts(sdk, bucket, name) -> dict[int, str]:
    (upload,) = sdk._list_multipart_uploads(bucket, prefix=name).uploads
    return {p.part_number: p.etag for p in sdk._list_parts(bucket, name, upload.upload_id).parts}


def upload(store, bucket, name, path, **kwargs) -> None:
    store._upload_files(bucket, [(name, str(path), path.stat().st_size)], workers=4, **kwargs)


def test_a_killed_upload_goes_on_with_the_parts_it_lacks(
    s3_server, sdk, bucket, via, proxy, tmp_path
):
    path = tmp_path / "big.bin"
    path.write_bytes(os.urandom(60 * MIB))  # 12 parts of 5 MiB
    # Parts past the fifth never reach the store: it holds what it held when
    # the process died.
    proxy.drop(when=lambda r: r.method == "PUT" and "partNumber" in r.query, after=5, times=None)
    killed_when(
        lambda: sum(r.status == 200 for r in part_puts(proxy)) >= 5,
        s3_server, proxy, CHILD, bucket, "big.bin", str(path),
    )  # fmt: skip
    proxy.clear()
    before = stored_parts(sdk, bucket, "big.bin")
    assert 5 <= len(before) < 12

    upload(via, bucket, "big.bin", path, resume=True)

    assert sorted(int(r.query["partNumber"]) for r in part_puts(proxy)) == sorted(
        set(range(1, 13)) - set(before)
    )
    assert unfinished(sdk, bucket) == []
    upload(via, bucket, "fresh.bin", path)
    assert sdk.get_object(bucket, "big.bin").read() == path.read_bytes()
    assert sdk.stat_object(bucket, "big.bin").etag == sdk.stat_object(bucket, "fresh.bin").etag


SENT_AGAIN = {
    "file grown": [1, 2, 3, 4],  # written since the upload began: sent whole
    "part damaged on the store": [2, 4],
    # The upload's CRC-32 header is the old content's: carried on, then whole.
    "tail written, its time kept": [1, 2, 3, 4, 4],
}


@pytest.mark.parametrize("change", SENT_AGAIN)
def test_what_the_store_holds_otherwise_is_sent_again(
    s3_server, sdk, bucket, via, proxy, tmp_path, change
):
    if change == "tail written, its time kept" and s3_server.kind == "juicefs":
        pytest.skip("the gateway keeps no user metadata unless told to")
    path = tmp_path / "f.bin"
    data = os.urandom(16 * MIB)  # parts of 5, 5, 5 and 1 MiB
    path.write_bytes(data)
    crc = {"x-amz-meta-zarnel-crc32": f"{zlib.crc32(data):08x}"}
    upload_id = sdk._create_multipart_upload(bucket, "f.bin", crc)
    for number in (1, 2, 3):
        part = data[(number - 1) * 5 * MIB : number * 5 * MIB]
        if change == "part damaged on the store" and number == 2:
            part = bytes(5 * MIB)
        sdk._upload_part(bucket, "f.bin", part, None, upload_id, number)
    if change == "file grown":
        data += os.urandom(MIB)
        path.write_bytes(data)
        later = time.time() + 30
        os.utime(path, (later, later))
    elif change == "tail written, its time kept":
        kept = path.stat()
        data = data[: 15 * MIB] + os.urandom(MIB)
        path.write_bytes(data)
        os.utime(path, ns=(kept.st_atime_ns, kept.st_mtime_ns))

    upload(via, bucket, "f.bin", path, resume=True)

    assert sorted(int(r.query["partNumber"]) for r in part_puts(proxy)) == SENT_AGAIN[change]
    assert sdk.get_object(bucket, "f.bin").read() == data
    assert unfinished(sdk, bucket) == []  # an upload cut otherwise: dropped
    stored_crc = sdk.stat_object(bucket, "f.bin").metadata.get("x-amz-meta-zarnel-crc32")
    assert stored_crc == (None if s3_server.kind == "juicefs" else f"{zlib.crc32(data):08x}")


def test_ctrl_c_keeps_the_upload_for_the_next_call(sdk, bucket, via, proxy, tmp_path):
    (tmp_path / "up").mkdir()
    path = tmp_path / "up" / "f.bin"
    path.write_bytes(os.urandom(16 * MIB))
    proxy.delay(5, when=lambda r: "partNumber" in r.query, after=2, times=None)
    timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))

    started = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        via._upload_dir(bucket, str(tmp_path / "up"), workers=4, resume=True)
    assert time.monotonic() - started < 1.0 + 1.0
    timer.join()
    assert unfinished(sdk, bucket) == ["up/f.bin"]

    proxy.clear()
    via._upload_dir(bucket, str(tmp_path / "up"), workers=4, resume=True)
    assert sdk.get_object(bucket, "up/f.bin").read() == path.read_bytes()
    assert unfinished(sdk, bucket) == []


# --- downloads in pieces, resumed --------------------------------------------

# Downloads one object on the engine, resumed.
DOWNLOAD_CHILD = """
import os, sys
from zarnel.minio_main import ZarnelMinioMain
host, port, bucket, name, path, size = sys.argv[1:]
store = ZarnelMinioMain({"host": host, "port": int(port), "user": os.environ["ZT_USER"],
                         "password": os.environ["ZT_PASSWORD"]})
store._connect()
store._download_files(bucket, [(name, path, int(size), None)], workers=2, resume=True)
"""


def piece_gets(proxy, bucket, name) -> list:
    return [r for r in proxy.log
            if r.method == "GET" and r.path == f"/{bucket}/{name}" and r.status == 206]  # fmt: skip


def journal(folder):
    """The one journal left in ``folder``: (pieces of its cut, pieces whole)."""
    (path,) = folder.glob(".zarnel-*.part.resume")
    lines = path.read_text().splitlines()
    size = int(next(line.split()[1] for line in lines if line.startswith("size ")))
    _, kind, count = next(line for line in lines if line.startswith("cut ")).split()
    pieces = int(count) if kind == "parts" else -(-size // int(count))
    return pieces, {line.split()[1] for line in lines if line.startswith("whole ")}


def settle(s3_server) -> None:
    """A store that gives no ETag (the gateway): pieces are kept for the next
    call only once their object is 2 s old, when a later write would show."""
    if s3_server.kind == "juicefs":
        time.sleep(2.1)


def download(store, bucket, name, path, size, etag=None, workers=4, **kwargs) -> None:
    store._download_files(bucket, [(name, str(path), size, etag)], workers=workers, **kwargs)


def test_a_killed_download_goes_on_with_the_pieces_it_lacks(
    s3_server, bucket, via, proxy, tmp_path
):
    data = os.urandom(40 * MIB)  # ranges of 8 MiB, or (the gateway) parts of 5 MiB
    (tmp_path / "up.bin").write_bytes(data)
    upload(via, bucket, "big.bin", tmp_path / "up.bin")
    settle(s3_server)
    down = tmp_path / "down"
    down.mkdir()
    proxy.clear()
    # The pieces past the fourth are held until the process is gone.
    is_get = lambda r: r.method == "GET" and r.path == f"/{bucket}/big.bin"  # noqa: E731
    proxy.delay(60, when=is_get, after=4, times=None)
    killed_when(
        lambda: sum(map(is_get, proxy.log)) >= 5 and len(journal(down)[1]) >= 2,
        s3_server, proxy, DOWNLOAD_CHILD, bucket, "big.bin", str(down / "big.bin"), str(len(data)),
    )  # fmt: skip
    pieces, whole = journal(down)
    proxy.clear()

    download(via, bucket, "big.bin", down / "big.bin", len(data), resume=True)

    assert len(piece_gets(proxy, bucket, "big.bin")) == pieces - len(whole)
    assert (down / "big.bin").read_bytes() == data
    assert os.listdir(down) == ["big.bin"]  # the temporary file and journal gone


CHANGED = ["object replaced (listed ETag)", "object replaced (no ETag)", "kept piece damaged"]


@pytest.mark.parametrize("change", CHANGED)
def test_what_changed_since_comes_whole(s3_server, sdk, bucket, via, proxy, tmp_path, change):
    if change == "kept piece damaged" and s3_server.kind == "juicefs":
        pytest.skip("the gateway gives no ETag and no CRC-32 to check a file against")
    # One PUT: its ETag is the MD5 of the object, fetched in 4 ranges.
    data = os.urandom(32 * MIB)
    sdk.put_object(bucket, "o.bin", io.BytesIO(data), len(data), part_size=len(data))
    settle(s3_server)
    target = tmp_path / "o.bin"
    is_get = lambda r: r.method == "GET" and r.path == f"/{bucket}/o.bin"  # noqa: E731
    proxy.error(403, "AccessDenied", when=is_get, after=2, times=None)
    with pytest.raises(S3Error):
        download(via, bucket, "o.bin", target, len(data), workers=2, resume=True)
    pieces, whole = journal(tmp_path)
    assert len(whole) >= 1
    assert not target.exists()
    (temp,) = tmp_path.glob(".zarnel-*.part")
    if change == "kept piece damaged":
        with open(temp, "r+b") as file:
            file.seek(int(min(whole)) * 8 * MIB + 100)
            file.write(b"\0" * 10)
    else:
        data = os.urandom(len(data))
        sdk.put_object(bucket, "o.bin", io.BytesIO(data), len(data), part_size=len(data))
    proxy.clear()

    etag = sdk.stat_object(bucket, "o.bin").etag if "listed" in change else None
    download(via, bucket, "o.bin", target, len(data), etag, resume=True)

    assert target.read_bytes() == data
    assert len(piece_gets(proxy, bucket, "o.bin")) >= pieces
    assert os.listdir(tmp_path) == ["o.bin"]


def test_ctrl_c_keeps_the_pieces_for_the_next_call(sdk, bucket, via, proxy, tmp_path):
    data = os.urandom(32 * MIB)
    sdk.put_object(bucket, "d/f.bin", io.BytesIO(data), len(data), part_size=len(data))
    proxy.delay(5, when=lambda r: r.method == "GET" and "f.bin" in r.path, after=2, times=None)
    timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))

    started = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        via._download_dir(bucket, "d", str(tmp_path / "d"), workers=4, resume=True)
    assert time.monotonic() - started < 1.0 + 1.0
    timer.join()
    (temp,) = (tmp_path / "d").glob(".zarnel-*.part")
    assert sorted(os.listdir(tmp_path / "d")) == [temp.name, temp.name + ".resume"]

    proxy.clear()
    via._download_dir(bucket, "d", str(tmp_path / "d"), workers=4, resume=True)
    assert (tmp_path / "d" / "f.bin").read_bytes() == data
    assert os.listdir(tmp_path / "d") == ["f.bin"]


def test_the_clean_ups_remove_what_is_old_and_say_what(s3_server, sdk, bucket, via, tmp_path):
    for name in ("old/a", "old/b", "other/c"):
        sdk._create_multipart_upload(bucket, name, {})
    (tmp_path / "x").mkdir()
    name = ".zarnel-0123456789abcdef.part"
    old = [tmp_path / name, tmp_path / "x" / f"{name}.resume"]
    young = tmp_path / ".zarnel-fedcba9876543210.part"
    held = tmp_path / ".zarnel-00000000000000ff.part"
    for path in (*old, young, held, tmp_path / "plain.part"):
        path.write_bytes(b"x")
    for path in (*old, held, tmp_path / "plain.part"):
        os.utime(path, (time.time() - 7200, time.time() - 7200))
    time.sleep(1.1)  # the store's times are in whole seconds

    if s3_server.kind != "moto":  # which dates every upload in 2010
        assert via._abort_uploads(bucket, "old/", older_than=3600) == []
    listed = via._abort_uploads(bucket, "old/", older_than=0, dry_run=True)
    assert sorted(u.object_name for u in listed) == ["old/a", "old/b"]
    assert sorted(unfinished(sdk, bucket)) == ["old/a", "old/b", "other/c"]
    assert sorted(u.upload_id for u in via._abort_uploads(bucket, "old/", older_than=0)) == sorted(
        u.upload_id for u in listed
    )
    assert unfinished(sdk, bucket) == ["other/c"]

    with open(held, "rb") as file:
        fcntl.flock(file, fcntl.LOCK_EX)  # a download that resumes holds it
        removed = sorted(map(str, old))
        assert sorted(via._clean_partials(tmp_path, 3600, dry_run=True)) == removed
        assert all(path.exists() for path in old)
        assert sorted(via._clean_partials(str(tmp_path), timedelta(hours=1))) == removed
    assert sorted(os.listdir(tmp_path)) == sorted([young.name, held.name, "plain.part", "x"])
    assert os.listdir(tmp_path / "x") == []


def test_sync_down_carries_on_what_it_left(s3_server, sdk, bucket, via, proxy, tmp_path):
    data = os.urandom(24 * MIB)  # 3 ranges
    sdk.put_object(bucket, "s/big", io.BytesIO(data), len(data), part_size=len(data))
    settle(s3_server)
    is_get = lambda r: r.method == "GET" and r.path == f"/{bucket}/s/big"  # noqa: E731
    proxy.error(403, "AccessDenied", when=is_get, after=1, times=None)
    with pytest.raises(SyncError):
        via._sync_down(bucket, "s", tmp_path / "d", resume=True)
    pieces, whole = journal(tmp_path / "d")
    proxy.clear()

    assert via._sync_down(bucket, "s", tmp_path / "d", resume=True).copied == 1
    assert len(piece_gets(proxy, bucket, "s/big")) == pieces - len(whole) < pieces
    assert (tmp_path / "d" / "big").read_bytes() == data
    assert os.listdir(tmp_path / "d") == ["big"]
