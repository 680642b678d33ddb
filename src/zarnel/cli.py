"""The ``zarnel`` command: the everyday jobs of ``ZarnelMinioMain`` from a shell.

Each subcommand is a short function over one or two operations of the class;
the command only parses, prints and picks the exit code. The configuration
mapping comes from a profile of a TOML file, then ``ZARNEL_*`` environment
variables, then flags; secrets come only from the file or the environment,
never from the command line, and are never printed.

Exit codes: 0 success, 1 a failed transfer or sync (its report still
printed), 2 bad usage or configuration, 130 Ctrl-C.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import os
import stat
import sys
import threading
import time
import tomllib
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import Any

import zarnel

__all__ = ["main"]

SCHEME = "zarnel://"
OK, FAILED, USAGE, INTERRUPTED = 0, 1, 2, 130

# The keys of the class's configuration that a profile or the environment may
# set, with the kind each takes (TOML gives kinds; the environment gives text).
KEYS: dict[str, type] = {
    "host": str,
    "port": int,
    "user": str,
    "password": str,
    "secure": bool,
    "ssh": bool,
    "ssh_host": str,
    "ssh_port": int,
    "ssh_user": str,
    "ssh_rsa": str,
    "ssh_rsa_pwd": str,
    "ssh_password": str,
    "ssh_known_hosts": str,
    "ssh_strict_host_key": bool,
    "ssh_timeout": float,
}
SECRETS = frozenset({"password", "ssh_password", "ssh_rsa_pwd"})
REQUIRED = ("host", "port", "user", "password")
TRUE, FALSE = ("1", "true", "yes", "on"), ("0", "false", "no", "off")
# Words of an option name that would carry a secret: refused before parsing,
# so argparse never echoes the value in an error.
SECRET_WORDS = ("pass", "pwd", "secret")

log = logging.getLogger("zarnel.cli")


class UsageError(Exception):
    """Bad usage or configuration: exit code 2."""


# --- configuration -----------------------------------------------------------


def default_config_path(env: Mapping[str, str]) -> Path:
    base = env.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return Path(base) / "zarnel" / "config.toml"


def _checked(key: str, value: Any, where: str) -> Any:
    kind = KEYS[key]
    ok = isinstance(value, kind) and not (kind is not bool and isinstance(value, bool))
    if kind is int and isinstance(value, str):
        ok = True  # the class takes a port as a number or as text
    if kind is float and isinstance(value, int) and not isinstance(value, bool):
        ok = True
    if not ok:  # the value is never quoted: it may be a secret
        raise UsageError(f"{where}: {key} must be {kind.__name__}, not {type(value).__name__}")
    return value


def _from_env(key: str, text: str) -> Any:
    name = "ZARNEL_" + key.upper()
    kind = KEYS[key]
    if kind is bool:
        if text.strip().lower() in TRUE:
            return True
        if text.strip().lower() in FALSE:
            return False
        raise UsageError(f"{name} must be one of {', '.join(TRUE + FALSE)}")
    if kind is float:
        try:
            return float(text)
        except ValueError:
            raise UsageError(f"{name} must be a number") from None
    return text  # a port as text, as the class takes it


def _read_profile(path: Path, name: str, must_exist: bool) -> dict[str, Any]:
    try:
        with open(path, "rb") as file:
            data = tomllib.load(file)
            mode = os.fstat(file.fileno()).st_mode
    except FileNotFoundError:
        if must_exist:
            raise UsageError(f"no configuration file {path}") from None
        return {}
    except (OSError, tomllib.TOMLDecodeError) as error:
        # TOML's messages give a line and column, never the text there.
        raise UsageError(f"cannot read {path}: {error}") from None
    profile = data.get(name)
    if profile is None:
        if must_exist:
            raise UsageError(f"no profile [{name}] in {path}")
        return {}
    if not isinstance(profile, dict):
        raise UsageError(f"{path}: [{name}] must be a table")
    unknown = sorted(set(profile) - set(KEYS))
    if unknown:
        raise UsageError(f"{path}: [{name}] has unknown keys {unknown}; known: {sorted(KEYS)}")
    if SECRETS & set(profile) and mode & (stat.S_IRWXG | stat.S_IRWXO):
        log.warning("%s holds a secret and other users may read it: chmod 600 it", path)
    return {key: _checked(key, value, f"{path} [{name}]") for key, value in profile.items()}


def load_config(args: argparse.Namespace, env: Mapping[str, str]) -> dict[str, Any]:
    """The configuration mapping: the profile, then ZARNEL_* variables, then flags."""
    given = args.config or env.get("ZARNEL_CONFIG")
    path = Path(given).expanduser() if given else default_config_path(env)
    name = args.profile or env.get("ZARNEL_PROFILE") or "default"
    named = bool(given or args.profile or env.get("ZARNEL_PROFILE"))
    config = _read_profile(path, name, must_exist=named)
    for key in KEYS:
        text = env.get("ZARNEL_" + key.upper())
        if text is not None and text != "":
            config[key] = _from_env(key, text)
    for key in ("host", "port", "user"):
        value = getattr(args, key)
        if value is not None:
            config[key] = value
    missing = [key for key in REQUIRED if config.get(key) in (None, "")]
    if missing:
        variables = ", ".join("ZARNEL_" + key.upper() for key in missing)
        raise UsageError(
            f"missing {', '.join(missing)}: set them in [{name}] of {path} or in {variables}"
        )
    return config


def connect(config: dict[str, Any]) -> Any:
    from zarnel.minio_main import ZarnelMinioMain

    try:
        store = ZarnelMinioMain(config)
    except Exception as error:
        # The class's own configuration error (one Exception listing every
        # problem); a tunnel that cannot start is a failure, not bad usage.
        if type(error) is Exception:
            raise UsageError(f"bad configuration: {error}") from None
        raise
    store._connect()
    return store


# --- locations ---------------------------------------------------------------


def remote(text: str) -> tuple[str, str] | None:
    """(bucket, key) of a ``zarnel://bucket/key`` location; None for a local path."""
    if not text.startswith(SCHEME):
        return None
    bucket, _, key = text[len(SCHEME) :].partition("/")
    if not bucket:
        raise UsageError(f"no bucket in {text!r}")
    return bucket, key


def target(text: str) -> tuple[str, str]:
    """(bucket, key) of ``BUCKET[/KEY]``, with or without the scheme."""
    return remote(text if text.startswith(SCHEME) else SCHEME + text) or ("", "")


def folder(key: str) -> str:
    """A key read as a folder: "" or ending in "/"."""
    return key if not key or key.endswith("/") else key + "/"


def _safe_segment(part: str) -> bool:
    # What a local file name can hold without leaving the target folder.
    return part not in ("", ".", "..") and "\0" not in part and os.sep not in part


# --- output ------------------------------------------------------------------


class Output:
    """One line per event: JSON with --json, else a human line."""

    def __init__(self, as_json: bool, per_file: bool) -> None:
        self.as_json = as_json
        self.per_file = per_file
        self.lock = threading.Lock()
        self.bar: Any = None

    def emit(self, record: dict[str, Any], text: str) -> None:
        line = json.dumps(record, ensure_ascii=False, default=str) if self.as_json else text
        with self.lock:
            if self.bar is not None:
                self.bar.clear()
            print(line, flush=True)
            if self.bar is not None:
                self.bar.refresh()

    @contextlib.contextmanager
    def progress(
        self, op: str, files: int | None = None, total: int | None = None
    ) -> Iterator[Tally]:
        tally = Tally(self, op, files)
        if not self.as_json and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:  # the optional extra: no bar
                tqdm = None
            if tqdm is not None:
                self.bar = tqdm(
                    total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
                    desc=op, leave=False, dynamic_ncols=True,
                )  # fmt: skip
        try:
            yield tally
        finally:
            if self.bar is not None:
                self.bar.close()
                self.bar = None


class Tally:
    """The ``progress(object_name, size)`` of a tree call: counts, a bar
    update and a line per file; called from worker threads too."""

    def __init__(self, out: Output, op: str, files: int | None) -> None:
        self.out, self.op, self.expected = out, op, files
        self.files = self.bytes = 0
        self.started = time.monotonic()

    def __call__(self, name: str, size: int | None) -> None:
        size = size or 0
        with self.out.lock:
            self.files += 1
            self.bytes += size
            bar = self.out.bar
            if bar is not None:
                of = f"/{self.expected}" if self.expected is not None else ""
                bar.set_postfix_str(f"{self.files}{of} files", refresh=False)
                bar.update(size)
        if self.out.per_file or self.out.as_json:
            self.out.emit({"op": self.op, "object": name, "size": size}, f"{self.op} {name} {size}")

    def report(self, error: BaseException | None = None) -> None:
        seconds = round(time.monotonic() - self.started, 3)
        record: dict[str, Any] = {"op": self.op, "files": self.files, "bytes": self.bytes}
        record["seconds"] = seconds
        text = f"{self.op}: {self.files} files, {self.bytes} bytes in {seconds} s"
        if error is not None:
            record["error"] = describe(error)
            text += " (failed)"
        self.out.emit({"report": record}, text)


def describe(error: BaseException) -> str:
    text = f"{type(error).__name__}: {error}"
    for note in getattr(error, "__notes__", ()):
        text += f"\n  {note}"
    return text


# --- commands ----------------------------------------------------------------


def _time_text(value: Any) -> str:
    if hasattr(value, "strftime"):
        return value.strftime("%Y-%m-%d %H:%M:%S")
    return str(value or "")[:19]


def cmd_ls(store: Any, args: argparse.Namespace, out: Output) -> int:
    if not args.target:
        for bucket in store._bucket_list():
            created = _time_text(bucket.creation_date)
            out.emit({"bucket": bucket.name, "created": created}, f"{created}  {bucket.name}")
        return OK
    bucket, prefix = target(args.target)
    if args.recursive:
        records: Any = store._bucket_list_files(bucket, prefix)
    else:  # one level: the storage client's listing with a delimiter
        records = (
            {"prefix": o.object_name}
            if o.is_dir
            else {
                "object_name": o.object_name,
                "size": o.size,
                "last_modified": o.last_modified,
                "etag": o.etag,
            }
            for o in store._engine.list_objects(bucket, prefix=prefix)
        )
    for record in records:
        if "prefix" in record:
            out.emit(record, f"{'DIR':>30}  {record['prefix']}")
            continue
        when = _time_text(record["last_modified"])
        data = {key: record[key] for key in ("object_name", "size", "etag")}
        data["last_modified"] = when
        out.emit(data, f"{when}  {record['size'] or 0:>10}  {record['object_name']}")
    return OK


def _ends(tally: Tally, call: Callable[[], object]) -> int:
    """Runs a transfer; the report is printed however it ends (but Ctrl-C)."""
    try:
        call()
    except KeyboardInterrupt:
        raise
    except BaseException as error:
        tally.report(error)
        raise
    tally.report()
    return OK


def cmd_cp(store: Any, args: argparse.Namespace, out: Output) -> int:
    src, dst = remote(args.src), remote(args.dst)
    if (src is None) == (dst is None):
        raise UsageError("cp copies between a local path and a zarnel://bucket/key location")
    moves = {"workers": args.workers, "resume": args.resume}
    if dst is not None:
        bucket, key = dst
        if args.recursive:
            if not os.path.isdir(args.src):
                raise UsageError(f"{args.src!r} is not a folder")
            items: list[Any] = []
            # Object names: KEY/<relative path>, or with no KEY the folder's own name.
            store._plan_upload_dir(bucket, args.src, base_dir=key.strip("/") or None,
                                   add=items.append)  # fmt: skip
            total = sum(item[2] or 0 for item in items)
            with out.progress("upload", len(items), total) as tally:
                return _ends(tally, lambda: store._upload_files(
                    bucket, items, progress=tally, **moves))  # fmt: skip
        if os.path.isdir(args.src):
            raise UsageError(f"{args.src!r} is a folder: use cp -r")
        if not key or key.endswith("/"):
            key += os.path.basename(args.src)
        size = os.path.getsize(args.src)
        with out.progress("upload", 1, size) as tally:
            if args.resume:  # the engine keeps and finds unfinished uploads
                return _ends(tally, lambda: store._upload_files(
                    bucket, [(key, args.src, size)], progress=tally, **moves))  # fmt: skip
            return _ends(tally, lambda: (store._upload_file(bucket, key, args.src),
                                         tally(key, size)))  # fmt: skip
    bucket, key = src  # type: ignore[misc]
    if args.recursive:
        prefix = folder(key)
        items = []
        for record in store._bucket_list_files(bucket, prefix):
            name = record["object_name"]
            parts = name[len(prefix) :].split("/")
            if name.endswith("/"):
                continue  # a folder marker
            if not all(_safe_segment(part) for part in parts):
                log.warning("skipped %r: no local file can have that name", name)
                continue
            path = os.path.join(args.dst, *parts)
            items.append((name, path, record["size"], record["etag"]))
        total = sum(item[2] or 0 for item in items)
        with out.progress("download", len(items), total) as tally:
            return _ends(tally, lambda: store._download_files(
                bucket, items, progress=tally, **moves))  # fmt: skip
    if not key or key.endswith("/"):
        raise UsageError(f"{args.src!r} names no object: use cp -r for a folder")
    path = args.dst
    if os.path.isdir(path) or path.endswith(os.sep):
        path = os.path.join(path, key.rsplit("/", 1)[-1])
    with out.progress("download", 1) as tally:
        if args.resume:  # the engine keeps and finds the pieces it fetched
            stat = store._engine.stat_object(bucket, key)
            return _ends(tally, lambda: store._download_files(
                bucket, [(key, path, stat.size, stat.etag)], progress=tally, **moves))  # fmt: skip
        return _ends(tally, lambda: (store._download_file(bucket, key, path),
                                     tally(key, os.path.getsize(path))))  # fmt: skip


def cmd_sync(store: Any, args: argparse.Namespace, out: Output) -> int:
    src, dst = remote(args.src), remote(args.dst)
    if (src is None) == (dst is None):
        raise UsageError("sync brings a local folder and a zarnel://bucket/prefix together")
    options: dict[str, Any] = {
        "compare": "checksum" if args.checksum else "mtime",
        "delete": args.delete,
        "max_delete": args.max_delete,
        "dry_run": args.dry_run,
        "workers": args.workers,
        "resume": args.resume,
    }
    error: zarnel.SyncError | None = None
    op = "upload" if dst is not None else "download"
    with out.progress(op) as tally:
        try:
            if dst is not None:
                bucket, key = dst
                report = store._sync_up(
                    bucket, args.src, key.strip("/") or None, progress=tally, **options
                )
            else:
                bucket, key = src  # type: ignore[misc]
                report = store._sync_down(bucket, key, args.dst, progress=tally, **options)
        except zarnel.SyncError as failed:
            error, report = failed, failed.report
    for action, name in report.plan if args.dry_run else ():
        out.emit({"op": "plan", "action": action, "object": name}, f"(dry run) {action} {name}")
    record = report.as_dict()
    record.pop("plan")
    record["seconds"] = round(record["seconds"], 3)
    if error is not None:
        record["error"] = str(error)
    text = (
        f"sync: {report.copied} copied, {report.skipped} skipped, {report.deleted} deleted, "
        f"{report.bytes} bytes in {record['seconds']} s"
    )
    for name, failure in record["failed"].items():
        text += f"\n  failed {name}: {failure}"
    out.emit({"report": {"op": "sync", **record}}, text)
    if error is not None:
        print(f"zarnel: error: {error}", file=sys.stderr)
        return FAILED
    return OK


class _DeleteErrors(logging.Handler):
    """Catches the deletions that ``_remove_objects`` logs as not done."""

    def __init__(self) -> None:
        super().__init__()
        self.names: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        from minio.deleteobjects import DeleteError

        value = record.args[0] if isinstance(record.args, tuple) and record.args else None
        if isinstance(value, DeleteError):
            self.names.append(str(value.name))


def cmd_rm(store: Any, args: argparse.Namespace, out: Output) -> int:
    bucket, key = target(args.target)
    if not args.recursive:
        if not key or key.endswith("/"):
            raise UsageError(f"{args.target!r} names no object: use rm -r for a folder")
        store._remove_object(bucket, key)
        out.emit({"op": "rm", "object": key}, f"rm {key}")
        return OK
    names = [r["object_name"] for r in store._bucket_list_files(bucket, folder(key))]
    caught = _DeleteErrors()
    logger = logging.getLogger("zarnel")
    logger.addHandler(caught)
    try:
        store._remove_objects(bucket, names)
    finally:
        logger.removeHandler(caught)
    failed = set(caught.names)
    for name in names:
        if name not in failed:
            out.emit({"op": "rm", "object": name}, f"rm {name}")
    for name in caught.names:
        out.emit({"op": "rm", "object": name, "error": "not removed"}, f"not removed: {name}")
    if failed:
        print(f"zarnel: error: {len(failed)} objects were not removed", file=sys.stderr)
        return FAILED
    return OK


def cmd_url(store: Any, args: argparse.Namespace, out: Output) -> int:
    bucket, key = target(args.target)
    if not key:
        raise UsageError(f"{args.target!r} names no object")
    url = store._get_url(bucket, key, days=args.days)
    out.emit({"url": url, "days": args.days}, url)
    return OK


def cmd_mb(store: Any, args: argparse.Namespace, out: Output) -> int:
    return _bucket_op(store._create_bucket, "mb", "bucket {!r} exists", args, out)


def cmd_rb(store: Any, args: argparse.Namespace, out: Output) -> int:
    return _bucket_op(store._remove_bucket, "rb", "no bucket {!r}", args, out)


def _bucket_op(call: Any, op: str, refused: str, args: argparse.Namespace, out: Output) -> int:
    """A bucket made or removed; the soft False of the library is exit 1."""
    bucket = _bucket_only(args.target)
    if not call(bucket):
        print(f"zarnel: error: {refused.format(bucket)}", file=sys.stderr)
        return FAILED
    out.emit({"op": op, "bucket": bucket}, f"{op} {bucket}")
    return OK


def _bucket_only(text: str) -> str:
    bucket, key = target(text)
    if key.strip("/"):
        raise UsageError(f"{text!r}: a bucket, not an object")
    return bucket


# --- the parser and main -----------------------------------------------------


def _add_common(parser: argparse.ArgumentParser, defaults: bool) -> None:
    # The same options before and after the command (`zarnel --json ls`,
    # `zarnel ls --json`); only the top level sets defaults, so a command's
    # parser never overwrites what was given before it.
    def default(value: Any) -> Any:
        return value if defaults else argparse.SUPPRESS

    parser.add_argument(
        "--config",
        default=default(None),
        help="the TOML file (default ~/.config/zarnel/config.toml)",
    )
    parser.add_argument(
        "--profile", default=default(None), help="its table to use (default: default)"
    )
    parser.add_argument("--host", default=default(None), help="the store's host")
    parser.add_argument("--port", default=default(None), help="the store's port")
    parser.add_argument(
        "--user",
        default=default(None),
        help="the access key (the secret key: file or environment only)",
    )
    parser.add_argument(
        "--json", action="store_true", default=default(False), help="one JSON object per line"
    )
    parser.add_argument("-v", "--verbose", action="count", default=default(0),
                        help="log the library's INFO lines (-vv: DEBUG)")  # fmt: skip


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zarnel",
        description="Buckets and objects on a MinIO (S3-compatible) store.",
        allow_abbrev=False,
        epilog="Locations: a local path, or zarnel://BUCKET/KEY. Exit codes: 0 done, "
        "1 a transfer failed, 2 bad usage or configuration, 130 interrupted.",
    )
    _add_common(parser, defaults=True)
    parser.add_argument("--version", action="version", version=f"zarnel {zarnel.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[..., int], text: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=text, description=text, allow_abbrev=False)
        _add_common(p, defaults=False)
        p.set_defaults(run=run)
        return p

    ls = command("ls", cmd_ls, "list the buckets, or the objects under BUCKET[/PREFIX]")
    ls.add_argument("-r", "--recursive", action="store_true", default=False)
    ls.add_argument("target", nargs="?", default="", metavar="BUCKET[/PREFIX]")
    cp = command("cp", cmd_cp, "copy a file or (-r) a folder up or down")
    cp.add_argument("-r", "--recursive", action="store_true", default=False)
    sync = command("sync", cmd_sync, "move only what changed between a folder and a prefix")
    for p in (cp, sync):
        p.add_argument("--workers", type=_workers, default=8, help="files at once (default 8)")
        p.add_argument("--resume", action="store_true", default=False,
                       help="keep what an interrupted run moved of large files, and carry on "
                       "from what an earlier --resume run kept")  # fmt: skip
        p.add_argument("src", metavar="SRC")
        p.add_argument("dst", metavar="DST")
    sync.add_argument("--delete", action="store_true", default=False,
                      help="remove what the source side does not have")  # fmt: skip
    sync.add_argument("--max-delete", type=int, default=None, metavar="N",
                      help="refuse to remove more than N")  # fmt: skip
    sync.add_argument("--dry-run", action="store_true", default=False)
    sync.add_argument("--checksum", action="store_true", default=False,
                      help="compare contents (MD5 and ETag), not sizes and times")  # fmt: skip
    rm = command("rm", cmd_rm, "remove an object or (-r) every object under a prefix")
    rm.add_argument("-r", "--recursive", action="store_true", default=False)
    rm.add_argument("target", metavar="BUCKET/KEY")
    url = command("url", cmd_url, "print a presigned download URL")
    url.add_argument("--days", type=int, default=7, help="1 to 7 (default 7)")
    url.add_argument("target", metavar="BUCKET/KEY")
    command("mb", cmd_mb, "make a bucket").add_argument("target", metavar="BUCKET")
    command("rb", cmd_rb, "remove an empty bucket").add_argument("target", metavar="BUCKET")
    return parser


def _workers(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _refuse_secrets(argv: list[str]) -> None:
    for arg in argv:
        if arg == "--":
            return
        name = arg.split("=", 1)[0].lower()
        if arg.startswith("-") and any(word in name for word in SECRET_WORDS):
            # The value is not repeated: it may already be in a shell history.
            raise UsageError(
                f"{name}: secrets are never taken from the command line; put them in the "
                "configuration file or in ZARNEL_PASSWORD, ZARNEL_SSH_PASSWORD, ZARNEL_SSH_RSA_PWD"
            )


def _set_up_logging(verbose: int) -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("zarnel: %(levelname)s: %(message)s"))
    logger = logging.getLogger("zarnel")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG if verbose > 1 else logging.INFO if verbose else logging.WARNING)
    logger.propagate = False


def main(argv: list[str] | None = None, env: Mapping[str, str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    env = os.environ if env is None else env
    parser = build_parser()
    try:
        _refuse_secrets(argv)
        args = parser.parse_args(argv)
        _set_up_logging(args.verbose)
        config = load_config(args, env)
        both_on_terminal = sys.stdout.isatty() and sys.stderr.isatty()
        out = Output(args.json, per_file=not both_on_terminal or args.verbose > 0)
        store = connect(config)
        return args.run(store, args, out)
    except UsageError as error:
        print(f"zarnel: error: {error}", file=sys.stderr)
        return USAGE
    except KeyboardInterrupt:
        print("zarnel: interrupted", file=sys.stderr)
        return INTERRUPTED
    except (ValueError, TypeError) as error:
        # The storage client's checks of names and arguments: a bucket or
        # object name that it refuses, days outside 1 to 7.
        print(f"zarnel: error: {describe(error)}", file=sys.stderr)
        return USAGE
    except BrokenPipeError:
        # The reader went away (`zarnel ls ... | head`): nothing more to say.
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - for the interpreter's flush
        return FAILED
    except Exception as error:
        print(f"zarnel: error: {describe(error)}", file=sys.stderr)
        return FAILED
