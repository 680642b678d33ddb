"""Runs the benchmarks (bench/README.md), prints each part's figures and one
line per goal in force, MET or MISSED, and writes the same figures to
bench/out/latest.json.

    python -m bench            # the full run (make bench)
    python -m bench --quick    # a fast smoke run: fewer and smaller samples
    python -m bench --only trees,cluster   # some parts of: overhead, listing, end_to_end,
                                           # tunnel, trees, cluster, large, bucket_listing, sync,
                                           # filesystem, resume
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import platform
import sys
import time
from importlib import import_module
from pathlib import Path

from bench.common import show

OUT = Path(__file__).resolve().parent / "out" / "latest.json"
# Each part is run_NAME in bench/NAME.py (listing: in overhead.py); all but
# the first two get the S3 server.
PARTS = ("overhead", "listing", "end_to_end", "tunnel", "trees", "cluster", "large",
         "bucket_listing", "sync", "filesystem", "resume")  # fmt: skip


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser("python -m bench", description=__doc__,
                                     formatter_class=argparse.RawTextHelpFormatter)  # fmt: skip
    parser.add_argument("--quick", action="store_true", help="fewer, smaller samples")
    parser.add_argument("--only", default=",".join(PARTS), help="comma-separated parts")
    args = parser.parse_args(argv)
    chosen = {p for p in args.only.split(",") if p}
    if chosen - set(PARTS):
        parser.error(f"unknown parts: {sorted(chosen - set(PARTS))}")
    started, machine = time.monotonic(), f"{platform.machine()}, {os.cpu_count()} cpus"
    results: dict = {"quick": args.quick, "python": sys.version.split()[0], "machine": machine}
    results["started"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    kind = "quick" if args.quick else "full"
    print(f"zarnel benchmarks ({kind} run; Python {results['python']}, {results['machine']})")
    with contextlib.ExitStack() as stack:
        server = None
        for number, name in enumerate(PARTS, 1):
            if name not in chosen:
                continue
            module = import_module(f"bench.{'overhead' if name == 'listing' else name}")
            run = getattr(module, f"run_{name}")
            if number > 2 and server is None:
                from tools.s3servers import SeaweedFS

                server = stack.enter_context(SeaweedFS())
            result = run(server, quick=args.quick) if number > 2 else run(quick=args.quick)
            shown = result.pop("report")
            results[name] = {**result, "goals": shown["goals"]}
            show(number, shown)
    results["seconds"] = time.monotonic() - started
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(json.dumps(results, indent=2, ensure_ascii=False) + "\n")
    where = OUT.relative_to(Path.cwd()) if OUT.is_relative_to(Path.cwd()) else OUT
    print(f"\nfinished in {results['seconds']:.0f} s; figures in {where}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
