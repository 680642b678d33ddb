"""The type stubs installed with the module."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

REFERENCE = Path(__file__).parent / "reference" / "minio_main.pyi"


def installed_stub() -> Path:
    import zarnel.minio_main

    stub = Path(zarnel.minio_main.__file__).with_name("minio_main.pyi")
    if not stub.exists() and os.environ.get("ZARNEL_STUBS_EXPECTED") == "0":
        pytest.skip("this build generates no stubs")
    assert stub.exists(), "the build installs zarnel/minio_main.pyi"
    return stub


def test_generated_stub_matches_the_reference():
    stub = installed_stub()
    assert stub.read_text() == REFERENCE.read_text(), (
        "the operation table changed: review the new stub and, if intended, "
        f"copy {stub} to {REFERENCE}"
    )
    assert (stub.parent / "py.typed").exists()


def test_type_checker_passes_the_typed_example_and_flags_wrong_calls(tmp_path):
    installed_stub()
    # The reference stub is checked too: a name it uses without importing would
    # quietly read as Any in the installed copy.
    root = Path(__file__).parents[2]
    wrong = Path(__file__).with_name("mistyped_calls.py")
    files = [str(f.relative_to(root)) for f in (root / "examples" / "typed.py", REFERENCE, wrong)]
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path), *files],
        capture_output=True, text=True, cwd=root,
    )  # fmt: skip
    error = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[\w-]+)\]$")
    reported = {(m["path"], int(m["line"]), m["code"])
                for m in map(error.match, done.stdout.splitlines()) if m}  # fmt: skip
    marked = {(files[2], number, m[1])
              for number, line in enumerate(wrong.read_text().splitlines(), 1)
              if (m := re.search(r"# wrong: ([a-z-]+)$", line))}  # fmt: skip
    assert marked
    assert reported == marked, done.stdout + done.stderr
