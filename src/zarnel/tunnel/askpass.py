"""The askpass helper and the tunnel's private folder that holds it.

Secrets never reach a command line or an environment: ssh asks for them
through SSH_ASKPASS, and the helper it runs reads each from a 0600 file in
the private folder, once, and deletes it.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import stat
import subprocess
import tempfile
from collections.abc import Iterator
from pathlib import Path

# Run by ssh with the prompt as its only argument. It answers only the exact
# prompts that OpenSSH's client asks for the configured key's passphrase and
# the login's password (``Spec.prompts``, in the environment), from the
# matching file, once. Anything else (a host-key question, a prompt a server
# made up to look like one of those) is refused, which ssh takes as "no".
ASKPASS_SCRIPT = """#!/bin/sh
if [ -z "$1" ]; then
  exit 1
elif [ "$1" = "$ZARNEL_ASK_PASSPHRASE" ]; then
  kind=passphrase
elif [ "$1" = "$ZARNEL_ASK_PASSWORD" ] || [ "$1" = "$ZARNEL_ASK_KBDINT" ]; then
  kind=password
else
  exit 1
fi
dir=$ZARNEL_ASKPASS_DIR
echo >>"$dir/$kind.asked"
[ -f "$dir/$kind" ] || exit 1
cat "$dir/$kind"
rm -f "$dir/$kind"
"""


def private_dir() -> Path:
    """A new 0700 directory, in memory where possible, that allows exec.

    ssh's control socket goes in it: its path must stay well under the 108
    bytes of a socket address, and hold no "%" (ssh expands %-tokens in it).
    """
    for base in (os.environ.get("XDG_RUNTIME_DIR"), "/dev/shm", tempfile.gettempdir(), "/tmp"):
        if not base or "%" in base or len(os.fsencode(base)) > 64:
            continue
        try:
            info = os.statvfs(base)
        except OSError:
            continue
        if info.f_flag & os.ST_NOEXEC or not os.access(base, os.W_OK | os.X_OK):
            continue
        return Path(tempfile.mkdtemp(prefix="zarnel-ssh-", dir=base))
    raise OSError(
        "no folder for the tunnel's private files (tried $XDG_RUNTIME_DIR, /dev/shm, /tmp)"
    )


def is_private_dir(path: Path) -> bool:
    """Whether ``path`` is still a 0700 directory of this user (not removed,
    and not made again by someone else under the same name)."""
    try:
        info = os.lstat(path)
    except OSError:
        return False
    return (
        stat.S_ISDIR(info.st_mode)
        and info.st_uid == os.geteuid()
        and stat.S_IMODE(info.st_mode) == 0o700
    )


def write_private(path: Path, text: str, mode: int = 0o600) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, mode)
    with os.fdopen(fd, "w") as file:
        file.write(text)


class Folder:
    """The tunnel's private 0700 folder: ssh's control socket, the askpass
    helper, and each secret while ssh logs in."""

    def __init__(self) -> None:
        self.path = private_dir()

    @property
    def control(self) -> Path:
        """ssh's control socket, which takes the connections to forward."""
        return self.path / "control"

    def prepare(self) -> None:
        """Make the folder and the helper again when they were removed
        (logind removes /run/user/UID after the user's last session;
        RemoveIPC clears /dev/shm); a folder of that name that is not ours
        any more is left alone for a new one."""
        if not is_private_dir(self.path):
            self.path = private_dir()
        # A control socket that a killed child left would keep the next one
        # from making its own.
        for name in ("passphrase", "password", "passphrase.asked", "password.asked", "control"):
            (self.path / name).unlink(missing_ok=True)
        helper = self.path / "askpass.new"
        write_private(helper, ASKPASS_SCRIPT, 0o700)
        helper.replace(self.path / "askpass")

    def environment(self, prompts: dict[str, str] | None) -> dict[str, str]:
        """This process's environment for a child, with the askpass helper
        answering ``prompts`` (None: no helper)."""
        env = {
            name: value
            for name, value in os.environ.items()
            if not name.startswith(("SSH_ASKPASS", "ZARNEL_ASK"))
        }
        if prompts is not None:
            env.update(
                SSH_ASKPASS=str(self.path / "askpass"),
                SSH_ASKPASS_REQUIRE="force",
                ZARNEL_ASKPASS_DIR=str(self.path),
                **prompts,
            )
        return env

    @contextlib.contextmanager
    def given(self, secrets: dict[str, str]) -> Iterator[None]:
        """The secrets' files, for the helper to hand out once each."""
        try:
            for kind, value in secrets.items():
                write_private(self.path / kind, value + "\n")
            yield
        finally:
            for kind in secrets:
                (self.path / kind).unlink(missing_ok=True)

    def asked(self, kind: str) -> bool:
        """Whether ssh asked the helper for the ``kind`` of secret."""
        return (self.path / f"{kind}.asked").exists()

    def passphrase_opens_key(self, passphrase: str | None, key_file: str | None) -> bool:
        # ssh says only "Permission denied" when the passphrase is wrong; ask
        # ssh-keygen to open the key the same way, through the askpass helper.
        # When ssh-keygen asks with another prompt than OpenSSH 9's, the helper
        # refuses it and nothing is known.
        keygen = shutil.which("ssh-keygen")
        if keygen is None or not passphrase or not key_file:
            return True
        asked = self.path / "passphrase.asked"
        env = self.environment({"ZARNEL_ASK_PASSPHRASE": "Enter passphrase: "})
        try:
            asked.unlink(missing_ok=True)
            with self.given({"passphrase": passphrase}):
                result = subprocess.run(
                    [keygen, "-y", "-f", key_file],
                    stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=10,
                    start_new_session=True,
                )  # fmt: skip
        except (OSError, subprocess.TimeoutExpired):
            return True
        return result.returncode == 0 or not asked.exists()

    def remove(self) -> None:
        shutil.rmtree(self.path, ignore_errors=True)
