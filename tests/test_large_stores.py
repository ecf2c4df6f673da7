"""Large stores: tens of thousands of keys, keys up to the 65,535-byte limit, a multi-MiB index.

The writer generates the index in pieces (128 KiB today) as it writes it. A run of equal
entries whose size E divides 2**k + 1 leaves E - 1 bytes free at the end of each 2**k-byte
piece, one byte too few for the next entry: the narrowest miss there is. The runs below do
that for pieces of 128 KiB and 256 KiB (smaller pieces could not hold the longest entry,
2 + 65,535 + 8 bytes); the other entries, from 10 to 65,545 bytes, leave assorted room at
the other piece ends.
"""

import random

import pytest
from helpers import built, writer
from storefile import encode_store

import tarndb
from tarndb._tarndb import _TarnReader


def tight_run(tag, entry_size, count):
    """count keys that sort together and make index entries of entry_size bytes each."""
    key_len = entry_size - 10
    return [tag + b"%06d" % i + b"." * (key_len - len(tag) - 6) for i in range(count)]


def large_contents(seed):
    rng = random.Random(seed)
    keys = [b"", *(bytes([a]) for a in range(256)), *(bytes([a, b]) for a in range(256)
                                                      for b in range(256))]
    keys += tight_run(b"\xf0run17/", 131073 // 3, 9)  # 43,691-byte entries
    keys += tight_run(b"\xf0run18/", 262145 // 545, 1100)  # 481-byte entries
    keys += [b"\xf1var/%05d/" % i + rng.randbytes(rng.randrange(256, 4096)) for i in range(300)]
    longest = rng.randbytes(65_535)
    # Keys at the limit that differ only in their last byte or end inside one another.
    keys += [longest, longest[:-1] + bytes([longest[-1] ^ 1]), longest[:-1], longest[:-2],
             b"\xff" * 65_535, b"\x00" * 65_535]
    objects = [rng.randbytes(rng.choice([0, 1, 7, 100, 2000])) for _ in range(3000)]
    objects.append(rng.randbytes(300_000))
    keymap = {k: rng.randrange(len(objects)) for k in keys}
    assert len(keymap) == len(keys)
    return objects, keymap


@pytest.fixture(scope="module")
def contents():
    return large_contents(20261207)


@pytest.mark.parametrize("api", ["native", "package"])
def test_large_store_matches_model(tmp_path, contents, api):
    objects, keymap = contents
    expected = encode_store(objects, keymap)
    index_size = sum(10 + len(k) for k in keymap)
    assert len(keymap) > 65_536 and index_size > 2 << 20
    assert sum(len(k) >= 256 for k in keymap) > 1000 and max(map(len, keymap)) == 65_535

    if api == "native":
        data = built(writer(objects, keymap), tmp_path)
    else:
        w = tarndb.TarnWriter(hash_index=False)
        assert [w.add_raw(p) for p in objects] == list(range(len(objects)))
        for key, obj_id in keymap.items():
            w.add_key(key, obj_id)
        w.build(tmp_path / "out.trnd", quiet=True)
        data = (tmp_path / "out.trnd").read_bytes()
    if data != expected:
        first = next((i for i, (a, b) in enumerate(zip(data, expected)) if a != b), None)
        pytest.fail(f"built {len(data)} bytes, model {len(expected)}; first difference at {first}")

    r = _TarnReader(str(tmp_path / "out.trnd"))
    assert all(r.get_raw(k) == objects[i] for k, i in keymap.items())
    order = sorted(keymap)
    assert r.keys() == [k.decode("utf-8", "replace") for k in order]
    assert [v for _, v in r.prefix_raw(b"\xf0run18/")] == [
        objects[keymap[k]] for k in order if k.startswith(b"\xf0run18/")]
    assert r.verify() is True
