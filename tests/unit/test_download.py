"""Download, directory download, removal and presigned URLs, against the recording fake."""

from __future__ import annotations

import os
import pathlib
from datetime import datetime, timedelta
from types import SimpleNamespace

import pytest
from minio.deleteobjects import DeleteObject

from tests.fakes import Call
from zarnel.messages import NAME_SKIPPED


class FakeResponse:
    """A get_object response: ``data`` may raise, ``close`` may fail."""

    def __init__(self, data=b"", close_error=None, data_error=None):
        self._data = data
        self.close_error = close_error
        self.data_error = data_error
        self.closed = 0

    @property
    def data(self):
        if self.data_error is not None:
            raise self.data_error
        return self._data

    def close(self):
        self.closed += 1
        if self.close_error is not None:
            raise self.close_error


def record(name: str) -> dict:
    when = "2024-03-05 07:08:09.000120"
    return {"bucket_name": "bkt", "object_name": name, "last_modified": when, "etag": "e",
            "size": 1, "content_type": None}  # fmt: skip


# --- one object as text ------------------------------------------------------


@pytest.mark.parametrize(
    ("data", "text"),
    [
        (b"", ""),
        ("h\u00e9llo \u4e2d\u6587\n".encode(), "h\u00e9llo \u4e2d\u6587\n"),
        (b"\xef\xbb\xbfbom", "\ufeffbom"),  # the byte-order mark stays
    ],
)
def test_download_flow_decodes_the_whole_body_and_closes(client, data, text):
    response = FakeResponse(data)
    client._engine.answers["get_object"] = response

    assert client._download_flow(bucket_name="bkt", object_name="a.txt") == text
    assert client._engine.calls == [Call("get_object", ("bkt", "a.txt"), {})]
    assert response.closed == 1


def test_invalid_utf8_fails_and_still_closes(client):
    response = FakeResponse(b"ok\xff")
    client._engine.answers["get_object"] = response

    with pytest.raises(UnicodeDecodeError, match="'utf-8' codec can't decode byte 0xff"):
        client._download_flow("bkt", "a.bin")
    assert response.closed == 1


def test_failing_data_read_passes_through_and_closes(client):
    failure = ConnectionError("body cut short")
    response = FakeResponse(data_error=failure)
    client._engine.answers["get_object"] = response

    with pytest.raises(ConnectionError) as caught:
        client._download_flow("bkt", "a.txt")
    assert caught.value is failure
    assert response.closed == 1


def test_failing_close_after_success_discards_the_text(client):
    failure = OSError("close failed")
    client._engine.answers["get_object"] = FakeResponse(b"text", close_error=failure)

    with pytest.raises(OSError, match="^close failed$") as caught:
        client._download_flow("bkt", "a.txt")
    assert caught.value is failure


def test_failing_close_after_a_failure_keeps_the_first_failure(client):
    response = FakeResponse(b"\xff", close_error=OSError("close failed"))
    client._engine.answers["get_object"] = response

    with pytest.raises(UnicodeDecodeError) as caught:
        client._download_flow("bkt", "a.txt")
    assert response.closed == 1
    assert caught.value.__notes__ == ["closing the response failed too: OSError('close failed')"]


def test_get_object_failure_passes_through(client):
    failure = LookupError("NoSuchKey")
    client._engine.errors["get_object"] = failure

    with pytest.raises(LookupError) as caught:
        client._download_flow("bkt", "missing")
    assert caught.value is failure


def test_download_flow_needs_a_connection(minio_main, config):
    instance = minio_main.ZarnelMinioMain(config)
    with pytest.raises(AttributeError, match="_engine"):
        instance._download_flow("bkt", "a.txt")


# --- one object to a file ----------------------------------------------------


def test_download_file_returns_true_not_the_client_result(client):
    client._engine.answers["fget_object"] = "client result"

    result = client._download_file("bkt", object_name="a.txt", file_name="/tmp/x/a.txt")
    assert result is True
    assert client._engine.calls == [Call("fget_object", ("bkt", "a.txt", "/tmp/x/a.txt"), {})]


def test_download_file_failure_passes_through(client):
    failure = LookupError("NoSuchKey")
    client._engine.errors["fget_object"] = failure

    with pytest.raises(LookupError) as caught:
        client._download_file("bkt", "missing", "/tmp/missing")
    assert caught.value is failure


# --- directory download ------------------------------------------------------

WORKED_EXAMPLE = ["docs/", "docs/a.txt", "docs/docs/e.txt", "docs/sub/b.txt", "olddocs/c.txt",
                  "readme.md", "x/docs/d.txt", "docs/z.txt"]  # fmt: skip


@pytest.fixture
def recording_store(minio_main, config):
    """A subclass whose listing answers ``bucket`` whatever the prefix (so
    the selection itself is tested) and whose downloads are recorded."""

    class Store(minio_main.ZarnelMinioMain):
        def __init__(self, config):
            super().__init__(config)
            self.bucket: list[str] = []
            self.listed: list[tuple] = []
            self.downloads: list[tuple] = []
            self.fail_on: str | None = None

        def _bucket_list_files(self, *args, **kwargs):
            self.listed.append((args, kwargs))
            return [record(name) for name in self.bucket]

        def _download_file(self, *args, **kwargs):
            assert not kwargs
            self.downloads.append(args)
            if args[1] == self.fail_on:
                raise OSError(f"cannot write {args[2]}")
            return "ignored"

    from tests.fakes import RecordingLog

    store = Store(config)
    store._log = RecordingLog()
    return store


@pytest.mark.parametrize("object_path", ["docs", "docs/"])
@pytest.mark.parametrize("dir_path", ["/data/out", "/data/out/"])
def test_download_dir_takes_only_direct_children(recording_store, object_path, dir_path):
    recording_store.bucket = WORKED_EXAMPLE

    assert recording_store._download_dir("bkt", object_path, dir_path) is None
    assert recording_store.listed == [(("bkt", "docs/"), {})]
    assert recording_store.downloads == [
        ("bkt", "docs/a.txt", "/data/out/a.txt"),
        ("bkt", "docs/z.txt", "/data/out/z.txt"),
    ]
    assert recording_store._log.warnings == []


@pytest.mark.parametrize("kind", [os.fsencode, pathlib.Path])
@pytest.mark.parametrize("dir_path", ["/data/out", "/data/out/"])
def test_download_dir_into_a_bytes_or_path_like_directory(recording_store, kind, dir_path):
    recording_store.bucket = WORKED_EXAMPLE
    recording_store._download_dir("bkt", "docs", kind(dir_path))
    assert recording_store.downloads == [
        ("bkt", "docs/a.txt", "/data/out/a.txt"),
        ("bkt", "docs/z.txt", "/data/out/z.txt"),
    ]


@pytest.mark.parametrize(
    ("object_path", "prefix", "bucket", "expected"),
    [
        # A path ending in another separator only gets "/" appended.
        ("docs\\", "docs\\/", ["docs\\/a", "docs/a"], [("docs\\/a", "/out/a")]),
        ("/", "/", ["/top.txt", "a/b.txt", "/a/b.txt", "plain"], [("/top.txt", "/out/top.txt")]),
        ("docs", "docs/", ["docs/", "docs/sub/", "readme.md"], []),
        # Names that are ordinary files despite their dots.
        ("d", "d/", ["d/...", "d/.hidden", "d/a..b"],
         [("d/...", "/out/..."), ("d/.hidden", "/out/.hidden"), ("d/a..b", "/out/a..b")]),
    ],
)  # fmt: skip
def test_download_dir_selection(recording_store, object_path, prefix, bucket, expected):
    recording_store.bucket = bucket

    recording_store._download_dir(bucket_name="bkt", object_path=object_path, dir_path="/out")
    assert recording_store.listed == [(("bkt", prefix), {})]
    assert recording_store.downloads == [("bkt", name, path) for name, path in expected]


def test_download_dir_never_names_the_directory_or_its_parent(recording_store):
    # Nor a file that no file system can name: the engine's rule on every path.
    recording_store.bucket = ["docs/..", "docs/a.txt", "docs/.", "docs/a\0b"]

    recording_store._download_dir("bkt", "docs", "/data/out")
    assert recording_store.downloads == [("bkt", "docs/a.txt", "/data/out/a.txt")]
    assert recording_store._log.warnings == [
        NAME_SKIPPED.format("docs/.."),
        NAME_SKIPPED.format("docs/."),
        NAME_SKIPPED.format("docs/a\0b"),
    ]


@pytest.mark.parametrize(("object_path", "dir_path"), [("", "/out"), ("docs", ""), ("", "")])
def test_download_dir_empty_path_fails_before_listing(recording_store, object_path, dir_path):
    with pytest.raises(IndexError, match="^string index out of range$"):
        recording_store._download_dir("bkt", object_path, dir_path)
    assert recording_store.listed == []


def test_download_dir_first_failure_ends_the_call(recording_store):
    recording_store.bucket = ["docs/a", "docs/b", "docs/c"]
    recording_store.fail_on = "docs/b"

    with pytest.raises(OSError, match="^cannot write /out/b$"):
        recording_store._download_dir("bkt", "docs", "/out")
    assert [d[1] for d in recording_store.downloads] == ["docs/a", "docs/b"]


def test_download_dir_lists_the_prefix_through_the_client(client):
    """Without overrides the listing of the prefix comes from the client and
    each chosen object goes to fget_object."""
    when = datetime(2024, 3, 5, 7, 8, 9, 120)
    items = [SimpleNamespace(bucket_name="bkt", object_name=name, last_modified=when, etag="e",
                             size=1, content_type=None)
             for name in ["docs/", "docs/a.txt", "docs/sub/b.txt"]]  # fmt: skip
    client._engine.answers["list_objects"] = items

    client._download_dir("bkt", "docs", "/out")
    assert client._engine.calls == [
        Call("list_objects", (), {"bucket_name": "bkt", "prefix": "docs/", "recursive": True}),
        Call("fget_object", ("bkt", "docs/a.txt", "/out/a.txt"), {}),
    ]


def test_download_dir_join_is_looked_up_when_called(recording_store, minio_main, monkeypatch):
    class FakeOs:
        sep, altsep = "/", None

        class path:
            join = staticmethod(lambda a, b: f"{a}|{b}")
            splitdrive = staticmethod(lambda p: ("", p))

    monkeypatch.setattr(minio_main, "os", FakeOs)
    recording_store.bucket = ["docs/a"]
    recording_store._download_dir("bkt", "docs", "/out")
    assert recording_store.downloads == [("bkt", "docs/a", "/out/|a")]


# --- removal -----------------------------------------------------------------


def test_remove_object(client):
    assert client._remove_object(bucket_name="bkt", object_name="a.txt") is None
    assert client._engine.calls == [Call("remove_object", ("bkt", "a.txt"), {})]


def test_remove_object_failure_passes_through(client):
    failure = LookupError("NoSuchBucket")
    client._engine.errors["remove_object"] = failure
    with pytest.raises(LookupError) as caught:
        client._remove_object("bkt", "a.txt")
    assert caught.value is failure


class Batch:
    """A remove_objects answer: records what it was handed, then yields the
    given errors lazily (raising any exception among them)."""

    def __init__(self, *results):
        self.results = results
        self.requests = None
        self.second = None
        self.finished = False

    def __call__(self, bucket_name, requests):
        self.second = requests
        self.requests = list(requests)
        return self._errors()

    def _errors(self):
        for result in self.results:
            if isinstance(result, BaseException):
                raise result
            yield result
        self.finished = True


@pytest.mark.parametrize("names", [[], ["a.txt"], ["a", "a", " b/ "]])
def test_remove_objects_hands_one_request_per_name(client, names):
    batch = Batch()
    client._engine.answers["remove_objects"] = batch

    assert client._remove_objects(bucket_name="bkt", object_list=names) is None
    [call] = client._engine.calls
    assert (call.name, call.args[0], call.kwargs) == ("remove_objects", "bkt", {})
    assert iter(batch.second) is batch.second  # an iterator, not the list
    assert batch.requests == [DeleteObject(name) for name in names]
    assert batch.finished
    assert client._log.warnings == []


def test_remove_objects_logs_each_error_record_itself(client):
    first, second = object(), object()
    batch = Batch(first, second)
    client._engine.answers["remove_objects"] = batch

    assert client._remove_objects("bkt", ["a", "b", "c"]) is None
    assert [id(w) for w in client._log.warnings] == [id(first), id(second)]
    assert batch.finished


def test_remove_objects_error_part_way_through_the_results(client):
    first, failure = object(), ConnectionError("connection reset")
    batch = Batch(first, failure, object())
    client._engine.answers["remove_objects"] = batch

    with pytest.raises(ConnectionError) as caught:
        client._remove_objects("bkt", ["a", "b", "c"])
    assert caught.value is failure
    assert client._log.warnings == [first]


def test_remove_objects_builds_every_request_before_the_call(client, minio_main, monkeypatch):
    made = []

    class Recorded:
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))

    def names():
        yield "a"
        raise ValueError("bad list")

    monkeypatch.setattr(minio_main, "DeleteObject", Recorded)
    with pytest.raises(ValueError, match="^bad list$"):
        client._remove_objects("bkt", names())
    assert made == [(("a",), {})]
    assert client._engine.calls == []


@pytest.mark.parametrize(
    "names", ["report.csv", b"report.csv", bytearray(b"r")], ids=["str", "bytes", "bytearray"]
)
def test_remove_objects_refuses_one_string_for_a_list(client, minio_main, monkeypatch, names):
    # Taken letter by letter, "report.csv" would remove the objects "r", "e", ...
    made = []
    monkeypatch.setattr(minio_main, "DeleteObject", made.append)
    message = f"object_list must be a collection of object names, not {type(names).__name__}"
    with pytest.raises(TypeError, match=f"^{message}$"):
        client._remove_objects("bkt", names)
    assert made == []
    assert client._engine.calls == []


# --- presigned URL -----------------------------------------------------------


@pytest.mark.parametrize(
    ("kwargs", "lifetime"),
    [
        ({}, timedelta(days=7)),
        ({"days": 1}, timedelta(days=1)),
        ({"days": 0.5}, timedelta(hours=12)),
    ],
)
def test_get_url_lifetime(client, kwargs, lifetime):
    url = "http://127.0.0.1:9000/bkt/a.txt?X-Amz-Signature=abc "
    client._engine.answers["presigned_get_object"] = url

    assert client._get_url("bkt", "a.txt", **kwargs) is url
    assert client._engine.calls == [
        Call("presigned_get_object", ("bkt", "a.txt"), {"expires": lifetime})
    ]


def test_get_url_takes_bucket_by_keyword_and_rejects_a_bad_lifetime(client):
    with pytest.raises(TypeError, match="unsupported type for timedelta days component: str"):
        client._get_url(bucket="bkt", object_name="a.txt", days="7")
    assert client._engine.calls == []
