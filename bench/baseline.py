"""The baseline: the same client written as a plain Python class.

It behaves like ZarnelMinioMain operation for operation (same calls, same
results, the same mends), so that the benchmarks compare the native layer
with what a Python implementation of the same job would cost.
"""

from __future__ import annotations

import io
import os
import threading
from datetime import timedelta

import minio
from minio.deleteobjects import DeleteObject
from minio.error import S3Error

from zarnel.content_type import get_content_type
from zarnel_log import ZarnelLog
from zarnel_ssh import ZarnelSSH
from zarnel_var import ZarnelVar

_REJECTED = "data 必须为 文件 / bytes / 可直接转化为字符串的对象"
_walks = threading.local()
_SKIPPED = "对象名不能用作本地文件名，已跳过：{!r}"


class PyMinioMain:
    def __init__(self, config):
        self._log = ZarnelLog(file=False)
        self._cleanse_params(config)
        if self._config.ssh:
            self._config = ZarnelSSH(self._config.todict()).connect()

    def _cleanse_params(self, config):
        self._config = ZarnelVar(**config)
        self._set_params_dict()
        missing, bad, messages = [], [], []
        for key, spec in self._params_dict.items():
            value = self._config.get(key)
            if value:
                if spec.get("optional") and value not in spec["optional"]:
                    bad.append((key, spec["optional"]))
            elif spec.get("type"):
                missing.append(key)
            elif spec.get("default"):
                self._config.set(key, spec["default"])
        if missing:
            messages.append(f"缺少必填参数：{missing}")
        for key, allowed in bad:
            messages.append(f"参数{key}预设值不正确，可选：{allowed}")
        if messages:
            raise Exception("；".join(messages))
        self._set_default_params()
        for key, value in self._default_params.items():
            if key not in config:
                config.update({key: value})

    def _set_params_dict(self):
        self._params_dict = {
            "host": {"type": True},
            "port": {"type": True},
            "user": {"type": True},
            "password": {"type": True},
            "secure": {"type": False, "default": False, "optional": [True, False]},
        }

    def _set_default_params(self):
        self._default_params = {
            key: None
            for key in ("ssh", "ssh_host", "ssh_port", "ssh_user", "ssh_password", "ssh_rsa",
                        "ssh_rsa_pwd")
        }  # fmt: skip

    def _connect(self):
        endpoint = f"{self._config.host}:{self._config.port}"
        self._engine = minio.Minio(
            endpoint=endpoint,
            access_key=self._config.user,
            secret_key=self._config.password,
            secure=False,
        )

    def _create_bucket(self, bucket_name, location="cn-north-1", object_lock=False):
        if self._engine.bucket_exists(bucket_name):
            self._log.warning("桶已存在")
            return False
        self._engine.make_bucket(bucket_name, location=location, object_lock=object_lock)
        return True

    def _remove_bucket(self, bucket_name):
        if self._engine.bucket_exists(bucket_name):
            self._engine.remove_bucket(bucket_name)
            return True
        self._log.warning("桶不存在，删除失败")
        return False

    def _bucket_list(self):
        return self._engine.list_buckets()

    def _bucket_list_files(self, bucket_name, prefix=""):
        records = []
        for item in self._engine.list_objects(bucket_name=bucket_name, prefix=prefix,
                                              recursive=True):  # fmt: skip
            records.append(
                {
                    "bucket_name": item.bucket_name,
                    "object_name": item.object_name,
                    "last_modified": item.last_modified.strftime("%Y-%m-%d %H:%M:%S.%f"),
                    "etag": item.etag,
                    "size": item.size,
                    "content_type": item.content_type,
                }
            )
        return records

    def _bucket_policy(self, bucket_name):
        try:
            return self._engine.get_bucket_policy(bucket_name)
        except S3Error:
            self._log.warning("桶策略不存在")
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
                self._log.warning(_REJECTED)
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

    def _upload_dir(self, bucket_name, dir_path, parallel=3, base_dir=None):
        # The directories on the current walk (per thread, as the calls go
        # through self), so a link back into the tree is neither descended
        # again nor uploaded as a file.
        walk = _walks.__dict__.setdefault("directories", [])
        try:
            status = os.stat(dir_path)
            walk.append((status.st_dev, status.st_ino))
        except OSError:
            status = None
        try:
            prefix = base_dir if base_dir else dir_path.replace("\\", "/").split("/")[-1]
            for name in os.listdir(dir_path):
                path = os.path.join(dir_path, name)
                if os.path.isdir(path):
                    sub = os.stat(path)
                    if (sub.st_dev, sub.st_ino) in walk:
                        continue
                    sub_prefix = os.path.join(prefix, name).replace("\\", "/")
                    self._upload_dir(bucket_name, os.path.join(dir_path, name), parallel,
                                     sub_prefix)  # fmt: skip
                else:
                    object_name = os.path.join(prefix, name).replace("\\", "/")
                    self._upload_file(bucket_name, object_name, os.path.join(dir_path, name),
                                      parallel=parallel)  # fmt: skip
        finally:
            if status is not None:
                walk.pop()

    def _download_flow(self, bucket_name, object_name):
        response = self._engine.get_object(bucket_name, object_name)
        try:
            return response.data.decode("utf-8")
        finally:
            response.close()

    def _download_file(self, bucket_name, object_name, file_name):
        self._engine.fget_object(bucket_name, object_name, file_name)
        return True

    def _download_dir(self, bucket_name, object_path, dir_path):
        object_path = object_path if object_path[-1] == "/" else f"{object_path}/"
        dir_path = dir_path if dir_path[-1] == "/" else f"{dir_path}/"
        for record in self._bucket_list_files(bucket_name, object_path):
            name = record.get("object_name")
            if not name.startswith(object_path):
                continue
            rest = name[len(object_path) :]
            if not rest or "/" in rest:
                continue
            if (
                rest in (".", "..")
                or (os.altsep and os.altsep in rest)
                or os.path.splitdrive(rest)[0]
            ):
                self._log.warning(_SKIPPED.format(name))
                continue
            self._download_file(bucket_name, name, os.path.join(dir_path, rest))

    def _remove_object(self, bucket_name, object_name):
        self._engine.remove_object(bucket_name, object_name)

    def _remove_objects(self, bucket_name, object_list):
        delete_object_list = [DeleteObject(name) for name in object_list]
        for error in self._engine.remove_objects(bucket_name, iter(delete_object_list)):
            self._log.warning(error)

    def _get_url(self, bucket, object_name, days=7):
        return self._engine.presigned_get_object(bucket, object_name,
                                                 expires=timedelta(days=days))  # fmt: skip
