"""The SSH tunnel without a server: the command line, secrets, supervision.

A fake ``ssh`` (a small script that follows a plan file, one step per start)
stands in for OpenSSH, so restarts and give-ups run in a fraction of a second.
"""

from __future__ import annotations

import contextlib
import copy
import errno
import gc
import logging
import os
import pickle
import signal
import socket
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from tests.helpers import running, wait_for
from zarnel.tunnel import askpass
from zarnel.tunnel.command import Spec
from zarnel.tunnel.handover import peer_uid
from zarnel.tunnel.supervisor import Said
from zarnel_ssh import ASKPASS_SCRIPT, Backoff, SSHTunnelError, ZarnelSSH
from zarnel_var import ZarnelTunnelVar, ZarnelVar

BASE = {"host": "db.internal", "port": 9000, "user": "u", "password": "s3-secret",
        "ssh_host": "gate.example", "ssh_user": "ops"}  # fmt: skip

# Its control socket hands every forward over and ends it at once.
FAKE_SSH = f"""#!{sys.executable}
import os, socket, struct, sys, time
plan = os.environ["FAKE_SSH_PLAN"]
steps = open(plan).read().split()
step = steps[0] if steps else "up"
open(plan, "w").write(" ".join(steps[1:]))
path = sys.argv[sys.argv.index("-S") + 1]
if step == "fail":
    sys.exit(print("ssh: connect to host gate.example port 22: Connection refused",
                   file=sys.stderr) or 255)
if step == "hang":
    time.sleep(60)
server = socket.socket(socket.AF_UNIX)
server.bind(path)
server.listen()
if step == "chatty":  # as ssh while the store refuses every channel
    for n in range(20000):
        print(f"channel {{n}}: open failed: connect failed: Connection refused", file=sys.stderr)
    sys.stderr.flush()
while True:
    control = server.accept()[0]
    control.sendall(struct.pack(">III", 8, 1, 4))
    for _ in range(2):  # hello, then the forward
        control.recv(struct.unpack(">I", control.recv(4))[0], socket.MSG_WAITALL)
    for _ in range(2):
        os.close(socket.recv_fds(control, 1, 1)[1][0])
    control.sendall(struct.pack(">IIII", 12, 0x80000006, 1, 1))
    control.close()
"""


@contextlib.contextmanager
def spy_popen(before=None):
    """Collect the processes the tunnel starts; ``before(argv)`` runs first."""
    seen = []
    real = subprocess.Popen

    def spy(argv, *args, **kwargs):
        if before is not None:
            before(argv)
        seen.append(real(argv, *args, **kwargs))
        return seen[-1]

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(subprocess, "Popen", spy)
        yield seen


def spec(**entries):
    return Spec.from_mapping({**BASE, **entries})


def options(argv: list[str]) -> dict[str, str]:
    return dict(argv[i + 1].split("=", 1) for i, arg in enumerate(argv) if arg == "-o")


class TestCommand:
    @pytest.mark.parametrize(
        ("login", "methods", "batch"),
        [
            ({}, None, "yes"),
            ({"ssh_rsa": "KEY"}, "publickey", "yes"),
            ({"ssh_rsa": "KEY", "ssh_rsa_pwd": "pp-1"}, "publickey", "no"),
            ({"ssh_password": "pw-1"}, "password,keyboard-interactive", "no"),
            ({"ssh_rsa": "KEY", "ssh_password": "pw-1"},
             "publickey,password,keyboard-interactive", "no"),
        ],
        ids=["agent", "key", "key with passphrase", "password", "key then password"],
    )  # fmt: skip
    def test_login_options_and_no_secret(self, tmp_path, login, methods, batch):
        key = tmp_path / "id"
        key.write_text("k")
        login = {k: str(key) if v == "KEY" else v for k, v in login.items()}
        argv = spec(**login).command("/run/t/control")
        opts = options(argv)
        assert argv[:2] == ["ssh", "-N"]
        assert argv[-2:] == ["--", "gate.example"]
        assert argv[argv.index("-S") + 1] == "/run/t/control"
        assert (opts["ControlMaster"], opts["ControlPersist"]) == ("yes", "no")
        assert argv[argv.index("-p") + 1] == "22"
        assert argv[argv.index("-l") + 1] == "ops"
        assert argv[argv.index("-F") + 1] == "none"
        assert opts.get("PreferredAuthentications") == methods
        assert opts["BatchMode"] == batch
        assert opts["IdentityFile" if "ssh_rsa" in login else "BatchMode"]
        assert opts["StrictHostKeyChecking"] == "accept-new"
        assert opts["NumberOfPasswordPrompts"] == "1"
        assert int(opts["ServerAliveInterval"]) > 0
        assert int(opts["ServerAliveCountMax"]) > 0
        assert not [a for a in argv if "pp-1" in a or "pw-1" in a or "s3-secret" in a]

    def test_extra_keys(self, tmp_path):
        argv = spec(ssh_port="2222", ssh_known_hosts=tmp_path / "kh", ssh_strict_host_key=True,
                    ssh_timeout=7).command("/s", program="/opt/ssh")  # fmt: skip
        opts = options(argv)
        assert argv[0] == "/opt/ssh"
        assert argv[argv.index("-p") + 1] == "2222"
        assert opts["UserKnownHostsFile"] == str(tmp_path / "kh")
        assert (opts["StrictHostKeyChecking"], opts["ConnectTimeout"]) == ("yes", "7")

    @pytest.mark.parametrize(
        ("entries", "message"),
        [
            ({"ssh_host": None, "host": ""}, "ssh tunnel: missing host, ssh_host"),
            ({"ssh_user": ""}, "ssh tunnel: missing ssh_user"),
            ({"ssh_port": "ssh"}, "ssh tunnel: ssh_port must be a port number, not 'ssh'"),
            ({"port": 70000}, "ssh tunnel: port must be a port number, not 70000"),
            ({"ssh_rsa": "/no/such/key"}, "ssh tunnel: ssh_rsa '/no/such/key' is not a file"),
            ({"ssh_timeout": -1}, "ssh tunnel: ssh_timeout must be positive"),
            ({"ssh_password": "line\nbreak"}, "cannot hold a line break"),
        ],
    )
    def test_bad_mappings(self, entries, message):
        with pytest.raises(ValueError, match=message) as caught:
            ZarnelSSH({**BASE, **entries})
        assert "line\nbreak" not in str(caught.value)

    def test_reprs_hide_secrets(self):
        tunnel = ZarnelSSH({**BASE, "ssh_password": "pw-1", "ssh_port": 2022})
        assert repr(tunnel) == "ZarnelSSH(ops@gate.example:2022 -> db.internal:9000)"
        assert repr(tunnel._spec) == "<ssh ops@gate.example:2022 -> db.internal:9000>"


class TestAskpass:
    @pytest.fixture
    def helper(self, tmp_path):
        script = tmp_path / "askpass"
        script.write_text(ASKPASS_SCRIPT)
        script.chmod(0o700)
        (tmp_path / "passphrase").write_text("pp-1\n")
        (tmp_path / "password").write_text("pw-1\n")
        (tmp_path / "id").write_text("k")
        # A host name with "passphrase" in it, as a user types it.
        prompts = spec(ssh_host="PassPhrase.Gate", ssh_rsa=tmp_path / "id", ssh_rsa_pwd="pp-1",
                       ssh_password="pw-1").prompts  # fmt: skip

        def ask(prompt: str) -> subprocess.CompletedProcess[str]:
            env = {"PATH": os.environ["PATH"], "ZARNEL_ASKPASS_DIR": str(tmp_path), **prompts}
            return subprocess.run([str(script), prompt], capture_output=True, text=True, env=env)

        return ask

    # The prompts of OpenSSH 9's client: the host lowercased, no port.
    @pytest.mark.parametrize(
        "password_prompt",
        ["ops@passphrase.gate's password: ", "(ops@passphrase.gate) Password: "],
        ids=["password", "keyboard-interactive"],
    )
    def test_answers_each_kind_once(self, helper, tmp_path, password_prompt):
        first = helper(f"Enter passphrase for key '{tmp_path / 'id'}': ")
        assert (first.returncode, first.stdout) == (0, "pp-1\n")
        assert not (tmp_path / "passphrase").exists()
        again = helper(f"Enter passphrase for key '{tmp_path / 'id'}': ")
        assert (again.returncode, again.stdout) == (1, "")
        assert helper(password_prompt).stdout == "pw-1\n"
        assert not (tmp_path / "password").exists()

    @pytest.mark.parametrize(
        "prompt",
        ["Are you sure you want to continue connecting (yes/no/[fingerprint])? ",
         "Allow use of key /k/id?",
         # Made up by a server to look like ssh's own prompts.
         "(ops@gate) Enter passphrase to continue:",
         "(ops@passphrase.gate) Enter passphrase for key '/k/id': ",
         "Enter passphrase for key '/k/id': ",
         "(ops@passphrase.gate) Password:",
         "(ops@passphrase.gate) password: ",
         "(root@passphrase.gate) Password: ",
         "ops@gate's password: ",
         "Enter ops@passphrase.gate's old password: ",
         ""],
    )  # fmt: skip
    def test_refuses_any_other_question(self, helper, tmp_path, prompt):
        answer = helper(prompt)
        assert (answer.returncode, answer.stdout) == (1, "")
        assert (tmp_path / "password").exists()
        assert (tmp_path / "passphrase").exists()


def test_backoff_doubles_up_to_the_cap_and_stops():
    assert list(Backoff(first=0.5, cap=3, attempts=5).delays()) == [0.5, 1, 2, 3, 3]
    assert list(Backoff(attempts=0).delays()) == []


@pytest.fixture
def fake_ssh(tmp_path, monkeypatch):
    """Run the fake ssh; return a function that sets the plan of its next starts."""
    program = tmp_path / "fake-ssh"
    program.write_text(FAKE_SSH)
    program.chmod(0o755)
    plan = tmp_path / "plan"
    plan.write_text("")
    monkeypatch.setenv("FAKE_SSH_PLAN", str(plan))
    monkeypatch.setattr(ZarnelSSH, "program", str(program))
    monkeypatch.setattr(ZarnelSSH, "backoff", Backoff(first=0.02, cap=0.05, attempts=3))
    yield lambda *steps: plan.write_text(" ".join(steps))
    assert wait_for(
        lambda: not [t for t in threading.enumerate() if t.name.startswith("zarnel-ssh")]
    )


class TestSupervisor:
    def test_secrets_reach_ssh_only_through_files_it_consumes(self, fake_ssh):
        record = ZarnelSSH({**BASE, "ssh_password": "pw-1"}).connect()
        tunnel = record.tunnel
        environ = Path(f"/proc/{tunnel.pid}/environ").read_bytes().split(b"\0")
        assert b"SSH_ASKPASS_REQUIRE=force" in environ
        assert not [v for v in environ if b"pw-1" in v or b"s3-secret" in v]
        assert not (tunnel._dir / "password").exists()  # removed once ssh is up
        assert (tunnel._dir.stat().st_mode & 0o777, record.host) == (0o700, "127.0.0.1")
        record.close()
        assert not tunnel._dir.exists()

    @pytest.mark.parametrize(
        ("step", "entries", "error", "message"),
        [
            ("fail", {}, SSHTunnelError,
             "cannot start ssh tunnel to ops@gate.example:22: ssh exited with 255: "
             "ssh: connect to host gate.example port 22: Connection refused"),
            ("hang", {"ssh_timeout": 0.3}, SSHTunnelError,
             r"cannot start ssh tunnel to ops@gate.example:22: 127.0.0.1:\d+ did not open "
             r"within 0.3 s"),
            # The tunnel is up; the record cannot be made of this mapping.
            ("up", {1: "one"}, TypeError, "keywords must be strings"),
        ],
        ids=["ssh fails", "no answer", "no record"],
    )  # fmt: skip
    def test_failed_start_leaves_nothing(self, fake_ssh, step, entries, error, message):
        fake_ssh(step)
        with spy_popen() as seen, pytest.raises(error, match=message):
            ZarnelSSH({**BASE, **entries}).connect()
        assert [p.returncode is not None for p in seen] == [True]

    def test_the_port_is_the_tunnels_from_connect_to_close(self, fake_ssh, caplog):
        # ssh never binds the local port: at no start, restart or backoff can
        # another process take it, and nobody answers there while ssh is down.
        seen = []

        def squat(argv):
            with socket.socket() as other:
                try:
                    other.bind(("127.0.0.1", record.port))
                except OSError as error:
                    seen.append(error.errno)
            try:
                socket.create_connection(("127.0.0.1", record.port), timeout=2).close()
            except OSError as error:
                seen.append(error.errno)

        with ZarnelSSH({**BASE, "ssh_timeout": 0.3}).connect() as record, spy_popen(squat):
            tunnel = record.tunnel
            fake_ssh("hang", "hang", "hang")
            with caplog.at_level(logging.WARNING, "zarnel"):
                os.kill(tunnel.pid, 9)
                assert wait_for(lambda: tunnel.state == "failed")
            squat(None)
        assert seen == [errno.EADDRINUSE, errno.ECONNREFUSED] * 4
        assert tunnel.restarts == 0
        with socket.socket() as other:
            other.bind(("127.0.0.1", record.port))  # free once closed

    def test_what_ssh_says_stays_bounded(self, fake_ssh, caplog):
        fake_ssh("chatty")
        with ZarnelSSH(BASE).connect() as record:
            tunnel = record.tunnel
            assert wait_for(lambda: "channel 19999: open failed" in tunnel._said())
            assert len(tunnel._said_by._lines) <= Said.lines
            assert sum(p.stat().st_size for p in tunnel._dir.iterdir()) < 4096
            with caplog.at_level(logging.WARNING, "zarnel"):
                os.kill(tunnel.pid, 9)
                assert wait_for(lambda: tunnel.restarts == 1)
        went_down = caplog.records[0].getMessage()
        assert went_down.endswith(
            "channel 19999: open failed: connect failed: Connection refused); restarting"
        )

    def test_without_the_ssh_client(self, monkeypatch):
        monkeypatch.setattr(ZarnelSSH, "program", "no-such-ssh")
        with pytest.raises(
            SSHTunnelError, match="the OpenSSH client 'no-such-ssh' is not installed"
        ):
            ZarnelSSH(BASE).connect()

    # The first restart fails: ssh fails, or the system refuses to start it.
    @pytest.mark.parametrize(
        ("target", "failure", "said"),
        [(None, None, "ssh exited with 255: ssh: connect to host gate.example port 22: "
                      "Connection refused"),
         ((subprocess, "Popen"), OSError(errno.EMFILE, "Too many open files"),
          "[Errno 24] Too many open files"),
         ((subprocess, "Popen"), BlockingIOError(errno.EAGAIN, "Resource unavailable"),
          "[Errno 11] Resource unavailable"),
         ((askpass, "write_private"), OSError(errno.ENOSPC, "No space left on device"),
          "[Errno 28] No space left on device")],
        ids=["ssh fails", "EMFILE", "EAGAIN", "ENOSPC"],
    )  # fmt: skip
    def test_comes_back_on_the_same_port(self, fake_ssh, monkeypatch, caplog, target, failure,
                                         said):  # fmt: skip
        record = ZarnelSSH({**BASE, "ssh_password": "pw-1"}).connect()
        with record, caplog.at_level(logging.WARNING, "zarnel"):
            tunnel, first = record.tunnel, record.tunnel.pid
            if target is None:
                fake_ssh("fail", "up")
            else:
                owner, name = target
                real, failures = getattr(owner, name), [failure]

                def once(*args, **kwargs):
                    if failures:
                        raise failures.pop()
                    return real(*args, **kwargs)

                monkeypatch.setattr(owner, name, once)
            os.kill(first, 9)
            assert wait_for(lambda: tunnel.restarts == 1)
            assert tunnel.local_port == record.port
            assert running(tunnel.pid)
        messages = [r.getMessage() for r in caplog.records]
        where = f"ssh tunnel 127.0.0.1:{record.port}"
        assert [m.startswith(where) for m in messages] == [True] * 3
        assert "went down (ssh exited with -9" in messages[0]
        assert messages[1].endswith(
            f"restart 1 of 3 failed: cannot start ssh tunnel to ops@gate.example:22: {said}"
        )
        assert "is back after 2 attempt(s)" in messages[2]
        assert not running(first)

    def test_gives_up_after_the_last_attempt(self, fake_ssh, caplog):
        record = ZarnelSSH(BASE).connect()
        tunnel = record.tunnel
        fake_ssh("fail", "fail", "fail", "up")
        with caplog.at_level(logging.WARNING, "zarnel"):
            os.kill(tunnel.pid, 9)
            assert wait_for(lambda: tunnel.state == "failed")
        assert "giving up after 3 failed restarts" in caplog.records[-1].getMessage()
        assert len(caplog.records) == 5
        assert tunnel.pid is None
        record.close()
        assert tunnel.state == "closed"

    def test_close_during_the_backoff_ends_the_supervisor(self, fake_ssh, monkeypatch):
        monkeypatch.setattr(ZarnelSSH, "backoff", Backoff(first=60, attempts=1))
        record = ZarnelSSH(BASE).connect()
        tunnel = record.tunnel
        os.kill(tunnel.pid, 9)
        assert wait_for(lambda: tunnel.state == "down")
        record.close()
        assert not tunnel._thread.is_alive()

    def test_released_by_the_collector_on_the_supervisor_thread(self, fake_ssh):
        # The collector may run the record's finaliser on whichever thread
        # makes objects: here the supervisor's, in the middle of a restart.
        gc.disable()
        try:
            cycle = {"record": ZarnelSSH(BASE).connect()}
            cycle["self"] = cycle
            tunnel = cycle["record"].tunnel
            del cycle
            with spy_popen(lambda argv: gc.collect()) as seen:
                os.kill(tunnel.pid, 9)
                assert wait_for(lambda: not tunnel._thread.is_alive())
        finally:
            gc.enable()
        assert (tunnel.state, tunnel._dir.exists()) == ("closed", False)
        assert [p.returncode is not None for p in seen] == [True]

    @pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")
    @pytest.mark.parametrize("held", [False, True], ids=["lock free", "lock held at fork"])
    def test_a_forked_process_leaves_the_tunnel_alone(self, fake_ssh, held):
        with ZarnelSSH(BASE).connect() as record:
            tunnel, pid = record.tunnel, record.tunnel.pid
            taken, release = threading.Event(), threading.Event()

            def hold():
                with tunnel._lock:
                    taken.set()
                    release.wait()

            holder = threading.Thread(target=hold)
            if held:
                holder.start()
                taken.wait()
            worker = os.fork()
            if worker == 0:  # a worker that exits runs the record's finaliser
                signal.alarm(20)  # a deadlock ends the worker
                code = 1
                try:
                    record.close()
                    code = 0
                finally:
                    os._exit(code)
            release.set()
            if held:
                holder.join()
            assert os.waitpid(worker, 0)[1] == 0
            assert (tunnel.pid, tunnel.state, tunnel._dir.exists()) == (pid, "up", True)
        assert not running(pid)


@pytest.mark.parametrize("family", [socket.AF_INET, socket.AF_INET6], ids=["IPv4", "IPv6"])
def test_the_user_of_a_local_peer_is_found(family):
    with socket.create_server(("127.0.0.1", 0)) as server:
        port = server.getsockname()[1]
        address = "127.0.0.1" if family == socket.AF_INET else "::ffff:127.0.0.1"
        with socket.socket(family) as peer:
            peer.connect((address, port))
            conn, _ = server.accept()
            with conn:
                assert peer_uid(conn) == os.geteuid()


class TestTunnelVar:
    class Resource:
        def __init__(self):
            self.closed = 0

        def close(self):
            self.closed += 1

    def test_close_once_by_hand_or_on_release(self):
        resource = self.Resource()
        record = ZarnelTunnelVar(resource, host="127.0.0.1", port=1, password="pw-1")
        assert (record.host, record.port, record.tunnel) == ("127.0.0.1", 1, resource)
        record.close()
        record.close()
        assert resource.closed == 1
        other = self.Resource()
        record = ZarnelTunnelVar(other, host="h")
        del record
        gc.collect()
        assert other.closed == 1

    def test_copies_are_plain_records_that_do_not_own_the_resource(self):
        resource = self.Resource()
        record = ZarnelTunnelVar(resource, host="h", password="pw-1")
        for clone in (copy.copy(record), copy.deepcopy(record), pickle.loads(pickle.dumps(record))):
            assert type(clone) is ZarnelVar
            assert clone.todict() == record.todict()
        assert "pw-1" not in repr(record)
        assert repr(record).startswith("ZarnelTunnelVar(host='h'")
        assert resource.closed == 0
