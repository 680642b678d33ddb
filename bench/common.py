"""What the benchmarks share: timers, CPU readers, data writers, client
set-up, the interleaved-repetition loop, medians, goals and the one printer."""

from __future__ import annotations

import contextlib
import operator
import os
import resource
import shutil
import statistics
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path

import minio
import psutil

from zarnel.minio_main import ZarnelMinioMain


def timed(fn: Callable, *args, **kwargs) -> float:
    """Wall seconds of one call (its result is freed after the clock stops)."""
    start = time.perf_counter()
    result = fn(*args, **kwargs)  # noqa: F841
    return time.perf_counter() - start


def cpu_s(*pids: int) -> float:
    """User and system CPU seconds the processes (all their threads) used so
    far; a process that is gone counts 0."""
    total = 0.0
    for pid in pids:
        with contextlib.suppress(psutil.NoSuchProcess):
            total += sum(psutil.Process(pid).cpu_times()[:2])
    return total


def during(groups: dict, fn: Callable, *args) -> dict:
    """Wall seconds of fn(*args), and the CPU seconds that each group spent
    meanwhile: a group is a list of pids, or a function that reads its CPU."""

    def taken() -> dict:
        return {name: cpu() if callable(cpu) else cpu_s(*cpu) for name, cpu in groups.items()}

    before, seconds, after = taken(), timed(fn, *args), taken()
    return {"seconds": seconds} | {name: after[name] - before[name] for name in groups}


def rusage_cpu_s(children: bool = False) -> float:
    """This process's CPU seconds, or its reaped children's."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN if children else resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def file_names(count: int, folders: int = 0) -> list[str]:
    """Relative paths of a tree of `count` files in `folders` sub-folders (0: flat)."""
    return [f"d{i % folders}/f{i:05d}.bin" if folders else f"f{i:05d}.bin" for i in range(count)]


def write_tree(root: Path, names: Sequence[str], size: int) -> None:
    """Files of `size` random bytes under `root`: incompressible, so no layer
    can shortcut the bytes."""
    for name in names:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(os.urandom(size))


def write_large(path: Path, mib: int) -> None:
    chunk = os.urandom(1 << 20)
    with open(path, "wb") as file:
        for _ in range(mib):
            file.write(chunk)


def fresh_dir(path: Path) -> Path:
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


@contextlib.contextmanager
def workdir(prefix: str) -> Iterator[Path]:
    """A scratch folder, memory-backed when there is room: downloads written
    to disk would leave write-back to land on later samples."""
    shm = None
    with contextlib.suppress(OSError):
        shm = "/dev/shm" if shutil.disk_usage("/dev/shm").free > 4 << 30 else None
    with tempfile.TemporaryDirectory(prefix=f"zarnel-bench-{prefix}-", dir=shm) as path:
        yield Path(path)


def sdk_for(server) -> minio.Minio:
    """The SDK client for a server of tools.s3servers, for arranging and checking."""
    return minio.Minio(
        server.endpoint, access_key=server.access_key, secret_key=server.secret_key, secure=False
    )


def store(server, port: int | None = None, kind=ZarnelMinioMain, **extra) -> ZarnelMinioMain:
    """A connected `kind` for the server (or a proxy or tunnel on `port`)."""
    config = {"host": "127.0.0.1", "port": port or server.port, **extra}
    instance = kind({**config, "user": server.access_key, "password": server.secret_key})
    instance._connect()
    return instance


def interleaved(names: Sequence[str], repeat: int, *steps: Callable, order: str = "alternate"):
    """Runs every step, a function of (name, repetition), for each name in
    turn, `repeat` times, so that drift in the machine's load hits all names
    alike. The turn's order is fixed, reversed every other repetition
    ("alternate") or rotated ("rotate"). Returns, per step, each name's
    samples (a step that returns None adds none)."""
    names = list(names)
    out = [{name: [] for name in names} for _ in steps]
    for i in range(repeat):
        if order == "rotate":
            turn = names[i % len(names) :] + names[: i % len(names)]
        elif order == "alternate" and i % 2:
            turn = names[::-1]
        else:
            turn = names
        for step, samples in zip(steps, out, strict=True):
            for name in turn:
                sample = step(name, i)
                if sample is not None:
                    samples[name].append(sample)
    return out


def median(values: Sequence[float]) -> float | None:
    return statistics.median(values) if values else None


def paired(a: Sequence[float], b: Sequence[float]) -> dict | None:
    """Median and min-max of a/b, repetition by repetition: samples of one
    repetition ran back to back, so their ratio is less noisy than a ratio
    of medians."""
    ratios = [x / y for x, y in zip(a, b, strict=False)]
    return {"median": median(ratios), "range": [min(ratios), max(ratios)]} if ratios else None


def span(s: dict | None, fmt: str = ".2f") -> str:
    if s is None:
        return "n/a"
    low, high = s["range"]
    return f"{s['median']:{fmt}} ({low:{fmt}}-{high:{fmt}})"


_OPS = {">=": operator.ge, "<=": operator.le, "<": operator.lt}


@dataclass(frozen=True)
class Goal:
    """A goal in force: `what` (its figure) `op` `want`, e.g. ours/sshtunnel >= 3x."""

    what: str
    op: str
    want: float
    unit: str = "x"

    def grade(self, figure: float | None, about: str, shown: str) -> dict:
        """The verdict on one figure (None: not measured), `shown` as printed."""
        met = None if figure is None else bool(_OPS[self.op](figure, self.want))
        goal = f"{self.what} {self.op} {self.want:g}{self.unit}"
        return {"about": about, "goal": goal, "figure": figure, "met": met, "shown": shown}


def report(title: str, *blocks, goals: Sequence[dict] = ()) -> dict:
    """What show() prints: lines (str) and tables ([header, *rows]), then goals."""
    return {"title": title, "blocks": list(blocks), "goals": list(goals)}


def show(number: int, part: dict) -> None:
    """The one printer: the title, plain figures, then one line per goal."""
    print(f"\n{number}. {part['title']}")
    for block in part["blocks"]:
        if isinstance(block, str):
            print(f"   {block}")
            continue
        # A row that is one string (a tool that did not run) spans the table;
        # a column of words (its first row's cell) is aligned left.
        grid = [[str(cell) for cell in row] for row in block if not isinstance(row, str)]
        widths = [max(len(row[c]) for row in grid if c < len(row)) for c in range(len(grid[0]))]
        left = [c == 0 or grid[1][c][:1].isalpha() for c in range(len(widths))]
        for row in block:
            if not isinstance(row, str):
                cells = zip(map(str, row), widths, left, strict=False)
                row = "  ".join(cell.ljust(w) if lj else cell.rjust(w) for cell, w, lj in cells)
            print(f"     {row.rstrip()}")
    said = [f"{goal['about']}: {goal['shown']}" for goal in part["goals"]]
    for goal, text in zip(part["goals"], said, strict=True):
        verdict = {True: "MET", False: "MISSED", None: "NO DATA"}[goal["met"]]
        print(f"   {verdict:<7} {text:<{max(map(len, said))}}  (goal: {goal['goal']})")


def empty_tree(root: Path, count: int, folders: int) -> None:
    """`count` empty files spread over `folders` folders under `root`."""
    width = len(str(folders - 1))
    for n in range(count):
        path = root / f"d{n % folders:0{width}d}" / f"f{n:06d}"
        if n < folders:
            path.parent.mkdir(parents=True)
        path.touch()
