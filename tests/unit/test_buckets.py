"""Bucket lifecycle, contents listing and policy query against the recording fake."""

from __future__ import annotations

import datetime as dt
from types import SimpleNamespace

import pytest

from tests.fakes import Call, RecordingLog
from zarnel.messages import BUCKET_EXISTS, BUCKET_MISSING, NO_POLICY

FIELDS = ["bucket_name", "object_name", "last_modified", "etag", "size", "content_type"]
PATTERN = "%Y-%m-%d %H:%M:%S.%f"
UTC = dt.UTC


def item(object_name="a.txt", last_modified=dt.datetime(2024, 3, 5, 7, 8, 9, 120), **extra):
    values = {"bucket_name": "b", "object_name": object_name, "last_modified": last_modified,
              "etag": "e-" + object_name, "size": 3, "content_type": "text/plain"}  # fmt: skip
    values.update(extra)
    return SimpleNamespace(**values)


class Boom(Exception):
    pass


class TestListFiles:
    def test_calls_list_objects_by_keyword_with_recursive(self, client):
        client._engine.answers["list_objects"] = []
        assert client._bucket_list_files("b", "docs") == []
        assert client._bucket_list_files(bucket_name="b") == []
        assert client._engine.calls == [
            Call("list_objects", (), {"bucket_name": "b", "prefix": "docs", "recursive": True}),
            Call("list_objects", (), {"bucket_name": "b", "prefix": "", "recursive": True}),
        ]
        assert [list(c.kwargs) for c in client._engine.calls] == [
            ["bucket_name", "prefix", "recursive"]
        ] * 2
        assert client._log.warnings == []

    def test_record_keys_values_and_order(self, client):
        size = 10**30
        first = item("x/y/z.bin", dt.datetime(2024, 3, 5, 7, 8, 9, 120), size=size,
                     content_type=None)  # fmt: skip
        second = item("a.txt", dt.datetime(1999, 12, 31, 23, 59, 59, 0))
        client._engine.answers["list_objects"] = iter([first, second, first])
        records = client._bucket_list_files("b")
        assert [list(r) for r in records] == [FIELDS] * 3
        assert records[0] == {
            "bucket_name": "b",
            "object_name": "x/y/z.bin",
            "last_modified": "2024-03-05 07:08:09.000120",
            "etag": "e-x/y/z.bin",
            "size": size,
            "content_type": None,
        }
        assert records[0]["size"] is size
        assert records[1]["last_modified"] == "1999-12-31 23:59:59.000000"
        assert records[2] == records[0]
        assert records[2] is not records[0]

    @pytest.mark.parametrize(
        "value",
        [
            dt.datetime(1000, 1, 1),
            dt.datetime(9999, 12, 31, 23, 59, 59, 999999),
            dt.datetime(2024, 2, 29, 0, 0, 0, 1),
            dt.datetime(2024, 3, 5, 7, 8, 9, 120, tzinfo=UTC),
            dt.datetime(2024, 3, 5, 7, 8, 9, tzinfo=dt.timezone(dt.timedelta(hours=8))),
            dt.datetime(2024, 11, 3, 1, 30, fold=1),
            dt.datetime(999, 5, 6, 7, 8, 9, 10),
            dt.datetime(1, 1, 1),
            dt.date(2024, 3, 5),
        ],
        ids=repr,
    )
    def test_time_text_is_the_hosts_strftime(self, client, value):
        client._engine.answers["list_objects"] = [item(last_modified=value)]
        [record] = client._bucket_list_files("b")
        assert record["last_modified"] == value.strftime(PATTERN)

    def test_subclass_and_other_objects_use_their_own_strftime(self, client):
        class Stamp(dt.datetime):
            def strftime(self, fmt):
                return f"stamp {fmt}"

        class Text:
            def strftime(self, fmt):
                return ("text", fmt)

        client._engine.answers["list_objects"] = [
            item(last_modified=Stamp(2024, 1, 1)),
            item(last_modified=Text()),
        ]
        records = client._bucket_list_files("b")
        assert [r["last_modified"] for r in records] == [f"stamp {PATTERN}", ("text", PATTERN)]

    @pytest.mark.parametrize("value", [None, "2024-03-05", 17])
    def test_time_without_strftime_is_an_attribute_error(self, client, value):
        client._engine.answers["list_objects"] = [item(), item(last_modified=value)]
        with pytest.raises(AttributeError, match="has no attribute 'strftime'"):
            client._bucket_list_files("b")

    @pytest.mark.parametrize("missing", FIELDS)
    def test_missing_attribute_fails_in_record_order(self, client, missing):
        bad = item(last_modified=None)
        delattr(bad, missing)
        client._engine.answers["list_objects"] = [bad]
        expected = missing if FIELDS.index(missing) <= 2 else "strftime"
        with pytest.raises(AttributeError, match=f"has no attribute '{expected}'"):
            client._bucket_list_files("b")

    def test_attribute_error_of_the_item_passes_unchanged(self, client):
        error = Boom("etag unreadable")

        class Item:
            bucket_name, object_name, size, content_type = "b", "o", 1, None
            last_modified = dt.datetime(2024, 1, 1)

            @property
            def etag(self):
                raise error

        client._engine.answers["list_objects"] = [Item()]
        with pytest.raises(Boom) as raised:
            client._bucket_list_files("b")
        assert raised.value is error

    def test_error_half_way_through_iteration_passes_unchanged(self, client):
        error = Boom("connection reset")
        seen = []

        def items(**kwargs):
            for name in ["a", "b"]:
                seen.append(name)
                yield item(name)
            raise error

        client._engine.answers["list_objects"] = items
        with pytest.raises(Boom) as raised:
            client._bucket_list_files("b")
        assert raised.value is error
        assert seen == ["a", "b"]

    def test_error_of_the_call_passes_unchanged(self, client):
        error = Boom("no such bucket")
        client._engine.errors["list_objects"] = error
        with pytest.raises(Boom) as raised:
            client._bucket_list_files("b")
        assert raised.value is error

    @pytest.mark.parametrize("answer", [None, 5])
    def test_non_iterable_answer_is_a_type_error(self, client, answer):
        client._engine.answers["list_objects"] = lambda **kw: answer
        with pytest.raises(TypeError, match="not iterable"):
            client._bucket_list_files("b")

    def test_needs_a_connection(self, minio_main, config):
        with pytest.raises(AttributeError, match="_engine"):
            minio_main.ZarnelMinioMain(config)._bucket_list_files("b")

    @pytest.mark.parametrize(
        ("args", "kwargs"), [((), {}), (("b", "p", "x"), {}), (("b",), {"prefx": "p"})]
    )
    def test_argument_errors(self, client, args, kwargs):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            client._bucket_list_files(*args, **kwargs)
        assert client._engine.calls == []


def s3_error(code="NoSuchBucketPolicy", cls=None):
    from minio.error import S3Error

    return (cls or S3Error)(None, code, "message", "/b", "req", "host", bucket_name="b")


class Truth:
    """A value whose truth is given, or whose __bool__ raises."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class TestCreateBucket:
    def test_defaults_and_keyword_order(self, client):
        client._engine.answers["bucket_exists"] = False
        assert client._create_bucket("b") is True
        assert client._engine.calls == [
            Call("bucket_exists", ("b",), {}),
            Call("make_bucket", ("b",), {"location": "cn-north-1", "object_lock": False}),
        ]
        assert list(client._engine.calls[1].kwargs) == ["location", "object_lock"]
        assert client._log.warnings == []

    def test_arguments_handed_on_unchanged(self, client):
        client._engine.answers["bucket_exists"] = []
        name, region, lock = "b", "us-east-1", Truth(True)
        assert client._create_bucket(object_lock=lock, location=region, bucket_name=name) is True
        call = client._engine.calls[1]
        assert call.args[0] is name
        assert call.kwargs["location"] is region
        assert call.kwargs["object_lock"] is lock

    @pytest.mark.parametrize("answer", [True, 1, "yes", [0], Truth(True)])
    def test_existing_bucket_is_soft(self, client, answer):
        client._engine.answers["bucket_exists"] = answer
        assert client._create_bucket("b", "eu", True) is False
        assert client._engine.names() == ["bucket_exists"]
        assert client._log.warnings == [BUCKET_EXISTS]

    @pytest.mark.parametrize("answer", [False, None, 0, "", Truth(False)])
    def test_falsy_answer_creates(self, client, answer):
        client._engine.answers["bucket_exists"] = answer
        assert client._create_bucket("b") is True
        assert client._engine.names() == ["bucket_exists", "make_bucket"]

    @pytest.mark.parametrize("failing", ["bucket_exists", "make_bucket"])
    def test_client_errors_pass_unchanged(self, client, failing):
        error = s3_error("BucketAlreadyOwnedByYou")
        client._engine.answers["bucket_exists"] = False
        client._engine.errors[failing] = error
        with pytest.raises(type(error)) as raised:
            client._create_bucket("b")
        assert raised.value is error
        assert client._log.warnings == []

    def test_truth_test_error_passes_unchanged(self, client):
        error = Boom("no truth")
        client._engine.answers["bucket_exists"] = Truth(error)
        with pytest.raises(Boom) as raised:
            client._create_bucket("b")
        assert raised.value is error
        assert client._engine.names() == ["bucket_exists"]


class TestRemoveBucket:
    def test_existing_bucket_is_removed(self, client):
        client._engine.answers["bucket_exists"] = Truth(True)
        assert client._remove_bucket(bucket_name="b") is True
        assert client._engine.calls == [
            Call("bucket_exists", ("b",), {}),
            Call("remove_bucket", ("b",), {}),
        ]
        assert client._log.warnings == []

    @pytest.mark.parametrize("answer", [False, None, 0, Truth(False)])
    def test_missing_bucket_is_soft(self, client, answer):
        client._engine.answers["bucket_exists"] = answer
        assert client._remove_bucket("b") is False
        assert client._engine.names() == ["bucket_exists"]
        assert client._log.warnings == [BUCKET_MISSING]

    @pytest.mark.parametrize("failing", ["bucket_exists", "remove_bucket"])
    def test_client_errors_pass_unchanged(self, client, failing):
        error = s3_error("BucketNotEmpty")
        client._engine.answers["bucket_exists"] = True
        client._engine.errors[failing] = error
        with pytest.raises(type(error)) as raised:
            client._remove_bucket("b")
        assert raised.value is error

    def test_failing_logger_replaces_the_result(self, client):
        error = Boom("log full")

        def warning(value):
            raise error

        client._log.warning = warning
        client._engine.answers["bucket_exists"] = False
        with pytest.raises(Boom) as raised:
            client._remove_bucket("b")
        assert raised.value is error


class TestBucketList:
    def test_result_is_returned_unchanged(self, client):
        buckets = object()
        client._engine.answers["list_buckets"] = lambda: buckets
        assert client._bucket_list() is buckets
        assert client._engine.calls == [Call("list_buckets", (), {})]

    def test_error_passes_unchanged(self, client):
        error = ConnectionError("refused")
        client._engine.errors["list_buckets"] = error
        with pytest.raises(ConnectionError) as raised:
            client._bucket_list()
        assert raised.value is error


class TestBucketPolicy:
    def test_policy_is_returned_unchanged(self, client):
        policy = '{"Version": "2012-10-17"}'
        client._engine.answers["get_bucket_policy"] = lambda name: policy
        assert client._bucket_policy(bucket_name="b") is policy
        assert client._engine.calls == [Call("get_bucket_policy", ("b",), {})]
        assert client._log.warnings == []

    @pytest.mark.parametrize("code", ["NoSuchBucketPolicy", "NoSuchBucket", "AccessDenied"])
    def test_any_s3_error_is_soft(self, client, code):
        client._engine.errors["get_bucket_policy"] = s3_error(code)
        assert client._bucket_policy("b") is None
        assert client._log.warnings == [NO_POLICY]

    def test_subclass_of_s3_error_is_soft(self, client):
        from minio.error import S3Error

        class Refused(S3Error):
            pass

        client._engine.errors["get_bucket_policy"] = s3_error(cls=Refused)
        assert client._bucket_policy("b") is None
        assert client._log.warnings == [NO_POLICY]

    def test_s3_error_is_looked_up_when_called(self, client, minio_main, monkeypatch):
        monkeypatch.setattr(minio_main, "S3Error", Boom)
        client._engine.errors["get_bucket_policy"] = Boom("substituted")
        assert client._bucket_policy("b") is None
        error = s3_error()
        client._engine.errors["get_bucket_policy"] = error
        with pytest.raises(type(error)) as raised:
            client._bucket_policy("b")
        assert raised.value is error
        assert client._log.warnings == [NO_POLICY]

    @pytest.mark.parametrize("error", [ConnectionError("refused"), ValueError("bad name")])
    def test_other_errors_pass_unchanged(self, client, error):
        client._engine.errors["get_bucket_policy"] = error
        with pytest.raises(type(error)) as raised:
            client._bucket_policy("b")
        assert raised.value is error
        assert client._log.warnings == []

    def test_failing_logger_replaces_the_result(self, client):
        error = Boom("log full")

        def warning(value):
            raise error

        client._log.warning = warning
        client._engine.errors["get_bucket_policy"] = s3_error()
        with pytest.raises(Boom) as raised:
            client._bucket_policy("b")
        assert raised.value is error


@pytest.mark.parametrize(
    ("operation", "args"),
    [
        ("_create_bucket", ("b",)),
        ("_remove_bucket", ("b",)),
        ("_bucket_list", ()),
        ("_bucket_policy", ("b",)),
    ],
)
def test_operations_need_a_connection(minio_main, config, operation, args):
    instance = minio_main.ZarnelMinioMain(config)
    instance._log = RecordingLog()
    with pytest.raises(AttributeError, match="_engine"):
        getattr(instance, operation)(*args)
    assert instance._log.warnings == []


@pytest.mark.parametrize(
    ("operation", "args", "kwargs"),
    [
        ("_create_bucket", (), {}),
        ("_create_bucket", ("b", "r", False, "x"), {}),
        ("_remove_bucket", ("b", "c"), {}),
        ("_bucket_list", ("b",), {}),
        ("_bucket_policy", (), {"bucket": "b"}),
    ],
)
def test_argument_errors_send_nothing(client, operation, args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(client, operation)(*args, **kwargs)
    assert client._engine.calls == []
