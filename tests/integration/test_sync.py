"""_sync_up and _sync_down against real servers: only what changed moves,
deletions stay inside the prefix and come last, failures raise SyncError, a
damaged download is never kept, and delete=True does not wipe a side by
default."""

from __future__ import annotations

import io
import json
import os
import time
import zlib

import pytest
import urllib3
from minio.error import S3Error

from tests.faultproxy import FaultProxy
from zarnel import SyncError
from zarnel.minio_main import ZarnelMinioMain

MIB = 1024 * 1024
# Names whose key order differs from a plain sort of paths: "a-b" < "a/x" <
# "a0" as keys, while "a" < "a-b" < "a0" as folder entries.
TREE = {"a-b": b"1", "a/x": b"22", "a/y/z": b"333", "a0": b"4444", "b.txt": b"x" * 100,
        "\u00e4/\u00fc": b"umlaut", "a b+c%20": b"quoted"}  # fmt: skip


def make_tree(root, files=TREE):
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def objects(sdk, bucket, prefix=""):
    return {o.object_name: o for o in sdk.list_objects(bucket, prefix=prefix, recursive=True)}


def age(root, seconds=3600):
    """Every file under ``root`` made ``seconds`` older."""
    for path in root.rglob("*"):
        if path.is_file():
            stat = path.stat()
            os.utime(path, (stat.st_atime - seconds, stat.st_mtime - seconds))


def touch(path):
    """A time newer than the upload that just ended, by more than a second."""
    os.utime(path, (time.time() + 5,) * 2)


def proxied(s3_server, proxy) -> ZarnelMinioMain:
    host, _, port = proxy.endpoint.rpartition(":")
    store = ZarnelMinioMain({"host": host, "port": int(port), "user": s3_server.access_key,
                             "password": s3_server.secret_key})  # fmt: skip
    store._connect()
    return store


def test_round_trip_moves_each_file_once_and_keeps_times(store, sdk, bucket, tmp_path):
    make_tree(tmp_path / "src")
    age(tmp_path / "src")
    seen = []
    report = store._sync_up(bucket, tmp_path / "src", progress=lambda n, s: seen.append((n, s)))
    assert (report.copied, report.skipped, report.failed) == (len(TREE), 0, {})
    assert report.bytes == sum(map(len, TREE.values()))
    assert sorted(seen) == sorted((f"src/{n}", len(d)) for n, d in TREE.items())
    stored = objects(sdk, bucket)
    assert set(stored) == {f"src/{n}" for n in TREE}

    again = store._sync_up(bucket, tmp_path / "src", workers=1)
    assert (again.copied, again.skipped) == (0, len(TREE))

    down = store._sync_down(bucket, "src", tmp_path / "back")
    assert (down.copied, down.failed) == (len(TREE), {})
    for name, data in TREE.items():
        path = tmp_path / "back" / name
        assert path.read_bytes() == data
        assert path.stat().st_mtime == stored[f"src/{name}"].last_modified.timestamp()
    assert store._sync_down(bucket, "src", tmp_path / "back").copied == 0
    # The downloaded tree is as new as the objects: nothing goes up either.
    assert store._sync_up(bucket, tmp_path / "back", "src").copied == 0


def test_a_listing_of_many_pages_meets_the_tree(store, bucket, tmp_path):
    names = [f"d{n % 3}/f{n:04d}" for n in range(2100)]
    make_tree(tmp_path / "many", dict.fromkeys(names, b""))
    age(tmp_path / "many")
    store._upload_dir(bucket, tmp_path / "many", workers=16)
    again = store._sync_up(bucket, tmp_path / "many")
    assert (again.copied, again.skipped, again.failed) == (0, len(names), {})
    planned = store._sync_down(bucket, "many", tmp_path / "down", dry_run=True)
    assert sorted(planned.plan) == sorted(("copy", f"many/{n}") for n in names)


def test_a_changed_file_is_copied_and_a_touched_one_only_by_time(store, sdk, bucket, tmp_path):
    big = bytes(range(256)) * (24 * 1024)  # 6 MiB: stored in two parts
    make_tree(tmp_path / "src", {**TREE, "big.bin": big})
    age(tmp_path / "src")
    store._sync_up(bucket, tmp_path / "src")
    assert objects(sdk, bucket)["src/big.bin"].etag.strip('"').endswith("-2")

    (tmp_path / "src" / "a0").write_bytes(b"5555")  # same size, newer
    touch(tmp_path / "src" / "a0")
    changed = store._sync_up(bucket, tmp_path / "src")
    assert (changed.copied, changed.skipped) == (1, len(TREE))
    assert sdk.get_object(bucket, "src/a0").read() == b"5555"

    # Touched but unchanged: the time says copy, the content says skip.
    for path in (tmp_path / "src").rglob("*"):
        touch(path)
    planned = store._sync_up(bucket, tmp_path / "src", dry_run=True)
    assert (len(planned.plan), planned.copied) == (len(TREE) + 1, 0)
    checked = store._sync_up(bucket, tmp_path / "src", compare="checksum")
    assert (checked.copied, checked.skipped) == (0, len(TREE) + 1)
    (tmp_path / "src" / "big.bin").write_bytes(big[:-1] + b"!")
    checked = store._sync_up(bucket, tmp_path / "src", compare="checksum")
    assert checked.copied == 1
    assert sdk.get_object(bucket, "src/big.bin").read()[-1:] == b"!"

    store._sync_down(bucket, "src", tmp_path / "back")
    for path in (tmp_path / "back").rglob("*"):
        os.utime(path, (1, 1))  # older than every object: mtime would copy
    assert store._sync_down(bucket, "src", tmp_path / "back", compare="checksum").copied == 0


def test_delete_stays_inside_the_prefix_within_max_delete(store, sdk, bucket, tmp_path):
    make_tree(tmp_path / "src")
    for name in ("src/old", "src/a/old", "srcx/keep", "sr"):
        sdk.put_object(bucket, name, io.BytesIO(b"o"), 1)
    before = set(objects(sdk, bucket))

    with pytest.raises(SyncError, match="exceed max_delete=1") as raised:
        store._sync_up(bucket, tmp_path / "src", delete=True, max_delete=1)
    assert raised.value.report.copied == len(TREE)  # the copies stand
    assert set(objects(sdk, bucket)) == before | {f"src/{n}" for n in TREE}

    dry = store._sync_up(bucket, tmp_path / "src", delete=True, dry_run=True)
    assert sorted(dry.plan) == [("delete", "src/a/old"), ("delete", "src/old")]
    assert set(objects(sdk, bucket)) == before | {f"src/{n}" for n in TREE}

    done = store._sync_up(bucket, tmp_path / "src", delete=True, max_delete=2)
    assert (done.deleted, done.copied) == (2, 0)
    assert set(objects(sdk, bucket)) == {"srcx/keep", "sr"} | {f"src/{n}" for n in TREE}

    # Down: the extra file under the folder goes, its neighbour stays.
    (tmp_path / "back" / "a").mkdir(parents=True)
    (tmp_path / "back" / "a" / "extra").write_bytes(b"e")
    (tmp_path / "backx").mkdir()
    (tmp_path / "backx" / "keep").write_bytes(b"k")
    down = store._sync_down(bucket, "src", tmp_path / "back", delete=True, max_delete=1)
    assert (down.deleted, down.copied) == (1, len(TREE))
    assert not (tmp_path / "back" / "a" / "extra").exists()
    assert (tmp_path / "backx" / "keep").exists()


def test_a_failure_in_the_middle_raises_sync_error_and_deletes_nothing(
    s3_server, sdk, bucket, tmp_path
):
    make_tree(tmp_path / "src")
    sdk.put_object(bucket, "src/old", io.BytesIO(b"o"), 1)
    with FaultProxy(s3_server.endpoint) as proxy:
        store = proxied(s3_server, proxy)
        proxy.error(403, "AccessDenied", times=None,
                    when=lambda r: r.method == "PUT" and r.path.endswith("/src/a/x"))  # fmt: skip
        with pytest.raises(SyncError) as raised:
            store._sync_up(bucket, tmp_path / "src", delete=True, max_delete=1, workers=4)
    report = raised.value.report
    assert list(report.failed) == ["src/a/x"]
    assert raised.value.__cause__ is report.failed["src/a/x"]
    assert isinstance(raised.value.__cause__, S3Error)
    assert "AccessDenied" in json.loads(json.dumps(report.as_dict()))["failed"]["src/a/x"]
    assert (report.copied, report.deleted) == (len(TREE) - 1, 0)
    assert set(objects(sdk, bucket)) == {"src/old"} | {f"src/{n}" for n in TREE} - {"src/a/x"}


def test_delete_never_wipes_a_side_unless_max_delete_allows_it(store, sdk, bucket, tmp_path):
    make_tree(tmp_path / "src")
    store._sync_up(bucket, tmp_path / "src")
    store._sync_down(bucket, "src", tmp_path / "back")
    (tmp_path / "empty").mkdir()
    make_tree(tmp_path / "other", {"new": b"n"})
    before = set(objects(sdk, bucket))

    refused = [  # a mistyped prefix, an emptied folder, a tree sharing no name
        (lambda **kw: store._sync_down(bucket, "scr", tmp_path / "back", **kw), "empty"),
        (lambda **kw: store._sync_up(bucket, tmp_path / "empty", "src", **kw), "empty"),
        (lambda **kw: store._sync_up(bucket, tmp_path / "other", "src", **kw), "no name"),
    ]
    for sync, why in refused:
        for dry_run in (True, False):
            with pytest.raises(SyncError, match=f"{why}.*pass max_delete"):
                sync(delete=True, dry_run=dry_run)
    assert set(objects(sdk, bucket)) == before
    assert sorted(p.name for p in (tmp_path / "back").rglob("*") if p.is_file()) == sorted(
        n.split("/")[-1] for n in TREE
    )

    wiped = store._sync_up(bucket, tmp_path / "empty", "src", delete=True, max_delete=99)
    assert (wiped.deleted, objects(sdk, bucket)) == (len(TREE), {})


def test_a_damaged_download_is_fetched_again_and_never_kept(s3_server, sdk, bucket, tmp_path):
    small, big = os.urandom(4000), os.urandom(6 * MIB)
    sdk.put_object(bucket, "src/small", io.BytesIO(small), len(small))
    # Stored in parts (no MD5 ETag), with the CRC-32 that the engine stores.
    sdk.put_object(bucket, "src/big", io.BytesIO(big), -1, part_size=5 * MIB,
                   metadata={"zarnel-crc32": f"{zlib.crc32(big):08x}"})  # fmt: skip
    with FaultProxy(s3_server.endpoint) as proxy:
        store = proxied(s3_server, proxy)
        for name in ("small", "big"):
            proxy.flip(1000, when=lambda r, n=name: r.method == "GET" and r.path.endswith("/" + n))
        report = store._sync_down(bucket, "src", tmp_path / "down")
        assert report.copied == 2
        assert [(tmp_path / "down" / n).read_bytes() for n in ("small", "big")] == [small, big]

        # Damaged every time: the file fails, the old copy stays, no temporary.
        sdk.put_object(bucket, "src/small", io.BytesIO(small[::-1]), len(small))
        proxy.flip(1000, when=lambda r: r.method == "GET" and r.path.endswith("/src/small"),
                   times=None)  # fmt: skip
        with pytest.raises(SyncError) as raised:
            store._sync_down(bucket, "src", tmp_path / "down", compare="checksum")
    assert isinstance(raised.value.__cause__, urllib3.exceptions.ProtocolError)
    assert list(raised.value.report.failed) == ["src/small"]
    assert sorted(p.name for p in (tmp_path / "down").iterdir()) == ["big", "small"]
    assert (tmp_path / "down" / "small").read_bytes() == small


def test_temporary_files_of_a_copy_are_no_entries(store, bucket, tmp_path):
    # What an interrupted copy leaves (the storage client's and ours) is
    # neither sent up nor deleted.
    make_tree(tmp_path / "src", {"a": b"1", "a.0123abcd.part.minio": b"",
                                 ".zarnel-0123456789abcdef.part": b""})  # fmt: skip
    assert store._sync_up(bucket, tmp_path / "src").copied == 1
    # The object's time on the file, as a download leaves it: else a store that
    # keeps seconds may list "a" as newer when the copy crossed one.
    stored = store._engine.stat_object(bucket, "src/a").last_modified.timestamp()
    os.utime(tmp_path / "src" / "a", (stored, stored))
    make_tree(tmp_path / "src", {"gone": b"2"})
    store._sync_up(bucket, tmp_path / "src")
    (tmp_path / "src" / "gone").unlink()
    planned = store._sync_up(bucket, tmp_path / "src", delete=True, dry_run=True)
    assert planned.plan == [("delete", "src/gone")]

    planned = store._sync_down(bucket, "src", tmp_path / "src", delete=True, dry_run=True)
    assert planned.plan == [("copy", "src/gone")]
