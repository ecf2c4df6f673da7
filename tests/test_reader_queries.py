"""Point lookups and ordered scans of a reader, against a dict model."""

import random

import pytest
from helpers import built_reader, corrupt, put
from storefile import craft, entry, record
from tarndb._tarndb import _TarnReader


def crafted(tmp_path, data, verify=True):
    return _TarnReader(put(tmp_path, data, "c.trnd"), verify=verify)


def text(key):
    return key.decode("utf-8", "replace")


class TestPointLookups:
    def test_example_store(self, tmp_path):
        r = built_reader(tmp_path, [b"abc"], {"k": 0})
        assert (r.get_raw("k"), r.get_raw(b"k")) == (b"abc", b"abc")
        assert r.exists("k") is True and r.exists(b"k") is True
        for miss in ["j", b"j", "kk", "K", "", b"k\x00"]:
            assert r.get_raw(miss) is None and r.exists(miss) is False

    @pytest.mark.parametrize("key", ["", b"", [], "k", b"\x00", "é"])
    def test_empty_store(self, tmp_path, key):
        r = built_reader(tmp_path, [], {})
        assert r.get_raw(key) is None and r.exists(key) is False
        assert r.keys() == r.items_raw() == r.objects_raw() == r.prefix_raw(key) == []

    @pytest.mark.parametrize("form", ["é", b"\xc3\xa9", bytearray(b"\xc3\xa9"), [0xC3, 0xA9],
                                      (0xC3, 0xA9), memoryview(b"\xc3\xa9")])
    def test_key_forms_address_utf8_bytes(self, tmp_path, form):
        r = built_reader(tmp_path, [b"acute", b"e"], {"é": 0, "e": 1})
        assert (r.get_raw(form), r.exists(form)) == (b"acute", True)

    def test_keys_match_by_exact_bytes(self, tmp_path):
        r = built_reader(tmp_path, [b"1", b"2", b"3"], {b"a": 0, b"a\x00": 1, b"ab": 2})
        assert [r.get_raw(k) for k in [b"a", b"a\x00", b"ab", b"A", b"a\x00\x00", b"abc"]] == [
            b"1", b"2", b"3", None, None, None]
        r = built_reader(tmp_path, [b"3"], {b"ab": 0})
        assert (r.get_raw(b"a"), r.exists(b"a")) == (None, False)

    @pytest.mark.parametrize("form", ["", b"", [], bytearray()])
    def test_empty_key_is_ordinary(self, tmp_path, form):
        r = built_reader(tmp_path, [b"root", b"x"], {"": 0, "x": 1})
        assert (r.get_raw(form), r.exists(form)) == (b"root", True)
        assert r.keys()[0] == ""
        assert built_reader(tmp_path, [b"x"], {"x": 0}).exists(form) is False

    def test_empty_payload_is_empty_bytes(self, tmp_path):
        r = built_reader(tmp_path, [b"", b"z"], {"e": 0, "z": 1})
        got = r.get_raw("e")
        assert type(got) is bytes and got == b"" and r.exists("e")
        assert r.items_raw() == [("e", b""), ("z", b"z")]
        assert r.objects_raw() == [b"", b"z"]

    def test_payload_with_bad_crc_is_returned(self, tmp_path):
        r = crafted(tmp_path, craft(record(b"abc", crc=0), entry(b"k", 40), num_keys=1))
        assert r.get_raw("k") == b"abc" and r.items_raw() == [("k", b"abc")]

    def test_invalid_utf8_key_found_as_bytes_only(self, tmp_path):
        r = built_reader(tmp_path, [b"v"], {b"\xff": 0})
        assert r.keys() == ["\ufffd"]
        assert r.get_raw(b"\xff") == b"v" and r.get_raw("\ufffd") is None

    def test_unaccepted_key_type(self, tmp_path):
        r = built_reader(tmp_path, [b"v"], {"k": 0})
        for bad in [5, None, 1.5, [256], "\udcff"]:
            with pytest.raises(ValueError, match=r"^key must be str or bytes\Z"):
                r.get_raw(bad)
            with pytest.raises(ValueError, match=r"^key must be str or bytes\Z"):
                r.prefix_raw(bad)


ILL_FORMED = [
    b"\xff", b"\xfe", b"\x80", b"\xbf\xbf", b"a\x80b", b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x80\xaf",
    b"\xf0\x80\x80\xaf", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xed\xa0\x80\xed\xb0\x80",
    b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xf8\x88\x80\x80\x80", b"\xc3", b"\xe2\x82",
    b"\xf0\x9f\x98", b"x\xf0\x9f", b"\xe2\x82\xc3\xa9", b"\xc3\xa9\xff", b"\xf0\x9f\x98\x80\x80",
    b"\xe1\x80\xe2\xf0\x91\x92\xf1\xbf\x41",
]


class TestKeyText:
    def test_ill_formed_keys_decode_with_replacement(self, tmp_path):
        valid = [b"", b"\x00", b"plain", "é€😀".encode()]
        keys = ILL_FORMED + valid
        r = built_reader(tmp_path, [b"v"], {k: 0 for k in keys})
        assert r.keys() == [text(k) for k in sorted(keys)]
        assert [k for k, _ in r.items_raw()] == r.keys()

    def test_random_bytes_decode_with_replacement(self, tmp_path):
        rng = random.Random(20240611)
        edgy = [0x41, 0x80, 0xBF, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xFF]
        keys = {bytes(rng.choice(edgy + [rng.randrange(256)]) for _ in range(rng.randrange(1, 9)))
                for _ in range(400)}
        r = built_reader(tmp_path, [b"v"], {k: 0 for k in keys})
        assert r.keys() == [text(k) for k in sorted(keys)]

    def test_distinct_keys_may_share_text(self, tmp_path):
        r = built_reader(tmp_path, [b"f", b"e"], {b"\xff": 0, b"\xfe": 1})
        assert r.keys() == ["\ufffd", "\ufffd"]
        assert r.items_raw() == [("\ufffd", b"e"), ("\ufffd", b"f")]


class TestOrder:
    def test_bytewise_unsigned_order(self, tmp_path):
        keys = ["é", "z", "a", "B", "ab", "", "\x7f", "\x80", b"\xff"]
        r = built_reader(tmp_path, [b"v"], {k: 0 for k in keys})
        assert r.keys() == ["", "B", "a", "ab", "z", "\x7f", "\x80", "é", "\ufffd"]


class TestPrefixScan:
    @pytest.mark.parametrize("prefix, expected", [
        ("ab", ["ab", "abc"]), ("abcd", []), ("", ["a", "ab", "abc", "b"]), ("c", []),
        ("a", ["a", "ab", "abc"]), ("abc", ["abc"]), ("b", ["b"]), ("aa", []), ("\x00", []),
        (b"ab", ["ab", "abc"]), ([0x61, 0x62], ["ab", "abc"]),
    ])
    def test_prefixes(self, tmp_path, prefix, expected):
        r = built_reader(tmp_path, [b"A", b"AB", b"ABC", b"B"], {"a": 0, "ab": 1, "abc": 2, "b": 3})
        assert r.prefix_raw(prefix) == [(k, k.upper().encode()) for k in expected]

    def test_partial_utf8_prefix(self, tmp_path):
        r = built_reader(tmp_path, [b"1", b"2", b"3", b"4"], {"é": 0, "ê": 1, "ā": 2, "e": 3})
        assert r.prefix_raw(b"\xc3") == [("é", b"1"), ("ê", b"2")]
        assert r.prefix_raw(b"\xc3\xa9") == r.prefix_raw("é") == [("é", b"1")]

    @pytest.mark.parametrize("empty", ["", b"", [], bytearray(), ()])
    def test_empty_prefix_is_items(self, tmp_path, empty):
        r = built_reader(tmp_path, [b"1", b"2"], {"": 0, "x": 1, "xy": 0, b"\xff": 1})
        assert r.prefix_raw(empty) == r.items_raw() == [
            ("", b"1"), ("x", b"2"), ("xy", b"1"), ("\ufffd", b"2")]


class TestObjects:
    def test_first_key_order_and_dedup_by_offset(self, tmp_path):
        objs = [b"zero", b"one", b"two", b"zero"]  # equal payloads at two offsets
        r = built_reader(tmp_path, objs, {"a": 2, "b": 0, "c": 2, "d": 3, "e": 0})
        assert r.objects_raw() == [b"two", b"zero", b"zero"]  # object 1 is unreferenced
        assert r.items_raw() == [
            ("a", b"two"), ("b", b"zero"), ("c", b"two"), ("d", b"zero"), ("e", b"zero")]


def random_key(rng):
    return bytes(rng.choice(b"ab\x00\xc3\xa9\xff") for _ in range(rng.randrange(0, 6)))


class TestModel:
    @pytest.mark.parametrize("n_keys", [0, 1, 2, 7, 60, 400])
    def test_against_dict(self, tmp_path, n_keys):
        rng = random.Random(n_keys * 7919 + 1)
        n_objects = max(1, n_keys // 2 + rng.randrange(3))
        objects = [bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 3, 20])))
                   for _ in range(n_objects)]
        objects += objects[:2]  # equal payloads at different offsets
        calls = []
        while len(dict(calls)) < n_keys:
            # Keys from a tiny alphabet share prefixes and repeat, re-pointing a key.
            calls.append((random_key(rng), rng.randrange(len(objects) - 1)))  # last one unnamed
        model = dict(calls)
        r = built_reader(tmp_path, objects, calls)

        for key, obj_id in model.items():
            assert r.get_raw(key) == objects[obj_id] and r.exists(key)
        misses = {random_key(rng) for _ in range(200)}
        misses |= {k + b"\x01" for k in model} | {k[:-1] for k in model}
        for key in misses - model.keys():
            assert r.get_raw(key) is None and r.exists(key) is False

        order = sorted(model)
        pairs = [(text(k), objects[model[k]]) for k in order]
        assert r.keys() == [text(k) for k in order]
        assert r.items_raw() == pairs
        prefixes = {k[:i] for k in model for i in range(len(k) + 1)}
        prefixes |= {random_key(rng) for _ in range(100)}
        for p in prefixes:
            assert r.prefix_raw(p) == [(text(k), objects[model[k]]) for k in order if k.startswith(p)], p

        first_use = list(dict.fromkeys(model[k] for k in order))
        assert r.objects_raw() == [objects[i] for i in first_use]


def lower_bound(keys, p):
    """The reader's binary search over positions, step for step."""
    base, size = 0, len(keys)
    while size > 1:
        half = size // 2
        if keys[base + half] < p:
            base += half
        size -= half
    return base + 1 if keys[base] < p else base


def reference_prefix_scan(keys, p):
    i, found = lower_bound(keys, p), []
    while i < len(keys) and keys[i].startswith(p):
        found.append(i)
        i += 1
    return found


class TestUnsortedIndex:
    def test_scan_follows_binary_search_and_forward_scan(self, tmp_path):
        rng = random.Random(99)
        differs = 0
        for n in [1, 2, 3, 5, 8, 13, 40]:
            keys = [random_key(rng) for _ in range(n)]  # unsorted, duplicates possible
            data = b"".join(record(b"%d" % i) for i in range(n))
            offsets, pos = [], 40
            for i in range(n):
                offsets.append(pos)
                pos += 8 + len(b"%d" % i)
            index = b"".join(entry(k, o) for k, o in zip(keys, offsets))
            r = crafted(tmp_path, craft(data, index, num_keys=n, num_objects=n))
            assert r.keys() == [text(k) for k in keys]
            for p in {k[:i] for k in keys for i in range(len(k) + 1)} | {b"a", b"b", b"\xff", b"c"}:
                want = [(text(keys[i]), b"%d" % i) for i in reference_prefix_scan(keys, p)]
                assert r.prefix_raw(p) == want, (keys, p)
                differs += want != [(text(k), b"%d" % i) for i, k in enumerate(keys) if k.startswith(p)]
        assert differs > 0  # the data does exercise an unsorted index


class TestScanFailures:
    # "a" and "z" name valid records; "m" points far past the end of the file.
    @pytest.fixture
    def reader(self, tmp_path):
        data = record(b"A") + record(b"Z")
        index = entry(b"a", 40) + entry(b"m", 10**6) + entry(b"mm", 40) + entry(b"z", 49)
        return crafted(tmp_path, craft(data, index, num_keys=4, num_objects=2))

    def test_keys_and_lookups_unaffected(self, reader):
        assert reader.keys() == ["a", "m", "mm", "z"]
        assert reader.exists("m") and reader.get_raw("z") == b"Z"

    @pytest.mark.parametrize("name, args", [
        ("items_raw", ()), ("objects_raw", ()), ("prefix_raw", ("",)), ("prefix_raw", (b"",)),
        ("prefix_raw", ("m",)), ("prefix_raw", ([],))])
    def test_scans_reaching_bad_entry_raise(self, reader, name, args):
        with pytest.raises(RuntimeError, match=corrupt("offset 1000000 out of bounds")):
            getattr(reader, name)(*args)

    @pytest.mark.parametrize("prefix, expected", [
        ("a", [("a", b"A")]), ("z", [("z", b"Z")]), ("mm", [("mm", b"A")]),
        ("l", []), ("n", []), ("ma", [])])
    def test_prefix_not_reaching_bad_entry(self, reader, prefix, expected):
        assert reader.prefix_raw(prefix) == expected

    def test_record_running_past_end(self, tmp_path):
        data = record(b"A") + record(b"B", length=1000)
        r = crafted(tmp_path, craft(data, entry(b"a", 40) + entry(b"b", 49), num_keys=2))
        for call in [r.items_raw, r.objects_raw, lambda: r.prefix_raw("b")]:
            with pytest.raises(RuntimeError, match=corrupt("object at 49 extends beyond file end")):
                call()
        assert r.prefix_raw("a") == [("a", b"A")]
