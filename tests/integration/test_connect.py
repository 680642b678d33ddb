"""The connection against a real server."""

from __future__ import annotations

import minio
import pytest


def test_connect_reaches_the_store(store, sdk, bucket):
    assert isinstance(store._engine, minio.Minio)
    names = [b.name for b in store._engine.list_buckets()]
    assert bucket in names


def test_wrong_secret_fails_at_the_first_request(s3_server, s3_config):
    if s3_server.kind == "moto":
        pytest.skip("moto checks no signatures")
    from zarnel.minio_main import ZarnelMinioMain

    instance = ZarnelMinioMain({**s3_config, "password": "wrong-secret-value"})
    instance._connect()  # creating the client contacts nothing
    with pytest.raises(minio.error.S3Error) as caught:
        instance._engine.list_buckets()
    assert "wrong-secret-value" not in str(caught.value)
