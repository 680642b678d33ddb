"""The SSH tunnel: a local forward made by the OpenSSH client.

``ZarnelSSH(mapping).connect()`` binds 127.0.0.1:<free port> in this process,
starts ``ssh`` as a child process that forwards a Unix socket in a private
0700 folder to the mapping's ``host``:``port`` through
``ssh_user``@``ssh_host``:``ssh_port`` (22 when absent), and relays the
connections made to the local port to that socket. It returns a
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
import fcntl
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

    ssh's Unix socket goes in it: its path must stay well under the 108
    bytes of a socket address, and hold no ":" (ssh's -L separator).
    """
    for base in (os.environ.get("XDG_RUNTIME_DIR"), "/dev/shm", tempfile.gettempdir(), "/tmp"):
        if not base or ":" in base or len(os.fsencode(base)) > 64:
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

    def command(self, local_socket: str, program: str = "ssh") -> list[str]:
        """The ssh command line: options only, never a secret. ssh listens on
        the Unix socket ``local_socket``, made 0600 and replacing a socket
        that an earlier child left."""
        methods = []
        if self.key_file:
            methods.append("publickey")
        if self.password:
            methods += ["password", "keyboard-interactive"]
        options = {
            "ExitOnForwardFailure": "yes",
            "ServerAliveInterval": "10",
            "ServerAliveCountMax": "3",
            "ConnectTimeout": str(max(1, int(self.timeout))),
            "StrictHostKeyChecking": "yes" if self.strict_host_key else "accept-new",
            # Without a secret to give, fail at once instead of prompting.
            "BatchMode": "no" if self.secrets else "yes",
            "NumberOfPasswordPrompts": "1",
            "StreamLocalBindMask": "0177",
            "StreamLocalBindUnlink": "yes",
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
        argv += ["-L", f"{local_socket}:{self.host}:{self.port}"]
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


def _shut(*socks: socket.socket) -> None:
    """End both directions of each socket, also for the copies that forked
    processes hold, and wake the threads copying through it."""
    for sock in socks:
        with contextlib.suppress(OSError):
            sock.shutdown(socket.SHUT_RDWR)


_PIPE_SIZE = 1 << 20


def _pump(src: socket.socket, dst: socket.socket) -> None:
    """Copy ``src`` to ``dst`` until ``src`` ends, then end ``dst``'s sending
    side. The bytes go from socket to socket through a pipe with splice(2):
    the kernel moves them without copying them through Python, and each call
    releases the GIL while it waits."""
    read_end, write_end = os.pipe()
    try:
        with contextlib.suppress(OSError):  # a smaller pipe only costs more calls
            fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, _PIPE_SIZE)
        source, target = src.fileno(), dst.fileno()
        while count := os.splice(source, write_end, _PIPE_SIZE):
            while count:
                count -= os.splice(read_end, target, count)
        dst.shutdown(socket.SHUT_WR)
    except OSError:  # reset, or shut by the tunnel: end the connection both ways
        _shut(src, dst)
    finally:
        os.close(read_end)
        os.close(write_end)


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
    """One forward: the local port, the supervisor thread that owns its ssh
    child and accepts the port's connections, and a pair of relay threads
    per connection."""

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
        self._relayed: set[socket.socket] = set()
        self._refused = False
        self._said_by = _Said()
        self._dir = _private_dir()

    @property
    def pid(self) -> int | None:
        process = self._process
        return None if process is None or process.poll() is not None else process.pid

    @property
    def socket_path(self) -> Path:
        """ssh's end of the forward."""
        return self._dir / "s3.sock"

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
        """End the child, the supervisor and the relayed connections, and free
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
        connections are refused) and end the connections relayed."""
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
                            self._accept(listener)
                        elif key.data == "said" and not self._said_by.read():
                            selector.unregister(key.fileobj)
        finally:
            if exited is not None:
                os.close(exited)
            self._stop_listening()
            self._said_by.read()

    def _stop_listening(self) -> None:
        """Close the listening socket and end the relayed connections."""
        with self._lock:
            listener, self._listener = self._listener, None
            relayed, self._relayed = self._relayed, set()
        if listener is not None:
            # Shut down first: a forked copy of this process holds the same
            # socket, which would otherwise go on taking connections that
            # nobody accepts.
            _shut(listener)
            listener.close()
        _shut(*relayed)

    def _accept(self, listener: socket.socket) -> None:
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
            relay = threading.Thread(
                target=self._relay, args=(conn,), name=f"zarnel-ssh-{self.local_port}-relay",
                daemon=True,
            )  # fmt: skip
            try:
                relay.start()
            except RuntimeError:  # no thread left
                _reset(conn)

    def _relay(self, conn: socket.socket) -> None:
        """Check who connected, then copy both ways between the connection and
        ssh's socket: this thread one way, a second thread the other."""
        upstream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            with conn, upstream:
                conn.setblocking(True)
                uid = _peer_uid(conn)
                if uid != os.geteuid():
                    self._refuse(conn, uid)
                    return
                upstream.settimeout(5)
                upstream.connect(os.fspath(self.socket_path))
                upstream.setblocking(True)
                with self._lock:
                    if self._listener is None:  # ssh went down meanwhile
                        _reset(conn)
                        return
                    self._relayed |= {conn, upstream}
                try:
                    back = threading.Thread(
                        target=_pump, args=(upstream, conn), name=threading.current_thread().name,
                        daemon=True,
                    )  # fmt: skip
                    back.start()
                    _pump(conn, upstream)
                    back.join()
                finally:
                    with self._lock:
                        self._relayed -= {conn, upstream}
        except (OSError, RuntimeError):  # ssh is gone, or no thread left
            _reset(conn)

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
                    self.spec.command(os.fspath(self.socket_path), self.program)
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
        for name in ("passphrase", "password", "passphrase.asked", "password.asked"):
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
        """Whether a connection to ssh's socket reaches the store. The socket
        is in the private folder: only ssh can have made it."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(1)
            try:
                sock.connect(os.fspath(self.socket_path))
            except OSError:
                return False
            # A server that refuses forwarding closes the channel at once; a
            # live store keeps it open waiting for a request.
            sock.settimeout(0.3)
            try:
                closed = sock.recv(1) == b""
            except OSError:
                closed = False
        if closed:
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
