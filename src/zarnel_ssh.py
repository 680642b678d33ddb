"""The SSH tunnel: a local forward made by the OpenSSH client.

``ZarnelSSH(mapping).connect()`` binds 127.0.0.1:<free port> in this process
and starts ``ssh`` as a child process, logged in to
``ssh_user``@``ssh_host``:``ssh_port`` (22 when absent), with its control
socket in a private 0700 folder. Each connection made to the local port is
handed to ssh over that socket, which forwards it to the mapping's
``host``:``port`` (as ``ssh -W`` does for its standard input and output), so
ssh itself reads and writes the connection. It returns a
``ZarnelTunnelVar``: the mapping with ``host`` "127.0.0.1" and ``port`` the
local port. This process holds the port from ``connect()`` to ``close()``,
through every restart of ssh, so no other local user can take it; it accepts
only connections from processes of its own user id (on Linux, from
/proc/net/tcp), and refuses connections at once while ssh is down. The
record keeps the tunnel open; the child is ended when the record is released,
on ``close()`` and at interpreter exit, and also when this process dies (the
kernel signals it, see ``_die_with_parent``). The tunnel belongs to the
process that opened it: in a forked copy of that process, ``close()`` does
nothing.

Secrets (``ssh_password``, ``ssh_rsa_pwd``) never reach a command line or an
environment: ssh asks for them through SSH_ASKPASS, and the helper it runs
reads each from a 0600 file in the private directory, once, and deletes it.
It answers only the exact prompts of OpenSSH's client for the configured
key's passphrase and for the login's password. The files exist only while a
child is logging in.

A tunnel whose child exits while the record lives (the network dropped, the
server restarted) is started again on the same local port, after a delay
that doubles up to a bound, and given up after a bounded number of failed
attempts, or at once when the server refuses the login or its host key
changed; each step is a warning on the "zarnel" logger. Each start makes the
private directory and the helper again when they were removed (logind
removes /run/user/UID when the user's last session ends).

Extra keys: ``ssh_known_hosts`` (the known-hosts file; OpenSSH's default when
absent), ``ssh_strict_host_key`` (true: only hosts already known; default:
OpenSSH's accept-new, which records a new host's key and refuses a changed
one) and ``ssh_timeout`` (seconds to wait for the tunnel, default 20).
"""

from __future__ import annotations

import collections
import contextlib
import ctypes
import dataclasses
import logging
import os
import selectors
import shutil
import signal
import socket
import stat
import string
import struct
import subprocess
import tempfile
import threading
import time
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

from zarnel_var import ZarnelTunnelVar

__all__ = ["Backoff", "SSHTunnelError", "ZarnelSSH"]

log = logging.getLogger("zarnel")

LOCALHOST = "127.0.0.1"

# Run by ssh with the prompt as its only argument. It answers only the exact
# prompts that OpenSSH's client asks for the configured key's passphrase and
# the login's password (``_Spec.prompts``, in the environment), from the
# matching file, once. Anything else (a host-key question, a prompt a server
# made up to look like one of those) is refused, which ssh takes as "no".
ASKPASS_SCRIPT = """#!/bin/sh
if [ -z "$1" ]; then
  exit 1
elif [ "$1" = "$ZARNEL_ASK_PASSPHRASE" ]; then
  kind=passphrase
elif [ "$1" = "$ZARNEL_ASK_PASSWORD" ] || [ "$1" = "$ZARNEL_ASK_KBDINT" ]; then
  kind=password
else
  exit 1
fi
dir=$ZARNEL_ASKPASS_DIR
echo >>"$dir/$kind.asked"
[ -f "$dir/$kind" ] || exit 1
cat "$dir/$kind"
rm -f "$dir/$kind"
"""

# What ssh writes that says nothing about a failure.
_NOISE = ("Warning: Permanently added",)

# What ssh says when starting it again cannot help, and why: every new try
# is another refused login, which fail2ban or an account lock-out counts.
_PERMANENT = {
    "Permission denied (": "the server refuses the login",
    "Host key verification failed": "the server's host key is not the one recorded",
}

# ssh lowercases the host name it shows in its prompts, ASCII letters only.
_ASCII_LOWER = str.maketrans(string.ascii_uppercase, string.ascii_lowercase)


class SSHTunnelError(RuntimeError):
    """The tunnel could not be opened; the message carries what ssh said."""


@dataclasses.dataclass(frozen=True)
class Backoff:
    """Delays between restarts of a tunnel that went down: ``first``, doubled
    up to ``cap``, for at most ``attempts`` consecutive failed starts."""

    first: float = 0.5
    cap: float = 10.0
    attempts: int = 6

    def delays(self) -> Iterator[float]:
        delay = self.first
        for _ in range(self.attempts):
            yield min(delay, self.cap)
            delay *= 2


def _die_with_parent() -> Any:
    """A preexec function that has the kernel end the child with its parent.

    Linux sends the signal when the thread that started the child ends, so
    children are only ever started by the tunnel's supervisor thread, which
    lives as long as the tunnel.
    """
    try:
        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None
    # The process that forks the child, which may itself be a forked copy
    # of the one that imported this module (a multiprocessing worker).
    parent = [os.getpid()]
    os.register_at_fork(before=lambda: parent.__setitem__(0, os.getpid()))
    pr_set_pdeathsig = 1

    def preexec() -> None:
        prctl(pr_set_pdeathsig, signal.SIGTERM)
        if os.getppid() != parent[0]:  # the parent is gone already
            os._exit(1)

    return preexec


_PREEXEC = _die_with_parent()
# Where util-linux's setpriv is (every Debian has it), it sets the signal and
# execs ssh, so no Python runs in the child between fork and exec: a
# preexec function does, and in a process with other threads it can hang on
# a lock that one of them held at the fork (seen under AddressSanitizer).
_SETPRIV = shutil.which("setpriv")


def _launched(command: list[str]) -> tuple[list[str], Any]:
    """The command line and preexec function that start `command` so that
    the kernel ends it with its parent."""
    if _SETPRIV is not None:
        return [_SETPRIV, "--pdeathsig", "TERM", "--", *command], None
    return command, _PREEXEC


def _private_dir() -> Path:
    """A new 0700 directory, in memory where possible, that allows exec.

    ssh's control socket goes in it: its path must stay well under the 108
    bytes of a socket address, and hold no "%" (ssh expands %-tokens in it).
    """
    for base in (os.environ.get("XDG_RUNTIME_DIR"), "/dev/shm", tempfile.gettempdir(), "/tmp"):
        if not base or "%" in base or len(os.fsencode(base)) > 64:
            continue
        try:
            info = os.statvfs(base)
        except OSError:
            continue
        if info.f_flag & os.ST_NOEXEC or not os.access(base, os.W_OK | os.X_OK):
            continue
        return Path(tempfile.mkdtemp(prefix="zarnel-ssh-", dir=base))
    raise OSError(
        "no folder for the tunnel's private files (tried $XDG_RUNTIME_DIR, /dev/shm, /tmp)"
    )


def _is_private_dir(path: Path) -> bool:
    """Whether ``path`` is still a 0700 directory of this user (not removed,
    and not made again by someone else under the same name)."""
    try:
        info = os.lstat(path)
    except OSError:
        return False
    return (
        stat.S_ISDIR(info.st_mode)
        and info.st_uid == os.geteuid()
        and stat.S_IMODE(info.st_mode) == 0o700
    )


def _write_private(path: Path, text: str, mode: int = 0o600) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, mode)
    with os.fdopen(fd, "w") as file:
        file.write(text)


def _has_aes_instructions() -> bool:
    """Whether the CPU encrypts AES in hardware (Linux tells; elsewhere, no)."""
    try:
        with open("/proc/cpuinfo") as file:
            return any(
                line.startswith(("flags", "Features")) and "aes" in line.split() for line in file
            )
    except OSError:
        return False


# OpenSSH puts ChaCha20-Poly1305 first because it is fast without AES
# instructions; with them AES-GCM takes about half the CPU time per byte, and
# every byte of a transfer goes through the cipher at both ends. "^" puts it
# at the head of the default list, which is otherwise kept.
_CIPHERS = "^aes128-gcm@openssh.com,aes256-gcm@openssh.com" if _has_aes_instructions() else None


def _port(value: Any, key: str) -> int:
    try:
        port = int(str(value))
    except ValueError:
        port = 0
    if not 0 < port < 65536:
        raise ValueError(f"ssh tunnel: {key} must be a port number, not {value!r}")
    return port


def _port_socket(port: int = 0, listen: bool = False) -> socket.socket:
    """A TCP socket bound to 127.0.0.1:``port``.

    The tunnel holds its port with one socket that never listens, from
    connect() to close(), and listens with a second one only while ssh is up,
    so a connection made while ssh is down is refused at once. Both set
    SO_REUSEPORT, which Linux shares only among sockets of one user id; the
    holder does not set SO_REUSEADDR, so no socket of another user can bind
    the port, listening or not, at 127.0.0.1 or any address.
    """
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        if listen:  # to listen again beside connections in TIME_WAIT
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((LOCALHOST, port))
        if listen:
            sock.listen(128)
            sock.setblocking(False)
    except BaseException:
        sock.close()
        raise
    return sock


@dataclasses.dataclass(frozen=True, repr=False)
class _Spec:
    """What one tunnel needs, checked; secrets are kept out of the repr."""

    host: str
    port: int
    ssh_host: str
    ssh_port: int
    ssh_user: str
    key_file: str | None
    passphrase: str | None
    password: str | None
    known_hosts: str | None
    strict_host_key: bool
    timeout: float

    @classmethod
    def from_mapping(cls, mapping: Mapping[str, Any]) -> _Spec:
        missing = [k for k in ("host", "port", "ssh_host", "ssh_user") if not mapping.get(k)]
        if missing:
            raise ValueError(f"ssh tunnel: missing {', '.join(missing)}")
        key_file = mapping.get("ssh_rsa") or None
        if key_file is not None and not os.path.isfile(key_file):
            raise ValueError(f"ssh tunnel: ssh_rsa {str(key_file)!r} is not a file")
        timeout = float(mapping.get("ssh_timeout") or 20.0)
        if timeout <= 0:
            raise ValueError(f"ssh tunnel: ssh_timeout must be positive, not {timeout!r}")
        return cls(
            host=str(mapping["host"]),
            port=_port(mapping["port"], "port"),
            ssh_host=str(mapping["ssh_host"]),
            ssh_port=_port(mapping.get("ssh_port") or 22, "ssh_port"),
            ssh_user=str(mapping["ssh_user"]),
            key_file=None if key_file is None else os.fspath(key_file),
            passphrase=_secret(mapping.get("ssh_rsa_pwd")) if key_file else None,
            password=_secret(mapping.get("ssh_password")),
            known_hosts=(
                os.fspath(mapping["ssh_known_hosts"]) if mapping.get("ssh_known_hosts") else None
            ),
            strict_host_key=bool(mapping.get("ssh_strict_host_key")),
            timeout=timeout,
        )

    @property
    def secrets(self) -> dict[str, str]:
        """The askpass files to write, by kind."""
        found = {"passphrase": self.passphrase, "password": self.password}
        return {kind: value for kind, value in found.items() if value}

    @property
    def prompts(self) -> dict[str, str]:
        """The askpass helper's environment: the exact prompts of OpenSSH's
        client for the passphrase (it shows at most 100 bytes of the key's
        path) and for the password, by password and keyboard-interactive
        login (user@host, the host as given but lowercased, no port)."""
        who = f"{self.ssh_user}@{self.ssh_host.translate(_ASCII_LOWER)}"
        key = os.fsdecode(os.fsencode(self.key_file)[:100]) if self.key_file else ""
        return {
            "ZARNEL_ASK_PASSPHRASE": f"Enter passphrase for key '{key}': " if key else "",
            "ZARNEL_ASK_PASSWORD": f"{who}'s password: ",
            "ZARNEL_ASK_KBDINT": f"({who}) Password: ",
        }

    @property
    def target(self) -> str:
        return f"{self.ssh_user}@{self.ssh_host}:{self.ssh_port}"

    def __repr__(self) -> str:
        return f"<ssh {self.target} -> {self.host}:{self.port}>"

    def command(self, control_path: str, program: str = "ssh") -> list[str]:
        """The ssh command line: options only, never a secret. ssh logs in
        and listens on its control socket ``control_path`` (made 0600), which
        takes each connection to forward."""
        methods = []
        if self.key_file:
            methods.append("publickey")
        if self.password:
            methods += ["password", "keyboard-interactive"]
        options = {
            "ServerAliveInterval": "10",
            "ServerAliveCountMax": "3",
            "ConnectTimeout": str(max(1, int(self.timeout))),
            "StrictHostKeyChecking": "yes" if self.strict_host_key else "accept-new",
            # Without a secret to give, fail at once instead of prompting.
            "BatchMode": "no" if self.secrets else "yes",
            "NumberOfPasswordPrompts": "1",
            "ControlMaster": "yes",
            "ControlPersist": "no",
        }
        if _CIPHERS:
            options["Ciphers"] = _CIPHERS
        if self.known_hosts:
            options["UserKnownHostsFile"] = self.known_hosts
        if methods:
            options["PreferredAuthentications"] = ",".join(methods)
        if self.key_file:
            options["IdentitiesOnly"] = "yes"
            options["IdentityFile"] = self.key_file
        argv = [program, "-N", "-T", "-F", "none", "-p", str(self.ssh_port), "-l", self.ssh_user]
        argv += ["-S", control_path]
        for name, value in options.items():
            argv += ["-o", f"{name}={value}"]
        return [*argv, "--", self.ssh_host]


def _secret(value: Any) -> str | None:
    if value is None or value == "":
        return None
    text = str(value)
    if "\n" in text or "\r" in text:
        raise ValueError("ssh tunnel: a password or passphrase cannot hold a line break")
    return text


class _Stopped(Exception):
    """The tunnel was closed while a child was starting."""


def _proc_address(host: str, port: int, table: str) -> str:
    """An IPv4 address and port as /proc/net/tcp shows them (32-bit words in
    host byte order, in hex), or as tcp6 shows it mapped into IPv6."""
    packed = socket.inet_aton(host)
    if table.endswith("6"):
        packed = bytes(10) + b"\xff\xff" + packed
    words = struct.unpack(f"={len(packed) // 4}I", packed)
    return "".join(f"{word:08X}" for word in words) + f":{port:04X}"


def _peer_uid(conn: socket.socket) -> int | None:
    """The user id that owns the other end of the loopback connection
    ``conn``, or None when it is not found (it is closed already, the system
    does not tell). That end is the socket whose local address is our peer's
    and whose remote address is ours, in /proc/net/tcp or, for an IPv6 socket
    that connected to the IPv4 address, tcp6."""
    ours, peer = conn.getsockname()[:2], conn.getpeername()[:2]
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        want = [_proc_address(*peer, table), _proc_address(*ours, table)]
        try:
            with open(table) as file:
                for row in file:
                    # sl local_address rem_address st tx:rx tr:when retrnsmt uid ...
                    # A row in TIME_WAIT (06) has no owner: its uid is 0.
                    fields = row.split()
                    if fields[1:3] == want and fields[3] != "06":
                        return int(fields[7])
        except (OSError, IndexError, ValueError):
            continue
    return None


def _reset(conn: socket.socket) -> None:
    """Close a connection with a reset: the peer learns at once that it was
    refused, with no answer to read."""
    with contextlib.suppress(OSError):
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


# ssh's connection multiplexing (OpenSSH's PROTOCOL.mux): each message is a
# 32-bit length and a body of 32-bit words and length-prefixed strings.
_MUX_HELLO = 0x00000001
_MUX_NEW_STDIO_FWD = 0x10000008
_MUX_PERMISSION_DENIED = 0x80000001
_MUX_FAILURE = 0x80000002
_MUX_SESSION_OPENED = 0x80000006
_MUX_VERSION = 4


def _mux_message(*fields: int | str) -> bytes:
    body = b"".join(
        struct.pack(">I", f) if isinstance(f, int) else struct.pack(">I", len(f)) + f.encode()
        for f in fields
    )
    return struct.pack(">I", len(body)) + body


class _Session:
    """One local connection handed to ssh.

    ssh's control socket takes open file descriptors: the connection itself
    goes to ssh (as ``ssh -W`` hands over its standard input and output), and
    ssh reads and writes it directly, so no byte passes through this
    process; its own copy is closed at once. The control connection stays
    open as long as the forward: ssh ends the forward when it closes, and
    closes it when the forward ends.
    """

    def __init__(self, conn: socket.socket, control_path: str, host: str, port: int) -> None:
        self.opened = False
        self._unread = b""
        self.control = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.control.settimeout(5)
            self.control.connect(control_path)
            hello = _mux_message(_MUX_HELLO, _MUX_VERSION)
            self.control.sendall(hello + _mux_message(_MUX_NEW_STDIO_FWD, 1, "", host, port))
            # Standard input, then standard output: one byte with each.
            for _ in range(2):
                socket.send_fds(self.control, [b"\0"], [conn.fileno()])
            self.control.setblocking(False)
        except BaseException:
            self.control.close()
            raise

    def fileno(self) -> int:
        return self.control.fileno()

    def read(self) -> bool:
        """Take what ssh said on the control connection; False once the
        forward is over (refused, or ended)."""
        try:
            data = self.control.recv(4096)
        except (BlockingIOError, InterruptedError):
            return True
        except OSError:
            data = b""
        if not data:
            return False
        self._unread += data
        while len(self._unread) >= 8:
            size, kind = struct.unpack_from(">II", self._unread)
            if len(self._unread) < 4 + size:
                break
            self._unread = self._unread[4 + size :]
            if kind == _MUX_SESSION_OPENED:
                self.opened = True
            elif kind in (_MUX_FAILURE, _MUX_PERMISSION_DENIED):
                return False
        return True

    def close(self) -> None:
        self.control.close()


class _Said:
    """What one ssh child writes on its standard error (a pipe), of which
    only the last lines are kept: ssh logs every channel that the store
    refuses, for as long as it lives, so a file would grow without bound."""

    lines = 40
    line_bytes = 1000

    def __init__(self, pipe: Any = None) -> None:
        self._pipe = pipe
        self._lines: collections.deque[bytes] = collections.deque(maxlen=self.lines)
        self._part = b""
        if pipe is not None:
            os.set_blocking(pipe.fileno(), False)

    def fileno(self) -> int | None:
        return None if self._pipe is None else self._pipe.fileno()

    def read(self) -> bool:
        """Take in what the child wrote; False once its end is closed."""
        while self._pipe is not None:
            try:
                data = os.read(self._pipe.fileno(), 1 << 16)
            except BlockingIOError:
                return True
            except OSError:
                data = b""
            if not data:
                self.close()
                break
            *done, part = (self._part + data).split(b"\n")
            self._lines.extend(line[: self.line_bytes] for line in done)
            self._part = part[: self.line_bytes]
        return False

    def close(self) -> None:
        pipe, self._pipe = self._pipe, None
        if pipe is not None:
            pipe.close()

    def text(self) -> str:
        """The last lines that say something, joined."""
        lines = [ln.decode(errors="replace").strip() for ln in (*self._lines, self._part)]
        return "; ".join([ln for ln in lines if ln and not ln.startswith(_NOISE)][-6:])


class _Tunnel:
    """One forward: the local port, and the supervisor thread that owns its
    ssh child, accepts the port's connections and hands each to ssh."""

    def __init__(self, spec: _Spec, backoff: Backoff, program: str) -> None:
        self.spec = spec
        self.backoff = backoff
        self.program = program
        self.local_port = 0
        self.state = "new"  # new, up, down, failed, closed
        self.restarts = 0
        self._process: subprocess.Popen[bytes] | None = None
        # The tunnel belongs to the process that opened it; a forked copy
        # leaves the child, the folder and the lock alone.
        self._owner = os.getpid()
        # Reentrant: the record's finaliser may run close() on the supervisor
        # thread while it holds the lock (the garbage collector runs wherever
        # objects are made, Popen included).
        self._lock = threading.RLock()
        self._stop = threading.Event()
        self._opened = threading.Event()
        self._error: BaseException | None = None
        self._thread: threading.Thread | None = None
        self._holder: socket.socket | None = None  # the port, from open() to close()
        self._listener: socket.socket | None = None  # only while ssh is up
        self._sessions: dict[int, _Session] = {}  # by control socket
        self._refused = False
        self._said_by = _Said()
        self._dir = _private_dir()

    @property
    def pid(self) -> int | None:
        process = self._process
        return None if process is None or process.poll() is not None else process.pid

    @property
    def control_path(self) -> Path:
        """ssh's control socket, which takes the connections to forward."""
        return self._dir / "control"

    @property
    def _askpass(self) -> Path:
        return self._dir / "askpass"

    def __repr__(self) -> str:
        return f"<ssh tunnel {LOCALHOST}:{self.local_port} {self.spec!r} {self.state}>"

    # -- life cycle -------------------------------------------------------

    def open(self) -> None:
        """Take the local port, start the first child in the supervisor
        thread and wait for it."""
        if not os.path.exists("/proc/net/tcp"):
            raise SSHTunnelError(
                f"cannot start ssh tunnel to {self.spec.target}: this system does not tell "
                "which user a local connection comes from (no /proc/net/tcp)"
            )
        try:
            self._holder = _port_socket()
        except OSError as error:
            raise SSHTunnelError(
                f"cannot start ssh tunnel to {self.spec.target}: no local port: {error}"
            ) from error
        self.local_port = self._holder.getsockname()[1]
        self._thread = threading.Thread(
            target=self._run, name=f"zarnel-ssh-{self.local_port}", daemon=True
        )
        self._thread.start()
        # The supervisor's own wait is bounded by the spec's timeout.
        if not self._opened.wait(self.spec.timeout + 30):
            raise SSHTunnelError(f"cannot start ssh tunnel to {self.spec.target}: no answer")
        if self._error is not None:
            error, self._error = self._error, None
            raise error

    def close(self) -> None:
        """End the child, the supervisor and the forwarded connections, and free
        the port; safe to call more than once, and from the supervisor thread
        itself. In any process but the one that opened the tunnel (a forked
        worker that exits) it does nothing: that process may hold a copy of
        the lock that stays taken forever."""
        if os.getpid() != self._owner:
            return
        self._stop.set()
        with self._lock:
            process = self._process
        if process is not None:
            _end(process)
        thread = self._thread
        if thread is not None and thread.is_alive() and thread is not threading.current_thread():
            thread.join(timeout=10)
        self.state = "closed"
        self._stop_listening()
        holder, self._holder = self._holder, None
        if holder is not None:
            holder.close()
        self._said_by.close()
        shutil.rmtree(self._dir, ignore_errors=True)

    # -- supervisor -------------------------------------------------------

    def _run(self) -> None:
        try:
            self._start_child()
        except BaseException as error:  # handed to open()
            self._error = error
            self._opened.set()
            return
        self._opened.set()
        self._supervise()

    def _supervise(self) -> None:
        while True:
            process = self._process
            assert process is not None
            self._serve(process)
            code = process.wait()
            if self._stop.is_set():
                return
            self.state = "down"
            log.warning(
                "ssh tunnel %s:%d to %s went down (ssh exited with %s: %s); restarting",
                LOCALHOST, self.local_port, self.spec.target, code, self._said() or "no message",
            )  # fmt: skip
            if not self._restart():
                return

    def _serve(self, process: subprocess.Popen[bytes]) -> None:
        """Accept the local port's connections and read what ssh says until
        the child exits or the tunnel closes; then stop listening (new
        connections are refused) and end the connections handed over."""
        try:
            exited: int | None = os.pidfd_open(process.pid)
        except (AttributeError, OSError):  # Linux before 5.3: poll instead
            exited = None
        try:
            with selectors.DefaultSelector() as selector:
                listener = self._listener
                if listener is None:  # closed by a finaliser on this thread
                    return
                selector.register(listener, selectors.EVENT_READ, "accept")
                said = self._said_by.fileno()
                if said is not None:
                    selector.register(said, selectors.EVENT_READ, "said")
                if exited is not None:
                    selector.register(exited, selectors.EVENT_READ, "exited")
                while not self._stop.is_set() and process.poll() is None:
                    for key, _ in selector.select(None if exited is not None else 0.2):
                        if key.data == "accept":
                            self._accept(listener, selector)
                        elif key.data == "said":
                            if not self._said_by.read():
                                selector.unregister(key.fileobj)
                        elif isinstance(key.data, _Session) and not key.data.read():
                            selector.unregister(key.fileobj)
                            self._forget(key.data)
        finally:
            if exited is not None:
                os.close(exited)
            self._stop_listening()
            self._said_by.read()

    def _stop_listening(self) -> None:
        """Close the listening socket and end the connections handed over."""
        with self._lock:
            listener, self._listener = self._listener, None
            sessions, self._sessions = self._sessions, {}
        if listener is not None:
            # Shut down first: a forked copy of this process holds the same
            # socket, which would otherwise go on taking connections that
            # nobody accepts.
            with contextlib.suppress(OSError):
                listener.shutdown(socket.SHUT_RDWR)
            listener.close()
        for session in sessions.values():
            session.close()

    def _forget(self, session: _Session) -> None:
        with self._lock:
            self._sessions.pop(session.fileno(), None)
        session.close()

    def _accept(self, listener: socket.socket, selector: selectors.BaseSelector) -> None:
        while not self._stop.is_set():
            try:
                conn, _ = listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as error:
                # No file descriptor left, or the socket was closed: the
                # connection waits in the queue; try again shortly.
                log.debug("ssh tunnel %s:%d: accept failed: %s", LOCALHOST, self.local_port, error)
                self._stop.wait(0.1)
                return
            conn.setblocking(True)
            uid = _peer_uid(conn)
            if uid != os.geteuid():
                self._refuse(conn, uid)
                continue
            try:
                session = _Session(
                    conn, os.fspath(self.control_path), self.spec.host, self.spec.port
                )
            except OSError as error:  # ssh is going down, or no descriptor left
                log.debug("ssh tunnel %s:%d: hand-over failed: %s", LOCALHOST, self.local_port,
                          error)  # fmt: skip
                _reset(conn)
                continue
            conn.close()  # ssh has it now
            with self._lock:
                self._sessions[session.fileno()] = session
            selector.register(session, selectors.EVENT_READ, session)

    def _refuse(self, conn: socket.socket, uid: int | None) -> None:
        if not self._refused:
            self._refused = True  # once: anyone may connect, over and over
            who = "an unknown user" if uid is None else f"user id {uid}"
            log.warning(
                "ssh tunnel %s:%d: refused a connection from %s (only user id %d may use it)",
                LOCALHOST, self.local_port, who, os.geteuid(),
            )  # fmt: skip
        _reset(conn)

    def _restart(self) -> bool:
        attempts = self.backoff.attempts
        for attempt, delay in enumerate(self.backoff.delays(), 1):
            if self._stop.wait(delay):
                return False
            try:
                self._start_child()
            except _Stopped:
                return False
            except SSHTunnelError as error:
                why = next((why for said, why in _PERMANENT.items() if said in str(error)), None)
                if why is not None:
                    self.state = "failed"
                    log.warning(
                        "ssh tunnel %s:%d to %s: not restarting, %s: %s",
                        LOCALHOST, self.local_port, self.spec.target, why, error,
                    )  # fmt: skip
                    return False
                log.warning(
                    "ssh tunnel %s:%d: restart %d of %d failed: %s",
                    LOCALHOST, self.local_port, attempt, attempts, error,
                )  # fmt: skip
                continue
            self.restarts += 1
            log.warning(
                "ssh tunnel %s:%d to %s is back after %d attempt(s)",
                LOCALHOST, self.local_port, self.spec.target, attempt,
            )  # fmt: skip
            return True
        self.state = "failed"
        log.warning(
            "ssh tunnel %s:%d to %s: giving up after %d failed restarts",
            LOCALHOST, self.local_port, self.spec.target, attempts,
        )  # fmt: skip
        return False

    def _start_child(self) -> None:
        """Start ssh and wait until it listens on the local port. An error of
        the system (no file descriptor, no space, no process slot) fails the
        start like any other failure."""
        try:
            self._start_ssh()
        except (OSError, subprocess.SubprocessError) as error:
            raise SSHTunnelError(
                f"cannot start ssh tunnel to {self.spec.target}: {error}"
            ) from error

    def _environment(self, prompts: dict[str, str] | None) -> dict[str, str]:
        """This process's environment for a child, with the askpass helper
        answering ``prompts`` (None: no helper)."""
        env = {
            name: value
            for name, value in os.environ.items()
            if not name.startswith(("SSH_ASKPASS", "ZARNEL_ASK"))
        }
        if prompts is not None:
            env.update(
                SSH_ASKPASS=str(self._askpass),
                SSH_ASKPASS_REQUIRE="force",
                ZARNEL_ASKPASS_DIR=str(self._dir),
                **prompts,
            )
        return env

    def _start_ssh(self) -> None:
        secrets = self.spec.secrets
        with self._lock:
            if self._stop.is_set():
                raise _Stopped
            self._prepare_dir()
        env = self._environment(self.spec.prompts if secrets else None)
        try:
            for kind, value in secrets.items():
                _write_private(self._dir / kind, value + "\n")
            with self._lock:
                if self._stop.is_set():
                    raise _Stopped
                command, preexec = _launched(
                    self.spec.command(os.fspath(self.control_path), self.program)
                )
                self._process = subprocess.Popen(
                    command,
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.PIPE,
                    env=env,
                    close_fds=True,
                    start_new_session=True,
                    preexec_fn=preexec,
                )
                self._said_by.close()
                self._said_by = _Said(self._process.stderr)
            self._wait_ready(self._process)
            with self._lock:
                if self._stop.is_set():
                    raise _Stopped
                self._listener = _port_socket(self.local_port, listen=True)
            self.state = "up"
        except BaseException:
            if self._process is not None:
                _end(self._process)
            self._said_by.read()  # the lines stay for the messages
            self._said_by.close()
            raise
        finally:
            for kind in secrets:
                (self._dir / kind).unlink(missing_ok=True)

    def _prepare_dir(self) -> None:
        """Make the private folder and the askpass helper again when they were
        removed (logind removes /run/user/UID after the user's last session;
        RemoveIPC clears /dev/shm); a folder of that name that is not ours
        any more is left alone for a new one."""
        if not _is_private_dir(self._dir):
            self._dir = _private_dir()
        # A control socket that a killed child left would keep the next one
        # from making its own.
        for name in ("passphrase", "password", "passphrase.asked", "password.asked", "control"):
            (self._dir / name).unlink(missing_ok=True)
        helper = self._dir / "askpass.new"
        _write_private(helper, ASKPASS_SCRIPT, 0o700)
        helper.replace(self._askpass)

    def _wait_ready(self, process: subprocess.Popen[bytes]) -> None:
        deadline = time.monotonic() + self.spec.timeout
        while True:
            if self._stop.is_set():
                raise _Stopped
            self._said_by.read()
            code = process.poll()
            if code is not None:
                self._said_by.read()
                raise self._failure(f"ssh exited with {code}")
            if self._accepts():
                return
            if time.monotonic() > deadline:
                raise self._failure(
                    f"{LOCALHOST}:{self.local_port} did not open within {self.spec.timeout:g} s"
                )
            self._stop.wait(0.05)

    def _accepts(self) -> bool:
        """Whether ssh's control socket takes a forward to the store. ssh
        makes it once it is logged in, in the private folder: only ssh can
        have made it. The store itself may be down (then the forward is
        refused, and so will the connections be until it is back); a server
        that refuses forwarding fails the start."""
        probe, kept = socket.socketpair()
        try:
            with probe, kept:
                try:
                    session = _Session(
                        probe, os.fspath(self.control_path), self.spec.host, self.spec.port
                    )
                except OSError:
                    return False
                try:
                    deadline = time.monotonic() + 5
                    with selectors.DefaultSelector() as selector:
                        selector.register(session, selectors.EVENT_READ)
                        said = self._said_by.fileno()
                        if said is not None:  # ssh may wait for room on its stderr
                            selector.register(said, selectors.EVENT_READ)
                        while not session.opened and time.monotonic() < deadline:
                            ready = [key.fileobj for key, _ in selector.select(0.1)]
                            if said in ready and not self._said_by.read():
                                selector.unregister(said)
                            if session in ready and not session.read():
                                break
                finally:
                    session.close()
        except OSError:
            return False
        if not session.opened:
            self._said_by.read()
            if "administratively prohibited" in self._said():
                raise self._failure("the server refused the forward")
        return True

    def _said(self) -> str:
        said = self._said_by.text()
        for secret in self.spec.secrets.values():
            said = said.replace(secret, "***")
        return said

    def _passphrase_opens_key(self) -> bool:
        # ssh says only "Permission denied" when the passphrase is wrong; ask
        # ssh-keygen to open the key the same way, through the askpass helper.
        # When ssh-keygen asks with another prompt than OpenSSH 9's, the helper
        # refuses it and nothing is known.
        keygen = shutil.which("ssh-keygen")
        if keygen is None or not self.spec.passphrase or not self.spec.key_file:
            return True
        asked = self._dir / "passphrase.asked"
        env = self._environment({"ZARNEL_ASK_PASSPHRASE": "Enter passphrase: "})
        try:
            asked.unlink(missing_ok=True)
            _write_private(self._dir / "passphrase", self.spec.passphrase + "\n")
            result = subprocess.run(
                [keygen, "-y", "-f", self.spec.key_file],
                stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=10,
                start_new_session=True,
            )  # fmt: skip
        except (OSError, subprocess.TimeoutExpired):
            return True
        finally:
            (self._dir / "passphrase").unlink(missing_ok=True)
        return result.returncode == 0 or not asked.exists()

    def _failure(self, what: str) -> SSHTunnelError:
        said = self._said()
        if (self._dir / "passphrase.asked").exists() and not self._passphrase_opens_key():
            what += f"; the passphrase (ssh_rsa_pwd) does not open {self.spec.key_file}"
        elif (self._dir / "password.asked").exists() and "Permission denied" in said:
            what += "; the server refused the password (ssh_password)"
        return SSHTunnelError(
            f"cannot start ssh tunnel to {self.spec.target}: {what}" + (f": {said}" if said else "")
        )


def _end(process: subprocess.Popen[bytes]) -> None:
    """Terminate and reap a child, killing it when it does not stop soon."""
    if process.poll() is None:
        try:
            process.terminate()
            process.wait(timeout=3)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=3)
        except ProcessLookupError:
            pass
    else:
        process.wait()


class ZarnelSSH:
    """An SSH tunnel described by a configuration mapping (see the module)."""

    #: How a tunnel that went down is restarted.
    backoff = Backoff()
    #: The OpenSSH client to run.
    program = "ssh"

    def __init__(self, mapping: Mapping[str, Any]) -> None:
        self._mapping = dict(mapping)
        self._spec = _Spec.from_mapping(self._mapping)

    def __repr__(self) -> str:
        return f"ZarnelSSH({self._spec.target} -> {self._spec.host}:{self._spec.port})"

    def connect(self) -> ZarnelTunnelVar:
        """Open the tunnel; the returned record keeps it open.

        Raises ``SSHTunnelError`` with what ssh said when the tunnel does not
        come up in time; no child is left behind then.
        """
        program = shutil.which(self.program)
        if program is None:
            raise SSHTunnelError(
                f"cannot start ssh tunnel to {self._spec.target}: "
                f"the OpenSSH client {self.program!r} is not installed"
            )
        tunnel = _Tunnel(self._spec, self.backoff, program)
        # Until the record's finaliser holds the tunnel, only this ends it.
        try:
            tunnel.open()
            entries = {**self._mapping, "host": LOCALHOST, "port": tunnel.local_port}
            return ZarnelTunnelVar(tunnel, **entries)
        except BaseException:
            tunnel.close()
            raise
