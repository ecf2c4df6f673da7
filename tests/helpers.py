"""Helpers shared by the test modules: building stores, crafting files, watching the process.

The format itself is modelled separately, in storefile.py; nothing here knows the layout.
"""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarndb
from tarndb._tarndb import _TarnReader, _TarnWriter

ROOT = Path(__file__).resolve().parent.parent
U64_MAX = 2**64 - 1


# Error texts.

def exact(text):
    """A regular expression matching exactly text, with no trailing newline allowed."""
    return "^" + re.escape(text) + r"\Z"


def corrupt(message):
    return exact("TarnCorruptError: " + message)


# Stores.

def writer(objects=(), keys=()):
    """A native writer holding objects (in ID order) and keys: a dict or (key, obj_id) calls."""
    w = _TarnWriter()
    for payload in objects:
        w.add_object_raw(payload)
    for key, obj_id in keys.items() if isinstance(keys, dict) else keys:
        w.add_key(key, obj_id)
    return w


def built(w, tmp_path, name="out.trnd"):
    """The bytes w builds into tmp_path/name."""
    path = tmp_path / name
    w.build(str(path))
    return path.read_bytes()


def build(path, objects, keys):
    """Build objects and keys into path with the native writer; returns the path as str."""
    writer(objects, keys).build(str(path))
    return str(path)


def built_reader(tmp_path, objects, keys, name="s.trnd"):
    """A reader of the store the native writer builds from objects and keys."""
    return _TarnReader(build(tmp_path / name, objects, keys))


def put(tmp_path, data, name="s.trnd"):
    """Write crafted bytes to tmp_path/name; returns the path as str."""
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


# The process.

def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def mapped(path):
    """The lines of /proc/self/maps that map path."""
    real = os.path.realpath(path)
    with open("/proc/self/maps") as maps:
        return [line for line in maps if line.rstrip("\n").endswith(" " + real)]


def mem_available():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def under_asan():
    """True when the tests run with AddressSanitizer preloaded."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


@contextlib.contextmanager
def small_tmpfs(tmp_path, size):
    """A tmpfs of size (mount's notation, e.g. "1m") under tmp_path, for
    full-disk tests; skips the test where it cannot be mounted (needs root)."""
    mount = tmp_path / "small"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(mount)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=True)


def strace_works():
    if shutil.which("strace") is None:
        return False
    probe = subprocess.run(["strace", "-qq", "-o", os.devnull, "true"], capture_output=True)
    return probe.returncode == 0


def run_python(code, *args, cwd, prefix=(), env=None, timeout=120, stdout=subprocess.PIPE):
    """Run code in a fresh interpreter that imports this very extension (and these helpers)."""
    env = dict(os.environ if env is None else env, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.dirname(tarndb.__file__)), os.path.dirname(__file__)]))
    return subprocess.run([*prefix, sys.executable, "-c", code, *args], cwd=cwd, env=env,
                          stdout=stdout, stderr=subprocess.PIPE, timeout=timeout)


def native_tool(tmp_path_factory, name, sources):
    """Compile tests/native/NAME.cc with the core sources it needs; skips without g++."""
    cxx = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if cxx is None:
        pytest.skip(f"no C++ compiler to build tests/native/{name}.cc")
    exe = tmp_path_factory.mktemp(name) / name
    subprocess.run([cxx, "-std=c++20", "-O2", "-pthread", "-I", str(ROOT / "src"), "-o", str(exe),
                    str(ROOT / "tests" / "native" / f"{name}.cc"),
                    *(str(ROOT / s) for s in sources)], check=True)
    return exe


# The hash index of the extension block, modelled independently of the native code.

_M64 = 2**64 - 1


def siphash13(k0, k1, data):
    """SipHash-1-3 of data under the key (k0, k1)."""
    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & _M64

    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D,
         k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def rnd():
        v[0] = (v[0] + v[1]) & _M64; v[1] = rotl(v[1], 13); v[1] ^= v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & _M64; v[3] = rotl(v[3], 16); v[3] ^= v[2]
        v[0] = (v[0] + v[3]) & _M64; v[3] = rotl(v[3], 21); v[3] ^= v[0]
        v[2] = (v[2] + v[1]) & _M64; v[1] = rotl(v[1], 17); v[1] ^= v[2]; v[2] = rotl(v[2], 32)

    n = len(data)
    words = [int.from_bytes(data[i:i + 8], "little") for i in range(0, n - n % 8, 8)]
    words.append(int.from_bytes(data[n - n % 8:], "little") | (n & 0xFF) << 56)
    for m in words:
        v[3] ^= m
        rnd()
        v[0] ^= m
    v[2] ^= 0xFF
    rnd(); rnd(); rnd()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def check_hash_index(data):
    """Check the extension block of the store file bytes `data` against its index section:
    every key is found from its home slot as the format describes, with its entry position
    and record offset, no slot names anything else, and the samples name every 16th entry.
    Returns the block's slot layout as (capacity, slot_count, seed)."""
    import struct
    num_keys, num_objects, index_offset = struct.unpack_from(">IIQ", data, 8)
    entries, pos = [], index_offset
    while pos < len(data):
        (klen,) = struct.unpack_from(">H", data, pos)
        key = data[pos + 2:pos + 2 + klen]
        (offset,) = struct.unpack_from(">Q", data, pos + 2 + klen)
        entries.append((pos - index_offset, key, offset))
        pos += 10 + klen
    assert len(entries) == num_keys
    trailer = data[index_offset - 32:index_offset]
    assert trailer[:8] == b"TRNDEXT1"
    payload_size, count, flags = struct.unpack_from(">QII", trailer, 8)
    assert flags & 1
    payload = data[index_offset - payload_size:index_offset]
    assert struct.unpack_from(">I", data, index_offset - payload_size - 8)[0] == payload_size
    import zlib
    assert struct.unpack_from(">I", data, index_offset - payload_size - 4)[0] == zlib.crc32(payload)
    sections = {}
    for i in range(count):
        stype, version, off, length = struct.unpack_from(
            ">4sIQQ", payload, payload_size - 32 - 24 * (count - i))
        sections[stype] = payload[off:off + length]
    hidx, smpl = sections[b"HIDX"], sections[b"SMPL"]
    width, pos_bits, off_bits = hidx[0], hidx[1], hidx[2]
    capacity, slot_count, num_entries, k0, k1, index_size = struct.unpack_from(">QQQQQQ", hidx, 8)
    assert num_entries == num_keys and slot_count >= capacity == num_keys + num_keys // 4 + 1
    assert index_size == len(data) - index_offset
    slots = [struct.unpack_from(">QQ" if width == 16 else ">Q", hidx, 56 + width * i)
             for i in range(slot_count)]
    tag_bits = 64 - pos_bits - (off_bits if width == 8 else 0)
    low = off_bits if width == 8 else 0
    for epos, key, offset in entries:
        h = siphash13(k0, k1, key)
        s = (h * capacity) >> 64
        while True:
            assert s < slot_count and slots[s][0] != 0, f"key {key!r} not found from its home"
            word = slots[s][0]
            if (word >> low) & ((1 << pos_bits) - 1) == epos + 1:
                break
            s += 1
        assert word >> (64 - tag_bits) == h & ((1 << tag_bits) - 1)
        if width == 16:
            assert slots[s][1] == offset
        elif off_bits:
            assert (word & ((1 << off_bits) - 1)) + 40 == offset
    assert sum(slot[0] != 0 for slot in slots) == num_keys
    occupied = "".join("x" if slot[0] else " " for slot in slots)
    assert struct.unpack_from(">I", hidx, 4)[0] == max(map(len, occupied.split()), default=0)
    assert smpl[0] == 4
    (n_samples,) = struct.unpack_from(">Q", smpl, 8)
    samples = struct.unpack_from(f">{n_samples}Q", smpl, 16)
    assert list(samples) == [e[0] for e in entries[::16]]
    return capacity, slot_count, (k0, k1)


def strip_extension(data):
    """The file bytes without the extension record: what a build without the hash index
    writes for the same input."""
    import struct
    import zlib
    num_keys, num_objects, index_offset = struct.unpack_from(">IIQ", data, 8)
    (payload_size,) = struct.unpack_from(">Q", data, index_offset - 24)
    start = index_offset - payload_size - 8
    body = data[40:start] + data[index_offset:]
    header = bytearray(data[:40])
    struct.pack_into(">IIQ", header, 8, num_keys, num_objects - 1, start)
    struct.pack_into(">I", header, 32, zlib.crc32(body))
    return bytes(header) + body
