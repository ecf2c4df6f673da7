"""Compressed stores: the same values as uncompressed ones through every way
of adding them, damage found, and one clear error without the extra."""

import os
import subprocess
import sys

import msgpack
import pytest

import tarndb

from tarndb import TarnCorruptError, TarnReader, TarnValueError, TarnWriter, _compression, _tarndb

zstandard = pytest.importorskip("zstandard")


def fill(w, n):
    """Every way of adding values; returns the model of what the store holds."""
    model = {}
    for i in range(n):
        value = {"id": i, "name": f"item {i % 97}", "tags": ["a", "b"][: i % 3], "x": i / 7}
        way = i % 5
        if way == 0:
            w.put(f"p{i:05}", value)
        elif way == 1:
            w.add_key(f"a{i:05}", w.add(value))
        elif way == 2:
            w.put_many([f"m{i:05}", f"n{i:05}"], value)
            model[f"n{i:05}"] = value
        elif way == 3:
            w.update_raw([(f"r{i:05}", msgpack.packb(value))])
            value = msgpack.unpackb(msgpack.packb(value))
        else:
            w.update({f"u{i:05}": value})
        model[{0: "p", 1: "a", 2: "m", 3: "r", 4: "u"}[way] + f"{i:05}"] = value
    return model


@pytest.mark.parametrize("n, sample_values, hash_index, memory_limit", [
    (0, 100, True, None),          # nothing to train on
    (5, 100, True, None),          # too few to train: compressed without a dictionary
    (600, 100, True, None),        # trained after 100 values, the rest compressed as they come
    (600, 100, False, None),       # extension block with the codec only
    (3000, 250, True, 1 << 20),    # keys spilled to runs: the merged build path
    (3000, 250, False, 1 << 20),
])
def test_compressed_stores_equal_uncompressed_ones(tmp_path, monkeypatch, n, sample_values,
                                                   hash_index, memory_limit):
    monkeypatch.setattr(_compression, "SAMPLE_VALUES", sample_values)
    plain, packed = TarnWriter(), TarnWriter(compression="zstd", hash_index=hash_index,
                                             memory_limit=memory_limit)
    model = fill(plain, n)
    assert fill(packed, n) == model
    assert (packed.num_objects, packed.num_keys) == (plain.num_objects, plain.num_keys)
    plain.build(tmp_path / "plain.trnd", quiet=True)
    packed.build(tmp_path / "packed.trnd", quiet=True)
    with TarnReader(tmp_path / "plain.trnd") as a, TarnReader(tmp_path / "packed.trnd") as b:
        assert dict(b.items()) == dict(a.items()) == model
        assert b.get_many(list(model)) == list(model.values())
        assert b.verify() is True
        stats = b.stats()["compression"]
        assert stats["codec"] == "zstd" and (stats["dictionary_bytes"] > 0) == (n >= 600)
        if n >= 600:
            assert b.raw[next(iter(model))] != a.raw[next(iter(model))]
            assert 1.2 < stats["ratio"] and b.stats()["file_size_kb"] < a.stats()["file_size_kb"]
        assert (b.stats()["hash_index"] is not None) == hash_index
    # A reader of the base format sees every key, the stored bytes, and one more object.
    low = _tarndb._TarnReader(str(tmp_path / "packed.trnd"))
    assert low.verify() and low.keys() == sorted(model, key=str.encode)
    assert low.stats()["num_objects"] == plain.num_objects + 1


def test_a_given_dictionary_is_used_and_values_fit_a_value_type(tmp_path):
    samples = [msgpack.packb({"city": f"town {i}", "pop": i * 13}) for i in range(400)]
    dictionary = zstandard.train_dictionary(2048, samples).as_bytes()
    w = TarnWriter(compression="zstd", dictionary=dictionary, compression_level=19)
    w.update_raw((f"k{i}", s) for i, s in enumerate(samples))
    w.build(tmp_path / "s.trnd", quiet=True)
    with TarnReader(tmp_path / "s.trnd", value_type=dict[str, int | str]) as r:
        assert r.stats()["compression"]["dictionary_bytes"] == len(dictionary)
        assert r["k7"] == {"city": "town 7", "pop": 91}


def compressed_store(tmp_path):
    w = TarnWriter(compression="zstd")
    w.update((f"k{i:04}", {"v": i, "s": "text " * (i % 9)}) for i in range(2000))
    w.build(tmp_path / "s.trnd", quiet=True)
    return tmp_path / "s.trnd"


def section_span(data):
    """Where the codec section's dictionary lies in the file."""
    at = data.index(b"\x04zstd")
    dict_len = int.from_bytes(data[at + 21:at + 25], "big")
    return at + 29, dict_len


@pytest.mark.parametrize("part", ["dictionary", "value"])
def test_damage_is_found_by_verify_and_never_crashes_a_lookup(tmp_path, part):
    path = compressed_store(tmp_path)
    data = bytearray(path.read_bytes())
    if part == "dictionary":
        start, length = section_span(data)
        data[start + length // 2] ^= 0x55
    else:
        at = data.index(TarnReader(path).raw["k1234"])
        data[at + 3] ^= 0x55
    path.write_bytes(data)
    with pytest.raises(TarnCorruptError, match="CRC32 mismatch"):
        TarnReader(path)  # the file's checksum
    if part == "dictionary":
        with pytest.raises(TarnCorruptError, match="dictionary CRC32 mismatch"):
            TarnReader(path, verify=False)
        return
    with TarnReader(path, verify=False) as r:
        with pytest.raises(TarnCorruptError):
            r.verify()
        try:
            value = r["k1234"]
        except TarnValueError as exc:  # the frame does not decompress or decode
            assert exc.key == "k1234"
        else:
            assert value != {"v": 1234, "s": "text " * (1234 % 9)}  # damaged, no crash


BLOCKED = "import sys; sys.modules['zstandard'] = None\n"


@pytest.mark.parametrize("script", [
    "from tarndb import TarnWriter\nTarnWriter(compression='zstd')",
    "from tarndb import TarnReader\nTarnReader(sys.argv[1])",
    "from tarndb.cli import main\nsys.exit(main(['build', '-', sys.argv[1] + '.new', '--compress']))",
], ids=["writer", "reader", "cli"])
def test_compression_without_the_extra_is_one_clear_error(tmp_path, script):
    path = compressed_store(tmp_path)
    done = subprocess.run([sys.executable, "-c", BLOCKED + script, str(path)], cwd=tmp_path,
                          input='{"key": "a"}\n', capture_output=True, text=True, timeout=120)
    assert done.returncode != 0
    assert "pip install 'tarndb[zstd]'" in done.stderr
    if "cli" in script:
        assert done.stderr.count("\n") == 1 and done.returncode == 2


def test_an_unknown_codec_is_refused(tmp_path):
    with pytest.raises(ValueError, match="unknown compression 'lz4'"):
        TarnWriter(compression="lz4")
    path = compressed_store(tmp_path)
    data = bytearray(path.read_bytes())
    at = data.index(b"\x04zstd")
    data[at + 1:at + 5] = b"zzzz"
    path.write_bytes(data)
    with pytest.raises(TarnCorruptError, match="compressed with 'zzzz'"):
        TarnReader(path, verify=False)


MEMORY_SCRIPT = """
import resource, sys
import tarndb
limit, keys, way = int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
w = tarndb.TarnWriter(compression="zstd", memory_limit=limit, spill_dir=sys.argv[5])
if way == "keys of one value":
    obj = w.add({"v": 1})
    for i in range(keys):
        w.add_key(f"key/{i:09d}", obj)
else:
    w.update((f"key/{i:09d}", i) for i in range(keys))
w.build(sys.argv[1], quiet=True)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
"""


@pytest.mark.skipif(os.environ.get("LD_PRELOAD", "") != "", reason="sizes memory without ASan")
@pytest.mark.parametrize("way", ["keys of one value", "small values"])
def test_a_compressing_writer_keeps_to_its_memory_limit(tmp_path, way):
    """Values and keys held back to train the dictionary on count against
    the budget: the writer trains early rather than outgrow it."""
    limit, keys = 16 << 20, 1_500_000
    # The child imports the installed package, not the source tree in the
    # working directory (which holds no compiled modules outside an editable
    # install).
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tarndb.__file__)))
    done = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(tmp_path / "s.trnd"),
                           str(limit), str(keys), way, str(tmp_path)],
                          capture_output=True, text=True, timeout=170, env=env, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) <= limit + (32 << 20)
    with TarnReader(tmp_path / "s.trnd") as r:
        assert len(r) == keys and r["key/000001234"] == ({"v": 1} if way == "keys of one value" else 1234)


@pytest.mark.parametrize("command, status, output", [
    (["keys"], 0, "k0000\nk0001\n"),
    (["verify"], 0, "ok (2,000 keys, 2,000 objects)"),
    (["stats", "--json"], 0, '"codec": "zstd"'),
    (["get", "--raw"], 0, None),
    (["get"], 2, "compressed stores need the zstandard package: pip install 'tarndb[zstd]'"),
    (["dump"], 2, "compressed stores need the zstandard package: pip install 'tarndb[zstd]'"),
])
@pytest.mark.parametrize("sharded", [False, True])
def test_the_command_line_reads_what_it_can_without_the_extra(tmp_path, command, status, output,
                                                              sharded):
    path = compressed_store(tmp_path)
    if sharded:  # the same store as the one shard of a sharded store
        from tarndb._commit import commit, new_version, shard_figures
        from tarndb._manifest import shard_file_name

        root = tmp_path / "sharded"
        version = new_version(root)
        shard = root / version / shard_file_name(0, 1)
        path.rename(shard)
        commit(root, version, [shard_figures(str(shard), 0, 1)])
        path = root
    key = ["k0001"] if command[0] == "get" else []
    done = subprocess.run([sys.executable, "-c", BLOCKED + "from tarndb.cli import main\n"
                           "sys.exit(main(sys.argv[1:]))", *command, str(path), *key],
                          capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == status, done.stderr
    if status == 0:
        assert done.stderr == "" and (output is None or output in done.stdout)
        if output is None:  # the stored bytes: one zstd frame, magicless
            assert bytes.fromhex(done.stdout.strip())
    else:
        assert done.stdout == "" and done.stderr == f"tarndb: {path}: {output}\n"


@pytest.mark.parametrize("stated", [1 << 62, 1 << 30, None])
def test_a_frame_that_claims_more_than_the_store_holds_is_refused(tmp_path, stated):
    # A hostile file: one value's frame states a content size far beyond all
    # the store's values (or none). Reading it must not allocate what it
    # claims, and verify() must find it.
    import zstandard
    from tarndb._store import Writer, _encode_codec
    good = zstandard.ZstdCompressor(compression_params=zstandard.ZstdCompressionParameters(
        format=zstandard.FORMAT_ZSTD1_MAGICLESS, write_content_size=True)).compress(b"\xa3abc")
    if stated is None:
        bad = bytes([0x00, 0x70]) + bytes([0x09, 0, 0]) + b"x"  # no size: window only
    else:
        bad = bytes([0xE0]) + stated.to_bytes(8, "little") + bytes([0x09, 0, 0]) + b"x"
    w = Writer()
    w.put_raw("good", good)
    w.put_raw("bad", bad)
    w._set_section(b"VCDC", 1, _encode_codec("zstd", b"", 4 + 4, len(good) + len(bad)))
    w.build(str(tmp_path / "s.trnd"))
    with TarnReader(tmp_path / "s.trnd") as r:
        assert r["good"] == "abc"
        with pytest.raises(TarnValueError) as raised:
            r["bad"]
        assert raised.value.key == "bad" and "states" in str(raised.value)
        with pytest.raises(TarnCorruptError, match="the value of key 'bad'"):
            r.verify()
