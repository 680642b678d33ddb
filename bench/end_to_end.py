"""End to end against a local SeaweedFS server.

Each operation of ZarnelMinioMain against the SDK called directly for the
same work, alternated in one run; the ratio is direct time / our time, the
median over the repetitions. boto3's transfer manager against the same
server is printed as a reference point for the large file.
"""

from __future__ import annotations

import os
import shutil
import statistics
import tempfile
import time
import uuid
from pathlib import Path

import minio

from zarnel.content_type import get_content_type
from zarnel.minio_main import ZarnelMinioMain

TREE_FILES = 500
TREE_FILE_SIZE = 4 * 1024


def timed(fn, *args, **kwargs) -> float:
    start = time.perf_counter()
    fn(*args, **kwargs)
    return time.perf_counter() - start


def scratch_dir() -> str | None:
    """Memory-backed scratch space when there is room: writing the
    downloads to disk would leave write-back to land on later samples."""
    try:
        status = os.statvfs("/dev/shm")
    except OSError:
        return None
    return "/dev/shm" if status.f_bavail * status.f_frsize > 4 << 30 else None


def write_large(path: Path, size: int) -> None:
    # Incompressible, so no layer can shortcut the bytes.
    chunk = os.urandom(1 << 20)
    with open(path, "wb") as file:
        for _ in range(size // len(chunk)):
            file.write(chunk)


def write_tree(root: Path) -> None:
    # 500 files in one folder: _download_dir takes one level, so the same
    # tree serves both directions.
    root.mkdir(parents=True)
    for i in range(TREE_FILES):
        (root / f"f{i:04d}.bin").write_bytes(os.urandom(TREE_FILE_SIZE))


def sdk_for(server) -> minio.Minio:
    """The SDK client for a server of tools.s3servers, for arranging and checking."""
    return minio.Minio(server.endpoint, access_key=server.access_key,
                       secret_key=server.secret_key, secure=False)  # fmt: skip


def direct_upload_dir(sdk: minio.Minio, bucket: str, root: Path, prefix: str) -> None:
    for name in os.listdir(root):
        object_name = f"{prefix}/{name}"
        sdk.fput_object(
            bucket,
            object_name,
            os.path.join(root, name),
            content_type=get_content_type(object_name),
            num_parallel_uploads=3,
        )


def direct_download_dir(sdk: minio.Minio, bucket: str, prefix: str, target: Path) -> None:
    for item in sdk.list_objects(bucket, prefix=prefix + "/", recursive=True):
        rest = item.object_name[len(prefix) + 1 :]
        if rest and "/" not in rest:
            sdk.fget_object(bucket, item.object_name, os.path.join(target, rest))


def boto3_client(server):
    import boto3
    from botocore.config import Config

    return boto3.client(
        "s3",
        endpoint_url=f"http://{server.endpoint}",
        aws_access_key_id=server.access_key,
        aws_secret_access_key=server.secret_key,
        region_name="us-east-1",
        config=Config(s3={"addressing_style": "path"}, retries={"max_attempts": 1}),
    )


def run_end_to_end(server, quick: bool = False) -> dict:
    """`server`: a running S3 server (tools.s3servers)."""
    size_mib = 64 if quick else 384
    repeat = 2 if quick else 13
    down_repeat = 2 if quick else 25
    tree_repeat = 1 if quick else 7
    work = Path(tempfile.mkdtemp(prefix="zarnel-bench-", dir=scratch_dir()))
    try:
        sdk = sdk_for(server)
        ours = ZarnelMinioMain(
            {
                "host": "127.0.0.1",
                "port": server.port,
                "user": server.access_key,
                "password": server.secret_key,
            }
        )
        ours._connect()
        bucket = f"bench-{uuid.uuid4().hex[:8]}"
        sdk.make_bucket(bucket)

        large = work / "large.bin"
        write_large(large, size_mib << 20)
        tree = work / "tree"
        write_tree(tree)

        def fresh(name: str) -> Path:
            target = work / name
            shutil.rmtree(target, ignore_errors=True)
            target.mkdir()
            return target

        up, down = {"ours": [], "direct": []}, {"ours": [], "direct": []}
        ctype = get_content_type("large.bin")
        # Not timed: the server allocates its volumes on the first writes.
        sdk.fput_object(bucket, "large.bin", str(large), content_type=ctype)
        sdk.fget_object(bucket, "large.bin", str(work / "large.out"))
        for i in range(repeat):
            # Alternate who goes first, so a drift in the machine's load
            # favours neither side.
            order = ("ours", "direct") if i % 2 == 0 else ("direct", "ours")
            for who in order:
                if who == "ours":
                    up[who].append(
                        timed(lambda: ours._upload_file(bucket, "large.bin", str(large), 3))
                    )
                else:
                    up[who].append(
                        timed(
                            lambda: sdk.fput_object(
                                bucket,
                                "large.bin",
                                str(large),
                                content_type=ctype,
                                num_parallel_uploads=3,
                            )
                        )
                    )
        for i in range(down_repeat):
            order = ("ours", "direct") if i % 2 == 0 else ("direct", "ours")
            for who in order:
                out = work / "large.out"
                if who == "ours":
                    down[who].append(timed(ours._download_file, bucket, "large.bin", str(out)))
                else:
                    down[who].append(timed(sdk.fget_object, bucket, "large.bin", str(out)))
                if i == 0 and who == order[0]:
                    assert out.stat().st_size == large.stat().st_size
                out.unlink()

        up_dir, down_dir = {"ours": [], "direct": []}, {"ours": [], "direct": []}
        # Not timed: every timed run then replaces existing objects, so the
        # side that goes first is not the one that creates them.
        direct_upload_dir(sdk, bucket, tree, "tree")
        for i in range(tree_repeat):
            order = ("ours", "direct") if i % 2 == 0 else ("direct", "ours")
            for who in order:
                if who == "ours":
                    up_dir[who].append(timed(lambda: ours._upload_dir(bucket, str(tree), 3)))
                else:
                    up_dir[who].append(timed(lambda: direct_upload_dir(sdk, bucket, tree, "tree")))
            for who in order:
                target = fresh("tree.out")
                if who == "ours":
                    down_dir[who].append(timed(ours._download_dir, bucket, "tree", str(target)))
                else:
                    down_dir[who].append(timed(direct_download_dir, sdk, bucket, "tree", target))
                if i == 0:
                    assert len(os.listdir(target)) == TREE_FILES

        # boto3's transfer manager on the same file and server (reference).
        boto = boto3_client(server)
        b_up, b_down = [], []
        for _ in range(2 if quick else 3):
            b_up.append(timed(lambda: boto.upload_file(str(large), bucket, "boto.bin")))
            out = work / "boto.out"
            b_down.append(timed(boto.download_file, bucket, "boto.bin", str(out)))
            out.unlink()

        mib = large.stat().st_size / 2**20

        def row(name, samples, repetitions, unit_mib=None):
            o, d = statistics.median(samples["ours"]), statistics.median(samples["direct"])
            ratios = [dd / oo for oo, dd in zip(samples["ours"], samples["direct"], strict=True)]
            entry = {
                "operation": name,
                "ours_s": o,
                "direct_s": d,
                "ratio": statistics.median(ratios),
                # The spread of the paired ratios: how noisy the machine was.
                "ratio_range": [min(ratios), max(ratios)],
                "repetitions": repetitions,
                "goal_met": statistics.median(ratios) >= 0.97,
            }
            if unit_mib:
                entry["ours_mib_s"] = unit_mib / o
                entry["direct_mib_s"] = unit_mib / d
            return entry

        return {
            "file_mib": mib,
            "tree_files": TREE_FILES,
            "tree_file_kib": TREE_FILE_SIZE // 1024,
            "rows": [
                row(f"_upload_file ({mib:.0f} MiB, parallel 3)", up, repeat, mib),
                row(f"_download_file ({mib:.0f} MiB)", down, down_repeat, mib),
                row(f"_upload_dir ({TREE_FILES} x 4 KiB)", up_dir, tree_repeat),
                row(f"_download_dir ({TREE_FILES} x 4 KiB)", down_dir, tree_repeat),
            ],
            "boto3": {
                "upload_mib_s": mib / statistics.median(b_up),
                "download_mib_s": mib / statistics.median(b_down),
                "repetitions": len(b_up),
            },
        }
    finally:
        shutil.rmtree(work, ignore_errors=True)
