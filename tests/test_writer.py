"""The writer model: object IDs, the key map, repr, range and size limits."""

import pytest

from helpers import built, exact, mem_available
from storefile import encode_store
from tarndb import _tarndb

W = _tarndb._TarnWriter


class TestObjectIds:
    def test_dense_from_zero_without_deduplication(self, tmp_path):
        w = W()
        payloads = [b"x", b"x", b"", b"", b"\x00" * 300, b"x"]
        ids = [w.add_object_raw(p) for p in payloads]
        assert ids == list(range(6)) and all(type(i) is int for i in ids)
        assert repr(w) == "_TarnWriter(objects=6, keys=0)"
        # Every added object is stored, named or not, in ID order.
        assert built(w, tmp_path) == encode_store(payloads, {})


class TestKeyMap:
    @pytest.mark.parametrize("calls, objects, keys, keymap", [
        ([], 0, 0, {}),
        ([("a", 0)], 1, 1, {b"a": 0}),
        ([("k", 0), ("k", 1)], 2, 1, {b"k": 1}),
        ([("k", 1), ("k", 0)], 2, 1, {b"k": 0}),
        ([("é", 0), (b"\xc3\xa9", 1)], 2, 1, {"é".encode(): 1}),
        ([(b"\xc3\xa9", 1), ("é", 0)], 2, 1, {"é".encode(): 0}),
        ([("a", 0), ("b", 0), ("", 0)], 1, 3, {b"a": 0, b"b": 0, b"": 0}),
        ([("a", 0), ("A", 0), (b"a\x00", 0)], 3, 3, {b"a": 0, b"A": 0, b"a\x00": 0}),
    ])
    def test_last_call_wins(self, calls, objects, keys, keymap, tmp_path):
        w = W()
        payloads = [b"obj%d" % i for i in range(objects)]
        for p in payloads:
            w.add_object_raw(p)
        for key, obj_id in calls:
            assert w.add_key(key, obj_id) is None
        assert repr(w) == f"_TarnWriter(objects={objects}, keys={keys})"
        assert built(w, tmp_path) == encode_store(payloads, keymap)

    def test_writer_grows_after_build(self, tmp_path):
        w = W()
        w.add_object_raw(b"a")
        w.add_key("k", 0)
        first = built(w, tmp_path, "one.trnd")
        w.add_object_raw(b"b")
        w.add_key("k", 1)
        w.add_key("j", 0)
        assert first == encode_store([b"a"], {b"k": 0})
        assert built(w, tmp_path, "two.trnd") == encode_store([b"a", b"b"], {b"k": 1, b"j": 0})


class TestRangeCheck:
    @pytest.mark.parametrize("objects, obj_id", [(0, 0), (1, 1), (3, 5), (3, 3), (256, 256), (1, 2**64 - 1)])
    def test_out_of_range(self, objects, obj_id, tmp_path):
        w = W()
        payloads = [b"%d" % i for i in range(objects)]
        for p in payloads:
            w.add_object_raw(p)
        keymap = {b"kept": 0} if objects else {}
        for key, target in keymap.items():
            w.add_key(key, target)
        with pytest.raises(ValueError, match=exact(
                f"TarnError: obj_id {obj_id} out of range (have {objects} objects)")):
            w.add_key("kept", obj_id)
        # An existing mapping of the key is untouched by the failure.
        assert repr(w) == f"_TarnWriter(objects={objects}, keys={len(keymap)})"
        assert built(w, tmp_path) == encode_store(payloads, keymap)


class TestLimits:
    @pytest.mark.parametrize("key", ["x" * 65536, b"\xff" * 65536, "é" * 32768, [1] * 65536,
                                     "x" * 100_000], ids=lambda k: f"{type(k).__name__}")
    def test_key_too_long(self, key, tmp_path):
        w = W()
        w.add_object_raw(b"v")
        w.add_key("k", 0)
        n = len(key.encode() if isinstance(key, str) else bytes(key))
        text = f"TarnError: key of {n} bytes exceeds the 65535-byte limit"
        # Checked after the key conversion, before the obj_id range check.
        for obj_id in (0, 7):
            with pytest.raises(ValueError, match=exact(text)):
                w.add_key(key, obj_id)
        assert repr(w) == "_TarnWriter(objects=1, keys=1)"
        assert built(w, tmp_path) == encode_store([b"v"], {b"k": 0})

    def test_longest_key_round_trips(self, tmp_path):
        longest = bytes(range(256)) * 255 + b"\xfe" * 255
        assert len(longest) == 65535
        w = W()
        w.add_object_raw(b"v")
        w.add_key(longest, 0)
        w.add_key(longest[:-1], 0)
        data = built(w, tmp_path)
        assert data == encode_store([b"v"], {longest: 0, longest[:-1]: 0})
        reader = _tarndb._TarnReader(str(tmp_path / "out.trnd"))
        assert reader.get_raw(longest) == b"v" and reader.exists(longest[:-1])

    @pytest.mark.skipif(mem_available() < 12 * 2**30, reason="needs 12 GiB of available memory")
    def test_object_too_long(self, tmp_path):
        w = W()
        w.add_object_raw(b"a")
        big = bytes(2**32)  # zero-filled; pages are only touched when written
        with pytest.raises(ValueError, match=exact(
                "TarnError: object of 4294967296 bytes exceeds the 4294967295-byte limit")):
            w.add_object_raw(big)
        del big
        assert w.add_object_raw(b"b") == 1
        assert built(w, tmp_path) == encode_store([b"a", b"b"], {})


class TestFailuresLeaveWriterUnchanged:
    def test_every_failure(self, tmp_path):
        w = W()
        w.add_object_raw(b"zero")
        w.add_object_raw(b"one")
        w.add_key("k", 1)
        failures = [
            (lambda: w.add_object_raw(bytearray(b"x")), TypeError),
            (lambda: w.add_object_raw(None), TypeError),
            (lambda: w.add_key("k", 2), ValueError),
            (lambda: w.add_key("k", -1), OverflowError),
            (lambda: w.add_key("k", 1.5), TypeError),
            (lambda: w.add_key(None, 0), ValueError),
            (lambda: w.add_key("k" * 65536, 0), ValueError),
            (lambda: w.add_key(), TypeError),
            (lambda: w.build(str(tmp_path / "missing" / "x.trnd")), OSError),
        ]
        for call, exc in failures:
            with pytest.raises(exc):
                call()
            assert repr(w) == "_TarnWriter(objects=2, keys=1)"
        assert w.add_object_raw(b"two") == 2
        assert built(w, tmp_path) == encode_store([b"zero", b"one", b"two"], {b"k": 1})
