"""Publishing a store safely: planted temporary files, concurrent and killed builders, faults."""

import faulthandler
import fcntl
import json
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers import exact, open_fds, strace_works, writer
from storefile import encode_store
from tarndb._tarndb import _TarnReader

OLD = encode_store([b"old"], {b"k": 0})
NEW = encode_store([b"abc"], {b"k": 0})


def store_contents(seed, size=2 << 20):
    """Distinct objects and keys of about `size` bytes, so writing them takes a while."""
    rng = random.Random(seed)
    objects = []
    while sum(map(len, objects)) < size:
        objects.append(rng.randbytes(rng.randrange(0, 64_000)))
    keys = {b"key/%d/%05d" % (seed, i): rng.randrange(len(objects))
            for i in range(rng.randrange(100, 2_000))}
    return objects, keys


def snapshot(directory):
    """Every entry below directory: kind, inode, link count, and content or link target."""
    found = {}
    for path in directory.rglob("*"):
        st = os.lstat(path)
        body = (os.readlink(path) if stat.S_ISLNK(st.st_mode) else
                path.read_bytes() if stat.S_ISREG(st.st_mode) else None)
        found[path] = (stat.S_IFMT(st.st_mode), st.st_ino, st.st_nlink, body)
    return found


def verified_bytes(path):
    """The published file, after it opened with the whole-file check and passed verify()."""
    assert _TarnReader(str(path), verify=True).verify() is True
    return path.read_bytes()


def fork_build(w, target, before=lambda: None):
    """Build in a forked child; returns its pid. The child exits 0 only after a clean build."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            before()
            w.build(str(target))
            code = 0
        finally:
            os._exit(code)
    return pid


def exit_code(pid, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    raise AssertionError(f"builder {pid} still running after {timeout} s")


class TestPlantedTemporaryFile:
    @pytest.mark.parametrize("plant, text", [
        ("symlink", "open tmp: Too many levels of symbolic links (os error 40)"),
        ("dangling symlink", "open tmp: Too many levels of symbolic links (os error 40)"),
        ("hard link", "open tmp: not a regular file with a single link"),
        ("fifo", "open tmp: No such device or address (os error 6)"),
        ("fifo with reader", "open tmp: not a regular file with a single link"),
        ("directory", "open tmp: Is a directory (os error 21)"),
    ])
    def test_refused_and_left_alone(self, tmp_path, plant, text):
        target, tmp, victim = tmp_path / "s.trnd", tmp_path / "s.trnd.tmp", tmp_path / "victim"
        target.write_bytes(OLD)
        victim.write_bytes(b"someone else's data")
        pipe_reader = None
        if plant == "symlink":
            tmp.symlink_to(victim)
        elif plant == "dangling symlink":
            tmp.symlink_to(tmp_path / "nowhere")  # must not be created through the link
        elif plant == "hard link":
            os.link(victim, tmp)
        elif plant.startswith("fifo"):
            os.mkfifo(tmp)
            if plant == "fifo with reader":
                pipe_reader = os.open(tmp, os.O_RDONLY | os.O_NONBLOCK)
        else:
            tmp.mkdir()
            (tmp / "inside").write_bytes(b"kept")
        before, open_before, w = snapshot(tmp_path), open_fds(), writer([b"abc"], {b"k": 0})
        faulthandler.dump_traceback_later(60, exit=True)  # an open blocked on a FIFO ends the run
        try:
            with pytest.raises(OSError, match=exact("TarnIOError: " + text)):
                w.build(str(target))
        finally:
            faulthandler.cancel_dump_traceback_later()
        assert (open_fds(), snapshot(tmp_path)) == (open_before, before)
        if pipe_reader is not None:
            assert os.read(pipe_reader, 4096) == b""  # nothing was written into the pipe
            os.close(pipe_reader)
        # Once the planted object is gone, the same writer publishes normally.
        shutil.rmtree(tmp) if plant == "directory" else tmp.unlink()
        w.build(str(target))
        assert verified_bytes(target) == NEW
        assert sorted(p.name for p in tmp_path.iterdir()) == ["s.trnd", "victim"]

    def test_stale_regular_file_is_reused(self, tmp_path):
        target, tmp = tmp_path / "s.trnd", tmp_path / "s.trnd.tmp"
        target.write_bytes(OLD)
        tmp.write_bytes(b"\xee" * 100_000)  # longer than the new store: must be cut
        os.chmod(tmp, 0o640)
        open_before = open_fds()
        writer([b"abc"], {b"k": 0}).build(str(target))
        assert (open_fds(), verified_bytes(target), tmp.exists()) == (open_before, NEW, False)


class TestConcurrentBuilders:
    def test_waiting_builder_retries_on_a_fresh_file(self, tmp_path):
        # Another builder holds the temporary file locked, then publishes it: the waiting
        # builder must not write into that (now published) file, but start again.
        target, tmp = tmp_path / "s.trnd", tmp_path / "s.trnd.tmp"
        tmp.write_bytes(OLD)
        lock_fd = os.open(tmp, os.O_RDWR)
        fcntl.flock(lock_fd, fcntl.LOCK_EX)
        pid = fork_build(writer([b"abc"], {b"k": 0}), target, before=lambda: os.close(lock_fd))
        time.sleep(0.3)
        assert os.waitpid(pid, os.WNOHANG) == (0, 0), "the builder did not wait for the lock"
        assert not target.exists()
        os.rename(tmp, target)
        published = os.open(target, os.O_RDONLY)
        os.close(lock_fd)  # releases the lock
        assert (exit_code(pid), verified_bytes(target), tmp.exists()) == (0, NEW, False)
        assert os.pread(published, 4096, 0) == OLD  # the other builder's file is intact
        os.close(published)

    def test_rounds_publish_only_whole_inputs(self, tmp_path):
        target = tmp_path / "s.trnd"
        builders, rounds = 4, 10
        for rnd in range(rounds):
            contents = [store_contents(rnd * builders + i) for i in range(builders)]
            expected = [encode_store(*c) for c in contents]
            start_r, start_w = os.pipe()
            pids = [fork_build(writer(*c), target, before=lambda: os.read(start_r, 1))
                    for c in contents]
            os.close(start_r)
            os.write(start_w, b"go" * builders)  # all at once
            os.close(start_w)
            assert [exit_code(pid) for pid in pids] == [0] * builders
            published = verified_bytes(target)
            assert published in expected, f"round {rnd}: published file matches no input"
            assert os.listdir(tmp_path) == ["s.trnd"]


class TestKilledBuilder:
    def test_target_is_old_or_new(self, tmp_path):
        target, spare = tmp_path / "s.trnd", tmp_path / "old.copy"
        old_bytes, new = encode_store(*store_contents(1, 1 << 20)), store_contents(2, 4 << 20)
        new_bytes, w = encode_store(*new), writer(*new)
        started = time.monotonic()
        w.build(str(tmp_path / "timing.trnd"))
        window = 1.5 * (time.monotonic() - started)  # kill anywhere from start to past the end
        os.unlink(tmp_path / "timing.trnd")
        rng = random.Random(7)
        for _ in range(30):
            spare.write_bytes(old_bytes)
            os.replace(spare, target)
            pid = fork_build(w, target)
            time.sleep(rng.uniform(0, window))
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            assert verified_bytes(target) in (old_bytes, new_bytes)
        # Whatever a killed builder left behind, the next build publishes and cleans up.
        w.build(str(target))
        assert (verified_bytes(target), os.listdir(tmp_path)) == (new_bytes, ["s.trnd"])


FAULT_CODE = """
import json, os, sys
from tarndb._tarndb import _TarnReader, _TarnWriter
step, path = sys.argv[1], sys.argv[2]
w = _TarnWriter()
w.add_key("k", w.add_object_raw(bytes(range(256)) * 80))
count = lambda: len(os.listdir("/proc/self/fd"))
before = count()
try:
    _TarnReader(path) if step == "read" else w.build(path)
    outcome = None
except Exception as e:
    outcome = [type(e).__name__, str(e)]
sys.stderr.write(json.dumps([outcome, before, count()]))
"""
FAULT_NEW = encode_store([bytes(range(256)) * 80], {b"k": 0})


@pytest.mark.skipif(not strace_works(), reason="strace is missing or cannot trace")
class TestInjectedFaults:
    # Only calls on the temporary file, the directory and the target count for `when`,
    # so each fault hits exactly the step named. A temporary file whose writing or
    # syncing failed is kept, emptied: its space goes back to the full disk.
    @pytest.mark.parametrize("step, inject, text, old, target_after, tmp_after", [
        ("build", "openat:error=EACCES", "open tmp: Permission denied (os error 13)",
         None, None, None),
        ("build", "write:error=ENOSPC", "No space left on device (os error 28)",
         OLD, OLD, b""),
        ("build", "write:error=ENOSPC:when=2", "No space left on device (os error 28)",
         None, None, b""),
        ("build", "fsync:error=EIO", "Input/output error (os error 5)", OLD, OLD, b""),
        ("build", "rename,renameat,renameat2:error=EXDEV",
         "rename: Invalid cross-device link (os error 18)", None, None, FAULT_NEW),
        # The directory sync comes after the rename: the new file is already in place.
        ("build", "fsync:error=EIO:when=2", "sync dir: Input/output error (os error 5)",
         OLD, FAULT_NEW, None),
        # A file system without flock: the build goes ahead unlocked.
        ("build", "flock:error=ENOLCK", None, OLD, FAULT_NEW, None),
        ("read", "openat:error=EMFILE", "cannot open {path}: Too many open files (os error 24)",
         OLD, OLD, None),
        ("read", "mmap:error=ENOMEM", "mmap failed: Cannot allocate memory (os error 12)",
         OLD, OLD, None),
    ], ids=["open", "write", "second write", "fsync", "rename", "sync dir", "no flock",
            "reader open", "reader mmap"])
    def test_fault(self, tmp_path, step, inject, text, old, target_after, tmp_after):
        # strace matches descriptors by their resolved path; "out" is not on the import path.
        out = Path(os.path.realpath(tmp_path)) / "out"
        out.mkdir()
        target, tmp = out / "s.trnd", out / "s.trnd.tmp"
        if old is not None:
            target.write_bytes(old)
        strace = ["strace", "-f", "-qq", "-o", os.devnull, "-P", str(tmp), "-P", str(out),
                  "-P", str(target), "-e", f"inject={inject}"]
        proc = subprocess.run([*strace, sys.executable, "-c", FAULT_CODE, step, str(target)],
                              capture_output=True, timeout=120, cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        outcome, fds_before, fds_after = json.loads(proc.stderr)
        assert outcome == (None if text is None else
                           ["OSError", "TarnIOError: " + text.format(path=target)])
        assert fds_after == fds_before
        assert (target.read_bytes() if target.exists() else None) == target_after
        assert (tmp.read_bytes() if tmp.exists() else None) == tmp_after
