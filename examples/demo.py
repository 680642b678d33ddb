"""A round trip with ZarnelMinioMain against a local SeaweedFS server.

Run without arguments, it starts its own server (data on disk in a temporary
folder) and stops it at the end. With --endpoint, --access-key and
--secret-key it runs the same round trip against an existing server, such as
a MinIO server.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import logging
import os
import sys
import tempfile
import threading
import time
import urllib.request
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from tqdm import tqdm  # noqa: E402

from tools.s3servers import External, SeaweedFS  # noqa: E402
from zarnel.minio_main import ZarnelMinioMain  # noqa: E402

MiB = 1024 * 1024

SITE = {
    "index.html": "<!doctype html><title>Zarnel</title><h1>Quarterly numbers</h1>\n",
    "about.html": "<!doctype html><p>Made by the data team. Données: ©2026.</p>\n",
    "css/main.css": "body { font: 16px/1.4 sans-serif; }\nh1 { color: #234; }\n",
    "css/img/logo.svg": '<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"/>\n',
    "js/app.js": "document.title += ' (live)';\n",
}


def say(text: str) -> None:
    print(text, flush=True)


def step(text: str) -> None:
    say(f"\n== {text}")


class WarningEcho(logging.Handler):
    """Shows the client's soft warnings in the transcript."""

    def emit(self, record: logging.LogRecord) -> None:
        say(f"   warning from the client: {record.getMessage()}")


@contextlib.contextmanager
def progress(label: str, size: int):
    """An elapsed-time line while a transfer runs, then its throughput."""
    done = threading.Event()
    start = time.perf_counter()
    live = sys.stdout.isatty()

    def tick() -> None:
        while not done.wait(0.2):
            print(f"\r   {label}: {time.perf_counter() - start:5.1f} s", end="", flush=True)

    ticker = threading.Thread(target=tick, daemon=True)
    if live:
        ticker.start()
    try:
        yield
    finally:
        done.set()
        if live:
            ticker.join()
        elapsed = time.perf_counter() - start
        end = "\r" if live else ""
        say(f"{end}   {label}: {size / MiB:.0f} MiB in {elapsed:.2f} s "
            f"({size / MiB / max(elapsed, 1e-9):.0f} MiB/s)")  # fmt: skip


def sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(MiB), b""):
            digest.update(block)
    return digest.hexdigest()


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"demo failed: {what}")
    say(f"   ok: {what}")


def table(records: list[dict]) -> None:
    columns = ["object_name", "size", "last_modified", "etag"]
    rows = [[str(r[c]) for c in columns] for r in records]
    widths = [max(len(c), *(len(row[i]) for row in rows)) for i, c in enumerate(columns)]
    say("   " + "  ".join(c.ljust(w) for c, w in zip(columns, widths, strict=True)))
    say("   " + "  ".join("-" * w for w in widths))
    for row in rows:
        cells = [
            v.rjust(w) if i == 1 else v.ljust(w)
            for i, (v, w) in enumerate(zip(row, widths, strict=True))
        ]
        say("   " + "  ".join(cells))


def run(server, work: Path, big_mib: int) -> None:
    host, _, port = server.endpoint.rpartition(":")
    config = {"host": host, "port": int(port), "user": server.access_key,
              "password": server.secret_key}  # fmt: skip
    store = ZarnelMinioMain(config)
    store._connect()
    step(f"connected to {server.endpoint}")

    bucket = f"zarnel-demo-{uuid.uuid4().hex[:8]}"
    step(f"create bucket {bucket}")
    check(store._create_bucket(bucket) is True, "bucket created")
    check(store._create_bucket(bucket) is False, "creating it again is answered softly")

    step("upload a generated site tree with _upload_dir")
    site = work / "site"
    for name, text in SITE.items():
        (site / name).parent.mkdir(parents=True, exist_ok=True)
        (site / name).write_text(text, encoding="utf-8")
    store._upload_dir(bucket, str(site))
    say(f"   {len(SITE)} files from {site}")

    step("upload bytes and text with _upload_flow")
    payload = bytes(range(256)) * 16
    store._upload_flow(bucket, "raw/block.bin", payload)
    note = "Quarterly report — 第一季度 ✓\n"
    store._upload_flow(bucket, "notes/readme.txt", note)
    say(f"   raw/block.bin ({len(payload)} bytes), notes/readme.txt ({len(note.encode())} bytes)")

    step(f"upload a {big_mib} MiB file with _upload_file (multipart, 3 parts at a time)")
    big = work / "big.bin"
    with open(big, "wb") as handle:
        for _ in range(big_mib):
            handle.write(os.urandom(MiB))
    with progress("upload", big.stat().st_size):
        store._upload_file(bucket, "data\\big.bin", str(big), parallel=3)

    step("list the bucket with _bucket_list_files")
    records = store._bucket_list_files(bucket)
    table(records)
    names = {r["object_name"] for r in records}
    expected = {f"site/{n}" for n in SITE} | {"raw/block.bin", "notes/readme.txt", "data/big.bin"}
    check(names == expected, f"{len(expected)} objects listed under their names")

    step("read the bucket policy with _bucket_policy")
    check(store._bucket_policy(bucket) is None, "no policy set: None")

    step("download as text, a directory, and the large file")
    check(store._download_flow(bucket, "notes/readme.txt") == note, "text read back unchanged")
    out = work / "out"
    out.mkdir()
    store._download_dir(bucket, "site", str(out / "site"))
    got = sorted(p.name for p in (out / "site").iterdir())
    top = sorted(n for n in SITE if "/" not in n)
    check(got == top, f"_download_dir took one level: {', '.join(got)}")
    check(all((out / "site" / n).read_text(encoding="utf-8") == SITE[n] for n in top),
          "directory files match what went up")  # fmt: skip
    with progress("download", big.stat().st_size):
        store._download_file(bucket, "data/big.bin", str(out / "big.bin"))
    check(sha256(out / "big.bin") == sha256(big), "large file's SHA-256 matches")

    step("a tree of 400 small files on 8 workers, with a progress bar")
    logs = work / "logs"
    for i in range(400):
        (logs / f"day{i % 4}").mkdir(parents=True, exist_ok=True)
        (logs / f"day{i % 4}" / f"{i:04}.log").write_text(f"entry {i}\n" * 40)
    total = sum(p.stat().st_size for p in logs.rglob("*.log"))
    with tqdm(
        total=total, unit="B", unit_scale=True, desc="   upload", ncols=72, mininterval=0.5
    ) as bar:
        store._upload_dir(bucket, str(logs), workers=8, progress=lambda name, n: bar.update(n))
    day0 = out / "day0"
    with tqdm(total=100, unit="file", desc="   download", ncols=72, mininterval=0.5) as bar:
        store._download_dir(bucket, "logs/day0", str(day0), workers=8,
                            progress=lambda name, n: bar.update(1))  # fmt: skip
    check(len(store._bucket_list_files(bucket, "logs/")) == 400, "400 objects under logs/")
    check(sorted(p.name for p in day0.iterdir()) == [f"{i:04}.log" for i in range(0, 400, 4)],
          "logs/day0 came back: 100 files")  # fmt: skip
    logged = [r["object_name"] for r in store._bucket_list_files(bucket, "logs/")]
    store._remove_objects(bucket, logged)

    step("share an object with _get_url and fetch it")
    url = store._get_url(bucket, "raw/block.bin", days=1)
    say(f"   {url.split('?')[0]}?… (valid for 1 day)")
    with urllib.request.urlopen(url, timeout=30) as response:  # noqa: S310 (loopback)
        check(response.read() == payload, "presigned URL returns the object's bytes")

    step("remove objects and the bucket")
    store._remove_object(bucket, "notes/readme.txt")
    store._remove_objects(bucket, sorted(names - {"notes/readme.txt"}))
    check(store._bucket_list_files(bucket) == [], "bucket is empty")
    check(store._remove_bucket(bucket) is True, "bucket removed")
    check(store._remove_bucket(bucket) is False, "removing it again is answered softly")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--endpoint", help="host:port of an existing S3 server")
    parser.add_argument("--access-key", default="")
    parser.add_argument("--secret-key", default="")
    parser.add_argument("--big-mib", type=int, default=64, help="size of the large file")
    args = parser.parse_args(argv)

    logger = logging.getLogger("zarnel")
    logger.addHandler(WarningEcho())
    logger.propagate = False

    with contextlib.ExitStack() as stack:
        work = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="zarnel-demo-")))
        if args.endpoint:
            server = External(args.endpoint, args.access_key, args.secret_key)
            server.start()
        else:
            step("start a local SeaweedFS server")
            server = stack.enter_context(SeaweedFS(work / "seaweedfs"))
            say(f"   listening on {server.endpoint}, data in {server.data_dir}")
        run(server, work, args.big_mib)
        if not args.endpoint:
            step("stop the server")
    say("\ndemo finished: every step succeeded")
    return 0


if __name__ == "__main__":
    sys.exit(main())
