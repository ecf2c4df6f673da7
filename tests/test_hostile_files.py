"""Damaged and hostile store files: every byte matters, structure is checked, nothing explodes.

Header map (big-endian): 0 magic "TRND" | 4 version | 5-7 reserved1 | 8 num_keys u32 |
12 num_objects u32 | 16 index_offset u64 | 24 data_offset u64 | 32 file_crc32 u32 |
36-39 reserved2.  reserved1, data_offset and reserved2 are never read, so they are the
only bytes whose damage may go unnoticed.
"""

import json
import os
import subprocess
import sys

import pytest
from helpers import U64_MAX, build, corrupt, put, under_asan
from storefile import (NUM_KEYS_POS, NUM_OBJECTS_POS, craft, encode_store, entry, fix_crc, patch,
                       record)
from tarndb._tarndb import _TarnReader

UNREAD = set(range(5, 8)) | set(range(24, 32)) | set(range(36, 40))

# Records: "alpha" at 40 (13 bytes), "" at 53 (8), "shared payload" at 61 (22), the
# unreferenced "never named" at 83 (19); index at 102: "", "a", "empty", "s1", "s2"; 162 bytes.
OBJECTS = [b"alpha", b"", b"shared payload", b"never named"]
KEYS = {b"": 0, b"a": 0, b"empty": 1, b"s1": 2, b"s2": 2}
STORE = encode_store(OBJECTS, KEYS)


def contents_if_accepted(path):
    """The reader's view of the file, or None when opening or verify() rejects it."""
    try:
        r = _TarnReader(path)
        r.verify()
    except RuntimeError:
        return None
    return r.items_raw(), r.objects_raw()


class TestSingleByteDamage:
    def test_every_byte_outside_unread_fields_is_protected(self, tmp_path):
        path = build(tmp_path / "s.trnd", OBJECTS, KEYS)
        base, sound = (tmp_path / "s.trnd").read_bytes(), contents_if_accepted(path)
        assert base == STORE and len(base) == 162 and sound is not None

        accepted, tried, changed_view = {}, {}, []
        fd = os.open(path, os.O_WRONLY)
        for pos, old in enumerate(base):
            tried[pos] = sorted({old ^ 0x01, old ^ 0x80, 0x00, 0xFF} - {old})
            for new in tried[pos]:
                os.pwrite(fd, bytes([new]), pos)  # no reader maps the file at this point
                view = contents_if_accepted(path)
                if view is not None:
                    accepted.setdefault(pos, []).append(new)
                    if view != sound:
                        changed_view.append((pos, new))
            os.pwrite(fd, bytes([old]), pos)
        os.close(fd)
        undetected = sorted(accepted)
        partly = [pos for pos in undetected if accepted[pos] != tried[pos]]
        summary = (f"{len(base) - len(undetected)}/{len(base)} positions detected over "
                   f"{sum(map(len, tried.values()))} changes; undetected positions: {undetected}; "
                   f"of these detected for some values: {partly}; "
                   f"undetected changes that altered results: {changed_view}")
        assert (undetected, partly, changed_view) == (sorted(UNREAD), [], []), summary


class TestStructureCheck:
    DATA, INDEX = STORE[40:102], STORE[102:]

    @pytest.mark.parametrize("data, message", [
        (patch(STORE, NUM_OBJECTS_POS, ">I", 5),
         "data section holds 4 records ending at 102, header says 5 ending at 102"),
        (patch(STORE, NUM_OBJECTS_POS, ">I", 3),
         "data section holds 4 records ending at 102, header says 3 ending at 102"),
        (patch(STORE, NUM_OBJECTS_POS, ">I", 0),
         "data section holds 4 records ending at 102, header says 0 ending at 102"),
        # Three stray bytes between the data and the index: index_offset moved by 3.
        (craft(DATA + b"gap", INDEX, num_keys=5, num_objects=4),
         "data section holds 4 records ending at 102, header says 4 ending at 105"),
        # Length of the unreferenced record at 83 damaged (and the file CRC fixed up):
        # only the record walk can see it.
        (fix_crc(patch(STORE, 83, ">I", 12)),
         "data section holds 3 records ending at 83, header says 4 ending at 102"),
        (fix_crc(patch(STORE, 83, ">I", 10)),
         "data section holds 4 records ending at 101, header says 4 ending at 102"),
        (patch(STORE, NUM_KEYS_POS, ">I", 4), "index section ends at 150, file ends at 162"),
        (patch(STORE, NUM_KEYS_POS, ">I", 0), "index section ends at 102, file ends at 162"),
        (fix_crc(STORE + b"trailing"), "index section ends at 162, file ends at 170"),
        (fix_crc(STORE + entry(b"zz", 40)), "index section ends at 162, file ends at 174"),
        # Precedence: per-object checks first, then the data section, then the index.
        (fix_crc(patch(patch(STORE, NUM_OBJECTS_POS, ">I", 9), 48, ">B", ord("A"))),
         "object CRC32 mismatch at offset 40"),
        (patch(patch(STORE, NUM_OBJECTS_POS, ">I", 9), NUM_KEYS_POS, ">I", 1),
         "data section holds 4 records ending at 102, header says 9 ending at 102"),
    ], ids=["objects+1", "objects-1", "objects=0", "index moved", "unreferenced length+1",
            "unreferenced length-1", "keys-1", "keys=0", "trailing bytes", "trailing entry",
            "object check first", "data before index"])
    @pytest.mark.parametrize("opened_verified", [True, False])
    def test_message(self, tmp_path, data, message, opened_verified):
        r = _TarnReader(put(tmp_path, data), verify=opened_verified)
        with pytest.raises(RuntimeError, match=corrupt(message)):
            r.verify()
        with pytest.raises(RuntimeError, match=corrupt(message)):
            r.verify()  # the check keeps no state between calls


def outcome(path):
    """Errors, in order, of opening, get_raw of every listed key and verify()."""
    errors = []

    def attempt(call, *args):
        try:
            return call(*args)
        except RuntimeError as e:
            errors.append(str(e))

    r = attempt(_TarnReader, path)
    if r is not None:
        for key in r.keys():
            attempt(r.get_raw, key)
        attempt(r.verify)
    return errors


def one_record(length=None, keys=1, **header):
    """One "abc" record at 40 (its length field possibly forged), named by "k" if keys."""
    return craft(record(b"abc", length=length), entry(b"k", 40) if keys else b"",
                 num_keys=keys, num_objects=1, **header)


KEY_LEN = "TarnCorruptError: index section truncated (key_len)"
BEYOND_END = "TarnCorruptError: object at 40 extends beyond file end"
HOSTILE = {  # file, then the errors that outcome() collects
    "billions of keys": (one_record(keys=0xFFFFFFFF), [KEY_LEN]),
    "billions of keys, no index": (craft(b"", b"", num_keys=0xFFFFFFFF), [KEY_LEN]),
    "index offset 2**64-1": (one_record(index_offset=U64_MAX), [KEY_LEN]),
    "index offset 2**64-2": (one_record(index_offset=U64_MAX - 1), [KEY_LEN]),
    # No keys: the index is not parsed at open, so only the record walk meets the offset.
    "index offset 2**64-1, no keys": (one_record(keys=0, index_offset=U64_MAX), [
        "TarnCorruptError: data section holds 1 records ending at 51, header says 1 ending at "
        f"{U64_MAX}"]),
    "record length 2**32-1": (one_record(length=2**32 - 1), [BEYOND_END, BEYOND_END]),
    "record length 2**32-8": (one_record(length=2**32 - 8), [BEYOND_END, BEYOND_END]),
    "unreferenced record length 2**32-1": (one_record(length=2**32 - 1, keys=0), [
        "TarnCorruptError: data section holds 0 records ending at 40, header says 1 ending at 51"]),
}

LIMITED_CODE = """
import json, resource, sys
limit = 1 << 30
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
sys.path.insert(0, sys.argv[1])
from test_hostile_files import outcome
print(json.dumps([outcome(path) for path in sys.argv[2:]]))
"""


class TestHostileHeaders:
    @pytest.mark.parametrize("name", sorted(HOSTILE))
    def test_fails_with_message(self, tmp_path, name):
        data, expected = HOSTILE[name]
        assert outcome(put(tmp_path, data)) == expected

    @pytest.mark.skipif(under_asan(),
                        reason="AddressSanitizer reserves more address space than the limit")
    def test_little_memory(self, tmp_path):
        # The header is not checksummed: sizing tables from num_keys, or walking towards an
        # index_offset near 2**64, would exhaust 1 GiB of address space long before failing.
        names = sorted(HOSTILE)
        paths = [put(tmp_path, HOSTILE[name][0], f"{i}.trnd") for i, name in enumerate(names)]
        proc = subprocess.run(
            [sys.executable, "-c", LIMITED_CODE, os.path.dirname(__file__), *paths],
            capture_output=True, text=True, timeout=120, cwd=tmp_path)
        assert (proc.returncode, proc.stderr) == (0, "")
        assert dict(zip(names, json.loads(proc.stdout))) == {
            name: HOSTILE[name][1] for name in names}
