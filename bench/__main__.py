"""Runs every benchmark, prints one table with each goal beside its figure,
and writes the same figures to bench/out/latest.json.

    python -m bench            # the full run (make bench)
    python -m bench --quick    # a fast smoke run: fewer and smaller samples
    python -m bench --only overhead,listing,end_to_end,tunnel,trees,cluster
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import time
from pathlib import Path

OUT = Path(__file__).resolve().parent / "out" / "latest.json"
CHART = OUT.parent / "trees.png"
PARTS = ("overhead", "listing", "end_to_end", "tunnel", "trees", "cluster")


def mark(met: bool) -> str:
    return "met" if met else "MISSED"


def show_overhead(rows: list[dict]) -> None:
    reps, calls = rows[0]["repetitions"], rows[0]["calls_per_repetition"]
    print(
        "\n1. Per-operation overhead, in-process client (µs per call; medians of "
        f"{reps} interleaved runs of {calls:,} calls, 1/50 as many for 100 names)"
    )
    print("   goal: ours <= python, and ours - direct < 1.0 µs")
    print(f"   {'operation':<26}{'ours':>8}{'python':>9}{'direct':>9}", end="")
    print(f"{'ours/py':>9}  goal <= 1{'ours-direct':>13}  goal < 1 µs")
    for r in rows:
        print(
            f"   {r['operation']:<26}{r['ours_us']:>8.3f}{r['python_us']:>9.3f}"
            f"{r['direct_us']:>9.3f}"
            f"{r['ours_over_python']:>9.3f}  {mark(r['not_slower_met']):<9}"
            f"{r['overhead_us']:>13.3f}  {mark(r['overhead_met'])}"
        )


def show_listing(r: dict) -> None:
    print(f"\n2. _bucket_list_files over {r['items']:,} items (medians of {r['repetitions']})")
    print(
        f"   ours {r['ours_s'] * 1e3:.1f} ms, python {r['python_s'] * 1e3:.1f} ms: "
        f"{r['speedup']:.2f}x faster (goal >= 2x)  {mark(r['speedup'] >= 2)}"
    )
    print(
        f"   peak memory: ours {r['ours_peak_mib']:.1f} MiB, python {r['python_peak_mib']:.1f} MiB "
        f"(goal: no more)  {mark(r['ours_peak_mib'] <= r['python_peak_mib'])}"
    )


def show_end_to_end(r: dict) -> None:
    print("\n3. End to end against SeaweedFS (ratio = direct SDK time / our time, median)")
    print("   goal: ratio >= 0.97")
    print(f"   {'operation':<36}{'ours s':>9}{'direct s':>10}{'ratio':>8}{'min-max':>13}", end="")
    print(f"{'reps':>6}  goal")
    for row in r["rows"]:
        extra = ""
        low, high = row["ratio_range"]
        if "ours_mib_s" in row:
            extra = f"   ({row['ours_mib_s']:.0f} vs {row['direct_mib_s']:.0f} MiB/s)"
        print(
            f"   {row['operation']:<36}{row['ours_s']:>9.3f}{row['direct_s']:>10.3f}"
            f"{row['ratio']:>8.3f}{low:>7.2f}-{high:.2f}{row['repetitions']:>6}  "
            f"{mark(row['goal_met'])}{extra}"
        )
    b = r["boto3"]
    print(
        f"   reference, boto3 on the same {r['file_mib']:.0f} MiB file: upload_file "
        f"{b['upload_mib_s']:.0f} MiB/s, download_file {b['download_mib_s']:.0f} MiB/s "
        f"(medians of {b['repetitions']})"
    )


def show_tunnel(r: dict) -> None:
    print("\n4. SSH tunnel, download of one object")
    if "skipped" in r:
        print(f"   skipped: {r['skipped']}")
        return
    m = r["mib_s"]
    low, high = r["ours_over_sshtunnel_range"]
    print(
        f"   {r['file_mib']} MiB, medians of {r['repetitions']}: ZarnelSSH {m['ours']:.0f} MiB/s, "
        f"direct {m['direct']:.0f} MiB/s, sshtunnel (paramiko) {m['sshtunnel']:.0f} MiB/s"
    )
    print(
        f"   ours / sshtunnel: {r['ours_over_sshtunnel']:.3f}x "
        f"(min-max {low:.2f}-{high:.2f}; goal >= 3x); "
        f"ours / direct: {r['ours_over_direct']:.2f} (goal >= 0.45)  {mark(r['goal_met'])}"
    )
    print("   CPU seconds per download, by process:")
    for who, spent in r["cpu_s"].items():
        parts = ", ".join(f"{name} {value:.2f}" for name, value in spent.items())
        print(f"     {who:<10} {parts}")


def show_ratio(name: str, r: dict | None) -> str:
    if r is None:
        return f"{name} n/a"
    low, high = r["range"]
    return f"{r['median']:.2f}x {name} ({low:.2f}-{high:.2f})"


def show_trees(r: dict) -> None:
    print(
        f"\n5. Tree transfers against SeaweedFS, {r['file_kib']} KiB files (files/s: median of "
        f"the repetitions, min-max;\n   upload: a tree in {r['folders']} folders to a fresh "
        "prefix, download: a flat prefix to an empty folder)"
    )
    tools = r["tools"]
    for run in r["runs"]:
        if run["delay_ms_each_way"]:
            print(
                f"   through a proxy adding {2 * run['delay_ms_each_way']:g} ms per round trip "
                f"(measured: +{run['added_round_trip_ms']:.2f} ms), {run['files']:,} files "
                f"(fewer, to bound the time),\n   {run['repetitions']} repetition(s) in "
                f"{run['seconds']:.0f} s; the proxy used {run['proxy_cpu_s']:.1f} CPU s; "
                f"load average {run['load_average_1min']:.1f} at the start"
            )
        else:
            print(
                f"   loopback, {run['files']:,} files, {run['repetitions']} repetition(s) in "
                f"{run['seconds']:.0f} s; load average {run['load_average_1min']:.1f} at the start"
            )
        print(
            f"     {'tool':<26}{'upload':>8}{'min-max':>12}{'CPU ms':>8}"
            f"{'download':>10}{'min-max':>12}{'CPU ms':>8}"
        )
        for row in run["rows"]:
            tool = tools[row["tool"]]
            line = f"     {row['label']:<26}"
            if tool["unavailable"]:
                print(f"{line}   unavailable: {tool['unavailable']}")
                continue
            for direction, width in (("upload", 8), ("download", 10)):
                shown = row[direction]
                if shown is None:
                    gone = "failed" if direction in tool["failed"] else "-"
                    line += f"{gone:>{width}}{'':>20}"
                    continue
                low, high = shown["range"]
                cpu = shown["cpu_ms_per_file"]
                line += f"{shown['files_s']:>{width}.0f}{f'{low:.0f}-{high:.0f}':>12}{cpu:>8.2f}"
            print(line)
        servers = [
            f"{d} {row[d]['server_cpu_ms_per_file']:.2f}"
            for row in run["rows"][:1]
            for d in ("upload", "download")
            if row[d] and row[d]["server_cpu_ms_per_file"] is not None
        ]
        if servers:
            print(
                "     the server's own CPU ms per file (zarnel engine, workers=8): "
                + ", ".join(servers)
            )
        for goal in run["goals"]:
            want = goal["over_s5cmd_goal"]
            text = f"       {goal['direction']:<9} goal: best engine setting >= {want:g}x s5cmd"
            if "over_s5cmd" in goal:
                text += f": {show_ratio('s5cmd', goal['over_s5cmd'])} ({goal['setting']})"
            if "cpu_ms" in goal:
                text += f"; CPU {goal['cpu_ms']:.2f} ms/file (goal <= {goal['cpu_goal_ms']:g}"
                if goal.get("cpu_over_s5cmd") is not None:
                    text += f", {goal['cpu_over_s5cmd']:.2f}x s5cmd's, goal <= 0.5"
                text += ")"
            verdict = "unchecked" if goal["met"] is None else mark(goal["met"])
            print(f"{text}  {verdict}")
    for tool in tools.values():
        for direction, reason in tool["failed"].items():
            print(f"   {tool['label']}, {direction}: failed, left out from then on ({reason})")
    versions = ", ".join(dict.fromkeys(t["version"] for t in tools.values() if t["version"]))
    print(f"   peers: {versions}")
    if "chart" in r:
        print(f"   chart: {r['chart']}")
    elif "chart_missing" in r:
        print(f"   no chart: {r['chart_missing']}")


def show_cluster(r: dict) -> None:
    print(
        f"\n6. A tree of {r['files']:,} files of {r['file_kib']} KiB: one process with workers "
        f"{r['workers']}, and a Dask LocalCluster of {r['processes']} processes "
        f"(medians of {r['repetitions']}, {r['cores']} cores shared with the server)"
    )
    print(f"   {'':<10}{'way':<15}{'files/s':>9}   CPU ms per file: caller  workers  server")
    for direction, rows in r["rows"].items():
        for name, row in rows.items():
            print(
                f"   {direction:<10}{name:<15}{row['files_per_s']:>9.0f}{'':>20}"
                f"{row['caller_cpu_ms_per_file']:>7.2f}{row['workers_cpu_ms_per_file']:>9.2f}"
                f"{row['server_cpu_ms_per_file']:>8.2f}"
            )
    print("   what the figures mean for more machines: bench/README.md")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m bench",
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--quick", action="store_true", help="fewer, smaller samples")
    parser.add_argument("--only", default=",".join(PARTS), help="comma-separated parts")
    args = parser.parse_args(argv)
    parts = [p for p in args.only.split(",") if p]
    unknown = set(parts) - set(PARTS)
    if unknown:
        parser.error(f"unknown parts: {sorted(unknown)}")

    started = time.monotonic()
    results: dict = {
        "quick": args.quick,
        "python": sys.version.split()[0],
        "machine": f"{platform.machine()}, {os.cpu_count()} cpus",
        "started": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
    }
    print(
        f"zarnel benchmarks ({'quick' if args.quick else 'full'} run; "
        f"Python {results['python']}, {results['machine']})"
    )

    if "overhead" in parts or "listing" in parts:
        from bench.overhead import run_listing, run_overhead

        if "overhead" in parts:
            results["overhead"] = run_overhead(quick=args.quick)
            show_overhead(results["overhead"])
        if "listing" in parts:
            results["listing"] = run_listing(count=200_000, repeat=3 if args.quick else 7)
            show_listing(results["listing"])

    if {"end_to_end", "tunnel", "trees", "cluster"} & set(parts):
        from tools.s3servers import SeaweedFS

        with SeaweedFS() as server:
            if "end_to_end" in parts:
                from bench.end_to_end import run_end_to_end

                results["end_to_end"] = run_end_to_end(server, quick=args.quick)
                show_end_to_end(results["end_to_end"])
            if "tunnel" in parts:
                from bench.tunnel import run_tunnel

                results["tunnel"] = run_tunnel(server, quick=args.quick)
                show_tunnel(results["tunnel"])
            if "trees" in parts:
                from bench.trees import draw_chart, run_trees

                results["trees"] = run_trees(server, quick=args.quick)
                try:
                    CHART.parent.mkdir(parents=True, exist_ok=True)
                    draw_chart(results["trees"], CHART)
                    results["trees"]["chart"] = str(CHART)
                except ImportError as error:  # matplotlib missing: figures only
                    results["trees"]["chart_missing"] = str(error)
                show_trees(results["trees"])
            if "cluster" in parts:
                from bench.cluster import run_cluster

                results["cluster"] = run_cluster(server, quick=args.quick)
                show_cluster(results["cluster"])

    results["seconds"] = time.monotonic() - started
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(json.dumps(results, indent=2, ensure_ascii=False) + "\n")
    print(
        f"\nfinished in {results['seconds']:.0f} s; figures in {OUT.relative_to(Path.cwd())}"
        if OUT.is_relative_to(Path.cwd())
        else f"\nfinished; figures in {OUT}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
