"""The SSH tunnel: one large download through ZarnelSSH (the OpenSSH client),
directly, and through a paramiko tunnel made with the sshtunnel package,
against a throw-away sshd on loopback. The three are alternated in one run;
ratios are medians over the repetitions."""

from __future__ import annotations

import logging
import os
import shutil
import statistics
import tempfile
import time
import uuid
from pathlib import Path

from bench.end_to_end import scratch_dir, sdk_for
from tools.sshd import SSHServer, skip_reason
from zarnel.minio_main import ZarnelMinioMain


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


_TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of a process and its reaped children."""
    try:
        with open(f"/proc/{pid}/stat") as file:
            fields = file.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return sum(int(v) for v in fields[11:15]) / _TICK


def threads_cpu(pid: int) -> float:
    return sum(cpu_seconds(int(t)) for t in os.listdir(f"/proc/{pid}/task")) if pid else 0.0


class CpuAccount:
    """Where a download's CPU time goes: this process (the SDK, and paramiko
    for the baseline), the ssh client, the sshd session and the S3 server."""

    def __init__(self, processes) -> None:
        self.processes = processes  # name -> callable returning pids
        self.totals: dict[str, dict[str, float]] = {}

    def snapshot(self) -> dict[str, float]:
        here = os.times()
        taken = {"python": here.user + here.system}
        for name, pids in self.processes.items():
            taken[name] = sum(cpu_seconds(pid) for pid in pids())
        return taken

    def add(self, who: str, before: dict, after: dict) -> None:
        into = self.totals.setdefault(who, {})
        for name in after:
            into[name] = into.get(name, 0.0) + after[name] - before[name]


def client(server, host: str, port: int, **ssh) -> ZarnelMinioMain:
    instance = ZarnelMinioMain(
        {
            "host": host,
            "port": port,
            "user": server.access_key,
            "password": server.secret_key,
            **ssh,
        }
    )
    instance._connect()
    return instance


def run_tunnel(server, quick: bool = False) -> dict:
    """`server`: a running S3 server (tools.s3servers)."""
    reason = skip_reason()
    if reason:
        return {"skipped": reason}
    from sshtunnel import SSHTunnelForwarder

    # sshtunnel logs every channel at ERROR when a transfer is cut short.
    logging.getLogger("sshtunnel").setLevel(logging.CRITICAL)
    logging.getLogger("paramiko").setLevel(logging.CRITICAL)

    size_mib = 32 if quick else 256
    repeat = 2 if quick else 13
    work = Path(tempfile.mkdtemp(prefix="zarnel-bench-ssh-", dir=scratch_dir()))
    try:
        with SSHServer() as sshd:
            sdk = sdk_for(server)
            bucket = f"tunnel-{uuid.uuid4().hex[:8]}"
            sdk.make_bucket(bucket)
            source = work / "large.bin"
            chunk = os.urandom(1 << 20)
            with open(source, "wb") as file:
                for _ in range(size_mib):
                    file.write(chunk)
            sdk.fput_object(bucket, "large.bin", str(source))

            ours = client(
                server,
                "127.0.0.1",
                server.port,
                ssh=True,
                ssh_host="127.0.0.1",
                ssh_port=sshd.port,
                ssh_user=sshd.user,
                ssh_rsa=str(sshd.key),
                ssh_known_hosts=str(work / "known_hosts"),
            )
            direct = client(server, "127.0.0.1", server.port)
            forwarder = SSHTunnelForwarder(
                ("127.0.0.1", sshd.port),
                ssh_username=sshd.user,
                ssh_pkey=str(sshd.key),
                remote_bind_address=("127.0.0.1", server.port),
                local_bind_address=("127.0.0.1", 0),
                allow_agent=False,
                host_pkey_directories=[],
            )
            forwarder.start()
            try:
                paramiko = client(server, "127.0.0.1", forwarder.local_bind_port)
                runners = {"ours": ours, "direct": direct, "sshtunnel": paramiko}
                samples: dict[str, list[float]] = {name: [] for name in runners}
                ssh_pid = ours._config.tunnel.pid
                account = CpuAccount(
                    {
                        "ssh client": lambda: [ssh_pid] if ssh_pid else [],
                        "sshd": sshd.sessions,
                        "s3 server": lambda: [server._process.pid],
                    }
                )
                out = work / "large.out"
                names = list(runners)
                for i in range(repeat):
                    # Rotate the order so that drift in load favours no one.
                    for name in names[i % 3 :] + names[: i % 3]:
                        before = account.snapshot()
                        samples[name].append(
                            timed(
                                lambda r=runners[name]: r._download_file(
                                    bucket, "large.bin", str(out)
                                )
                            )
                        )
                        account.add(name, before, account.snapshot())
                        assert out.stat().st_size == size_mib << 20
                        out.unlink()
            finally:
                forwarder.stop()
            ours._config.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    medians = {name: statistics.median(values) for name, values in samples.items()}
    over_baseline = [b / o for o, b in zip(samples["ours"], samples["sshtunnel"], strict=True)]
    over_direct = [d / o for o, d in zip(samples["ours"], samples["direct"], strict=True)]
    speedup = statistics.median(over_baseline)
    return {
        "file_mib": size_mib,
        "repetitions": repeat,
        "seconds": medians,
        "mib_s": {name: size_mib / value for name, value in medians.items()},
        "ours_over_sshtunnel": speedup,
        "ours_over_sshtunnel_range": [min(over_baseline), max(over_baseline)],
        "ours_over_direct": statistics.median(over_direct),
        "ours_over_direct_range": [min(over_direct), max(over_direct)],
        # At least 3x sshtunnel, and at least 0.45 of the store without a tunnel.
        "goal_met": speedup >= 3.0 and statistics.median(over_direct) >= 0.45,
        # CPU seconds per download, by process.
        "cpu_s": {
            who: {name: value / repeat for name, value in spent.items()}
            for who, spent in account.totals.items()
        },
    }
