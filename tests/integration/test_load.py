"""Eight threads share one instance: each uploads, lists and downloads objects
of its own, at the same time as the others, and gets every one back intact."""

from __future__ import annotations

import random
import threading

THREADS = 8
BYTES_EACH = 10  # _upload_flow with a byte string
TEXTS_EACH = 3  # _upload_flow with text
FILES_EACH = 3  # _upload_file
TREE_EACH = 4  # _upload_dir
PER_THREAD = BYTES_EACH + TEXTS_EACH + FILES_EACH + TREE_EACH


def content(worker: int, i: int) -> bytes:
    rng = random.Random(worker * 1000 + i)
    return rng.randbytes(rng.choice([0, 1, 1000, 70_000, 300_000]))


def text(worker: int, i: int) -> str:
    return f"线程 {worker} 第 {i} 件 " + "é" * (i * 5000)


def test_threads_sharing_one_instance(store, bucket, tmp_path):
    start = threading.Barrier(THREADS)
    done: dict[int, dict[str, int]] = {}
    errors: list[BaseException] = []

    def work(worker: int) -> None:
        prefix = f"t{worker}/"
        expected: dict[str, bytes] = {}
        local = tmp_path / f"w{worker}"
        local.mkdir()
        start.wait(30)
        for i in range(BYTES_EACH):
            data = content(worker, i)
            store._upload_flow(bucket, f"{prefix}b{i}.bin", data)
            expected[f"b{i}.bin"] = data
        for i in range(TEXTS_EACH):
            store._upload_flow(bucket, f"{prefix}t{i}.txt", text(worker, i))
            expected[f"t{i}.txt"] = text(worker, i).encode()
        for i in range(FILES_EACH):
            path = local / f"f{i}.dat"
            path.write_bytes(content(worker, 100 + i))
            store._upload_file(bucket, f"{prefix}f{i}.dat", str(path), parallel=2)
            expected[f"f{i}.dat"] = path.read_bytes()
        tree = local / "tree"
        tree.mkdir()
        in_tree = {f"n{i}.bin": content(worker, 200 + i) for i in range(TREE_EACH)}
        for name, data in in_tree.items():
            (tree / name).write_bytes(data)
        store._upload_dir(bucket, str(tree), base_dir=prefix + "tree")

        records = store._bucket_list_files(bucket, prefix)
        listed = {r["object_name"]: r["size"] for r in records}
        assert listed == {
            **{prefix + name: len(data) for name, data in expected.items()},
            **{f"{prefix}tree/{name}": len(data) for name, data in in_tree.items()},
        }

        for i in range(TEXTS_EACH):
            assert store._download_flow(bucket, f"{prefix}t{i}.txt") == text(worker, i)
        out = local / "out"
        out.mkdir()
        store._download_dir(bucket, prefix, str(out))
        back = {p.name: p.read_bytes() for p in out.iterdir()}
        assert back.keys() == expected.keys()
        bad = [name for name, data in expected.items() if back[name] != data]
        assert bad == []
        copy = local / "copy.bin"
        assert store._download_file(bucket, f"{prefix}b1.bin", str(copy)) is True
        assert copy.read_bytes() == expected["b1.bin"]
        tree_out = local / "tree-out"
        store._download_dir(bucket, prefix + "tree", str(tree_out))
        assert {p.name: p.read_bytes() for p in tree_out.iterdir()} == in_tree
        expected.update(in_tree)
        done[worker] = {"objects": len(expected), "bytes": sum(map(len, expected.values()))}

    def run(worker: int) -> None:
        try:
            work(worker)
        except BaseException as error:  # reported by the test thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(w,), name=f"load-{w}") for w in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert [t.name for t in threads if t.is_alive()] == []
    if errors:
        raise errors[0]
    assert sorted(done) == list(range(THREADS))
    assert sum(d["objects"] for d in done.values()) == THREADS * PER_THREAD
    # Nothing of one thread ended up under another's prefix.
    names = [r["object_name"] for r in store._bucket_list_files(bucket)]
    assert len(names) == len(set(names)) == THREADS * PER_THREAD
