"""One tree of small files up and down: one process, and a Dask LocalCluster.

The same tree of 2,000 files of 4 KiB goes up with ``_upload_dir(...,
workers=8)`` in this process and with ``zarnel.distributed.upload_tree`` on a
LocalCluster of 2 worker processes (8 threads each), and comes down the same
two ways; the two alternate who goes first. Besides files/s, the CPU time
that each side spends is measured per file, by process: this process (the
caller: the walk or listing, and for the cluster also Dask's client and
scheduler), the cluster's worker processes, and the server. On a
machine whose cores the server shares, those per-file costs, not the files/s,
say what more processes or machines would bring (see bench/README.md).
"""

from __future__ import annotations

import os
import shutil
import statistics
import tempfile
import time
import uuid
from pathlib import Path

import psutil

from bench.end_to_end import scratch_dir
from zarnel.distributed import download_prefix, upload_tree
from zarnel.minio_main import ZarnelMinioMain

FILE_SIZE = 4 * 1024
WORKERS = 8  # threads per client process, both ways
PROCESSES = 2


def cpu_seconds(pids: list[int]) -> float:
    """User + system CPU time of the processes so far (children apart: the
    server and the cluster's processes are children of this one)."""
    total = 0.0
    for pid in pids:
        try:
            times = psutil.Process(pid).cpu_times()
        except psutil.NoSuchProcess:
            continue
        total += times.user + times.system
    return total


def measure(work, groups: dict[str, list[int]]) -> dict:
    """Wall time of ``work()`` and the CPU seconds each group of processes spent."""
    before = {name: cpu_seconds(pids) for name, pids in groups.items()}
    start = time.perf_counter()
    work()
    sample = {"seconds": time.perf_counter() - start}
    for name, pids in groups.items():
        sample[f"{name}_cpu_s"] = cpu_seconds(pids) - before[name]
    return sample


def summary(samples: list[dict], files: int) -> dict:
    seconds = statistics.median(s["seconds"] for s in samples)
    row = {"files_per_s": files / seconds, "seconds": seconds}
    for name in ("caller", "workers", "server"):
        spent = statistics.median(s[f"{name}_cpu_s"] for s in samples)
        row[f"{name}_cpu_ms_per_file"] = 1e3 * spent / files
    return row


def run_cluster(server, quick: bool = False) -> dict:
    """`server`: a running S3 server (tools.s3servers) started by this process."""
    from distributed import Client, LocalCluster

    files = 200 if quick else 2000
    repeat = 1 if quick else 3
    work = Path(tempfile.mkdtemp(prefix="zarnel-bench-", dir=scratch_dir()))
    try:
        tree = work / "tree"
        tree.mkdir()
        # One folder: _download_dir takes one level, so the tree serves both ways.
        for i in range(files):
            (tree / f"f{i:05d}.bin").write_bytes(os.urandom(FILE_SIZE))
        store = ZarnelMinioMain(
            {"host": "127.0.0.1", "port": server.port, "user": server.access_key,
             "password": server.secret_key}
        )  # fmt: skip
        store._connect()
        bucket = f"bench-{uuid.uuid4().hex[:8]}"
        store._create_bucket(bucket)
        server_pids = [server._process.pid]
        here = [os.getpid()]
        with (
            LocalCluster(
                n_workers=PROCESSES, threads_per_worker=1, processes=True, dashboard_address=":0"
            ) as cluster,
            Client(cluster) as dask_client,
        ):
            cluster_pids = list(dask_client.run(os.getpid).values())
            ways = {
                "one process": (
                    {"caller": here, "workers": [], "server": server_pids},
                    lambda: store._upload_dir(bucket, str(tree), 3, "one", workers=WORKERS),
                    lambda target: store._download_dir(bucket, "one", target, workers=WORKERS),
                ),
                "LocalCluster": (
                    {"caller": here, "workers": cluster_pids, "server": server_pids},
                    lambda: upload_tree(
                        dask_client, store, bucket, str(tree), 3, "two", workers=WORKERS
                    ),  # fmt: skip
                    lambda target: download_prefix(
                        dask_client, store, bucket, "two", target, workers=WORKERS
                    ),  # fmt: skip
                ),
            }
            # Not timed: the first writes make the server's volumes and the
            # workers' first tasks import the client.
            for _, up, _down in ways.values():
                up()
            up_samples = {name: [] for name in ways}
            down_samples = {name: [] for name in ways}
            for i in range(repeat):
                order = list(ways) if i % 2 == 0 else list(reversed(ways))
                for name in order:
                    groups, up, _down = ways[name]
                    up_samples[name].append(measure(up, groups))
                for name in order:
                    groups, _up, down = ways[name]
                    target = work / "down"
                    shutil.rmtree(target, ignore_errors=True)
                    target.mkdir()
                    down_samples[name].append(
                        measure(lambda: down(str(target)), groups)  # noqa: B023
                    )
                    assert len(os.listdir(target)) == files
        rows = {}
        for direction, samples in (("upload", up_samples), ("download", down_samples)):
            rows[direction] = {name: summary(s, files) for name, s in samples.items()}
        return {
            "files": files,
            "file_kib": FILE_SIZE // 1024,
            "workers": WORKERS,
            "processes": PROCESSES,
            "repetitions": repeat,
            "cores": os.cpu_count(),
            "rows": rows,
        }
    finally:
        shutil.rmtree(work, ignore_errors=True)
