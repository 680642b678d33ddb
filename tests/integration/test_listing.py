"""_bucket_list_files through the native lister against the storage client's
list_objects, record for record, on every server: odd names, more than one
page, prefixes, pages of every form the storage client reads (answered by the
fault proxy in the store's place), the same errors for a missing bucket and
a store that is gone, pages tried again, and Ctrl-C. Every client is made by
``_connect()`` from a plain mapping, as a user makes it."""

from __future__ import annotations

import contextlib
import logging
import os
import signal
import sys
import threading
import time

import pytest
import urllib3
from minio.error import S3Error

from tests.helpers import wait_for
from tests.integration.conftest import ENGINE_KINDS
from tests.integration.test_engine_failures import ends
from zarnel.minio_main import ZarnelMinioMain

pytestmark = pytest.mark.parametrize("s3_server", ENGINE_KINDS, indirect=True)

# Names that url-encoding changes (and that a second decoding would change
# again), XML's own characters, and keys that sort around "/".
ODD = ["a b.txt", "p+q.csv", "100%.json", "%41%2B.txt", "why?.html", "hash#.txt",
       "中文 ü/été.txt", "a\\b.txt", "~tilde.png", "x=1&y=2", "<tag>&amp;'\".txt",
       "emoji 😀.txt", "a-b", "a/b", "a0"]  # fmt: skip
ENGINE = "_bucket_list_files on the transfer engine"
THROUGH_SDK = "_bucket_list_files through the storage client"


class ThroughSdk(ZarnelMinioMain):
    """Its _bucket_list_files is not the class's own: the SDK's list_objects."""

    def _bucket_list_files(self, bucket_name, prefix=""):
        return super()._bucket_list_files(bucket_name, prefix)


def connected(kind, server, port: int | None = None):
    client = kind({"host": "127.0.0.1", "port": port or server.port,
                   "user": server.access_key, "password": server.secret_key})  # fmt: skip
    client._connect()
    return client


@pytest.fixture
def pair(s3_server, proxy):
    """The engine's client and the SDK's, both through the proxy."""
    fast = connected(ZarnelMinioMain, s3_server, proxy.port)
    return fast, connected(ThroughSdk, s3_server, proxy.port)


def outcome(call, *args):
    try:
        return "returned", call(*args)
    except S3Error as error:  # each answer has its own request id
        return "raised", S3Error, error.code, error.message, error.resource, error.bucket_name
    except Exception as error:  # noqa: BLE001 - what the call ended with
        return "raised", type(error), str(error)


def listings(proxy):
    return [r for r in proxy.log if r.query.get("list-type") == "2"]


def sdk_parses(monkeypatch) -> list:
    """The pages that the lister handed to the SDK's parser (the SDK's own
    list_objects holds a name of its own for it)."""
    import minio.datatypes

    handed, parse = [], minio.datatypes.parse_list_objects
    monkeypatch.setattr(minio.datatypes, "parse_list_objects",
                        lambda response: handed.append(response) or parse(response))  # fmt: skip
    return handed


def test_records_equal_the_sdks(store, bucket, pair, proxy, tmp_path, caplog, monkeypatch):
    for name in ODD:
        store._upload_flow(bucket, name, name.encode())
    root = tmp_path / "many"
    root.mkdir()
    for i in range(1100):  # two pages
        (root / f"{i:04}").write_bytes(b"%d" % i)
    store._upload_dir(bucket, str(root), workers=16)
    fast, slow = pair
    handed = sdk_parses(monkeypatch)

    with caplog.at_level(logging.DEBUG, logger="zarnel"):
        for prefix in ["", None, "many/", "many/10", "中文 ü/", "p+", "100%", "a", "nothing"]:
            ours = fast._bucket_list_files(bucket, prefix)
            assert ours == slow._bucket_list_files(bucket, prefix), prefix
            # Sync's pages come from the same listing.
            assert [r for page in fast._object_pages(bucket, prefix or "") for r in page] == ours
    assert len(ours) == 0  # the last prefix
    assert handed == []  # every page read natively
    assert len(fast._bucket_list_files(bucket)) == len(ODD) + 1100
    lines = [r.getMessage() for r in caplog.records]
    assert sum(line.startswith(ENGINE) for line in lines) == 9
    assert sum(line.startswith(THROUGH_SDK) for line in lines) == 9
    # Both asked for the same pages, in the same words.
    proxy.clear()
    fast._bucket_list_files(bucket, "many/"), slow._bucket_list_files(bucket, "many/")
    queries = [r.query for r in listings(proxy)]
    assert len(queries) == 4
    assert queries[:2] == queries[2:]


def test_a_client_the_engine_cannot_read_lists_through_the_sdk(store, bucket, monkeypatch, caplog):
    store._upload_flow(bucket, "a+b", b"1")
    expected = store._bucket_list_files(bucket)
    # A stand-in SDK without the submodule that the engine's check reads.
    monkeypatch.setitem(sys.modules, "minio.api", None)
    with caplog.at_level(logging.DEBUG, logger="zarnel"):
        assert store._bucket_list_files(bucket) == expected
    said = caplog.records[0].getMessage()
    assert said.startswith(f"{THROUGH_SDK}: the storage client could not be read")


def page(contents: str, *, name: str = "bucket", encoding: str = "url") -> bytes:
    encoded = f"<EncodingType>{encoding}</EncodingType>" if encoding else ""
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n<ListBucketResult xmlns="http://s3.amazonaws.'
        f'com/doc/2006-03-01/">{name and f"<Name>{name}</Name>"}<IsTruncated>false</IsTruncated>'
        f"{encoded}{contents}</ListBucketResult>"
    ).encode()


def entry(key: str = "k", when: str = "2024-01-02T03:04:05.000Z", size: str = "7",
          etag: str | None = "&quot;0f&quot;", extra: str = "") -> str:  # fmt: skip
    tag = "" if etag is None else f"<ETag>{etag}</ETag>"
    fields = f"<Key>{key}</Key><LastModified>{when}</LastModified>{tag}<Size>{size}</Size>"
    return f"<Contents>{fields}{extra}</Contents>"


PAGES = {
    "plain forms": page(entry("a+b%2Bc%C3%A9%ZZ", "2024-02-29T23:59:59.123456Z", "007")
                        + entry("k2", "2024-01-02T03:04:05Z", etag=None)
                        + entry("k3", "2024-01-02T03:04:05.5Z", etag='"a"b"', extra="<Owner/>"),
                        name="another"),
    "keys not url-encoded": page(entry("a+b%2B"), encoding=""),
    "another namespace": page(entry()).replace(b"<Name>", b'<x:Contents xmlns:x="y"><Key>q'
                                               b"</Key></x:Contents><Name>"),
    "forms that strptime reads": page(entry(when="2024-1-2t3:4:5z")
                                      + entry(when="0999-01-01T00:00:00Z")
                                      + entry(size=" 12") + entry(size="1_0")),
    "a prefixed namespace": b'<s3:ListBucketResult xmlns:s3="http://s3.amazonaws.com/doc/2006-03-01/">'
    b"<s3:Name>b</s3:Name><s3:Contents><s3:Key>k</s3:Key><s3:Size>1</s3:Size><s3:LastModified>"
    b"2024-01-02T03:04:05Z</s3:LastModified></s3:Contents></s3:ListBucketResult>",
    "no namespace": b"<ListBucketResult><Name>b</Name>" + entry().encode() + b"</ListBucketResult>",
    "a common prefix": page(entry() + "<CommonPrefixes><Prefix>p/</Prefix></CommonPrefixes>"),
    "a field with elements": page(entry(key="k<b/>")),
    "no Name": page(entry(), name=""),
    "no Key": page("<Contents><Size>1</Size></Contents>"),
    "no Size": page("<Contents><Key>k</Key><LastModified>2024-01-02T03:04:05Z</LastModified>"
                    "</Contents>"),
    "no date": page("<Contents><Key>k</Key><Size>1</Size></Contents>"),
    "a day that is not": page(entry(when="2023-02-29T00:00:00Z")),
    "a second that is not": page(entry(when="2024-01-01T00:00:60Z")),
    "a size that is not": page(entry(size="7x")),
    "not XML": b"<ListBucketResult><Name>b</Name>",
    "not UTF-8": page(entry(key="\xe9")).replace("\xe9".encode(), b"\xe9"),
}  # fmt: skip


NATIVE = {"plain forms", "keys not url-encoded", "another namespace", "a prefixed namespace",
          "no namespace"}  # fmt: skip
# Pages that no reading can make sense of were damaged on their way: asked for
# again, then the error of a damaged body, as on every other path.
DAMAGED = {"not XML", "not UTF-8"}


@pytest.mark.parametrize("form", PAGES)
def test_every_form_of_page_reads_as_the_sdk_reads_it(bucket, pair, proxy, form, monkeypatch):
    fast, slow = pair
    fast._bucket_list_files(bucket), slow._bucket_list_files(bucket)  # the regions asked
    headers = [("Content-Type", "application/xml")]
    proxy.answer(200, PAGES[form], headers, when=lambda r: "list-type" in r.query, times=None)
    handed = sdk_parses(monkeypatch)

    ours = outcome(fast._bucket_list_files, bucket)
    if form in DAMAGED:
        assert ours[:2] == ("raised", urllib3.exceptions.ProtocolError)
        assert len(listings(proxy)) >= 2 + 5  # the regions' page, then six tries
        return
    assert len(handed) == (form not in NATIVE)
    assert ours == outcome(slow._bucket_list_files, bucket)
    if form == "plain forms":
        assert [(r["object_name"], r["last_modified"], r["etag"], r["size"]) for r in ours[1]] == [
            ("a b+cé%ZZ", "2024-02-29 23:59:59.123456", "0f", 7),
            ("k2", "2024-01-02 03:04:05.000000", None, 7),
            ("k3", "2024-01-02 03:04:05.500000", "ab", 7),
        ]  # fmt: skip


def test_a_truncated_page_without_a_way_on_ends_the_listing(bucket, pair, proxy):
    # The storage client would ask for the same page for ever.
    fast, _ = pair
    fast._bucket_list_files(bucket)
    body = page(entry()).replace(b"false", b"true")
    proxy.answer(200, body, [("Content-Type", "application/xml")], times=None,
                 when=lambda r: "list-type" in r.query)  # fmt: skip
    assert ends(fast._bucket_list_files, bucket, seconds=10)[1][0]["object_name"] == "k"


def test_errors_are_the_sdks(s3_server, sdk, bucket, pair, proxy):
    fast, slow = pair
    missing = bucket + "-none"
    # The region lookup's error, then the listing's own after the bucket went.
    assert outcome(fast._bucket_list_files, missing) == outcome(slow._bucket_list_files, missing)
    fast._bucket_list_files(bucket), slow._bucket_list_files(bucket)
    sdk.remove_bucket(bucket)
    errors = [outcome(client._bucket_list_files, bucket) for client in pair]
    assert errors[0] == errors[1]
    assert errors[0][:3] == ("raised", S3Error, "NoSuchBucket")
    assert [bucket in client._engine._region_map for client in pair] == [False, False]
    sdk.make_bucket(bucket)  # for the fixture's clean-up
    if s3_server.kind != "seaweedfs":
        return  # a store that is gone is gone the same way on every server
    proxy.kill()
    errors = []
    for client in pair:
        with pytest.raises(urllib3.exceptions.MaxRetryError) as caught:
            client._bucket_list_files(bucket)
        errors.append(caught.value)
    assert [type(e.reason) for e in errors] == [urllib3.exceptions.NewConnectionError] * 2
    assert errors[0].url == errors[1].url


def test_pages_are_tried_again(store, bucket, pair, proxy, tmp_path, caplog):
    root = tmp_path / "many"
    root.mkdir()
    for i in range(1005):
        (root / f"{i:04}").write_bytes(b"x")
    store._upload_dir(bucket, str(root), workers=16)
    fast, slow = pair
    expected = slow._bucket_list_files(bucket)
    fast._bucket_list_files(bucket)
    proxy.clear()
    proxy.drop(when=lambda r: r.query.get("list-type") == "2")
    proxy.error(503, "SlowDown", when=lambda r: "continuation-token" in r.query, times=2)

    with caplog.at_level(logging.INFO, logger="zarnel"):
        assert fast._bucket_list_files(bucket) == expected
    tried = [(("continuation-token" in r.query), r.fault) for r in listings(proxy)]
    assert tried == [(False, "drop"), (False, None), (True, "answer"), (True, "answer"),
                     (True, None)]  # fmt: skip
    assert sum("retrying" in r.getMessage() for r in caplog.records) == 3


def engine_threads() -> int:
    names = []
    for task in os.listdir("/proc/self/task"):
        with contextlib.suppress(OSError), open(f"/proc/self/task/{task}/comm") as comm:
            names.append(comm.read().strip())
    return names.count("zarnel-engine")


def connections_to(port: int) -> int:
    """This machine's established TCP connections to 127.0.0.1:`port`."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return sum(row[2] == f"0100007F:{port:04X}" and row[3] == "01" for row in rows)


def test_ctrl_c_ends_the_call_within_a_second(bucket, pair, proxy):
    fast, _ = pair
    fast._bucket_list_files(bucket)
    proxy.delay(5, when=lambda r: "list-type" in r.query, times=None)
    connections = connections_to(proxy.port)
    seen = []

    def interrupt():
        seen.append(engine_threads())  # the call's own, waiting for its page
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.5, interrupt)

    started = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        fast._bucket_list_files(bucket)
    assert time.monotonic() - started < 0.5 + 1.0
    timer.join()
    assert (seen, engine_threads()) == ([1], 0)
    assert wait_for(lambda: connections_to(proxy.port) == connections, timeout=2)
