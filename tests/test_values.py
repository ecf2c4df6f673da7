"""Values: the MessagePack codec, stores written by the msgpack package, and
typed values."""

import dataclasses
import math
import pickle
from typing import TypedDict

import msgpack
import msgspec
import pytest

from tarndb import TarnReader, TarnValueError, TarnWriter

EVERY_TYPE = {
    "none": None, "bools": [True, False], "ints": [0, 127, 128, 255, 256, 65535, 65536, 2**32,
                                                    2**63 - 1, -1, -32, -33, -129, -2**31 - 1, -2**63],
    "floats": [0.0, -0.0, 1.5, 1e300, float("inf")], "nan": float("nan"),
    "strs": ["", "a" * 31, "a" * 32, "a" * 256, "é日本", "x" * 70_000],
    "bytes": [b"", b"\x00\xff", b"x" * 256, b"y" * 70_000],
    "nested": {"a": [{"b": [[], {}, [1, [2, [3]]]]}], "n": None}, "wide": list(range(70_000)),
    "int keys": {1: "one", -2: "minus two"}, "tuple": (1, "two"),
}


def same(a, b):
    return a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


def test_values_of_every_type_read_back_and_stores_written_by_msgpack_read_alike(tmp_path):
    w = TarnWriter()
    for key, value in EVERY_TYPE.items():
        w.put(key, value)
        w.put_raw("msgpack/" + key, msgpack.packb(value, use_bin_type=True))
    w.build(tmp_path / "s.trnd", quiet=True)
    with TarnReader(tmp_path / "s.trnd") as r:
        for key, value in EVERY_TYPE.items():
            expected = list(value) if isinstance(value, tuple) else value
            assert same(r[key], expected) and same(r["msgpack/" + key], expected)
            assert r.raw[key] == r.raw["msgpack/" + key]  # the same bytes from both encoders


class Point(msgspec.Struct):
    x: int
    y: int


@dataclasses.dataclass
class Place:
    name: str
    at: Point


class Row(TypedDict):
    name: str
    n: int


@pytest.mark.parametrize("value_type, stored, expected", [
    (Point, Point(1, 2), Point(1, 2)),
    (Place, Place("here", Point(3, 4)), Place("here", Point(3, 4))),
    (Row, {"name": "r", "n": 5}, {"name": "r", "n": 5}),
    (list[int], (1, 2, 3), [1, 2, 3]),
])
def test_typed_values_round_trip_and_misfits_name_their_key(tmp_path, value_type, stored, expected):
    w = TarnWriter()
    w.put("good", stored)
    w.put("bad", "not the right shape")
    w.build(tmp_path / "s.trnd", quiet=True)
    with TarnReader(tmp_path / "s.trnd", value_type=value_type) as r:
        assert r["good"] == r.get("good") == r.get_many(["good"])[0] == expected
        assert pickle.loads(pickle.dumps(r))["good"] == expected  # value_type travels along
        for call in (lambda: r["bad"], lambda: r.get(b"bad"), lambda: r.get_many(["good", "bad"]),
                     lambda: dict(r.items()), lambda: list(r.values()), lambda: list(r.prefix("b"))):
            with pytest.raises(TarnValueError, match="key .*'bad'") as caught:
                call()
            assert caught.value.key in ("bad", b"bad")
            assert isinstance(caught.value.__cause__, msgspec.ValidationError)
        assert r.raw["bad"] == msgpack.packb("not the right shape")
