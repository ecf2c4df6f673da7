"""The file a compaction writes, byte by byte.

Its records and index must be exactly those of a store that a writer builds
from the merged content in key order (records copied as stored, in run or
one by one, shared or not), and its hash index must hold together as the
format describes (checked by an independent model), whether its items were
held in memory or spilled, in one bucket or several. The slot placement is
also checked natively where Python cannot reach: many buckets from a large
key bound, and positions and offsets past 2^32 (24-byte items, 16-byte
slots).
"""

from __future__ import annotations

import random
import struct
from pathlib import Path

import pytest

import tarndb
from helpers import check_hash_index, native_tool

SOURCES = ["src/core/writer/streamed_hash_index.cc", "src/core/writer/spill_file.cc",
           "src/core/format/hash_index.cc", "src/core/common/posix.cc",
           "src/core/format/crc32.cc", "src/core/format/crc32_x86.cc",
           "src/core/common/big_buffer.cc"]


def records_and_index(data):
    """(the data section's records without the extension block, the index section)."""
    num_keys, num_objects, index_offset = struct.unpack_from(">IIQ", data, 8)
    pos = 40
    for _ in range(num_objects - (1 if data[index_offset - 32:index_offset - 24] == b"TRNDEXT1"
                                  else 0)):
        pos += 8 + struct.unpack_from(">I", data, pos)[0]
    return data[40:pos], data[index_offset:]


def build(path, puts, deletes=(), **options):
    w = tarndb.TarnWriter(**options)
    for key, value in puts:
        w.put_raw(key, value)
    for key in deletes:
        w.delete(key)
    w.build(path, quiet=True)
    return str(path)


CASES = [
    # (base keys, deltas as (puts, deletes), compact options)
    pytest.param(3000, [(300, 100), (200, 200)], {}, id="in-memory"),
    pytest.param(20000, [(2000, 1000)], {"memory_limit": 1 << 20}, id="items-spilled"),
    pytest.param(70000, [(4000, 3000)], {"memory_limit": 1 << 20}, id="two-buckets-spilled"),
    pytest.param(2000, [(500, 500)], {"filter": True}, id="key-filter"),
    pytest.param(2000, [(500, 500)], {"hash_index": False}, id="no-hash-index"),
    pytest.param(500, [(0, 500)], {}, id="all-deleted"),
    pytest.param(0, [(700, 0)], {}, id="delta-alone"),
]


@pytest.mark.parametrize("base_keys,deltas,options", CASES)
def test_records_and_index_as_a_writer_builds_them(tmp_path, base_keys, deltas, options):
    rnd = random.Random(base_keys)
    model = {f"user/{2 * i:07d}": b"\x92\x01" + bytes([i % 251]) * (i % 40)
             for i in range(base_keys)}
    paths = [build(tmp_path / "base.trnd", sorted(model.items()))]
    for layer, (puts, deletes) in enumerate(deltas, 1):
        # Old keys updated and new keys put, in random order; deletes of old keys.
        changes = {f"user/{rnd.randrange(3 * base_keys + 900):07d}": bytes([layer]) * 9
                   for _ in range(puts)}
        gone = [f"user/{2 * rnd.randrange(max(base_keys, 1)):07d}" for _ in range(deletes)]
        gone = [k for k in gone if k not in changes]
        paths.insert(0, build(tmp_path / f"delta{layer}.trnd", changes.items(), gone))
        model.update(changes)
        for key in gone:
            model.pop(key, None)
    out = tmp_path / "out.trnd"
    objects, keys, size = tarndb.compact(out, paths, **options)
    assert (objects, keys) == (len(model), len(model))
    expected = build(tmp_path / "expected.trnd", sorted(model.items()),
                     hash_index=options.get("hash_index", True))
    data = out.read_bytes()
    assert len(data) == size
    assert records_and_index(data) == records_and_index(Path(expected).read_bytes())
    with tarndb.TarnReader(out) as r:
        assert r.verify()
        assert (r._section(b"KFLT", 1) is not None) == options.get("filter", False)
        table = r.stats()["hash_index"]  # the file's own, taken at open
        assert (table is not None and table["in_use"]) == options.get("hash_index", True)
        assert dict(r.raw.items()) == model
    if options.get("hash_index", True):
        check_hash_index(data)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_binary_keys_merge_in_byte_order(tmp_path, seed):
    """Keys of 0 to 24 bytes over a few byte values, so that many share
    prefixes of every length (below, at and past 8 and 16 bytes) and many
    are prefixes of others: a stack and its compaction list them in the
    order of their bytes."""
    rnd = random.Random(seed)

    def key():
        return bytes(rnd.choice(b"\x00\x01\x7f\x80\xff") for _ in range(rnd.randrange(25)))

    model, paths = {}, []
    for layer in range(3):
        puts = {key(): bytes([layer]) for _ in range(1500)}
        gone = [k for k in (key() for _ in range(300 if layer else 0)) if k not in puts]
        paths.insert(0, build(tmp_path / f"l{layer}.trnd", puts.items(), gone))
        model.update(puts)
        for k in gone:
            model.pop(k, None)
    expected = sorted(model)
    with tarndb.open(paths) as stack:
        assert [k for k, _ in stack.raw.items()] == [k.decode("utf-8", "replace")
                                                     for k in expected]
        assert [stack.raw[k] for k in expected] == [model[k] for k in expected]
    tarndb.compact(tmp_path / "out.trnd", paths)
    data = (tmp_path / "out.trnd").read_bytes()
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    keys, pos = [], index_offset
    while pos < len(data):
        n = struct.unpack_from(">H", data, pos)[0]
        keys.append(data[pos + 2:pos + 2 + n])
        pos += 10 + n
    assert keys == expected


@pytest.fixture(scope="module")
def placer(tmp_path_factory):
    return native_tool(tmp_path_factory, "streamed_hash", SOURCES)


@pytest.mark.parametrize("n,key_bound,index_size,data_end,memory,width", [
    (60000, 1 << 22, 1_800_000, 2_400_000, 65536, "8"),   # 64 buckets, items spilled
    (100000, 100000, 3_000_000, 4_000_000, 0, "8"),       # two buckets, held
    (5000, 5000, 1 << 40, 1 << 40, 65536, "16"),          # 24-byte items, 16-byte slots
    (0, 0, 100, 100, 0, "8"),                             # no keys
    (300000, 1, 9_000_000, 12_000_000, 0, "8"),           # one bucket, spilled 300 times
])
def test_slot_placement(placer, tmp_path, n, key_bound, index_size, data_end, memory, width):
    import subprocess
    run = subprocess.run([str(placer), str(n), str(key_bound), str(index_size), str(data_end),
                          str(memory), str(tmp_path)], capture_output=True, text=True)
    assert (run.returncode, run.stdout.split()) == (0, ["ok", width])
