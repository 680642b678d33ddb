"""The fault-injecting proxy (tests/faultproxy.py) in front of SeaweedFS, whose
gateway checks signatures: what it forwards is what the client signed, and
each fault reaches the SDK as the fault it stands for."""

from __future__ import annotations

import io
import socket
import threading
import time

import minio
import pytest
import urllib3

from tests.faultproxy import FaultProxy
from tests.helpers import signed_headers

pytestmark = pytest.mark.parametrize("s3_server", ["seaweedfs"], indirect=True)
MIB = 1024 * 1024
GET = lambda e: e.method == "GET" and e.path.endswith("/obj")  # noqa: E731


@pytest.fixture
def proxy(s3_server, bucket):
    with FaultProxy(s3_server.endpoint) as started:
        yield started
    assert [t for t in threading.enumerate() if t.name == "faultproxy"] == []


def through(proxy, server, retries: bool = True) -> minio.Minio:
    http = None if retries else urllib3.PoolManager(retries=False)
    return minio.Minio(proxy.endpoint, access_key=server.access_key, secret_key=server.secret_key,
                       secure=False, http_client=http)  # fmt: skip


def test_signed_requests_reach_the_server_as_signed(proxy, s3_server, bucket):
    client = through(proxy, s3_server)
    data = bytes(range(256)) * (24 * 1024)  # 6 MiB: two parts
    client.put_object(bucket, "big", io.BytesIO(data), len(data), part_size=5 * MIB,
                      num_parallel_uploads=1)  # fmt: skip
    client.put_object(bucket, "a b/ü.txt", io.BytesIO(b"small"), 5)
    assert client.get_object(bucket, "big").read() == data
    assert [o.object_name for o in client.list_objects(bucket, recursive=True)] == [
        "a b/ü.txt",
        "big",
    ]
    log = proxy.log
    assert {e.status for e in log} == {200}
    assert [e.query.get("partNumber") for e in log if "uploadId" in e.query] == ["1", "2", None]
    assert f"/{bucket}/a b/ü.txt" in [e.path for e in log]
    assert proxy.connections == 1  # one kept-alive connection for all of it


def test_interim_answers_reach_a_client_that_waits_for_them(proxy, s3_server, bucket):
    body = b"sent after 100 Continue"
    url = f"http://{proxy.endpoint}/{bucket}/waited"
    headers = signed_headers(s3_server, "PUT", url, body, {"Expect": "100-continue"})
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=30) as sock:
        head = "".join(f"{k}: {v}\r\n" for k, v in headers.items())
        sock.sendall(f"PUT /{bucket}/waited HTTP/1.1\r\n{head}\r\n".encode())
        assert sock.recv(1024).startswith(b"HTTP/1.1 100 Continue\r\n")
        sock.sendall(body)
        assert sock.recv(4096).startswith(b"HTTP/1.1 200")
    assert through(proxy, s3_server).get_object(bucket, "waited").read() == body


def test_answers_in_the_servers_place_as_often_as_told(proxy, s3_server, bucket):
    client = through(proxy, s3_server)
    slow = proxy.error(503, "SlowDown", times=2, when=lambda e: e.method == "PUT")
    client.put_object(bucket, "obj", io.BytesIO(b"data"), 4)  # the SDK retries the 503s
    assert [e.status for e in proxy.log if e.method == "PUT"] == [503, 503, 200]
    assert (slow.matched, slow.applied) == (3, 2)

    gone = proxy.error(404, "NoSuchKey", "no such key", after=1, times=None, when=GET)
    assert client.get_object(bucket, "obj").read() == b"data"
    for _ in range(2):
        with pytest.raises(minio.S3Error) as caught:
            client.get_object(bucket, "obj")
        assert (caught.value.code, caught.value.message) == ("NoSuchKey", "no such key")
    assert (gone.matched, gone.applied) == (3, 2)
    assert [e.fault for e in proxy.log if GET(e)] == [None, "answer", "answer"]


def test_spoiled_answers(proxy, s3_server, bucket):
    client = through(proxy, s3_server, retries=False)
    client.put_object(bucket, "obj", io.BytesIO(b"0123456789"), 10)

    proxy.cut(4, when=GET)
    with pytest.raises(urllib3.exceptions.ProtocolError, match=r"IncompleteRead\(4 bytes read"):
        client.get_object(bucket, "obj").read()
    proxy.cut(4, keep_length=False, when=GET)
    cut = client.get_object(bucket, "obj")
    assert ("Content-Length" in cut.headers, cut.read()) == (False, b"0123")

    proxy.flip(3, when=GET)
    assert client.get_object(bucket, "obj").read() == b"012\xcc456789"
    proxy.header("ETag", when=lambda e: e.method == "HEAD")
    proxy.header("Content-Type", "text/x-changed", when=GET)
    assert client.stat_object(bucket, "obj").etag == ""
    assert client.get_object(bucket, "obj").headers["Content-Type"] == "text/x-changed"

    proxy.delay(0.5, when=GET)
    start = time.monotonic()
    assert client.get_object(bucket, "obj").read() == b"0123456789"
    assert time.monotonic() - start >= 0.5


def test_connection_faults(proxy, s3_server, bucket):
    client = through(proxy, s3_server, retries=False)
    client.put_object(bucket, "obj", io.BytesIO(b"data"), 4)
    proxy.drop(when=GET)
    with pytest.raises(urllib3.exceptions.ProtocolError, match="RemoteDisconnected"):
        client.get_object(bucket, "obj")
    proxy.reset(when=GET)
    with pytest.raises(urllib3.exceptions.ProtocolError, match="Connection reset by peer"):
        client.get_object(bucket, "obj")
    assert [(e.status, e.fault) for e in proxy.log if GET(e)] == [(None, "drop"), (None, "reset")]

    port = proxy.port
    proxy.kill()
    with pytest.raises(urllib3.exceptions.NewConnectionError, match="Connection refused"):
        client.get_object(bucket, "obj")
    proxy.revive()
    assert proxy.port == port
    assert client.get_object(bucket, "obj").read() == b"data"


def test_random_damage_is_the_seeds(proxy, s3_server, bucket):
    data = bytes(range(200)) * 20
    for i in range(30):
        through(proxy, s3_server).put_object(bucket, f"o{i}", io.BytesIO(data), len(data))

    def damaged(seed: int, kinds=None, retries=True) -> list[tuple[str, str, str]]:
        # A client of its own: the proxy closes a connection after an answer
        # of its own, and a request sent on it then (with no retries) is lost.
        client = through(proxy, s3_server, retries=retries)
        proxy.clear()
        proxy.damage(seed, 0.4, kinds, when=lambda e: e.method == "GET" and "/o" in e.path)
        seen = {}
        for i in range(30):
            try:
                body = client.get_object(bucket, f"o{i}").read()
                how = "whole" if body == data else f"{len(body)} bytes"
            except (minio.error.S3Error, urllib3.exceptions.HTTPError) as error:
                how = type(error).__name__
            seen[f"/{bucket}/o{i}"] = how
        return [(e.path, e.fault, seen[e.path]) for e in proxy.log if e.fault]

    first = [(path, fault) for path, fault, _ in damaged(7)]
    assert [(path, fault) for path, fault, _ in damaged(7)] == first
    assert [(path, fault) for path, fault, _ in damaged(8)] != first
    assert 5 <= len({path for path, _ in first}) <= 25
    once = damaged(7, retries=False)
    assert all(how != "whole" for *_, how in once)
    assert {how for *_, how in damaged(7, ["reset mid-body", "dropped"], False)} == {
        "ProtocolError"
    }
    assert {how for *_, how in damaged(7, ["503 SlowDown"], False)} == {"S3Error"}
