"""ZarnelMinioMain as a type checker sees it: typed helpers around the client.

The types come from the stubs that the build generates (zarnel/minio_main.pyi)
and from zarnel.records. CI runs ``mypy --strict`` on this file
(tests/unit/test_stubs.py); the calls here pass, and wrong-typed calls are
reported (tests/unit/mistyped_calls.py holds some).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from pathlib import Path

from zarnel.minio_main import ZarnelMinioMain
from zarnel.records import ObjectRecord, UploadItem

# The endpoint and keys of `make server`.
LOCAL_STORE = {
    "host": "127.0.0.1",
    "port": 9000,
    "user": "zarnel-test-access",
    "password": "zarnel-test-secret-0123456789",
}


def connect(config: dict[str, object] = LOCAL_STORE) -> ZarnelMinioMain:
    store = ZarnelMinioMain(dict(config))
    store._connect()
    return store


def publish(
    store: ZarnelMinioMain,
    bucket: str,
    site: Path,
    report: Callable[[str, int], object] | None = None,
) -> str:
    """Upload a tree and return a link to its index page, valid for a day."""
    if not store._create_bucket(bucket):
        print(f"{bucket} exists already")
    store._upload_dir(bucket, site, workers=8, progress=report)
    return store._get_url(bucket, f"{site.name}/index.html", days=1)


def largest(records: Iterable[ObjectRecord]) -> ObjectRecord | None:
    """The largest object of a listing (the store may list no size)."""
    sized = [record for record in records if record["size"] is not None]
    return max(sized, key=lambda record: record["size"] or 0, default=None)


def summary(store: ZarnelMinioMain, bucket: str, prefix: str = "") -> str:
    records = store._bucket_list_files(bucket, prefix)
    total = sum(record["size"] or 0 for record in records)
    biggest = largest(records)
    name = biggest["object_name"] if biggest else "-"
    return f"{len(records)} objects, {total} bytes, largest {name}"


def fetch(store: ZarnelMinioMain, bucket: str, prefix: str, into: Path) -> list[Path]:
    """Download the objects directly under `prefix`; return the files written."""
    moved: list[Path] = []

    def note_file(object_name: str, size: int) -> None:
        moved.append(into / object_name.rpartition("/")[2])

    store._download_dir(bucket, prefix, into, workers=4, progress=note_file)
    note: str | None = store._bucket_policy(bucket)
    if note is None:
        print(f"{bucket} has no policy")
    store._remove_objects(bucket, [f"{prefix}/old.txt"])
    return moved


def upload_changed(store: ZarnelMinioMain, bucket: str, site: Path, since: float) -> int:
    """Upload the files of a tree changed after `since` (a time.time() value)."""
    planned: list[UploadItem] = []
    store._plan_upload_dir(bucket, site, add=planned.append)
    changed = [item for item in planned if os.stat(item[1]).st_mtime > since]
    store._upload_files(bucket, changed, workers=8)
    return len(changed)
