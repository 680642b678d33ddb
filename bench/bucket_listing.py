"""A bucket of 100,000 objects listed against a local SeaweedFS server:
`_bucket_list_files` on the transfer engine's lister beside the store's own
time to serve the pages (raw paged requests, nothing read but the token),
`s5cmd ls`, and the same call through the SDK's list_objects, in turn in one
run (bench/README.md)."""

from __future__ import annotations

import datetime
import hashlib
import http.client
import os
import re
import time
import urllib.parse
import uuid

from bench import common
from bench.common import Goal, median, paired, span
from bench.trees import AWS_CONFIG, PEERS, Failed, Peer, scrub
from zarnel.minio_main import ZarnelMinioMain

OBJECTS = 100_000  # --quick: 10,000
FOLDERS = 10
OVER_S5CMD = Goal("s5cmd's time over ours", ">=", 1.5)
OVER_STORE = Goal("our time over the store's own", "<=", 1.2)
TOKEN = re.compile(rb"<NextContinuationToken>([^<]*)</NextContinuationToken>")
ROWS = {"store": "the store's own time (raw paged requests)",
        "engine": "zarnel _bucket_list_files (engine)",
        "s5cmd": "s5cmd ls",
        "sdk": "zarnel _bucket_list_files through the SDK"}  # fmt: skip


class ThroughSdk(ZarnelMinioMain):
    """Its _bucket_list_files is not the class's own: the SDK's list_objects."""

    def _bucket_list_files(self, bucket_name, prefix=""):
        return super()._bucket_list_files(bucket_name, prefix)


def raw_pages(server, bucket: str) -> int:
    """The pages that the listing asks for, in the same words, on one kept
    connection, signed by the SDK's signer; only the token is read. Returns
    the number of keys (counted in the text)."""
    from minio.credentials import Credentials
    from minio.signer import sign_v4_s3
    from minio.time import to_amz_date

    keys, sha = Credentials(server.access_key, server.secret_key), hashlib.sha256(b"").hexdigest()
    connection, token, count = http.client.HTTPConnection("127.0.0.1", server.port), "", 0
    try:
        while True:
            query = {"delimiter": "", "encoding-type": "url", "list-type": "2",
                     "max-keys": "1000", "prefix": ""}  # fmt: skip
            if token:
                query.update({"continuation-token": token, "start-after": token})
            text = urllib.parse.urlencode(sorted(query.items()), quote_via=urllib.parse.quote)
            url = urllib.parse.urlsplit(f"http://{server.endpoint}/{bucket}?{text}")
            now = datetime.datetime.now(datetime.UTC)
            headers = {"Host": url.netloc, "x-amz-date": to_amz_date(now),
                       "x-amz-content-sha256": sha}  # fmt: skip
            headers = sign_v4_s3(method="GET", url=url, region="us-east-1", headers=headers,
                                 credentials=keys, content_sha256=sha, date=now)  # fmt: skip
            connection.request("GET", f"/{bucket}?{text}", headers=headers)
            answer = connection.getresponse()
            body = answer.read()
            if answer.status != 200:
                raise Failed(f"raw page: HTTP {answer.status}")
            count += body.count(b"<Contents>")
            found = TOKEN.search(body)
            if b"<IsTruncated>true</IsTruncated>" not in body or not found:
                return count
            token = found.group(1).decode()  # sent back as it came, as the SDK does
    finally:
        connection.close()


def seed(server, bucket: str, count: int, work) -> float:
    """`count` objects of 16 bytes in FOLDERS folders, put once with the
    engine (workers=32); returns the seconds it took."""
    tree = work / "objects"
    common.write_tree(tree, common.file_names(count, FOLDERS), 16)
    started = time.perf_counter()
    common.store(server)._upload_dir(bucket, str(tree), workers=32)
    return time.perf_counter() - started


def run_bucket_listing(server, quick: bool = False) -> dict:
    """`server`: a running S3 server (tools.s3servers)."""
    count, repeat = (10_000, 2) if quick else (OBJECTS, 5)
    with common.workdir("listing") as work:
        sdk, bucket = common.sdk_for(server), f"listing-{uuid.uuid4().hex[:8]}"
        sdk.make_bucket(bucket)
        seeded = seed(server, bucket, count, work)
        home = common.fresh_dir(work / "home")
        (home / "aws").write_text(AWS_CONFIG)
        (home / "empty").write_text("")
        s5cmd = Peer(server, bucket, home, *next(p for p in PEERS if p[0] == "s5cmd"))
        engine, through_sdk = common.store(server), common.store(server, kind=ThroughSdk)
        records = engine._bucket_list_files(bucket)
        if records != through_sdk._bucket_list_files(bucket) or len(records) != count:
            raise Failed("the engine's records are not the SDK's")
        del records
        url = f"http://{server.endpoint}"
        words = ["--endpoint-url", url, "ls", f"s3://{bucket}/*"]
        calls = {
            "store": lambda: raw_pages(server, bucket),
            "engine": lambda: len(engine._bucket_list_files(bucket)),
            "s5cmd": lambda: len(s5cmd.run(words, url).splitlines()),
            "sdk": lambda: len(through_sdk._bucket_list_files(bucket)),
        }
        failed = {} if not s5cmd.unavailable else {"s5cmd": s5cmd.unavailable}

        def sample(key: str, _: int) -> float | None:
            if key in failed:
                return None
            started = time.perf_counter()
            try:
                listed = calls[key]()
            except Exception as error:
                failed[key] = scrub(error, server.secret_key)
                return None
            seconds = time.perf_counter() - started
            if listed != count:
                failed[key] = f"listed {listed} of {count}"
                return None
            return seconds

        load = os.getloadavg()[0]
        (samples,) = common.interleaved(ROWS, repeat, sample)
    table = [["what", "seconds", "min-max", "objects/s"]]
    for key, label in ROWS.items():
        kept = samples[key]
        if not kept:
            table.append(f"{label}: failed, {failed.get(key, 'no samples')}")
            continue
        table.append([label, f"{median(kept):.2f}", f"{min(kept):.2f}-{max(kept):.2f}",
                      f"{count / median(kept):,.0f}"])  # fmt: skip
    over_s5cmd = paired(samples["s5cmd"], samples["engine"])
    over_store = paired(samples["engine"], samples["store"])
    goals = [
        OVER_S5CMD.grade(over_s5cmd and over_s5cmd["median"], "listing", f"{span(over_s5cmd)}x"),
        OVER_STORE.grade(over_store and over_store["median"], "listing", f"{span(over_store)}x"),
    ]
    said = f"{count:,} objects of 16 bytes in {FOLDERS} folders, put in {seeded:.0f} s with "
    said += f"workers=32; {repeat} repetition(s), load average {load:.1f} at the start; "
    said += s5cmd.version or "s5cmd unavailable"
    title = f"A bucket of {count:,} objects listed against SeaweedFS (seconds: median, min-max)"
    figures = {"objects": count, "repetitions": repeat, "seed_s": seeded, "failed": failed,
               "samples": samples, "s5cmd_over_ours": over_s5cmd,
               "ours_over_store": over_store}  # fmt: skip
    return {**figures, "report": common.report(title, said, table, goals=goals)}
