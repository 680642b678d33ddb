"""The records that ZarnelMinioMain returns and the items of its tree calls,
as types for a type checker."""

from __future__ import annotations

from typing import TypeAlias, TypedDict


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


# A file of a tree upload as the walk plans it (``_plan_upload_dir``) and
# ``_upload_files`` takes it: object name, local path, and the size the walk
# saw (None where it could not tell, a dangling link say).
UploadItem: TypeAlias = tuple[str, str, int | None]
# An object of a tree download as the listing plans it
# (``_plan_download_dir``) and ``_download_files`` takes it: object name,
# local path, and the listing's size and ETag (None where it has none).
DownloadItem: TypeAlias = tuple[str, str, int | None, str | None]
