"""The soak's own checks (tools/soak.py) on SeaweedFS: each sees the fault it
looks for, every kind of round runs whole without damage, and the watchdog
ends a call that hangs."""

from __future__ import annotations

import hashlib
import time

import pytest

from tools import soak

pytestmark = pytest.mark.parametrize("s3_server", ["seaweedfs"], indirect=True)


@pytest.fixture
def small(s3_server, bucket, tmp_path, monkeypatch):
    monkeypatch.setattr(soak, "BUCKET", bucket)
    files = {"a b.bin": b"a" * 3000, "sub dir é/ü+%.bin": b"b" * 5000, "large/c.bin": b"c" * 99}
    tree = {}
    for rel, data in files.items():
        (tmp_path / "tree" / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "tree" / rel).write_bytes(data)
        tree[rel] = (len(data), hashlib.sha256(data).hexdigest())
    checks = soak.Soak(s3_server, tmp_path / "tree", tmp_path, tree, timeout=60)
    checks.prepare()  # stored under ref/ and checked: nothing bad
    return checks


def test_checks_see_wrong_bytes_debris_and_unfinished_uploads(small, sdk, bucket, tmp_path):
    target = tmp_path / "down"
    (target / "sub dir é").mkdir(parents=True)
    (target / "a b.bin").write_bytes(b"a" * 2999 + b"x")  # one byte off
    (target / "sub dir é" / "ü+%.bin.0a1b.part.minio").write_bytes(b"b")
    (target / ".zarnel-0123456789abcdef.part").write_bytes(b"")
    result = soak.Round("tree-down", 1)
    small.check_files(result, target, small.tree, returned=True, moved=set())
    assert {k: len(v) for k, v in result.outcomes.items()} == {"debris": 2, "wrong bytes": 3}

    sdk._create_multipart_upload(bucket, "up/x.bin", {})
    sdk.put_object(bucket, "up/extra", soak.io_of(b""), 0)
    result = soak.Round("tree-up", 1)
    small.check_uploads(result, "up")
    small.check_store(result, "up", {}, returned=True, moved=set())
    assert result.outcomes == {"unfinished uploads": ["upload of 'up/x.bin'"],
                               "debris": ["object 'up/extra'"]}  # fmt: skip
    assert sdk._list_multipart_uploads(bucket).uploads == []


def test_rounds_without_damage_and_the_watchdog(small, monkeypatch):
    monkeypatch.setattr(soak, "RATES", dict.fromkeys(soak.RATES, 0.0))
    for kind in soak.KINDS:
        result = small.run(kind, 3)
        assert (result.outcomes, result.error) == ({}, None), kind
        assert result.requests > 0

    start = time.monotonic()
    assert soak.Watchdog(0.3, lambda: None)(time.sleep, 30) == (None, True)
    assert time.monotonic() - start < 5
