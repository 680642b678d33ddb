"""The ssh command line of a tunnel, and the mapping it is made of, checked."""

from __future__ import annotations

import dataclasses
import os
import string
from collections.abc import Mapping
from typing import Any

# ssh lowercases the host name it shows in its prompts, ASCII letters only.
ASCII_LOWER = str.maketrans(string.ascii_uppercase, string.ascii_lowercase)


def has_aes_instructions() -> bool:
    """Whether the CPU encrypts AES in hardware (Linux tells; elsewhere, no)."""
    try:
        with open("/proc/cpuinfo") as file:
            return any(
                line.startswith(("flags", "Features")) and "aes" in line.split() for line in file
            )
    except OSError:
        return False


# OpenSSH puts ChaCha20-Poly1305 first because it is fast without AES
# instructions; with them AES-GCM takes about half the CPU time per byte, and
# every byte of a transfer goes through the cipher at both ends. "^" puts it
# at the head of the default list, which is otherwise kept.
CIPHERS = "^aes128-gcm@openssh.com,aes256-gcm@openssh.com" if has_aes_instructions() else None


def port(value: Any, key: str) -> int:
    try:
        port = int(str(value))
    except ValueError:
        port = 0
    if not 0 < port < 65536:
        raise ValueError(f"ssh tunnel: {key} must be a port number, not {value!r}")
    return port


@dataclasses.dataclass(frozen=True, repr=False)
class Spec:
    """What one tunnel needs, checked; secrets are kept out of the repr."""

    host: str
    port: int
    ssh_host: str
    ssh_port: int
    ssh_user: str
    key_file: str | None
    passphrase: str | None
    password: str | None
    known_hosts: str | None
    strict_host_key: bool
    timeout: float

    @classmethod
    def from_mapping(cls, mapping: Mapping[str, Any]) -> Spec:
        missing = [k for k in ("host", "port", "ssh_host", "ssh_user") if not mapping.get(k)]
        if missing:
            raise ValueError(f"ssh tunnel: missing {', '.join(missing)}")
        key_file = mapping.get("ssh_rsa") or None
        if key_file is not None and not os.path.isfile(key_file):
            raise ValueError(f"ssh tunnel: ssh_rsa {str(key_file)!r} is not a file")
        timeout = float(mapping.get("ssh_timeout") or 20.0)
        if timeout <= 0:
            raise ValueError(f"ssh tunnel: ssh_timeout must be positive, not {timeout!r}")
        return cls(
            host=str(mapping["host"]),
            port=port(mapping["port"], "port"),
            ssh_host=str(mapping["ssh_host"]),
            ssh_port=port(mapping.get("ssh_port") or 22, "ssh_port"),
            ssh_user=str(mapping["ssh_user"]),
            key_file=None if key_file is None else os.fspath(key_file),
            passphrase=secret(mapping.get("ssh_rsa_pwd")) if key_file else None,
            password=secret(mapping.get("ssh_password")),
            known_hosts=(
                os.fspath(mapping["ssh_known_hosts"]) if mapping.get("ssh_known_hosts") else None
            ),
            strict_host_key=bool(mapping.get("ssh_strict_host_key")),
            timeout=timeout,
        )

    @property
    def secrets(self) -> dict[str, str]:
        """The askpass files to write, by kind."""
        found = {"passphrase": self.passphrase, "password": self.password}
        return {kind: value for kind, value in found.items() if value}

    @property
    def prompts(self) -> dict[str, str]:
        """The askpass helper's environment: the exact prompts of OpenSSH's
        client for the passphrase (it shows at most 100 bytes of the key's
        path) and for the password, by password and keyboard-interactive
        login (user@host, the host as given but lowercased, no port)."""
        who = f"{self.ssh_user}@{self.ssh_host.translate(ASCII_LOWER)}"
        key = os.fsdecode(os.fsencode(self.key_file)[:100]) if self.key_file else ""
        return {
            "ZARNEL_ASK_PASSPHRASE": f"Enter passphrase for key '{key}': " if key else "",
            "ZARNEL_ASK_PASSWORD": f"{who}'s password: ",
            "ZARNEL_ASK_KBDINT": f"({who}) Password: ",
        }

    @property
    def target(self) -> str:
        return f"{self.ssh_user}@{self.ssh_host}:{self.ssh_port}"

    def __repr__(self) -> str:
        return f"<ssh {self.target} -> {self.host}:{self.port}>"

    def command(self, control_path: str, program: str = "ssh") -> list[str]:
        """The ssh command line: options only, never a secret. ssh logs in
        and listens on its control socket ``control_path`` (made 0600), which
        takes each connection to forward."""
        methods = []
        if self.key_file:
            methods.append("publickey")
        if self.password:
            methods += ["password", "keyboard-interactive"]
        options = {
            "ServerAliveInterval": "10",
            "ServerAliveCountMax": "3",
            "ConnectTimeout": str(max(1, int(self.timeout))),
            "StrictHostKeyChecking": "yes" if self.strict_host_key else "accept-new",
            # Without a secret to give, fail at once instead of prompting.
            "BatchMode": "no" if self.secrets else "yes",
            "NumberOfPasswordPrompts": "1",
            "ControlMaster": "yes",
            "ControlPersist": "no",
        }
        if CIPHERS:
            options["Ciphers"] = CIPHERS
        if self.known_hosts:
            options["UserKnownHostsFile"] = self.known_hosts
        if methods:
            options["PreferredAuthentications"] = ",".join(methods)
        if self.key_file:
            options["IdentitiesOnly"] = "yes"
            options["IdentityFile"] = self.key_file
        argv = [program, "-N", "-T", "-F", "none", "-p", str(self.ssh_port), "-l", self.ssh_user]
        argv += ["-S", control_path]
        for name, value in options.items():
            argv += ["-o", f"{name}={value}"]
        return [*argv, "--", self.ssh_host]


def secret(value: Any) -> str | None:
    if value is None or value == "":
        return None
    text = str(value)
    if "\n" in text or "\r" in text:
        raise ValueError("ssh tunnel: a password or passphrase cannot hold a line break")
    return text
