"""Deltas, layered reads and compaction, checked against a dict model.

A delta is a store with tombstones (TarnWriter.delete); tarndb.open([newest,
..., oldest]) reads a stack of them as one mapping; tarndb.compact merges a
stack into one store. The model applies the same puts and deletes to a dict.
"""

from __future__ import annotations

import os
import random
import struct
from pathlib import Path

import msgspec
import pytest

import tarndb
from helpers import siphash13
from tarndb._tarndb import _TarnReader


def write_layer(path, ops, **options):
    """Build a layer from ops: (key, value) puts and (key, None) deletes, in order."""
    w = tarndb.TarnWriter(**options)
    for key, value in ops:
        if value is None:
            w.delete(key)
        else:
            w.put(key, value)
    w.build(path, quiet=True)
    return str(path)


def random_ops(rnd, count, key_space, layer, delete_share):
    ops = []
    for i in range(count):
        key = f"k/{rnd.randrange(key_space):05d}"
        ops.append((key, None) if rnd.random() < delete_share else (key, [layer, i]))
    return ops


def apply(model, ops):
    for key, value in ops:
        if value is None:
            model.pop(key, None)
        else:
            model[key] = value


def check_mapping(reader, model, key_space):
    assert len(reader) == len(model)
    assert list(reader) == sorted(model)
    assert dict(reader.items()) == model
    probes = [f"k/{i:05d}" for i in range(key_space + 20)]
    assert [reader.get(k, "absent") for k in probes] == [model.get(k, "absent") for k in probes]
    assert reader.get_many(probes) == [model.get(k) for k in probes]
    assert [k in reader for k in probes] == [k in model for k in probes]
    for prefix in ("k/00", "k/001", "k/0", "x", ""):
        expected = sorted((k, v) for k, v in model.items() if k.startswith(prefix))
        assert list(reader.prefix(prefix)) == expected
    keys = sorted(model)
    assert list(reversed(reader)) == keys[::-1]
    for lo, hi in (("k/001", "k/004"), (None, "k/0005"), ("k/01", None)):
        inside = [(k, model[k]) for k in keys if (lo is None or k >= lo) and (hi is None or k < hi)]
        assert list(reader.range(lo, hi)) == inside
        assert list(reader.range(lo, hi, reverse=True)) == inside[::-1]
    if keys:
        assert reader.first() == (keys[0], model[keys[0]])
        assert reader.last() == (keys[-1], model[keys[-1]])
    present = next(iter(sorted(model)), None)
    if present is not None:
        assert reader[present] == model[present]
    with pytest.raises(KeyError):
        reader["k/absent"]


LAYOUTS = [
    # (ops per layer, newest last; key space; delete share; writer options)
    pytest.param([600], 400, 0.3, {}, id="one-delta-alone"),
    pytest.param([3000, 400, 400], 2000, 0.4, {}, id="three-layers"),
    pytest.param([3000, 400, 0], 2000, 0.4, {}, id="empty-newest"),
    pytest.param([2000, 3000, 3000], 500, 0.5, {}, id="deleted-and-readded"),
    pytest.param([20000, 20000, 20000], 30000, 0.3, {"memory_limit": 1 << 20}, id="spilled"),
    pytest.param([2000, 300, 300], 1500, 0.3, {"hash_index": False}, id="no-hash-index"),
    pytest.param([2000, 300, 300], 1500, 0.3, {"compression": "zstd",
                                                "dictionary": b""}, id="compressed"),
]


class TestModel:
    @pytest.mark.parametrize("sizes,key_space,delete_share,options", LAYOUTS)
    @pytest.mark.parametrize("seed", [1, 2])
    def test_stack_and_compaction_match_the_model(self, tmp_path, sizes, key_space,
                                                  delete_share, options, seed):
        rnd = random.Random(seed)
        model: dict = {}
        paths = []
        for layer, count in enumerate(sizes):
            ops = random_ops(rnd, count, key_space, layer, delete_share if layer else 0.0)
            apply(model, ops)
            paths.insert(0, write_layer(tmp_path / f"layer{layer}.trnd", ops, **options))
        with tarndb.open(paths) as stack:
            check_mapping(stack, model, key_space)
            assert stack.verify()
            if options.get("hash_index", True):  # each layer's own table taken at open
                assert all(s["hash_index"]["in_use"] for s in stack.stats()["layers"])
            raw = dict(stack.raw.items())
            assert list(raw) == sorted(model)
            if "compression" not in options:
                assert {k: msgspec.msgpack.decode(v) for k, v in raw.items()} == model
        out = tmp_path / "compacted.trnd"
        tarndb.compact(out, paths, memory_limit=options.get("memory_limit"))
        with tarndb.TarnReader(out) as single:
            check_mapping(single, model, key_space)
            assert single.verify()
            assert single._section(b"TOMB", 1) is None
        # A stack of one: the compacted store alone reads the same.
        with tarndb.open([out]) as stack:
            check_mapping(stack, model, key_space)

    def test_last_call_for_a_key_wins_within_a_writer(self, tmp_path):
        w = tarndb.TarnWriter()
        w.put("a", 1)
        w.delete("a")
        w.delete("b")
        w.put("b", 2)
        w.delete_many(["c", "d"])
        w.put("d", 4)
        assert w.num_keys == 2
        w.build(tmp_path / "d.trnd", quiet=True)
        base = write_layer(tmp_path / "base.trnd", [("a", 0), ("c", 0), ("e", 0)])
        with tarndb.open([tmp_path / "d.trnd", base]) as stack:
            assert dict(stack.items()) == {"b": 2, "d": 4, "e": 0}

    def test_delete_many_refuses_one_key(self):
        w = tarndb.TarnWriter()
        with pytest.raises(TypeError, match="not one key"):
            w.delete_many("abc")


def tombstones_of(data):
    """The tombstone keys of a TOMB section, decoded independently."""
    count, shift = struct.unpack_from(">QB", data)
    assert shift == 4
    samples = -(-count // 16)
    pos, keys = 16 + 8 * samples, []
    entries = pos
    for i in range(count):
        if i % 16 == 0:
            assert struct.unpack_from(">Q", data, 16 + 8 * (i // 16))[0] == pos - entries
        (n,) = struct.unpack_from(">H", data, pos)
        keys.append(data[pos + 2:pos + 2 + n])
        pos += 2 + n
    assert pos == len(data)
    return keys


def filter_may_hold(section, key):
    """The key filter's answer for key, computed from its documented layout."""
    probes = section[0]
    (blocks, k0, k1) = struct.unpack_from(">QQQ", section, 8)
    h = siphash13(k0, k1, key)
    block = section[32 + 64 * ((h * blocks) >> 64):][:64]
    g = h
    for _ in range(probes):
        g = ((g ^ (g >> 31)) * 0x9E3779B97F4A7C15) % 2**64
        bit = g >> 55
        if not block[bit >> 3] & (1 << (bit & 7)):
            return False
    return True


class TestFormat:
    def test_a_delta_reads_as_the_store_of_its_puts(self, tmp_path):
        ops = [(f"p{i:04d}", i) for i in range(500)] + [(f"d{i:04d}", None) for i in range(300)]
        path = write_layer(tmp_path / "delta.trnd", ops)
        plain = _TarnReader(path)  # knows only the store format
        assert plain.keys() == [f"p{i:04d}" for i in range(500)]
        assert tarndb.TarnReader(path).raw.get_many(plain.keys()) == \
            [plain.get_raw(k) for k in plain.keys()]

    def test_tombstone_and_filter_sections_as_documented(self, tmp_path):
        deleted = sorted(f"gone/{i}".encode() for i in range(100))
        puts = [f"kept/{i}".encode() for i in range(400)]
        path = write_layer(tmp_path / "delta.trnd", [(k, 1) for k in puts] +
                           [(k, None) for k in deleted])
        r = tarndb.TarnReader(path)
        assert tombstones_of(r._section(b"TOMB", 1)) == deleted
        kflt = r._section(b"KFLT", 1)
        assert len(kflt) == 32 + 64 * struct.unpack_from(">Q", kflt, 8)[0]
        assert all(filter_may_hold(kflt, k) for k in puts + deleted)
        absent = [f"absent/{i}".encode() for i in range(5000)]
        assert sum(filter_may_hold(kflt, k) for k in absent) < 100  # about 0.5% pass

    @pytest.mark.parametrize("with_filter", [False, True])
    def test_filter_on_request_only_for_plain_stores(self, tmp_path, with_filter):
        w = tarndb.TarnWriter(filter=with_filter)
        w.put("a", 1)
        w.build(tmp_path / "s.trnd", quiet=True)
        assert (tarndb.TarnReader(tmp_path / "s.trnd")._section(b"KFLT", 1) is not None) == \
            with_filter


class TestCompaction:
    def test_shared_objects_stay_one_object(self, tmp_path):
        w = tarndb.TarnWriter()
        w.put_many([f"s{i}" for i in range(10)], {"shared": True})
        w.put("own", 1)
        w.build(tmp_path / "base.trnd", quiet=True)
        delta = write_layer(tmp_path / "delta.trnd", [("s3", None), ("new", 2)])
        tarndb.compact(tmp_path / "out.trnd", [delta, tmp_path / "base.trnd"])
        with tarndb.TarnReader(tmp_path / "out.trnd") as out:
            assert out.stats()["num_objects"] == 3
            assert len(out) == 11 and "s3" not in out and out["s9"] == {"shared": True}

    def test_a_damaged_record_fails_and_publishes_nothing(self, tmp_path):
        base = write_layer(tmp_path / "base.trnd", [("a", "x" * 50), ("b", "y" * 50)])
        data = bytearray(Path(base).read_bytes())
        data[data.index(b"x" * 50) + 10] ^= 1  # a payload byte: only the record's CRC tells
        Path(base).write_bytes(bytes(data))
        with pytest.raises(tarndb.TarnCorruptError, match="CRC32 mismatch"):
            tarndb.compact(tmp_path / "out.trnd", [base], verify=False)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["base.trnd"]

    def test_layers_of_different_codecs_are_refused(self, tmp_path):
        base = write_layer(tmp_path / "base.trnd", [("a", 1)], compression="zstd")
        delta = write_layer(tmp_path / "delta.trnd", [("b", 2)])
        with pytest.raises(tarndb.TarnValueError, match="different codecs"):
            tarndb.compact(tmp_path / "out.trnd", [delta, base])

    def test_progress_stops_the_merge(self, tmp_path):
        base = write_layer(tmp_path / "base.trnd", [(f"k{i:06d}", i) for i in range(200000)])

        def stop(done):
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            tarndb.compact(tmp_path / "out.trnd", [base], progress=stop)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["base.trnd"]

    def test_command_line(self, tmp_path, capsys):
        from tarndb.cli import main
        base = write_layer(tmp_path / "base.trnd", [("a", 1), ("b", 2)])
        delta = write_layer(tmp_path / "delta.trnd", [("a", None), ("c", 3)])
        assert main(["compact", str(tmp_path / "out.trnd"), delta, base]) == 0
        assert "2 keys" in capsys.readouterr().out
        assert dict(tarndb.TarnReader(tmp_path / "out.trnd").items()) == {"b": 2, "c": 3}
        assert main(["compact", str(tmp_path / "x.trnd")]) == 2


KILLED_CHILD = r"""
import sys, tarndb
def progress(done):
    print("merging", flush=True)
tarndb.compact(sys.argv[1], sys.argv[2:], progress=progress)
print("done", flush=True)
"""


def test_a_kill_during_compaction_leaves_the_stack_and_no_files(tmp_path):
    import signal
    import subprocess
    import sys
    rnd = random.Random(7)
    model: dict = {}
    paths = []
    for layer, count in enumerate([400000, 20000]):
        ops = random_ops(rnd, count, 500000, layer, 0.3 if layer else 0.0)
        apply(model, ops)
        paths.insert(0, write_layer(tmp_path / f"layer{layer}.trnd", ops))
    before = sorted(p.name for p in tmp_path.iterdir())
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tarndb.__file__)))
    child = subprocess.Popen([sys.executable, "-c", KILLED_CHILD, str(tmp_path / "out.trnd"),
                              *paths], stdout=subprocess.PIPE, text=True, env=env, cwd=tmp_path)
    assert child.stdout.readline() == "merging\n"  # well into the merge
    child.send_signal(signal.SIGKILL)
    child.wait()
    child.stdout.close()
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    with tarndb.open(paths) as stack:
        assert len(stack) == len(model)
        assert stack.verify()


def test_an_iterator_keeps_the_layers_it_was_made_with(tmp_path):
    base = write_layer(tmp_path / "base.trnd", [("a", 1), ("b", 2)])
    delta = write_layer(tmp_path / "delta.trnd", [("c", 3), ("a", None)])
    with tarndb.open([delta, base]) as stack:
        items = stack._items()
        assert next(items) == ("b", 2)
        with tarndb.TarnReader(base) as other:
            stack._set_layers([other])  # one layer now: the iterator still has two
            assert list(items) == [("c", 3)]
            assert stack.get_many(["a", "c"]) == [1, None]
