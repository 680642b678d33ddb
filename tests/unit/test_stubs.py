"""The type stubs installed with the module."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

REFERENCE = Path(__file__).parent / "reference" / "minio_main.pyi"


def test_generated_stub_matches_the_reference():
    import zarnel.minio_main

    stub = Path(zarnel.minio_main.__file__).with_name("minio_main.pyi")
    if not stub.exists() and os.environ.get("ZARNEL_STUBS_EXPECTED") == "0":
        pytest.skip("this build generates no stubs")
    assert stub.exists(), "the build installs zarnel/minio_main.pyi"
    assert stub.read_text() == REFERENCE.read_text(), (
        "the operation table changed: review the new stub and, if intended, "
        f"copy {stub} to {REFERENCE}"
    )
    assert (stub.parent / "py.typed").exists()
