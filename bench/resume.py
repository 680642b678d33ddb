"""A large file interrupted at about half its way and resumed, against a local
SeaweedFS server: a child process moves it with resume=True and is killed
(SIGKILL) once about half of it is stored (upload: parts the store lists) or
written (download: pieces the journal lists); then this process carries it
on. The resumed call's time as a ratio to a fresh transfer of the same file,
each repetition's pair back to back."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

from bench import common
from bench.common import Goal, median, paired, span

MIB = 1024 * 1024
WORKERS = 8
GOAL = Goal("resumed after half over a fresh transfer", "<=", 0.6)

# The child: one transfer on the engine, resumed; its keys come in the
# environment, never on its command line.
CHILD = """
import os, sys
from zarnel.minio_main import ZarnelMinioMain
way, port, bucket, name, path, size = sys.argv[1:]
store = ZarnelMinioMain({"host": "127.0.0.1", "port": int(port), "user": os.environ["ZB_USER"],
                         "password": os.environ["ZB_PASSWORD"]})
store._connect()
if way == "upload":
    store._upload_files(bucket, [(name, path, int(size))], workers=WORKERS, resume=True)
else:
    store._download_files(bucket, [(name, path, int(size), None)], workers=WORKERS, resume=True)
""".replace("WORKERS", str(WORKERS))


def stored_parts(sdk, bucket: str, name: str) -> int:
    uploads = sdk._list_multipart_uploads(bucket, prefix=name).uploads
    if not uploads:
        return 0
    return len(sdk._list_parts(bucket, name, uploads[0].upload_id).parts)


def whole_pieces(folder: Path) -> int:
    return sum(
        line.startswith("whole ")
        for path in folder.glob(".zarnel-*.part.resume")
        for line in path.read_text().splitlines()
    )


def interrupt(server, way: str, bucket: str, name: str, path: Path, size: int, half) -> None:
    """The child's transfer, killed once `half()` says about half is done."""
    env = {**os.environ, "ZB_USER": server.access_key, "ZB_PASSWORD": server.secret_key}
    args = [sys.executable, "-c", CHILD, way, str(server.port), bucket, name, str(path), str(size)]
    child = subprocess.Popen(args, env=env)
    try:
        deadline = time.monotonic() + 600
        while not half():
            if child.poll() is not None:
                raise RuntimeError(f"the {way} ended before it was half done")
            if time.monotonic() > deadline:
                raise RuntimeError(f"the {way} was not half done within 10 minutes")
            time.sleep(0.02)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    # The server ends the requests cut short before the next call starts, as
    # it would have long before a user resumes.
    time.sleep(1)


def run_resume(server, quick: bool = False) -> dict:
    repeat, mib = (1, 256) if quick else (5, 1024)
    size = mib * MIB
    parts = -(-size // (5 * MIB))  # as the engine cuts it
    pieces = -(-size // (8 * MIB))
    seconds: dict[str, dict[str, list[float]]] = {
        way: {"fresh": [], "resumed": []} for way in ("upload", "download")
    }
    with common.workdir("resume") as work:
        sdk, bucket = common.sdk_for(server), f"bench-{uuid.uuid4().hex[:8]}"
        sdk.make_bucket(bucket)
        store = common.store(server)
        source = work / "source.bin"
        common.write_large(source, mib)
        down = work / "down"
        down.mkdir()
        target = down / "big.bin"

        def up(resume: bool) -> None:
            store._upload_files(bucket, [("big.bin", str(source), size)], workers=WORKERS,
                                resume=resume)  # fmt: skip

        def get(resume: bool) -> None:
            store._download_files(bucket, [("big.bin", str(target), size, None)],
                                  workers=WORKERS, resume=resume)  # fmt: skip

        for i in range(repeat):
            for order in ("fresh", "resumed") if i % 2 == 0 else ("resumed", "fresh"):
                if order == "fresh":
                    seconds["upload"]["fresh"].append(common.timed(up, False))
                    target.unlink(missing_ok=True)
                    seconds["download"]["fresh"].append(common.timed(get, False))
                    continue
                interrupt(server, "upload", bucket, "big.bin", source, size,
                          lambda: stored_parts(sdk, bucket, "big.bin") >= parts // 2)  # fmt: skip
                seconds["upload"]["resumed"].append(common.timed(up, True))
                target.unlink(missing_ok=True)
                interrupt(server, "download", bucket, "big.bin", target, size,
                          lambda: whole_pieces(down) >= pieces // 2)  # fmt: skip
                seconds["download"]["resumed"].append(common.timed(get, True))
            if target.stat().st_size != size or os.listdir(down) != ["big.bin"]:
                raise RuntimeError("the resumed download did not end in the whole file alone")
            if sdk.stat_object(bucket, "big.bin").size != size:
                raise RuntimeError("the resumed upload did not store the whole file")
    table = [["way", "fresh s", "resumed s", "resumed / fresh", "min-max"]]
    graded, runs = [], {}
    for way, times in seconds.items():
        ratio = paired(times["resumed"], times["fresh"])
        assert ratio is not None
        low, high = ratio["range"]
        table.append([way, f"{median(times['fresh']):.2f}", f"{median(times['resumed']):.2f}",
                      f"{ratio['median']:.2f}", f"{low:.2f}-{high:.2f}"])  # fmt: skip
        graded.append(GOAL.grade(ratio["median"], way, f"{span(ratio)}x"))
        runs[way] = {**times, "ratio": ratio}
    title = (f"A {mib} MiB file killed at about half its way, then resumed, against SeaweedFS "
             f"({WORKERS} workers;\n   median of {repeat}, each pair back to back)")  # fmt: skip
    return {"runs": runs, "report": common.report(title, table, goals=graded)}
