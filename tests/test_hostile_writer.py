"""Building where others interfere: another user's temporary file, targets that are not
files, permission bits, builds that wait for a lock or are interrupted, long names, full
disks, and the command line's awkward inputs; for the low-level module, the package writer
and the command line wherever the behaviour is theirs."""

import os
import socket
import stat
import subprocess
import sys
import threading
import time

import msgpack
import pytest
from helpers import small_tmpfs, strace_works
from storefile import encode_store

from tarndb import TarnReader, TarnWriter
from tarndb._tarndb import _TarnWriter

MODULES = ["_tarndb", "package", "cli"]
OLD = encode_store([msgpack.packb("old")], {b"k": 0})
NEW = encode_store([msgpack.packb("new")], {b"k": 0})
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")
needs_strace = pytest.mark.skipif(not strace_works(), reason="strace is missing or cannot trace")


def cli_build(target, value="new", args=(), prefix=()):
    """``tarndb build - TARGET`` of {"key": "k", "v": value}: the bytes the writers below write."""
    # Run beside the target: from the source tree, "-m" would import the unbuilt package.
    return subprocess.run([*prefix, sys.executable, "-m", "tarndb", "build", "-",
                           os.fsdecode(target), "--value-field", "v", "--no-hash-index", *args],
                          input=b'{"key": "k", "v": "%s"}\n' % value.encode(),
                          capture_output=True, timeout=60, cwd=os.path.dirname(target))


def writer(module, value="new"):
    w = _TarnWriter() if module == "_tarndb" else TarnWriter(hash_index=False)
    w.add_key("k", (w.add_object_raw if module == "_tarndb" else w.add_raw)(msgpack.packb(value)))
    return w


def publish(module, w, target):
    w.build(os.fsdecode(target)) if module == "_tarndb" else w.build(target, quiet=True)


def build(module, target, value="new"):
    """Build k -> value at target: None, or the failure as its caller sees it (the
    exception's text, or the command's one line on standard error)."""
    if module == "cli":
        done = cli_build(target, value, args=["-q"])
        if done.returncode == 0:
            return None
        assert done.returncode == 2 and done.stderr.count(b"\n") == 1, done.stderr
        return os.fsdecode(done.stderr.removeprefix(b"tarndb: ")[:-1])
    try:
        publish(module, writer(module, value), target)
    except OSError as exc:
        return str(exc)
    return None


def message(module, text, path):
    return "TarnIOError: " + text if module == "_tarndb" else f"{os.fsdecode(path)}: {text}"


# -- what is at the temporary path and at the target -------------------------


@needs_root
@pytest.mark.parametrize("module", MODULES)
def test_another_users_temporary_file_is_refused(tmp_path, module):
    # In a sticky directory such as /tmp anyone may create the temporary name first and keep
    # it open; were it written and published, they could rewrite the store at will.
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


@needs_root
@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("kind", ["character device", "fifo", "socket", "directory"])
def test_a_target_that_is_not_a_file_is_refused_before_anything_is_written(tmp_path, module,
                                                                           kind):
    target, left = tmp_path / "s.trnd", ["s.trnd"]
    if kind == "character device":  # as /dev/null is
        os.mknod(target, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    elif kind == "fifo":
        os.mkfifo(target)
    elif kind == "socket":
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(str(target))
    else:
        target.mkdir()
    before = os.lstat(target)
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
@pytest.mark.parametrize("setup, umask, mode", [
    ("0600", 0o022, 0o600),
    ("0444", 0o022, 0o444),
    # A stale temporary file of ours that someone opened meanwhile: replaced, not written.
    ("0640, stale 0666 temporary file held open", 0o022, 0o640),
    ("link to 0600", 0o022, 0o600),  # the link is replaced; the file it named stays
    ("none", 0o027, 0o640),          # a new target: 0666 less the umask
])
def test_the_new_file_keeps_the_permission_bits_it_replaces(tmp_path, module, setup, umask,
                                                           mode):
    target, other, tmp = tmp_path / "s.trnd", tmp_path / "other.trnd", tmp_path / "s.trnd.tmp"
    if setup.startswith("link"):
        other.write_bytes(OLD)
        os.chmod(other, 0o600)
        target.symlink_to(other.name)
    elif setup != "none":
        target.write_bytes(OLD)
        os.chmod(target, int(setup[:4], 8))
    held = None
    if "stale" in setup:
        tmp.write_bytes(b"stale" * 100)
        os.chmod(tmp, 0o666)
        held = os.open(tmp, os.O_RDWR)
    saved = os.umask(umask)
    try:
        assert build(module, target) is None
        if held is not None:
            os.pwrite(held, b"rewritten", 0)
    finally:
        os.umask(saved)
        if held is not None:
            os.close(held)
    st = os.lstat(target)
    assert (stat.S_ISREG(st.st_mode), stat.S_IMODE(st.st_mode)) == (True, mode)
    assert target.read_bytes() == NEW and not tmp.exists()
    if setup.startswith("link"):
        assert other.read_bytes() == OLD and stat.S_IMODE(other.stat().st_mode) == 0o600


@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("name", [
    "x" * 242 + ".trnd",  # 247 bytes: "<stem>.trnd.tmp" still fits
    "x" * 250 + ".trnd",  # 255 bytes
    "x" * 255,            # no extension
    "é" * 125 + ".trnd",  # 255 bytes of two-byte characters
])
def test_a_target_name_of_up_to_255_bytes_builds(tmp_path, module, name):
    target = tmp_path / name
    if module == "_tarndb" and len(name.split(".")[0].encode()) + 9 > 255:
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
    """A process holding the lock of the temporary file tmp, as another builder does."""
    holder = subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, str(tmp), *map(str, args)],
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    holder.stdout.close()
    return holder


def looking_up(reader, busy):
    """A thread reading reader until the returned event is set; busy() is called each round."""
    stop = threading.Event()

    def run():
        while not stop.is_set():
            assert reader["k"] == "new"
            busy()

    thread = threading.Thread(target=run)
    thread.start()
    return stop, thread


@pytest.mark.timeout(60)
@pytest.mark.parametrize("module", ["_tarndb", "package"])
def test_lookups_go_on_while_a_build_waits_for_the_lock(tmp_path, module):
    (tmp_path / "r").mkdir()
    assert build(module, tmp_path / "r" / "r.trnd") is None
    holder = hold_lock(tmp_path / "s.trnd.tmp", 1.5)
    last, worst = [time.monotonic()], [0.0]

    def note():
        now = time.monotonic()
        worst[0], last[0] = max(worst[0], now - last[0]), now

    stop, thread = looking_up(TarnReader(tmp_path / "r" / "r.trnd"), note)
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
    w, busy = TarnWriter(memory_limit=1 << 20, spill_dir=tmp_path), [0]

    def note():
        try:
            w._runs
        except RuntimeError:  # inside update_raw, which holds the writer
            busy[0] += 1

    stop, thread = looking_up(TarnReader(tmp_path / "r.trnd"), note)
    try:
        w.update_raw([(b"key/%09d" % i, b"") for i in range(400_000)])
    finally:
        stop.set()
        thread.join()
    assert w._runs >= 4 and busy[0] > 0


@pytest.mark.timeout(60)
@pytest.mark.parametrize("module", ["_tarndb", "package"])
def test_ctrl_c_while_waiting_for_the_lock_stops_the_build(tmp_path, module):
    target, w = tmp_path / "s.trnd", writer(module)
    target.write_bytes(OLD)
    holder = hold_lock(tmp_path / "s.trnd.tmp", 0.5, os.getpid(), 5)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        publish(module, w, target)
    assert time.monotonic() - started < 3 and target.read_bytes() == OLD
    holder.wait(timeout=30)
    publish(module, w, target)  # the writer is as it was
    assert target.read_bytes() == NEW and os.listdir(tmp_path) == ["s.trnd"]


@needs_strace
@pytest.mark.parametrize("inject, hold, published", [
    ("fsync:signal=SIGINT:when=1", 0, False),
    ("flock:signal=SIGINT:when=2", 10, False),
    ("fsync:signal=SIGINT:when=2", 0, True),
], ids=["file sync", "lock wait", "directory sync after the rename"])
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
        summary = f"{target}: 1 keys, 1 objects, {len(NEW)} bytes\n".encode()
        assert (done.returncode, done.stderr, done.stdout) == (0, b"", summary)
    else:
        assert (done.returncode, done.stderr, done.stdout) == (130, b"tarndb: interrupted\n", b"")
    assert target.read_bytes() == (NEW if published else OLD)
    assert sorted(os.listdir(tmp_path)) == ["s.trnd"] + (["s.trnd.tmp"] if hold else [])


SYNC_CODE = """
import sys
from tarndb import TarnWriter
from tarndb._tarndb import _TarnWriter
target, module, payload = sys.argv[1], sys.argv[2], bytes.fromhex(sys.argv[3])
w = _TarnWriter() if module == "_tarndb" else TarnWriter(hash_index=False)
w.add_key("k", w.add_object_raw(payload) if module == "_tarndb" else w.add_raw(payload))
try:
    w.build(target) if module == "_tarndb" else w.build(target, quiet=True)
except KeyboardInterrupt:
    print("interrupted")
"""


@needs_strace
@pytest.mark.parametrize("module, left", [("_tarndb", NEW), ("package", None)])
def test_ctrl_c_while_the_new_file_is_synced_stops_before_the_rename(tmp_path, module, left):
    target = tmp_path / "s.trnd"
    target.write_bytes(OLD)
    done = subprocess.run(["strace", "-f", "-qq", "-o", os.devnull,
                           "-e", "inject=fsync:signal=SIGINT:when=1", sys.executable, "-c",
                           SYNC_CODE, str(target), module, msgpack.packb("new").hex()],
                          capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert (done.stdout, target.read_bytes()) == ("interrupted\n", OLD), done.stderr
    # The low-level module keeps its finished temporary file for the next build.
    tmp = tmp_path / "s.trnd.tmp"
    assert (tmp.read_bytes() if tmp.exists() else None) == left


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


@needs_strace
def test_a_failed_rename_leaves_nothing_and_the_writer_builds_again(tmp_path):
    target = tmp_path.resolve() / "s.trnd"
    done = subprocess.run(
        ["strace", "-f", "-qq", "-o", os.devnull,
         "-e", "inject=rename,renameat,renameat2:error=EXDEV:when=1", sys.executable, "-c",
         RENAME_CODE, str(target), msgpack.packb("new").hex()],
        capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert done.stdout == (f"{target}: rename: Invalid cross-device link (os error 18) []\n"
                           "built ['s.trnd']\n"), done.stderr
    assert target.read_bytes() == NEW


# -- a full disk --------------------------------------------------------------


@pytest.fixture
def small(tmp_path):
    """A 1 MiB tmpfs (needs root)."""
    with small_tmpfs(tmp_path, "1m") as mount:
        yield mount


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
    assert os.statvfs(small).f_bfree == free
    assert {p.name: p.read_bytes() for p in small.iterdir()} == {"s.trnd": OLD, **left}


# -- the command line's input -------------------------------------------------


def close(fd):
    return lambda: os.close(fd)


@pytest.mark.parametrize("source, store, preexec, status, err", [
    ("deep.jsonl", "s.trnd", None, 2, "tarndb: deep.jsonl: line 1: JSON nested too deeply\n"),
    ("-", "s.trnd", close(0), 2, "tarndb: cannot read the input: standard input is closed\n"),
    ("missing.jsonl", "s.trnd", close(2), 2, ""),
    ("wide.csv", "s.trnd", None, 0, ""),  # a cell of 200 KiB
    ("ok.jsonl", "\udcff.trnd", None, 0, ""),
    ("ok.jsonl", "\udcff/s.trnd", None, 2,
     "tarndb: \udcff/s.trnd.tmp: open tmp: No such file or directory (os error 2)\n"),
    ("\udcfe.jsonl", "s.trnd", None, 2, "tarndb: \udcfe.jsonl: No such file or directory\n"),
], ids=["deep JSON", "stdin closed", "stderr closed", "wide CSV", "store not UTF-8",
        "directory not UTF-8", "input not UTF-8"])
def test_command_line_input_ends_in_one_line_or_works(tmp_path, source, store, preexec, status,
                                                      err):
    (tmp_path / "deep.jsonl").write_text('{"key": "k", "v": %s}\n' % ("[" * 10**5 + "]" * 10**5))
    (tmp_path / "wide.csv").write_text("key,v\nk," + "x" * (200 << 10) + "\n")
    (tmp_path / "ok.jsonl").write_text('{"key": "k"}\n')
    done = subprocess.run([sys.executable, "-m", "tarndb", "build", source, store, "-q"],
                          cwd=tmp_path, capture_output=True, timeout=60, preexec_fn=preexec)
    assert (done.returncode, os.fsdecode(done.stderr)) == (status, err)
    if status == 0:
        assert TarnReader(tmp_path / store).raw["k"]
