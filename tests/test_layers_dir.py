"""Directory stores with layers: delta versions, compaction of a directory,
readers meanwhile, and the layout 2 manifest."""

from __future__ import annotations

import json
import os
import random
import threading

import pytest

import tarndb
from tarndb._layered_dir import compact_directory
from tarndb._manifest_layers import read_any_manifest, referenced_versions

db = pytest.importorskip("dask.bag")
to_tarn = pytest.importorskip("tarndb.dask").to_tarn


def commit_records(root, records, shards=3, mode="replace"):
    bag = db.from_sequence(records, npartitions=3)
    return to_tarn(bag, root, shards=shards, key="key", value="v", mode=mode,
                   delete="gone", scheduler="sync")


def random_update(rnd, key_space, count):
    return [{"key": f"k{rnd.randrange(key_space):05d}", "v": rnd.random(),
             "gone": rnd.random() < 0.4} for _ in range(count)]


def apply(model, records):
    for r in records:
        if r["gone"]:
            model.pop(r["key"], None)
        else:
            model[r["key"]] = r["v"]


def versions_present(root):
    return {name for name in os.listdir(root) if name.startswith("v-")}


class TestDeltaVersions:
    @pytest.mark.parametrize("seed", [1, 2])
    def test_updates_and_compaction_match_the_model(self, tmp_path, seed):
        rnd = random.Random(seed)
        root = str(tmp_path / "store")
        base = [{"key": f"k{i:05d}", "v": i, "gone": False} for i in range(1500)]
        commit_records(root, base)
        model = {r["key"]: r["v"] for r in base}
        readers = []
        for _ in range(3):
            update = random_update(rnd, 2500, 300)
            manifest = commit_records(root, update, mode="update")
            apply(model, update)
            assert manifest["layout"] == 2
            # Every layer the live version uses is still there.
            assert referenced_versions(manifest) <= versions_present(root)
            reader = tarndb.open(root)
            readers.append((reader, dict(model)))
            assert dict(reader.items()) == model and len(reader) == len(model)
            probes = [f"k{i:05d}" for i in range(0, 2600, 7)]
            assert reader.get_many(probes) == [model.get(k) for k in probes]
            assert list(reader.prefix("k001")) == sorted(
                (k, v) for k, v in model.items() if k.startswith("k001"))
            assert reader.verify()
        manifest = compact_directory(root)
        assert manifest["layout"] == 1
        with tarndb.open(root) as compacted:
            assert isinstance(compacted, tarndb.ShardedReader)
            assert dict(compacted.items()) == model
            assert compacted.verify()
        # Readers of older versions keep reading them.
        for reader, seen in readers:
            assert dict(reader.items()) == seen
            reader.close()

    def test_an_update_keeps_the_shard_count(self, tmp_path):
        root = str(tmp_path / "store")
        commit_records(root, [{"key": "a", "v": 1, "gone": False}], shards=2)
        with pytest.raises(ValueError, match="has 2 shards"):
            commit_records(root, [{"key": "b", "v": 2, "gone": False}], shards=3, mode="update")
        with pytest.raises(ValueError, match="mode must be"):
            to_tarn(db.from_sequence([]), root, shards=2, key="key", mode="append")

    def test_command_line_update_and_compact(self, tmp_path, capsys):
        from tarndb.cli import main
        root = str(tmp_path / "store")
        commit_records(root, [{"key": f"k{i}", "v": i, "gone": False} for i in range(50)])
        update = tmp_path / "update.jsonl"
        update.write_text('{"key": "k1", "del": true}\n{"key": "k2", "v": "two"}\n'
                          '{"key": "new", "v": 0}\n')
        assert main(["build", str(update), root, "--update", "--delete-field", "del",
                     "--workers", "1", "-q"]) == 0
        with tarndb.open(root) as r:
            assert "k1" not in r and r["k2"] == {"key": "k2", "v": "two"} and len(r) == 50
        capsys.readouterr()
        assert main(["keys", root, "--reverse", "--stop", "k2"]) == 0
        assert capsys.readouterr().out.split() == ["k19", "k18", "k17", "k16", "k15", "k14",
                                                   "k13", "k12", "k11", "k10", "k0"]
        assert main(["compact", root]) == 0
        assert "compacted" in capsys.readouterr().out
        with tarndb.open(root) as r:
            assert isinstance(r, tarndb.ShardedReader) and len(r) == 50 and "k1" not in r
        assert main(["build", str(update), root, "--delete-field", "del", "-q"]) == 2


class TestManifest:
    def test_layered_manifest_is_checked(self, tmp_path):
        root = str(tmp_path / "store")
        commit_records(root, [{"key": "a", "v": 1, "gone": False}])
        commit_records(root, [{"key": "a", "v": 2, "gone": False}], mode="update")
        path = os.path.join(root, "manifest.json")
        with open(path) as f:
            fields = json.loads(f.read())
        with pytest.raises(tarndb.TarnVersionError):
            tarndb.ShardedReader(root)  # knows layout 1 only
        fields["shards"][0]["layers"][0]["size"] += 1
        with open(path, "w") as f:
            f.write(json.dumps(fields))
        with pytest.raises(tarndb.TarnCorruptError, match="checksum mismatch"):
            read_any_manifest(root)


def test_readers_during_commits_and_compactions(tmp_path):
    """Readers opened while deltas and compactions commit see one whole
    committed state each, never a mix, and keep reading it."""
    rnd = random.Random(3)
    root = str(tmp_path / "store")
    base = [{"key": f"k{i:04d}", "v": i, "gone": False} for i in range(600)]
    commit_records(root, base)
    model = {r["key"]: r["v"] for r in base}
    states = [dict(model)]
    done = threading.Event()
    failures = []

    def read_loop():
        while not done.is_set():
            try:
                with tarndb.open(root) as r:
                    seen = dict(r.items())
                    if seen not in states:
                        failures.append(len(seen))
            except Exception as exc:  # noqa: BLE001 (any failure is one)
                failures.append(repr(exc))

    thread = threading.Thread(target=read_loop)
    thread.start()
    try:
        for step in range(6):
            if step % 3 == 2:
                compact_directory(root)
            else:
                update = random_update(rnd, 800, 100)
                apply(model, update)
                states.append(dict(model))
                commit_records(root, update, mode="update")
    finally:
        done.set()
        thread.join()
    assert failures == []
    with tarndb.open(root) as r:
        assert dict(r.items()) == model
