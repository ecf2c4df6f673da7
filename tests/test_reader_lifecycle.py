"""Deep verification, metadata, context-manager use and the life of a mapping."""

import os
import threading
import zlib

import pytest
from helpers import U64_MAX, build, corrupt, mapped, put, run_python
from storefile import (DATA_OFFSET_POS, FILE_CRC_POS, NUM_OBJECTS_POS, craft, encode_store, entry,
                       fix_crc, patch, record)
import tarndb
from tarndb._tarndb import _TarnReader

EXAMPLE = encode_store([b"abc"], {b"k": 0})
STATS_KEYS = ["path", "version", "num_keys", "num_objects", "index_offset", "data_offset",
              "file_size_kb", "file_crc32"]


SOUND = {
    "empty": ([], {}),
    "example": ([b"abc"], {b"k": 0}),
    "no keys": ([b"x", b"y"], {}),
    "empty payload": ([b""], {b"": 0}),
    "shared and unreferenced": ([b"a", b"bb", b"ccc"], {b"1": 2, b"2": 0, b"3": 2}),
}


class TestVerify:
    @pytest.mark.parametrize("name", sorted(SOUND))
    @pytest.mark.parametrize("opened_verified", [True, False])
    def test_sound_store(self, tmp_path, name, opened_verified):
        path = str(tmp_path / "s.trnd")
        build(path, *SOUND[name])
        assert _TarnReader(path, verify=opened_verified).verify() is True

    def test_whole_file_checked_first(self, tmp_path):
        damaged = bytearray(EXAMPLE)
        damaged[48] ^= 0xFF  # payload byte: the object check would fail as well
        r = _TarnReader(put(tmp_path, bytes(damaged)), verify=False)
        computed = zlib.crc32(bytes(damaged[40:]))
        with pytest.raises(RuntimeError, match=corrupt(
                f"file CRC32 mismatch  stored=0x49d79980  computed=0x{computed:08x}")):
            r.verify()

    @pytest.mark.parametrize("damage", ["payload", "crc field"])
    def test_object_crc_mismatch(self, tmp_path, damage):
        data = bytearray(encode_store([b"first", b"second"], {b"a": 0, b"b": 1}))
        data[53 + (8 if damage == "payload" else 4)] ^= 0x20  # second record starts at 40 + 13
        r = _TarnReader(put(tmp_path, fix_crc(bytes(data))))
        assert r.get_raw("b") == (b"Second" if damage == "payload" else b"second")
        with pytest.raises(RuntimeError, match=corrupt("object CRC32 mismatch at offset 53")):
            r.verify()

    def test_first_failure_in_index_order(self, tmp_path):
        data = record(b"one", crc=1) + record(b"two", crc=2)  # at 40 and 51
        index = entry(b"a", 51) + entry(b"b", 40)
        r = _TarnReader(put(tmp_path, craft(data, index, num_keys=2)))
        with pytest.raises(RuntimeError, match=corrupt("object CRC32 mismatch at offset 51")):
            r.verify()

    @pytest.mark.parametrize("offset", [62 - 7, 62 - 1, 62, 63, 2**63,
                                        U64_MAX - 8, U64_MAX - 7, U64_MAX])
    def test_object_offset_out_of_bounds(self, tmp_path, offset):
        r = _TarnReader(put(tmp_path, craft(record(b"abc"), entry(b"k", offset), num_keys=1)))
        with pytest.raises(RuntimeError, match=corrupt(f"object offset {offset} out of bounds")):
            r.verify()

    @pytest.mark.parametrize("length", [15, 2**32 - 1])
    def test_object_extends_beyond_end(self, tmp_path, length):
        r = _TarnReader(put(tmp_path, craft(record(b"abc", length=length), entry(b"k", 40), num_keys=1)))
        with pytest.raises(RuntimeError, match=corrupt("object at 40 extends beyond file end")):
            r.verify()

    def test_record_running_to_exact_end_is_checked(self, tmp_path):
        # Length 14 reaches the last byte of the file; its crc covers those bytes,
        # so the object checks pass and only the overlap with the index is reported.
        tail = entry(b"k", 40)
        data = craft(record(b"abc" + tail, length=14)[:11], tail, num_keys=1, num_objects=1)
        with pytest.raises(RuntimeError, match=corrupt(
                "data section holds 0 records ending at 40, header says 1 ending at 51")):
            _TarnReader(put(tmp_path, data)).verify()

    def test_unreferenced_object_covered_only_by_file_crc(self, tmp_path):
        data = bytearray(encode_store([b"used", b"spare"], {b"k": 0}))
        data[40 + 12 + 8] ^= 0x01  # payload of the unreferenced second record
        path = put(tmp_path, bytes(data))
        with pytest.raises(RuntimeError, match=r"^TarnCorruptError: file CRC32 mismatch  stored="):
            _TarnReader(path, verify=False).verify()
        assert _TarnReader(put(tmp_path, fix_crc(bytes(data)))).verify() is True

    def test_unread_header_fields_are_not_checked(self, tmp_path):
        data = bytearray(patch(EXAMPLE, DATA_OFFSET_POS, ">Q", 7))
        data[5:8] = b"\xff" * 3  # reserved1
        data[36:40] = b"\xff" * 4  # reserved2
        assert _TarnReader(put(tmp_path, bytes(data))).verify() is True


class TestStats:
    def test_empty_store(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        build("empty.trnd", [], {})
        stats = _TarnReader("empty.trnd").stats()
        assert list(stats) == STATS_KEYS
        assert stats == {"path": "empty.trnd", "version": 2, "num_keys": 0, "num_objects": 0,
                         "index_offset": 40, "data_offset": 40, "file_size_kb": 0.0390625,
                         "file_crc32": "0x00000000"}

    def test_example_store(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        build("example.trnd", [b"abc"], {"k": 0})
        r = _TarnReader("example.trnd")
        stats = r.stats()
        assert list(stats) == STATS_KEYS
        assert stats == {"path": "example.trnd", "version": 2, "num_keys": 1, "num_objects": 1,
                         "index_offset": 51, "data_offset": 40, "file_size_kb": 0.060546875,
                         "file_crc32": "0x49d79980"}
        assert repr(r) == str(r) == "_TarnReader('example.trnd', keys=1, objects=1)"
        stats["num_keys"] = 5
        assert r.stats()["num_keys"] == 1

    @pytest.mark.parametrize("payload_size", [0, 1, 1000, 2**20 - 48, 3 * 2**20 + 17])
    def test_file_size_kb(self, tmp_path, payload_size):
        path = str(tmp_path / "s.trnd")
        build(path, [bytes(payload_size)], {})
        size = os.path.getsize(path)
        kb = _TarnReader(path).stats()["file_size_kb"]
        assert type(kb) is float and kb == size * 2**-10
        if payload_size == 2**20 - 48:
            assert kb == 1024.0

    def test_header_values_as_stored(self, tmp_path):
        data = patch(patch(EXAMPLE, NUM_OBJECTS_POS, ">I", 0xFFFFFFFF), DATA_OFFSET_POS, ">Q", 12345)
        data = patch(data, FILE_CRC_POS, ">I", 0x0000AB12)
        r = _TarnReader(put(tmp_path, data, "h.trnd"), verify=False)
        stats = r.stats()
        assert (stats["num_objects"], stats["data_offset"], stats["file_crc32"]) == (
            0xFFFFFFFF, 40, "0x0000ab12")
        assert repr(r).endswith("h.trnd', keys=1, objects=4294967295)")

    def test_index_offset_is_unsigned(self, tmp_path):
        r = _TarnReader(put(tmp_path, craft(b"", b"", num_keys=0, index_offset=U64_MAX)))
        assert r.stats()["index_offset"] == U64_MAX

    def test_path_is_plain_str_as_given(self, tmp_path):
        class Path(str):
            pass
        path = put(tmp_path, EXAMPLE, "it's a \\ path.trnd")
        r = _TarnReader(Path(path))
        assert type(r.stats()["path"]) is str and r.stats()["path"] == path
        assert repr(r) == f"_TarnReader('{path}', keys=1, objects=1)"


class TestContextManager:
    def test_close_changes_nothing(self, tmp_path):
        path = put(tmp_path, encode_store([b"v", b""], {b"a": 0, b"b": 1, b"c": 0}))
        r = _TarnReader(path)

        def queries():
            return (r.get_raw("a"), r.exists("b"), r.keys(), r.items_raw(), r.prefix_raw("b"),
                    r.objects_raw(), r.stats(), repr(r), r.verify())

        before = queries()
        assert r.close() is None and r.close() is None
        assert queries() == before
        assert len(mapped(path)) == 1

    def test_with_binds_reader_and_leaves_it_usable(self, tmp_path):
        r0 = _TarnReader(put(tmp_path, EXAMPLE))
        with r0 as r:
            assert r is r0
        assert r.get_raw("k") == b"abc" and r.verify()
        with _TarnReader(put(tmp_path, EXAMPLE)) as r:
            pass
        assert r.keys() == ["k"]

    def test_exceptions_propagate(self, tmp_path):
        r = _TarnReader(put(tmp_path, EXAMPLE))
        with pytest.raises(KeyError, match="inside"):
            with r:
                raise KeyError("inside")
        assert r.__exit__(None, None, None) is False
        assert r.__exit__(ValueError, ValueError("x"), None) is False
        assert r.get_raw("k") == b"abc"


class TestMappingLifetime:
    def test_old_file_stays_visible_after_rename(self, tmp_path):
        path = str(tmp_path / "live.trnd")
        build(path, [b"old"], {"k": 0, "gone": 0})
        old = _TarnReader(path)
        build(path, [b"new-and-longer"], {"k": 0, "fresh": 0})
        new = _TarnReader(path)
        assert (old.get_raw("k"), old.keys(), old.objects_raw(), old.verify()) == (
            b"old", ["gone", "k"], [b"old"], True)
        assert (new.get_raw("k"), new.keys()) == (b"new-and-longer", ["fresh", "k"])
        assert old.stats()["file_size_kb"] != new.stats()["file_size_kb"]

    def test_unmapped_only_when_last_reference_goes(self, tmp_path):
        path = put(tmp_path, EXAMPLE)
        r = _TarnReader(path)
        alias = r
        with r:
            r.close()
        r.close()
        assert len(mapped(path)) == 1
        del r
        assert len(mapped(path)) == 1 and alias.get_raw("k") == b"abc"
        del alias
        assert mapped(path) == []

    def test_each_reader_has_its_own_mapping(self, tmp_path):
        path = put(tmp_path, EXAMPLE)
        readers = [_TarnReader(path) for _ in range(3)]
        assert len(mapped(path)) == 3
        readers.pop()
        assert len(mapped(path)) == 2


REWRITTEN = """
import shutil, sys
from tarndb import TarnCorruptError, TarnReader
live, new = sys.argv[1:]
r = TarnReader(live)
keys = list(r)
shutil.copyfile(new, live)  # in place: the same inode, another size
calls = {"iter": lambda: list(r), "keys": lambda: list(r.keys()), "items": lambda: list(r.items()),
         "prefix": lambda: list(r.prefix("a02")), "objects": lambda: list(r.objects()),
         "get": lambda: r.get(keys[-1]), "in": lambda: keys[-1] in r,
         "get_many": lambda: r.get_many(keys)}
for name, call in calls.items():
    try:
        call()
        print(name, "answered")
    except TarnCorruptError as e:
        print(name, "refused" if "changed while this reader had it open" in str(e) else e)
"""


@pytest.mark.parametrize("new_keys", [3100, 2900])
def test_a_store_rewritten_in_place_with_another_size_is_refused(tmp_path, new_keys):
    # Iteration and scans walk the index of the file as opened: what they meet
    # in a file rewritten in place is that file's change, not damage.
    for name, prefix, n in (("live.trnd", "a", 3000), ("new.trnd", "b", new_keys)):
        w = tarndb.TarnWriter()
        w.update({f"{prefix}{i:05d}": f"{prefix}{i:05d}" * 100 for i in range(n)})
        w.build(tmp_path / name, quiet=True)
    done = run_python(REWRITTEN, str(tmp_path / "live.trnd"), str(tmp_path / "new.trnd"),
                      cwd=tmp_path)
    assert done.returncode == 0, done.stderr  # SIGBUS would end it with -7
    assert done.stdout.decode().splitlines() == [
        f"{name} refused" for name in ["iter", "keys", "items", "prefix", "objects", "get", "in",
                                       "get_many"]]


class TestThreads:
    def test_shared_reader(self, tmp_path):
        objects = [b"obj%d" % i * (i % 5) for i in range(50)]
        keymap = {("key/%03d" % i).encode(): i % 50 for i in range(500)}
        path = put(tmp_path, encode_store(objects, keymap))
        r = _TarnReader(path)
        errors, barrier = [], threading.Barrier(8)

        def work(seed):
            try:
                barrier.wait()
                for round_ in range(20):
                    for i in range(seed, 500, 7):
                        key = "key/%03d" % i
                        assert r.get_raw(key) == objects[i % 50] and r.exists(key)
                        assert r.get_raw(key + "x") is None
                    prefix = "key/%d" % (seed % 5)
                    hits = r.prefix_raw(prefix)
                    assert [v for _, v in hits] == [objects[i % 50] for i in range(500)
                                                    if ("key/%03d" % i).startswith(prefix)]
                    assert len(r.keys()) == 500
            except BaseException as exc:  # noqa: BLE001 - reported to the main thread
                errors.append(exc)

        threads = [threading.Thread(target=work, args=(s,)) for s in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
