"""The tunnel's supervisor: it starts the ssh child, waits until it is ready,
serves the local port while it lives and starts it again when it exits."""

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
import subprocess
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from zarnel.tunnel.askpass import Folder
from zarnel.tunnel.command import Spec
from zarnel.tunnel.handover import LOCALHOST, Session, peer_uid, port_socket, reset

log = logging.getLogger("zarnel")

# What ssh writes that says nothing about a failure.
_NOISE = ("Warning: Permanently added",)

# What ssh says when starting it again cannot help, and why: every new try
# is another refused login, which fail2ban or an account lock-out counts.
_PERMANENT = {
    "Permission denied (": "the server refuses the login",
    "Host key verification failed": "the server's host key is not the one recorded",
}


class SSHTunnelError(RuntimeError):
    """The tunnel could not be opened; the message carries what ssh said."""

    __module__ = "zarnel_ssh"  # where callers import it from, and tracebacks name it


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


def die_with_parent() -> Any:
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


_PREEXEC = die_with_parent()
# Where util-linux's setpriv is (every Debian has it), it sets the signal and
# execs ssh, so no Python runs in the child between fork and exec: a
# preexec function does, and in a process with other threads it can hang on
# a lock that one of them held at the fork (seen under AddressSanitizer).
_SETPRIV = shutil.which("setpriv")


def launched(command: list[str]) -> tuple[list[str], Any]:
    """The command line and preexec function that start `command` so that
    the kernel ends it with its parent."""
    if _SETPRIV is not None:
        return [_SETPRIV, "--pdeathsig", "TERM", "--", *command], None
    return command, _PREEXEC


class Stopped(Exception):
    """The tunnel was closed while a child was starting."""


class Said:
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


class Tunnel:
    """One forward: the local port, and the supervisor thread that owns its
    ssh child, accepts the port's connections and hands each to ssh."""

    def __init__(self, spec: Spec, backoff: Backoff, program: str) -> None:
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
        self._sessions: dict[int, Session] = {}  # by control socket
        self._refused = False
        self._said_by = Said()
        self._folder = Folder()

    @property
    def pid(self) -> int | None:
        process = self._process
        return None if process is None or process.poll() is not None else process.pid

    @property
    def _dir(self) -> Path:
        return self._folder.path

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
            self._holder = port_socket()
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
            end(process)
        thread = self._thread
        if thread is not None and thread.is_alive() and thread is not threading.current_thread():
            thread.join(timeout=10)
        self.state = "closed"
        self._stop_listening()
        holder, self._holder = self._holder, None
        if holder is not None:
            holder.close()
        self._said_by.close()
        self._folder.remove()

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
                        elif isinstance(key.data, Session) and not key.data.read():
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

    def _forget(self, session: Session) -> None:
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
            uid = peer_uid(conn)
            if uid != os.geteuid():
                self._refuse(conn, uid)
                continue
            try:
                session = Session(
                    conn, os.fspath(self._folder.control), self.spec.host, self.spec.port
                )
            except OSError as error:  # ssh is going down, or no descriptor left
                log.debug("ssh tunnel %s:%d: hand-over failed: %s", LOCALHOST, self.local_port,
                          error)  # fmt: skip
                reset(conn)
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
        reset(conn)

    def _restart(self) -> bool:
        attempts = self.backoff.attempts
        for attempt, delay in enumerate(self.backoff.delays(), 1):
            if self._stop.wait(delay):
                return False
            try:
                self._start_child()
            except Stopped:
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

    def _start_ssh(self) -> None:
        secrets = self.spec.secrets
        with self._lock:
            if self._stop.is_set():
                raise Stopped
            self._folder.prepare()
        env = self._folder.environment(self.spec.prompts if secrets else None)
        try:
            with self._folder.given(secrets):
                self._start_logged_in(env)
        except BaseException:
            if self._process is not None:
                end(self._process)
            self._said_by.read()  # the lines stay for the messages
            self._said_by.close()
            raise

    def _start_logged_in(self, env: dict[str, str]) -> None:
        """Start ssh and wait until it is logged in and takes forwards."""
        with self._lock:
            if self._stop.is_set():
                raise Stopped
            command, preexec = launched(
                self.spec.command(os.fspath(self._folder.control), self.program)
            )
            self._process = subprocess.Popen(
                command,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE,
                env=env,
                close_fds=True,
                # A process group of its own keeps the terminal's Ctrl-C away
                # from ssh. Not a session of its own: with the kernel's
                # autogroups each session is scheduled as one entity, and ssh
                # alone in one moved 10-15% fewer bytes on a 2-core machine.
                process_group=0,
                preexec_fn=preexec,
            )
            self._said_by.close()
            self._said_by = Said(self._process.stderr)
        self._wait_ready(self._process)
        with self._lock:
            if self._stop.is_set():
                raise Stopped
            self._listener = port_socket(self.local_port, listen=True)
        self.state = "up"

    def _wait_ready(self, process: subprocess.Popen[bytes]) -> None:
        deadline = time.monotonic() + self.spec.timeout
        while True:
            if self._stop.is_set():
                raise Stopped
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
                    session = Session(
                        probe, os.fspath(self._folder.control), self.spec.host, self.spec.port
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

    def _failure(self, what: str) -> SSHTunnelError:
        said = self._said()
        folder = self._folder
        if folder.asked("passphrase") and not folder.passphrase_opens_key(
            self.spec.passphrase, self.spec.key_file
        ):
            what += f"; the passphrase (ssh_rsa_pwd) does not open {self.spec.key_file}"
        elif folder.asked("password") and "Permission denied" in said:
            what += "; the server refused the password (ssh_password)"
        return SSHTunnelError(
            f"cannot start ssh tunnel to {self.spec.target}: {what}" + (f": {said}" if said else "")
        )


def end(process: subprocess.Popen[bytes]) -> None:
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
