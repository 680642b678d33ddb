"""Tree transfers on the transfer engine (libcurl, off the GIL) against real
servers: what it stores and writes, the store's errors as the SDK's own
S3Error, when it serves a call and when the per-file operations do, and
Ctrl-C."""

from __future__ import annotations

import logging
import os
import signal
import threading
from pathlib import Path

import minio
import pytest
from minio.error import S3Error

from tests.integration.conftest import ENGINE_KINDS
from zarnel.content_type import get_content_type

pytestmark = pytest.mark.parametrize("s3_server", ENGINE_KINDS, indirect=True)

ODD = ["a b.txt", "p+q.csv", "100%.json", "why?.html", "hash#.txt", "中文 ü.txt", "a\\b.txt",
       "~tilde.png", "x=1&y=2"]  # fmt: skip


def engine_only(minio_main, monkeypatch):
    """Makes the thread path fail loudly: the call must not take it."""

    class NoThreads:
        def __init__(self, *args):
            raise AssertionError("the thread path was taken")

    monkeypatch.setattr(minio_main, "Transfers", NoThreads)


@pytest.fixture
def minio_main():
    from zarnel import minio_main

    return minio_main


def write(root: Path, names: list[str], size: int = 1000) -> dict[str, bytes]:
    contents = {}
    for name in names:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        contents[name] = os.urandom(size)
        path.write_bytes(contents[name])
    return contents


def debris(root: Path) -> list[str]:
    return [p.name for p in root.rglob("*") if ".zarnel-" in p.name]


def test_round_trip_with_odd_names(
    s3_server, store, sdk, bucket, tmp_path, minio_main, monkeypatch
):
    engine_only(minio_main, monkeypatch)
    contents = write(tmp_path / "up", [*ODD, "sub/deep.txt"])
    contents["big.bin"] = os.urandom(300_000)  # read again while it is sent
    (tmp_path / "up" / "big.bin").write_bytes(contents["big.bin"])
    seen = []

    store._upload_dir(bucket, str(tmp_path / "up"), base_dir="t", workers=8,
                      progress=lambda name, size: seen.append((name, size)))  # fmt: skip

    names = {f"t/{n}".replace("\\", "/"): data for n, data in contents.items()}
    assert sorted(seen) == sorted((n, len(d)) for n, d in names.items())
    for name, data in names.items():
        stat = sdk.stat_object(bucket, name)
        assert stat.size == len(data)
        if s3_server.kind != "juicefs":  # the gateway keeps no content type
            assert stat.content_type == get_content_type(name)

    out = tmp_path / "new" / "out"  # made as the SDK makes it
    seen.clear()
    store._download_dir(bucket, "t", str(out), workers=8,
                        progress=lambda name, size: seen.append((name, size)))  # fmt: skip
    direct = {n[2:]: d for n, d in names.items() if n.count("/") == 1}
    assert {p.name: p.read_bytes() for p in out.iterdir()} == direct
    assert sorted(seen) == sorted((f"t/{n}", len(d)) for n, d in direct.items())
    assert debris(tmp_path) == []


def test_download_lists_one_level(store, sdk, bucket, tmp_path, minio_main, monkeypatch):
    engine_only(minio_main, monkeypatch)
    deep = [f"logs/2026/{i}.txt" for i in range(30)]
    for name in ["logs/a.txt", "logs/b.txt", "logsx/c.txt", *deep]:
        store._upload_flow(bucket, name, name)
    listed = []
    original = minio.Minio.list_objects
    monkeypatch.setattr(minio.Minio, "list_objects",
                        lambda *a, **k: listed.append(k) or original(*a, **k))  # fmt: skip

    store._download_dir(bucket, "logs", str(tmp_path), workers=4)

    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.txt", "b.txt"]
    assert listed == []  # the engine's own listing, not the SDK's


def test_store_errors_are_the_sdks_s3error(
    s3_server, s3_config, bucket_name, tmp_path, minio_main, monkeypatch, caplog
):
    engine_only(minio_main, monkeypatch)
    write(tmp_path / "up", [f"f{i}.txt" for i in range(20)])
    store = minio_main.ZarnelMinioMain(s3_config)
    # With the region given, the SDK asks the store nothing: the first request
    # is the engine's own. A missing bucket with a wrong secret: SeaweedFS
    # checks the signature first (and would make the bucket on a PUT), moto
    # checks none.
    store._engine = minio.Minio(s3_server.endpoint, access_key=s3_server.access_key,
                                secret_key="not-the-secret", secure=False,
                                region="us-east-1")  # fmt: skip
    wanted = {
        "seaweedfs": ("SignatureDoesNotMatch", 403),
        "juicefs": ("SignatureDoesNotMatch", 403),
    }.get(s3_server.kind, ("NoSuchBucket", 404))

    with caplog.at_level(logging.ERROR, logger="zarnel"), pytest.raises(S3Error) as caught:
        store._upload_dir(bucket_name, str(tmp_path / "up"), workers=4)

    error = caught.value
    assert (error.code, error.response.status) == wanted
    assert error.bucket_name == bucket_name
    assert error.object_name.startswith("up/f")
    # Later failures are not lost: the frozen error cannot take notes, so
    # they are logged.
    assert any("also failed" in r.getMessage() for r in caplog.records)

    with pytest.raises(S3Error, match=wanted[0]):
        store._download_dir(bucket_name, "up", str(tmp_path / "down"), workers=4)
    assert not (tmp_path / "down").exists()


def test_overrides_and_other_clients_take_the_thread_path(store, bucket, tmp_path, minio_main):
    write(tmp_path / "up", ["a.txt", "b.txt"])
    calls = []

    class Own(minio_main.ZarnelMinioMain):
        def _upload_file(self, *args, **kwargs):
            calls.append(args[1])
            return super()._upload_file(*args, **kwargs)

    own = Own(store._config.todict())
    own._connect()
    own._upload_dir(bucket, str(tmp_path / "up"), workers=4)
    assert sorted(calls) == ["up/a.txt", "up/b.txt"]

    class Traced(minio.Minio):
        pass

    keys = store._engine._provider.retrieve()
    store._engine = Traced(store._engine._base_url.host, access_key=keys.access_key,
                           secret_key=keys.secret_key, secure=False)  # fmt: skip
    made = []

    class Counted(minio_main.Transfers):
        def __init__(self, *args):
            made.append(args)
            super().__init__(*args)

    minio_main.Transfers, saved = Counted, minio_main.Transfers
    try:
        store._download_dir(bucket, "up", str(tmp_path / "down"), workers=4)
    finally:
        minio_main.Transfers = saved
    assert len(made) == 1
    assert sorted(p.name for p in (tmp_path / "down").iterdir()) == ["a.txt", "b.txt"]


def test_ctrl_c_ends_the_call_and_leaves_no_file(store, bucket, tmp_path, minio_main, monkeypatch):
    engine_only(minio_main, monkeypatch)
    for i in range(400):
        store._upload_flow(bucket, f"many/{i:03}", os.urandom(64))
    tasks = len(os.listdir("/proc/self/task"))
    out = tmp_path / "out"
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))

    def slow(name, size):
        threading.Event().wait(0.01)  # the call lasts well past the signal

    timer.start()
    with pytest.raises(KeyboardInterrupt):
        store._download_dir(bucket, "many", str(out), workers=8, progress=slow)
    timer.join()
    assert len(os.listdir("/proc/self/task")) == tasks
    assert debris(tmp_path) == []
    assert all(p.stat().st_size == 64 for p in out.iterdir())


def test_batches_of_planned_items_on_the_engine(store, sdk, bucket, tmp_path, minio_main,
                                                monkeypatch):  # fmt: skip
    engine_only(minio_main, monkeypatch)
    contents = write(tmp_path / "up", ["a.txt", "sub/b.txt", *ODD[:3]])
    items = []
    store._plan_upload_dir(bucket, str(tmp_path / "up"), add=items.append)
    store._upload_files(bucket, items, workers=4)
    for name, data in contents.items():
        assert sdk.get_object(bucket, f"up/{name}").read() == data

    listed = []
    store._plan_download_dir(bucket, "up", str(tmp_path / "down"), add=listed.append)
    top = {name: data for name, data in contents.items() if "/" not in name}
    assert sorted(name for name, *_ in listed) == sorted(f"up/{name}" for name in top)
    # Into a folder that is not there yet, made as the SDK makes it.
    deep = tmp_path / "deep" / "er"
    store._download_files(bucket, [(n, str(deep / Path(p).name), s, e) for n, p, s, e in listed],
                          workers=4)  # fmt: skip
    assert {p.name: p.read_bytes() for p in deep.iterdir()} == top

    with pytest.raises(S3Error, match="NoSuchKey"):
        store._download_files(bucket, [("up/gone", str(deep / "gone"), 3, None)], workers=2)
    assert not (deep / "gone").exists()
    assert debris(tmp_path) == []
