"""The installed ``zarnel`` command, run as a user runs it, against SeaweedFS:
each command, its JSON lines, the exit codes, the profile file and the
environment over it, Ctrl-C, and the secret key never on a command line or
in what it prints."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

from tests.faultproxy import FaultProxy
from tests.helpers import wait_for

pytestmark = pytest.mark.parametrize("s3_server", ["seaweedfs"], indirect=True)

ZARNEL = str(Path(sys.executable).with_name("zarnel"))
MIB = 1024 * 1024


@pytest.fixture
def home(tmp_path):
    """A user's home: the profile file, and an environment without ZARNEL_*."""
    folder = tmp_path / "home"
    (folder / ".config" / "zarnel").mkdir(parents=True)
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZARNEL_")}
    env.update(HOME=str(folder), XDG_CONFIG_HOME=str(folder / ".config"))
    return folder, env


def write_profile(home, endpoint: str, user: str, password: str, name: str = "default") -> Path:
    host, _, port = endpoint.rpartition(":")
    path = home[0] / ".config" / "zarnel" / "config.toml"
    with path.open("a") as file:
        file.write(f'[{name}]\nhost = "{host}"\nport = {port}\nuser = "{user}"\n'
                   f'password = "{password}"\n\n')  # fmt: skip
    path.chmod(0o600)
    return path


@pytest.fixture
def zarnel(s3_server, home, tmp_path):
    """Runs the command in tmp_path with the server's profile; checks that the
    secret key shows in no output."""
    write_profile(home, s3_server.endpoint, s3_server.access_key, s3_server.secret_key)

    def run(*args: str, code: int = 0, env: dict | None = None) -> subprocess.CompletedProcess:
        done = subprocess.run([ZARNEL, *args], capture_output=True, text=True, cwd=tmp_path,
                              env={**home[1], **(env or {})}, timeout=120)  # fmt: skip
        assert done.returncode == code, (done.stdout, done.stderr)
        assert s3_server.secret_key not in done.stdout + done.stderr
        return done

    return run


def lines(done: subprocess.CompletedProcess) -> list[dict]:
    return [json.loads(line) for line in done.stdout.splitlines()]


def test_every_command_round_trip(zarnel, sdk, bucket_name, tmp_path):
    site = tmp_path / "site"
    (site / "css").mkdir(parents=True)
    (site / "index.html").write_text("<h1>hi</h1>\n")
    (site / "css" / "main.css").write_text("h1 {}\n")
    remote = f"zarnel://{bucket_name}"

    assert zarnel("mb", bucket_name).stdout == f"mb {bucket_name}\n"
    assert zarnel("cp", str(site / "index.html"), f"{remote}/one/").stdout.startswith(
        "upload one/index.html 12\n"
    )
    up = lines(zarnel("--json", "cp", "-r", "site", f"{remote}/web", "--workers", "4"))
    assert sorted(r["object"] for r in up[:-1]) == ["web/css/main.css", "web/index.html"]
    assert up[-1]["report"] | {"seconds": 0} == {"op": "upload", "files": 2, "bytes": 18,
                                                  "seconds": 0}  # fmt: skip

    assert zarnel("ls", bucket_name).stdout.split() == ["DIR", "one/", "DIR", "web/"]
    listed = lines(zarnel("ls", "-r", "--json", f"{bucket_name}/web"))
    assert [(r["object_name"], r["size"]) for r in listed] == [
        ("web/css/main.css", 6), ("web/index.html", 12)]  # fmt: skip
    assert {"bucket": bucket_name} in [
        {"bucket": r["bucket"]} for r in lines(zarnel("ls", "--json"))
    ]

    zarnel("cp", f"{remote}/web/index.html", "copy/")
    assert (tmp_path / "copy" / "index.html").read_text() == "<h1>hi</h1>\n"
    zarnel("cp", "-r", f"{remote}/web", "tree")
    assert (tmp_path / "tree" / "css" / "main.css").read_text() == "h1 {}\n"

    (site / "index.html").write_text("<h1>changed</h1>\n")
    (site / "css" / "main.css").unlink()
    plan = lines(zarnel("sync", "--json", "--dry-run", "--delete", "site", f"{remote}/web"))
    assert [(r["action"], r["object"]) for r in plan[:-1]] == [
        ("delete", "web/css/main.css"), ("copy", "web/index.html")]  # fmt: skip
    report = lines(zarnel("sync", "--json", "--delete", "--checksum", "site", f"{remote}/web"))
    assert report[-1]["report"]["copied"] == 1
    assert report[-1]["report"]["deleted"] == 1
    assert sdk.get_object(bucket_name, "web/index.html").data == b"<h1>changed</h1>\n"

    url = zarnel("url", "--days", "1", f"{bucket_name}/web/index.html").stdout.strip()
    with urllib.request.urlopen(url) as answer:
        assert answer.read() == b"<h1>changed</h1>\n"
    zarnel("rm", f"{bucket_name}/one/index.html")
    removed = lines(zarnel("rm", "-r", "--json", f"{remote}/web"))
    assert removed == [{"op": "rm", "object": "web/index.html"}]
    assert list(sdk.list_objects(bucket_name, recursive=True)) == []
    zarnel("rb", bucket_name)
    assert not sdk.bucket_exists(bucket_name)


def test_exit_codes(zarnel, bucket, tmp_path):
    (tmp_path / "f.txt").write_text("x")
    # 2: bad usage, before anything moves.
    assert "between a local path" in zarnel("cp", "f.txt", "g.txt", code=2).stderr
    zarnel("ls", "--workers", "3", code=2)
    assert "ValueError" in zarnel("url", "--days", "9", f"{bucket}/f.txt", code=2).stderr
    # 1: a failed transfer, its report printed all the same.
    failed = lines(zarnel("--json", "cp", "f.txt", "zarnel://zt-no-such-bucket/f.txt", code=1))
    assert "NoSuchBucket" in failed[-1]["report"]["error"]
    zarnel("mb", bucket, code=1)
    zarnel("cp", "f.txt", f"zarnel://{bucket}/d/f.txt")
    (tmp_path / "empty").mkdir()
    refused = zarnel("sync", "--json", "--delete", "--max-delete", "0", "empty",
                     f"zarnel://{bucket}/d", code=1)  # fmt: skip
    assert lines(refused)[-1]["report"]["deleted"] == 0
    assert "zarnel: error:" in refused.stderr


def test_profile_environment_and_flags(s3_server, zarnel, home, bucket):
    # The environment overrides the file, and a flag the environment.
    denied = zarnel("ls", env={"ZARNEL_PASSWORD": "not-the-key"}, code=1).stderr
    assert "SignatureDoesNotMatch" in denied
    assert "not-the-key" not in denied
    zarnel("ls", env={"ZARNEL_USER": "nobody"}, code=1)
    user = s3_server.access_key
    assert bucket in zarnel("ls", "--user", user, env={"ZARNEL_USER": "nobody"}).stdout
    # Another profile, chosen by flag or variable.
    write_profile(home, s3_server.endpoint, s3_server.access_key, "wrong", name="other")
    zarnel("--profile", "other", "ls", code=1)
    zarnel("ls", code=1, env={"ZARNEL_PROFILE": "other"})
    zarnel("ls", code=0, env={"ZARNEL_PROFILE": "other", "ZARNEL_PASSWORD": s3_server.secret_key})
    # Configuration errors: 2, naming what is wrong but never a secret.
    assert "no profile [nope]" in zarnel("--profile", "nope", "ls", code=2).stderr
    nothing = zarnel("ls", env={"XDG_CONFIG_HOME": str(home[0])}, code=2).stderr
    assert "missing host, port, user, password" in nothing
    bad = zarnel("ls", "--password", s3_server.secret_key, code=2).stderr
    assert "never taken from the command line" in bad


def test_ctrl_c_ends_at_once_with_nothing_left(s3_server, sdk, bucket, home, tmp_path):
    (tmp_path / "big.bin").write_bytes(os.urandom(12 * MIB))
    with FaultProxy(s3_server.endpoint) as proxy:
        proxy.delay(30, when=lambda r: "partNumber" in r.query, times=None)
        write_profile(home, proxy.endpoint, s3_server.access_key, s3_server.secret_key)
        child = subprocess.Popen([ZARNEL, "cp", "big.bin", f"zarnel://{bucket}/big.bin"],
                                 cwd=tmp_path, env=home[1], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)  # fmt: skip
        try:
            wait_for(lambda: any("partNumber" in r.query for r in proxy.log))
            shown = subprocess.run(["ps", "-eww", "-o", "args"], capture_output=True, text=True)
            assert "zarnel cp big.bin" in shown.stdout
            assert s3_server.secret_key not in shown.stdout
            assert sdk._list_multipart_uploads(bucket).uploads  # under way
            child.send_signal(signal.SIGINT)
            started = time.monotonic()
            out, err = child.communicate(timeout=10)
            assert time.monotonic() - started < 1.0
        finally:
            child.kill()
    assert child.returncode == 130, err
    assert err.strip().endswith("zarnel: interrupted")
    assert sdk._list_multipart_uploads(bucket).uploads == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.bin", "home"]


def test_resume_carries_on_an_interrupted_cp(s3_server, sdk, bucket, home, tmp_path):
    data = os.urandom(12 * MIB)  # parts of 5, 5 and 2 MiB
    (tmp_path / "big.bin").write_bytes(data)
    up = [ZARNEL, "cp", "--resume", "big.bin", f"zarnel://{bucket}/big.bin"]

    def stored() -> set[str]:  # the part numbers of the unfinished upload
        uploads = sdk._list_multipart_uploads(bucket).uploads
        parts = sdk._list_parts(bucket, "big.bin", uploads[0].upload_id).parts if uploads else []
        return {str(p.part_number) for p in parts}

    with FaultProxy(s3_server.endpoint) as proxy:
        # Part 3 never reaches the store; the command tries it again for seconds.
        proxy.error(503, "SlowDown", when=lambda r: r.query.get("partNumber") == "3", times=None)
        write_profile(home, proxy.endpoint, s3_server.access_key, s3_server.secret_key)
        child = subprocess.Popen(up, cwd=tmp_path, env=home[1], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)  # fmt: skip
        try:
            wait_for(lambda: stored() == {"1", "2"})
            child.send_signal(signal.SIGINT)
            child.communicate(timeout=10)
        finally:
            child.kill()
        assert child.returncode == 130
        assert stored() == {"1", "2"}  # kept for the next run
        proxy.clear()
        run = {"cwd": tmp_path, "env": home[1], "capture_output": True, "timeout": 60}
        assert subprocess.run(up, **run).returncode == 0
        sent = [r.query["partNumber"] for r in proxy.log if "partNumber" in r.query]
        down = [ZARNEL, "cp", "--resume", f"zarnel://{bucket}/big.bin", "copy.bin"]
        assert subprocess.run(down, **run).returncode == 0
    assert sent == ["3"]
    assert sdk.get_object(bucket, "big.bin").read() == data
    assert sdk._list_multipart_uploads(bucket).uploads == []
    assert (tmp_path / "copy.bin").read_bytes() == data
