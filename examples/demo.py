"""A round trip with ZarnelMinioMain against a local SeaweedFS server.

python examples/demo.py                       # starts its own server
python examples/demo.py --endpoint host:9000 --access-key K --secret-key S
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from tools.s3servers import External, SeaweedFS  # noqa: E402
from zarnel.minio_main import ZarnelMinioMain  # noqa: E402


def step(text: str) -> None:
    print(f"- {text}", flush=True)


def run(server) -> None:
    host, _, port = server.endpoint.rpartition(":")
    client = ZarnelMinioMain(
        {"host": host, "port": int(port), "user": server.access_key, "password": server.secret_key}
    )
    client._connect()
    step(f"connected to {server.endpoint}")

    bucket = f"zarnel-demo-{uuid.uuid4().hex[:8]}"
    created = client._create_bucket(bucket) if hasattr(client, "_create_bucket") else None
    if created is None:
        client._engine.make_bucket(bucket)
    step(f"created bucket {bucket}")
    names = [b.name for b in client._engine.list_buckets()]
    step(f"buckets on the server: {', '.join(names)}")
    client._engine.remove_bucket(bucket)
    step(f"removed bucket {bucket}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--endpoint", help="host:port of an existing S3 server")
    parser.add_argument("--access-key")
    parser.add_argument("--secret-key")
    args = parser.parse_args(argv)

    with contextlib.ExitStack() as stack:
        if args.endpoint:
            server = External(args.endpoint, args.access_key or "", args.secret_key or "")
            server.start()
        else:
            step("starting a local SeaweedFS server")
            server = stack.enter_context(SeaweedFS())
        run(server)
        step("stopping")
    print("demo finished: every step succeeded")
    return 0


if __name__ == "__main__":
    sys.exit(main())
