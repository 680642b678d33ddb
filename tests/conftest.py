from __future__ import annotations

import gc
import os

import pytest
from hypothesis import settings

from tests.fakes import FakeMinio, RecordingLog

# Generated cases: bounded so that the suite stays fast, no deadline because
# the machines are shared and noisy, and no example database in the tree (a
# failure prints the seed that reproduces it). The default draws the same
# cases on every run, so CI is repeatable; HYPOTHESIS_PROFILE=thorough explores
# ten times as far with fresh cases.
settings.register_profile("zarnel", max_examples=100, deadline=None, database=None,
                          print_blob=True, derandomize=True)  # fmt: skip
settings.register_profile(
    "thorough", parent=settings.get_profile("zarnel"), max_examples=1000, derandomize=False
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "zarnel"))

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


# nanobind's leak check counts the instances still alive when the interpreter
# has finished; CPython does not promise to free everything by then. What the
# tests themselves keep would be counted too: the fake's record of its
# instances, and the traceback that an exception held by a test (a parameter,
# a fake's prepared error) carries from its last raise, with the frames and
# the clients in them. A reference leaked by the module still fails the run.
def pytest_sessionfinish(session):
    FakeMinio.instances.clear()
    for obj in gc.get_objects():
        if isinstance(obj, BaseException):
            obj.__traceback__ = None
    gc.collect()
