"""What bench/overhead.py times against: the operations as a plain Python
class that behaves like ZarnelMinioMain's (same calls, same results, the same
mends: what a Python implementation would cost; construction and the tree
walks are not timed, so are not here), and a client that answers at once.
"""

from __future__ import annotations

import io
import os
from datetime import UTC, datetime, timedelta

from minio.datatypes import Object
from minio.deleteobjects import DeleteObject
from minio.error import S3Error

from zarnel import messages
from zarnel.content_type import get_content_type


class PyMinioMain:
    def __init__(self, engine, log) -> None:
        self._engine, self._log = engine, log

    def _create_bucket(self, bucket_name, location="cn-north-1", object_lock=False):
        if self._engine.bucket_exists(bucket_name):
            self._log.warning(messages.BUCKET_EXISTS)
            return False
        self._engine.make_bucket(bucket_name, location=location, object_lock=object_lock)
        return True

    def _remove_bucket(self, bucket_name):
        if self._engine.bucket_exists(bucket_name):
            self._engine.remove_bucket(bucket_name)
            return True
        self._log.warning(messages.BUCKET_MISSING)
        return False

    def _bucket_list_files(self, bucket_name, prefix=""):
        records = []
        for item in self._engine.list_objects(bucket_name=bucket_name, prefix=prefix,
                                              recursive=True):  # fmt: skip
            records.append({"bucket_name": item.bucket_name, "object_name": item.object_name,
                            "last_modified": item.last_modified.strftime("%Y-%m-%d %H:%M:%S.%f"),
                            "etag": item.etag, "size": item.size,
                            "content_type": item.content_type})  # fmt: skip
        return records

    def _bucket_policy(self, bucket_name):
        try:
            return self._engine.get_bucket_policy(bucket_name)
        except S3Error:
            self._log.warning(messages.NO_POLICY)
            return None

    def _upload_flow(self, bucket_name, object_name, data):
        # An integer (anything with __index__) is a value, never a descriptor.
        path_like = not hasattr(type(data), "__index__")
        if path_like and os.path.isfile(data):
            content_type = get_content_type(data)
            length = os.stat(data).st_size
            with open(data, "rb") as stream:
                self._engine.put_object(bucket_name, object_name, stream, length,
                                        content_type=content_type)  # fmt: skip
            return None
        content_type = get_content_type(object_name)
        if isinstance(data, bytes):
            stream, length = io.BytesIO(data), len(data)
        else:
            try:
                encoded = (data if isinstance(data, str) else str(data)).encode("utf-8")
                stream, length = io.BytesIO(encoded), len(encoded)
            except Exception:
                self._log.warning(messages.DATA_REJECTED)
                return None
        self._engine.put_object(bucket_name, object_name, stream, length,
                                content_type=content_type)  # fmt: skip
        return None

    def _upload_file(self, bucket_name, object_name, file_name, parallel=3):
        content_type = get_content_type(object_name)
        self._engine.fput_object(
            bucket_name,
            object_name.replace("\\", "/"),
            file_name,
            content_type=content_type,
            num_parallel_uploads=parallel,
        )

    def _download_flow(self, bucket_name, object_name):
        response = self._engine.get_object(bucket_name, object_name)
        try:
            return response.data.decode("utf-8")
        finally:
            response.close()

    def _download_file(self, bucket_name, object_name, file_name):
        self._engine.fget_object(bucket_name, object_name, file_name)
        return True

    def _remove_object(self, bucket_name, object_name):
        self._engine.remove_object(bucket_name, object_name)

    def _remove_objects(self, bucket_name, object_list):
        delete_object_list = [DeleteObject(name) for name in object_list]
        for error in self._engine.remove_objects(bucket_name, iter(delete_object_list)):
            self._log.warning(error)

    def _get_url(self, bucket, object_name, days=7):
        return self._engine.presigned_get_object(bucket, object_name,
                                                 expires=timedelta(days=days))  # fmt: skip


class Response:
    __slots__ = ("data",)

    def __init__(self, data: bytes) -> None:
        self.data = data

    def close(self) -> None: ...


class NullLog:
    def warning(self, value) -> None: ...


class InstantClient:
    """Every call returns at once; the answers fit the operations' happy paths."""

    def __init__(self, items: list[Object] | None = None) -> None:
        self.items = items or []
        self._response = Response(b"ok")

    def bucket_exists(self, bucket_name):
        return True

    def get_bucket_policy(self, bucket_name):
        return "{}"

    def list_objects(self, bucket_name, prefix=None, recursive=False):
        return iter(self.items)

    def get_object(self, bucket_name, object_name):
        return self._response

    def remove_objects(self, bucket_name, delete_object_list):
        for _ in delete_object_list:
            pass
        return iter(())

    def presigned_get_object(self, bucket_name, object_name, expires=None):
        return "http://127.0.0.1/b/o?X-Amz-Signature=0"

    # The calls that answer nothing.
    def make_bucket(self, bucket_name, location=None, object_lock=False): ...
    def remove_bucket(self, bucket_name): ...
    def put_object(self, bucket_name, object_name, data, length, content_type=None): ...
    def fget_object(self, bucket_name, object_name, file_path): ...
    def remove_object(self, bucket_name, object_name): ...
    def fput_object(self, bucket_name, object_name, file_path, content_type=None,
                    num_parallel_uploads=3): ...  # fmt: skip


def listing_items(count: int) -> list[Object]:
    """Listing items shaped like the SDK's, with varied names and times."""
    base = datetime(2026, 1, 2, 3, 4, 5, 6789, tzinfo=UTC)
    return [
        Object(
            "bench",
            f"data/part-{i // 1000:04d}/file-{i:07d}.parquet",
            last_modified=base.replace(second=i % 60, microsecond=i % 1_000_000),
            etag=f"{i:032x}",
            size=i * 17,
            content_type=None,
        )
        for i in range(count)
    ]
