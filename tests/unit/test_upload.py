"""Stream, file and directory upload against the recording fake client."""

from __future__ import annotations

import builtins
import io
import os
import pathlib
import sys
import threading
import types

import pytest

from tests.fakes import FakeMinio, NoTextPath, RecordingLog, StoreError
from zarnel.messages import CYCLE_SKIPPED, DATA_REJECTED

REJECTED = DATA_REJECTED


class Interrupt(BaseException):
    pass


class BytesSub(bytes):
    pass


class OwnText(str):
    """Text whose own __str__ gives its text form."""

    def __str__(self):
        return "own text"


class FailingText(str):
    def __str__(self):
        raise ValueError("no text form")


@pytest.fixture
def looked_up(minio_main, monkeypatch):
    """Records every content-type lookup and answers with a marked type."""
    names = []

    def get_content_type(name):
        names.append(name)
        return f"type/{len(names)}"

    monkeypatch.setattr(minio_main, "get_content_type", get_content_type)
    return names


def host_error(call, *args):
    """The error the host itself raises for `call(*args)`."""
    with pytest.raises(Exception) as caught:  # noqa: PT011 (any error the host raises)
        call(*args)
    return caught.value


def stored(client):
    """What each put_object call read from its stream, and the call."""
    out = []

    def put_object(bucket, name, stream, length, content_type):
        out.append((stream.read(), stream.closed))
        return object()

    client._engine.answers["put_object"] = put_object
    return out


class TestUploadFlow:
    @pytest.fixture
    def a_file(self, tmp_path):
        path = tmp_path / "page.html"
        path.write_bytes(b"<p>hello</p>")
        return path

    @pytest.mark.parametrize("as_", [str, os.fsencode, pathlib.Path])
    def test_a_named_file_is_uploaded_from_disk(self, client, looked_up, a_file, as_):
        data = as_(a_file)
        reads = stored(client)

        assert client._upload_flow("b", "obj.txt", data) is None

        (call,) = client._engine.calls
        assert call.name == "put_object"
        bucket, name, stream, length = call.args
        assert (bucket, name, length) == ("b", "obj.txt", 12)
        assert call.kwargs == {"content_type": "type/1"}
        assert looked_up == [data]  # the path, not the object name
        assert reads == [(b"<p>hello</p>", False)]  # open during the call
        assert isinstance(stream, io.BufferedReader)
        assert stream.mode == "rb"
        assert stream.closed

    @pytest.mark.parametrize(
        ("data", "expected"),
        [
            (b"\x00\xffraw", b"\x00\xffraw"),
            (BytesSub(b"sub"), b"sub"),
            (b"", b""),
            ("", b""),
            ("plain", b"plain"),
            ("中文", "中文".encode()),  # 6 bytes, not 2 characters
            ("a\U0001f600", "a\U0001f600".encode()),
            (pathlib.Path("/no/such/file"), b"/no/such/file"),
            (OwnText("/no/such/file"), b"own text"),
            (3, b"3"),
            (-1, b"-1"),
            (2**80, str(2**80).encode()),
            (True, b"True"),
        ],
    )
    def test_other_values_are_uploaded_as_their_bytes(self, client, looked_up, data, expected):
        reads = stored(client)

        client._upload_flow("b", "name.json", data)

        (call,) = client._engine.calls
        assert call.args[:2] == ("b", "name.json")
        assert call.args[3] == len(expected)
        assert type(call.args[2]) is io.BytesIO
        assert call.kwargs == {"content_type": "type/1"}
        assert looked_up == ["name.json"]
        assert reads == [(expected, False)]

    @pytest.mark.parametrize("which", ["directory", "missing"])
    def test_a_path_that_is_no_regular_file_is_text(self, client, looked_up, tmp_path, which):
        data = str(tmp_path if which == "directory" else tmp_path / "gone")
        reads = stored(client)

        client._upload_flow("b", "o", data)

        assert reads == [(data.encode(), False)]
        assert looked_up == ["o"]

    @pytest.mark.parametrize("data", ["a\x00b", b"a\x00b", "\ud800"])
    def test_names_the_host_cannot_test_are_no_files(self, client, data):
        assert not os.path.isfile(data)
        reads = stored(client)

        client._upload_flow("b", "o", data)

        if data == "\ud800":
            assert client._log.warnings == [REJECTED]
        else:
            assert reads == [(b"a\x00b", False)]

    def test_an_undecodable_file_name_is_a_file(self, client, tmp_path):
        raw = os.path.join(os.fsencode(tmp_path), b"\xff.txt")
        with open(raw, "wb") as out:
            out.write(b"from disk")
        reads = stored(client)

        client._upload_flow("b", "o", os.fsdecode(raw))  # "...\udcff.txt"

        assert reads == [(b"from disk", False)]

    def test_the_file_test_and_status_are_the_hosts_at_call_time(self, client, a_file, monkeypatch):
        real_stat = os.stat
        asked = []

        def stat(path, *args, **kwargs):
            asked.append(path)
            if path == str(a_file):
                raise FileNotFoundError(path)
            return real_stat(path, *args, **kwargs)

        monkeypatch.setattr(os, "stat", stat)
        reads = stored(client)

        client._upload_flow("b", "o", str(a_file))  # "gone" by the host's stat

        assert asked == [str(a_file)]
        assert reads == [(str(a_file).encode(), False)]

    def test_the_module_namespace_is_read_at_call_time(self, client, minio_main, monkeypatch):
        class FakePath:
            @staticmethod
            def isfile(path):
                return path == "virtual"

        class FakeOs:
            path = FakePath

            @staticmethod
            def stat(path):
                return os.stat_result((0,) * 6 + (3,) + (0,) * 3)

        monkeypatch.setattr(minio_main, "os", FakeOs)
        monkeypatch.setattr(builtins, "open", lambda path, mode: io.BytesIO(b"abc"))
        reads = stored(client)

        client._upload_flow("b", "o", "virtual")

        assert client._engine.calls[0].args[3] == 3
        assert reads == [(b"abc", False)]

    def test_a_name_rebound_during_the_call_is_kept_until_it_ends(
        self, client, minio_main, a_file, monkeypatch
    ):
        # Once the host rebinds `os`, the call alone holds the module it looked
        # up, and goes on with it (freed early, it would be read after free).
        def isfile(path):
            minio_main.os = os
            return True

        fake = types.ModuleType("fake_os")
        fake.path = types.SimpleNamespace(isfile=isfile)
        fake.stat = lambda path: os.stat_result((0,) * 6 + (3,) + (0,) * 3)
        monkeypatch.setattr(minio_main, "os", fake)
        del fake
        stored(client)

        client._upload_flow("b", "o", str(a_file))

        assert client._engine.calls[0].args[3] == 3  # the first module's stat

    def test_an_integer_is_never_taken_as_an_open_file(self, client, tmp_path):
        # The host's file test would stat descriptor `fd`, and the upload
        # would read and close the file that descriptor belongs to.
        with open(tmp_path / "held.txt", "wb") as held:
            fd = held.fileno()
            reads = stored(client)

            client._upload_flow("b", "o", fd)

            assert reads == [(str(fd).encode(), False)]
            os.fstat(fd)  # still open
            held.write(b"still mine")

    @pytest.mark.parametrize(
        "data",
        [
            "lone \ud800 surrogate",
            pathlib.PurePosixPath("/x/\udcff"),
            NoTextPath(ValueError("no text form")),
            FailingText("/no/such/file"),
        ],
        ids=["text", "path-text", "no-text-form", "text-subclass"],
    )
    def test_data_without_utf8_text_is_rejected(self, client, looked_up, data):
        del client._engine  # never read for rejected data

        assert client._upload_flow("b", "o", data) is None

        assert client._log.warnings == [REJECTED]
        assert looked_up == ["o"]  # asked before the data is examined

    def test_an_interruption_while_converting_passes_through(self, client):
        stop = Interrupt()
        with pytest.raises(Interrupt) as caught:
            client._upload_flow("b", "o", NoTextPath(stop))
        assert caught.value is stop
        assert client._log.warnings == []

    @pytest.mark.parametrize("data", [[], ["a"], {}, {"k": "v"}, None, 1.5, bytearray(b"x")])
    def test_containers_are_refused_by_the_file_test(self, client, data):
        expected = host_error(os.path.isfile, data)
        with pytest.raises(type(expected)) as caught:
            client._upload_flow("b", "o", data)
        assert str(caught.value) == str(expected)
        assert client._log.warnings == []
        assert client._engine.calls == []

    def test_a_failing_store_call_still_closes_the_file(self, client, a_file):
        error = StoreError("refused")
        client._engine.errors["put_object"] = error
        with pytest.raises(StoreError) as caught:
            client._upload_flow("b", "o", str(a_file))
        assert caught.value is error
        assert client._engine.calls[0].args[2].closed

    def test_a_missing_engine_still_closes_the_file(self, client, a_file, monkeypatch):
        opened = []
        real_open = builtins.open

        def spy(*args, **kwargs):
            opened.append(real_open(*args, **kwargs))
            return opened[-1]

        del client._engine
        monkeypatch.setattr(builtins, "open", spy)
        with pytest.raises(AttributeError, match="_engine"):
            client._upload_flow("b", "o", str(a_file))
        monkeypatch.undo()
        assert [f.closed for f in opened] == [True]

    class BadClose(io.BytesIO):
        def close(self):
            super().close()
            raise OSError("close failed")

    @pytest.mark.parametrize("store_fails", [True, False])
    def test_a_failing_close_never_hides_the_upload_error(
        self, client, a_file, monkeypatch, store_fails
    ):
        real_open = builtins.open
        target = str(a_file)
        monkeypatch.setattr(
            builtins,
            "open",
            lambda f, *a, **k: self.BadClose(b"x") if f == target else real_open(f, *a, **k),
        )
        error = StoreError("refused")
        if store_fails:
            client._engine.errors["put_object"] = error
        with pytest.raises((StoreError, OSError)) as caught:
            client._upload_flow("b", "o", target)
        if store_fails:
            assert caught.value is error
        else:
            assert str(caught.value) == "close failed"

    def test_content_type_errors_pass_through(self, client, minio_main, monkeypatch):
        error = LookupError("no table")

        def broken(name):
            raise error

        monkeypatch.setattr(minio_main, "get_content_type", broken)
        with pytest.raises(LookupError) as caught:
            client._upload_flow("b", "o", b"x")
        assert caught.value is error
        assert client._engine.calls == []


class TestUploadFile:
    @pytest.mark.parametrize(
        ("object_name", "stored_as"),
        [
            ("a\\b\\c.txt", "a/b/c.txt"),
            ("\\\\lead\\", "//lead/"),
            ("plain/name.txt", "plain/name.txt"),
            ("", ""),
        ],
    )
    def test_backslashes_become_slashes_in_the_object_name_only(
        self, client, looked_up, object_name, stored_as
    ):
        assert client._upload_file("b", object_name, "C:\\tmp\\f.txt") is None

        (call,) = client._engine.calls
        assert call.name == "fput_object"
        assert call.args == ("b", stored_as, "C:\\tmp\\f.txt")
        assert list(call.kwargs.items()) == [
            ("content_type", "type/1"),
            ("num_parallel_uploads", 3),
        ]
        assert looked_up == [object_name]  # before the rewrite

    @pytest.mark.parametrize("parallel", [1, 0, -5, 64, "4"])
    def test_parallel_is_handed_on_unchecked(self, client, parallel):
        client._upload_file("b", "o", "f", parallel=parallel)
        assert client._engine.calls[0].kwargs["num_parallel_uploads"] == parallel

    @pytest.mark.parametrize("object_name", [b"a\\b", 7])
    def test_an_object_name_that_is_no_text_fails_as_the_host_does(
        self, client, looked_up, object_name
    ):
        expected = host_error(lambda name: name.replace("\\", "/"), object_name)
        with pytest.raises(type(expected)) as caught:
            client._upload_file("b", object_name, "f")
        assert str(caught.value) == str(expected)
        assert client._engine.calls == []

    def test_storage_errors_pass_through(self, client):
        error = StoreError("denied")
        client._engine.errors["fput_object"] = error
        with pytest.raises(StoreError) as caught:
            client._upload_file("b", "o", "f")
        assert caught.value is error


def make_tree(root: pathlib.Path, files: list[str]) -> pathlib.Path:
    for name in files:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(name)
    return root


SITE = ["index.html", "css/main.css", "css/img/logo.png"]


def uploads_in_order(client) -> list[tuple[str, str, dict]]:
    return [c.args[1:] + (c.kwargs,) for c in client._engine.calls if c.name == "fput_object"]


def uploads(client) -> dict[str, str]:
    """Object name -> local path of every fput_object call."""
    calls = [c for c in client._engine.calls if c.name == "fput_object"]
    assert len({c.args[1] for c in calls}) == len(calls), "an object was uploaded twice"
    return {c.args[1]: c.args[2] for c in calls}


class TestUploadDir:
    @pytest.fixture
    def site(self, tmp_path):
        return make_tree(tmp_path / "srv" / "site", SITE)

    @pytest.mark.parametrize(
        ("base_dir", "prefix"),
        [(None, "site/"), ("", "site/"), ("web/live", "web/live/"), ("web\\live", "web/live/")],
    )
    def test_object_names_follow_the_prefix(self, client, site, base_dir, prefix):
        assert client._upload_dir("b", str(site), 5, base_dir) is None

        assert uploads(client) == {prefix + name: os.path.join(site, name) for name in SITE}
        assert {c.kwargs["num_parallel_uploads"] for c in client._engine.calls} == {5}

    @pytest.mark.parametrize("kind", [os.fsencode, pathlib.Path, pathlib.PurePosixPath])
    def test_bytes_and_path_like_directories_name_the_same_objects_and_files(
        self, client, site, kind
    ):
        client._upload_dir("b", kind(str(site)))
        assert uploads(client) == {"site/" + name: os.path.join(site, name) for name in SITE}

    def test_a_trailing_separator_gives_no_prefix(self, client, site):
        client._upload_dir("b", str(site) + os.sep)
        assert sorted(uploads(client)) == sorted(SITE)
        assert {c.kwargs["num_parallel_uploads"] for c in client._engine.calls} == {3}

    def test_the_current_directory_is_a_dot(self, client, site, monkeypatch):
        monkeypatch.chdir(site)
        client._upload_dir("b", ".")
        assert uploads(client)["./index.html"] == "./index.html"

    def test_backslashes_in_names_become_name_levels(self, client, tmp_path):
        top = make_tree(tmp_path / "a\\b", ["x\\y.txt", "sub\\dir/z.txt"])
        client._upload_dir("b", str(top))
        assert sorted(uploads(client)) == ["b/sub/dir/z.txt", "b/x/y.txt"]

    def test_empty_directories_leave_no_trace(self, client, tmp_path):
        (tmp_path / "top" / "empty" / "deeper").mkdir(parents=True)
        client._upload_dir("b", str(tmp_path / "top"))
        assert client._engine.calls == []

    def test_a_missing_directory_fails_before_any_upload(self, client, tmp_path):
        missing = tmp_path / "gone"
        expected = host_error(os.listdir, str(missing))
        with pytest.raises(FileNotFoundError) as caught:
            client._upload_dir("b", str(missing))
        assert str(caught.value) == str(expected)
        assert client._engine.calls == []

    def test_links_to_directories_are_descended_and_dangling_ones_are_files(self, client, tmp_path):
        top = make_tree(tmp_path / "top", ["f.txt"])
        make_tree(tmp_path / "elsewhere", ["e.txt"])
        (top / "to_elsewhere").symlink_to(tmp_path / "elsewhere")
        (top / "dangling").symlink_to(tmp_path / "nothing")

        client._upload_dir("b", str(top))

        assert uploads(client) == {
            "top/f.txt": str(top / "f.txt"),
            "top/to_elsewhere/e.txt": str(top / "to_elsewhere" / "e.txt"),
            "top/dangling": str(top / "dangling"),
        }

    def test_a_link_cycle_uploads_each_file_once(self, client, tmp_path):
        top = make_tree(tmp_path / "top", ["f.txt", "a/g.txt", "a/b/h.txt"])
        (top / "self").symlink_to(top)
        (top / "a" / "b" / "up").symlink_to(top / "a")
        (top / "a" / "b" / "root").symlink_to("../..")

        client._upload_dir("b", str(top))

        assert sorted(uploads(client)) == ["top/a/b/h.txt", "top/a/g.txt", "top/f.txt"]
        skipped = [top / "self", top / "a" / "b" / "up", top / "a" / "b" / "root"]
        assert sorted(client._log.warnings) == sorted(
            CYCLE_SKIPPED.format(str(path)) for path in skipped
        )

    def test_links_between_siblings_are_not_cycles(self, client, tmp_path):
        top = make_tree(tmp_path / "top", ["a/x", "b/y"])
        (top / "a" / "to_b").symlink_to(top / "b")
        (top / "b" / "to_a").symlink_to(top / "a")

        client._upload_dir("b", str(top))

        assert sorted(uploads(client)) == sorted(
            ["top/a/x", "top/a/to_b/y", "top/b/y", "top/b/to_a/x"]
        )

    def test_the_walk_of_a_plan_is_the_walk_of_the_nested_calls(
        self, client, minio_main, config, tmp_path
    ):
        # Read by the walk itself (a plan, the class's own _upload_dir) or
        # folder by folder through self._upload_dir (workers=1): the same
        # files in the same order, the same warnings.
        top = make_tree(tmp_path / "top", ["f", "a/g", "a/b\\c/h", "z/y"])
        (top / "a" / "up").symlink_to(top)
        (top / "a" / "dangling").symlink_to(tmp_path / "nothing")
        (top / "z" / "to_a").symlink_to(top / "a")
        os.mkfifo(top / "a" / "pipe")
        client._upload_dir("b", str(top), base_dir="p\\q")
        planned = [(name, path) for name, path, _ in uploads_in_order(client)]
        warned = client._log.warnings

        planner = minio_main.ZarnelMinioMain(config)
        planner._log, items = RecordingLog(), []
        planner._plan_upload_dir("b", str(top), base_dir="p\\q", add=items.append)
        assert [(name, path) for name, path, _ in items] == planned
        assert planner._log.warnings == warned
        assert sorted(planned)[:2] == [("p/q/a/b/c/h", str(top / "a" / "b\\c" / "h")),
                                       ("p/q/a/dangling", str(top / "a" / "dangling"))]  # fmt: skip
        assert len(planned) == 8  # f, y, and a's g, h and dangling twice (also as z/to_a)
        assert dict((n, s) for n, _, s in items)["p/q/a/dangling"] is None
        assert len(warned) == 4  # the cycle and the pipe, each also under z/to_a

    def test_entries_are_taken_in_listing_order(self, client, tmp_path, monkeypatch):
        top = make_tree(tmp_path / "top", ["a", "b", "c", ".hidden"])
        real = os.listdir
        monkeypatch.setattr(os, "listdir", lambda path: sorted(real(path), reverse=True))

        client._upload_dir("b", str(top))

        assert [c.args[1] for c in client._engine.calls] == [
            "top/c",
            "top/b",
            "top/a",
            "top/.hidden",
        ]

    def test_calls_go_through_the_instance(self, minio_main, config, tmp_path):
        top = make_tree(tmp_path / "top", ["f.txt", "d/g.txt"])
        (top / "d" / "loop").symlink_to(top)
        seen = []

        class Derived(minio_main.ZarnelMinioMain):
            def _upload_dir(self, *args, **kwargs):
                seen.append(("dir", args, kwargs))
                return super()._upload_dir(*args, **kwargs)

            def _upload_file(self, *args, **kwargs):
                seen.append(("file", args, kwargs))

        client = Derived(config)
        client._engine = FakeMinio()
        client._upload_dir("b", str(top), 2)

        assert sorted(seen, key=repr) == sorted(
            [
                ("dir", ("b", str(top), 2), {}),
                ("dir", ("b", str(top / "d"), 2, "top/d"), {}),
                ("file", ("b", "top/f.txt", str(top / "f.txt")), {"parallel": 2}),
                ("file", ("b", "top/d/g.txt", str(top / "d" / "g.txt")), {"parallel": 2}),
            ],
            key=repr,
        )
        assert client._engine.calls == []

    def test_a_failed_walk_leaves_nothing_behind(self, minio_main, config, tmp_path):
        failing = make_tree(tmp_path / "failing", ["sub/boom.txt"])
        other = make_tree(tmp_path / "other", ["o.txt"])
        (other / "link").symlink_to(failing / "sub")
        error = StoreError("boom")

        class Derived(minio_main.ZarnelMinioMain):
            def _upload_file(self, bucket_name, object_name, file_name, parallel=3):
                if object_name == "failing/sub/boom.txt":
                    raise error
                super()._upload_file(bucket_name, object_name, file_name, parallel=parallel)

        client = Derived(config)
        client._engine = FakeMinio()
        with pytest.raises(StoreError) as caught:
            client._upload_dir("b", str(failing))
        assert caught.value is error

        # The directories of the failed walk are no longer "being walked".
        client._upload_dir("b", str(other))
        assert sorted(uploads(client)) == ["other/link/boom.txt", "other/o.txt"]

    def test_walks_on_two_threads_do_not_meet(self, minio_main, config, tmp_path):
        first = make_tree(tmp_path / "first", ["one.txt"])
        second = make_tree(tmp_path / "second", ["two.txt"])
        (second / "into_first").symlink_to(first)
        inside, done = threading.Event(), threading.Event()

        class Derived(minio_main.ZarnelMinioMain):
            def _upload_file(self, *args, **kwargs):
                if args[1] == "first/one.txt":
                    inside.set()  # the first walk is in the middle of `first`
                    assert done.wait(30)
                super()._upload_file(*args, **kwargs)

        client = Derived(config)
        client._engine = FakeMinio()
        errors = []

        def walk_first():
            try:
                client._upload_dir("b", str(first))
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)

        thread = threading.Thread(target=walk_first)
        thread.start()
        try:
            assert inside.wait(30)
            client._upload_dir("b", str(second))
        finally:
            done.set()
            thread.join(30)
        assert errors == []
        assert sorted(uploads(client)) == [
            "first/one.txt",
            "second/into_first/one.txt",
            "second/two.txt",
        ]


def nested(root: pathlib.Path, depth: int) -> pathlib.Path:
    """root/d/d/.../d (depth levels) with one file at the bottom."""
    root.mkdir()
    fd = os.open(root, os.O_RDONLY)
    try:
        for _ in range(depth):
            os.mkdir("d", dir_fd=fd)
            inner = os.open("d", os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = inner
        os.close(os.open("f", os.O_CREAT | os.O_WRONLY, dir_fd=fd))
    finally:
        os.close(fd)
    return root


class TestDeepTrees:
    def test_a_tree_deeper_than_the_recursion_limit_is_refused(self, client, tmp_path):
        root = nested(tmp_path / "r", sys.getrecursionlimit() + 10)
        with pytest.raises(RecursionError, match="while walking a directory tree"):
            client._upload_dir("b", str(root))
        assert client._engine.calls == []

        near_bottom = root.joinpath(*["d"] * sys.getrecursionlimit())
        client._upload_dir("b", str(near_bottom), base_dir="x")  # nothing left over
        assert len(client._engine.calls) == 1

    def test_a_small_thread_stack_ends_in_an_error_not_a_crash(self, client, tmp_path):
        root = nested(tmp_path / "r", 900)
        outcome = []

        def walk():
            try:
                client._upload_dir("b", str(root))
                outcome.append("done")
            except RecursionError as e:
                outcome.append(str(e))

        old = threading.stack_size(256 * 1024)
        try:
            thread = threading.Thread(target=walk)
            thread.start()
        finally:
            threading.stack_size(old)
        thread.join(60)
        assert outcome == ["maximum recursion depth exceeded while walking a directory tree"]

    def test_the_walk_that_reads_its_own_folders_has_the_bound_but_no_recursion(
        self, client, tmp_path
    ):
        root = nested(tmp_path / "r", sys.getrecursionlimit() + 10)
        items = []
        with pytest.raises(RecursionError, match="while walking a directory tree"):
            client._plan_upload_dir("b", str(root), add=items.append)

        # 900 levels on a small thread stack: the folders are not nested calls.
        deep = root.joinpath(*["d"] * (sys.getrecursionlimit() + 10 - 900))
        thread = threading.Thread(
            target=client._plan_upload_dir, args=("b", str(deep)), kwargs={"add": items.append}
        )
        old = threading.stack_size(256 * 1024)
        try:
            thread.start()
        finally:
            threading.stack_size(old)
        thread.join(60)
        assert [name.count("/") for name, *_ in items] == [901]  # "d/.../d/f"
