"""Tree upload and download with workers and progress, against the recording fake."""

from __future__ import annotations

import logging
import os
import signal
import sys
import threading

import pytest

from tests.fakes import FakeMinio, RecordingLog, StoreError
from tests.unit.test_upload import make_tree
from zarnel.messages import NAME_SKIPPED, NOT_A_FILE_SKIPPED

FILES = [f"f{i}.txt" for i in range(12)] + [f"d/g{i}.txt" for i in range(6)] + ["d/e/h.txt"]


def transfer_threads() -> list[str]:
    return [t.name for t in threading.enumerate() if t.name.startswith("zarnel-transfer")]


@pytest.fixture
def tree(tmp_path):
    return make_tree(tmp_path / "top", FILES)


@pytest.fixture
def recorder(minio_main, config):
    """A subclass that records every per-file and nested call it receives,
    and runs `on_file(object_name)` inside each file transfer."""

    class Recorder(minio_main.ZarnelMinioMain):
        on_file = staticmethod(lambda name: None)

        def _upload_dir(self, *args, **kwargs):
            self.calls.append(("dir", args, kwargs, threading.current_thread().name))
            return super()._upload_dir(*args, **kwargs)

        def _upload_file(self, *args, **kwargs):
            self.calls.append(("file", args, kwargs, threading.current_thread().name))
            self.on_file(args[1])

        def _download_file(self, *args, **kwargs):
            self.calls.append(("get", args, kwargs, threading.current_thread().name))
            self.on_file(args[1])
            return True

    def make():
        client = Recorder(config)
        client.calls = []
        client._engine = FakeMinio()
        client._log = RecordingLog()
        return client

    return make


def without_threads(calls):
    return sorted((kind, args, kwargs) for kind, args, kwargs, _ in calls)


def listing(names, size=4):
    return lambda bucket, prefix="": [{"object_name": n, "size": size} for n in names]


class TestSameWork:
    def test_workers_make_the_sequential_calls_and_share_one_transfers(
        self, recorder, tree, minio_main, monkeypatch
    ):
        sequential = recorder()
        sequential._upload_dir("b", str(tree), 2)

        made = []

        class Counted(minio_main.Transfers):
            def __init__(self, *args):
                made.append(args)
                super().__init__(*args)

        monkeypatch.setattr(minio_main, "Transfers", Counted)
        overlapped = recorder()
        overlapped._upload_dir("b", str(tree), 2, workers=4)

        # The top call aside (it alone asked for workers), the same calls.
        assert without_threads(overlapped.calls[1:]) == without_threads(sequential.calls[1:])
        assert [args[:2] for args in made] == [(4, None)]  # the nested calls joined it
        walkers = {t for kind, *_, t in overlapped.calls if kind == "dir"}
        assert walkers == {threading.current_thread().name}
        assert all(t.startswith("zarnel-transfer") for k, *_, t in overlapped.calls if k == "file")
        assert transfer_threads() == []

    def test_downloads_match_the_sequential_run(self, recorder, tmp_path):
        names = ["p/a", "p/b", "p/c", "p/deeper/x", "q/a"] + [f"p/n{i}" for i in range(20)]
        runs = []
        for workers in (1, 3):
            client = recorder()
            client._bucket_list_files = listing(names)
            client._download_dir("b", "p", str(tmp_path), workers=workers)
            runs.append(without_threads(client.calls))
        assert runs[0] == runs[1]
        assert len(runs[0]) == 23

    @pytest.mark.parametrize("workers", [1, 2])
    def test_a_special_file_is_skipped_with_a_warning(self, recorder, tree, workers):
        os.mkfifo(tree / "pipe")
        client = recorder()
        client._upload_dir("b", str(tree), workers=workers)
        assert len(client.calls) == 3 + len(FILES)  # the walk never opened the pipe
        assert client._log.warnings == [NOT_A_FILE_SKIPPED.format(str(tree / "pipe"))]


class TestOverlap:
    @pytest.mark.parametrize("workers", [3, 16, 2**64])
    def test_as_many_files_move_at_once_as_there_are_workers_and_no_more(
        self, recorder, tree, workers
    ):
        threads = min(workers, 10)
        together = threading.Barrier(threads, timeout=30)
        lock = threading.Lock()
        moving, most, arrived = 0, 0, 0

        def on_file(name):
            nonlocal moving, most, arrived
            with lock:
                moving += 1
                most = max(most, moving)
                arrived += 1
                first = arrived <= threads
            try:
                if first:
                    together.wait()  # broken unless `threads` files move at once
            finally:
                with lock:
                    moving -= 1

        client = recorder()
        client.on_file = on_file
        client._upload_dir("b", str(tree), workers=workers)
        assert most == threads

    def test_progress_reports_every_file_once_from_the_thread_that_moved_it(
        self, recorder, tree, tmp_path
    ):
        (tree / "f0.txt").write_bytes(b"x" * 1000)
        seen = []
        client = recorder()
        client._upload_dir(
            "b", str(tree), workers=4,
            progress=lambda name, size: seen.append((name, size, threading.current_thread().name)),
        )  # fmt: skip
        assert sorted((n, s) for n, s, _ in seen) == sorted(
            ("top/" + f, 1000 if f == "f0.txt" else len(f)) for f in FILES
        )
        assert all(t.startswith("zarnel-transfer") for *_, t in seen)

        seen.clear()
        client._bucket_list_files = listing(["p/a", "p/b"], size=7)
        client._download_dir("b", "p", str(tmp_path), progress=lambda *a: seen.append(a))
        assert seen == [("p/a", 7), ("p/b", 7)]  # one worker: in order, on this thread

    @pytest.mark.parametrize("workers", [0, -2, 1.0, "4", True, None])
    def test_bad_workers_are_refused_before_anything_moves(self, recorder, tree, workers):
        client = recorder()
        client._bucket_list_files = listing(["p/a"])
        for call in (
            lambda: client._upload_dir("b", str(tree), workers=workers),
            lambda: client._download_dir("b", "p", str(tree), workers=workers),
        ):
            with pytest.raises((TypeError, ValueError), match="workers must be"):
                call()
        with pytest.raises(TypeError, match="progress must be callable"):
            client._upload_dir("b", str(tree), progress="yes")
        assert [c for c in client.calls if c[0] != "dir"] == []


class TestFailure:
    def test_the_first_failure_is_raised_and_the_later_ones_are_noted(self, recorder, tree):
        errors = {name: StoreError(name) for name in ("top/f3.txt", "top/f4.txt")}
        both = threading.Barrier(2, timeout=30)

        def on_file(name):
            if name in errors:
                both.wait()  # both fail, one after the other
                raise errors[name]

        client = recorder()
        client.on_file = on_file
        with pytest.raises(StoreError) as caught:
            client._upload_dir("b", str(tree), workers=2)

        first = caught.value
        assert any(first is e for e in errors.values())
        (other,) = [n for n, e in errors.items() if e is not first]
        assert f"also failed {other!r}: StoreError: {other}" in first.__notes__
        assert transfer_threads() == []

    def test_an_error_that_takes_no_notes_is_raised_itself_and_the_rest_logged(
        self, recorder, tree, caplog
    ):
        from minio.error import S3Error  # frozen: add_note raises AttributeError

        errors = {
            name: S3Error(None, "NoSuchBucket", name, "/b", "req", "host", bucket_name="b")
            for name in ("top/f3.txt", "top/f4.txt", "top/f5.txt")
        }
        all_three = threading.Barrier(3, timeout=30)

        def on_file(name):
            if name in errors:
                all_three.wait()
                raise errors[name]

        client = recorder()
        client.on_file = on_file
        with caplog.at_level("ERROR", logger="zarnel"), pytest.raises(S3Error) as caught:
            client._upload_dir("b", str(tree), workers=4)

        assert any(caught.value is e for e in errors.values())
        assert not getattr(caught.value, "__notes__", None)
        others = sorted(n for n, e in errors.items() if e is not caught.value)
        logged = [r.getMessage() for r in caplog.records if r.name == "zarnel"]
        assert sorted(m.split("'")[1] for m in logged) == others
        assert all("also failed" in m and "NoSuchBucket" in m for m in logged)
        assert transfer_threads() == []

    def test_nothing_new_starts_once_a_failure_is_seen(self, recorder, tmp_path):
        error = StoreError("first")
        client = recorder()
        client._bucket_list_files = listing([f"p/{i}" for i in range(60)])

        def on_file(name):
            if len(client.calls) == 1:
                raise error

        client.on_file = on_file
        with pytest.raises(StoreError) as caught:
            client._download_dir("b", "p", str(tmp_path), workers=2)
        assert caught.value is error
        assert len(client.calls) < 30

    def test_a_failing_progress_callable_ends_the_call(self, recorder, tmp_path):
        error = StoreError("progress")
        client = recorder()
        client._bucket_list_files = listing([f"p/{i}" for i in range(30)])

        def progress(name, size):
            raise error

        with pytest.raises(StoreError) as caught:
            client._download_dir("b", "p", str(tmp_path), workers=3, progress=progress)
        assert caught.value is error
        assert len(client.calls) < 30
        assert transfer_threads() == []

    def test_a_failed_walk_is_raised_once_the_transfers_in_flight_end(
        self, recorder, tree, monkeypatch
    ):
        error = PermissionError("d")
        listdir = os.listdir
        ended = []

        def failing(path):
            if path.endswith("d"):
                raise error
            return listdir(path)

        monkeypatch.setattr(os, "listdir", failing)
        client = recorder()
        client.on_file = ended.append
        with pytest.raises(PermissionError) as caught:
            client._upload_dir("b", str(tree), workers=3)
        assert caught.value is error
        assert sorted(ended) == sorted(c[1][1] for c in client.calls if c[0] == "file")
        assert transfer_threads() == []

    def test_ctrl_c_ends_the_call_and_leaves_no_thread(self, recorder, tree):
        interrupted = threading.Event()

        def on_sigint(signum, frame):
            interrupted.set()
            raise KeyboardInterrupt

        sent = threading.Lock()

        def on_file(name):
            if sent.acquire(blocking=False):  # the first file to move
                os.kill(os.getpid(), signal.SIGINT)
            assert interrupted.wait(30)  # every transfer runs until Ctrl-C arrived

        client = recorder()
        client.on_file = on_file
        previous = signal.signal(signal.SIGINT, on_sigint)
        try:
            with pytest.raises(KeyboardInterrupt):
                client._upload_dir("b", str(tree), workers=3)
        finally:
            signal.signal(signal.SIGINT, previous)
        assert len(client.calls) < len(FILES) + 3
        assert transfer_threads() == []


class TestWhichPath:
    def test_a_storage_client_the_engine_cannot_read_takes_the_threads(
        self, client, tree, monkeypatch, caplog
    ):
        # A stand-in SDK without the submodule that the engine's check reads.
        monkeypatch.setitem(sys.modules, "minio.api", None)
        with caplog.at_level(logging.DEBUG, logger="zarnel"):
            client._upload_dir("b", str(tree), workers=4)
        assert len(client._engine.calls) == len(FILES)
        lines = [r.getMessage() for r in caplog.records]
        assert lines[0].startswith("_upload_dir on 4 threads: the storage client could not be read")
        assert lines[-1].startswith(f"_upload_dir ended: {len(FILES)} files, ")


class TestPlannedItems:
    def test_the_plan_is_the_walk_and_a_batch_of_it_makes_the_walks_calls(self, recorder, tree):
        sequential = recorder()
        sequential._upload_dir("b", str(tree), 2)
        planner, items = recorder(), []
        planner._plan_upload_dir("b", str(tree), 2, add=items.append)

        # The nested calls go through the instance; no file moves.
        nested, walked = (
            [c for c in sequential.calls[1:] if c[0] == kind] for kind in ("dir", "file")
        )
        assert [c[:3] for c in planner.calls] == [c[:3] for c in nested]
        assert [(name, path) for name, path, _ in items] == [c[1][1:3] for c in walked]
        assert all(size == os.stat(path).st_size for _, path, size in items)
        for workers in (1, 3):
            batch = recorder()
            batch._upload_files("b", items, 2, workers=workers)
            assert without_threads(batch.calls) == without_threads(walked)

    def test_the_download_plan_is_what_the_listing_chooses_with_sizes_and_etags(
        self, recorder, tmp_path
    ):
        names = ["p/a", "p/deeper/x", "p/..", "p/", "p/b"]
        client = recorder()
        client._bucket_list_files = lambda bucket, prefix="": [
            {"object_name": name, "size": i, "etag": f"e{i}"} for i, name in enumerate(names)
        ]
        items = []
        client._plan_download_dir("b", "p", str(tmp_path), add=items.append)
        assert items == [("p/a", f"{tmp_path}/a", 0, "e0"), ("p/b", f"{tmp_path}/b", 4, "e4")]
        assert client._log.warnings == [NAME_SKIPPED.format("p/..")]
        assert client.calls == []

        client._download_files("b", items, workers=2)
        assert without_threads(client.calls) == [
            ("get", ("b", name, path), {}) for name, path, *_ in items
        ]

    @pytest.mark.parametrize(
        ("item", "error", "message"),
        [
            (("top/a", "a"), ValueError, r"^not enough values to unpack \(expected 3, got 2\)$"),
            (("top/a", "a", 1, "e"), ValueError, r"^too many values to unpack \(expected 3"),
            (7, TypeError, "must be a tuple or a list"),
        ],
    )
    def test_a_malformed_item_is_refused_before_it_moves(self, recorder, item, error, message):
        client = recorder()
        with pytest.raises(error, match=message):
            client._upload_files("b", [item], workers=2)
        assert client.calls == []
        assert transfer_threads() == []

    def test_a_plan_made_during_a_walk_keeps_apart_from_it(self, recorder, tree, tmp_path):
        other = make_tree(tmp_path / "other", ["x.txt", "d/y.txt"])
        planned = []
        client = recorder()

        def on_file(name):
            if not planned:
                client._plan_upload_dir("b", str(other), add=planned.append)

        client.on_file = on_file
        client._upload_dir("b", str(tree))
        assert sorted(name for name, *_ in planned) == ["other/d/y.txt", "other/x.txt"]
        moved = sorted(c[1][1] for c in client.calls if c[0] == "file")
        assert moved == sorted(f"top/{name}" for name in FILES)
