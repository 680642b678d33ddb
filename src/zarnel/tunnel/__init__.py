"""The SSH tunnel's parts; ``zarnel_ssh.ZarnelSSH`` is where to start."""
