"""Building where others can interfere: another user's temporary file, targets that are not
files, permission bits, builds that wait for a lock or are interrupted, long names, full
disks, and the command line's awkward inputs. Each case runs the low-level module, the
package writer and the command line where the behaviour is theirs."""

import os
import signal
import socket
import stat
import subprocess
import sys
import threading
import time

import msgpack
import pytest
from helpers import strace_works
from storefile import encode_store

from tarndb import TarnReader, TarnWriter
from tarndb._tarndb import _TarnWriter

MODULES = ["_tarndb", "package", "cli"]
OLD = encode_store([msgpack.packb("old")], {b"k": 0})
NEW = encode_store([msgpack.packb("new")], {b"k": 0})

root_only = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")


def cli_build(target, value="new", args=(), prefix=()):
    """Run ``tarndb build - TARGET`` on one record, {"key": "k", "v": value}: the store holds
    what the other modules' writers below hold, byte for byte."""
    line = ('{"key": "k", "v": "%s"}\n' % value).encode()
    return subprocess.run([*prefix, sys.executable, "-m", "tarndb", "build", "-",
                           os.fsdecode(target), "--value-field", "v", "--no-hash-index", *args],
                          input=line, capture_output=True, timeout=60)


def writer(module, value="new"):
    if module == "_tarndb":
        w = _TarnWriter()
        w.add_key("k", w.add_object_raw(msgpack.packb(value)))
    else:
        w = TarnWriter(hash_index=False)
        w.put_raw("k", msgpack.packb(value))
    return w


def build(module, target, value="new"):
    """Build the store of k -> value at target; None, or the error as its caller sees it
    (the exception's text, or the command's one line on standard error)."""
    if module == "cli":
        done = cli_build(target, value, args=["-q"])
        if done.returncode == 0:
            return None
        assert done.returncode == 2 and done.stderr.startswith(b"tarndb: ")
        assert done.stderr.count(b"\n") == 1 and b"Traceback" not in done.stderr
        return os.fsdecode(done.stderr[len(b"tarndb: "):-1])
    try:
        w = writer(module, value)
        w.build(os.fsdecode(target)) if module == "_tarndb" else w.build(target, quiet=True)
    except OSError as exc:
        return str(exc)
    return None


def message(module, text, path):
    """What build() returns for a failure with text about path."""
    return "TarnIOError: " + text if module == "_tarndb" else f"{os.fsdecode(path)}: {text}"


@pytest.fixture
def umask():
    """Set the process umask for one test."""
    saved = os.umask(0o022)
    yield os.umask
    os.umask(saved)


# -- the temporary file -----------------------------------------------------


@root_only
@pytest.mark.parametrize("module", MODULES)
def test_another_users_temporary_file_is_refused(tmp_path, module):
    # In a sticky directory such as /tmp, anyone may create the temporary name first and
    # keep it open; were it written and published, they could rewrite the store at will.
    target, tmp = tmp_path / "s.trnd", tmp_path / "s.trnd.tmp"
    target.write_bytes(OLD)
    tmp.write_bytes(b"planted")
    os.chmod(tmp, 0o666)
    os.chown(tmp, 65534, 65534)
    held = os.open(tmp, os.O_RDWR)
    try:
        assert build(module, target) == message(module, "open tmp: not owned by this user", tmp)
        assert (target.read_bytes(), tmp.read_bytes()) == (OLD, b"planted")
    finally:
        os.close(held)


@pytest.mark.parametrize("module", MODULES)
def test_a_stale_temporary_file_is_replaced_not_written(tmp_path, module):
    # A file of ours that someone opened while it lay there: the build must not publish it.
    target, tmp = tmp_path / "s.trnd", tmp_path / "s.trnd.tmp"
    tmp.write_bytes(b"stale" * 1000)
    os.chmod(tmp, 0o666)
    held = os.open(tmp, os.O_RDWR)
    try:
        assert build(module, target) is None
        os.pwrite(held, b"rewritten", 0)
        assert target.read_bytes() == NEW and os.listdir(tmp_path) == ["s.trnd"]
    finally:
        os.close(held)


# -- the target -------------------------------------------------------------


def make_node(path, kind):
    if kind == "character device":  # what /dev/null is
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(str(path))
    else:
        path.mkdir()


@root_only
@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("kind", ["character device", "fifo", "socket", "directory"])
def test_a_target_that_is_not_a_file_is_refused_before_anything_is_written(tmp_path, module,
                                                                           kind):
    target = tmp_path / "s.trnd"
    make_node(target, kind)
    before = os.lstat(target)
    left = ["s.trnd"]
    if kind != "directory":
        text = "target: not a regular file"
    elif module == "_tarndb":  # its rename refuses a directory, as it always did
        text, left = "rename: Is a directory (os error 21)", ["s.trnd", "s.trnd.tmp"]
    else:
        text = "target: Is a directory (os error 21)"
    assert build(module, target) == message(module, text, target)
    after = os.lstat(target)
    assert (after.st_mode, after.st_ino, after.st_rdev) == (before.st_mode, before.st_ino,
                                                            before.st_rdev)
    assert sorted(os.listdir(tmp_path)) == left


@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("setup, mask, mode", [
    ("0600", 0o022, 0o600),
    ("0444", 0o022, 0o444),
    ("0640, stale 0666 temporary file", 0o022, 0o640),
    ("link to 0600", 0o022, 0o600),  # the link is replaced; the file it named stays
    ("none", 0o027, 0o640),          # a new target: 0666 less the umask
])
def test_the_new_file_keeps_the_permission_bits_it_replaces(tmp_path, umask, module, setup,
                                                           mask, mode):
    target, other = tmp_path / "s.trnd", tmp_path / "other.trnd"
    if setup.startswith("link"):
        other.write_bytes(OLD)
        os.chmod(other, 0o600)
        target.symlink_to(other.name)
    elif setup != "none":
        target.write_bytes(OLD)
        os.chmod(target, int(setup[:4], 8))
    if "stale" in setup:
        (tmp_path / "s.trnd.tmp").write_bytes(b"stale")
        os.chmod(tmp_path / "s.trnd.tmp", 0o666)
    umask(mask)
    assert build(module, target) is None
    st = os.lstat(target)
    assert stat.S_ISREG(st.st_mode) and stat.S_IMODE(st.st_mode) == mode
    assert target.read_bytes() == NEW
    if setup.startswith("link"):
        assert other.read_bytes() == OLD and stat.S_IMODE(other.stat().st_mode) == 0o600


@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("name", [
    "x" * 242 + ".trnd",        # 247 bytes: "<stem>.trnd.tmp" still fits
    "x" * 250 + ".trnd",        # 255 bytes
    "x" * 255,                  # no extension
    "é" * 125 + ".trnd",        # 255 bytes of two-byte characters
])
def test_a_target_name_of_up_to_255_bytes_builds(tmp_path, module, name):
    target = tmp_path / name
    stem = name.rsplit(".", 1)[0] if "." in name else name
    if module == "_tarndb" and len((stem + ".trnd.tmp").encode()) > 255:
        # The low-level module keeps its fixed temporary name, which cannot exist here.
        assert build(module, target) == "TarnIOError: open tmp: File name too long (os error 36)"
        return
    assert build(module, target) is None
    assert target.read_bytes() == NEW and os.listdir(tmp_path) == [name]


# -- waiting for another builder, and being interrupted ----------------------

LOCK_HOLDER = """
import fcntl, os, signal, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT)
fcntl.flock(fd, fcntl.LOCK_EX)
print("locked", flush=True)
time.sleep(float(sys.argv[2]))
if len(sys.argv) > 3:  # interrupt the builder, then hold on
    os.kill(int(sys.argv[3]), signal.SIGINT)
    time.sleep(float(sys.argv[4]))
"""


def hold_lock(tmp, *args):
    """A process that holds the lock of the temporary file tmp, as another builder does."""
    holder = subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, str(tmp), *map(str, args)],
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    holder.stdout.close()
    return holder


@pytest.mark.timeout(60)
@pytest.mark.parametrize("module", ["_tarndb", "package"])
def test_lookups_go_on_while_a_build_waits_for_the_lock(tmp_path, module):
    (tmp_path / "r").mkdir()
    assert build(module, tmp_path / "r" / "r.trnd") is None
    reader = TarnReader(tmp_path / "r" / "r.trnd")
    holder = hold_lock(tmp_path / "s.trnd.tmp", 1.5)
    stop, worst = threading.Event(), [0.0]

    def lookups():
        last = time.monotonic()
        while not stop.is_set():
            assert reader["k"] == "new"
            now = time.monotonic()
            worst[0], last = max(worst[0], now - last), now

    thread = threading.Thread(target=lookups)
    thread.start()
    started = time.monotonic()
    try:
        assert build(module, tmp_path / "s.trnd") is None
    finally:
        stop.set()
        thread.join()
        holder.wait(timeout=30)
    assert time.monotonic() - started > 1.0, "the build did not wait for the lock"
    assert worst[0] < 0.5, f"lookups stood still for {worst[0]:.2f} s while the build waited"


@pytest.mark.timeout(120)
def test_lookups_go_on_while_keys_spill(tmp_path):
    assert build("package", tmp_path / "r.trnd") is None
    reader = TarnReader(tmp_path / "r.trnd")
    w = TarnWriter(memory_limit=1 << 20, spill_dir=tmp_path)
    stop, busy = threading.Event(), [0]

    def lookups():
        while not stop.is_set():
            reader["k"]
            try:
                w._runs
            except RuntimeError:  # inside update_raw, which holds the writer
                busy[0] += 1

    thread = threading.Thread(target=lookups)
    thread.start()
    try:
        w.update_raw([(b"key/%09d" % i, b"") for i in range(400_000)])
    finally:
        stop.set()
        thread.join()
    assert w._runs >= 4 and busy[0] > 0


@pytest.mark.timeout(60)
@pytest.mark.parametrize("module", ["_tarndb", "package"])
def test_ctrl_c_while_waiting_for_the_lock_stops_the_build(tmp_path, module):
    target = tmp_path / "s.trnd"
    target.write_bytes(OLD)
    w = writer(module)
    holder = hold_lock(tmp_path / "s.trnd.tmp", 0.5, os.getpid(), 5)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        w.build(str(target)) if module == "_tarndb" else w.build(target, quiet=True)
    assert time.monotonic() - started < 3 and target.read_bytes() == OLD
    holder.wait(timeout=30)
    # The writer is as it was: it builds once the other builder is gone.
    w.build(str(target)) if module == "_tarndb" else w.build(target, quiet=True)
    assert target.read_bytes() == NEW and os.listdir(tmp_path) == ["s.trnd"]


@pytest.mark.skipif(not strace_works(), reason="strace is missing or cannot trace")
@pytest.mark.parametrize("inject, hold, published", [
    ("fsync:signal=SIGINT:when=1", 0, False),  # while the new file is synced
    ("flock:signal=SIGINT:when=2", 10, False),  # while waiting for another builder's lock
    ("fsync:signal=SIGINT:when=2", 0, True),  # while the directory is synced, after the rename
], ids=["file sync", "lock wait", "directory sync"])
def test_an_interrupted_command_line_build_reports_what_happened(tmp_path, inject, hold,
                                                                  published):
    target = tmp_path / "s.trnd"
    target.write_bytes(OLD)
    holder = hold_lock(tmp_path / "s.trnd.tmp", hold) if hold else None
    try:
        done = cli_build(target, prefix=["strace", "-f", "-qq", "-o", os.devnull,
                                         "-e", "inject=" + inject])
    finally:
        if holder is not None:
            holder.kill()
            holder.wait()
    if published:
        assert (done.returncode, done.stderr) == (0, b"")
        assert done.stdout == f"{target}: 1 keys, 1 objects, {len(NEW)} bytes\n".encode()
        assert target.read_bytes() == NEW
    else:
        assert (done.returncode, done.stderr, done.stdout) == (130, b"tarndb: interrupted\n", b"")
        assert target.read_bytes() == OLD
    assert sorted(os.listdir(tmp_path)) == ["s.trnd"] + (["s.trnd.tmp"] if hold else [])


RENAME_CODE = """
import os, sys
from tarndb import TarnWriter
w = TarnWriter.create(sys.argv[1], quiet=True, hash_index=False)
w.put_raw("k", bytes.fromhex(sys.argv[2]))
for attempt in range(2):
    try:
        w.build()
        print("built", os.listdir(os.path.dirname(sys.argv[1])))
    except OSError as e:
        print(e, os.listdir(os.path.dirname(sys.argv[1])))
"""


@pytest.mark.skipif(not strace_works(), reason="strace is missing or cannot trace")
def test_a_failed_rename_leaves_nothing_and_the_writer_builds_again(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    target = out.resolve() / "s.trnd"
    done = subprocess.run(
        ["strace", "-f", "-qq", "-o", os.devnull,
         "-e", "inject=rename,renameat,renameat2:error=EXDEV:when=1", sys.executable, "-c",
         RENAME_CODE, str(target), msgpack.packb("new").hex()],
        capture_output=True, text=True, timeout=60)
    assert done.stdout == (f"{target}: rename: Invalid cross-device link (os error 18) []\n"
                           "built ['s.trnd']\n"), done.stderr
    assert target.read_bytes() == NEW


# -- a full disk --------------------------------------------------------------


@pytest.fixture
def small(tmp_path):
    """A 1 MiB tmpfs (needs root)."""
    mount = tmp_path / "small"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    yield mount
    subprocess.run(["umount", "-l", str(mount)], check=True)


@pytest.mark.parametrize("module, text, left", [
    # The low-level module keeps its temporary file, emptied.
    ("_tarndb", "No space left on device (os error 28)", {"s.trnd.tmp": b""}),
    # Values spilled to the system's temporary directory, copied at the end.
    ("package", "copy: No space left on device (os error 28)", {}),
    # Values written to the store's directory as they are read.
    ("cli", "write data file: No space left on device (os error 28)", {}),
])
def test_a_full_disk_leaves_the_space_free(small, module, text, left):
    target = small / "s.trnd"
    target.write_bytes(OLD)
    free = os.statvfs(small).f_bfree
    assert build(module, target, value="n" * (2 << 20)) == message(module, text, target)
    assert os.statvfs(small).f_bfree == free and target.read_bytes() == OLD
    assert {p.name: p.read_bytes() for p in small.iterdir()} == {"s.trnd": OLD, **left}


# -- the command line's input -------------------------------------------------


@pytest.mark.parametrize("case, status, err", [
    ("JSON nested 100,000 deep", 2, "tarndb: in.jsonl: line 1: JSON nested too deeply\n"),
    ("standard input closed", 2, "tarndb: cannot read the input: standard input is closed\n"),
    ("standard error closed", 2, ""),
    ("CSV cell of 200 KiB", 0, ""),
    ("store name not UTF-8", 0, ""),
    ("store directory not UTF-8 and missing", 2,
     "tarndb: \udcff/s.trnd.tmp: open tmp: No such file or directory (os error 2)\n"),
    ("input name not UTF-8 and missing", 2, "tarndb: \udcfe.jsonl: No such file or directory\n"),
])
def test_command_line_input_ends_in_one_line(tmp_path, case, status, err):
    (tmp_path / "in.jsonl").write_text('{"key": "k", "v": %s}\n' % ("[" * 10**5 + "]" * 10**5))
    (tmp_path / "in.csv").write_text("key,v\nk," + "x" * (200 << 10) + "\n")
    (tmp_path / "ok.jsonl").write_text('{"key": "k"}\n')
    args, preexec, store = ["ok.jsonl"], None, "s.trnd"
    if case.startswith("JSON"):
        args = ["in.jsonl"]
    elif case.startswith("CSV"):
        args = ["in.csv"]
    elif case == "standard input closed":
        args, preexec = ["-"], lambda: os.close(0)
    elif case == "standard error closed":
        args, preexec = ["missing.jsonl"], lambda: os.close(2)
    elif case.startswith("store name"):
        store = "\udcff.trnd"
    elif case.startswith("store directory"):
        store = "\udcff/s.trnd"
    else:
        args = ["\udcfe.jsonl"]
    done = subprocess.run([sys.executable, "-m", "tarndb", "build", *args, store, "-q"],
                          cwd=tmp_path, capture_output=True, timeout=60, preexec_fn=preexec)
    assert (done.returncode, os.fsdecode(done.stderr)) == (status, err)
    if status == 0:
        assert TarnReader(tmp_path / store).raw["k"]
