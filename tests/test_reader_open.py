"""Opening a store file: header checks, index parsing and resource hygiene.

Header offsets used below (all big-endian):
     0 magic "TRND"   4 version   8 num_keys u32   12 num_objects u32
    16 index_offset u64   24 data_offset u64   32 file_crc32 u32
An index entry is key_len u16 | key | offset u64 (10 + key_len bytes).
"""

import errno
import itertools
import os
import struct
import subprocess
import sys
import zlib

import pytest
from helpers import U64_MAX, corrupt, exact, mapped, open_fds, put, under_asan
from storefile import (FILE_CRC_POS, INDEX_OFFSET_POS, NUM_KEYS_POS, VERSION_POS, craft,
                       encode_store, entry, fix_crc, patch, record)
import tarndb
from tarndb._tarndb import _TarnReader

EXAMPLE = encode_store([b"abc"], {b"k": 0})  # the 62-byte store: "k" -> b"abc" at offset 40


def open_fails(path, message, verify=True):
    with pytest.raises(RuntimeError, match=corrupt(message)):
        _TarnReader(path, verify=verify)


class TestOpenErrors:
    def test_missing_file_is_plain_oserror_without_errno(self, tmp_path):
        path = str(tmp_path / "missing.trnd")
        with pytest.raises(OSError) as info:
            _TarnReader(path)
        assert type(info.value) is OSError
        assert str(info.value) == (
            f"TarnIOError: cannot open {path}: No such file or directory (os error 2)")
        assert (info.value.errno, info.value.strerror, info.value.filename) == (None, None, None)

    def test_nul_in_path(self):
        with pytest.raises(OSError, match=exact(
                "TarnIOError: cannot open a\x00b.trnd: file name contained an unexpected NUL byte")):
            _TarnReader("a\x00b.trnd")

    def test_directory_fails_at_mapping(self, tmp_path):
        reason = f"{os.strerror(errno.ENODEV)} (os error {errno.ENODEV})"
        with pytest.raises(OSError, match=exact(f"TarnIOError: mmap failed: {reason}")):
            _TarnReader(str(tmp_path))

    @pytest.mark.parametrize("size", [0, 1, 4, 5, 39])
    @pytest.mark.parametrize("verify", [True, False])
    def test_file_too_small(self, tmp_path, size, verify):
        # A prefix of a valid header: the size check comes before the magic.
        open_fails(put(tmp_path, EXAMPLE[:size]), "file too small for header", verify)

    def test_size_checked_before_magic(self, tmp_path):
        open_fails(put(tmp_path, b"PK\x03\x04" + bytes(35)), "file too small for header")

    @pytest.mark.parametrize("magic, shown", [
        (b"PK\x03\x04", "[80, 75, 3, 4]"),
        (b"trnd", "[116, 114, 110, 100]"),
        (b"\x00\x00\x00\x00", "[0, 0, 0, 0]"),
        (b"\xff\xffND", "[255, 255, 78, 68]"),
    ])
    def test_bad_magic(self, tmp_path, magic, shown):
        open_fails(put(tmp_path, magic + EXAMPLE[4:]), f"bad magic {shown}", verify=False)

    @pytest.mark.parametrize("version", [0, 1, 3, 255])
    @pytest.mark.parametrize("verify", [True, False])
    def test_unsupported_version(self, tmp_path, version, verify):
        path = put(tmp_path, patch(EXAMPLE, VERSION_POS, ">B", version))
        message = f"TarnVersionError: unsupported version {version}"
        with pytest.raises(RuntimeError, match=exact(message)):
            _TarnReader(path, verify=verify)

    @pytest.mark.parametrize("stored, shown", [(0xAB12, "0x0000ab12"), (0xDEADBEEF, "0xdeadbeef")])
    def test_crc_mismatch_text(self, tmp_path, stored, shown):
        path = put(tmp_path, patch(EXAMPLE, FILE_CRC_POS, ">I", stored))
        open_fails(path, f"file CRC32 mismatch  stored={shown}  computed=0x49d79980")

    def test_crc_covers_every_byte_after_the_header(self, tmp_path):
        for pos in range(40, len(EXAMPLE)):
            damaged = bytearray(EXAMPLE)
            damaged[pos] ^= 0x01
            computed = zlib.crc32(bytes(damaged[40:]))
            assert computed != 0x49D79980
            open_fails(put(tmp_path, bytes(damaged)),
                       f"file CRC32 mismatch  stored=0x49d79980  computed=0x{computed:08x}")

    def test_header_not_covered_by_crc(self, tmp_path):
        data = patch(patch(EXAMPLE, 36, ">I", 0xFFFFFFFF), 5, ">H", 0xFFFF)  # reserved fields
        assert _TarnReader(put(tmp_path, data)).get_raw("k") == b"abc"


class TestCheckOrder:
    def test_magic_before_version_before_crc(self, tmp_path):
        bad = patch(patch(EXAMPLE, VERSION_POS, ">B", 9), FILE_CRC_POS, ">I", 1)
        open_fails(put(tmp_path, b"XXXX" + bad[4:]), "bad magic [88, 88, 88, 88]")
        with pytest.raises(RuntimeError, match=exact("TarnVersionError: unsupported version 9")):
            _TarnReader(put(tmp_path, bad))

    def test_crc_before_index_parsing_only_when_verifying(self, tmp_path):
        data = craft(b"", b"", num_keys=1, crc=0x12345678)  # also has no room for an entry
        path = put(tmp_path, data)
        open_fails(path, "file CRC32 mismatch  stored=0x12345678  computed=0x00000000")
        open_fails(path, "index section truncated (key_len)", verify=False)

    def test_verify_false_skips_crc(self, tmp_path):
        r = _TarnReader(put(tmp_path, patch(EXAMPLE, FILE_CRC_POS, ">I", 0)), verify=False)
        assert r.items_raw() == [("k", b"abc")]


class TestIndexBounds:
    @pytest.mark.parametrize("index_offset", [0, 39, 40, 41, 10**9, 2**63, U64_MAX])
    def test_no_keys_ignores_index_offset(self, tmp_path, index_offset):
        r = _TarnReader(put(tmp_path, craft(record(b"x"), b"", num_keys=0, num_objects=1,
                                            index_offset=index_offset)))
        assert (r.keys(), r.get_raw(""), r.stats()["index_offset"]) == ([], None, index_offset)

    @pytest.mark.parametrize("delta", [-1, 0, 1, 1000])
    def test_index_offset_at_or_past_end(self, tmp_path, delta):
        # With one byte left the key_len does not fit either.
        open_fails(put(tmp_path, patch(EXAMPLE, INDEX_OFFSET_POS, ">Q", len(EXAMPLE) + delta)),
                   "index section truncated (key_len)")

    @pytest.mark.parametrize("index_offset", [2**63, U64_MAX - 2, U64_MAX - 1, U64_MAX])
    def test_index_offset_near_u64_max(self, tmp_path, index_offset):
        open_fails(put(tmp_path, patch(EXAMPLE, INDEX_OFFSET_POS, ">Q", index_offset)),
                   "index section truncated (key_len)")

    @pytest.mark.parametrize("hash_index", [True, False])
    def test_num_keys_lowered_within_a_sample_block_is_refused(self, tmp_path, hash_index):
        # 40 keys lowered to 33: the file's hash index still has as many samples
        # (one per 16 keys), and its first and last sampled entries are still
        # found, but the verified open of the package's reader must refuse the
        # shortened index with or without it.
        w = tarndb.TarnWriter(hash_index=hash_index)
        w.update_raw((b"key%03d" % i, b"v") for i in range(40))
        w.build(tmp_path / "s.trnd", quiet=True)
        data = (tmp_path / "s.trnd").read_bytes()
        index_offset = struct.unpack_from(">Q", data, INDEX_OFFSET_POS)[0]
        path = put(tmp_path, patch(data, NUM_KEYS_POS, ">I", 33))
        message = f"index section ends at {index_offset + 33 * 16}, file ends at {len(data)}"
        with pytest.raises(tarndb.TarnCorruptError, match=exact(message)):
            tarndb.TarnReader(path)
        with tarndb.TarnReader(path, verify=False) as r, pytest.raises(tarndb.TarnCorruptError,
                                                                        match=exact(message)):
            r.verify()

    def test_entry_ending_exactly_at_eof(self, tmp_path):
        assert _TarnReader(put(tmp_path, EXAMPLE)).keys() == ["k"]
        for cut, what in [(1, "key + offset"), (9, "key + offset"), (10, "key_len")]:
            open_fails(put(tmp_path, fix_crc(EXAMPLE[:-cut])), f"index section truncated ({what})")

    @pytest.mark.parametrize("key_len", [2, 0xFFFF])
    def test_forged_key_len(self, tmp_path, key_len):
        data = craft(record(b"abc"), entry(b"k", 40, key_len=key_len), num_keys=1)
        open_fails(put(tmp_path, data), "index section truncated (key + offset)")

    def test_second_entry_truncated(self, tmp_path):
        data = craft(record(b"abc"), entry(b"a", 40) + b"\x00", num_keys=2)
        open_fails(put(tmp_path, data), "index section truncated (key_len)")

    def test_index_may_precede_data_and_be_followed_by_bytes(self, tmp_path):
        index = entry(b"k", 40 + 11)  # the record right behind this 11-byte entry
        data = craft(index + record(b"abc") + b"trailing", b"", num_keys=1, index_offset=40)
        r = _TarnReader(put(tmp_path, data))
        assert (r.keys(), r.get_raw("k")) == (["k"], b"abc")

    @pytest.mark.parametrize("index, message", [
        (b"", "index section truncated (key_len)"),
        (entry(b"a", 40) * 3, "index section truncated (key_len)"),
        (entry(b"a", 40) + b"\x00\x05ab", "index section truncated (key + offset)"),
    ])
    def test_huge_key_count_fails_fast(self, tmp_path, index, message):
        open_fails(put(tmp_path, craft(record(b"abc"), index, num_keys=0xFFFFFFFF)), message)

    @pytest.mark.skipif(under_asan(),
                        reason="AddressSanitizer reserves more address space than the limit")
    def test_huge_key_count_does_not_size_tables_from_header(self, tmp_path):
        # The header is not checksummed, so num_keys is attacker-controlled; sizing
        # the tables from it would reserve tens of gigabytes before failing.
        path = put(tmp_path, craft(record(b"abc"), entry(b"a", 40), num_keys=0xFFFFFFFF))
        script = (
            "import resource, sys\n"
            "from tarndb._tarndb import _TarnReader\n"
            "limit = 1 << 30\n"
            "resource.setrlimit(resource.RLIMIT_AS, (limit, limit))\n"
            "try:\n"
            "    _TarnReader(sys.argv[1])\n"
            "except RuntimeError as e:\n"
            "    print(e)\n"
        )
        # Run outside the source tree so the installed package is imported.
        proc = subprocess.run([sys.executable, "-c", script, path], capture_output=True, text=True,
                              timeout=120, cwd=tmp_path)
        assert (proc.returncode, proc.stdout, proc.stderr) == (
            0, "TarnCorruptError: index section truncated (key_len)\n", "")


class TestEntries:
    def test_duplicate_key(self, tmp_path):
        data = craft(record(b"one") + record(b"two"), entry(b"d", 40) + entry(b"d", 51), num_keys=2)
        r = _TarnReader(put(tmp_path, data))
        assert r.keys() == ["d", "d"]
        assert r.get_raw("d") == b"two"
        assert r.items_raw() == [("d", b"one"), ("d", b"two")]

    @pytest.mark.parametrize("n", [7, 40_000])  # one and several partitions of the owned table
    def test_runs_of_equal_keys_take_their_last_entry(self, tmp_path, n):
        # Keys repeated once, twice and three times, in order; each entry has
        # its own object.
        keys = [b"k%06d" % j for j in range(n) for _ in range(1 + j % 3)]
        payloads = [b"%d" % i for i in range(len(keys))]
        offsets = list(itertools.accumulate((8 + len(p) for p in payloads[:-1]), initial=40))
        data = b"".join(record(p) for p in payloads)
        index = b"".join(entry(k, o) for k, o in zip(keys, offsets))
        path = put(tmp_path, craft(data, index, num_keys=len(keys)))
        r = _TarnReader(path)
        want = dict(zip(keys, payloads))
        assert [r.get_raw(k) for k in want] == list(want.values())
        # Repeats keep the index in order: the package's reader builds the same
        # table as for as many distinct keys of the same size, without copying
        # a key.
        distinct = [b"d%06d" % i for i in range(len(keys))]
        index = b"".join(entry(k, o) for k, o in zip(distinct, offsets))
        twin = put(tmp_path, craft(data, index, num_keys=len(keys)), "twin.trnd")
        with tarndb.TarnReader(path) as a, tarndb.TarnReader(twin) as b:
            assert a.raw.get_many(want) == list(want.values())
            assert a.stats()["private_bytes"] == b.stats()["private_bytes"]

    @pytest.mark.parametrize("offset", [  # the file below is 62 bytes long
        62 - 7, 62 - 1, 62, 63, 2**32, 2**63, U64_MAX - 8, U64_MAX - 7, U64_MAX - 1, U64_MAX])
    def test_offset_outside_file(self, tmp_path, offset):
        path = put(tmp_path, craft(record(b"abc"), entry(b"k", offset), num_keys=1, num_objects=1))
        r = _TarnReader(path)
        assert r.exists("k") and r.exists(b"k")
        with pytest.raises(RuntimeError, match=corrupt(f"offset {offset} out of bounds")):
            r.get_raw("k")

    def test_record_head_ending_at_eof(self, tmp_path):
        # The last 8 bytes of the file are the entry's offset field itself: length
        # reads as 0 (the high half of a small offset), so the record fits.
        path = put(tmp_path, craft(record(b"abc"), entry(b"k", 54), num_keys=1))
        assert _TarnReader(path).get_raw("k") == b""

    @pytest.mark.parametrize("extra, fits", [(0, True), (1, False), (2**32 - 1 - 14, False)])
    def test_record_length_against_eof(self, tmp_path, extra, fits):
        # The record at 40 may run through the index to exactly the end of the file.
        length = 3 + 11 + extra
        path = put(tmp_path, craft(record(b"abc", length=length), entry(b"k", 40), num_keys=1))
        r = _TarnReader(path)
        assert r.exists("k")
        if fits:
            assert r.get_raw("k") == b"abc" + entry(b"k", 40)
        else:
            with pytest.raises(RuntimeError, match=corrupt("object at 40 extends beyond file end")):
                r.get_raw("k")


FAILING = {
    "small": b"TRND\x02",
    "magic": b"XRND" + EXAMPLE[4:],
    "version": patch(EXAMPLE, VERSION_POS, ">B", 3),
    "crc": patch(EXAMPLE, FILE_CRC_POS, ">I", 0),
    "key_len": patch(EXAMPLE, NUM_KEYS_POS, ">I", 2),
    "key_offset": fix_crc(EXAMPLE[:-1]),
}


class TestResources:
    @pytest.mark.parametrize("kind", sorted(FAILING))
    def test_failed_open_leaves_no_descriptor_or_mapping(self, tmp_path, kind):
        path = put(tmp_path, FAILING[kind])
        before = open_fds()
        with pytest.raises(RuntimeError):
            _TarnReader(path)
        assert open_fds() == before
        assert mapped(path) == []

    def test_failed_os_opens_leave_no_descriptor(self, tmp_path):
        before = open_fds()
        for path in [str(tmp_path / "missing"), str(tmp_path)]:
            with pytest.raises(OSError):
                _TarnReader(path)
        assert open_fds() == before

    @pytest.mark.parametrize("verify", [True, False])
    def test_open_keeps_mapping_but_no_descriptor(self, tmp_path, verify):
        path = put(tmp_path, EXAMPLE)
        before = open_fds()
        r = _TarnReader(path, verify=verify)
        assert open_fds() == before
        assert len(mapped(path)) == 1
        assert r.get_raw("k") == b"abc"
