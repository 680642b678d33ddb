"""The texts that the client writes for the caller, and the tunnel's default keys.

One table: the extension reads it when an operation runs (it is not bound in
the extension's namespace, whose names the generated stubs list), and the tests
import it rather than copying the texts. The ``{}`` and ``{!r}`` fields are filled by
``str.format``.
"""

from __future__ import annotations

__all__ = [
    "BAD_OPTION",
    "BUCKET_EXISTS",
    "BUCKET_MISSING",
    "CYCLE_SKIPPED",
    "DATA_REJECTED",
    "MESSAGE_SEPARATOR",
    "MISSING_PARAMS",
    "NAME_SKIPPED",
    "NO_POLICY",
    "NOT_A_FILE_SKIPPED",
    "TUNNEL_KEYS",
]

# Soft results of the bucket operations: a warning, and False or None.
BUCKET_EXISTS = "桶已存在"
BUCKET_MISSING = "桶不存在，删除失败"
NO_POLICY = "桶策略不存在"

# Warnings of the uploads: data with no UTF-8 text form (nothing is stored),
# and entries of a tree that are skipped (the entry's path fills the field).
DATA_REJECTED = "data 必须为 文件 / bytes / 可直接转化为字符串的对象"
NOT_A_FILE_SKIPPED = "不是普通文件或目录，已跳过：{!r}"
CYCLE_SKIPPED = "目录形成循环，已跳过：{!r}"

# The warning of a directory download for an object whose name cannot be a
# local file name (the object's name fills the field).
NAME_SKIPPED = "对象名不能用作本地文件名，已跳过：{!r}"

# Configuration cleansing raises Exception with these, joined by the separator:
# the list of missing keys, then each key with a value outside its options.
MISSING_PARAMS = "缺少必填参数：{}"
BAD_OPTION = "参数{}预设值不正确，可选：{}"
MESSAGE_SEPARATOR = "；"

# The keys that construction adds, as None, to the caller's mapping where absent.
TUNNEL_KEYS = ("ssh", "ssh_host", "ssh_port", "ssh_user", "ssh_password", "ssh_rsa", "ssh_rsa_pwd")
