"""Tree transfers spread over a Dask LocalCluster of two worker processes."""

from __future__ import annotations

import os
import time

import pytest
from distributed import Client, LocalCluster
from minio.error import S3Error

from zarnel.distributed import RemoteS3Error, download_prefix, upload_tree


@pytest.fixture(scope="module")
def dask_client():
    # Started once: a cluster takes seconds to come up.
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        Client(cluster) as client,
    ):
        yield client


def make_tree(root):
    files = {}
    for folder in ["", "sub", "sub/deeper", "名 with space"]:
        (root / folder).mkdir(parents=True, exist_ok=True)
        for i in range(9):
            relative = f"{folder}/f{i}.txt".lstrip("/")
            (root / relative).write_text(f"{relative} {i}")
            files[relative] = (root / relative).read_bytes()
    return files


def test_tree_up_and_prefix_down_on_two_worker_processes(dask_client, store, sdk, bucket,
                                                         tmp_path):  # fmt: skip
    files = make_tree(tmp_path / "site")
    moved = upload_tree(dask_client, store, bucket, str(tmp_path / "site"), workers=3,
                        files_per_task=5)  # fmt: skip
    assert moved == len(files)
    # The names _upload_dir gives, each object with its file's bytes.
    stored = {item.object_name: item for item in sdk.list_objects(bucket, recursive=True)}
    assert set(stored) == {f"site/{relative}" for relative in files}
    for relative, data in files.items():
        assert sdk.get_object(bucket, f"site/{relative}").read() == data

    upload_tree(dask_client, store, bucket, str(tmp_path / "site" / "sub"), base_dir="b")
    sub = {f"b/{r[4:]}": d for r, d in files.items() if r.startswith("sub/")}
    assert {item.object_name for item in sdk.list_objects(bucket, "b/", recursive=True)} == set(sub)
    assert all(sdk.get_object(bucket, name).read() == data for name, data in sub.items())

    target = tmp_path / "down"
    moved = download_prefix(dask_client, store, bucket, "site", str(target), workers=2,
                            files_per_task=4)  # fmt: skip
    top = {r: d for r, d in files.items() if "/" not in r}  # one level, as _download_dir
    assert moved == len(top)
    assert sorted(os.listdir(target)) == sorted(top)
    for name, data in top.items():
        assert (target / name).read_bytes() == data


def test_first_failure_reaches_the_caller(dask_client, store, bucket_name, tmp_path):
    make_tree(tmp_path / "site")
    with pytest.raises(S3Error) as caught:  # the bucket does not exist
        upload_tree(dask_client, store, bucket_name, str(tmp_path / "site"), files_per_task=3)
    assert type(caught.value) is RemoteS3Error
    assert caught.value.code == "NoSuchBucket"
    assert caught.value.bucket_name == bucket_name
    assert caught.value.response is None


def test_tasks_in_flight_stay_bounded(dask_client, store, sdk, bucket, tmp_path, monkeypatch):
    for i in range(24):
        (tmp_path / "site" / f"f{i}.txt").parent.mkdir(exist_ok=True)
        (tmp_path / "site" / f"f{i}.txt").write_text(str(i))
    submitted, most = [], 0
    submit = dask_client.submit

    def counting(*args, **kwargs):
        nonlocal most
        most = max(most, 1 + sum(not f.done() for f in submitted))
        submitted.append(submit(*args, **kwargs))
        return submitted[-1]

    monkeypatch.setattr(dask_client, "submit", counting)
    assert upload_tree(dask_client, store, bucket, tmp_path / "site", files_per_task=1) == 24
    threads = sum(dask_client.nthreads().values())
    assert 1 < most <= 2 * threads  # one running and one waiting per thread
    assert len(list(sdk.list_objects(bucket, "site/"))) == 24


def test_a_failure_is_raised_once_the_running_tasks_have_ended(
    dask_client, store, sdk, bucket, tmp_path
):
    site = tmp_path / "site"
    site.mkdir()
    for i in range(4):
        (site / f"big{i}.bin").write_bytes(os.urandom(12 * 1024 * 1024))
    (site / "dangling").symlink_to(tmp_path / "nothing")  # fails on its worker at once

    def stored():
        return sorted(o.object_name for o in sdk.list_objects(bucket, "site/"))

    with pytest.raises(FileNotFoundError):
        upload_tree(dask_client, store, bucket, site, files_per_task=1)
    when_raised = stored()
    time.sleep(3)
    assert stored() == when_raised  # nothing of the call was still being written


def test_each_task_moves_its_batch_on_the_engine(dask_client, store, bucket, tmp_path):
    def listen():
        import logging

        class Kept(logging.Handler):
            lines: list[str] = []

            def emit(self, record):
                self.lines.append(record.getMessage())

        handler = Kept()
        handler.set_name("zarnel-test")
        logging.getLogger("zarnel").addHandler(handler)
        logging.getLogger("zarnel").setLevel(logging.DEBUG)

    def heard():
        import logging

        log = logging.getLogger("zarnel")
        (handler,) = [h for h in log.handlers if h.get_name() == "zarnel-test"]
        log.removeHandler(handler)
        log.setLevel(logging.NOTSET)
        return handler.lines

    make_tree(tmp_path / "site")
    dask_client.run(listen)
    try:
        upload_tree(dask_client, store, bucket, tmp_path / "site", workers=4, files_per_task=10)
        download_prefix(dask_client, store, bucket, "site", tmp_path / "down", workers=4,
                        files_per_task=4)  # fmt: skip
    finally:
        lines = [line for kept in dask_client.run(heard).values() for line in kept]
    started = sorted(line for line in lines if " ended" not in line)
    assert [line.split(" on ")[0] for line in started] == ["_download_files"] * 3 + [
        "_upload_files"
    ] * 4  # 36 files in tasks of 10, 9 of them in tasks of 4
    assert all(" on the transfer engine: 4 transfers at once" in line for line in started)
    assert len(os.listdir(tmp_path / "down")) == 9


def test_resume_carries_on_an_upload_left_on_the_store(dask_client, store, sdk, bucket, tmp_path):
    (tmp_path / "site").mkdir()
    data = os.urandom(12 * 1024 * 1024)  # parts of 5, 5 and 2 MiB
    (tmp_path / "site" / "big.bin").write_bytes(data)
    upload_id = sdk._create_multipart_upload(bucket, "site/big.bin", {})
    sdk._upload_part(bucket, "site/big.bin", data[: 5 * 1024 * 1024], None, upload_id, 1)
    upload_tree(dask_client, store, bucket, tmp_path / "site", workers=2, resume=True)
    assert sdk._list_multipart_uploads(bucket).uploads == []  # carried on, none left beside
    assert sdk.get_object(bucket, "site/big.bin").read() == data
