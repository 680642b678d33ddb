"""Per-operation overhead and listing speed on an in-process client: each
operation of ZarnelMinioMain, of the Python class of bench/baseline.py, and the
same client calls made directly, side by side in one run."""

from __future__ import annotations

import gc
import io
import os
import tempfile
import time
import tracemalloc
from datetime import timedelta
from functools import partial

from minio.deleteobjects import DeleteObject

from bench.baseline import InstantClient, NullLog, PyMinioMain, listing_items
from bench.common import Goal, interleaved, median, report, timed
from zarnel import messages
from zarnel.content_type import get_content_type
from zarnel.minio_main import ZarnelMinioMain

OVERHEAD = Goal("ours - direct", "<", 2.0, " µs")
LISTING = Goal("ours over python", ">=", 4.0)
NAMES = [f"logs/2026/file-{i:03d}.json" for i in range(100)]


def per_call(fn, number: int) -> float:
    """Seconds per call of fn() over `number` calls, without the collector."""
    gc.disable()
    start = time.perf_counter()
    for _ in range(number):
        fn()
    elapsed = time.perf_counter() - start
    gc.enable()
    return elapsed / number


def instances(items=None) -> tuple[ZarnelMinioMain, PyMinioMain]:
    """Ours and the baseline, each on an InstantClient of its own."""
    ours = ZarnelMinioMain({"host": "127.0.0.1", "port": 9000, "user": "a", "password": "s"})
    ours._engine, ours._log = InstantClient(items), NullLog()
    return ours, PyMinioMain(InstantClient(items), NullLog())


def cases(path: str):
    """(name, call on an instance, the same client calls made directly)."""
    engine, log, data, text = InstantClient(), NullLog(), b"x" * 64, "数据 " * 16

    def create():
        if engine.bucket_exists("bench"):
            log.warning(messages.BUCKET_EXISTS)

    def remove():
        if engine.bucket_exists("bench"):
            engine.remove_bucket("bench")

    def policy():
        return engine.get_bucket_policy("bench")

    def flow_bytes():
        os.path.isfile(data)
        content_type = get_content_type("o.bin")
        engine.put_object("bench", "o.bin", io.BytesIO(data), len(data), content_type=content_type)

    def flow_text():
        os.path.isfile(text)
        content_type = get_content_type("o.txt")
        encoded = text.encode("utf-8")
        engine.put_object("bench", "o.txt", io.BytesIO(encoded), len(encoded),
                          content_type=content_type)  # fmt: skip

    def upload_file():
        content_type = get_content_type("dir\\o.csv")
        engine.fput_object("bench", "dir\\o.csv".replace("\\", "/"), path,
                           content_type=content_type, num_parallel_uploads=3)  # fmt: skip

    def download_flow():
        response = engine.get_object("bench", "o.txt")
        text = response.data.decode("utf-8")
        response.close()
        return text

    def download_file():
        engine.fget_object("bench", "o.txt", path)

    def remove_object():
        engine.remove_object("bench", "o.txt")

    def remove_objects():
        requests = [DeleteObject(name) for name in NAMES]
        for error in engine.remove_objects("bench", iter(requests)):
            log.warning(error)

    def url():
        return engine.presigned_get_object("bench", "o.txt", expires=timedelta(days=7))

    return [
        ("_create_bucket (exists)", lambda c: c._create_bucket("bench"), create),
        ("_remove_bucket", lambda c: c._remove_bucket("bench"), remove),
        ("_bucket_policy", lambda c: c._bucket_policy("bench"), policy),
        ("_upload_flow bytes", lambda c: c._upload_flow("bench", "o.bin", data), flow_bytes),
        ("_upload_flow text", lambda c: c._upload_flow("bench", "o.txt", text), flow_text),
        ("_upload_file", lambda c: c._upload_file("bench", "dir\\o.csv", path), upload_file),
        ("_download_flow", lambda c: c._download_flow("bench", "o.txt"), download_flow),
        ("_download_file", lambda c: c._download_file("bench", "o.txt", path), download_file),
        ("_remove_object", lambda c: c._remove_object("bench", "o.txt"), remove_object),
        ("_remove_objects (100)", lambda c: c._remove_objects("bench", NAMES), remove_objects),
        ("_get_url", lambda c: c._get_url("bench", "o.txt"), url),
    ]


def run_overhead(quick: bool = False) -> dict:
    ours, baseline = instances()
    # Many short interleaved samples: a burst of load on this shared machine
    # spoils a few samples of all three instead of one side's only.
    number, repeat = (2_000, 5) if quick else (4_000, 25)
    rows, table = [], [["operation", "ours µs", "python µs", "direct µs", "ours/python"]]
    with tempfile.NamedTemporaryFile() as handle:
        for name, call, direct in cases(handle.name):
            n = max(number // 50, 40) if "(100)" in name else number
            # All three through the same wrapper, one sample each in turn.
            runs = {"ours": partial(call, ours), "python": partial(call, baseline),
                    "direct": partial(lambda _, d=direct: d(), None)}  # fmt: skip
            step = partial(lambda who, _, r, n: per_call(r[who], n), r=runs, n=n)
            (samples,) = interleaved(runs, repeat, step, order="fixed")
            a, b, c = (median(samples[who]) for who in runs)
            row = {"operation": name, "repetitions": repeat, "calls_per_repetition": n}
            row.update(ours_us=a * 1e6, python_us=b * 1e6, direct_us=c * 1e6)
            rows.append({**row, "ours_over_python": a / b, "overhead_us": (a - c) * 1e6})
            table.append([name, *(f"{x * 1e6:.3f}" for x in (a, b, c)), f"{a / b:.2f}"])
    goals = [
        OVERHEAD.grade(r["overhead_us"], r["operation"], f"{r['overhead_us']:.3f} µs") for r in rows
    ]
    title = f"Per-operation overhead, in-process client (µs per call; medians of {repeat} "
    title += f"interleaved runs of {number:,} calls, 1/50 as many for 100 names)"
    return {"rows": rows, "report": report(title, table, goals=goals)}


def run_listing(quick: bool = False, count: int = 200_000) -> dict:
    repeat = 3 if quick else 7
    ours, baseline = instances(listing_items(count))
    assert ours._bucket_list_files("bench") == baseline._bucket_list_files("bench")
    runs = {"ours": ours, "python": baseline}

    def listing(who: str, _: int) -> float:
        gc.collect()
        return timed(runs[who]._bucket_list_files, "bench")

    def peak(instance) -> int:
        gc.collect()
        tracemalloc.start()
        instance._bucket_list_files("bench")
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        return peak

    (samples,) = interleaved(runs, repeat, listing, order="fixed")
    a, b = median(samples["ours"]), median(samples["python"])
    a_peak, b_peak = peak(ours) / 2**20, peak(baseline) / 2**20
    shown = report(
        f"_bucket_list_files over {count:,} items (medians of {repeat})",
        f"ours {a * 1e3:.1f} ms, python {b * 1e3:.1f} ms; "
        f"peak traced memory: ours {a_peak:.1f} MiB, python {b_peak:.1f} MiB",
        goals=[LISTING.grade(b / a, "listing", f"{b / a:.2f}x")],
    )
    figures = {"items": count, "repetitions": repeat, "ours_s": a, "python_s": b}
    figures.update(speedup=b / a, ours_peak_mib=a_peak, python_peak_mib=b_peak)
    return {**figures, "report": shown}
