"""Builds whose writes the kernel cuts short or interrupts, as it may on any file.

tests/native/short_write.c, preloaded into a builder process, lets each write to a regular
file move only a few bytes and fails some with EINTR; the published store, and the summary
line written to a standard output that is a regular file, must still come out whole.
"""

import json
import os
import random
import shutil
import subprocess
from pathlib import Path

import pytest
from helpers import run_python
from storefile import encode_store
from tarndb._tarndb import _TarnReader

SHIM_SOURCE = Path(__file__).resolve().parent / "native" / "short_write.c"


def contents():
    """Objects around the writer's 8 KiB buffer size and keys of many lengths."""
    rng = random.Random(5)
    objects = [b"", b"x", *(rng.randbytes(n) for n in (8191, 8192, 8193, 20_000, 100))]
    objects += [rng.randbytes(rng.randrange(300)) for _ in range(60)]
    keys = {rng.randbytes(rng.choice([0, 1, 5, 30, 700])): rng.randrange(len(objects))
            for _ in range(400)}
    keys[b"k" * 3000] = 3
    return objects, keys


BUILD_CODE = """
import ctypes, json, sys
from helpers import writer
from test_short_writes import contents
w = writer(*contents())
for _ in range(int(sys.argv[2])):
    w.build(sys.argv[1])
counts = (ctypes.c_long * 2)()
ctypes.CDLL(None).short_write_counts(counts)
sys.stderr.write(json.dumps(list(counts)))
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    cc = shutil.which(os.environ.get("CC", "gcc")) or shutil.which("cc")
    if cc is None:
        pytest.skip("no C compiler to build the short-write library")
    lib = tmp_path_factory.mktemp("shim") / "short_write.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(lib), str(SHIM_SOURCE), "-ldl"],
                   check=True)
    return lib


@pytest.mark.parametrize("max_bytes, random_counts, eintr_every, builds", [
    (1, 0, 0, 1),
    (7, 1, 0, 1),
    (5, 1, 3, 2),
    (4096, 1, 2, 1),
], ids=["1 byte", "1-7 bytes", "1-5 bytes, EINTR 1 in 3, built twice", "up to 4 KiB, EINTR 1 in 2"])
def test_published_store_is_whole(tmp_path, shim, max_bytes, random_counts, eintr_every, builds):
    objects, keys = contents()
    expected = encode_store(objects, keys)
    env = dict(os.environ, SHORT_WRITE_MAX=str(max_bytes), SHORT_WRITE_RANDOM=str(random_counts),
               SHORT_WRITE_EINTR=str(eintr_every), SHORT_WRITE_SEED=str(max_bytes),
               PYTHONDONTWRITEBYTECODE="1")
    # After a sanitizer runtime, which must come first.
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(shim)]))
    with open(tmp_path / "stdout", "wb") as out:
        proc = run_python(BUILD_CODE, "s.trnd", str(builds), cwd=tmp_path, env=env, stdout=out)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    shortened, interrupted = json.loads(proc.stderr)
    assert shortened >= len(expected) // max_bytes // 2, "the library did not shorten the writes"
    assert (interrupted > 0) == (eintr_every > 0)

    assert (tmp_path / "s.trnd").read_bytes() == expected
    assert _TarnReader(str(tmp_path / "s.trnd")).verify() is True
    line = (f"✅  s.trnd  —  {len(objects)} objects · {len(keys)} keys · "
            f"{len(expected) / 1024:.1f} KB\n")
    assert (tmp_path / "stdout").read_text(encoding="utf-8") == line * builds
    assert sorted(os.listdir(tmp_path)) == ["s.trnd", "stdout"]
