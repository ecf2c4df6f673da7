"""Seeding of the in-memory hash tables (tests/native/hash_keys.cc over the core's keyed hash).

Every table gets its own key, from a per-process random seed and a per-table counter: no two
tables, in one process or in two, share a key, so no bucket layout can be predicted or
carried from one table to another. Under one key the hash is a pure function of the bytes.
"""

import random
import subprocess

import pytest
from helpers import native_tool


@pytest.fixture(scope="module")
def tool(tmp_path_factory):
    return native_tool(tmp_path_factory, "hash_keys", ["src/core/common/keyed_hash.cc", "src/core/common/posix.cc"])


def table_keys(tool, tables, threads):
    out = subprocess.run([str(tool), "tables", str(tables), str(threads)], capture_output=True,
                         text=True, check=True, timeout=60).stdout
    return [tuple(int(half, 16) for half in line.split()) for line in out.splitlines()]


def hashes(tool, key, inputs):
    out = subprocess.run([str(tool), "hash", "%x" % key[0], "%x" % key[1]],
                         input="".join(data.hex() + "\n" for data in inputs),
                         capture_output=True, text=True, check=True, timeout=60).stdout
    return out.splitlines()


def test_every_table_in_every_process_has_its_own_key(tool):
    runs = [table_keys(tool, 50, threads) for threads in (1, 4, 4)]
    assert [len(keys) for keys in runs] == [50, 200, 200]
    every = [key for keys in runs for key in keys]
    # Neither half repeats, within a process (one thread or several at once) or across them.
    assert len({k0 for k0, _ in every}) == len(every), "two tables share k0"
    assert len({k1 for _, k1 in every}) == len(every), "two tables share k1"


INPUTS = [b"", b"\x00", b"k", b"abcdefg", b"abcdefgh", b"abcdefghi", bytes(range(256)),
          *(random.Random(n).randbytes(n) for n in (15, 16, 17, 31, 64, 1000))]


@pytest.mark.parametrize("change", ["another table", "k0 bit", "k1 bit"])
def test_hash_depends_on_the_key_alone(tool, change):
    own, other_table = table_keys(tool, 2, 1)
    other = {"another table": other_table, "k0 bit": (own[0] ^ 1, own[1]),
             "k1 bit": (own[0], own[1] ^ 1 << 63)}[change]
    first = hashes(tool, own, INPUTS)
    # The same key in another process: the same hashes, for the bytes and the 64-bit values.
    assert hashes(tool, own, INPUTS) == first
    assert len(set(first)) == len(INPUTS)
    different = hashes(tool, other, INPUTS)
    for data, mine, theirs in zip(INPUTS, first, different):
        assert all(a != b for a, b in zip(mine.split(), theirs.split())), (data, mine, theirs)
