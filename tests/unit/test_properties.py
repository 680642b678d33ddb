"""Generated input for construction and stream upload: every case ends in a
result or in the error the caller is promised, never in another error or a
crash. Each property compares with a small model built from the host's own
functions (os.path.isfile, str, str.encode, ZarnelVar(**mapping))."""

from __future__ import annotations

import os
import pathlib

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from tests.fakes import FakeMinio, FakeTunnel, NoText, RecordingLog
from zarnel.content_type import get_content_type
from zarnel.messages import (
    BAD_OPTION,
    DATA_REJECTED,
    MESSAGE_SEPARATOR,
    MISSING_PARAMS,
    TUNNEL_KEYS,
)
from zarnel_var import ZarnelVar

SCHEMA = ("host", "port", "user", "password")
DEFAULT_KEYS = TUNNEL_KEYS

# Fixtures here are made once for the module on purpose: the examples only
# read them.
shared_fixtures = settings(suppress_health_check=[HealthCheck.function_scoped_fixture])

scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats()
    | st.text(max_size=10)
    | st.binary(max_size=10)
)
plain_values = st.recursive(
    scalars,
    lambda inner: (
        st.lists(inner, max_size=3)
        | st.tuples(inner, inner)
        | st.dictionaries(st.text(max_size=4), inner, max_size=3)
    ),
    max_leaves=6,
)
text_keys = st.sampled_from(
    ["host", "port", "user", "password", "secure", *DEFAULT_KEYS]
) | st.text(max_size=8)
other_keys = st.integers() | st.none() | st.binary(max_size=4) | st.tuples(st.integers())


@pytest.fixture(scope="module")
def no_tunnel():
    from zarnel import minio_main

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(minio_main, "ZarnelSSH", FakeTunnel)
        yield minio_main


def expected_construction(config) -> tuple[type[BaseException] | None, str]:
    """The error and message that cleansing owes this mapping (None: none)."""
    try:
        ZarnelVar(**config)
    except TypeError as error:
        return TypeError, str(error)
    messages = []
    missing = [key for key in SCHEMA if not config.get(key)]
    if missing:
        messages.append(MISSING_PARAMS.format(missing))
    secure = config.get("secure")
    if secure and secure not in [True, False]:
        messages.append(BAD_OPTION.format("secure", [True, False]))
    return (Exception, MESSAGE_SEPARATOR.join(messages)) if messages else (None, "")


@shared_fixtures
@given(
    config=st.dictionaries(text_keys, plain_values, max_size=8)
    | st.dictionaries(text_keys | other_keys, plain_values, min_size=1, max_size=4)
    | st.builds(
        lambda base, values: {**dict(zip(SCHEMA, values, strict=True)), **base},
        st.dictionaries(text_keys, plain_values, max_size=4),
        st.tuples(*[st.text(min_size=1, max_size=4)] * 4),
    )
)
def test_construction_from_generated_mappings(no_tunnel, config):
    before = dict(config)
    error, message = expected_construction(config)
    event(f"construction: {error.__name__ if error else 'an instance'}")

    if error is not None:
        with pytest.raises(error) as caught:
            no_tunnel.ZarnelMinioMain(config)
        assert type(caught.value) is error
        assert str(caught.value) == message
        assert config == before
        return

    client = no_tunnel.ZarnelMinioMain(config)
    # Only the tunnel keys the caller did not give are added, with None.
    assert config == {**{key: None for key in DEFAULT_KEYS}, **before}
    assert list(config)[: len(before)] == list(before)
    record = client._config
    if before.get("ssh"):
        assert record.through.mapping == before
    else:
        assert isinstance(record, ZarnelVar)
        assert record.todict() == before
    assert not hasattr(client, "_engine")


NON_MAPPINGS = (
    st.none() | st.integers() | st.text(max_size=4) | st.lists(st.tuples(st.text(), st.text()))
)


@given(config=NON_MAPPINGS)
def test_construction_from_a_non_mapping_is_the_hosts_error(no_tunnel, config):
    with pytest.raises(TypeError) as host:
        ZarnelVar(**config)
    with pytest.raises(TypeError) as caught:
        no_tunnel.ZarnelMinioMain(config)
    assert str(caught.value) == str(host.value)


# -- stream upload ------------------------------------------------------------


class TextOf:
    """A value with a text form of its own."""

    def __init__(self, text: str) -> None:
        self.text = text

    def __str__(self) -> str:
        return self.text


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


@pytest.fixture(scope="module")
def local(tmp_path_factory):
    """An existing file, an empty file, a directory and a missing path."""
    root = tmp_path_factory.mktemp("flow")
    (root / "data.json").write_bytes(b'{"a": "\xe4\xb8\xad"}')
    (root / "empty").write_bytes(b"")
    (root / "dir").mkdir()
    return [root / "data.json", root / "empty", root / "dir", root / "missing.txt"]


@pytest.fixture(scope="module")
def flow_client():
    from zarnel.minio_main import ZarnelMinioMain

    client = ZarnelMinioMain({"host": "h", "port": 1, "user": "u", "password": "p"})
    return client


def any_code_point() -> st.SearchStrategy[str]:
    # Lone surrogates included: they have no UTF-8 form.
    return st.text(st.characters(codec=None, exclude_categories=()), max_size=12)


def path_like(local: list[pathlib.Path]) -> st.SearchStrategy[object]:
    kinds = [str, os.fsencode, pathlib.Path, StrSub]
    return st.builds(lambda path, kind: kind(path), st.sampled_from(local), st.sampled_from(kinds))


def upload_data(local) -> st.SearchStrategy[object]:
    # Frozensets of integers are leaves: every extension must use `inner`.
    containers = st.recursive(
        scalars | st.frozensets(st.integers(), max_size=2),
        lambda inner: (
            st.lists(inner, max_size=3)
            | st.dictionaries(st.text(max_size=3), inner, max_size=2)
            | st.tuples(inner)
        ),
        max_leaves=5,
    ).filter(lambda value: isinstance(value, (list, dict, tuple, frozenset)))
    with_surrogate = st.builds(
        lambda head, lone, tail: head + lone + tail,
        any_code_point(),
        st.characters(categories=["Cs"]),
        any_code_point(),
    )
    return st.one_of(
        any_code_point(),
        with_surrogate,
        st.binary(max_size=16),
        st.builds(BytesSub, st.binary(max_size=8)),
        st.builds(StrSub, any_code_point()),
        st.integers(),
        st.just(10**5000),  # beyond the host's limit for int-to-text conversion
        st.booleans(),
        st.floats(),
        st.none(),
        containers,
        path_like(local),
        st.builds(TextOf, any_code_point()),
        st.builds(NoText, st.sampled_from([ValueError("no"), TypeError("no"), LookupError()])),
    )


def expected_upload(data) -> tuple[str, object]:
    """("stored", bytes) | ("rejected", None) | ("refused", the host's error)."""
    is_file = False
    if not isinstance(data, int):  # integers are values, never descriptors
        try:
            is_file = os.path.isfile(data)
        except TypeError as error:
            return "refused", error
    if is_file:
        with open(data, "rb") as file:
            return "stored", file.read()
    if isinstance(data, bytes):
        return "stored", bytes(data)
    try:
        return "stored", (data if isinstance(data, str) else str(data)).encode("utf-8")
    except Exception:
        return "rejected", None


@shared_fixtures
@given(data=st.data())
def test_upload_flow_with_generated_data(flow_client, local, data):
    value = data.draw(upload_data(local), label="data")
    kind, want = expected_upload(value)
    event(f"upload: {kind}")
    engine = FakeMinio()
    flow_client._engine = engine
    flow_client._log = log = RecordingLog()
    read = []
    engine.answers["put_object"] = lambda b, o, stream, length, content_type: read.append(
        (stream.read(), stream.read(1))
    )

    if kind == "refused":
        with pytest.raises(TypeError) as caught:
            flow_client._upload_flow("b", "notes/a.txt", value)
        assert str(caught.value) == str(want)
        assert (engine.calls, log.warnings) == ([], [])
        return

    assert flow_client._upload_flow("b", "notes/a.txt", value) is None
    if kind == "rejected":
        assert log.warnings == [DATA_REJECTED]
        assert engine.calls == []
        return
    assert log.warnings == []
    [call] = engine.calls
    bucket, name, _, length = call.args
    assert (bucket, name, length) == ("b", "notes/a.txt", len(want))
    assert type(length) is int
    assert read == [(want, b"")]
    by_path = not isinstance(value, int) and os.path.isfile(value)
    assert call.kwargs == {"content_type": get_content_type(value if by_path else "notes/a.txt")}


def test_the_generated_kinds_cover_every_outcome(local):
    # A guard on the strategy itself: each outcome must be reachable.
    outcomes = {
        expected_upload(value)[0]
        for value in ["中文", "\ud800", b"", 3, 1.5, None, [1], local[0], NoText(ValueError())]
    }
    assert outcomes == {"stored", "rejected", "refused"}


# -- directory download ---------------------------------------------------------


name_pieces = st.sampled_from(["docs", "/", "//", ".", "..", "\\", "a", "中", " ", "docs/"])
listed_names = st.lists(name_pieces, min_size=1, max_size=5).map("".join)


@given(
    object_path=st.sampled_from(["docs", "docs/", "/", "a/docs", "..", "中"]),
    names=st.lists(listed_names, max_size=8),
)
def test_directory_download_stays_inside_its_directory(object_path, names):
    from zarnel.minio_main import ZarnelMinioMain

    class Recording(ZarnelMinioMain):
        def _bucket_list_files(self, bucket_name, prefix=""):
            return [{"object_name": name} for name in names]

        def _download_file(self, bucket_name, object_name, file_name):
            self.downloads.append((object_name, file_name))
            return True

    client = Recording({"host": "h", "port": 1, "user": "u", "password": "p"})
    client._log = RecordingLog()
    client.downloads = []
    target = "/data/out"

    assert client._download_dir("b", object_path, target) is None
    prefix = object_path if object_path.endswith("/") else object_path + "/"
    for object_name, file_name in client.downloads:
        assert object_name.startswith(prefix)
        assert os.path.dirname(os.path.normpath(file_name)) == target
        assert file_name == f"{target}/{object_name[len(prefix) :]}"
    # Every name directly under the path is either downloaded or reported.
    direct = [n for n in names if n.startswith(prefix) and "/" not in n[len(prefix) :]]
    direct = [n for n in direct if n != prefix]
    assert len(client.downloads) + len(client._log.warnings) == len(direct)
