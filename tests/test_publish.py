"""Publishing a finished store at the moments where another process can see or
change its name: a file never changes once it has had the target's name, and
no name ever shows an incomplete file."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from helpers import strace_works
from storefile import encode_store

BUILD_CODE = """
import sys
from tarndb import TarnWriter
target, spill = sys.argv[1], sys.argv[2]
w = TarnWriter(spill_dir=spill, hash_index=False)
for i in range(3000):
    w.put_raw(b"k%05d" % i, bytes([i % 251]) * (i % 500))
w.build(target, quiet=True)
"""
EXPECTED = encode_store([bytes([i % 251]) * (i % 500) for i in range(3000)],
                        {b"k%05d" % i: i for i in range(3000)})


def start(tmp_path, *injections):
    target = Path(os.path.realpath(tmp_path)) / "s.trnd"
    strace = ["strace", "-f", "-qq", "-o", os.devnull]
    for rule in injections:
        strace += ["-e", "inject=" + rule]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([*strace, sys.executable, "-c", BUILD_CODE, str(target),
                             str(tmp_path)], cwd=tmp_path, env=env, stderr=subprocess.PIPE)
    return target, proc


def renamed_over_while_syncing(tmp_path):
    # The directory sync right after the rename is held up; meanwhile another
    # builder renames its file over the target. The first store must stay whole
    # for the readers that opened it.
    target, proc = start(tmp_path, "fsync:delay_enter=2000000:when=2")
    with proc:
        deadline = time.monotonic() + 60
        while not target.exists():
            assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
            time.sleep(0.005)
        with open(target, "rb") as held:
            (tmp_path / "other.trnd").write_bytes(b"another store")
            os.rename(tmp_path / "other.trnd", target)
            _, err = proc.communicate(timeout=120)
            assert proc.returncode == 0, err
            return held.read() == EXPECTED and os.listdir(tmp_path) == ["s.trnd"]


def killed_while_copying(tmp_path):
    # A store that cannot be linked into place is copied there; a kill in the
    # middle of the copy must leave no name behind, least of all a temporary one.
    target, proc = start(tmp_path, "linkat:error=EXDEV:when=1", "copy_file_range:signal=SIGKILL")
    with proc:
        proc.communicate(timeout=120)
    return proc.returncode == -signal.SIGKILL and os.listdir(tmp_path) == []


@pytest.mark.skipif(not strace_works(), reason="strace is missing or cannot trace")
@pytest.mark.parametrize("moment", [renamed_over_while_syncing, killed_while_copying])
def test_publish_moments(tmp_path, moment):
    assert moment(tmp_path)
