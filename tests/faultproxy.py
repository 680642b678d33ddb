"""An HTTP/1.1 proxy on 127.0.0.1 that injects faults in front of a real
server. Requests go on as they came, Host header and all: clients sign them
(SigV4), so nothing in a request may change. h11 parses both sides; each
client connection has a thread and a server connection of its own.

    with FaultProxy(server.endpoint) as proxy:
        proxy.error(503, "SlowDown", times=2, when=lambda r: r.method == "PUT")
        minio.Minio(proxy.endpoint, ...).put_object(...)  # retried twice
        assert [e.status for e in proxy.log] == [503, 503, 200]

    answer(status, body, headers)  answer in the server's place, after reading
    error(status, code, message)     the request (error: an S3 error's XML)
    drop() / reset()               read the request, then close / reset
    cut(size, keep_length=True)    forward; close after `size` bytes of body
                                   (keep_length=False: a head without length)
    flip(offset=0)                 forward, the body's byte at `offset` inverted
    header(name, value=None)       forward, the header set (None: removed; a
                                   body without Content-Length goes chunked)
    delay(seconds)                 forward, the server's answer held back
    damage(seed, rate)             random faults of the kinds above, drawn
                                   per request from the seed (see the end)

Each takes ``when`` (a predicate on an ``Exchange``; default: any request),
``after`` (matching requests let through first) and ``times`` (how many it
acts on; None: all). A rule counts the requests it matches whatever the others
do; of the rules due, the first added acts, alone.
"""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import random
import select
import socket
import struct
import threading
import urllib.parse
from collections.abc import Callable
from xml.sax.saxutils import escape

import h11


@dataclasses.dataclass
class Exchange:
    """A request the proxy saw and the status it answered (None: none)."""

    method: str
    path: str  # percent-decoded: "/bucket/key"
    query: dict[str, str]
    status: int | None = None
    fault: str | None = None  # the kind of the rule that acted on it


@dataclasses.dataclass
class Rule:
    kind: str
    args: dict
    when: Callable[[Exchange], bool]
    after: int
    times: int | None
    matched: int = 0
    applied: int = 0


def s3_error(code: str, message: str = "") -> bytes:
    """The XML body of an S3 error answer."""
    return (
        f'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>{escape(code)}</Code>'
        f"<Message>{escape(message)}</Message><RequestId>faultproxy</RequestId></Error>"
    ).encode()


class _Side:
    """One socket and its h11 state."""

    peer: _Side  # the other side of the same exchange

    def __init__(self, sock: socket.socket, role) -> None:
        self.sock, self.h11 = sock, h11.Connection(role)

    def next(self):
        while (event := self.h11.next_event()) is h11.NEED_DATA:
            self.h11.receive_data(self.sock.recv(65536))
        return event

    def send(self, *events) -> None:
        self.sock.sendall(b"".join(self.h11.send(event) for event in events))

    def done(self) -> bool:
        return set(self.h11.states.values()) == {h11.DONE}

    def ready(self) -> bool:
        """Wait until this side or its peer sends; whether this side did."""
        if self.h11.trailing_data[0]:
            return True
        poll = select.poll()
        poll.register(self.sock, select.POLLIN)
        poll.register(self.peer.sock, select.POLLIN)
        return self.sock.fileno() in {fd for fd, _ in poll.poll()}


class FaultProxy:
    """Listens on 127.0.0.1 (``endpoint``) in front of ``target`` (host:port)."""

    def __init__(self, target: str) -> None:
        host, _, port = target.rpartition(":")
        self.target = (host, int(port))
        self.port = 0
        self.connections = 0  # client connections accepted
        self._lock = threading.Lock()
        self._rules: list[Rule] = []
        self._log: list[Exchange] = []
        self._sockets: set[socket.socket] = set()
        self._threads: list[threading.Thread] = []
        self._killed = threading.Event()

    @property
    def endpoint(self) -> str:
        return f"127.0.0.1:{self.port}"

    @property
    def log(self) -> list[Exchange]:
        """The requests seen so far, oldest first."""
        with self._lock:
            return list(self._log)

    # The rules; each returns its Rule (``matched``, ``applied``).
    def answer(self, status: int, body: bytes = b"", headers=(), **select) -> Rule:
        return self._add("answer", status=status, body=body, headers=list(headers), **select)

    def error(self, status: int, code: str, message: str = "", **select) -> Rule:
        headers = [("Content-Type", "application/xml")]
        return self.answer(status, s3_error(code, message), headers, **select)

    def drop(self, **select) -> Rule:
        return self._add("drop", **select)

    def reset(self, **select) -> Rule:
        return self._add("reset", **select)

    def cut(self, size: int, keep_length: bool = True, **select) -> Rule:
        return self._add("cut", size=size, keep_length=keep_length, **select)

    def flip(self, offset: int = 0, **select) -> Rule:
        return self._add("flip", offset=offset, **select)

    def header(self, name: str, value: str | None = None, **select) -> Rule:
        return self._add("header", name=name, value=value, **select)

    def delay(self, seconds: float, **select) -> Rule:
        return self._add("delay", seconds=seconds, **select)

    def damage(self, seed: int, rate: float, kinds=None, **select) -> Rule:
        draw = RandomDamage(seed, rate, kinds or DAMAGE)
        when = select.pop("when", None) or (lambda _: True)
        select.setdefault("times", None)
        return self._add("damage", draw=draw, when=lambda r: when(r) and draw.hit(r), **select)

    def clear(self) -> None:
        """Forget every rule and the log."""
        with self._lock:
            self._rules.clear()
            self._log.clear()

    def _add(self, kind, *, when=None, after: int = 0, times: int | None = 1, **args) -> Rule:
        rule = Rule(kind, args, when or (lambda _: True), after, times)
        with self._lock:
            self._rules.append(rule)
        return rule

    def _pick(self, seen: Exchange) -> Rule | None:
        with self._lock:
            self._log.append(seen)
            chosen = None
            for rule in self._rules:
                if rule.when(seen):
                    rule.matched += 1
                    due = rule.matched > rule.after and rule.applied != rule.times
                    if due and chosen is None:
                        chosen = rule
            if chosen is not None:
                chosen.applied += 1
                seen.fault = chosen.kind
                if chosen.kind == "damage":  # the fault drawn for this request
                    chosen = chosen.args["draw"].rule(seen)
            return chosen

    # Its life.
    def revive(self) -> FaultProxy:
        """Listen (again, after ``kill``, on the same port)."""
        listener = socket.create_server(("127.0.0.1", self.port), backlog=128)
        self.port = listener.getsockname()[1]
        self._killed = killed = threading.Event()
        self._own(listener, killed)
        self._spawn(self._accept, listener, killed)
        return self

    def kill(self) -> None:
        """Close the listening socket and every connection: connects are refused."""
        with self._lock:
            self._killed.set()
            doomed = list(self._sockets)
        for sock in doomed:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
        while True:  # the threads, and any that a thread started meanwhile
            with self._lock:
                threads, self._threads = self._threads, []
            if not threads:
                return
            for thread in threads:
                if thread is not threading.current_thread():
                    thread.join()

    start, close = revive, kill

    def __enter__(self) -> FaultProxy:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _spawn(self, target, *args) -> None:
        thread = threading.Thread(target=target, args=args, name="faultproxy", daemon=True)
        with self._lock:
            self._threads.append(thread)
        thread.start()

    def _own(self, sock: socket.socket, killed: threading.Event) -> bool:
        """Keep ``sock`` for kill(), or close it when kill() came first."""
        with self._lock:
            if not killed.is_set():
                self._sockets.add(sock)
                return True
        sock.close()
        return False

    def _release(self, *socks: socket.socket) -> None:
        with self._lock:
            self._sockets.difference_update(socks)
        for sock in socks:
            sock.close()

    def _accept(self, listener: socket.socket, killed: threading.Event) -> None:
        with contextlib.suppress(OSError):  # accept() fails once kill() shut it
            while True:
                sock, _ = listener.accept()
                self.connections += 1
                if self._own(sock, killed):
                    self._spawn(self._serve, sock, killed)
        self._release(listener)

    def _serve(self, client_sock: socket.socket, killed: threading.Event) -> None:
        """One client connection, mirrored by one to the server."""
        try:
            upstream_sock = socket.create_connection(self.target)
        except OSError:
            return self._release(client_sock)
        if not self._own(upstream_sock, killed):
            return self._release(client_sock)
        client, upstream = _Side(client_sock, h11.SERVER), _Side(upstream_sock, h11.CLIENT)
        client.peer, upstream.peer = upstream, client
        try:
            # Each exchange may leave both sides ready for the next; the server
            # closing an idle connection closes the client's.
            while client.ready() and self._exchange(client, upstream, client.next(), killed):
                if not (client.done() and upstream.done()):
                    break
                client.h11.start_next_cycle()
                upstream.h11.start_next_cycle()
        except (OSError, h11.ProtocolError):
            pass  # a side went away or broke the protocol: both close
        finally:
            self._release(upstream_sock, client_sock)

    def _exchange(self, client: _Side, upstream: _Side, request, killed) -> bool:
        """One request and its answer; whether the connection may go on."""
        if type(request) is not h11.Request:
            return False
        url = urllib.parse.urlsplit(request.target.decode())
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        seen = Exchange(request.method.decode(), urllib.parse.unquote(url.path), query)
        rule = self._pick(seen)
        kind, args = (rule.kind, rule.args) if rule else (None, {})

        if kind in ("answer", "drop", "reset"):
            if client.h11.they_are_waiting_for_100_continue:
                client.send(h11.InformationalResponse(status_code=100, headers=[]))
            while type(client.next()) is not h11.EndOfMessage:
                pass
            if kind == "reset":
                client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            if kind != "answer":
                return False
            headers = [*args["headers"], ("Content-Length", str(len(args["body"])))]
            body = b"" if request.method == b"HEAD" else args["body"]
            # Logged before it goes: the client may look at the log as soon
            # as the answer reaches it.
            seen.status = args["status"]
            client.send(h11.Response(status_code=args["status"], headers=headers),
                        h11.Data(data=body), h11.EndOfMessage())  # fmt: skip
            return True

        upstream.send(h11.Request(method=request.method, target=request.target,
                                  headers=request.headers.raw_items()))  # fmt: skip
        # A client that expects 100-continue sends its body after the server's
        # interim answer or a wait of its own, whichever comes first; a server
        # may also answer at once, and then the body never goes.
        response = None
        while client.h11.they_are_waiting_for_100_continue and not client.ready():
            response = upstream.next()
            if type(response) is not h11.InformationalResponse:
                break
            client.send(response)
            response = None
        answered_early = response is not None
        while response is None:
            event = client.next()
            upstream.send(event)
            if type(event) is h11.EndOfMessage:
                response = upstream.next()
        while type(response) is h11.InformationalResponse:
            client.send(response)
            response = upstream.next()
        if type(response) is not h11.Response:
            return False

        if kind == "delay" and killed.wait(args["seconds"]):
            return False
        headers = response.headers.raw_items()
        if "at" in args:  # a random fault: its place, scaled to this body
            args = scaled(args, headers)
        if kind == "header":
            headers = [(n, v) for n, v in headers if n.lower() != args["name"].lower().encode()]
            if args["value"] is not None:
                headers.append((args["name"].encode(), args["value"].encode()))
        seen.status = response.status_code
        raw = kind == "cut" and not args["keep_length"]
        if raw:  # h11 would frame a body of no stated length as chunked
            framing = (b"content-length", b"transfer-encoding", b"connection")
            head = [b"HTTP/1.1 %d %s" % (response.status_code, response.reason)]
            head += [n + b": " + v for n, v in headers if n.lower() not in framing]
            client.sock.sendall(b"\r\n".join([*head, b"Connection: close", b"", b""]))
        else:
            client.send(h11.Response(status_code=response.status_code, headers=headers,
                                     reason=response.reason))  # fmt: skip
        offset = 0
        while type(event := upstream.next()) is h11.Data:
            data = event.data
            if kind == "flip" and 0 <= args["offset"] - offset < len(data):
                at = args["offset"] - offset
                data = data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1 :]
            if kind == "cut" and offset + len(data) >= args["size"]:
                data = data[: args["size"] - offset]
            client.sock.sendall(data) if raw else client.send(h11.Data(data=data))
            offset += len(data)
            if kind == "cut" and offset >= args["size"]:
                if args.get("reset"):  # closed at once: a reset
                    client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, _NO_LINGER)
                return False
        if raw:
            return False
        client.send(event)
        return not answered_early


_NO_LINGER = struct.pack("ii", 1, 0)


# Random damage. Whether a request is damaged, and how, depends only on the
# seed, the request (method, path, query but its upload id) and how many such
# requests came before it: the same seed damages the same requests in every
# run, whatever order requests for different objects arrive in (ranges of one
# object look alike, so their order counts). A fault's place in a body is
# drawn as a fraction of the body's length.
def _drawn(kind: str, **args):
    placed = kind in ("cut", "flip") and "size" not in args
    return lambda at: (kind, {**args, "at": at} if placed else args)


DAMAGE = {
    "503 SlowDown": _drawn(
        "answer",
        status=503,
        body=s3_error("SlowDown", "Please slow down"),
        headers=[("Content-Type", "application/xml")],
    ),
    "dropped": _drawn("drop"),
    "reset mid-body": _drawn("cut", keep_length=True, reset=True),
    "truncated": _drawn("cut", keep_length=True),
    "one byte flipped": _drawn("flip"),
    "closed after the headers": _drawn("cut", size=0, keep_length=True),
    "cut without a length": _drawn("cut", keep_length=False),
}


class RandomDamage:
    """Draws, per request, whether it is damaged (with probability ``rate``)
    and which of ``kinds`` (names of DAMAGE) hits it. The fault an Exchange
    records says which, and which try of that request it was."""

    def __init__(self, seed: int, rate: float, kinds) -> None:
        self.seed, self.rate, self.kinds = seed, rate, list(kinds)
        self._tries: dict[str, int] = {}
        self._due: dict[int, tuple[str, float, int]] = {}

    def hit(self, seen: Exchange) -> bool:
        query = "&".join(f"{k}={v}" for k, v in sorted(seen.query.items()) if k != "uploadId")
        request = f"{seen.method} {seen.path}?{query}"
        self._tries[request] = tries = self._tries.get(request, 0) + 1
        digest = hashlib.blake2b(f"{self.seed}|{request}|{tries}".encode(), digest_size=8)
        draw = random.Random(int.from_bytes(digest.digest(), "big"))
        if draw.random() >= self.rate:
            return False
        self._due[id(seen)] = (draw.choice(self.kinds), draw.random(), tries)
        return True

    def rule(self, seen: Exchange) -> Rule:
        name, at, tries = self._due.pop(id(seen))
        seen.fault = f"{name}, try {tries}"
        kind, args = DAMAGE[name](at)
        return Rule(kind, args, lambda _: True, 0, 1)


def scaled(args: dict, headers) -> dict:
    """A drawn fault's offset in a body of the answer's Content-Length (or of
    64 KiB, for a body of no stated length)."""
    lengths = [v for n, v in headers if n.lower() == b"content-length"]
    place = int(args["at"] * (int(lengths[0]) if lengths else 65536))
    return {**args, "size": place, "offset": place}
