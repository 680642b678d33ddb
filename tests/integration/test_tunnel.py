"""The SSH tunnel against a real sshd, and the client through it."""

from __future__ import annotations

import gc
import logging
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import minio
import pytest
import urllib3

from tests.helpers import gone, ssh_children, tunnel_threads, wait_for
from tools.sshd import SSHServer
from zarnel_ssh import Backoff, SSHTunnelError, ZarnelSSH
from zarnel_var import ZarnelTunnelVar

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture
def echo():
    """A TCP echo server on loopback: what the tunnel forwards to."""
    server = socket.create_server(("127.0.0.1", 0))
    stop = threading.Event()

    def serve():
        server.settimeout(0.2)
        while not stop.is_set():
            try:
                conn, _ = server.accept()
            except TimeoutError:
                continue
            with conn:
                conn.settimeout(2)
                try:
                    while data := conn.recv(4096):
                        conn.sendall(data)
                except OSError:
                    pass

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    yield server.getsockname()[1]
    stop.set()
    thread.join(5)
    server.close()


def through(port: int, payload: bytes = b"ping") -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        sock.sendall(payload)
        back = b""
        while len(back) < len(payload) and (data := sock.recv(1 << 16)):
            back += data
        return back


# Run as root, drops to nobody, then tries the tunnel's port: prints what it got.
AS_NOBODY = """
import encodings.idna, errno, os, socket, sys  # all imports first: root's files stay closed
os.setuid(65534)
port, what = int(sys.argv[1]), sys.argv[2]
if what == "bind":
    for reuse in ([], [socket.SO_REUSEADDR], [socket.SO_REUSEPORT]):
        for address in ("127.0.0.1", "0.0.0.0"):
            with socket.socket() as sock:
                for option in reuse:
                    sock.setsockopt(socket.SOL_SOCKET, option, 1)
                try:
                    sock.bind((address, port))
                    sys.exit(print("bound", address, reuse))
                except OSError as error:
                    assert error.errno == errno.EADDRINUSE, error
    print("EADDRINUSE")
else:
    try:  # the reset may come before connect() returns
        with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
            sock.sendall(b"ping")
            print(repr(sock.recv(4)))
    except OSError as error:
        print(type(error).__name__)
"""


def as_nobody(port: int, what: str) -> str:
    done = subprocess.run([sys.executable, "-c", AS_NOBODY, str(port), what], capture_output=True,
                          text=True, timeout=30)  # fmt: skip
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@pytest.fixture
def mapping(echo, tunnel_keys) -> dict:
    return {"host": "127.0.0.1", "port": echo, "user": "u", "password": "s3-secret-key",
            **tunnel_keys}  # fmt: skip


def logins(sshd) -> dict[str, dict]:
    return {
        "key": {},
        "key with passphrase": {"ssh_rsa": str(sshd.locked_key), "ssh_rsa_pwd": sshd.passphrase},
        "password": {"ssh_rsa": None, "ssh_password": sshd.password},
        # ssh shows the host name lowercased in its password prompt.
        "password, host by name": {"ssh_host": "LocalHost", "ssh_rsa": None,
                                   "ssh_password": sshd.password},
    }  # fmt: skip


class TestLogin:
    @pytest.mark.parametrize(
        "login", ["key", "key with passphrase", "password", "password, host by name"]
    )
    def test_opens_a_forward_and_keeps_every_entry(self, sshd, mapping, login):
        config = {**mapping, **logins(sshd)[login]}
        with ZarnelSSH(config).connect() as record:
            assert isinstance(record, ZarnelTunnelVar)
            assert record.todict() == {**config, "host": "127.0.0.1", "port": record.port}
            assert record.port != mapping["port"]
            assert through(record.port) == b"ping"
            pid = record.tunnel.pid
            # No secret where other users of the machine could read it.
            secrets = [s.encode() for s in (sshd.passphrase, sshd.password, "s3-secret-key")]
            for name in ("cmdline", "environ"):
                seen = Path(f"/proc/{pid}/{name}").read_bytes()
                assert not [s for s in secrets if s in seen], name
            assert not [s for s in secrets if s.decode() in repr(record)]
        assert gone(pid)

    @pytest.mark.parametrize(
        ("login", "message"),
        [
            ({"ssh_rsa": None, "ssh_password": "wrong-password"},
             r"the server refused the password \(ssh_password\).*Permission denied"),
            ({"ssh_rsa_pwd": "wrong-passphrase"}, r"the passphrase \(ssh_rsa_pwd\) does not open"),
            ({"ssh_user": "nobody-here"}, r"Permission denied"),
        ],
        ids=["wrong password", "wrong passphrase", "unknown user"],
    )  # fmt: skip
    def test_refused_login_is_a_clear_error_and_leaves_nothing(self, sshd, mapping, login, message):
        config = {**mapping, **login}
        if "ssh_rsa_pwd" in login:
            config["ssh_rsa"] = str(sshd.locked_key)
        with pytest.raises(SSHTunnelError, match=message) as caught:
            ZarnelSSH(config).connect()
        text = str(caught.value)
        assert text.startswith(f"cannot start ssh tunnel to {config['ssh_user']}@127.0.0.1:")
        assert "wrong-" not in text
        assert ssh_children() == []
        assert wait_for(lambda: not tunnel_threads(), 5)

    def test_nothing_listening(self, mapping):
        config = dict(mapping)
        closed = socket.create_server(("127.0.0.1", 0))
        config["ssh_port"] = closed.getsockname()[1]
        closed.close()
        with pytest.raises(SSHTunnelError, match="Connection refused"):
            ZarnelSSH(config).connect()
        assert ssh_children() == []

    def test_a_server_that_refuses_forwarding(self, echo, tmp_path):
        with SSHServer(allow_forwarding=False) as server:
            config = {"host": "127.0.0.1", "port": echo, "ssh_host": "127.0.0.1",
                      "ssh_port": server.port, "ssh_user": server.user, "ssh_rsa": str(server.key),
                      "ssh_known_hosts": str(tmp_path / "known_hosts")}  # fmt: skip
            with pytest.raises(SSHTunnelError, match="the server refused the forward.*prohibited"):
                ZarnelSSH(config).connect()
        assert ssh_children() == []


class TestHostKeys:
    def test_a_new_host_is_recorded_then_a_changed_key_is_refused(self, sshd, mapping):
        known = Path(mapping["ssh_known_hosts"])
        ZarnelSSH(mapping).connect().close()
        recorded = known.read_text()
        assert f"[127.0.0.1]:{sshd.port} ssh-ed25519 " in recorded
        # Another host's key for the same name: a man in the middle, for ssh.
        other = known.parent / "other"
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(other)],
                       check=True)  # fmt: skip
        public = (known.parent / "other.pub").read_text().split()[:2]
        known.write_text(f"[127.0.0.1]:{sshd.port} {' '.join(public)}\n")
        with pytest.raises(SSHTunnelError, match="Host key verification failed"):
            ZarnelSSH(mapping).connect()
        assert ssh_children() == []

    def test_strict_refuses_an_unknown_host(self, mapping):
        with pytest.raises(SSHTunnelError, match="Host key verification failed"):
            ZarnelSSH({**mapping, "ssh_strict_host_key": True}).connect()


class TestLifetime:
    def test_ends_when_the_record_is_released(self, mapping):
        record = ZarnelSSH(mapping).connect()
        pid, port = record.tunnel.pid, record.port
        del record
        gc.collect()
        assert gone(pid)
        with pytest.raises(ConnectionRefusedError):
            through(port)
        assert ssh_children() == []
        assert not tunnel_threads()

    @pytest.mark.parametrize("ending", ["exit", "killed"])
    def test_no_ssh_outlives_its_process(self, mapping, ending):
        script = textwrap.dedent(f"""
            import sys, time
            from zarnel_ssh import ZarnelSSH
            record = ZarnelSSH({mapping!r}).connect()
            print(record.tunnel.pid, flush=True)
            sys.stdin.readline()  # until the test has seen the child
            if sys.argv[1] == "killed":
                time.sleep(60)
        """)
        env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT / "src"), str(ROOT)])}
        owner = subprocess.Popen([sys.executable, "-c", script, ending], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, env=env, text=True)  # fmt: skip
        try:
            pid = int(owner.stdout.readline())
            assert not gone(pid)
            owner.stdin.close()
            if ending == "killed":
                owner.send_signal(signal.SIGKILL)
            assert owner.wait(timeout=20) in (0, -signal.SIGKILL)
        finally:
            owner.kill()
            owner.stdout.close()
            owner.wait()
        assert wait_for(lambda: gone(pid), 10)


class TestSelfHealing:
    def test_restarts_on_the_same_port_after_the_child_dies(self, mapping, caplog):
        with ZarnelSSH(mapping).connect() as record:
            tunnel = record.tunnel
            first = tunnel.pid
            with caplog.at_level(logging.WARNING, logger="zarnel"):
                os.kill(first, signal.SIGKILL)
                assert wait_for(lambda: tunnel.restarts == 1 and tunnel.state == "up")
            assert tunnel.pid not in (None, first)
            assert through(record.port) == b"ping"
            messages = [r.getMessage() for r in caplog.records if r.name == "zarnel"]
            assert any("went down" in m for m in messages)
            assert any("is back" in m for m in messages)

    @pytest.mark.parametrize(
        ("change", "why"),
        [("login refused", "the server refuses the login: .*Permission denied \\(publickey"),
         ("host key changed", "the server's host key is not the one recorded: "
                              ".*Host key verification failed")],
    )  # fmt: skip
    def test_never_retries_a_refusal(self, echo, monkeypatch, caplog, tmp_path, change, why):
        # Each retry would be one more refused login for fail2ban or a lock-out.
        monkeypatch.setattr(ZarnelSSH, "backoff", Backoff(first=0.05, cap=0.2, attempts=3))
        with SSHServer() as server:
            record = ZarnelSSH({
                "host": "127.0.0.1", "port": echo, "ssh_host": "127.0.0.1",
                "ssh_port": server.port, "ssh_user": server.user, "ssh_rsa": str(server.key),
                "ssh_known_hosts": str(tmp_path / "known_hosts"),
            }).connect()  # fmt: skip
            tunnel = record.tunnel
            if change == "login refused":
                (server.dir / "authorized_keys").write_text("")
            else:  # sshd reads its host key again for every connection
                host_key = server.dir / "host_ed25519"
                host_key.unlink()
                Path(f"{host_key}.pub").unlink()
                subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(host_key)],
                               check=True, capture_output=True)  # fmt: skip
            with caplog.at_level(logging.WARNING, logger="zarnel"):
                os.kill(tunnel.pid, signal.SIGKILL)
                assert wait_for(lambda: tunnel.state == "failed")
            messages = [r.getMessage() for r in caplog.records if r.name == "zarnel"]
            assert len(messages) == 2
            assert "went down" in messages[0]
            assert re.search(f"127.0.0.1:{record.port} to .*: not restarting, {why}", messages[1])
            assert wait_for(lambda: not tunnel_threads(), 5)
            record.close()

    def test_gives_up_when_the_server_stays_away(self, echo, monkeypatch, caplog, tmp_path):
        monkeypatch.setattr(ZarnelSSH, "backoff", Backoff(first=0.05, cap=0.2, attempts=3))
        with SSHServer() as server:
            record = ZarnelSSH({
                "host": "127.0.0.1", "port": echo, "ssh_host": "127.0.0.1",
                "ssh_port": server.port, "ssh_user": server.user, "ssh_password": server.password,
                "ssh_known_hosts": str(tmp_path / "known_hosts"),
            }).connect()  # fmt: skip
            tunnel = record.tunnel
            with caplog.at_level(logging.WARNING, logger="zarnel"):
                server.stop()
                assert wait_for(lambda: tunnel.state == "failed")
                assert wait_for(lambda: not tunnel_threads(), 5)
            with pytest.raises(ConnectionRefusedError):
                through(record.port)
            # What a storage call sees while the tunnel is down.
            client = minio.Minio(
                f"127.0.0.1:{record.port}",
                access_key="a",
                secret_key="b",
                secure=False,
                http_client=urllib3.PoolManager(retries=False),
            )
            with pytest.raises(urllib3.exceptions.NewConnectionError, match="Connection refused"):
                client.list_buckets()
            messages = [r.getMessage() for r in caplog.records if r.name == "zarnel"]
            assert [m.split(": ")[1] for m in messages if " of 3 failed" in m] == [
                f"restart {n} of 3 failed" for n in (1, 2, 3)
            ]
            assert "giving up after 3 failed restarts" in messages[-1]
            assert not [m for m in messages if server.password in m]
            record.close()
            assert tunnel.state == "closed"
            assert ssh_children() == []


class TestLocalPort:
    def test_nobody_else_can_take_the_port_while_ssh_restarts(self, mapping):
        with ZarnelSSH(mapping).connect() as record:
            tunnel = record.tunnel
            gate = threading.Event()
            restart = tunnel._start_child

            def held_restart():
                gate.wait(30)
                restart()

            tunnel._start_child = held_restart
            os.kill(tunnel.pid, signal.SIGKILL)
            assert wait_for(lambda: tunnel.state == "down")
            with socket.socket() as other, pytest.raises(OSError, match="Address already in use"):
                other.bind(("127.0.0.1", record.port))
            assert as_nobody(record.port, "bind") == "EADDRINUSE"
            with pytest.raises(ConnectionRefusedError):
                through(record.port)
            gate.set()
            assert wait_for(lambda: tunnel.restarts == 1 and tunnel.state == "up")
            assert through(record.port) == b"ping"

    def test_another_user_is_refused_while_the_owner_is_served(self, mapping, caplog):
        payload = os.urandom(3 << 20)
        with ZarnelSSH(mapping).connect() as record, caplog.at_level(logging.WARNING, "zarnel"):
            with socket.create_connection(("127.0.0.1", record.port), timeout=5) as held:
                for _ in range(2):
                    assert as_nobody(record.port, "connect") in ("ConnectionResetError", "b''")
                held.sendall(b"still here")
                assert held.recv(64) == b"still here"
            assert through(record.port, payload) == payload
        messages = [r.getMessage() for r in caplog.records if r.name == "zarnel"]
        assert messages == [
            f"ssh tunnel 127.0.0.1:{record.port}: refused a connection from user id 65534 "
            f"(only user id {os.geteuid()} may use it)"
        ]

    def test_heals_after_its_private_folder_was_removed(self, mapping):
        # logind removes /run/user/UID after the last session; RemoveIPC clears /dev/shm.
        with ZarnelSSH(mapping).connect() as record:
            tunnel = record.tunnel
            shutil.rmtree(tunnel._dir)
            os.kill(tunnel.pid, signal.SIGKILL)
            assert wait_for(lambda: tunnel.restarts == 1 and tunnel.state == "up")
            assert through(record.port) == b"ping"
            assert tunnel._dir.stat().st_mode & 0o777 == 0o700
        assert not tunnel._dir.exists()


class TestForward:
    def test_each_side_ends_a_connection_as_without_a_tunnel(self, mapping):
        payload = os.urandom(4 << 20)
        with ZarnelSSH(mapping).connect() as record:
            # The client ends its sending side: everything still comes back.
            with socket.create_connection(("127.0.0.1", record.port), timeout=10) as sock:
                sock.sendall(payload)
                sock.shutdown(socket.SHUT_WR)
                back = b""
                while data := sock.recv(1 << 16):
                    back += data
                assert back == payload
            # The echo server drops a connection idle for 2 s: the client sees it
            # end, instead of sending its next request into a dead forward.
            with socket.create_connection(("127.0.0.1", record.port), timeout=10) as sock:
                sock.sendall(b"ping")
                assert sock.recv(4) == b"ping"
                assert sock.recv(4) == b""


class TestClientThroughTunnel:
    def test_bucket_and_objects_through_the_tunnel(self, s3_config, tunnel_keys, sdk,
                                                   bucket_name, tmp_path):  # fmt: skip
        from zarnel.minio_main import ZarnelMinioMain

        store = ZarnelMinioMain({**s3_config, "ssh": True, **tunnel_keys})
        assert isinstance(store._config, ZarnelTunnelVar)
        assert (store._config.host, store._config.user) == ("127.0.0.1", s3_config["user"])
        assert store._config.port != s3_config["port"]
        store._connect()
        assert store._engine._base_url.host == f"127.0.0.1:{store._config.port}"

        # The operations, through the tunnel.
        assert store._create_bucket(bucket_name, "us-east-1") is True
        source = tmp_path / "hello.txt"
        source.write_text("你好, tunnel", encoding="utf-8")
        store._upload_file(bucket_name, "dir\\hello.txt", str(source))
        store._upload_flow(bucket_name, "dir/note.txt", "经由隧道")
        records = store._bucket_list_files(bucket_name)
        assert [r["object_name"] for r in records] == ["dir/hello.txt", "dir/note.txt"]
        assert store._download_file(bucket_name, "dir/hello.txt", str(tmp_path / "back.txt"))
        assert (tmp_path / "back.txt").read_text(encoding="utf-8") == "你好, tunnel"
        assert store._download_flow(bucket_name, "dir/note.txt") == "经由隧道"
        assert sdk.bucket_exists(bucket_name)

        # The child dies; the tunnel comes back and the same client works again.
        tunnel = store._config.tunnel
        os.kill(tunnel.pid, signal.SIGKILL)
        assert wait_for(lambda: tunnel.restarts == 1 and tunnel.state == "up")
        assert store._download_flow(bucket_name, "dir/note.txt") == "经由隧道"
        store._remove_objects(bucket_name, ["dir/hello.txt", "dir/note.txt"])
        assert store._remove_bucket(bucket_name) is True

        pid = tunnel.pid
        del store
        gc.collect()
        assert gone(pid)


def test_module_never_passes_secrets_to_ssh_keygen_on_a_command_line(monkeypatch, sshd, mapping):
    # The wrong-passphrase diagnosis runs ssh-keygen; its arguments hold a path only.
    seen = []
    real = subprocess.run

    def spy(argv, *args, **kwargs):
        seen.append(list(argv))
        return real(argv, *args, **kwargs)

    monkeypatch.setattr(subprocess, "run", spy)
    config = {**mapping, "ssh_rsa": str(sshd.locked_key), "ssh_rsa_pwd": "not-it"}
    with pytest.raises(SSHTunnelError, match="does not open"):
        ZarnelSSH(config).connect()
    assert seen
    assert all("not-it" not in " ".join(map(str, argv)) for argv in seen)
