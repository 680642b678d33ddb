"""A tree of small files up and down two ways in turn: `_upload_dir(...,
workers=8)` in this process, and zarnel.distributed on a Dask LocalCluster; the
CPU per file by process is what carries over to other machines (bench/README.md)."""

from __future__ import annotations

import os
import uuid

from bench import common
from bench.common import Goal, paired, span
from zarnel.distributed import download_prefix, upload_tree

FILE_SIZE = 4 * 1024
WORKERS = 8  # threads per client process, both ways
PROCESSES = 2
WHO = ("caller", "workers", "server")  # whose CPU is measured
# Per direction: the cluster's files/s against one process's in the same
# repetition (median of the paired ratios), and its workers' CPU per file.
RATE = Goal("LocalCluster files/s over one process's", ">=", 0.8)
WORKER_CPU = Goal("the workers' CPU per file", "<=", 0.35, " ms")


def run_cluster(server, quick: bool = False) -> dict:
    """`server`: a running S3 server (tools.s3servers) started by this process."""
    from distributed import Client, LocalCluster

    files, repeat = (200, 1) if quick else (2000, 3)
    with (
        common.workdir("cluster") as work,
        LocalCluster(
            n_workers=PROCESSES, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        Client(cluster) as dask,
    ):
        # One folder: _download_dir takes one level, so the tree serves both ways.
        tree = str(work / "tree")
        common.write_tree(work / "tree", common.file_names(files), FILE_SIZE)
        ours, bucket = common.store(server), f"cluster-{uuid.uuid4().hex[:8]}"
        ours._create_bucket(bucket)
        # Per way: its worker processes, its upload, its download.
        ways = {
            "one process": (
                [], lambda: ours._upload_dir(bucket, tree, 3, "one", workers=WORKERS),
                lambda into: ours._download_dir(bucket, "one", into, workers=WORKERS)),
            "LocalCluster": (
                list(dask.run(os.getpid).values()),
                lambda: upload_tree(dask, ours, bucket, tree, 3, "two", workers=WORKERS),
                lambda into: download_prefix(dask, ours, bucket, "two", into, workers=WORKERS)),
        }  # fmt: skip

        def measure(name: str, way: int, *args) -> dict:
            groups = {"caller": [os.getpid()], "server": [server._process.pid]}
            return common.during({**groups, "workers": ways[name][0]}, ways[name][way], *args)

        def download(name: str, _: int) -> dict:
            target = common.fresh_dir(work / "down")
            sample = measure(name, 2, str(target))
            assert len(os.listdir(target)) == files
            return sample

        # Not timed: the first writes make the server's volumes and the
        # workers' first tasks import the client.
        for _, up, _down in ways.values():
            up()
        up, down = common.interleaved(ways, repeat, lambda name, _: measure(name, 1), download)

    rows, table = {}, [["", "way", "files/s", "CPU ms per file: caller", "workers", "server"]]
    goals = []
    for direction, samples in (("upload", up), ("download", down)):
        rates = {name: [files / s["seconds"] for s in kept] for name, kept in samples.items()}
        ratio = paired(rates["LocalCluster"], rates["one process"])
        worker_ms = 1e3 * common.median([s["workers"] for s in samples["LocalCluster"]]) / files
        goals.append(
            RATE.grade(ratio and ratio["median"], f"cluster, {direction}", f"{span(ratio)}x")
        )
        goals.append(WORKER_CPU.grade(worker_ms, f"cluster, {direction}", f"{worker_ms:.2f} ms"))
        rows[direction] = {"cluster_over_one_process": ratio}
        for name, kept in samples.items():
            seconds = common.median([s["seconds"] for s in kept])
            cpu = {w: 1e3 * common.median([s[w] for s in kept]) / files for w in WHO}
            rows[direction][name] = {"files_per_s": files / seconds, "seconds": seconds} | {
                f"{who}_cpu_ms_per_file": ms for who, ms in cpu.items()
            }
            table.append(
                [direction, name, f"{files / seconds:.0f}", *(f"{ms:.2f}" for ms in cpu.values())]
            )
    shown = common.report(
        f"A tree of {files:,} files of {FILE_SIZE // 1024} KiB: one process with workers "
        f"{WORKERS}, and a Dask LocalCluster of {PROCESSES} processes (medians of {repeat}, "
        f"{os.cpu_count()} cores shared with the server)",
        table,
        "what the figures mean for more machines: bench/README.md",
        goals=goals,
    )
    figures = {"files": files, "file_kib": FILE_SIZE // 1024, "workers": WORKERS}
    figures.update(processes=PROCESSES, repetitions=repeat, cores=os.cpu_count())
    return {**figures, "rows": rows, "report": shown}
