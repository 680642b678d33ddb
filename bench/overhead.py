"""Per-operation overhead and listing speed, with an in-process client.

For each operation: (a) ZarnelMinioMain, (b) the plain Python class of
bench/baseline.py, (c) the same client calls made directly; time per call,
the median of several repetitions, all measured side by side in one run.
"""

from __future__ import annotations

import functools
import gc
import io
import os
import statistics
import tempfile
import time
import tracemalloc
from datetime import timedelta

from minio.deleteobjects import DeleteObject

from bench.baseline import PyMinioMain
from bench.instant import InstantClient, NullLog, listing_items
from zarnel.content_type import get_content_type
from zarnel.minio_main import ZarnelMinioMain

CONFIG = {"host": "127.0.0.1", "port": 9000, "user": "a", "password": "s"}
NAMES = [f"logs/2026/file-{i:03d}.json" for i in range(100)]


def per_call(fn, number: int, repeat: int) -> float:
    """Median seconds per call of fn() over `repeat` runs of `number` calls."""
    times = []
    for _ in range(repeat):
        gc.disable()
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
        gc.enable()
    return statistics.median(times)


def make(cls):
    instance = cls(dict(CONFIG))
    instance._engine = InstantClient()
    instance._log = NullLog()
    return instance


def cases(path: str):
    """(name, call on an instance, the same client calls made directly)."""
    engine = InstantClient()
    log = NullLog()
    data = b"x" * 64
    text = "数据 " * 16

    def direct_create():
        if engine.bucket_exists("bench"):
            log.warning("桶已存在")

    def direct_remove():
        if engine.bucket_exists("bench"):
            engine.remove_bucket("bench")

    def direct_policy():
        return engine.get_bucket_policy("bench")

    def direct_flow_bytes():
        os.path.isfile(data)
        content_type = get_content_type("o.bin")
        engine.put_object("bench", "o.bin", io.BytesIO(data), len(data), content_type=content_type)

    def direct_flow_text():
        os.path.isfile(text)
        content_type = get_content_type("o.txt")
        encoded = text.encode("utf-8")
        engine.put_object("bench", "o.txt", io.BytesIO(encoded), len(encoded),
                          content_type=content_type)  # fmt: skip

    def direct_file():
        content_type = get_content_type("dir\\o.csv")
        engine.fput_object("bench", "dir\\o.csv".replace("\\", "/"), path,
                           content_type=content_type, num_parallel_uploads=3)  # fmt: skip

    def direct_download_flow():
        response = engine.get_object("bench", "o.txt")
        text = response.data.decode("utf-8")
        response.close()
        return text

    def direct_download_file():
        engine.fget_object("bench", "o.txt", path)

    def direct_remove_object():
        engine.remove_object("bench", "o.txt")

    def direct_remove_objects():
        requests = [DeleteObject(name) for name in NAMES]
        for error in engine.remove_objects("bench", iter(requests)):
            log.warning(error)

    def direct_url():
        return engine.presigned_get_object("bench", "o.txt", expires=timedelta(days=7))

    return [
        ("_create_bucket (exists)", lambda c: c._create_bucket("bench"), direct_create),
        ("_remove_bucket", lambda c: c._remove_bucket("bench"), direct_remove),
        ("_bucket_policy", lambda c: c._bucket_policy("bench"), direct_policy),
        ("_upload_flow bytes", lambda c: c._upload_flow("bench", "o.bin", data), direct_flow_bytes),
        ("_upload_flow text", lambda c: c._upload_flow("bench", "o.txt", text), direct_flow_text),
        ("_upload_file", lambda c: c._upload_file("bench", "dir\\o.csv", path), direct_file),
        ("_download_flow", lambda c: c._download_flow("bench", "o.txt"), direct_download_flow),
        (
            "_download_file",
            lambda c: c._download_file("bench", "o.txt", path),
            direct_download_file,
        ),  # fmt: skip
        ("_remove_object", lambda c: c._remove_object("bench", "o.txt"), direct_remove_object),
        (
            "_remove_objects (100)",
            lambda c: c._remove_objects("bench", NAMES),
            direct_remove_objects,
        ),  # fmt: skip
        ("_get_url", lambda c: c._get_url("bench", "o.txt"), direct_url),
    ]


def run_overhead(quick: bool = False) -> list[dict]:
    ours, baseline = make(ZarnelMinioMain), make(PyMinioMain)
    # Many short interleaved samples: a burst of load on this shared machine
    # spoils a few samples of all three instead of one side's only.
    number, repeat = (2_000, 5) if quick else (4_000, 25)
    rows = []
    with tempfile.NamedTemporaryFile() as handle:
        for name, call, direct in cases(handle.name):
            n = max(number // 50, 40) if "(100)" in name else number
            # Interleave the three so that machine noise hits them alike.
            a, b, c = [], [], []
            for _ in range(repeat):
                a.append(per_call(functools.partial(call, ours), n, 1))
                b.append(per_call(functools.partial(call, baseline), n, 1))
                # Through the same wrapper as the operations' calls.
                c.append(per_call(functools.partial(lambda _, d=direct: d(), None), n, 1))
            a_s, b_s, c_s = (statistics.median(x) for x in (a, b, c))
            rows.append({
                "operation": name,
                "repetitions": repeat,
                "calls_per_repetition": n,
                "ours_us": a_s * 1e6,
                "python_us": b_s * 1e6,
                "direct_us": c_s * 1e6,
                "ours_over_python": a_s / b_s,
                "overhead_us": (a_s - c_s) * 1e6,
                "not_slower_met": a_s <= b_s,
                "overhead_met": (a_s - c_s) * 1e6 < 1.0,
            })  # fmt: skip
    return rows


def run_listing(count: int = 200_000, repeat: int = 5) -> dict:
    items = listing_items(count)
    ours, baseline = make(ZarnelMinioMain), make(PyMinioMain)
    ours._engine = InstantClient(items)
    baseline._engine = InstantClient(items)
    assert ours._bucket_list_files("bench") == baseline._bucket_list_files("bench")

    def measure(instance):
        gc.collect()
        tracemalloc.start()
        start = time.perf_counter()
        result = instance._bucket_list_files("bench")
        elapsed = time.perf_counter() - start
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        del result
        return elapsed, peak

    def timed(instance):
        gc.collect()
        start = time.perf_counter()
        result = instance._bucket_list_files("bench")
        elapsed = time.perf_counter() - start
        del result
        return elapsed

    a, b = [], []
    for _ in range(repeat):
        a.append(timed(ours))
        b.append(timed(baseline))
    a_s, b_s = statistics.median(a), statistics.median(b)
    (_, a_peak), (_, b_peak) = measure(ours), measure(baseline)
    return {
        "items": count,
        "repetitions": repeat,
        "ours_s": a_s,
        "python_s": b_s,
        "speedup": b_s / a_s,
        "ours_peak_mib": a_peak / 2**20,
        "python_peak_mib": b_peak / 2**20,
        "goal_met": b_s / a_s >= 2.0 and a_peak <= b_peak,
    }
