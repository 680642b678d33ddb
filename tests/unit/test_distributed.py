"""zarnel.distributed without Dask installed (the cluster runs are integration tests)."""

from __future__ import annotations

import pickle
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


def test_a_remote_s3_error_keeps_its_fields_and_notes_when_pickled_again():
    from minio.error import S3Error

    from zarnel.distributed import RemoteS3Error

    original = S3Error(None, "NoSuchBucket", "gone", "/b", "req", "host", bucket_name="b")
    remote = RemoteS3Error.copy_of(original)
    remote.add_note("also failed 'b/x': S3Error: ...")
    again = pickle.loads(pickle.dumps(pickle.loads(pickle.dumps(remote))))
    assert type(again) is RemoteS3Error
    assert (again.code, again.message, again.bucket_name) == ("NoSuchBucket", "gone", "b")
    assert again.__notes__ == ["also failed 'b/x': S3Error: ..."]
    assert str(again) == str(original)
