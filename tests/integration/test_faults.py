"""Faults in the middle of an operation: the S3 server stopped during a file
upload, a directory upload, a directory download and a listing, and the ssh
child of a tunnel killed. Each operation ends in a Python exception within a
bounded time, and the same instance works again once the server (or the
tunnel) is back.

These tests stop servers, so they run against servers of their own: a moto
server for this module (it restarts in a second or two, empty).
"""

from __future__ import annotations

import gc
import hashlib
import os
import re
import signal
import threading

import minio
import pytest
import urllib3

from tests.helpers import gone, ssh_children, tunnel_threads, wait_for
from tools.s3servers import MotoServer

MIB = 1024 * 1024
BUCKET = "faults"
# What the storage client says when the server has gone away: the request
# found nobody listening, or the connection was cut under it.
TRANSPORT = re.compile(r"Connection refused|Connection reset|Connection aborted|RemoteDisconnected")


@pytest.fixture(scope="module")
def server():
    with MotoServer() as started:
        yield started


class Tripwire:
    """Stops the server just before the ``nth`` request that ``matches``
    (method, object name, query), from the thread that makes it, and can
    make listings come in pages of ``page`` items."""

    def __init__(self, server, nth: int, matches, page: int | None = None) -> None:
        self.server = server
        self.nth = nth
        self.matches = matches
        self.page = page
        self.seen = 0
        self.tripped = threading.Event()
        self._lock = threading.Lock()

    def before(self, method: str, object_name, query: dict) -> None:
        if self.page and "list-type" in query:
            query["max-keys"] = str(self.page)
        with self._lock:
            if self.tripped.is_set() or not self.matches(method, object_name, query):
                return
            self.seen += 1
            if self.seen < self.nth:
                return
            self.tripped.set()
            self.server.stop()


@pytest.fixture
def store(server, monkeypatch):
    """A connected instance whose storage client is the SDK's own (as
    ``_connect`` makes it, default retries and all), with a tripwire."""
    from zarnel.minio_main import ZarnelMinioMain

    class TripwiredMinio(minio.Minio):
        tripwire: Tripwire | None = None

        def _url_open(self, method, region, bucket_name=None, object_name=None, body=None,
                      headers=None, query_params=None, **kwargs):  # fmt: skip
            if self.tripwire is not None:
                self.tripwire.before(method, object_name, query_params or {})
            return super()._url_open(method, region, bucket_name, object_name, body, headers,
                                     query_params, **kwargs)  # fmt: skip

    monkeypatch.setattr(minio, "Minio", TripwiredMinio)
    host, _, port = server.endpoint.rpartition(":")
    instance = ZarnelMinioMain({"host": host, "port": int(port), "user": server.access_key,
                                "password": server.secret_key})  # fmt: skip
    instance._connect()
    assert type(instance._engine) is TripwiredMinio
    if server._process is None:  # a test before this one left it stopped
        server.restart()
    instance._create_bucket(BUCKET)
    yield instance
    if server._process is None:
        server.restart()


def arm(store, tripwire: Tripwire) -> Tripwire:
    store._engine.tripwire = tripwire
    return tripwire


def back(server, store) -> None:
    """The server again, empty (moto keeps nothing), with the bucket."""
    store._engine.tripwire = None
    server.restart()
    store._create_bucket(BUCKET)


def fails_with_transport_error(call, *args, **kwargs) -> BaseException:
    with pytest.raises(urllib3.exceptions.HTTPError) as caught:
        call(*args, **kwargs)
    error = caught.value
    text = f"{error} {error.__context__!r}"
    assert TRANSPORT.search(text), text
    return error


def digest(path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_server_stopped_during_a_parallel_file_upload(server, store, sdk_of, tmp_path):
    big = tmp_path / "big.bin"
    big.write_bytes(os.urandom(MIB) * 18)  # four parts of 5 MiB
    wire = arm(store, Tripwire(server, 3, lambda m, o, q: m == "PUT" and "partNumber" in q))

    fails_with_transport_error(store._upload_file, BUCKET, "big.bin", str(big), parallel=3)
    assert wire.tripped.is_set()

    back(server, store)
    store._upload_file(BUCKET, "big.bin", str(big), parallel=3)
    sdk = sdk_of(server)
    assert sdk.stat_object(BUCKET, "big.bin").size == 18 * MIB
    sdk.fget_object(BUCKET, "big.bin", str(tmp_path / "back.bin"))
    assert digest(tmp_path / "back.bin") == digest(big)


def test_server_stopped_during_a_directory_upload(server, store, sdk_of, tmp_path):
    tree = tmp_path / "site"
    for i in range(12):
        (tree / f"d{i % 3}").mkdir(parents=True, exist_ok=True)
        (tree / f"d{i % 3}" / f"f{i}.txt").write_text(f"file {i}")
    wire = arm(store, Tripwire(server, 5, lambda m, o, q: m == "PUT" and o is not None))

    fails_with_transport_error(store._upload_dir, BUCKET, str(tree))
    assert wire.tripped.is_set()

    back(server, store)
    store._upload_dir(BUCKET, str(tree))
    listed = sorted(o.object_name for o in sdk_of(server).list_objects(BUCKET, recursive=True))
    assert listed == sorted(f"site/d{i % 3}/f{i}.txt" for i in range(12))


def put_many(store, names) -> None:
    for name in names:
        store._upload_flow(BUCKET, name, name.encode())


def test_server_stopped_during_a_directory_download(server, store, tmp_path):
    names = [f"docs/{i:02}.txt" for i in range(10)]
    put_many(store, names)
    out = tmp_path / "out"
    out.mkdir()
    wire = arm(store, Tripwire(server, 4, lambda m, o, q: m == "GET" and o is not None))

    fails_with_transport_error(store._download_dir, BUCKET, "docs", str(out))
    assert wire.tripped.is_set()
    # The three downloads before the stop are whole; nothing else was made.
    done = sorted(p.name for p in out.iterdir())
    assert done == ["00.txt", "01.txt", "02.txt"]
    assert all((out / n).read_text() == f"docs/{n}" for n in done)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out"]

    back(server, store)
    put_many(store, names)
    store._download_dir(BUCKET, "docs", str(out))
    assert sorted(p.name for p in out.iterdir()) == [n.split("/")[1] for n in names]


def test_server_stopped_during_an_engine_download(server, store, tmp_path):
    names = [f"docs/{i:02}.txt" for i in range(40)]
    put_many(store, names)
    # The SDK's own class, which the transfer engine serves.
    store._engine = minio.api.Minio(server.endpoint, access_key=server.access_key,
                                    secret_key=server.secret_key, secure=False)  # fmt: skip
    out = tmp_path / "out"
    moved = []

    def stop_after_five(name, size):
        moved.append(name)
        if len(moved) == 5:
            server.stop()

    # The class that the one-at-a-time path raises, naming the endpoint.
    error = fails_with_transport_error(store._download_dir, BUCKET, "docs", str(out), workers=4,
                                       progress=stop_after_five)  # fmt: skip
    assert f"port={server.port}" in str(error)
    # Every file there is whole; nothing else was left behind.
    done = [p.name for p in out.iterdir()]
    assert len(done) >= 5
    assert all((out / n).read_text() == f"docs/{n}" for n in done)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out"]
    back(server, store)


def test_server_stopped_during_a_listing(server, store):
    names = [f"many/{i:03}" for i in range(30)]
    put_many(store, names)
    # Pages of five: the stop comes before the third page.
    wire = arm(store, Tripwire(server, 3, lambda m, o, q: "list-type" in q, page=5))

    fails_with_transport_error(store._bucket_list_files, BUCKET, "many/")
    assert wire.tripped.is_set()

    back(server, store)
    put_many(store, names)
    store._engine.tripwire = Tripwire(server, 10**9, lambda *a: False, page=5)
    records = store._bucket_list_files(BUCKET, "many/")
    assert [r["object_name"] for r in records] == names


@pytest.fixture
def sdk_of():
    def make(server) -> minio.Minio:
        return minio.Minio(server.endpoint, access_key=server.access_key,
                           secret_key=server.secret_key, secure=False)  # fmt: skip

    return make


def test_ssh_child_killed_under_a_store(server, tunnel_keys):
    from zarnel.minio_main import ZarnelMinioMain

    host, _, port = server.endpoint.rpartition(":")
    if server._process is None:
        server.restart()
    config = {"host": host, "port": int(port), "user": server.access_key,
              "password": server.secret_key}  # fmt: skip
    store = ZarnelMinioMain({**config, "ssh": True, **tunnel_keys})
    store._connect()
    store._create_bucket("tunnelled")
    store._upload_flow("tunnelled", "before.txt", "你好")
    tunnel = store._config.tunnel

    # Hold the restart until the call below has seen the tunnel down.
    gate = threading.Event()
    restart = tunnel._start_child

    def held_restart():
        if not gate.wait(60):
            raise RuntimeError("the test never let the tunnel restart")
        restart()

    tunnel._start_child = held_restart
    first = tunnel.pid
    os.kill(first, signal.SIGKILL)
    assert wait_for(lambda: tunnel.state == "down")
    try:
        # The SDK retries a refused connection a few times, then gives up.
        with pytest.raises(urllib3.exceptions.MaxRetryError, match="Connection refused"):
            store._download_flow("tunnelled", "before.txt")
    finally:
        gate.set()
    assert wait_for(lambda: tunnel.state == "up" and tunnel.restarts == 1)
    assert tunnel.pid not in (None, first)

    assert store._download_flow("tunnelled", "before.txt") == "你好"
    store._upload_flow("tunnelled", "after.txt", b"back")
    assert [r["object_name"] for r in store._bucket_list_files("tunnelled")] == [
        "after.txt",
        "before.txt",
    ]

    pid = tunnel.pid
    store = tunnel = restart = held_restart = None  # the record goes with the store
    gc.collect()
    assert gone(pid)
    assert wait_for(lambda: not tunnel_threads(), 5)
    assert ssh_children() == []
