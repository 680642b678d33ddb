"""One large download through ZarnelSSH (the OpenSSH client), directly, and
through a paramiko tunnel made with sshtunnel, against a throw-away sshd on
loopback, rotated in one run; the CPU of each download is split by process."""

from __future__ import annotations

import logging
import os
import uuid

from bench import common
from bench.common import Goal
from tools.sshd import SSHServer, skip_reason

OVER_SSHTUNNEL = Goal("ours / sshtunnel", ">=", 3.0)
OVER_DIRECT = Goal("ours / direct", ">=", 0.45)
TITLE = "SSH tunnel, download of one object"


def run_tunnel(server, quick: bool = False) -> dict:
    """`server`: a running S3 server (tools.s3servers)."""
    if reason := skip_reason():
        return {"skipped": reason, "report": common.report(TITLE, f"skipped: {reason}")}
    from sshtunnel import SSHTunnelForwarder

    # sshtunnel logs every channel at ERROR when a transfer is cut short.
    logging.getLogger("sshtunnel").setLevel(logging.CRITICAL)
    logging.getLogger("paramiko").setLevel(logging.CRITICAL)

    size_mib = 32 if quick else 256
    repeat = 2 if quick else 13
    with common.workdir("ssh") as work, SSHServer() as sshd:
        sdk, bucket = common.sdk_for(server), f"tunnel-{uuid.uuid4().hex[:8]}"
        sdk.make_bucket(bucket)
        source, out = work / "large.bin", str(work / "large.out")
        common.write_large(source, size_mib)
        sdk.fput_object(bucket, "large", str(source))
        ours = common.store(server, ssh=True, ssh_host="127.0.0.1", ssh_port=sshd.port,
                            ssh_user=sshd.user, ssh_rsa=str(sshd.key),
                            ssh_known_hosts=str(work / "known_hosts"))  # fmt: skip
        forwarder = SSHTunnelForwarder(
            ("127.0.0.1", sshd.port), ssh_username=sshd.user, ssh_pkey=str(sshd.key),
            remote_bind_address=("127.0.0.1", server.port), local_bind_address=("127.0.0.1", 0),
            allow_agent=False, host_pkey_directories=[],
        )  # fmt: skip
        forwarder.start()
        try:
            runners = {"ours": ours, "direct": common.store(server)}
            runners["sshtunnel"] = common.store(server, forwarder.local_bind_port)
            ssh_pid = ours._config.tunnel.pid
            # Where a download's CPU time goes: this process (the SDK, and
            # paramiko for the baseline), the ssh client, the sshd session
            # and the S3 server.
            cpu_of = {
                "python": [os.getpid()],
                "ssh client": [ssh_pid] if ssh_pid else [],
                "sshd": lambda: common.cpu_s(*sshd.sessions()),  # one per connection
                "s3 server": [server._process.pid],
            }

            def download(who: str, _: int) -> dict:
                spent = common.during(cpu_of, runners[who]._download_file, bucket, "large", out)
                assert os.path.getsize(out) == size_mib << 20
                os.unlink(out)
                return spent

            (spent,) = common.interleaved(runners, repeat, download, order="rotate")
        finally:
            forwarder.stop()
        ours._config.close()

    samples = {who: [s["seconds"] for s in kept] for who, kept in spent.items()}
    seconds = {who: common.median(values) for who, values in samples.items()}
    mib_s = {who: size_mib / value for who, value in seconds.items()}
    over_sshtunnel = common.paired(samples["sshtunnel"], samples["ours"])
    over_direct = common.paired(samples["direct"], samples["ours"])
    cpu = {
        who: {n: sum(s[n] for s in kept) / repeat for n in cpu_of} for who, kept in spent.items()
    }
    table = [["CPU s per download", *cpu_of]]
    table += [[who, *(f"{v:.2f}" for v in spent.values())] for who, spent in cpu.items()]
    shown = common.report(
        TITLE,
        f"{size_mib} MiB, medians of {repeat}: ZarnelSSH {mib_s['ours']:.0f} MiB/s, "
        f"direct {mib_s['direct']:.0f} MiB/s, sshtunnel (paramiko) {mib_s['sshtunnel']:.0f} MiB/s",
        table,
        goals=[
            OVER_SSHTUNNEL.grade(over_sshtunnel["median"], "tunnel", common.span(over_sshtunnel)),
            OVER_DIRECT.grade(over_direct["median"], "tunnel", common.span(over_direct)),
        ],
    )
    figures = {"file_mib": size_mib, "repetitions": repeat, "seconds": seconds, "mib_s": mib_s}
    for name, ratio in (("ours_over_sshtunnel", over_sshtunnel), ("ours_over_direct", over_direct)):
        figures.update({name: ratio["median"], f"{name}_range": ratio["range"]})
    return {**figures, "cpu_s": cpu, "report": shown}
