"""The fsspec filesystem (zarnel.filesystem) against real servers: pandas and
Dask through zarnel://, trees both ways, the calls fsspec users make, the
errors they catch, and writes that fail."""

from __future__ import annotations

import errno
import pickle
from functools import partial

import fsspec
import pytest
from minio.error import S3Error

from tests.integration.conftest import ENGINE_KINDS
from tools.s3servers import MotoServer
from zarnel.filesystem import ZarnelFileSystem

ODD = [
    "plain.txt",
    "with space.txt",
    "ünï cödé/ß.bin",
    "a+b=c&d.csv",
    "100%/#hash?.txt",
    "deep/er/still/leaf.dat",
    "semi;colon,comma'quote.txt",
]


@pytest.fixture
def fs(s3_config):
    return ZarnelFileSystem(**s3_config, skip_instance_cache=True)


def test_pandas_parquet_and_csv_through_urls(s3_config, bucket):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"city": ["Oslo", "Lima", "Perth"], "temp": [3.5, 19.0, 24.25]})
    for suffix, write, read in [
        ("parquet", "to_parquet", pd.read_parquet),
        ("csv", "to_csv", pd.read_csv),
    ]:
        url = f"zarnel://{bucket}/tables/weather.{suffix}"
        extra = {"index": False} if suffix == "csv" else {"engine": "pyarrow"}
        getattr(frame, write)(url, storage_options=s3_config, **extra)
        pd.testing.assert_frame_equal(read(url, storage_options=s3_config), frame)


def test_dask_dataframe_over_a_prefix_on_a_local_cluster(s3_config, bucket, fs):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    for part in range(3):
        frame = pd.DataFrame({"part": [part] * 4, "value": range(part * 4, part * 4 + 4)})
        with fs.open(f"{bucket}/events/part-{part}.parquet", "wb") as file:
            frame.to_parquet(file, engine="pyarrow", index=False)
    cluster = distributed.LocalCluster(
        n_workers=1, threads_per_worker=2, processes=True, dashboard_address=None
    )
    with cluster, distributed.Client(cluster):
        data = dd.read_parquet(f"zarnel://{bucket}/events/", storage_options=s3_config)
        assert data.npartitions == 3
        assert int(data["value"].sum().compute()) == sum(range(12))


@pytest.mark.parametrize("s3_server", ENGINE_KINDS, indirect=True)
def test_tree_round_trip_keeps_every_byte_and_name(fs, bucket, tmp_path):
    tree = tmp_path / "tree"
    expected = {}
    for number, name in enumerate(ODD):
        path = tree / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(bytes([number]) * (number * 997) + name.encode())
        expected[name] = path.read_bytes()
    fs.put(str(tree), f"{bucket}/up", recursive=True)
    assert sorted(fs.find(f"{bucket}/up")) == sorted(f"{bucket}/up/{n}" for n in ODD)
    fs.get(f"{bucket}/up", str(tmp_path / "down"), recursive=True)
    got = {
        p.relative_to(tmp_path / "down").as_posix(): p.read_bytes()
        for p in (tmp_path / "down").rglob("*")
        if p.is_file()
    }
    assert got == expected
    # One file, and a list of files, land where fsspec puts them.
    fs.get(f"{bucket}/up/with space.txt", str(tmp_path / "one.txt"))
    assert (tmp_path / "one.txt").read_bytes() == expected["with space.txt"]
    fs.put([str(tree / "plain.txt")], [f"{bucket}/list/p.txt"])
    assert fs.cat_file(f"{bucket}/list/p.txt") == expected["plain.txt"]


def test_folder_put_names_what_fsspec_names(fs, bucket, tmp_path):
    # The recursive put of a folder walks it itself: its names must be
    # fsspec's own put's, whose steps it skips.
    from fsspec.spec import AbstractFileSystem

    for name in ["a.txt", "sub/b.txt"]:
        (tmp_path / "src" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "src" / name).write_text(name)
    for case, (source, target) in enumerate(
        (source, target)
        for source in [str(tmp_path / "src"), f"{tmp_path / 'src'}/"]
        for target in ["there", "there/", "new", "new/"]
    ):
        for who, put in [("ours", fs.put), ("theirs", partial(AbstractFileSystem.put, fs))]:
            fs.pipe_file(f"{bucket}/{who}/{case}/there/x", b"")  # a folder that exists
            put(source, f"{bucket}/{who}/{case}/{target}", recursive=True)
    fs.invalidate_cache()
    ours = {n.split("/", 2)[2] for n in fs.find(f"{bucket}/ours")}
    assert ours == {n.split("/", 2)[2] for n in fs.find(f"{bucket}/theirs")}


def test_listing_calls_follow_fsspec(fs, bucket, sdk):
    import io

    for name in ["a/1.txt", "a/b/2.txt", "a/b/c/3.txt", "top.txt"]:
        fs.pipe_file(f"{bucket}/{name}", name.encode())
    sdk.put_object(bucket, "a/empty/", io.BytesIO(b""), 0)  # a folder marker
    fs.invalidate_cache()
    assert fs.ls(f"zarnel://{bucket}/a/", detail=False) == [
        f"{bucket}/a/1.txt",
        f"{bucket}/a/b",
        f"{bucket}/a/empty",
    ]
    entry = fs.ls(f"{bucket}/a")[0]
    assert {"name", "size", "type", "ETag", "LastModified"} <= set(entry)
    assert fs.info(f"{bucket}/a/b") == {"name": f"{bucket}/a/b", "size": 0, "type": "directory"}
    assert fs.info(f"{bucket}/a/empty")["type"] == "directory"
    assert fs.find(f"{bucket}/a", withdirs=True) == [
        f"{bucket}/a",
        f"{bucket}/a/1.txt",
        f"{bucket}/a/b",
        f"{bucket}/a/b/2.txt",
        f"{bucket}/a/b/c",
        f"{bucket}/a/b/c/3.txt",
        f"{bucket}/a/empty",
    ]
    assert fs.find(f"{bucket}/a", maxdepth=1) == [f"{bucket}/a/1.txt"]
    assert fs.find(f"{bucket}/top.txt") == [f"{bucket}/top.txt"]
    assert fs.glob(f"{bucket}/a/**/*.txt") == [
        f"{bucket}/a/1.txt",
        f"{bucket}/a/b/2.txt",
        f"{bucket}/a/b/c/3.txt",
    ]
    assert fs.du(f"{bucket}/a") == len("a/1.txt") + len("a/b/2.txt") + len("a/b/c/3.txt")
    assert [d for d, _, _ in fs.walk(f"{bucket}/a")] == [
        f"{bucket}/a",
        f"{bucket}/a/b",
        f"{bucket}/a/b/c",
        f"{bucket}/a/empty",
    ]
    assert bucket in fs.ls("", detail=False)
    # A fresh instance answers the same without a cached listing.
    fresh = ZarnelFileSystem(client=fs.client, skip_instance_cache=True)
    assert fresh.info(f"{bucket}/a")["type"] == "directory"
    assert fresh.info(f"{bucket}/top.txt")["size"] == len("top.txt")


def test_reads_writes_copies_and_removals(fs, bucket):
    import urllib.request

    body = bytes(range(256)) * 40_000  # 10 MB: parts when written through open()
    with fs.open(f"{bucket}/big.bin", "wb") as file:
        for start in range(0, len(body), 3_000_000):
            file.write(body[start : start + 3_000_000])
    assert fs.info(f"{bucket}/big.bin")["size"] == len(body)
    assert fs.cat_file(f"{bucket}/big.bin", start=100, end=200) == body[100:200]
    assert fs.cat_file(f"{bucket}/big.bin", start=-5) == body[-5:]
    assert fs.cat_file(f"{bucket}/big.bin", start=len(body) + 10) == b""
    assert fs.cat_ranges([f"{bucket}/big.bin"] * 2, [0, 9_000_000], [3, 9_000_004]) == [
        body[:3],
        body[9_000_000:9_000_004],
    ]
    with fs.open(f"{bucket}/big.bin", "rb", block_size=1 << 20) as file:
        file.seek(5_000_000)
        assert file.read(1000) == body[5_000_000:5_001_000]
        assert file.read(2_000_000) == body[5_001_000:7_001_000]  # past the cache
        assert file.read(10) == body[7_001_000:7_001_010]
        assert file.read() == body[7_001_010:]
    fs.cp_file(f"{bucket}/big.bin", f"{bucket}/copy/big.bin")
    assert fs.cat_file(f"{bucket}/copy/big.bin") == body
    fs.mv(f"{bucket}/copy/big.bin", f"{bucket}/moved.bin")
    assert not fs.exists(f"{bucket}/copy/big.bin")
    with urllib.request.urlopen(fs.sign(f"{bucket}/moved.bin", expiration=60)) as answer:
        assert answer.read(4) == body[:4]
    assert fs.modified(f"{bucket}/moved.bin") == fs.info(f"{bucket}/moved.bin")["LastModified"]
    fs.pipe({f"{bucket}/d/x": b"1", f"{bucket}/d/y/z": b"2"})
    fs.mv(f"{bucket}/d", f"{bucket}/e", recursive=True)
    assert fs.find(f"{bucket}/e") == [f"{bucket}/e/x", f"{bucket}/e/y/z"]
    fs.rm(f"{bucket}/e", recursive=True)
    assert fs.find(f"{bucket}/d") == fs.find(f"{bucket}/e") == []
    # The filesystem pickles as its options and reconnects.
    again = pickle.loads(pickle.dumps(fs))
    assert again.cat_file(f"{bucket}/moved.bin", end=4) == body[:4]


def test_errors_are_the_ones_fsspec_callers_catch(fs, bucket, s3_config, sdk):
    with pytest.raises(FileNotFoundError, match="missing.txt") as caught:
        fs.cat_file(f"{bucket}/missing.txt")
    assert isinstance(caught.value.__cause__, S3Error)
    with pytest.raises(FileNotFoundError):
        fs.info(f"{bucket}/missing.txt")
    with pytest.raises(FileNotFoundError):
        fs.ls("zt-no-such-bucket-here")
    with pytest.raises(FileNotFoundError):
        fs.open(f"{bucket}/missing.txt", "rb")
    with pytest.raises(FileNotFoundError):
        fs.pipe_file("zt-no-such-bucket-here/x", b"1")
    fs.pipe_file(f"{bucket}/folder/file", b"1")
    with pytest.raises(IsADirectoryError):
        fs.open(f"{bucket}/folder", "rb")
    with pytest.raises(IsADirectoryError):
        fs.cat_file(f"{bucket}/folder")
    with pytest.raises(IsADirectoryError):
        fs.pipe_file(bucket, b"1")
    with pytest.raises(FileExistsError):
        fs.mkdir(bucket)
    with pytest.raises(OSError, match="BucketNotEmpty") as caught:
        fs.rmdir(bucket)
    assert caught.value.errno == errno.ENOTEMPTY
    fs.mkdir(f"{bucket}-2")
    assert fs.isdir(f"{bucket}-2")
    fs.rmdir(f"{bucket}-2")
    assert not sdk.bucket_exists(f"{bucket}-2")


def test_a_wrong_key_is_permission_error_and_no_secret_shows(fs, bucket, s3_config, s3_server):
    if isinstance(s3_server, MotoServer):
        pytest.skip("moto checks no signatures")
    fs.pipe_file(f"{bucket}/file", b"1")
    wrong = {**s3_config, "password": "not-the-secret-key-at-all"}
    stranger = ZarnelFileSystem(**wrong, skip_instance_cache=True)
    with pytest.raises(PermissionError) as caught:
        stranger.cat_file(f"{bucket}/file")
    assert isinstance(caught.value.__cause__, S3Error)
    for text in (
        repr(fs),
        repr(stranger),
        str(stranger.to_dict(include_password=False)),
        str(caught.value),
    ):
        assert s3_config["password"] not in text
        assert wrong["password"] not in text


def test_a_failed_write_leaves_no_unfinished_upload(fs, bucket, sdk, monkeypatch):
    part = b"x" * (5 * 2**20)

    def write_then_fail():
        with fs.open(f"{bucket}/left.bin", "wb") as file:
            file.write(part + b"more")  # the first part is on the store now
            raise RuntimeError("the caller's own failure")

    with pytest.raises(RuntimeError, match="the caller's own"):
        write_then_fail()
    real, calls = fs.engine._upload_part, []

    def failing(*args):
        calls.append(args)
        if len(calls) == 2:
            raise S3Error("InternalError", "injected", "", "", "", None)
        return real(*args)

    monkeypatch.setattr(fs.engine, "_upload_part", failing)
    with fs.open(f"{bucket}/failed.bin", "wb") as file:
        file.write(part)
        with pytest.raises(OSError, match="injected") as caught:
            file.write(part)  # the second part fails: the upload is aborted
    assert isinstance(caught.value.__cause__, S3Error)
    assert not fs.exists(f"{bucket}/left.bin")
    assert not fs.exists(f"{bucket}/failed.bin")
    uploads = sdk._list_multipart_uploads(bucket).uploads
    assert uploads == []
    # A file dropped without close() stores nothing either.
    file = fs.open(f"{bucket}/dropped.bin", "wb")
    file.write(b"partial")
    del file
    assert not fs.exists(f"{bucket}/dropped.bin")


def test_registered_for_fsspec_urls(s3_config, bucket):
    fs = fsspec.filesystem("zarnel", **s3_config)
    assert isinstance(fs, ZarnelFileSystem)
    with fsspec.open(f"zarnel://{bucket}/hello.txt", "w", **s3_config) as file:
        file.write("héllo")
    assert fs.cat_file(f"zarnel://{bucket}/hello.txt").decode() == "héllo"


def _read_in_child(fs, path):
    return fs.cat_file(path), fs.client._config.port


def test_a_tunnelled_filesystem_opens_its_own_tunnel_where_unpickled(
    s3_config, tunnel_keys, bucket
):
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    fs = ZarnelFileSystem(**s3_config, ssh=True, **tunnel_keys, skip_instance_cache=True)
    fs.pipe_file(f"{bucket}/through.txt", b"through the tunnel")
    spawn = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(1, mp_context=spawn) as pool:
        body, port = pool.submit(_read_in_child, fs, f"{bucket}/through.txt").result(timeout=120)
    assert body == b"through the tunnel"
    assert port != fs.client._config.port  # the child's own local end
