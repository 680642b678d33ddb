"""Bucket lifecycle, contents listing and policy query against a real server.

What the local servers do differently from MinIO, and how the tests adapt:
- SeaweedFS accepts a region on creation but keeps none (GetBucketLocation
  answers the default region), so the region is checked elsewhere only.
- SeaweedFS removes a bucket that still holds objects, so the refusal is
  checked elsewhere only.
- SeaweedFS stores a policy in its own JSON form, so the policy read back is
  compared as JSON there (the operation still returns the SDK's text).
- moto files a bucket made in another region than the default in a separate
  partition: a client without a region does not see it in list_buckets.
"""

from __future__ import annotations

import io
import json
import uuid

import minio
import pytest
from minio.datatypes import Bucket
from minio.error import S3Error

from tests.fakes import RecordingLog
from zarnel.messages import BUCKET_EXISTS, BUCKET_MISSING, NO_POLICY

FIELDS = ["bucket_name", "object_name", "last_modified", "etag", "size", "content_type"]


@pytest.fixture
def log(store) -> RecordingLog:
    store._log = RecordingLog()
    return store._log


def region_of(s3_server, name: str) -> str:
    # A fresh client asks the server (GetBucketLocation) rather than its cache.
    fresh = minio.Minio(s3_server.endpoint, access_key=s3_server.access_key,
                        secret_key=s3_server.secret_key, secure=False)  # fmt: skip
    return fresh._get_region(name)


def has_object_lock(sdk: minio.Minio, name: str) -> bool:
    try:
        sdk.get_object_lock_config(name)
    except S3Error as error:
        if error.code == "ObjectLockConfigurationNotFoundError":
            return False
        raise
    return True


def put(sdk: minio.Minio, bucket: str, name: str, data: bytes, content_type: str) -> None:
    sdk.put_object(bucket, name, io.BytesIO(data), len(data), content_type=content_type)


class TestCreateBucket:
    def test_defaults_region_and_no_lock(self, s3_server, store, log, sdk, bucket_name):
        assert store._create_bucket(bucket_name) is True
        assert sdk.bucket_exists(bucket_name)
        assert not has_object_lock(sdk, bucket_name)
        if s3_server.kind != "seaweedfs":  # SeaweedFS keeps no region
            assert region_of(s3_server, bucket_name) == "cn-north-1"
        assert log.warnings == []

    def test_existing_bucket_is_soft(self, store, log, sdk, bucket):
        assert store._create_bucket(bucket, "us-east-1", True) is False
        assert log.warnings == [BUCKET_EXISTS]
        assert not has_object_lock(sdk, bucket)

    def test_object_lock(self, store, log, sdk, bucket_name):
        assert store._create_bucket(bucket_name, object_lock=True) is True
        assert has_object_lock(sdk, bucket_name)
        assert log.warnings == []

    def test_bad_name_error_reaches_the_caller(self, store, log):
        with pytest.raises(ValueError, match="bucket name ab"):
            store._create_bucket("ab")
        assert log.warnings == []


def test_bucket_list_is_the_sdks_list(store, sdk, bucket):
    # Made in the default region: moto lists other regions' buckets only to
    # a client of that region.
    buckets = store._bucket_list()
    assert isinstance(buckets, list)
    assert all(isinstance(b, Bucket) for b in buckets)
    assert bucket in [b.name for b in buckets]
    assert [b.name for b in buckets] == [b.name for b in sdk.list_buckets()]


class TestRemoveBucket:
    def test_empty_bucket_is_removed(self, store, log, sdk, bucket):
        assert store._remove_bucket(bucket) is True
        assert not sdk.bucket_exists(bucket)
        assert log.warnings == []

    def test_missing_bucket_is_soft(self, store, log, bucket_name):
        assert store._remove_bucket(bucket_name) is False
        assert log.warnings == [BUCKET_MISSING]

    def test_bucket_holding_objects_is_refused_by_the_store(self, s3_server, store, log, sdk,
                                                            bucket):  # fmt: skip
        if s3_server.kind == "seaweedfs":
            pytest.skip("SeaweedFS removes a bucket that still holds objects")
        put(sdk, bucket, "keep.txt", b"x", "text/plain")
        with pytest.raises(S3Error) as raised:
            store._remove_bucket(bucket)
        assert raised.value.code == "BucketNotEmpty"
        assert sdk.bucket_exists(bucket)
        assert [o.object_name for o in sdk.list_objects(bucket)] == ["keep.txt"]
        assert log.warnings == []


class TestListFiles:
    NAMES = ["docs/a.txt", "docs/sub/deep/c.json", "docs2/b.txt", "other.txt"]

    @pytest.fixture
    def filled(self, sdk, bucket):
        for i, name in enumerate(reversed(self.NAMES)):
            put(sdk, bucket, name, b"z" * i, "application/json")
        return bucket

    def test_records_match_the_stores_items(self, store, sdk, filled):
        records = store._bucket_list_files(filled, "docs")
        items = list(sdk.list_objects(filled, prefix="docs", recursive=True))
        assert [r["object_name"] for r in records] == ["docs/a.txt", "docs/sub/deep/c.json",
                                                       "docs2/b.txt"]  # fmt: skip
        assert [list(r) for r in records] == [FIELDS] * 3
        for record, item in zip(records, items, strict=True):
            assert record == {
                "bucket_name": filled,
                "object_name": item.object_name,
                "last_modified": item.last_modified.strftime("%Y-%m-%d %H:%M:%S.%f"),
                "etag": item.etag,
                "size": item.size,
                "content_type": item.content_type,
            }
        assert [r["size"] for r in records] == [3, 2, 1]

    @pytest.mark.parametrize(
        ("prefix", "expected"),
        [("", NAMES), ("docs/", NAMES[:2]), ("docs/sub", NAMES[1:2]), ("nothing", [])],
    )
    def test_prefixes(self, store, filled, prefix, expected):
        assert [r["object_name"] for r in store._bucket_list_files(filled, prefix)] == expected

    def test_empty_bucket(self, store, bucket):
        assert store._bucket_list_files(bucket) == []

    def test_missing_bucket_error_reaches_the_caller(self, store, bucket_name):
        with pytest.raises(S3Error) as raised:
            store._bucket_list_files(bucket_name)
        assert raised.value.code == "NoSuchBucket"


class TestBucketPolicy:
    def test_bucket_without_policy(self, store, log, bucket):
        assert store._bucket_policy(bucket) is None
        assert log.warnings == [NO_POLICY]

    def test_missing_bucket(self, store, log):
        assert store._bucket_policy(f"zt-missing-{uuid.uuid4().hex[:12]}") is None
        assert log.warnings == [NO_POLICY]

    def test_policy_read_back(self, s3_server, store, log, sdk, bucket):
        policy = json.dumps({
            "Version": "2012-10-17",
            "Statement": [{"Effect": "Allow", "Principal": {"AWS": ["*"]},
                           "Action": "s3:GetObject", "Resource": f"arn:aws:s3:::{bucket}/*"}],
        }, separators=(",", ":"))  # fmt: skip
        sdk.set_bucket_policy(bucket, policy)
        result = store._bucket_policy(bucket)
        assert result == sdk.get_bucket_policy(bucket)
        if s3_server.kind == "seaweedfs":  # stores its own rendering of the JSON
            assert json.loads(result) == json.loads(policy)
        else:
            assert result == policy
        assert log.warnings == []
