"""Ordered access against a sorted model: ranges in both directions, the
first and last entries, reverse iteration, and keys as bytes, for a single
store and a sharded one alike."""

import bisect
import random

import pytest
from test_sharded import build_sharded

import tarndb


def model_keys(rng):
    # Text keys, keys that are not UTF-8, the empty key, and prefixes of others.
    keys = {f"k{rng.randrange(10**4):05d}".encode() for _ in range(600)}
    keys |= {bytes(rng.choice(b"ab\xc3\xa9\xff") for _ in range(rng.randint(0, 4)))
             for _ in range(200)}
    return sorted(keys)


def text(key):
    return key.decode("utf-8", "replace")


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    rng = random.Random(11)
    keys = model_keys(rng)
    root = tmp_path_factory.mktemp("ordered")
    w = tarndb.TarnWriter()
    w.update({k: k[::-1] for k in keys})
    w.build(root / "s.trnd", quiet=True)
    build_sharded(root / "d", {k: k[::-1] for k in keys}, 3)
    build_sharded(root / "empty", {}, 2)
    return keys, root


@pytest.mark.parametrize("where", ["s.trnd", "d"])
@pytest.mark.parametrize("keys_as", ["str", "bytes"])
def test_ranges_and_order_match_a_sorted_list(stores, where, keys_as):
    keys, root = stores
    show = (lambda k: k) if keys_as == "bytes" else text
    rng = random.Random(where + keys_as)
    with tarndb.open(root / where, keys_as=keys_as) as r:  # values: each key's bytes reversed
        assert list(r) == [show(k) for k in keys]
        assert list(reversed(r)) == [show(k) for k in reversed(keys)]
        assert r.first() == (show(keys[0]), keys[0][::-1])
        assert r.last() == (show(keys[-1]), keys[-1][::-1])
        if keys_as == "bytes":
            assert all(k in r for k in r) and dict(r) == {k: k[::-1] for k in keys}
        bounds = [None, b"", b"k", b"k05", b"\xc3", b"\xff\xff\xff\xff\xff"]
        bounds += [rng.choice(keys) + rng.choice([b"", b"\x00"]) for _ in range(12)]
        for start in bounds:
            for stop in bounds:
                lo = 0 if start is None else bisect.bisect_left(keys, start)
                hi = len(keys) if stop is None else bisect.bisect_left(keys, stop)
                want = [(show(k), k[::-1]) for k in keys[lo:max(lo, hi)]]
                assert list(r.range(start, stop)) == want, (start, stop)
                assert list(r.range(start, stop, reverse=True)) == want[::-1], (start, stop)
        # A str bound is its UTF-8.
        assert list(r.range("k05", "k06")) == list(r.range(b"k05", b"k06"))


def test_first_and_last_of_an_empty_store(stores):
    _, root = stores
    with tarndb.open(root / "empty") as r:
        with pytest.raises(KeyError):
            r.first()
        with pytest.raises(KeyError):
            r.last()
        assert list(reversed(r)) == [] and list(r.range()) == []


def test_keys_as_is_checked(stores):
    _, root = stores
    with pytest.raises(ValueError, match="keys_as"):
        tarndb.TarnReader(root / "s.trnd", keys_as="latin-1")
