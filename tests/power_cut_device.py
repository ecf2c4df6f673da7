"""A disk that records what it receives, and the power-cut images replayed from its record.

Run as ``python power_cut_device.py IMAGE MOUNTPOINT LOG`` (as root), it mounts a
FUSE file system at MOUNTPOINT holding one file, ``disk``, whose content is
IMAGE. A loop device attached to ``disk`` is then a block device whose every
write reaches this process before the loop device completes it (FUSE writes
through to its server, nothing is cached on the way), and whose every cache
flush arrives here as an fsync. Each one is appended to LOG in the order
received: writes with their data, discards and zeroed ranges, flushes. A line
``mark NAME`` on standard input appends a mark to LOG and is answered ``ok``;
the first line on standard output, ``ready``, tells that the mount is up.
The server stops when the file system is unmounted.

:class:`Record` reads LOG back and :meth:`Record.replay` rebuilds the image as
a power cut would leave it: everything received before the last flush, plus
any subset of the 4 KiB blocks written after it, which a drive's volatile
cache may have written back or lost, each on its own.
"""

from __future__ import annotations

import ctypes
import errno
import os
import select
import struct
import subprocess
import sys

HEADER = struct.Struct("<IIQQIIIHH")  # fuse_in_header
REPLY = struct.Struct("<IiQ")  # fuse_out_header
ATTR = struct.Struct("<QQQQQQIIIIIIIIII")  # fuse_attr
ENTRY = struct.Struct("<QQQQII")  # fuse_entry_out, before its fuse_attr
IO_IN = struct.Struct("<QQI")  # fh, offset, size: the head of fuse_read_in and fuse_write_in
WRITE_IN_SIZE = 40
INIT_OUT = struct.Struct("<IIIIHHIIHHI28x")
FALLOCATE_IN = struct.Struct("<QQQI")
RECORD = struct.Struct("<cQQ")  # kind, offset, length; a write's data follows

ROOT, DISK = 1, 2
BLOCK = 4096  # what a drive writes back from its cache as a whole
MAX_WRITE = 128 << 10
FUSE_BIG_WRITES = 1 << 5
LOOKUP, FORGET, GETATTR, SETATTR, OPEN, READ, WRITE, STATFS = 1, 2, 3, 4, 14, 15, 16, 17
FSYNC, INIT, OPENDIR, READDIR, INTERRUPT, FALLOCATE, BATCH_FORGET = 20, 26, 27, 28, 36, 43, 42
EMPTY_REPLY = {18, 25, 29, 30, 38}  # release, flush (on close), releasedir, fsyncdir, destroy
NO_REPLY = {FORGET, INTERRUPT, BATCH_FORGET}
PUNCH_HOLE = 0x01 | 0x02  # FALLOC_FL_KEEP_SIZE | FALLOC_FL_PUNCH_HOLE

libc = ctypes.CDLL(None, use_errno=True)
libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_long, ctypes.c_long]


def zero_range(fd, offset, length):
    if libc.fallocate(fd, PUNCH_HOLE, offset, length) != 0:
        raise OSError(ctypes.get_errno(), "fallocate")


def attr(node, size):
    mode, nlink = (0o40755, 2) if node == ROOT else (0o100600, 1)
    return ATTR.pack(node, size, size // 512, 0, 0, 0, 0, 0, 0, mode, nlink, 0, 0, 0, 4096, 0)


def serve(image, mountpoint, log_path):
    disk = os.open(image, os.O_RDWR)
    size = os.fstat(disk).st_size
    dev = os.open("/dev/fuse", os.O_RDWR | os.O_CLOEXEC)
    opts = f"fd={dev},rootmode=40000,user_id=0,group_id=0,allow_other".encode()
    if libc.mount(b"power-cut-disk", mountpoint.encode(), b"fuse", 0x6, opts) != 0:  # nosuid,nodev
        raise OSError(ctypes.get_errno(), f"mount fuse at {mountpoint}")
    log = open(log_path, "wb")
    print("ready", flush=True)
    poller = select.poll()
    poller.register(dev, select.POLLIN)
    poller.register(sys.stdin, select.POLLIN)
    while True:
        for fd, _ in poller.poll():
            if fd != dev:
                line = sys.stdin.readline()
                if not line:
                    poller.unregister(sys.stdin)
                    continue
                name = line.split(maxsplit=1)[1].strip().encode()
                log.write(RECORD.pack(b"M", 0, len(name)) + name)
                print("ok", flush=True)
                continue
            try:
                request = os.read(dev, MAX_WRITE + 4096)
            except OSError as e:
                if e.errno == errno.ENODEV:  # unmounted
                    log.close()
                    return
                if e.errno in (errno.ENOENT, errno.EINTR, errno.EAGAIN):
                    continue
                raise
            _, op, unique, node, *_ = HEADER.unpack_from(request)
            body = memoryview(request)[HEADER.size:]
            if op in NO_REPLY:
                continue
            try:
                payload = answer(op, node, body, disk, size, log)
            except OSError as e:
                payload = -(e.errno or errno.EIO)
            if isinstance(payload, int):
                os.write(dev, REPLY.pack(REPLY.size, payload, unique))
            else:
                os.write(dev, REPLY.pack(REPLY.size + len(payload), 0, unique) + payload)


def answer(op, node, body, disk, size, log):
    """The reply to one request: its bytes, or a negative errno."""
    if op == INIT:
        return INIT_OUT.pack(7, 31, 128 << 10, FUSE_BIG_WRITES, 16, 12, MAX_WRITE, 1, 0, 0, 0)
    if op == LOOKUP:
        if node != ROOT or bytes(body).rstrip(b"\0") != b"disk":
            return -errno.ENOENT
        return ENTRY.pack(DISK, 0, 3600, 3600, 0, 0) + attr(DISK, size)
    if op in (GETATTR, SETATTR):
        return struct.pack("<QII", 3600, 0, 0) + attr(node, size)
    if op in (OPEN, OPENDIR):
        return bytes(16)
    if op == READDIR:
        return b""
    if op == READ:
        _, offset, length = IO_IN.unpack_from(body)
        return os.pread(disk, min(length, max(0, size - offset)), offset)
    if op == WRITE:
        _, offset, length = IO_IN.unpack_from(body)
        data = body[WRITE_IN_SIZE:WRITE_IN_SIZE + length]
        os.pwrite(disk, data, offset)
        log.write(RECORD.pack(b"W", offset, length))
        log.write(data)
        return struct.pack("<II", length, 0)
    if op == FALLOCATE:
        _, offset, length, mode = FALLOCATE_IN.unpack_from(body)
        if not mode & (0x02 | 0x10):  # a loop device discards by punching, or zeroes a range
            return -errno.EOPNOTSUPP
        zero_range(disk, offset, length)
        log.write(RECORD.pack(b"Z", offset, length))
        return b""
    if op == FSYNC:
        log.write(RECORD.pack(b"F", 0, 0))
        log.flush()
        return b""
    if op == STATFS:
        return struct.pack("<5QIII28x", size // 4096, 0, 0, 2, 0, 4096, 255, 4096)
    if op in EMPTY_REPLY:
        return b""
    return -errno.ENOSYS


class Record:
    """The writes, discards and flushes one recording disk received, in order, and its marks."""

    def __init__(self, log_path):
        self.path = log_path
        self.entries = []  # (kind, offset, length, position of the data in the log)
        self.marks = {}  # name -> number of entries received before the mark
        with open(log_path, "rb") as log:
            while head := log.read(RECORD.size):
                kind, offset, length = RECORD.unpack(head)
                if kind == b"M":
                    self.marks[log.read(length).decode()] = len(self.entries)
                    continue
                self.entries.append((kind, offset, length, log.tell()))
                if kind == b"W":
                    log.seek(length, os.SEEK_CUR)

    def last_flush_before(self, cut):
        """The number of entries a flush made durable among the first `cut` received."""
        return next((i + 1 for i in range(cut - 1, -1, -1) if self.entries[i][0] == b"F"), 0)

    def apply(self, image, first, end, keep=None):
        """Apply entries first..end-1 to image; with keep, only the blocks for which keep() holds.

        A drive's cache writes back or loses each block on its own, so a
        write that is not yet flushed may reach the medium in part.
        """
        with open(self.path, "rb") as log, open(image, "r+b") as out:
            for kind, offset, length, pos in self.entries[first:end]:
                if kind == b"Z" and (keep is None or keep()):
                    zero_range(out.fileno(), offset, length)
                elif kind == b"W":
                    data = os.pread(log.fileno(), length, pos)
                    step = BLOCK if keep else length
                    for at in range(0, length, step):
                        if keep is None or keep():
                            os.pwrite(out.fileno(), data[at:at + step], offset + at)

    def replay(self, durable, durable_upto, cut, keep, dest):
        """Write to dest the image after a power cut when `cut` entries had been received.

        durable is an image holding the first durable_upto entries applied to
        the starting image; it is brought forward to the last flush before the
        cut, so calls must come in increasing order of cut. Blocks written
        after that flush survive where keep() says so. Returns the new
        durable_upto.
        """
        flushed = self.last_flush_before(cut)
        self.apply(durable, durable_upto, flushed)
        copy_image(durable, dest)
        self.apply(dest, flushed, cut, keep)
        return flushed


def copy_image(src, dest):
    subprocess.run(["cp", "--sparse=always", "--reflink=never", src, dest], check=True,
                   timeout=120)


if __name__ == "__main__":
    serve(*sys.argv[1:4])
