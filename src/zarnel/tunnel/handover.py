"""The local port and the hand-over of its connections to ssh.

The tunnel's process holds 127.0.0.1:PORT itself, accepts only connections
from its own user id, and hands each to ssh's control socket, which then
reads and writes the connection directly.
"""

from __future__ import annotations

import contextlib
import socket
import struct

LOCALHOST = "127.0.0.1"


def port_socket(port: int = 0, listen: bool = False) -> socket.socket:
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


def proc_address(host: str, port: int, table: str) -> str:
    """An IPv4 address and port as /proc/net/tcp shows them (32-bit words in
    host byte order, in hex), or as tcp6 shows it mapped into IPv6."""
    packed = socket.inet_aton(host)
    if table.endswith("6"):
        packed = bytes(10) + b"\xff\xff" + packed
    words = struct.unpack(f"={len(packed) // 4}I", packed)
    return "".join(f"{word:08X}" for word in words) + f":{port:04X}"


def peer_uid(conn: socket.socket) -> int | None:
    """The user id that owns the other end of the loopback connection
    ``conn``, or None when it is not found (it is closed already, the system
    does not tell). That end is the socket whose local address is our peer's
    and whose remote address is ours, in /proc/net/tcp or, for an IPv6 socket
    that connected to the IPv4 address, tcp6."""
    ours, peer = conn.getsockname()[:2], conn.getpeername()[:2]
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        want = [proc_address(*peer, table), proc_address(*ours, table)]
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


def reset(conn: socket.socket) -> None:
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


def mux_message(*fields: int | str) -> bytes:
    body = b"".join(
        struct.pack(">I", f) if isinstance(f, int) else struct.pack(">I", len(f)) + f.encode()
        for f in fields
    )
    return struct.pack(">I", len(body)) + body


class Session:
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
            hello = mux_message(_MUX_HELLO, _MUX_VERSION)
            self.control.sendall(hello + mux_message(_MUX_NEW_STDIO_FWD, 1, "", host, port))
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
