"""Syncs against a local SeaweedFS server, zarnel's _sync_up/_sync_down beside
`s5cmd sync`, `rclone sync --transfers 16` and zarnel's own `_upload_dir`
(bench/README.md): a tree of small files in folders, first upload, no-op sync
up, 1% changed up, first sync down into an empty folder, no-op sync down; and
how much a fresh process's peak RSS grows during a no-op sync of a large
tree."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
import uuid
from pathlib import Path

from bench import common
from bench.common import Goal, median
from bench.trees import PEERS, Peer, scrub

FILE_SIZE = 4 * 1024
# Files and folders of the timed tree, and objects of the memory tree: full
# run, --quick.
TREE = {False: (10_000, 100), True: (1_000, 10)}
LARGE = {False: 200_000, True: 20_000}
STEPS = ("first upload", "no-op sync up", "1% changed up", "first sync down",
         "no-op sync down")  # fmt: skip
TOOLS = ("zarnel", "s5cmd", "rclone", "upload_dir")
# The goals of each step: zarnel's speed over the tool's.
GOALS = {
    "first upload": {"s5cmd": 3.0, "upload_dir": 0.85},
    "no-op sync up": {"s5cmd": 2.5},
    "1% changed up": {"s5cmd": 2.5},
    "first sync down": {"s5cmd": 3.0, "rclone": 1.0},
    "no-op sync down": {"s5cmd": 2.5},
}
# Each tool's steps (the baselines run only where a goal names them).
RUNS = {tool: [s for s in STEPS if tool in ("zarnel", "s5cmd") or tool in GOALS[s]]
        for tool in TOOLS}  # fmt: skip
WORKERS = 32
RSS = Goal("peak RSS growth", "<=", 64, " MiB")
MIB = 1024 * 1024
# The no-op sync of the memory figure, in a process of its own: its peak RSS
# (ru_maxrss) above what it held once connected. The keys come in the
# environment, never on a command line.
KEYS = "{0.access_key}:{0.secret_key}"
NOOP = """
import json, os, resource, sys, time
from zarnel.minio_main import ZarnelMinioMain
port, bucket, tree = sys.argv[1:]
user, _, password = os.environ.pop("ZARNEL_BENCH_KEYS").partition(":")
store = ZarnelMinioMain({"host": "127.0.0.1", "port": int(port), "user": user,
                         "password": password})
store._connect()
store._bucket_list()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
started = time.monotonic()
report = store._sync_up(bucket, tree, "big")
seconds = time.monotonic() - started
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
print(json.dumps([report.copied, report.skipped, grown, seconds]))
"""


def _change(tree: Path, names: list[str]) -> None:
    """1% of the files get new bytes of the same size and a later time."""
    later = time.time() + 5
    for name in names[::100]:
        path = tree / name
        path.write_bytes(os.urandom(FILE_SIZE))
        os.utime(path, (later, later))


def run_sync(server, quick: bool = False) -> dict:
    count, folders = TREE[quick]
    names = common.file_names(count, folders)
    repeat = 1 if quick else 3
    seconds: dict[str, dict[str, list[float]]] = {s: {t: [] for t in TOOLS} for s in STEPS}
    failed: dict[str, str] = {}
    load = os.getloadavg()[0]
    with common.workdir("sync") as work:
        sdk, bucket = common.sdk_for(server), f"bench-{uuid.uuid4().hex[:8]}"
        sdk.make_bucket(bucket)
        home = common.fresh_dir(work / "home")
        (home / "aws").write_text("[default]\nregion = us-east-1\n")
        (home / "empty").write_text("")
        peers = {p[2]: Peer(server, bucket, home, *p) for p in PEERS if p[2] in TOOLS}
        s5cmd = peers["s5cmd"]
        store = common.store(server)
        url = f"http://127.0.0.1:{server.port}"

        def ours(step: str, i: int, tree: Path, down: Path) -> None:
            if step.endswith("down"):
                store._sync_down(bucket, f"z{i}", down, workers=WORKERS)
            else:
                store._sync_up(bucket, tree, f"z{i}", workers=WORKERS)

        def upload_dir(step: str, i: int, tree: Path, down: Path) -> None:
            store._upload_dir(bucket, str(tree), base_dir=f"u{i}", workers=WORKERS)

        def with_s5cmd(step: str, i: int, tree: Path, down: Path) -> None:
            words = ["--endpoint-url", url, "--log", "error", "sync"]
            if step.endswith("down"):
                words += [f"s3://{bucket}/s{i}/*", f"{down}/"]
            else:
                words += [f"{tree}/", f"s3://{bucket}/s{i}/"]
            s5cmd.run(words, url)

        def with_rclone(step: str, i: int, tree: Path, down: Path) -> None:
            # The objects that s5cmd stored, as zarnel's own come down.
            words = ["sync", f"bench:{bucket}/s{i}", str(down), "--transfers", "16"]
            peers["rclone"].run(words, url)

        tools = {"zarnel": ours, "s5cmd": with_s5cmd, "rclone": with_rclone,
                 "upload_dir": upload_dir}  # fmt: skip
        for i in range(repeat):
            tree = work / f"tree-{i}"
            common.write_tree(tree, names, FILE_SIZE)
            if i == 0:
                # Warm-up (not timed): the server allocates its volumes on the
                # first writes, which would otherwise fall on whoever goes first.
                store._upload_dir(bucket, str(tree), base_dir="warm", workers=WORKERS)
            downs = {key: work / f"down-{key}-{i}" for key in tools}
            for step in STEPS:
                if step == "1% changed up":
                    _change(tree, names)
                for key, move in tools.items():
                    peer = peers.get(key)
                    if step not in RUNS[key] or key in failed or (peer and peer.unavailable):
                        continue
                    try:
                        seconds[step][key].append(common.timed(move, step, i, tree, downs[key]))
                    except Exception as error:
                        failed[key] = scrub(error, server.secret_key)

        # Memory: a no-op sync up of a large tree of empty files, stored by
        # the engine beforehand (not timed).
        large = LARGE[quick]
        tree = work / "large"
        common.empty_tree(tree, large, 1000)
        old = time.time() - 3600
        for path in tree.rglob("*"):
            os.utime(path, (old, old))
        store._upload_dir(bucket, str(tree), base_dir="big", workers=32)
        # In a fresh process, so that the figure is the sync's own and not
        # memory this one freed earlier and the sync then reused.
        done = subprocess.run([sys.executable, "-c", NOOP, str(server.port), bucket, str(tree)],
                              env={**os.environ, "ZARNEL_BENCH_KEYS": KEYS.format(server)},
                              capture_output=True, text=True, timeout=600)  # fmt: skip
        if done.returncode:
            failed["memory"] = scrub(done.stderr.strip()[-300:], server.secret_key)
            grown = noop_seconds = float("nan")
        else:
            copied, skipped, grown, noop_seconds = json.loads(done.stdout)
            if copied or skipped != large:
                failed["memory"] = f"copied {copied}, skipped {skipped} of {large}"

    table = [["step", *(f"{t} s" for t in TOOLS)]]
    goals, figures = [], {}
    for step in STEPS:
        took = {tool: median(seconds[step][tool]) for tool in TOOLS}
        figures[step] = {f"{tool}_s": took[tool] for tool in TOOLS}
        table.append([step, *(f"{took[t]:.2f}" if took[t] else "-" for t in TOOLS)])
        for tool, want in GOALS[step].items():
            mine, theirs = took["zarnel"], took[tool]
            ratio = theirs / mine if mine and theirs else None
            figures[step][f"over_{tool}"] = ratio
            goal = Goal(f"speed over {tool}'s", ">=", want)
            goals.append(goal.grade(ratio, step, f"{ratio:.2f}x" if ratio else "n/a"))
    measured = grown if grown == grown else None  # NaN: not measured
    goals.append(RSS.grade(measured, f"no-op sync up of {large:,} objects", f"{grown:.1f} MiB"))
    lines = [f"{count:,} files of 4 KiB in {folders} folders, median of {repeat}, zarnel with "
             f"workers={WORKERS}, load average {load:.1f} at the start; "
             + "; ".join(f"{p.version or p.unavailable}" for p in peers.values()),
             f"no-op sync up of {large:,} objects: {noop_seconds:.1f} s, "
             f"peak RSS +{grown:.1f} MiB"]  # fmt: skip
    lines += [f"{key} failed: {why}" for key, why in failed.items()]
    result = {"steps": figures, "large": {"objects": large, "seconds": noop_seconds,
              "rss_mib": grown}, "failed": failed}  # fmt: skip
    result["report"] = common.report("sync: zarnel beside s5cmd sync and rclone sync", *lines,
                                     table, goals=goals)  # fmt: skip
    return result
