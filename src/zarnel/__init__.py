"""zarnel: buckets and objects on a MinIO store from a native client layer.

``from zarnel.minio_main import ZarnelMinioMain`` is the entry point.
"""

from importlib import metadata

from zarnel.sync import SyncError, SyncReport

__all__ = ["SyncError", "SyncReport", "__version__"]

try:
    __version__ = metadata.version("zarnel")
except metadata.PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"
