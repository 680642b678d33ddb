"""zarnel.distributed without Dask installed (the cluster runs are integration tests)."""

from __future__ import annotations

import subprocess
import sys
import textwrap


def test_imports_without_dask_and_names_the_extra_when_used():
    code = textwrap.dedent(
        """
        import sys
        sys.modules["distributed"] = sys.modules["dask"] = None  # not installed
        from zarnel.distributed import upload_tree
        from zarnel.minio_main import ZarnelMinioMain
        store = ZarnelMinioMain({"host": "h", "port": 1, "user": "u", "password": "p"})
        try:
            upload_tree(None, store, "bucket", ".")
        except ImportError as error:
            print(error)
        del store
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    hint = "zarnel.distributed needs dask.distributed: pip install 'zarnel[dask]'"
    assert result.stdout == hint + "\n"
