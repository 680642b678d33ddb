"""The sync's merge pairs a file with its object whatever order the store lists
a folder in, and refuses a listing that would pair wrongly."""

from __future__ import annotations

import logging
import os

import pytest

from zarnel.messages import CYCLE_SKIPPED, NOT_A_FILE_SKIPPED
from zarnel.sync import Entry, LocalTree, SyncReport, _delete_files, merge

NAMES = ["a-b", "a/x", "a/y/z", "a0", "b"]
# Key order ("a-b" < "a/" < "a0"), and the order of a store that lists a
# folder before the names it is a prefix of (SeaweedFS).
KEY_ORDER = ["src/a-b", "src/a/x", "src/a/y/z", "src/a0", "src/b"]
FOLDER_ORDER = ["src/a/x", "src/a/y/z", "src/a-b", "src/a0", "src/b"]


class Owner:
    _log = logging.getLogger("zarnel")


def pairs(root, listed):
    failed: dict = {}
    tree = LocalTree(failed, Owner(), slashes=True)
    objects = [Entry(name, "", 1, 0.0) for name in listed]
    found = [(f and f.name, o and o.name) for f, o in merge(tree, str(root), "src/", objects)]
    assert failed == {}
    return found


@pytest.mark.parametrize("listed", [KEY_ORDER, FOLDER_ORDER], ids=["key", "folder"])
def test_each_file_meets_its_object_in_either_listing_order(tmp_path, listed):
    for name in [*NAMES, "only/here"]:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(b"1")
    found = pairs(tmp_path, [*listed, "src/only-there/x"])
    both = sorted(f for f, o in found if f and o)
    assert both == sorted(KEY_ORDER)
    assert {p for p in found if None in p} == {(None, "src/only-there/x"), ("src/only/here", None)}


def test_a_name_that_is_a_file_on_one_side_and_a_folder_on_the_other(tmp_path):
    # The store may hold "a" and "a/x" at once; the tree holds a folder "a"
    # (with "x") and a file "b", where the store has the folder "b/".
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "x").write_bytes(b"1")
    (tmp_path / "b").write_bytes(b"1")
    found = pairs(tmp_path, ["src/a", "src/a/x", "src/b/y"])
    assert sorted(found, key=str) == sorted(
        [(None, "src/a"), ("src/a/x", "src/a/x"), ("src/b", None), (None, "src/b/y")], key=str
    )


def test_a_listing_that_comes_back_to_a_folder_is_refused(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "x").write_bytes(b"1")
    with pytest.raises(RuntimeError, match="came back to 'src/a/'"):
        pairs(tmp_path, ["src/a/x", "src/b", "src/a/y"])


def test_the_tree_skips_and_refuses_what_the_upload_walk_would(tmp_path, caplog):
    # The upload walk's skips (a cycle, a pipe) with its warnings; what no
    # object could mirror (a dangling link, a backslash) is a failure; a
    # temporary file of a copy is no entry at all.
    for name in ["f", "a/g", "a/x\\y", ".zarnel-0123456789abcdef.part"]:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(b"1")
    (tmp_path / "a" / "up").symlink_to(tmp_path)
    (tmp_path / "a" / "dangling").symlink_to(tmp_path / "nothing")
    os.mkfifo(tmp_path / "pipe")
    failed: dict = {}
    tree = LocalTree(failed, Owner(), slashes=True)
    with caplog.at_level(logging.WARNING, logger="zarnel"):
        found = [f.name for f, o in merge(tree, str(tmp_path), "src/", [])]
    assert found == ["src/f", "src/a/g"]
    assert sorted(failed) == ["src/a/dangling", "src/a/x\\y"]
    assert isinstance(failed["src/a/dangling"], FileNotFoundError)
    assert [r.getMessage() for r in caplog.records] == [
        NOT_A_FILE_SKIPPED.format(str(tmp_path / "pipe")),
        CYCLE_SKIPPED.format(str(tmp_path / "a" / "up")),
    ]
    assert tree.walk.inside == []


def test_a_file_gone_before_its_delete_is_no_failure(tmp_path):
    report = SyncReport()
    _delete_files([Entry("p/gone", str(tmp_path / "gone"), 1, 0.0)], report)
    assert report.failed == {}
