"""Calls that the generated stubs must reject (tests/unit/test_stubs.py).

mypy checks this file; each line marked ``# wrong: CODE`` must be reported with
that error code, and no other line.
"""

from __future__ import annotations

from pathlib import Path

from zarnel.minio_main import ZarnelMinioMain


def one_argument(name: str) -> None:
    pass


def wrong_calls(store: ZarnelMinioMain) -> None:
    ZarnelMinioMain(["host", "port"])  # wrong: arg-type
    store._create_bucket(42)  # wrong: arg-type
    store._create_bucket("b", object_lock="yes")  # wrong: arg-type
    store._upload_file("b", "o", 3.5)  # wrong: arg-type
    store._upload_dir("b", Path("site"), 3, None, 8)  # wrong: call-arg
    store._upload_dir("b", Path("site"), workers="8")  # wrong: arg-type
    store._download_dir("b", "logs", "out", progress=one_argument)  # wrong: arg-type
    store._get_url("b", "o", days=1.5)  # wrong: arg-type
    store._remove_objects("b", [1, 2])  # wrong: list-item
    store._download_files("b", [("o", "out/o", 4)])  # wrong: list-item
    record = store._bucket_list_files("b")[0]
    record["owner"]  # wrong: typeddict-item
    size: str = record["size"]  # wrong: assignment
    text: bytes = store._download_flow("b", "o")  # wrong: assignment
    found: bool = store._bucket_policy("b")  # wrong: assignment
    print(size, text, found)
