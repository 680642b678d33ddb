"""The fsspec filesystem (zarnel.filesystem) beside s3fs on the same local
SeaweedFS server, in one run (bench/README.md): recursive put and get of a
tree of small files, find over a large prefix, cat_file of a large object
and pandas' read_parquet of a large file; seconds, the speed ratio, and the
client's CPU per small file (both run in this process: s3fs's event loop
thread is counted too)."""

from __future__ import annotations

import gc
import os
import uuid

from bench import common
from bench.common import Goal, median, paired, span
from bench.trees import Failed, scrub

KIB, MIB = 1024, 1024 * 1024
# Full run, --quick: small files (count, size), keys of the find, MiB of the
# large object, rows of the parquet file (8 float64 columns: ~200 MiB).
SMALL = {False: (2000, 4 * KIB), True: (200, 4 * KIB)}
KEYS = {False: 100_000, True: 10_000}
LARGE_MIB = {False: 256, True: 32}
ROWS = {False: 3_300_000, True: 400_000}
GOALS = {
    "put": Goal("s3fs's time over ours", ">=", 4.0),
    "get": Goal("s3fs's time over ours", ">=", 4.0),
    "find": Goal("s3fs's time over ours", ">=", 2.0),
    "cat_file": Goal("s3fs's time over ours", ">=", 1.0),
    "read_parquet": Goal("s3fs's time over ours", ">=", 1.0),
}
TOOLS = ("zarnel", "s3fs")


def filesystems(server) -> dict:
    import s3fs

    from zarnel.filesystem import ZarnelFileSystem

    ours = ZarnelFileSystem(
        host="127.0.0.1",
        port=server.port,
        user=server.access_key,
        password=server.secret_key,
        skip_instance_cache=True,
    )
    theirs = s3fs.S3FileSystem(
        key=server.access_key,
        secret=server.secret_key,
        endpoint_url=f"http://127.0.0.1:{server.port}",
        client_kwargs={"region_name": "us-east-1"},
        skip_instance_cache=True,
    )
    return {"zarnel": ours, "s3fs": theirs}


def run_filesystem(server, quick: bool = False, keys: int | None = None) -> dict:
    import numpy as np
    import pandas as pd

    # Five turns: a turn of the put takes a second or two, and on a shared
    # machine one in three may meet another process's burst. Nine of the
    # small files' calls, whose turns are short and whose ratio such a burst
    # swings most (from 2 to 5 within one run).
    repeat = 1 if quick else 5
    repeat_small = 1 if quick else 9
    count, size = SMALL[quick]
    # ZARNEL_BENCH_FIND_KEYS=N scales the find down (or up) where storing
    # 100,000 keys takes too long.
    keys = keys or int(os.environ.get("ZARNEL_BENCH_FIND_KEYS", 0)) or KEYS[quick]
    failed: dict[str, str] = {}
    with common.workdir("filesystem") as work:
        sdk, bucket = common.sdk_for(server), f"bench-{uuid.uuid4().hex[:8]}"
        sdk.make_bucket(bucket)
        fss = filesystems(server)
        store = fss["zarnel"].client
        # The data, stored beforehand by the engine (not timed).
        tree = work / "tree"
        common.write_tree(tree, common.file_names(count, 4), size)
        store._upload_dir(bucket, str(tree), base_dir="small", workers=32)
        many = work / "many"
        common.empty_tree(many, keys, 100)
        store._upload_dir(bucket, str(many), base_dir="many", workers=32)
        common.write_large(work / "large.bin", LARGE_MIB[quick])
        store._upload_files(bucket, [("large.bin", str(work / "large.bin"), None)], workers=32)
        (work / "large.bin").unlink()
        rng = np.random.default_rng(7)
        frame = pd.DataFrame(rng.random((ROWS[quick], 8)), columns=[f"c{i}" for i in range(8)])
        frame.to_parquet(work / "table.parquet", engine="pyarrow", compression=None)
        parquet_mib = (work / "table.parquet").stat().st_size / MIB
        store._upload_files(
            bucket, [("table.parquet", str(work / "table.parquet"), None)], workers=32
        )
        (work / "table.parquet").unlink()
        del frame
        # The first read of a fresh object costs the server more than later
        # ones: read each once before the timed turns.
        sdk.get_object(bucket, "large.bin").read()
        sdk.get_object(bucket, "table.parquet").read()

        def put(fs, key, i):
            fs.put(f"{tree}/", f"{bucket}/up-{key}-{i}/", recursive=True)
            return f"{bucket}/up-{key}-{i}"

        def get(fs, key, i):
            down = common.fresh_dir(work / f"down-{key}")
            fs.get(f"{bucket}/small/", f"{down}/", recursive=True)
            return down

        def check(what, key, i, found):
            if what == "put":
                got = len(fss["zarnel"].find(found))
                fss["zarnel"].invalidate_cache()
            elif what == "get":
                got = sum(1 for p in found.rglob("*") if p.is_file())
            elif what == "find":
                got = len(found)
            else:
                got = len(found) if what == "cat_file" else len(found.index)
            want = {
                "put": count,
                "get": count,
                "find": keys,
                "cat_file": LARGE_MIB[quick] * MIB,
                "read_parquet": ROWS[quick],
            }[what]
            if got != want:
                raise Failed(f"{what}: {got} arrived, not {want}")

        actions = {
            "put": put,
            "get": get,
            "find": lambda fs, key, i: fs.find(f"{bucket}/many"),
            "cat_file": lambda fs, key, i: fs.cat_file(f"{bucket}/large.bin"),
            "read_parquet": lambda fs, key, i: pd.read_parquet(
                f"{bucket}/table.parquet", filesystem=fs
            ),
        }

        def step(what):
            def sample(key, i):
                if (key, what) in failed:
                    return None
                fs = fss[key]
                # Every call lists afresh, and neither runs beside the other's
                # cached listing (100,000 entries after a find make the
                # collector's full passes slow for whoever runs next).
                for each in fss.values():
                    each.invalidate_cache()
                gc.collect()
                box = {}

                def call():
                    box["out"] = actions[what](fs, key, i)

                try:
                    spent = common.during({"cpu": common.rusage_cpu_s}, call)
                    check(what, key, i, box.pop("out"))
                except Exception as error:
                    failed[(key, what)] = scrub(error, server.secret_key)
                    return None
                return spent

            return sample

        # One untimed turn of each call but find, for each: the first writes
        # to a store that has just started cost more, whoever comes first,
        # and so does a process's first read_parquet (pyarrow's and pandas'
        # first use, a second or more of CPU), which the first tool of the
        # first turn would otherwise pay for both.
        for key, fs in fss.items():
            for what in ("put", "get", "cat_file", "read_parquet"):
                actions[what](fs, key, -1)
        samples = {}
        for calls, turns in (
            (("put", "get"), repeat_small),
            (("find", "cat_file", "read_parquet"), repeat),
        ):
            found = common.interleaved(TOOLS, turns, *map(step, calls))
            samples.update(zip(calls, found, strict=True))

    table = [["call", "zarnel s", "s3fs s", "s3fs's time over ours", "CPU ms/file zarnel", "s3fs"]]
    goals, figures = [], {}
    for what, by_tool in samples.items():
        seconds = {k: [s["seconds"] for s in by_tool[k]] for k in TOOLS}
        ratio = paired(seconds["s3fs"], seconds["zarnel"])
        cpu = {k: median([s["cpu"] * 1e3 / count for s in by_tool[k]]) for k in TOOLS}
        small = what in ("put", "get")
        figures[what] = {
            "seconds": {k: median(v) for k, v in seconds.items()},
            "ratio": ratio,
            "cpu_ms_per_file": cpu if small else None,
        }
        row = [what] + [f"{median(seconds[k]):.3f}" if seconds[k] else "n/a" for k in TOOLS]
        row.append(span(ratio))
        row += [f"{cpu[k]:.2f}" if small and cpu[k] is not None else "" for k in TOOLS]
        table.append(row)
        goals.append(
            GOALS[what].grade(
                ratio and ratio["median"], what, f"{ratio['median']:.2f}x" if ratio else "n/a"
            )
        )
    import s3fs

    lines = [
        f"put/get: {count:,} files of {size // KIB} KiB in 4 folders; find: {keys:,} keys "
        f"in 100 folders; cat_file: {LARGE_MIB[quick]} MiB; read_parquet: "
        f"{parquet_mib:.0f} MiB; median of {repeat_small} (put, get) or {repeat}; "
        f"s3fs {s3fs.__version__}"
    ]
    lines += [f"{key} {what} failed: {why}" for (key, what), why in failed.items()]
    result = {"calls": figures, "failed": {f"{k} {w}": v for (k, w), v in failed.items()}}
    result["report"] = common.report(
        "filesystem: zarnel's fsspec filesystem beside s3fs", *lines, table, goals=goals
    )
    return result
