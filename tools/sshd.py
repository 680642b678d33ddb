"""A throw-away OpenSSH server on loopback, for tests and benchmarks.

``SSHServer`` runs Debian's ``/usr/sbin/sshd`` in the foreground with a
configuration of its own, on 127.0.0.1 and a free port, with a new host key
and new user keys in a private temporary folder: ``key`` (no passphrase),
``locked_key`` (protected by ``passphrase``). Password login works for
``user`` with ``password``: a dedicated system account (``zarneltest``),
created when missing, given a random password while servers run and locked
again when the last one closes, because sshd checks passwords against the
system's accounts. That needs root. Several processes (two test runs, a test
run and a benchmark) share the account: they agree on its password through a
root-only state folder under a lock, and the last one to finish locks it.

    with SSHServer() as server:
        server.port, server.user, server.key, server.known_hosts
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import pwd
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

__all__ = [
    "SSHD",
    "SSHServer",
    "TEST_USER",
    "ensure_test_user",
    "free_port",
    "lock_test_user",
    "skip_reason",
]

SSHD = "/usr/sbin/sshd"
TEST_USER = "zarneltest"

# Shared by every process that uses the account: the password (0600) and one
# file per process that holds it, in a root-only folder; changed under a lock.
STATE_DIR = Path("/run/zarnel-sshd")

_password: str | None = None
_servers = 0  # servers of this process started and not yet closed


@contextlib.contextmanager
def _account_lock():
    STATE_DIR.mkdir(mode=0o700, exist_ok=True)
    with open(STATE_DIR / "lock", "a") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)


def _live_holders() -> list[Path]:
    """Holder files of processes still alive; those of dead ones are removed."""
    holders = STATE_DIR / "holders"
    holders.mkdir(mode=0o700, exist_ok=True)
    live = []
    for entry in holders.iterdir():
        try:
            os.kill(int(entry.name), 0)
            live.append(entry)
        except (ValueError, ProcessLookupError):
            entry.unlink(missing_ok=True)
        except PermissionError:  # alive, someone else's
            live.append(entry)
    return live


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def skip_reason() -> str | None:
    """Why an sshd cannot run here, or None."""
    if not os.path.exists(SSHD):
        return f"{SSHD} is not installed (openssh-server; scripts/setup.sh installs it)"
    if shutil.which("ssh") is None:
        return "the OpenSSH client ssh is not installed (openssh-client)"
    if os.geteuid() != 0:
        return "sshd with password login for a test account needs root"
    return None


def ensure_test_user() -> str:
    """Create the test account when missing and return its password: the one
    other live processes use, or a new random one (set through chpasswd's
    input, never a command line)."""
    global _password
    if _password is not None:
        return _password
    with _account_lock():
        try:
            pwd.getpwnam(TEST_USER)
        except KeyError:
            subprocess.run(
                ["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                 "--shell", "/usr/sbin/nologin", TEST_USER],
                check=True, capture_output=True,
            )  # fmt: skip
        stored = STATE_DIR / "password"
        if _live_holders() and stored.exists():
            password = stored.read_text()
        else:
            password = "pw-" + secrets.token_urlsafe(18)
            fd = os.open(stored, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
            with os.fdopen(fd, "w") as handle:
                handle.write(password)
            subprocess.run(["chpasswd"], input=f"{TEST_USER}:{password}\n", text=True,
                           check=True, capture_output=True)  # fmt: skip
        (STATE_DIR / "holders" / str(os.getpid())).touch()
    _password = password
    return password


def lock_test_user() -> None:
    """This process no longer needs the account; the last one to leave locks
    its password again (``ensure_test_user`` gives it a new one)."""
    global _password
    _password = None
    with _account_lock():
        (STATE_DIR / "holders" / str(os.getpid())).unlink(missing_ok=True)
        if not _live_holders():
            (STATE_DIR / "password").unlink(missing_ok=True)
            subprocess.run(["usermod", "--lock", TEST_USER], check=False, capture_output=True)


def _write_key(path: Path, passphrase: str | None) -> str:
    """Write a new RSA private key (encrypted PKCS#8 PEM with a passphrase,
    OpenSSH format without); return its public key line."""
    from cryptography.hazmat.primitives import serialization as ser
    from cryptography.hazmat.primitives.asymmetric import rsa

    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    if passphrase:
        body = key.private_bytes(
            ser.Encoding.PEM,
            ser.PrivateFormat.PKCS8,
            ser.BestAvailableEncryption(passphrase.encode()),
        )
    else:
        body = key.private_bytes(ser.Encoding.PEM, ser.PrivateFormat.OpenSSH, ser.NoEncryption())
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as file:
        file.write(body)
    public = key.public_key().public_bytes(ser.Encoding.OpenSSH, ser.PublicFormat.OpenSSH)
    return public.decode() + f" zarnel-test-{path.name}"


class SSHServer:
    """sshd on 127.0.0.1:``port``; a context manager. ``stop`` ends it and
    every session it serves; ``start`` again brings it back on the same port."""

    startup_timeout = 15.0

    def __init__(self, allow_forwarding: bool = True) -> None:
        self.allow_forwarding = allow_forwarding
        self.dir = Path(tempfile.mkdtemp(prefix="zarnel-sshd-"))
        self.port = 0
        self.user = TEST_USER
        self.password = ""
        self.passphrase = "pp-" + secrets.token_urlsafe(12)
        self.key = self.dir / "id_plain"
        self.locked_key = self.dir / "id_locked"
        self.known_hosts = self.dir / "known_hosts"
        self.log_path = self.dir / "sshd.log"
        self._process: subprocess.Popen[bytes] | None = None
        self._counted = False

    def _prepare(self) -> None:
        global _servers
        self.password = ensure_test_user()
        _servers += 1
        self._counted = True
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd's privilege-separation dir
        host_key = self.dir / "host_ed25519"
        subprocess.run(
            ["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(host_key)],
            check=True, capture_output=True,
        )  # fmt: skip
        lines = [_write_key(self.key, None), _write_key(self.locked_key, self.passphrase)]
        # sshd reads authorized_keys as the user: let it through the folder
        # (not list it) and read that one file; the private keys stay 0600.
        os.chmod(self.dir, 0o711)
        (self.dir / "authorized_keys").write_text("\n".join(lines) + "\n")
        os.chmod(self.dir / "authorized_keys", 0o644)
        (self.dir / "sshd_config").write_text(
            "\n".join([
                f"HostKey {host_key}",
                "PidFile none",
                "UsePAM no",
                "StrictModes no",
                f"AuthorizedKeysFile {self.dir}/authorized_keys",
                "PubkeyAuthentication yes",
                "PasswordAuthentication yes",
                "KbdInteractiveAuthentication no",
                "PermitRootLogin no",
                f"AllowUsers {TEST_USER}",
                f"AllowTcpForwarding {'yes' if self.allow_forwarding else 'no'}",
                "PermitTTY no",
                "X11Forwarding no",
                "PrintMotd no",
                "MaxStartups 50",
                "ClientAliveInterval 5",
                "LogLevel VERBOSE",
            ]) + "\n"
        )  # fmt: skip

    def start(self) -> SSHServer:
        if not self.port:
            self._prepare()
            self.port = free_port()
        with open(self.log_path, "ab") as log:
            self._process = subprocess.Popen(
                [SSHD, "-D", "-e", "-f", str(self.dir / "sshd_config"), "-p", str(self.port),
                 "-o", "ListenAddress=127.0.0.1"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                start_new_session=True,
            )  # fmt: skip
        deadline = time.monotonic() + self.startup_timeout
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                raise RuntimeError(
                    f"sshd exited with {self._process.returncode}: {self.log_tail()}"
                )
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as sock:
                    sock.settimeout(2)
                    if sock.recv(4) == b"SSH-":
                        return self
            except OSError:
                pass
            time.sleep(0.05)
        self.stop()
        raise RuntimeError(f"sshd did not answer in time: {self.log_tail()}")

    def sessions(self) -> list[int]:
        """The pids of sshd's per-connection processes (its descendants)."""
        if self._process is None:
            return []
        return _descendants(self._process.pid)

    def stop(self) -> None:
        """End the listener and every session it serves."""
        process, self._process = self._process, None
        if process is None:
            return
        children = _descendants(process.pid)
        for pid in [process.pid, *children]:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        process.wait(timeout=10)

    def log_tail(self, lines: int = 20) -> str:
        try:
            return "\n".join(self.log_path.read_text(errors="replace").splitlines()[-lines:])
        except OSError:
            return ""

    def close(self) -> None:
        """Stop; remove the keys; lock the test account after the last server."""
        global _servers
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
        if self._counted:
            self._counted = False
            _servers -= 1
            if _servers == 0:
                lock_test_user()

    def __enter__(self) -> SSHServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()


def _descendants(root: int) -> list[int]:
    parents: dict[int, int] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as file:
                fields = file.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        parents[int(entry)] = int(fields[1])
    found: list[int] = []
    frontier = [root]
    while frontier:
        parent = frontier.pop()
        children = [pid for pid, ppid in parents.items() if ppid == parent]
        found += children
        frontier += children
    return found
