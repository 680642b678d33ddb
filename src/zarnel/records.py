"""The records that ZarnelMinioMain returns, as types for a type checker."""

from __future__ import annotations

from typing import TypedDict


class ObjectRecord(TypedDict):
    """One object of ``_bucket_list_files``, read from the storage client's listing."""

    bucket_name: str
    object_name: str
    # The time of the last change as text, ``"%Y-%m-%d %H:%M:%S.%f"``.
    last_modified: str
    # None where the store lists no ETag.
    etag: str | None
    size: int | None
    # Listings carry no content type: None unless the store sends one.
    content_type: str | None
