"""The SSH tunnel: a local forward made by the OpenSSH client.

``ZarnelSSH(mapping).connect()`` binds 127.0.0.1:<free port> in this process
and starts ``ssh`` as a child process, logged in to
``ssh_user``@``ssh_host``:``ssh_port`` (22 when absent), with its control
socket in a private 0700 folder. Each connection made to the local port is
handed to ssh over that socket, which forwards it to the mapping's
``host``:``port`` (as ``ssh -W`` does for its standard input and output), so
ssh itself reads and writes the connection. It returns a
``ZarnelTunnelVar``: the mapping with ``host`` "127.0.0.1" and ``port`` the
local port. This process holds the port from ``connect()`` to ``close()``,
through every restart of ssh, so no other local user can take it; it accepts
only connections from processes of its own user id (on Linux, from
/proc/net/tcp), and refuses connections at once while ssh is down. The
record keeps the tunnel open; the child is ended when the record is released,
on ``close()`` and at interpreter exit, and also when this process dies (the
kernel signals it, see ``_die_with_parent``). The tunnel belongs to the
process that opened it: in a forked copy of that process, ``close()`` does
nothing.

Secrets (``ssh_password``, ``ssh_rsa_pwd``) never reach a command line or an
environment: ssh asks for them through SSH_ASKPASS, and the helper it runs
reads each from a 0600 file in the private directory, once, and deletes it.
It answers only the exact prompts of OpenSSH's client for the configured
key's passphrase and for the login's password. The files exist only while a
child is logging in.

A tunnel whose child exits while the record lives (the network dropped, the
server restarted) is started again on the same local port, after a delay
that doubles up to a bound, and given up after a bounded number of failed
attempts, or at once when the server refuses the login or its host key
changed; each step is a warning on the "zarnel" logger. Each start makes the
private directory and the helper again when they were removed (logind
removes /run/user/UID when the user's last session ends).

Extra keys: ``ssh_known_hosts`` (the known-hosts file; OpenSSH's default when
absent), ``ssh_strict_host_key`` (true: only hosts already known; default:
OpenSSH's accept-new, which records a new host's key and refuses a changed
one) and ``ssh_timeout`` (seconds to wait for the tunnel, default 20).
"""

from __future__ import annotations

import shutil
from collections.abc import Mapping
from typing import Any

from zarnel.tunnel.askpass import ASKPASS_SCRIPT
from zarnel.tunnel.command import Spec
from zarnel.tunnel.handover import LOCALHOST
from zarnel.tunnel.supervisor import Backoff, SSHTunnelError, Tunnel
from zarnel_var import ZarnelTunnelVar

__all__ = ["ASKPASS_SCRIPT", "Backoff", "SSHTunnelError", "ZarnelSSH"]


class ZarnelSSH:
    """An SSH tunnel described by a configuration mapping (see the module)."""

    #: How a tunnel that went down is restarted.
    backoff = Backoff()
    #: The OpenSSH client to run.
    program = "ssh"

    def __init__(self, mapping: Mapping[str, Any]) -> None:
        self._mapping = dict(mapping)
        self._spec = Spec.from_mapping(self._mapping)

    def __repr__(self) -> str:
        return f"ZarnelSSH({self._spec.target} -> {self._spec.host}:{self._spec.port})"

    def connect(self) -> ZarnelTunnelVar:
        """Open the tunnel; the returned record keeps it open.

        Raises ``SSHTunnelError`` with what ssh said when the tunnel does not
        come up in time; no child is left behind then.
        """
        program = shutil.which(self.program)
        if program is None:
            raise SSHTunnelError(
                f"cannot start ssh tunnel to {self._spec.target}: "
                f"the OpenSSH client {self.program!r} is not installed"
            )
        tunnel = Tunnel(self._spec, self.backoff, program)
        # Until the record's finaliser holds the tunnel, only this ends it.
        try:
            tunnel.open()
            entries = {**self._mapping, "host": LOCALHOST, "port": tunnel.local_port}
            return ZarnelTunnelVar(tunnel, **entries)
        except BaseException:
            tunnel.close()
            raise
