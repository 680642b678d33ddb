"""An in-process storage client that answers at once, for overhead benchmarks."""

from __future__ import annotations

from datetime import UTC, datetime

from minio.datatypes import Object


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
