"""One tree of small files up and down: one process, and a Dask LocalCluster.

The same tree of 2,000 files of 4 KiB goes up with ``_upload_dir(...,
workers=8)`` in this process and with ``zarnel.distributed.upload_tree`` on a
LocalCluster of 2 worker processes (8 threads each), and comes down the same
two ways; the two alternate who goes first. Besides files/s, the CPU time
that each side spends is measured per file, by process: this process (the
caller: the walk or listing, and for the cluster also Dask's client and
scheduler), the cluster's worker processes, and the server. On a machine
whose cores the server shares, those per-file costs, not the files/s, say
what more processes or machines would bring (see bench/README.md). No goal:
the figures are shown as they are.
"""

from __future__ import annotations

import os
import time
import uuid

from bench import common
from zarnel.distributed import download_prefix, upload_tree

FILE_SIZE = 4 * 1024
WORKERS = 8  # threads per client process, both ways
PROCESSES = 2


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
        ours = common.store(server)
        bucket = f"bench-{uuid.uuid4().hex[:8]}"
        ours._create_bucket(bucket)
        cluster_pids = list(dask.run(os.getpid).values())
        ways = {
            "one process": (
                [],
                lambda: ours._upload_dir(bucket, tree, 3, "one", workers=WORKERS),
                lambda target: ours._download_dir(bucket, "one", target, workers=WORKERS),
            ),
            "LocalCluster": (
                cluster_pids,
                lambda: upload_tree(dask, ours, bucket, tree, 3, "two", workers=WORKERS),
                lambda target: download_prefix(dask, ours, bucket, "two", target, workers=WORKERS),
            ),
        }

        def measure(workers: list[int], work, *args) -> dict:
            """Wall time and the CPU seconds of the caller, workers and server."""
            groups = {"caller": [os.getpid()], "workers": workers, "server": [server._process.pid]}
            before = {name: common.cpu_s(*pids) for name, pids in groups.items()}
            start = time.perf_counter()
            work(*args)
            sample = {"seconds": time.perf_counter() - start}
            for name, pids in groups.items():
                sample[name] = common.cpu_s(*pids) - before[name]
            return sample

        def download(name: str, _: int) -> dict:
            target = common.fresh_dir(work / "down")
            sample = measure(ways[name][0], ways[name][2], str(target))
            assert len(os.listdir(target)) == files
            return sample

        # Not timed: the first writes make the server's volumes and the
        # workers' first tasks import the client.
        for _, up, _down in ways.values():
            up()
        up, down = common.interleaved(
            ways, repeat, lambda name, _: measure(*ways[name][:2]), download
        )

    rows, table = {}, [["", "way", "files/s", "CPU ms per file: caller", "workers", "server"]]
    for direction, samples in (("upload", up), ("download", down)):
        rows[direction] = {}
        for name, kept in samples.items():
            seconds = common.median([s["seconds"] for s in kept])
            row = {"files_per_s": files / seconds, "seconds": seconds}
            for who in ("caller", "workers", "server"):
                row[f"{who}_cpu_ms_per_file"] = 1e3 * common.median([s[who] for s in kept]) / files
            rows[direction][name] = row
            table.append(
                [direction, name, f"{files / seconds:.0f}"]
                + [
                    f"{row[f'{who}_cpu_ms_per_file']:.2f}"
                    for who in ("caller", "workers", "server")
                ]
            )
    shown = common.report(
        f"A tree of {files:,} files of {FILE_SIZE // 1024} KiB: one process with workers "
        f"{WORKERS}, and a Dask LocalCluster of {PROCESSES} processes (medians of {repeat}, "
        f"{os.cpu_count()} cores shared with the server)",
        table,
        "what the figures mean for more machines: bench/README.md",
    )
    figures = {"files": files, "file_kib": FILE_SIZE // 1024, "workers": WORKERS}
    figures.update(processes=PROCESSES, repetitions=repeat, cores=os.cpu_count())
    return {**figures, "rows": rows, "report": shown}
