"""Files that break the format where no checksum looks, and arguments that
misuse the API: the package refuses them; the low-level module keeps its
results."""

import os
import signal
import subprocess
import sys
import zlib

import pytest
from helpers import put
from storefile import HEADER_SIZE, NUM_KEYS_POS, craft, encode_store, entry, patch, record

from tarndb import TarnCorruptError, TarnIOError, TarnReader, TarnWriter, _tarndb

# A's payload holds a whole record of its own ("hi"), so an entry can name
# the middle of A and still read a valid object.
A = record(b"\x00\x00\x00\x02" + zlib.crc32(b"hi").to_bytes(4, "big") + b"hi")
B = record(b"two")
RA, RB = HEADER_SIZE, HEADER_SIZE + len(A)
INDEX = RB + len(B)  # where the index section starts


def index(*entries):
    return b"".join(entry(k, o) for k, o in entries)


# Each file passes every checksum; the package's verify() finds what is wrong
# with its index.
@pytest.mark.parametrize("data, fault", [
    (index((b"b", RA), (b"a", RB)), "out of key order"),
    (index((b"a", RA), (b"a", RB)), "repeats the key"),
    (index((b"a", RA), (b"b", RA + 8)), "not the start of a stored object's record"),
    # The first entry (empty key, offset 40) reads as an empty record: length 0, CRC 0.
    (index((b"", RA), (b"b", INDEX)), "not the start of a stored object's record"),
], ids=["unsorted", "duplicate", "inside a payload", "into the index"])
def test_verify_proves_the_index_well_formed(tmp_path, data, fault):
    path = put(tmp_path, craft(A + B, data, num_keys=2, num_objects=2))
    assert _tarndb._TarnReader(str(path)).verify() is True
    with TarnReader(path) as r, pytest.raises(TarnCorruptError, match=fault):
        r.verify()


@pytest.mark.parametrize("num_keys", [16, 4])
def test_a_verified_open_refuses_a_damaged_key_count(tmp_path, num_keys):
    # Two bits flipped in num_keys, which no checksum covers: today's
    # low-level module serves part of the index; the package refuses it.
    good = encode_store([b"v%d" % i for i in range(20)], {b"k%02d" % i: i for i in range(20)})
    path = put(tmp_path, patch(good, NUM_KEYS_POS, ">I", num_keys))
    assert len(_tarndb._TarnReader(str(path)).keys()) == num_keys
    with pytest.raises(TarnCorruptError, match="index section ends at"):
        TarnReader(path)
    assert len(TarnReader(path, verify=False)) == num_keys  # the caller chose not to check


class Endless:
    """A sequence of 107s that never ends."""

    def __getitem__(self, i):
        return 107


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, i):
        raise self.exc

    def __index__(self):
        raise self.exc


@pytest.mark.timeout(20)
def test_an_endless_key_stops_at_the_longest_key(tmp_path):
    path = put(tmp_path, encode_store([b"v"], {b"k": 0}))
    r = _tarndb._TarnReader(str(path))
    assert r.get_raw(Endless()) is None and not r.exists(Endless())
    assert r.prefix_raw(Endless()) == []
    w = _tarndb._TarnWriter()
    w.add_object_raw(b"x")
    with pytest.raises(ValueError, match="key of more than 65535 bytes"):
        w.add_key(Endless(), 0)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError])
def test_interruptions_while_converting_arguments_pass_through(tmp_path, exc):
    path = put(tmp_path, encode_store([b"v"], {b"k": 0}))
    low, w = _tarndb._TarnReader(str(path)), _tarndb._TarnWriter()
    w.add_object_raw(b"x")
    package = TarnReader(path)
    pw = TarnWriter()
    pw.add_raw(b"x")
    for call in (lambda: low.get_raw(Raising(exc)), lambda: w.add_key(Raising(exc), 0),
                 lambda: w.add_key("k", Raising(exc)), lambda: pw.add_key("k", Raising(exc)),
                 lambda: package.get_many(Raising(exc))):
        with pytest.raises(exc):
            call()


@pytest.mark.timeout(30)
def test_files_that_are_not_stores_fail_at_once(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # nobody writes to it: a blocking open would wait forever
    for path, package_text in ((fifo, "not a regular file"), ("/dev/zero", "not a regular file"),
                               (tmp_path, "Is a directory")):
        with pytest.raises(TarnIOError, match=f"cannot open {path}: {package_text}"):
            TarnReader(path)
    for path in (fifo, tmp_path):  # the low-level module fails as it always did
        with pytest.raises(OSError, match="TarnIOError: mmap failed: No such device"):
            _tarndb._TarnReader(str(path))


# -- the command line's output ----------------------------------------------


def cli(*args, **kwargs):
    # Run away from the source tree, whose tarndb/ has no built modules.
    return subprocess.run([sys.executable, "-m", "tarndb", *map(os.fsdecode, args)],
                          capture_output=True, timeout=60, cwd=os.path.dirname(args[1]), **kwargs)


@pytest.fixture
def odd_store(tmp_path):
    w = TarnWriter()
    w.update({"two\nlines": 1, '"quoted': 2, "nan": float("nan"), "deep": [[[[]]]],
              **{f"k{i:06d}": i for i in range(20_000)}})
    w.put_raw("raw", b"\xc1 not msgpack")
    w.build(tmp_path / "odd.trnd", quiet=True)
    return tmp_path / "odd.trnd"


@pytest.mark.parametrize("args, status, out, err", [
    (["keys", "-p", "t"], 0, b'"two\\nlines"\n', b""),
    (["keys", "-0", "-p", "t"], 0, b"two\nlines\0", b""),
    (["keys", "-p", '"'], 0, b'"\\"quoted"\n', b""),
    (["get", "{store}", "nan"], 0, b'"NaN"\n', b""),
    (["dump", "-p", "dee"], 0, b'{"key": "deep", "value": [[[[]]]]}\n', b""),
    (["get", "{store}", "raw"], 2, b"", b"is not MessagePack"),
    (["get", "{store}", "raw", "--raw"], 0, b"c1206e6f74206d73677061636b\n", b""),
], ids=["newline", "null", "quote", "nan", "nested", "not msgpack", "raw"])
def test_output_is_one_unambiguous_line_per_item(odd_store, args, status, out, err):
    args = [a.format(store=odd_store) for a in args]
    if "{store}" not in " ".join(args) and args[0] in ("keys", "dump"):
        args.insert(1, str(odd_store))
    done = cli(*args)
    assert done.returncode == status, done.stderr
    assert done.stdout == out and err in done.stderr and done.stderr.count(b"\n") <= 1


@pytest.mark.parametrize("command", ["stats", "keys", "get"])
def test_a_closed_standard_output_is_an_error_not_silence(odd_store, command):
    args = [command, odd_store] + (["k000001"] if command == "get" else [])
    done = cli(*args, preexec_fn=lambda: os.close(1))
    assert done.returncode == 2 and b"standard output is closed" in done.stderr


def test_a_reader_that_stops_early_ends_the_command_by_sigpipe(odd_store):
    proc = subprocess.Popen([sys.executable, "-m", "tarndb", "keys", str(odd_store)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=odd_store.parent)
    proc.stdout.readline()
    proc.stdout.close()
    with proc.stderr:
        assert proc.wait(timeout=60) == -signal.SIGPIPE and proc.stderr.read() == b""


def test_paths_that_are_not_utf8_work(tmp_path, odd_store):
    odd = os.path.join(os.fsencode(tmp_path), b"\xff.trnd")
    os.link(odd_store, odd)
    done = cli("stats", odd)
    assert done.returncode == 0 and b"\xff.trnd" in done.stdout
