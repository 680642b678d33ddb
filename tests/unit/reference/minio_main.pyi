"""Buckets and objects on a MinIO (S3-compatible) store."""

from zarnel.content_type import get_content_type as get_content_type
from zarnel.forks import renew_after_fork as renew_after_fork
from zarnel.transfers import Transfers as Transfers


class ZarnelMinioMain:
    def __init__(self, config: object | None) -> None:
        """Build the client from a configuration mapping (does not connect)."""

    def _cleanse_params(self, config: object | None) -> None:
        """
        Check `config` against the schema and store the record in `_config`; raise Exception listing every problem.
        """

    def _set_params_dict(self) -> None:
        """Store the parameter schema in `_params_dict`."""

    def _set_default_params(self) -> None:
        """Store the defaults of the tunnel keys in `_default_params`."""

    def _connect(self) -> None:
        """Create the storage client for `_config` and store it in `_engine`."""

    def __reduce__(self) -> tuple:
        """
        Pickle as (class, (configuration as given,), connected?); the secrets of the configuration travel with it.
        """

    def __setstate__(self, state: object) -> None:
        """Connect the copy when the original was connected."""

    def _create_bucket(self, bucket_name: object | None, location: object | None = 'cn-north-1', object_lock: object | None = False) -> bool:
        """
        Create `bucket_name` in `location`, with object locking when `object_lock` is true; return False with a warning when it exists already.
        """

    def _remove_bucket(self, bucket_name: object | None) -> bool:
        """
        Remove the bucket `bucket_name` (not emptied first); return False with a warning when it does not exist.
        """

    def _bucket_list(self) -> object:
        """Return the storage client's list of buckets unchanged."""

    def _bucket_list_files(self, bucket_name: object | None, prefix: object | None = '') -> list:
        """
        List the objects of `bucket_name` whose names begin with `prefix`, at every depth, as records with the keys bucket_name, object_name, last_modified (text), etag, size, content_type.
        """

    def _bucket_policy(self, bucket_name: object | None) -> object:
        """
        Return the policy of `bucket_name`, or None with a warning when the store answers with an error.
        """

    def _upload_flow(self, bucket_name: object | None, object_name: object | None, data: object | None) -> None:
        """
        Store `data` as one object: the regular file it names (text, bytes or a path-like value), a byte string as it is, or str(data) as UTF-8 for other text, path-like values and integers. Other kinds fail the file test with TypeError; when str(data) fails or is not UTF-8, log a warning and store nothing.
        """

    def _upload_file(self, bucket_name: object | None, object_name: object | None, file_name: object | None, parallel: object | None = 3) -> None:
        """
        Store the local file `file_name` as `object_name` (backslashes become "/"), with up to `parallel` part uploads at once.
        """

    def _upload_dir(self, bucket_name: object | None, dir_path: object | None, parallel: object | None = 3, base_dir: object | None = None, *, workers: object | None = 1, progress: object | None = None) -> None:
        """
        Store every file under `dir_path` as `base_dir` (by default the directory's own name) plus its relative path, up to `workers` files at once; `progress(object_name, size)` is called after each file.
        """

    def _download_flow(self, bucket_name: object | None, object_name: object | None) -> object:
        """Return the object's content decoded as UTF-8 (strict)."""

    def _download_file(self, bucket_name: object | None, object_name: object | None, file_name: object | None) -> bool:
        """Write the object to the local file `file_name`; return True."""

    def _download_dir(self, bucket_name: object | None, object_path: object | None, dir_path: object | None, *, workers: object | None = 1, progress: object | None = None) -> None:
        """
        Download the objects lying directly under `object_path` into `dir_path`, one file per object, up to `workers` at once; `progress(object_name, size)` is called after each file.
        """

    def _remove_object(self, bucket_name: object | None, object_name: object | None) -> None:
        """Remove one object."""

    def _remove_objects(self, bucket_name: object | None, object_list: object | None) -> None:
        """
        Remove the objects named in `object_list` in one batch (a single str, bytes or bytearray is refused with TypeError); log each object that was not removed as a warning.
        """

    def _get_url(self, bucket: object | None, object_name: object | None, days: object | None = 7) -> object:
        """Return a presigned download URL valid for `days` days."""
