"""Uploads in parts resumed (resume=True) through the fault proxy: the store's
unfinished upload carried on in a new process after the first was killed,
only the parts that it lacks or holds otherwise sent, and Ctrl-C leaving the
upload on the store for the next call."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
import zlib

import pytest

from tests.integration.conftest import ENGINE_KINDS
from tests.integration.test_engine_faults import MIB, unfinished

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
    host, _, port = proxy.endpoint.rpartition(":")
    env = {**os.environ, "ZT_USER": s3_server.access_key, "ZT_PASSWORD": s3_server.secret_key}
    child = subprocess.Popen([sys.executable, "-c", CHILD, host, port, bucket, "big.bin",
                              str(path)], env=env)  # fmt: skip
    try:
        deadline = time.monotonic() + 60
        while sum(r.status == 200 for r in part_puts(proxy)) < 5:
            assert child.poll() is None
            assert time.monotonic() < deadline
            time.sleep(0.05)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
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
    assert stored_crc in (None, f"{zlib.crc32(data):08x}")


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
