"""Every CRC-32 implementation the CPU supports against zlib.

The folding implementations are only used for inputs of 64 bytes or more
and change strategy at 256 bytes, so lengths cluster around those edges;
offsets vary the alignment and initial values exercise chaining.
"""

import random
import subprocess
import zlib

import pytest
from helpers import native_tool

SOURCES = ["src/core/format/crc32.cc", "src/core/format/crc32_x86.cc"]


@pytest.fixture(scope="module")
def crc_tool(tmp_path_factory):
    return native_tool(tmp_path_factory, "crc32_levels", SOURCES)


def test_known_answers(tmp_path, crc_tool):
    assert zlib.crc32(b"123456789") == 0xCBF43926
    data = tmp_path / "buf"
    data.write_bytes(b"123456789" * 100)
    out = subprocess.run([str(crc_tool), str(data)], input="0 9 0\n0 0 0\n0 900 0\n",
                         capture_output=True, text=True, check=True).stdout.split("\n")
    assert out[1].split() == ["cbf43926"] * len(out[1].split())
    assert out[2].split() == ["00000000"] * len(out[2].split())
    assert {int(c, 16) for c in out[3].split()} == {zlib.crc32(b"123456789" * 100)}


def test_all_levels_match_zlib(tmp_path, crc_tool):
    rng = random.Random(20261207)
    buf = rng.randbytes(1 << 18)
    (tmp_path / "buf").write_bytes(buf)
    edges = [0, 1, 15, 16, 17, 63, 64, 65, 79, 80, 127, 128, 255, 256, 257, 271, 272,
             511, 512, 513, 1023, 1024, 4096 + 13] + list(range(80, 112))
    cases = [(rng.randrange(64), n, rng.getrandbits(32)) for n in edges for _ in range(4)]
    cases += [(rng.randrange(1 << 12), rng.randrange(1 << 17), rng.getrandbits(32))
              for _ in range(300)]
    stdin = "".join(f"{o} {n} {c}\n" for o, n, c in cases)
    lines = subprocess.run([str(crc_tool), str(tmp_path / "buf")], input=stdin,
                           capture_output=True, text=True, check=True).stdout.splitlines()
    levels = int(lines[0].split()[1])
    assert levels >= 1
    assert len(lines) == len(cases) + 1
    for (o, n, c), line in zip(cases, lines[1:]):
        want = zlib.crc32(buf[o:o + n], c)
        got = [int(x, 16) for x in line.split()]
        assert got == [want] * levels, (o, n, c)
