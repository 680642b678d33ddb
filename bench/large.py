"""Trees of large files against a local SeaweedFS server: zarnel's engine
beside s5cmd and rclone (bench/README.md), in MiB/s and the client's CPU ms
per MiB, and how much the peak RSS of this process grows during a call."""

from __future__ import annotations

import os
import shutil
import threading
import uuid
from functools import partial
from pathlib import Path

from bench import common
from bench.common import Goal, median, paired, span
from bench.trees import PEERS, WAYS, Failed, Peer, Zarnel, scrub

KIB, MIB = 1024, 1024 * 1024
# The trees, flat (a download takes one level): (count, size) groups; the
# full run's and --quick's.
TREES = {
    "large": ([(24, 24 * MIB), (1, 4 * KIB)], [(6, 24 * MIB), (1, 4 * KIB)]),
    "mixed": ([(1000, 4 * KIB), (100, 256 * KIB), (12, 24 * MIB)],
              [(200, 4 * KIB), (20, 256 * KIB), (3, 24 * MIB)]),
}  # fmt: skip
ENGINES = ("zarnel-engine-8", "zarnel-engine-32")
SPEED = Goal("the better engine setting's MiB/s over s5cmd's", ">=", 1.0)
CPU = Goal("the better engine setting's CPU per MiB over s5cmd's", "<=", 1.0)
RSS = Goal("peak RSS growth during a call", "<=", 128, " MiB")


def files(groups) -> dict[str, int]:
    names, index = {}, 0
    for count, size in groups:
        for _ in range(count):
            names[f"f{index:05d}.bin"] = size
            index += 1
    return names


class PeakRss:
    """The highest RSS of this process while it runs, sampled every 5 ms."""

    def __init__(self) -> None:
        self.peak, self._stop = 0, threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)

    @staticmethod
    def now() -> int:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def _sample(self) -> None:
        while not self._stop.wait(0.005):
            self.peak = max(self.peak, self.now())

    def __enter__(self) -> PeakRss:
        self.base = self.now()
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()


def warm(folder: Path, mib: float) -> None:
    """Writes and removes as many MiB as a sample writes: this VM's first
    touch of a page costs far more than the copy into it (seen: 3 ms of CPU
    per MiB on fresh pages, 0.55 on reused ones, for the same download), so
    each sample starts on pages that were touched before, whoever runs first."""
    block = bytes(1 << 20)
    with open(folder / "warm", "wb") as file:
        for _ in range(int(mib) + 1):
            file.write(block)
    (folder / "warm").unlink()


def run_large(server, quick: bool = False) -> dict:
    repeat, graded, blocks, runs = 1 if quick else 2, [], [], []
    with common.workdir("large") as work:
        sdk, bucket = common.sdk_for(server), f"bench-{uuid.uuid4().hex[:8]}"
        sdk.make_bucket(bucket)
        home = common.fresh_dir(work / "home")
        (home / "aws").write_text("[default]\nregion = us-east-1\n")
        (home / "empty").write_text("")
        tools = [Zarnel(server, bucket, w) for w in (8, 32)]
        tools += [Peer(server, bucket, home, *p) for p in PEERS if p[0] in ("s5cmd", "rclone-16")]
        by_key = {t.key: t for t in tools}
        for tree, (full, brief) in TREES.items():
            wanted = files(brief if quick else full)
            mib = sum(wanted.values()) / MIB
            local = work / f"tree-{tree}"
            local.mkdir()
            for name, size in wanted.items():
                (local / name).write_bytes(os.urandom(size))
            # The download's prefix, stored once by the engine (not timed).
            by_key["zarnel-engine-32"].move("upload", server.port, f"src-{tree}", local)

            def arrived(way, prefix, folder, wanted=wanted):
                if way == "upload":
                    items = sdk.list_objects(bucket, prefix=prefix + "/")
                    found = {i.object_name[len(prefix) + 1 :]: i.size for i in items}
                else:
                    found = {p.name: p.stat().st_size for p in folder.iterdir()}
                if found != wanted:
                    raise Failed(f"{len(found)} files arrived, not the {len(wanted)} written")

            def step(way, tree=tree, local=local, mib=mib, arrived=arrived):
                def sample(key, i):
                    tool = by_key[key]
                    if tool.unavailable or way in tool.failed:
                        return None
                    prefix, folder = f"{tree}/{key}-{i}", local
                    if way == "download":
                        prefix, folder = f"src-{tree}", common.fresh_dir(work / "down")
                    cpu = {"client": partial(common.rusage_cpu_s, not tool.in_process)}
                    warm(work, mib)
                    try:
                        with PeakRss() as rss:
                            spent = common.during(cpu, tool.move, way, server.port, prefix, folder)
                        arrived(way, prefix, folder)
                    except Exception as error:
                        tool.failed[way] = f"{tree}: {scrub(error, server.secret_key)}"
                        return None
                    finally:
                        if way == "download":
                            shutil.rmtree(folder, ignore_errors=True)
                    grown = (rss.peak - rss.base) / MIB if tool.in_process else None
                    return {"mib_s": mib / spent["seconds"], "cpu": spent["client"] * 1e3 / mib,
                            "rss": grown}  # fmt: skip

                return sample

            rates = dict(zip(WAYS, common.interleaved(by_key, repeat, *map(step, WAYS)),
                             strict=True))  # fmt: skip
            table = [["tool", "upload MiB/s", "min-max", "CPU ms/MiB", "download MiB/s",
                      "min-max", "CPU ms/MiB"]]  # fmt: skip
            for tool in tools:
                row = [tool.label]
                for way in WAYS:
                    kept = rates[way][tool.key]
                    if not kept:
                        row += ["failed" if way in tool.failed else "-", "", ""]
                        continue
                    speeds = [s["mib_s"] for s in kept]
                    low, high, cpu = min(speeds), max(speeds), median([s["cpu"] for s in kept])
                    row += [f"{median(speeds):.0f}", f"{low:.0f}-{high:.0f}", f"{cpu:.2f}"]
                table.append(row)
            counts = ", ".join(f"{c:,} x {s // KIB:,} KiB" for c, s in (brief if quick else full))
            blocks += [f"{tree}: {counts} ({mib:.0f} MiB), {repeat} repetition(s)", table]
            runs.append({"tree": tree, "mib": mib, "rates": rates})
            for way in WAYS:
                of = {k: [s["mib_s"] for s in kept] for k, kept in rates[way].items()}
                versus = {k: paired(of[k], of.get("s5cmd", [])) for k in ENGINES}
                best = max(filter(versus.get, ENGINES), key=lambda k: versus[k]["median"],
                           default=None)  # fmt: skip
                about, ratio = f"{tree} {way}", versus.get(best)
                graded.append(SPEED.grade(ratio and ratio["median"], about,
                                          f"{span(ratio)}x ({best})"))  # fmt: skip
                cpu = {k: median([s["cpu"] for s in kept]) for k, kept in rates[way].items()}
                ours, theirs = cpu.get(best), cpu.get("s5cmd")
                over = ours / theirs if ours is not None and theirs else None
                if tree == "large":
                    graded.append(
                        CPU.grade(
                            over,
                            about,
                            f"{over or 0:.2f}x ({ours or 0:.2f} against {theirs or 0:.2f} ms/MiB)",
                        )
                    )
                grown = [s["rss"] for k in ENGINES for s in rates[way][k] if s["rss"] is not None]
                top = max(grown, default=None)
                graded.append(RSS.grade(top, about, f"{top or 0:.0f} MiB"))
            shutil.rmtree(local)
    for tool, (way, why) in ((t, f) for t in tools for f in t.failed.items()):
        blocks.append(f"{tool.label}, {way}: failed, left out from then on ({why})")
    title = "Trees of large files against SeaweedFS (MiB/s: median, min-max; CPU: the client's "
    title += "ms per MiB;\n   upload: a flat tree to a fresh prefix, download: the prefix to an "
    title += "empty folder)"
    return {"runs": runs, "report": common.report(title, *blocks, goals=graded)}
