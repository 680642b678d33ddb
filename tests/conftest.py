from __future__ import annotations

import pytest

from tests.fakes import FakeMinio, RecordingLog

CONFIG = {"host": "127.0.0.1", "port": 9000, "user": "access", "password": "secret"}


@pytest.fixture
def minio_main():
    from zarnel import minio_main

    return minio_main


@pytest.fixture
def config() -> dict:
    return dict(CONFIG)


@pytest.fixture
def client(minio_main, config):
    """A constructed instance whose storage client and logger are recording fakes."""
    instance = minio_main.ZarnelMinioMain(config)
    instance._engine = FakeMinio()
    instance._log = RecordingLog()
    return instance
