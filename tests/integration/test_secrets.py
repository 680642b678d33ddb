"""The secret key (``password``), ``ssh_password`` and ``ssh_rsa_pwd`` never
show: not in the repr or str of an instance, its record or its tunnel, not
in any log line (every logger, at DEBUG), not in an error message, and not in
any process's command line, while a tunnel logs in, works, restarts and
closes."""

from __future__ import annotations

import gc
import logging
import os
import secrets
import signal
import threading
from pathlib import Path

import pytest
import urllib3
from minio.error import S3Error

from tests.helpers import gone, ssh_children, wait_for
from tools.s3servers import free_port
from zarnel_ssh import SSHTunnelError


class CommandLines:
    """Reads every process's command line, over and over, in the background."""

    def __init__(self) -> None:
        self.seen: set[bytes] = set()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop.is_set():
            self.sample()
            self._stop.wait(0.005)

    def sample(self) -> None:
        for pid in os.listdir("/proc"):
            if pid.isdigit():
                try:
                    self.seen.add(Path(f"/proc/{pid}/cmdline").read_bytes())
                except OSError:
                    pass

    def __enter__(self) -> CommandLines:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join(10)


def messages_of(error: BaseException) -> list[str]:
    """The error's text and repr, its notes and those of its causes."""
    out = []
    while error is not None:
        out += [str(error), repr(error), *getattr(error, "__notes__", [])]
        error = error.__cause__ or error.__context__
    return out


def test_secrets_never_show(s3_server, s3_config, sshd, tunnel_keys, caplog):
    from zarnel.minio_main import ZarnelMinioMain

    caplog.set_level(logging.DEBUG)
    wrong = "wrong-" + secrets.token_urlsafe(12)
    hidden = {
        "password": s3_config["password"],
        "ssh_password": sshd.password,
        "ssh_rsa_pwd": sshd.passphrase,
        "wrong secret": wrong,
    }
    config = {**s3_config, "ssh": True, **tunnel_keys, "ssh_rsa": str(sshd.locked_key),
              "ssh_rsa_pwd": sshd.passphrase, "ssh_password": sshd.password}  # fmt: skip
    assert all(
        secret in repr(config) for secret in list(hidden.values())[:3]
    )  # a plain dict shows them
    shown: list[str] = []
    errors: list[BaseException] = []

    def expect_error(kind, call, *args):
        with pytest.raises(kind) as caught:
            call(*args)
        # Kept for its messages only: its frames would keep the store alive.
        errors.append(caught.value.with_traceback(None))

    with CommandLines() as lines:
        store = ZarnelMinioMain(dict(config))
        store._connect()
        tunnel = store._config.tunnel
        pid = tunnel.pid
        environ = Path(f"/proc/{pid}/environ").read_bytes()
        bucket = "zs-" + secrets.token_hex(6)
        store._create_bucket(bucket)
        store._upload_flow(bucket, "a.txt", "secret-free")
        assert store._download_flow(bucket, "a.txt") == "secret-free"
        shown += [repr(store), str(store), repr(vars(store)), repr(store._config),
                  str(store._config), repr(tunnel), repr(store._log)]  # fmt: skip
        expect_error(S3Error, store._download_flow, bucket, "missing")

        # The child dies and comes back: its warnings carry what ssh said.
        os.kill(pid, signal.SIGKILL)
        assert wait_for(lambda: tunnel.restarts == 1 and tunnel.state == "up")
        assert store._bucket_list_files(bucket)[0]["object_name"] == "a.txt"
        store._remove_object(bucket, "a.txt")
        store._remove_bucket(bucket)

        # Refusals: a configuration, a wrong passphrase, a wrong secret key,
        # and a store that nobody answers.
        expect_error(Exception, ZarnelMinioMain, {**config, "host": "", "secure": "yes"})
        expect_error(SSHTunnelError, ZarnelMinioMain, {**config, "ssh_rsa_pwd": wrong,
                                                       "ssh_password": wrong})  # fmt: skip
        bad = ZarnelMinioMain({**s3_config, "password": wrong})
        bad._connect()
        if s3_server.kind == "seaweedfs":  # moto checks no signatures
            expect_error(S3Error, bad._bucket_list)
        nobody = ZarnelMinioMain({**s3_config, "port": free_port()})
        nobody._connect()
        nobody._engine._http = urllib3.PoolManager(retries=False)  # no retry delays
        expect_error(urllib3.exceptions.HTTPError, nobody._bucket_list)
        shown += [repr(vars(bad)), repr(vars(nobody))]

        tunnel_pid = tunnel.pid
        store = tunnel = None  # the record goes with the store
        gc.collect()
        assert gone(tunnel_pid)
        assert ssh_children() == []
        lines.sample()

    texts = {
        "repr": shown,
        "log": [r.getMessage() for r in caplog.records] + [caplog.text],
        "errors": [m for e in errors for m in messages_of(e)],
    }
    assert len(caplog.records) > 10  # the logs were seen at all
    assert any("went down" in r.getMessage() for r in caplog.records)
    assert [type(e).__name__ for e in errors][:3] == ["S3Error", "Exception", "SSHTunnelError"]
    found = [(where, name) for where, values in texts.items() for name, secret in hidden.items()
             if any(secret in text for text in values)]  # fmt: skip
    found += [("command line", name) for name, secret in hidden.items()
              if any(secret.encode() in line for line in lines.seen)]  # fmt: skip
    found += [("ssh environment", n) for n, s in hidden.items() if s.encode() in environ]
    assert found == []
    assert any(b"ssh" in line and b"ControlMaster" in line for line in lines.seen)  # saw ssh
