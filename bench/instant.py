"""An in-process storage client that answers at once, for overhead benchmarks."""

from __future__ import annotations

from datetime import UTC, datetime

from minio.datatypes import Object


class Response:
    __slots__ = ("data",)

    def __init__(self, data: bytes) -> None:
        self.data = data

    def close(self) -> None:
        pass


class NullLog:
    def warning(self, value) -> None:
        pass


class InstantClient:
    """Every call returns at once; the answers fit the operations' happy paths."""

    def __init__(self, items: list[Object] | None = None) -> None:
        self.items = items or []
        self._response = Response(b"ok")

    def bucket_exists(self, bucket_name):
        return True

    def make_bucket(self, bucket_name, location=None, object_lock=False):
        return None

    def remove_bucket(self, bucket_name):
        return None

    def get_bucket_policy(self, bucket_name):
        return "{}"

    def list_objects(self, bucket_name, prefix=None, recursive=False):
        return iter(self.items)

    def put_object(self, bucket_name, object_name, data, length, content_type=None):
        return None

    def fput_object(self, bucket_name, object_name, file_path, content_type=None,
                    num_parallel_uploads=3):  # fmt: skip
        return None

    def get_object(self, bucket_name, object_name):
        return self._response

    def fget_object(self, bucket_name, object_name, file_path):
        return None

    def remove_object(self, bucket_name, object_name):
        return None

    def remove_objects(self, bucket_name, delete_object_list):
        for _ in delete_object_list:
            pass
        return iter(())

    def presigned_get_object(self, bucket_name, object_name, expires=None):
        return "http://127.0.0.1/b/o?X-Amz-Signature=0"


def listing_items(count: int) -> list[Object]:
    """Listing items shaped like the SDK's, with varied names and times."""
    base = datetime(2026, 1, 2, 3, 4, 5, 6789, tzinfo=UTC)
    items = []
    for i in range(count):
        items.append(
            Object(
                "bench",
                f"data/part-{i // 1000:04d}/file-{i:07d}.parquet",
                last_modified=base.replace(second=i % 60, microsecond=i % 1_000_000),
                etag=f"{i:032x}",
                size=i * 17,
                content_type=None,
            )
        )
    return items
