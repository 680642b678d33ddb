"""`make soak`: the tree calls through the fault proxy with random damage.

A local SeaweedFS (tools/s3servers.py) sits behind the fault proxy
(tests/faultproxy.py), which damages requests at random, drawn from a seed:
about 5% of a tree round's requests, 25% of a large-file round's, 15% of the
listing pages. Each round moves a tree of odd names (most files 1-64 KiB, 20 of
100-900 KiB, 4 of 6-20 MiB) one way with 16 workers (or lists it, at 15% of
its pages damaged), then a fault-free client of its own checks what it left:

- bytes equal for every file the call reported moved, every object or file
  present under its final name, and, when the call returned, every file; a
  listing of exactly the tree's objects;
- no debris: no temporary file beside the targets (the engine's
  ``.zarnel-*.part``, the storage client's ``*.part.minio``), nothing the tree
  does not have;
- no unfinished upload in parts left on the store;
- no hang: each call runs under a watchdog that interrupts it (the round is
  then abandoned);
- an error, if any, of a class the README's failure table lists.

The sync rounds then run the same sync again without faults: it must succeed
and leave every file right. Each line names its round and seed; a bad one also
the damaged requests behind it. The same seed damages the same requests again:

    python -m tools.soak                     # 8 seeds, every kind of round
    python -m tools.soak --quick             # 2 seeds, a tree of 300 files
    python -m tools.soak --seed 5 --rounds tree-down
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import dataclasses
import faulthandler
import hashlib
import logging
import os
import random
import shutil
import signal
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

import minio
import urllib3
from minio.deleteobjects import DeleteObject
from minio.error import InvalidResponseError, S3Error

from tests.faultproxy import FaultProxy
from tools.s3servers import SeaweedFS

KIB, MIB = 1024, 1024 * 1024
BUCKET = "zarnel-soak"
KINDS = ["tree-up", "tree-down", "large-up", "large-down", "sync-up", "sync-down", "list-all"]
BAD = ["hang", "wrong bytes", "wrong listing", "debris", "unfinished uploads", "unexpected error"]
RATES = {"tree": 0.05, "large": 0.25, "sync": 0.05, "list": 0.05, "listing": 0.15}
LISTINGS = 16  # calls of _bucket_list_files in a list-all round
FOLDERS = ["", "sub dir é", "large"]  # the tree's folders; large files in the last
ODD = ["plain", "with space", "ünïcödé", "日本語", "emoji 😀", "plus+sign", "percent%41",
       "hash#tag", "question?", "amp&eq=", "semi;colon", "quote'", 'double"quote', "paren(1)",
       "brack[2]", "brace{3}", "tilde~", "comma,", "at@", "dollar$", "caret^", "back`tick",
       "-dash", "trailing.", "  spaces  ", "mixed Ünï 日本 +%#"]  # fmt: skip
# The failure table's classes; a sync's SyncError is judged by its cause.
CLEAN = (S3Error, InvalidResponseError, urllib3.exceptions.MaxRetryError,
         urllib3.exceptions.ProtocolError, OSError)  # fmt: skip
CLIENT_TEMP = ".part.minio"  # the storage client's: <file>.<etag>.part.minio


def make_tree(root: Path, files: int, seed: int = 0) -> dict[str, tuple[int, str]]:
    """Write the tree; its files' relative paths with size and SHA-256."""
    draw = random.Random(seed)
    medium = min(20, files // 15)
    sizes = [draw.randint(100, 900) * KIB for _ in range(medium)]
    sizes += [draw.randint(KIB, 64 * KIB) for _ in range(max(files - medium - 4, 0))]
    draw.shuffle(sizes)
    tree = {}
    for i, size in enumerate(sizes):
        folder = FOLDERS[1] if i % 10 == 9 else FOLDERS[0]
        tree[f"{folder}/{i:04d} {ODD[i % len(ODD)]}.bin".lstrip("/")] = size
    # All go up in parts; the two largest come down in ranges, the others whole.
    for i, size in enumerate([6 * MIB + 123, 11 * MIB + 7, 17 * MIB + 5, 20 * MIB]):
        tree[f"large/big {i} {ODD[i + 1]}.bin"] = size
    digests = {}
    for rel, size in tree.items():
        data = draw.randbytes(size)
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(data)
        digests[rel] = (size, hashlib.sha256(data).hexdigest())
    return digests


def digest_of(path: Path) -> str:
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


@dataclasses.dataclass
class Round:
    kind: str
    seed: int
    outcomes: dict[str, list[str]] = dataclasses.field(default_factory=dict)
    keys: dict[str, list[str | None]] = dataclasses.field(default_factory=dict)
    error: BaseException | None = None
    error_text: str = ""
    requests: int = 0
    damaged: int = 0
    seconds: float = 0.0

    def bad(self, outcome: str, what: str, key: str | None = None) -> None:
        """A bad outcome; ``key``: the object it concerns."""
        self.outcomes.setdefault(outcome, []).append(what.rstrip())
        self.keys.setdefault(outcome, []).append(key)

    @property
    def verdict(self) -> str:
        return "clean error" if self.error is not None else "ok"


class Watchdog:
    """Runs a call on this thread; past ``timeout`` seconds, Ctrl-C ends it
    (a hang). If even that does not end it within a minute, the process
    prints every thread's stack, calls ``last_resort`` and exits."""

    def __init__(self, timeout: float, last_resort) -> None:
        self.timeout, self.last_resort = timeout, last_resort

    def give_up(self) -> None:
        print("soak: a call ignored Ctrl-C for 60 s; its stacks:", file=sys.stderr, flush=True)
        faulthandler.dump_traceback(all_threads=True)
        self.last_resort()
        os._exit(3)

    def __call__(self, call, *args, **kwargs) -> tuple[BaseException | None, bool]:
        lock, state = threading.Lock(), {"done": False, "fired": False}

        def interrupt() -> None:
            with lock:
                if state["done"]:
                    return
                state["fired"] = True
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Timer(self.timeout, interrupt)
        final = threading.Timer(self.timeout + 60, self.give_up)
        timer.daemon = final.daemon = True
        timer.start()
        final.start()
        error: BaseException | None = None
        try:
            try:
                call(*args, **kwargs)
            except KeyboardInterrupt:
                if not state["fired"]:
                    raise
                return None, True
            except Exception as raised:
                error = raised
            with lock:
                state["done"] = True
        except KeyboardInterrupt:  # the watchdog fired as the call returned
            if not state["fired"]:
                raise
        finally:
            timer.cancel()
            final.cancel()
        return error, False


class Soak:
    def __init__(self, server, root: Path, work: Path, tree, timeout: float) -> None:
        self.server, self.root, self.work, self.tree = server, root, work, tree
        self.watched = Watchdog(timeout, lambda: (server.close(), shutil.rmtree(work, True)))
        self.sdk = minio.Minio(server.endpoint, access_key=server.access_key,
                               secret_key=server.secret_key, secure=False)  # fmt: skip
        self.direct = self.client(server.endpoint)

    def client(self, endpoint: str):
        from zarnel.minio_main import ZarnelMinioMain

        host, _, port = endpoint.rpartition(":")
        store = ZarnelMinioMain({"host": host, "port": int(port), "user": self.server.access_key,
                                 "password": self.server.secret_key})  # fmt: skip
        store._connect()
        return store

    def prepare(self) -> None:
        """The bucket, and the tree stored without faults under ``ref/``."""
        if not self.sdk.bucket_exists(BUCKET):
            self.sdk.make_bucket(BUCKET)
        self.direct._upload_dir(BUCKET, str(self.root), base_dir="ref", workers=16)
        check = Round("reference", 0)
        self.check_store(check, "ref", self.tree, returned=True, moved=set())
        if check.outcomes:
            raise RuntimeError(f"the fault-free upload of the tree failed: {check.outcomes}")

    # A round.
    def run(self, kind: str, seed: int) -> Round:
        result = Round(kind, seed)
        started = time.monotonic()
        family, way = kind.split("-")
        with FaultProxy(self.server.endpoint) as proxy:
            via = self.client(proxy.endpoint)
            proxy.damage(seed, RATES["listing"], when=is_listing)
            proxy.damage(seed, RATES[family], when=lambda r: not is_listing(r))
            try:
                getattr(self, f"{family}_{way}")(result, via, proxy)
            finally:
                log = proxy.log
                result.requests = len(log)
                result.damaged = sum(1 for r in log if r.fault)
                self.explain(result, log)
        result.seconds = time.monotonic() - started
        return result

    def call(self, result: Round, moved: set[str] | None, call, *args, **kwargs) -> bool:
        """One call under the watchdog; whether the round goes on."""
        if moved is not None:
            kwargs["progress"] = lambda name, size: moved.add(name)
        error, hung = self.watched(call, *args, **kwargs)
        if hung:
            result.bad("hang", f"{call.__name__} still running after {self.watched.timeout:.0f} s")
            return False
        if error is not None:
            result.error = error
            cause = error.__cause__ if type(error).__name__ == "SyncError" else error
            if cause is not None and not isinstance(cause, CLEAN):
                result.bad("unexpected error", f"{type(cause).__name__}, no class of the table", "")
        return True

    def again(self, result: Round, call, *args, **kwargs) -> bool | None:
        """The same call without faults, which must succeed: whether it did
        (None: it hung)."""
        error, hung = self.watched(call, *args, **kwargs)
        if hung:
            result.bad("hang", f"the fault-free {call.__name__} after it", "")
            return None
        if error is not None:
            result.bad("unexpected error", f"the fault-free {call.__name__} after it: "
                       + describe(error), "")  # fmt: skip
        return error is None

    def tree_up(self, result: Round, via, proxy, source=None, prefix=None) -> None:
        source, prefix = source or self.root, prefix or f"{result.kind}-{result.seed}"
        tree = self.subtree(source)
        moved: set[str] = set()
        try:
            if self.call(result, moved, via._upload_dir, BUCKET, str(source), base_dir=prefix,
                         workers=16):  # fmt: skip
                self.check_store(result, prefix, tree, result.error is None, moved)
        finally:
            self.check_uploads(result, prefix)
            self.remove(prefix)

    def large_up(self, result: Round, via, proxy) -> None:
        self.tree_up(result, via, proxy, self.root / "large", f"{result.kind}-{result.seed}")

    def tree_down(self, result: Round, via, proxy, folders=FOLDERS) -> None:
        target = self.work / f"{result.kind}-{result.seed}"
        moved: set[str] = set()
        try:
            for folder in folders:
                prefix, into = f"ref/{folder}".rstrip("/"), target / folder
                if not self.call(result, moved, via._download_dir, BUCKET, prefix, str(into),
                                 workers=16):  # fmt: skip
                    return
                if result.error is not None:
                    break
            tree = {rel: v for rel, v in self.tree.items() if rel.rpartition("/")[0] in folders}
            self.check_files(result, target, tree, result.error is None, moved)
        finally:
            shutil.rmtree(target, ignore_errors=True)

    def large_down(self, result: Round, via, proxy) -> None:
        self.tree_down(result, via, proxy, folders=["large"])

    def list_all(self, result: Round, via, proxy) -> None:
        """The tree's objects listed, at every depth, again and again."""
        expected = sorted((f"ref/{rel}", size) for rel, (size, _) in self.tree.items())
        listed: list = []

        def _bucket_list_files() -> None:
            listed[:] = via._bucket_list_files(BUCKET, "ref/")

        for _ in range(LISTINGS):
            if not self.call(result, None, _bucket_list_files) or result.error is not None:
                return
            got = sorted((r["object_name"], r["size"]) for r in listed)
            if got != expected:
                lost, extra = set(expected) - set(got), set(got) - set(expected)
                result.bad("wrong listing", f"{len(lost)} objects missing, {len(extra)} too many"
                           f" ({(sorted(lost) or sorted(extra))[0][0]!r}...)", "")  # fmt: skip
                return

    def sync_up(self, result: Round, via, proxy) -> None:
        prefix = f"{result.kind}-{result.seed}"
        # Objects the sync deletes; max_delete=3 allows it (the destination
        # holds nothing else, which the safe default would refuse).
        stale = [f"{prefix}/stale {i}.txt" for i in range(3)]
        for name in stale:
            self.sdk.put_object(BUCKET, name, io_of(b"stale"), 5)
        moved: set[str] = set()
        try:
            if not self.call(result, moved, via._sync_up, BUCKET, str(self.root), prefix,
                             delete=True, max_delete=3, workers=16):  # fmt: skip
                return
            self.check_store(result, prefix, self.tree, result.error is None, moved, stale)
            # Again without faults: it must succeed and leave the store right.
            done = self.again(result, self.direct._sync_up, BUCKET, str(self.root), prefix,
                              delete=True, max_delete=3, workers=16)  # fmt: skip
            if done is not None:
                self.check_store(result, prefix, self.tree, done, set(), (), "after a rerun")
        finally:
            self.check_uploads(result, prefix)
            self.remove(prefix)

    def sync_down(self, result: Round, via, proxy) -> None:
        target = self.work / f"{result.kind}-{result.seed}"
        for i in range(3):  # files the sync deletes
            (target / FOLDERS[1]).mkdir(parents=True, exist_ok=True)
            (target / FOLDERS[1] / f"stale {i}.txt").write_bytes(b"stale")
        moved: set[str] = set()
        try:
            if not self.call(result, moved, via._sync_down, BUCKET, "ref", str(target),
                             delete=True, max_delete=3, workers=16):  # fmt: skip
                return
            self.check_files(result, target, self.tree, result.error is None, moved, stale=True)
            done = self.again(result, self.direct._sync_down, BUCKET, "ref", str(target),
                              delete=True, max_delete=3, workers=16)  # fmt: skip
            if done is not None:
                self.check_files(result, target, self.tree, done, set(), when="after a rerun")
        finally:
            shutil.rmtree(target, ignore_errors=True)

    # The checks, each through the fault-free client.
    def subtree(self, source: Path) -> dict[str, tuple[int, str]]:
        below = source.relative_to(self.root).as_posix()
        if below == ".":
            return self.tree
        return {rel[len(below) + 1 :]: v for rel, v in self.tree.items()
                if rel.startswith(below + "/")}  # fmt: skip

    def check_store(self, result, prefix, tree, returned, moved, stale=(), when="") -> None:
        objects = {o.object_name: o.size for o in
                   self.sdk.list_objects(BUCKET, prefix=prefix + "/", recursive=True)}  # fmt: skip
        expected = {f"{prefix}/{rel}": v for rel, v in tree.items()}
        for name in sorted(set(objects) - set(expected) - set(stale)):
            result.bad("debris", f"object {name!r} {when}", name)
        if returned:
            for name in sorted(set(stale) & set(objects)):
                result.bad("wrong bytes", f"object {name!r} not deleted {when}", name)
        for name in sorted(set(expected) - set(objects)):
            if returned or name in moved:
                result.bad("wrong bytes", f"object {name!r} missing {when}", name)

        def wrong(name: str) -> bool:
            with contextlib.closing(self.sdk.get_object(BUCKET, name)) as answer:
                digest = hashlib.sha256()
                for chunk in answer.stream(MIB):
                    digest.update(chunk)
            return (objects[name], digest.hexdigest()) != expected[name]

        present = sorted(set(expected) & set(objects))
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            for name, bad in zip(present, pool.map(wrong, present), strict=True):
                if bad:
                    result.bad("wrong bytes", f"object {name!r} {when}", name)

    def check_files(self, result, target, tree, returned, moved, stale=False, when="") -> None:
        found = {p.relative_to(target).as_posix(): p for p in target.rglob("*") if p.is_file()}
        for rel, path in sorted(found.items()):
            key = f"ref/{rel}"
            if rel not in tree:
                if stale and path.name.startswith("stale "):
                    if returned:
                        result.bad("wrong bytes", f"file {rel!r} not deleted {when}")
                    continue
                # The storage client's is <file>.<etag>.part.minio; the engine's names none.
                key = f"ref/{rel[: -len(CLIENT_TEMP)].rpartition('.')[0]}"
                if not rel.endswith(CLIENT_TEMP):
                    key = None
                result.bad("debris", f"file {rel!r} {when}", key)
            elif (path.stat().st_size, digest_of(path)) != tree[rel]:
                result.bad("wrong bytes", f"file {rel!r} {when}", key)
        for rel in sorted(set(tree) - set(found)):
            if returned or f"ref/{rel}" in moved:
                result.bad("wrong bytes", f"file {rel!r} missing {when}", f"ref/{rel}")

    def check_uploads(self, result: Round, prefix: str) -> None:
        """Unfinished uploads in parts under ``prefix``, then aborted."""
        uploads = self.sdk._list_multipart_uploads(BUCKET, prefix=prefix + "/").uploads
        for upload in uploads:
            name = upload.object_name
            result.bad("unfinished uploads", f"upload of {name!r}", name)
            self.sdk._abort_multipart_upload(BUCKET, upload.object_name, upload.upload_id)

    def remove(self, prefix: str) -> None:
        names = [DeleteObject(o.object_name) for o in
                 self.sdk.list_objects(BUCKET, prefix=prefix + "/", recursive=True)]  # fmt: skip
        for error in self.sdk.remove_objects(BUCKET, names):
            print(f"  (could not remove {error.name}: {error.message})", file=sys.stderr)

    def explain(self, result: Round, log) -> None:
        """Adds to each bad outcome the damaged requests of its object, and to
        an error those of the objects its text names, else the damaged
        requests that were never tried again."""
        damaged = [r for r in log if r.fault]
        last = {request_text(r, fault=False): r for r in log}
        final = [r for r in damaged if last[request_text(r, fault=False)] is r]
        for outcome, items in result.outcomes.items():
            for i, (item, key) in enumerate(zip(items, result.keys[outcome], strict=True)):
                hits = [r for r in damaged if key and r.path == f"/{BUCKET}/{key}"]
                if key is None and outcome in ("hang", "unexpected error"):
                    hits = final[-3:]
                items[i] = item + blame(hits[-4:])
        if result.error is not None:
            text, error = describe(result.error), result.error
            full = " ".join(map(str, [error, error.__cause__, *getattr(error, "__notes__", [])]))
            named = [r for r in damaged if r.path.partition(f"/{BUCKET}/")[2] in full]
            result.error_text = text + blame((named or final or damaged)[-3:])


def is_listing(r) -> bool:
    """A page of a listing: a GET of the bucket itself, but its region."""
    return r.method == "GET" and "/" not in r.path.strip("/") and "location" not in r.query


def blame(requests) -> str:
    return " <- " + "; ".join(map(request_text, requests)) if requests else ""


def request_text(r, fault: bool = True) -> str:
    """The request as the proxy saw it (an upload's id left out), and its fault."""
    query = "&".join(k if not v or k == "uploadId" else f"{k}={v}" for k, v in r.query.items())
    return f"{r.method} {r.path}{'?' + query if query else ''}" + (f": {r.fault}" if fault else "")


def describe(error: BaseException) -> str:
    text = f"{type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}"
    cause = error.__cause__
    if cause is not None:
        text += f" (cause {type(cause).__name__}: {str(cause).splitlines()[0][:160]})"
    notes = getattr(error, "__notes__", [])
    return text[:300] + (f" [{notes[0][:160]}]" if notes else "")


def io_of(data: bytes):
    import io

    return io.BytesIO(data)


def parse(argv: list[str] | None) -> argparse.Namespace:
    about = __doc__.split("\n")[0]
    parser = argparse.ArgumentParser(prog="python -m tools.soak", description=about)
    parser.add_argument("--seeds", type=int, help="seeds 1..N (default: 8; --quick: 2)")
    parser.add_argument("--seed", type=int, action="append", help="this seed (repeatable)")
    kinds = ",".join(KINDS)
    parser.add_argument("--rounds", default=kinds, help=f"kinds of round (default: {kinds})")
    parser.add_argument("--files", type=int, default=1500, help="files in the tree (default: 1500)")
    parser.add_argument("--quick", action="store_true", help="2 seeds and a tree of 300 files")
    parser.add_argument("--timeout", type=float, default=120, help="seconds a call may take")
    parser.add_argument("--budget", type=float, default=1200,
                        help="seconds after which no round starts (default: 1200)")  # fmt: skip
    args = parser.parse_args(argv)
    args.rounds = [k.strip() for k in args.rounds.split(",") if k.strip()]
    unknown = set(args.rounds) - set(KINDS)
    if unknown:
        parser.error(f"unknown rounds {sorted(unknown)}; known: {', '.join(KINDS)}")
    if args.quick:
        args.seeds, args.files = args.seeds or 2, min(args.files, 300)
    args.seeds = args.seeds or 8
    args.seed = args.seed or list(range(1, args.seeds + 1))
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse(argv)
    logging.getLogger("zarnel").setLevel(logging.CRITICAL)  # the retries: many, and expected
    totals: Counter[str] = Counter()
    work = Path(tempfile.mkdtemp(prefix="zarnel-soak-"))
    started = time.monotonic()
    try:
        with SeaweedFS() as server:
            tree = make_tree(work / "tree", args.files)
            size = sum(s for s, _ in tree.values())
            print(f"soak: {len(tree)} files, {size / MIB:.0f} MiB, against SeaweedFS "
                  f"{server.endpoint}; seeds {args.seed}", flush=True)  # fmt: skip
            soak = Soak(server, work / "tree", work, tree, args.timeout)
            soak.prepare()
            for seed, kind in [(seed, kind) for seed in args.seed for kind in args.rounds]:
                if time.monotonic() - started > args.budget:
                    totals["not run"] += 1
                    continue
                result = soak.run(kind, seed)
                totals[result.verdict if not result.outcomes else "bad rounds"] += 1
                for outcome in result.outcomes:
                    totals[outcome] += 1
                report(result, args)
    except KeyboardInterrupt:
        print("soak: interrupted", file=sys.stderr)
        return 130
    finally:
        shutil.rmtree(work, ignore_errors=True)
    rounds = totals["ok"] + totals["clean error"] + totals["bad rounds"]
    figures = ", ".join(f"{totals[k]} {k}" for k in BAD)
    seconds = time.monotonic() - started
    print(f"soak: {rounds} rounds: {totals['ok']} ok, {totals['clean error']} clean error, "
          f"{totals['bad rounds']} bad ({figures}) in {seconds:.0f} s")  # fmt: skip
    if totals["not run"]:
        print(f"soak: {totals['not run']} rounds not run: past the budget of {args.budget:.0f} s")
    return 1 if any(totals[k] for k in [*BAD, "not run"]) else 0


def report(result: Round, args) -> None:
    head = f"{result.kind:10} seed {result.seed:3}: "
    figures = f"({result.seconds:.1f} s, {result.requests} requests, {result.damaged} damaged)"
    error = getattr(result, "error_text", "")
    if not result.outcomes:
        print(f"{head}{result.verdict} {figures}" + (f": {error}" if error else ""), flush=True)
        return
    print(f"{head}BAD: {', '.join(result.outcomes)} {figures}; again with "
          f"`python -m tools.soak --seed {result.seed} --rounds {result.kind}"
          f"{'' if args.files == 1500 else f' --files {args.files}'}`")  # fmt: skip
    if error:
        print(f"    error: {error}")
    for outcome, items in result.outcomes.items():
        rerun = [item for item in items if "after a rerun" in item]  # what a rerun kept
        for these in ([item for item in items if item not in rerun], rerun):
            for item in these[:4]:
                print(f"    {outcome}: {item}")
            if len(these) > 4:
                print(f"    {outcome}: ... and {len(these) - 4} more")
    sys.stdout.flush()


if __name__ == "__main__":
    sys.exit(main())
