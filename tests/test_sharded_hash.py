"""The shard function: known answers, an independent implementation of the
documented algorithm, stability across processes, and its argument rules."""

import os
import random
import subprocess
import sys

import pytest

import tarndb
from tarndb._store import Writer, _group_by_shard, _pack_by_shard, _unpack_pairs

M64 = (1 << 64) - 1


# An independent implementation of docs/format.md, "The shard function".

def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & M64


def siphash13(k0, k1, data):
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261,
         k1 ^ 0x7465646279746573]

    def sip_round():
        v[0] = (v[0] + v[1]) & M64; v[1] = _rotl(v[1], 13) ^ v[0]; v[0] = _rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & M64; v[3] = _rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & M64; v[3] = _rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & M64; v[1] = _rotl(v[1], 17) ^ v[2]; v[2] = _rotl(v[2], 32)

    end = len(data) - len(data) % 8
    words = [int.from_bytes(data[i:i + 8], "little") for i in range(0, end, 8)]
    words.append(int.from_bytes(data[end:], "little") | ((len(data) & 0xFF) << 56))
    for m in words:
        v[3] ^= m
        sip_round()
        v[0] ^= m
    v[2] ^= 0xFF
    for _ in range(3):
        sip_round()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def jump(key, n):
    b, j = -1, 0
    while j < n:
        b = j
        key = (key * 2862933555777941757 + 1) & M64
        j = int((b + 1) * (float(1 << 31) / float((key >> 33) + 1)))
    return b


K0 = int.from_bytes(b"tarndb s", "little")
K1 = int.from_bytes(b"hard key", "little")


def model_shard(key, n):
    data = key.encode() if isinstance(key, str) else bytes(key)
    return jump(siphash13(K0, K1, data), n)


# The table of docs/format.md: key, its 64-bit hash, its shard for n = 2, 8, 64, 1000, 2**31-1.
KNOWN = [
    (b"", 0xA6084D2AFEBCF6D3, [1, 3, 36, 36, 1923892166]),
    (b"a", 0xBE9E1F86EF2384DC, [1, 4, 52, 801, 1664463754]),
    (b"paris", 0xD4219D39519F0E87, [0, 6, 19, 810, 2098355665]),
    (b"user/000000042", 0xE2C37431B0DDCE87, [1, 1, 22, 22, 2146344366]),
    ("é", 0x82B31042DA41C7B0, [0, 6, 62, 953, 1744716968]),
    (b"\xff\x00", 0xAEA7FAE2B9243368, [0, 2, 33, 33, 1419726343]),
    (b"the quick brown fox jumps", 0x29D8B981E89BEAD8, [1, 5, 61, 751, 1539807935]),
]
KNOWN_N = [2, 8, 64, 1000, 2**31 - 1]


@pytest.mark.parametrize("key, hashed, shards", KNOWN, ids=[repr(k) for k, _, _ in KNOWN])
def test_known_answers(key, hashed, shards):
    data = key.encode() if isinstance(key, str) else key
    assert siphash13(K0, K1, data) == hashed  # the model agrees with the documented table
    assert [model_shard(key, n) for n in KNOWN_N] == shards
    assert [tarndb.shard_of(key, n) for n in KNOWN_N] == shards
    assert tarndb.shard_of(key, 1) == 0


def test_model_siphash_is_cpythons_with_a_zero_key():
    # CPython hashes bytes with SipHash-1-3 under a zero key when PYTHONHASHSEED=0
    # (the result as a signed word, -1 turned into -2): a check of the model itself.
    samples = [bytes(range(i)) for i in range(1, 40)] + [b"paris", "é".encode()]
    code = "import sys\nfor line in sys.stdin: print(hash(bytes.fromhex(line.strip())))"
    out = subprocess.run([sys.executable, "-c", code], input="\n".join(s.hex() for s in samples),
                         env={**os.environ, "PYTHONHASHSEED": "0"}, capture_output=True,
                         text=True, check=True, timeout=60).stdout.split()
    for data, text in zip(samples, out):
        h = siphash13(0, 0, data)
        h = h - (1 << 64) if h >= 1 << 63 else h
        assert int(text) == (-2 if h == -1 else h)
    assert len(out) == len(samples)


def test_native_matches_the_model_on_random_keys():
    rng = random.Random(12)
    for _ in range(3000):
        key = bytes(rng.randrange(256) for _ in range(rng.randrange(40)))
        n = rng.choice([1, 2, 3, 7, 64, 1000, 99999, 2**31 - 1])
        assert tarndb.shard_of(key, n) == model_shard(key, n), (key, n)


def test_same_answers_in_processes_with_other_hash_seeds(tmp_path):
    keys = [f"key-{i}" for i in range(200)] + ["é", ""]
    mine = [tarndb.shard_of(k, 97) for k in keys]
    code = ("import sys, tarndb\nkeys = sys.stdin.read().split('\\0')\n"
            "print(' '.join(str(tarndb.shard_of(k, 97)) for k in keys))")
    for seed in ("0", "1", "12345", "random"):
        out = subprocess.run([sys.executable, "-c", code], input="\0".join(keys), text=True,
                             env={**os.environ, "PYTHONHASHSEED": seed}, capture_output=True,
                             check=True, timeout=60, cwd=tmp_path).stdout
        assert [int(x) for x in out.split()] == mine


def test_growing_n_moves_keys_only_to_the_new_shard():
    keys = [f"user/{i:09d}" for i in range(20000)]
    for n in (1, 7, 63):
        moved = 0
        for k in keys:
            before, after = tarndb.shard_of(k, n), tarndb.shard_of(k, n + 1)
            if before != after:
                assert after == n
                moved += 1
        # about 1 / (n + 1) of the keys move, and they are spread evenly
        assert abs(moved - len(keys) / (n + 1)) < 5 * (len(keys) / (n + 1)) ** 0.5 + 5


def test_keys_of_every_type_route_alike_and_groups_agree():
    assert tarndb.shard_of("é", 64) == tarndb.shard_of(b"\xc3\xa9", 64) \
        == tarndb.shard_of(bytearray(b"\xc3\xa9"), 64) == tarndb.shard_of(memoryview(b"\xc3\xa9"), 64)
    keys = [f"k{i}" for i in range(500)] + [b"\x00", b"", "é"]
    groups = _group_by_shard(keys, 13)
    assert len(groups) == 13
    for s, (routed, positions) in enumerate(groups):
        assert routed == [keys[p] for p in positions]
        assert all(tarndb.shard_of(k, 13) == s for k in routed)
    assert sorted(p for _, positions in groups for p in positions) == list(range(len(keys)))
    values = [object() for _ in keys]
    for (routed, vals), (_, positions) in zip(_group_by_shard(keys, 13, values), groups):
        assert vals == [values[p] for p in positions]


def test_packed_pairs_route_like_shard_of_and_build_the_same_store(tmp_path):
    rng = random.Random(3)
    items = {f"k{i}": rng.randbytes(i % 50) for i in range(3000)}
    items.update({"": b"", "é": b"\x00", b"\xff\xfe": b"x" * 70_000})
    packed = _pack_by_shard(list(items), list(items.values()), 7)
    assert len(packed) == 7
    for s, data in enumerate(packed):
        assert _unpack_pairs(data) == [(k.encode() if isinstance(k, str) else k, v)
                                       for k, v in items.items() if tarndb.shard_of(k, 7) == s]
    w = Writer()
    assert sum(w._update_packed(data) for data in packed) == len(items)
    w.build(str(tmp_path / "s.trnd"))
    with tarndb.open(tmp_path / "s.trnd") as r:
        assert dict(r.raw.items()) == {k if isinstance(k, str) else k.decode("utf-8", "replace"): v
                                       for k, v in items.items()}
    cut = packed[0][:-1]
    for call in (lambda: _unpack_pairs(cut), lambda: Writer()._update_packed(cut)):
        with pytest.raises(ValueError, match="packed pairs cut short"):
            call()
    with pytest.raises(ValueError, match="65535"):
        Writer()._update_packed(_pack_by_shard(["x" * 65536], [b""], 1)[0])


@pytest.mark.parametrize("call, error, message", [
    (lambda: tarndb.shard_of("k", 0), ValueError, "shard count must be 1 to 2147483647, not 0"),
    (lambda: tarndb.shard_of("k", -5), ValueError, "not -5"),
    (lambda: tarndb.shard_of("k", 2**31), ValueError, "not 2147483648"),
    (lambda: tarndb.shard_of("k", 2**70), ValueError, "not 1180591620717411303424"),
    (lambda: tarndb.shard_of("k", 2.0), TypeError, "must be an int, not float"),
    (lambda: tarndb.shard_of(5, 2), TypeError, "a key must be str or bytes, not int"),
    (lambda: tarndb.shard_of("\ud800", 2), UnicodeEncodeError, "surrogate"),
    (lambda: _group_by_shard("abc", 2), TypeError, "not one key"),
    (lambda: _group_by_shard(["a", 1], 2), TypeError, "not int"),
    (lambda: _group_by_shard(["a", "b"], 2, [1]), ValueError, "2 keys but 1 values"),
    (lambda: _pack_by_shard(["a", "b"], [b""], 2), ValueError, "2 keys but 1 values"),
    (lambda: _pack_by_shard(["a"], [bytearray()], 2), TypeError, "not str and bytearray"),
    (lambda: _pack_by_shard([1], [b""], 2), TypeError, "not int and bytes"),
    (lambda: _pack_by_shard(["a"], [b""], 0), ValueError, "not 0"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()
