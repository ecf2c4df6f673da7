"""Power cuts while a store is published, on ext4, XFS and btrfs in loop-mounted images.

What a copy is. The file system under test lives on a loop device whose
backing file is served over FUSE by power_cut_device.py. Every write the loop
device receives reaches that server, which logs it, before the loop device
completes it, and every cache flush arrives there as an fsync, logged in
turn; the page cache of the file system above never reaches the log until it
is written out. So the log is the sequence of requests the block device
received, in the order it received them. A power cut after the first N of
them leaves on the medium everything received before the last flush among
those N, and of the 4 KiB blocks written after that flush any subset, since
a drive's volatile cache may have written back or lost each one. A copy is
exactly such an image, replayed from the log onto the freshly made file
system: a cut point N, and a random subset of the unflushed blocks. It is
faithful because it holds only what the device received, never page cache
contents, and every image a drive honouring flushes (and writing a 4 KiB
block whole) could be left with after a power cut at that point is one the
replay can produce.

The run: build OLD at the target and sync, mark the log, publish NEW in a
child process, and mark the log again once the child reports that the
publisher returned. Meanwhile another writer on the same file system is
either quiet, or busy appending to a file of its own and fsyncing it, which
makes the file system commit at many moments of the publish. Each copy,
recovered the way a reboot would (e2fsck, XFS or btrfs log replay, their
rescue tools if the mount fails), must hold the complete OLD or the complete
NEW store at the target, and NEW whenever its cut point lies after the
publisher returned.

TARNDB_POWER_CUT_POINTS sets the number of copies per file system,
publisher and neighbour (default 10), taken from a new recording every 50;
TARNDB_POWER_CUT_SEED the seed of cut points and kept blocks.
"""

import contextlib
import os
import random
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

import pytest
from power_cut_child import PUBLISHERS
from power_cut_device import Record, copy_image

HERE = Path(__file__).resolve().parent
POINTS = int(os.environ.get("TARNDB_POWER_CUT_POINTS", "10"))
POINTS_PER_RECORDING = 50
SEED = int(os.environ.get("TARNDB_POWER_CUT_SEED", "1"))
IMAGE_SIZE = 512 << 20
OLD_SEED, NEW_SEED = 1, 2
# System tools run without the sanitizer runtime a test run may preload.
TOOL_ENV = {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
TOOL_ENV["PATH"] = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"


@dataclass
class FileSystem:
    mkfs: list
    check: Optional[list]  # run on a copy before mounting it; exit codes 0 and 1 are clean
    rescue: Optional[list]  # run on a copy that does not mount, then mount again
    options: str = ""  # for mounting a copy


FILESYSTEMS = {
    "ext4": FileSystem(["mkfs.ext4", "-q", "-F"], ["fsck.ext4", "-fy"], None),
    "xfs": FileSystem(["mkfs.xfs", "-q", "-f"], None, ["xfs_repair", "-L"], "nouuid"),
    "btrfs": FileSystem(["mkfs.btrfs", "-q", "-f"], None, ["btrfs", "rescue", "zero-log"]),
}


class ToolError(Exception):
    pass


def run(*argv, ok=(0,), timeout=120):
    proc = subprocess.run([str(a) for a in argv], capture_output=True, text=True,
                          timeout=timeout, env=TOOL_ENV)
    if proc.returncode not in ok:
        raise ToolError(f"{' '.join(map(str, argv))}: exit {proc.returncode}: "
                        f"{proc.stderr.strip() or proc.stdout.strip()}")
    return proc


def why_not_runnable(fs_name):
    if os.geteuid() != 0:
        return "needs root to attach loop devices and mount"
    for dev in ("/dev/loop-control", "/dev/fuse"):
        if not os.path.exists(dev):
            return f"{dev} is missing"
    fs = FILESYSTEMS[fs_name]
    for tool in ["losetup", "mount", "umount", fs.mkfs[0], *(fs.check or fs.rescue)[:1]]:
        if shutil.which(tool, path=TOOL_ENV["PATH"]) is None:
            return f"{tool} is not installed"
    with open("/proc/filesystems") as known:
        missing = {fs_name, "fuse"} - set(known.read().split())
    if missing:
        return f"the kernel has no {' or '.join(sorted(missing))}"
    try:
        run("losetup", "--find")
    except ToolError as e:
        return f"no loop device to be had: {e}"
    return None


def read_line(pipe, timeout):
    """One line from an unbuffered pipe, or "" at its end; waits at most `timeout` seconds."""
    line, deadline = b"", time.monotonic() + timeout
    while not line.endswith(b"\n"):
        if not select.select([pipe], [], [], max(0.0, deadline - time.monotonic()))[0]:
            raise TimeoutError(f"no line within {timeout} s (so far {line!r})")
        byte = os.read(pipe.fileno(), 1)
        if not byte:
            break
        line += byte
    return line.decode().strip()


def mount_points():
    with open("/proc/self/mounts") as mounts:
        return [line.split()[1] for line in mounts]


def unmount(path):
    for _ in range(100):  # a loop device just detached may hold its file for a moment
        try:
            return run("umount", path, timeout=60)
        except ToolError as e:
            if "busy" not in str(e):
                raise
            time.sleep(0.1)
    run("umount", "--lazy", path)
    raise ToolError(f"{path} stayed busy; unmounted lazily")


@contextlib.contextmanager
def attached(image):
    dev = run("losetup", "--find", "--show", image).stdout.strip()
    try:
        yield dev
    finally:
        run("losetup", "--detach", dev)


@contextlib.contextmanager
def mounted(dev, path):
    run("mount", dev, path)
    try:
        yield path
    finally:
        unmount(path)


@contextlib.contextmanager
def recording_disk(image, work):
    """The path of a file whose content is image, every write and flush to it logged."""
    mountpoint = work / "dev"
    mountpoint.mkdir()
    with open(work / "device.err", "wb") as err:
        server = subprocess.Popen(
            [sys.executable, HERE / "power_cut_device.py", image, mountpoint, work / "log"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, bufsize=0, env=TOOL_ENV)

    def mark(name):
        server.stdin.write(f"mark {name}\n".encode())
        assert read_line(server.stdout, 30) == "ok"

    try:
        assert read_line(server.stdout, 30) == "ready", (work / "device.err").read_text()
        yield mountpoint / "disk", mark
    finally:
        if str(mountpoint) in mount_points():
            unmount(mountpoint)
        with contextlib.suppress(subprocess.TimeoutExpired):
            server.wait(timeout=30)
        if server.poll() is None:  # closing its /dev/fuse aborts whatever still waits on it
            server.kill()
            server.wait()
        server.stdin.close()
        server.stdout.close()
    assert server.returncode == 0, (work / "device.err").read_text()


def publish_in_child(publisher, target, seed, started=lambda: None, returned=lambda: None,
                     timeout=300):
    """Publish in a child process; call started() just before it begins, returned() after."""
    child = subprocess.Popen([sys.executable, HERE / "power_cut_child.py", publisher, target,
                              str(seed)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, bufsize=0)
    try:
        line = read_line(child.stdout, timeout)
        if line == "ready":
            started()
            child.stdin.write(b"go\n")
            line = read_line(child.stdout, timeout)
        if line == "returned":
            returned()
        _, err = child.communicate(timeout=timeout)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert (line, child.returncode) == ("returned", 0), err.decode()


@contextlib.contextmanager
def neighbour_fsyncing(directory):
    """Another writer on the same file system, appending and fsyncing until the block ends.

    Each of its fsyncs commits the file system's journal, log or transaction
    at some moment of the publish, as on a busy machine, so that metadata a
    publisher changed and has not synced yet may reach the disk early.
    """
    stop = threading.Event()

    def churn():
        with open(directory / "neighbour", "ab", buffering=0) as f:
            while not stop.is_set():
                f.write(b"n" * 4096)
                os.fsync(f.fileno())

    thread = threading.Thread(target=churn)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join(timeout=60)


def record_publishing(fs, publisher, work, busy):
    """Publish OLD, sync, publish NEW, on a fresh file system; the device's record of it.

    busy: a neighbour keeps fsyncing while NEW is published.
    """
    image = work / "disk.img"
    with open(image, "wb") as f:
        f.truncate(IMAGE_SIZE)
    run(*fs.mkfs, image)
    copy_image(image, work / "durable.img")  # where replays start
    with recording_disk(image, work) as (disk, mark), attached(disk) as dev, \
            mounted(dev, work / "mnt") as mnt:
        publish_in_child(publisher, mnt / "store.trnd", OLD_SEED)
        run("sync", "-f", mnt / "store.trnd")
        with contextlib.ExitStack() as during:
            def started():
                mark("new")
                if busy:
                    during.enter_context(neighbour_fsyncing(mnt))

            publish_in_child(publisher, mnt / "store.trnd", NEW_SEED, started,
                             lambda: mark("returned"))
    return Record(work / "log")


def recovered(fs, image, mnt, read):
    """What read() finds at the target once image is recovered; and whether it needed rescue."""
    with attached(image) as dev:
        if fs.check:
            run(*fs.check, dev, ok=(0, 1))
        options = ["-o", fs.options] if fs.options else []
        rescued = False
        try:
            run("mount", *options, dev, mnt)
        except ToolError:
            if not fs.rescue:
                raise
            run(*fs.rescue, dev)
            run("mount", *options, dev, mnt)
            rescued = True
        try:
            return read(mnt / "store.trnd"), rescued
        finally:
            unmount(mnt)


def check_copies(fs, read, old, new, record, work, points, rng):
    """Recover `points` copies of the record; counts of what they held, and the failures."""
    start, returned, end = record.marks["new"], record.marks["returned"], len(record.entries)
    assert b"F" in [kind for kind, *_ in record.entries[:start]], "no flush reached the device"
    cuts = sorted([returned] + [rng.randint(start, end) for _ in range(points - 1)])
    counts, failures, durable_upto = Counter(), [], 0
    for cut in cuts:
        keep = rng.random()
        durable_upto = record.replay(work / "durable.img", durable_upto, cut,
                                     lambda: rng.random() < keep, work / "copy.img")
        try:
            found, rescued = recovered(fs, work / "copy.img", work / "mnt", read)
        except Exception as e:  # recovery, opening or verifying failed
            found, rescued = f"{type(e).__name__}: {e}", False
        counts.update(copies=1, rescued=rescued, old=found == old, new=found == new)
        what = (None if found == new else "neither OLD nor NEW" if found != old else
                "OLD after the publisher returned" if cut >= returned else None)
        if what:
            failures.append(f"cut {cut} (NEW started at {start}, returned at {returned}, "
                            f"log ends at {end}), kept {keep:.2f} of unflushed blocks: {what}"
                            + (f": {found}" if isinstance(found, str) else ""))
    return counts, failures


@pytest.fixture
def workdir():
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    path = Path(tempfile.mkdtemp(prefix="tarndb-power-cut-", dir=shm))
    yield path
    left = [m for m in mount_points() if m.startswith(f"{path}/")]
    assert not left, f"still mounted: {left}"
    shutil.rmtree(path)


# A quiet neighbour shows a publisher that leaves its durability to a later
# commit; a busy one, fsyncing throughout, commits the file system at many
# moments of the publish and so shows a publisher that orders its steps wrongly.
@pytest.mark.parametrize("neighbour", ["quiet", "busy"])
@pytest.mark.parametrize("publisher", PUBLISHERS)
@pytest.mark.parametrize("fs_name", FILESYSTEMS)
def test_power_cut_leaves_old_or_new(fs_name, publisher, neighbour, workdir):
    if reason := why_not_runnable(fs_name):
        pytest.skip(reason)
    fs, (publish, read) = FILESYSTEMS[fs_name], PUBLISHERS[publisher]
    for name, seed in ("old", OLD_SEED), ("new", NEW_SEED):
        publish(str(workdir / f"{name}.trnd"), seed)
    old, new = read(workdir / "old.trnd"), read(workdir / "new.trnd")
    assert old != new
    rng, counts, failures = random.Random(SEED), Counter(), []
    # Each recording publishes anew: timing varies, and with it what the device receives.
    for recording in range(-(-POINTS // POINTS_PER_RECORDING)):
        work = workdir / str(recording)
        (work / "mnt").mkdir(parents=True)
        record = record_publishing(fs, publisher, work, neighbour == "busy")
        points = min(POINTS_PER_RECORDING, POINTS - recording * POINTS_PER_RECORDING)
        found, failed = check_copies(fs, read, old, new, record, work, points, rng)
        counts.update(found)
        failures += [f"recording {recording}, {failure}" for failure in failed]
        shutil.rmtree(work)
    print(f"\n{fs_name} {publisher} {neighbour}: {counts['copies']} copies, {counts['old']} old, "
          f"{counts['new']} new, {len(failures)} failures, {counts['rescued']} rescued "
          f"(seed {SEED})")
    assert not failures, "\n".join(failures[:20])
