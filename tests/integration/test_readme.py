"""The README's python examples, run as printed against a local SeaweedFS.

The examples use the endpoint and keys of `make server` (tools/s3servers.py);
this runs them against the same kind of server on a free port, with only the
port changed in the text. They continue one another, so they run in order in
one fresh interpreter. A block whose first line is `# needs: ...` wants more
than that server (an SSH host, a Dask scheduler): it is compiled, not run.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from tools.s3servers import LOCAL_PORT

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)

# Each block compiled with its README line numbers, so a traceback points there.
RUNNER = """
import json, sys
namespace = {"__name__": "__main__"}
for line, source in json.load(sys.stdin):
    exec(compile("\\n" * (line - 1) + source, "README.md", "exec"), namespace)
"""

pytestmark = pytest.mark.parametrize("s3_server", ["seaweedfs"], indirect=True)


def readme_blocks() -> list[tuple[int, str]]:
    text = README.read_text()
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in BLOCK.finditer(text)]


def test_readme_examples_run_as_printed(s3_server, sdk, tmp_path):
    blocks = readme_blocks()
    for line, source in blocks:
        compile(source, f"README.md, line {line}", "exec")
    runnable = [(line, src) for line, src in blocks if not src.startswith("# needs:")]
    assert runnable, "the README has python examples to run"
    port = s3_server.endpoint.rpartition(":")[2]
    runs = []
    for line, source in runnable:
        text = source.replace(f'"port": {LOCAL_PORT}', f'"port": {port}')
        text = text.replace(f"127.0.0.1:{LOCAL_PORT}", f"127.0.0.1:{port}")
        runs.append((line, text))
    text = "".join(source for _, source in runs)
    assert str(LOCAL_PORT) not in text, "only the port of `make server` is rewritten"

    before = {bucket.name for bucket in sdk.list_buckets()}
    try:
        done = subprocess.run(
            [sys.executable, "-c", RUNNER],
            input=json.dumps(runs),
            capture_output=True,
            text=True,
            cwd=tmp_path,
            env={**os.environ, "TMPDIR": str(tmp_path)},
            timeout=300,
        )
    finally:
        for bucket in {b.name for b in sdk.list_buckets()} - before:
            for item in sdk.list_objects(bucket, recursive=True):
                sdk.remove_object(bucket, item.object_name)
            sdk.remove_bucket(bucket)
    assert done.returncode == 0, done.stderr[-4000:]
