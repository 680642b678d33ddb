"""Clients sent to other processes: multiprocessing pools, one tunnel per process, and
clients that a forked child inherits."""

from __future__ import annotations

import multiprocessing
import os
import signal
import time

import pytest

from tests.helpers import gone, wait_for
from zarnel.minio_main import ZarnelMinioMain

# The parent has threads (the tunnel's supervisor, the servers' readers);
# the children here only use what they are sent.
forking = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")


class Tagged(ZarnelMinioMain):
    """Module level, so that a spawned child can import it; records where it
    was constructed."""

    def __init__(self, config):
        super().__init__(config)
        self.built_in = os.getpid()


def _round_trip(store, bucket_name, object_name):
    store._upload_flow(bucket_name, object_name, f"from {os.getpid()}")
    return os.getpid(), store.built_in, store._download_flow(bucket_name, object_name)


@forking
@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_pool_workers_rebuild_the_client(s3_config, sdk, bucket, method):
    store = Tagged(s3_config)
    store._connect()
    jobs = [(store, bucket, f"p{i}.txt") for i in range(4)]
    with multiprocessing.get_context(method).Pool(2) as pool:
        results = pool.starmap(_round_trip, jobs)
    for i, (pid, built_in, text) in enumerate(results):
        assert pid != os.getpid()
        assert built_in == pid  # constructed by the subclass in the child
        assert text == f"from {pid}"
        assert sdk.get_object(bucket, f"p{i}.txt").read() == text.encode()


def _tunnelled_child(conn):
    store, bucket_name = conn.recv()  # unpickled here: opens its own tunnel
    text = store._download_flow(bucket_name, "parent.txt")
    store._upload_flow(bucket_name, "child.txt", text + " and child")
    conn.send((store._config.port, store._config.tunnel.pid))
    conn.recv()  # the parent says when to end


@forking
@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_each_process_has_its_own_tunnel(s3_config, tunnel_keys, bucket, method):
    store = ZarnelMinioMain({**s3_config, "ssh": True, **tunnel_keys})
    store._connect()
    parent_port, parent_ssh = store._config.port, store._config.tunnel.pid
    store._upload_flow(bucket, "parent.txt", "parent")
    context = multiprocessing.get_context(method)
    here, there = context.Pipe()
    child = context.Process(target=_tunnelled_child, args=(there,))
    child.start()
    try:
        here.send((store, bucket))
        assert here.poll(60), "the child did not answer"
        child_port, child_ssh = here.recv()
        assert child_port != parent_port
        assert child_ssh not in (None, parent_ssh)
        assert store._download_flow(bucket, "child.txt") == "parent and child"
        here.send("end")
        child.join(60)
        assert child.exitcode == 0
        # The child's tunnel ended with it; the parent's still works.
        assert wait_for(lambda: gone(child_ssh))
        assert not gone(parent_ssh)
        store._upload_flow(bucket, "after.txt", "still here")
        assert store._download_flow(bucket, "after.txt") == "still here"
    finally:
        if child.is_alive():
            child.kill()
            child.join()
    store._config.close()
    assert wait_for(lambda: gone(parent_ssh))


def _work_on_objects(store, bucket_name, who, rounds=40):
    for i in range(rounds):
        text = f"{who} {i} " * (1 + i % 7)
        store._upload_flow(bucket_name, f"{who}/{i}", text)
        assert store._download_flow(bucket_name, f"{who}/{i}") == text
        assert store._download_flow(bucket_name, f"shared/{i % 4}") == f"shared {i % 4}"


def _wait_for_child(pid, seconds=120):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)  # stuck reading a response the parent took
    os.waitpid(pid, 0)
    return "stuck"


@forking
def test_a_forked_child_opens_connections_of_its_own(store, sdk, bucket, tmp_path):
    # Requests that leave keep-alive connections in the client's pool.
    for i in range(4):
        store._upload_flow(bucket, f"shared/{i}", f"shared {i}")
    ready, go = os.pipe(), os.pipe()
    failure = tmp_path / "child-failure.txt"
    pid = os.fork()
    if pid == 0:  # the child: the same client object, both at work at once
        code = 1
        try:
            os.write(ready[1], b"r")
            os.read(go[0], 1)
            _work_on_objects(store, bucket, "child")
            code = 0
        except BaseException as error:
            failure.write_text(repr(error))
        finally:
            os._exit(code)
    os.read(ready[0], 1)
    os.write(go[1], b"g")
    try:
        _work_on_objects(store, bucket, "parent")
    finally:
        code = _wait_for_child(pid)
    assert code == 0, failure.read_text() if failure.exists() else code
    for who in ("parent", "child"):
        for i in range(40):
            expected = f"{who} {i} " * (1 + i % 7)
            assert sdk.get_object(bucket, f"{who}/{i}").read() == expected.encode()
