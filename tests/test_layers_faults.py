"""Layers that do not hold together, misuse of stacks, and the edges of
compaction and of directory stores with layers."""

from __future__ import annotations

import json
import os
import pickle
import struct
import zlib
from pathlib import Path

import pytest

import tarndb
from storefile import fix_crc


def write_layer(path, puts=(), deletes=(), **options):
    w = tarndb.TarnWriter(**options)
    for key, value in puts:
        w.put(key, value)
    w.delete_many(list(deletes))
    w.build(path, quiet=True)
    return str(path)


def section_span(data, name):
    """(start, length) in the file of an extension section, from the trailer's directory."""
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    payload_size, count = struct.unpack_from(">QI", data, index_offset - 24)
    payload = index_offset - payload_size
    directory = index_offset - 32 - 24 * count
    for i in range(count):
        kind, _, offset, length = struct.unpack_from(">4sIQQ", data, directory + 24 * i)
        if kind == name:
            return payload + offset, length
    raise KeyError(name)


def with_section_patched(path, name, at, new):
    """The file with bytes of a section replaced, the block's record CRC and
    the file CRC recomputed, so that only the section's own checks can tell."""
    data = bytearray(Path(path).read_bytes())
    start, _ = section_span(bytes(data), name)
    data[start + at:start + at + len(new)] = new
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    payload_size = struct.unpack_from(">Q", data, index_offset - 24)[0]
    payload = index_offset - payload_size
    struct.pack_into(">I", data, payload - 4, zlib.crc32(bytes(data[payload:index_offset])))
    Path(path).write_bytes(fix_crc(bytes(data)))


class TestDamagedSections:
    @pytest.mark.parametrize("name,at,new,message", [
        (b"TOMB", 0, struct.pack(">Q", 10**6), "tombstone section: samples past its end"),
        (b"TOMB", 8, b"\x05", "tombstone section: unknown shift"),
        (b"TOMB", 16, struct.pack(">Q", 3), "tombstone section: a sample names the wrong entry"),
        (b"TOMB", 26, b"z", "tombstone section: keys out of order"),
        (b"KFLT", 0, b"\x00", "key filter section: bad probe count"),
        (b"KFLT", 8, struct.pack(">Q", 3), "key filter section: its length disagrees"),
    ])
    def test_a_layer_whose_section_does_not_hold_together_is_refused(self, tmp_path, name, at,
                                                                      new, message):
        base = write_layer(tmp_path / "base.trnd", [("a", 1)])
        delta = write_layer(tmp_path / "delta.trnd", [("b", 2)], ["d1", "d2", "d3"])
        with_section_patched(delta, name, at, new)
        assert tarndb.TarnReader(delta)["b"] == 2  # the store of its puts reads as before
        with pytest.raises(tarndb.TarnCorruptError, match=f"delta.trnd: {message}"):
            tarndb.open([delta, base])


class TestStackUse:
    def test_closed_stack_and_its_iterators(self, tmp_path):
        base = write_layer(tmp_path / "base.trnd", [(f"k{i}", i) for i in range(10)])
        stack = tarndb.open([base])
        items = iter(stack.items())
        next(items)
        stack.close()
        assert stack.closed
        for call in (lambda: stack["k1"], lambda: "k1" in stack, lambda: len(stack),
                     lambda: stack.get_many(["k1"]), lambda: next(items), lambda: list(stack)):
            with pytest.raises(ValueError, match="closed"):
                call()

    def test_pickled_stale_and_reopened(self, tmp_path):
        base = write_layer(tmp_path / "base.trnd", [("a", 1)])
        delta = write_layer(tmp_path / "delta.trnd", [("b", 2)], ["a"])
        with tarndb.open([delta, base]) as stack:
            again = pickle.loads(pickle.dumps(stack))
            assert dict(again.items()) == {"b": 2}
            assert not stack.is_stale()
            write_layer(tmp_path / "delta.trnd", [("c", 3)])
            assert stack.is_stale() and dict(stack.items()) == {"b": 2}
            assert dict(stack.reopen().items()) == {"a": 1, "c": 3}
            again.close()

    def test_bytes_keys_and_keys_as_bytes(self, tmp_path):
        base = write_layer(tmp_path / "base.trnd", [(b"\xff\x00", 1), (b"plain", 2)])
        delta = write_layer(tmp_path / "delta.trnd", [(b"\xfe", 3)], [b"plain"])
        with tarndb.open([delta, base], keys_as="bytes") as stack:
            assert list(stack) == [b"\xfe", b"\xff\x00"]
            assert list(reversed(stack)) == [b"\xff\x00", b"\xfe"]
            assert stack[b"\xff\x00"] == 1 and b"plain" not in stack

    @pytest.mark.parametrize("arg,error", [([], ValueError), ("one.trnd", TypeError)])
    def test_a_stack_is_a_sequence_of_paths(self, arg, error):
        with pytest.raises(error):
            tarndb.LayeredReader(arg)

    @pytest.mark.parametrize("bad,error", [(12, TypeError), ("k" * 65536, ValueError)])
    def test_delete_checks_its_key(self, bad, error):
        with pytest.raises(error):
            tarndb.TarnWriter().delete(bad)


def test_shared_objects_found_across_bitmap_windows(tmp_path):
    """A layer whose data section needs several windows of the shared-object
    bitmap at a 1 MiB budget: objects shared by keys far apart stay one."""
    w = tarndb.TarnWriter()
    first = w.add_raw(b"\xa1x")  # the first record of the data section
    for i in range(400_000):
        w.put_raw(f"k{i:07d}", b"\xb0" + bytes(80))  # 88 bytes a record: 35 MB of data
    last = w.add_raw(b"\xa1y")  # past the first window (32 MB of data)
    for key, obj in (("a0", first), ("z0", first), ("a1", last), ("z1", last), ("m", first)):
        w.add_key(key, obj)
    w.build(tmp_path / "base.trnd", quiet=True)
    delta = write_layer(tmp_path / "delta.trnd", [], ["m"])
    tarndb.compact(tmp_path / "out.trnd", [delta, tmp_path / "base.trnd"], memory_limit=1 << 20)
    with tarndb.TarnReader(tmp_path / "out.trnd") as out:
        assert out.stats()["num_objects"] == 400_002
        assert len(out) == 400_004 and "m" not in out
        assert out.raw["a0"] == out.raw["z0"] == b"\xa1x" and out.raw["z1"] == b"\xa1y"


class TestLayeredManifest:
    @pytest.fixture()
    def store(self, tmp_path):
        db = pytest.importorskip("dask.bag")
        from tarndb.dask import to_tarn
        root = str(tmp_path / "store")
        to_tarn(db.from_sequence([{"key": f"k{i}", "v": i} for i in range(20)]), root,
                shards=2, key="key", scheduler="sync")
        to_tarn(db.from_sequence([{"key": "k1", "gone": True}, {"key": "k2", "v": 0}]), root,
                shards=2, key="key", mode="update", delete="gone", scheduler="sync")
        return root

    def rewrite(self, root, change):
        path = os.path.join(root, "manifest.json")
        with open(path) as f:
            fields = json.load(f)
        change(fields)
        body = {k: v for k, v in fields.items() if k != "checksum"}
        canonical = json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
        fields["checksum"] = f"0x{zlib.crc32(canonical.encode()):08x}"
        with open(path, "w") as f:
            json.dump(fields, f)

    @pytest.mark.parametrize("change,message", [
        (lambda m: m["shards"][0].update(layers=[]), "shard 0 lists no layers"),
        (lambda m: m["shards"][1]["layers"].reverse(), "out of order"),
        (lambda m: m["shards"][0]["layers"][0].update(file="x.trnd"), "is not described as"),
        (lambda m: m["shards"][0]["layers"][0].update(crc32=7), "bad crc32"),
        (lambda m: m.update(n=3), "shards listed, n is 3"),
        (lambda m: m["shards"][0]["layers"][0].update(version="v-999999"), "out of order"),
    ])
    def test_a_manifest_that_does_not_hold_together_is_refused(self, store, change, message):
        self.rewrite(store, change)
        with pytest.raises(tarndb.TarnCorruptError, match=message):
            tarndb.open(store)

    def test_a_missing_layer_is_refused(self, store):
        with open(os.path.join(store, "manifest.json")) as f:
            layer = json.load(f)["shards"][0]["layers"][-1]
        os.remove(os.path.join(store, layer["version"], layer["file"]))
        with pytest.raises(tarndb.TarnCorruptError, match="missing"):
            tarndb.open(store)

    def test_a_compaction_overtaken_by_a_commit_commits_nothing(self, store, monkeypatch):
        import tarndb._layered_dir as layered_dir
        db = pytest.importorskip("dask.bag")
        from tarndb.dask import to_tarn
        merge = layered_dir.compact

        def merge_then_commit(*args, **kwargs):
            result = merge(*args, **kwargs)
            monkeypatch.setattr(layered_dir, "compact", merge)
            to_tarn(db.from_sequence([{"key": "late", "v": 1}]), store, shards=2, key="key",
                    mode="update", scheduler="sync")
            return result

        monkeypatch.setattr(layered_dir, "compact", merge_then_commit)
        with pytest.raises(tarndb.TarnIOError, match="another version was committed"):
            layered_dir.compact_directory(store)
        with tarndb.open(store) as r:  # the delta committed meanwhile is live
            assert r["late"] == {"key": "late", "v": 1} and "k1" not in r and len(r) == 20
