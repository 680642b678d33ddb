"""Content types from names, by the built-in table of ``mimetypes``.

The table is the one that ships with Python, not the machine's
``/etc/mime.types``, so the same name gets the same type on every machine.
"""

from __future__ import annotations

import mimetypes
import os

__all__ = ["DEFAULT_CONTENT_TYPE", "get_content_type"]

DEFAULT_CONTENT_TYPE = "application/octet-stream"

# A compressed file is stored as what it is (a gzip file), not as what it
# unpacks to: "a.tar.gz" is application/gzip, not application/x-tar.
_ENCODING_TYPES = {
    "gzip": "application/gzip",
    "bzip2": "application/x-bzip2",
    "xz": "application/x-xz",
    "compress": "application/x-compress",
    "br": "application/x-brotli",
}

# MimeTypes() starts from the built-in table only; files are read only when
# named, and none are.
_table = mimetypes.MimeTypes()
_guess = getattr(_table, "guess_file_type", _table.guess_type)


def get_content_type(name: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> str:
    """The content type for a file path or an object name."""
    path = os.fsdecode(os.fspath(name))
    content_type, encoding = _guess(path, strict=True)
    if encoding is not None:
        return _ENCODING_TYPES.get(encoding, DEFAULT_CONTENT_TYPE)
    return content_type or DEFAULT_CONTENT_TYPE
