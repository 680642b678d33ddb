"""The support modules: configuration record, logger, content types."""

from __future__ import annotations

import copy
import io
import logging
import pathlib
import pickle

import pytest

from zarnel.content_type import get_content_type
from zarnel.messages import BUCKET_EXISTS, NO_POLICY
from zarnel_log import ZarnelLog, default_log_path
from zarnel_var import ZarnelTunnelVar, ZarnelVar


class TestZarnelVar:
    def test_reads_writes_and_absent_keys(self):
        record = ZarnelVar(host="h", port=1)
        assert (record.host, record.get("port")) == ("h", 1)
        assert record.missing is None
        assert record.get("missing") is None
        record.set("user", "u")
        record.port = 2
        assert record.todict() == {"host": "h", "port": 2, "user": "u"}

    def test_every_text_key_is_an_entry(self):
        # Names of the methods' own parameters included.
        entries = {key: n for n, key in enumerate(["self", "key", "default", "entries", "get"])}
        record = ZarnelVar(**entries)
        assert {key: record.get(key) for key in entries} == entries
        assert record.todict() == entries
        tunnel = ZarnelTunnelVar(io.BytesIO(), **entries, resource=9)
        assert tunnel.get("resource") == 9
        for clone in (copy.copy(tunnel), copy.deepcopy(tunnel), pickle.loads(pickle.dumps(tunnel))):
            assert clone.todict() == {**entries, "resource": 9}

    def test_todict_is_a_new_plain_dict(self):
        record = ZarnelVar(a=1)
        first = record.todict()
        first["a"] = 2
        assert type(first) is dict
        assert record.todict() == {"a": 1}
        assert record.todict() is not record.todict()

    def test_repr_masks_secrets(self):
        record = ZarnelVar(user="u", password="pw-1", ssh_password="pw-2", ssh_rsa_pwd="pw-3")
        for text in (repr(record), str(record)):
            assert "pw-" not in text
            assert "user='u'" in text
        assert "password=None" in repr(ZarnelVar(password=None))

    def test_behaves_as_an_ordinary_object(self):
        record = ZarnelVar(a=[1])
        clone = copy.deepcopy(record)
        assert clone == record
        assert clone is not record
        with pytest.raises(AttributeError):
            record.__missing_dunder__  # noqa: B018


class TestZarnelLog:
    def test_without_file_writes_through_the_zarnel_logger(self, caplog, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
        log = ZarnelLog(file=False)
        error = ValueError("not text")
        with caplog.at_level(logging.WARNING, logger="zarnel"):
            log.warning(BUCKET_EXISTS)
            log.warning(error)
        assert [(r.name, r.getMessage()) for r in caplog.records] == [
            ("zarnel", BUCKET_EXISTS),
            ("zarnel", "not text"),
        ]
        assert caplog.records[1].args == (error,)  # the value itself is kept
        assert list(tmp_path.rglob("*")) == []

    def test_with_file_writes_a_log_file(self, tmp_path):
        target = tmp_path / "logs" / "z.log"
        log = ZarnelLog(file=True, path=target)
        try:
            log.warning(NO_POLICY)
            log.logger.handlers[-1].flush()
            assert f"WARNING zarnel: {NO_POLICY}" in target.read_text(encoding="utf-8")
        finally:
            for handler in list(log.logger.handlers):
                log.logger.removeHandler(handler)
                handler.close()

    def test_default_log_place(self, monkeypatch, tmp_path):
        monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
        assert default_log_path() == tmp_path / "zarnel" / "zarnel.log"


class TestContentType:
    @pytest.mark.parametrize(
        ("name", "expected"),
        [
            ("docs/index.html", "text/html"),
            ("a\\b\\page.HTML", "text/html"),
            ("photo.jpg", "image/jpeg"),
            (b"data/report.pdf", "application/pdf"),
            (pathlib.PurePosixPath("x/y.json"), "application/json"),
            ("archive.tar.gz", "application/gzip"),
            ("no-extension", "application/octet-stream"),
            ("weird.zzzz", "application/octet-stream"),
            ("", "application/octet-stream"),
            ("odd?name#.txt", "text/plain"),
        ],
    )
    def test_lookup(self, name, expected):
        assert get_content_type(name) == expected

    def test_independent_of_the_machines_tables(self, tmp_path):
        import mimetypes

        extra = tmp_path / "mime.types"
        extra.write_text("application/x-zarnel-test zzzz\n")
        mimetypes.init([str(extra)])
        try:
            assert get_content_type("weird.zzzz") == "application/octet-stream"
        finally:
            mimetypes.init()
