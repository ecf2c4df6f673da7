"""Publishing a finished store at the moments where another process can see or
change its name: a file never changes once it has had the target's name, and
no name ever shows an incomplete file."""

import os
import platform
import signal
import socket
import stat
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


def start(tmp_path, *injections, code=BUILD_CODE):
    target = Path(os.path.realpath(tmp_path)) / "s.trnd"
    strace = ["strace", "-f", "-qq", "-o", os.devnull]
    for rule in injections:
        strace += ["-e", "inject=" + rule]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([*strace, sys.executable, "-c", code, str(target),
                             str(tmp_path)], cwd=tmp_path, env=env, stderr=subprocess.PIPE,
                            stdout=subprocess.PIPE)
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


SWAPPED_CODE = """
import os, sys
from tarndb import TarnWriter
print(os.getpid(), flush=True)
""" + BUILD_CODE.split("\n", 3)[3]
FSYNC = 74  # the system call's number on x86-64, as /proc/PID/syscall shows it


def became_a_node_while_syncing(kind):
    def moment(tmp_path):
        # The data file's sync is held up (the first fsync of the build); while
        # the builder is inside it, the target becomes a FIFO, a socket or a
        # device. The check just before the rename must refuse to replace it.
        target, proc = start(tmp_path, "fsync:delay_enter=2000000:when=1", code=SWAPPED_CODE)
        with proc:
            pid = int(proc.stdout.readline())
            deadline = time.monotonic() + 60
            while Path(f"/proc/{pid}/syscall").read_text().split()[0] != str(FSYNC):
                assert proc.poll() is None and time.monotonic() < deadline
                time.sleep(0.005)
            node = tmp_path / "node"
            with socket.socket(socket.AF_UNIX) as listening:
                if kind == "fifo":
                    os.mkfifo(node)
                elif kind == "socket":
                    listening.bind(str(node))
                else:  # as /dev/null is
                    os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))
                before = os.lstat(node)
                os.rename(node, target)
                _, err = proc.communicate(timeout=120)
        after = os.lstat(target)
        assert proc.returncode == 1 and err.endswith(b"target: not a regular file\n"), err
        assert (after.st_mode, after.st_ino) == (before.st_mode, before.st_ino)
        return os.listdir(tmp_path) == ["s.trnd"]
    moment.__name__ = f"became_a_{kind}_while_syncing"
    return moment


def killed_while_copying(tmp_path):
    # A store that cannot be linked into place is copied there; a kill in the
    # middle of the copy must leave no name behind, least of all a temporary one.
    target, proc = start(tmp_path, "linkat:error=EXDEV:when=1", "copy_file_range:signal=SIGKILL")
    with proc:
        proc.communicate(timeout=120)
    return proc.returncode == -signal.SIGKILL and os.listdir(tmp_path) == []


@pytest.mark.skipif(not strace_works(), reason="strace is missing or cannot trace")
@pytest.mark.parametrize("moment", [renamed_over_while_syncing, killed_while_copying] + [
    pytest.param(became_a_node_while_syncing(kind), marks=[
        pytest.mark.skipif(platform.machine() != "x86_64", reason="system call numbers of x86-64"),
        pytest.mark.skipif(kind == "device" and os.geteuid() != 0, reason="needs root")])
    for kind in ("fifo", "socket", "device")], ids=lambda m: m.__name__)
def test_publish_moments(tmp_path, moment):
    assert moment(tmp_path)
