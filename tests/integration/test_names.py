"""Generated object names (blanks, non-ASCII, "..", leading and doubled "/",
backslashes) through upload, listing and download against a real server:
each name makes the round trip or is refused by the SDK's own check, and no
download writes a file outside its target directory."""

from __future__ import annotations

import itertools
import os
import re
from pathlib import Path

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from minio.error import S3Error
from minio.helpers import check_object_name

# Each case makes about ten requests; a quarter of the profile's count per
# server keeps the file within seconds.
SERVER_EXAMPLES = max(10, settings.default.max_examples // 4)
SDK_REFUSAL = "object name with '.' or '..' path segment is not supported"

pieces = st.sampled_from(
    ["a", "b c", " ", "中文", "ü", "e\u0301", "😀", "..", ".", "/", "//", "\\", "%2F", "+", "?",
     "#", "&", "~", "\t", "x.txt"]
)  # fmt: skip
# A name that ends in "/" is a folder marker, which SeaweedFS keeps as a
# directory without content (and it reads a backslash as "/"): not a name to
# round-trip.
object_names = st.one_of(
    st.lists(pieces, min_size=1, max_size=6).map("".join),
    st.lists(st.lists(pieces, min_size=1, max_size=2).map("".join), min_size=2, max_size=4).map(
        "/".join
    ),
).filter(lambda name: not name.endswith(("/", "\\")))

_case = itertools.count()


def stored_as(kind: str, name: str) -> str:
    """The name under which the server keeps an object put under ``name``."""
    if kind == "seaweedfs":  # a file system underneath: one "/" per level
        return re.sub("/+", "/", name.replace("\\", "/"))
    return name


def refused_by_sdk(name: str) -> bool:
    try:
        check_object_name(name)
    except ValueError:
        return True
    return False


def files_under(root: Path) -> dict[str, bytes]:
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in root.rglob("*") if p.is_file()}


@settings(max_examples=SERVER_EXAMPLES, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(name=object_names)
def test_names_round_trip_or_are_refused_by_the_sdk(s3_server, store, bucket, tmp_path, name):
    # The fixtures are shared by the examples; each example has its own
    # prefix and its own local folders.
    case = next(_case)
    prefix = f"n{case}/"
    sandbox = tmp_path / f"case{case}"
    out = sandbox / "deep" / "out"
    out.mkdir(parents=True)
    data = f"{name}!".encode()
    key = prefix + name

    if refused_by_sdk(key):
        event("refused by the SDK")
        with pytest.raises(ValueError, match=re.escape(SDK_REFUSAL)):
            store._upload_flow(bucket, key, data)
        assert store._bucket_list_files(bucket, prefix) == []
        return

    try:
        store._upload_flow(bucket, key, data)
    except S3Error as error:
        # A MinIO server refuses some names ("a//b") that the local ones keep;
        # SeaweedFS reads "\\" as "/" and then refuses "." and ".." levels.
        levels = stored_as(s3_server.kind, key).split("/")
        dotted = "." in levels or ".." in levels
        if s3_server.kind == "moto" or (s3_server.kind == "seaweedfs" and not dotted):
            raise
        event(f"refused by the server: {error.code}")
        return
    event("round trip")
    stored = stored_as(s3_server.kind, key)
    [record] = store._bucket_list_files(bucket, prefix)
    assert (record["object_name"], record["size"]) == (stored, len(data))
    assert store._download_flow(bucket, key) == data.decode()
    assert store._download_file(bucket, key, str(sandbox / "copy")) is True
    assert (sandbox / "copy").read_bytes() == data

    assert store._download_dir(bucket, prefix, str(out)) is None
    rest = stored[len(prefix) :]
    direct = "/" not in rest and rest not in (".", "..")
    event("one level down" if direct else "deeper: not downloaded by the directory download")
    assert files_under(out) == ({rest: data} if direct else {})
    assert files_under(sandbox) == {
        "copy": data,
        **{f"deep/out/{k}": v for k, v in files_under(out).items()},
    }
    # The transfer engine lists and writes the same.
    engine_out = tmp_path / f"engine{case}"
    store._download_dir(bucket, prefix, str(engine_out), workers=2)
    assert files_under(engine_out) == files_under(out)

    # The file upload turns backslashes into levels before the SDK sees the name.
    file_key = f"f{case}/" + name
    local = sandbox / "local.bin"
    local.write_bytes(data)
    if refused_by_sdk(file_key.replace("\\", "/")):
        with pytest.raises(ValueError, match=re.escape(SDK_REFUSAL)):
            store._upload_file(bucket, file_key, str(local))
    else:
        store._upload_file(bucket, file_key, str(local))
        wanted = stored_as(s3_server.kind, file_key.replace("\\", "/"))
        assert [r["object_name"] for r in store._bucket_list_files(bucket, f"f{case}/")] == [wanted]

    # A local file of that name, when the file system allows one.
    if "/" in name or name in (".", ".."):
        return
    tree = sandbox / "tree"
    tree.mkdir()
    (tree / name).write_bytes(data)
    dir_key = f"d{case}/" + name.replace("\\", "/")
    if refused_by_sdk(dir_key):
        with pytest.raises(ValueError, match=re.escape(SDK_REFUSAL)):
            store._upload_dir(bucket, str(tree), base_dir=f"d{case}")
    else:
        store._upload_dir(bucket, str(tree), base_dir=f"d{case}")
        listed = store._bucket_list_files(bucket, f"d{case}/")
        assert [r["object_name"] for r in listed] == [stored_as(s3_server.kind, dir_key)]
    # And the transfer engine stores or refuses the same.
    if refused_by_sdk(dir_key):
        with pytest.raises(ValueError, match=re.escape(SDK_REFUSAL)):
            store._upload_dir(bucket, str(tree), base_dir=f"e{case}", workers=2)
    else:
        store._upload_dir(bucket, str(tree), base_dir=f"e{case}", workers=2)
        listed = store._bucket_list_files(bucket, f"e{case}/")
        wanted = stored_as(s3_server.kind, f"e{case}/" + name.replace("\\", "/"))
        assert [r["object_name"] for r in listed] == [wanted]
    assert os.listdir(tree) == [name]
