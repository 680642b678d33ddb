"""End to end against a local SeaweedFS server: each operation against the
SDK called directly for the same work, alternated in one run; boto3's
transfer manager on the large file is a reference point, without a goal."""

from __future__ import annotations

import os
import uuid

from bench import common
from bench.common import Goal
from zarnel.content_type import get_content_type

TREE_FILES = 500
TREE_FILE_SIZE = 4 * 1024
GOAL = Goal("direct time / ours", ">=", 0.97, "")


def direct_upload_dir(sdk, bucket: str, root, prefix: str) -> None:
    for name in os.listdir(root):
        object_name = f"{prefix}/{name}"
        ctype = get_content_type(object_name)
        sdk.fput_object(bucket, object_name, os.path.join(root, name), content_type=ctype,
                        num_parallel_uploads=3)  # fmt: skip


def direct_download_dir(sdk, bucket: str, prefix: str, target) -> None:
    for item in sdk.list_objects(bucket, prefix=prefix + "/", recursive=True):
        rest = item.object_name[len(prefix) + 1 :]
        if rest and "/" not in rest:
            sdk.fget_object(bucket, item.object_name, os.path.join(target, rest))


def boto3_client(server):
    import boto3
    from botocore.config import Config

    config = Config(s3={"addressing_style": "path"}, retries={"max_attempts": 1})
    return boto3.client("s3", endpoint_url=f"http://{server.endpoint}", region_name="us-east-1",
                        aws_access_key_id=server.access_key,
                        aws_secret_access_key=server.secret_key, config=config)  # fmt: skip


def run_end_to_end(server, quick: bool = False) -> dict:
    """`server`: a running S3 server (tools.s3servers)."""
    size_mib = 64 if quick else 384
    repeat, down_repeat, tree_repeat = (2, 2, 1) if quick else (13, 25, 7)
    with common.workdir("e2e") as work:
        sdk, ours, bucket = common.sdk_for(server), common.store(server), f"e2e-{uuid.uuid4().hex}"
        sdk.make_bucket(bucket)
        large, out = str(work / "large.bin"), str(work / "large.out")
        common.write_large(work / "large.bin", size_mib)
        # One folder: _download_dir takes one level, so the tree serves both ways.
        tree = work / "tree"
        common.write_tree(tree, common.file_names(TREE_FILES), TREE_FILE_SIZE)
        ctype = get_content_type("large.bin")
        # Not timed: the server allocates its volumes on the first writes.
        sdk.fput_object(bucket, "large.bin", large, content_type=ctype)
        sdk.fget_object(bucket, "large.bin", out)
        uploads = {
            "ours": lambda: ours._upload_file(bucket, "large.bin", large, 3),
            "direct": lambda: sdk.fput_object(bucket, "large.bin", large, content_type=ctype,
                                              num_parallel_uploads=3),
        }  # fmt: skip
        (up,) = common.interleaved(uploads, repeat, lambda who, _: common.timed(uploads[who]))
        getters = {"ours": ours._download_file, "direct": sdk.fget_object}

        def download(who: str, i: int) -> float:
            seconds = common.timed(getters[who], bucket, "large.bin", out)
            assert os.path.getsize(out) == os.path.getsize(large)
            os.unlink(out)
            return seconds

        (down,) = common.interleaved(getters, down_repeat, download)
        # Not timed: every timed run then replaces existing objects, so the
        # side that goes first is not the one that creates them.
        direct_upload_dir(sdk, bucket, tree, "tree")
        tree_up = {
            "ours": lambda: ours._upload_dir(bucket, str(tree), 3),
            "direct": lambda: direct_upload_dir(sdk, bucket, tree, "tree"),
        }
        tree_down = {
            "ours": lambda target: ours._download_dir(bucket, "tree", str(target)),
            "direct": lambda target: direct_download_dir(sdk, bucket, "tree", target),
        }

        def download_tree(who: str, i: int) -> float:
            target = common.fresh_dir(work / "tree.out")
            seconds = common.timed(tree_down[who], target)
            assert len(os.listdir(target)) == TREE_FILES
            return seconds

        up_dir, down_dir = common.interleaved(
            tree_up, tree_repeat, lambda who, _: common.timed(tree_up[who]), download_tree
        )
        # boto3's transfer manager on the same file and server (reference).
        boto = boto3_client(server)
        b_up, b_down = [], []
        for _ in range(2 if quick else 3):
            b_up.append(common.timed(boto.upload_file, large, bucket, "boto.bin"))
            b_down.append(common.timed(boto.download_file, bucket, "boto.bin", out))
            os.unlink(out)

    mib = float(size_mib)
    table = [["operation", "ours s", "direct s", "MiB/s ours", "direct", "reps"]]
    rows, goals = [], []
    for name, samples, unit in (
        (f"_upload_file ({size_mib} MiB, parallel 3)", up, mib),
        (f"_download_file ({size_mib} MiB)", down, mib),
        (f"_upload_dir ({TREE_FILES} x 4 KiB)", up_dir, None),
        (f"_download_dir ({TREE_FILES} x 4 KiB)", down_dir, None),
    ):
        o, d = common.median(samples["ours"]), common.median(samples["direct"])
        ratio = common.paired(samples["direct"], samples["ours"])
        # The spread of the paired ratios: how noisy the machine was.
        row = {"operation": name, "ours_s": o, "direct_s": d, "ratio": ratio["median"]}
        row.update(ratio_range=ratio["range"], repetitions=len(samples["ours"]))
        rows.append(row | ({"ours_mib_s": unit / o, "direct_mib_s": unit / d} if unit else {}))
        rates = [f"{unit / o:.0f}", f"{unit / d:.0f}"] if unit else ["", ""]
        table.append([name, f"{o:.3f}", f"{d:.3f}", *rates, len(samples["ours"])])
        goals.append(GOAL.grade(ratio["median"], f"end to end, {name}", common.span(ratio, ".3f")))
    boto3 = {"upload_mib_s": mib / common.median(b_up)}
    boto3["download_mib_s"] = mib / common.median(b_down)
    shown = common.report(
        "End to end against SeaweedFS (medians; ratio = direct SDK time / our time)",
        table,
        f"reference, boto3 on the same {size_mib} MiB file: upload_file "
        f"{boto3['upload_mib_s']:.0f} MiB/s, download_file {boto3['download_mib_s']:.0f} MiB/s "
        f"(medians of {len(b_up)})",
        goals=goals,
    )
    figures = {"file_mib": mib, "tree_files": TREE_FILES, "tree_file_kib": TREE_FILE_SIZE // 1024}
    return {**figures, "rows": rows, "boto3": {**boto3, "repetitions": len(b_up)}, "report": shown}
