"""zarnel: buckets and objects on a MinIO store from a native client layer.

``from zarnel.minio_main import ZarnelMinioMain`` is the entry point.
"""

from zarnel.sync import SyncError, SyncReport

__all__ = ["SyncError", "SyncReport"]
