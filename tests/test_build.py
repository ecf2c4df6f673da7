"""Building a store file: exact bytes, the temporary file, failures and the summary line."""

import os
import random

import pytest

from helpers import built, exact, run_python, strace_works, writer
from storefile import encode_store
from tarndb import _tarndb

W, R = _tarndb._TarnWriter, _tarndb._TarnReader

EXAMPLE = bytes.fromhex(
    "54524e44 02000000 00000001 00000001 0000000000000033 0000000000000028 49d79980 00000000"
    "00000003 352441c2 616263"
    "0001 6b 0000000000000028"
)
EMPTY = bytes.fromhex(
    "54524e44 02000000 00000000 00000000 0000000000000028 0000000000000028 00000000 00000000"
)


class TestKnownFiles:
    def test_worked_example(self, tmp_path):
        assert len(EXAMPLE) == 62
        writer([b"abc"], [("k", 0)]).build(str(tmp_path / "example.trnd"))
        assert (tmp_path / "example.trnd").read_bytes() == EXAMPLE

    def test_empty_store(self, tmp_path):
        writer().build(str(tmp_path / "empty.trnd"))
        assert (tmp_path / "empty.trnd").read_bytes() == EMPTY

    def test_key_order_is_unsigned_bytewise(self, tmp_path):
        # Written order: b"", b"B", b"a", b"a\x00", b"ab", b"b", b"\x80", b"\xff".
        keys = [b"b", b"\xff", b"a", b"ab", b"\x80", b"a\x00", b"", b"B"]
        w = writer([b"one", b"two"], [(k, i % 2) for i, k in enumerate(keys)])
        w.build(str(tmp_path / "o.trnd"))
        expected = encode_store([b"one", b"two"], {k: i % 2 for i, k in enumerate(keys)})
        assert (tmp_path / "o.trnd").read_bytes() == expected


def random_store(seed, n_objects, n_keys, big):
    rng = random.Random(seed)
    objects = []
    for _ in range(n_objects):
        roll = rng.random()
        if roll < 0.15:
            objects.append(b"")
        elif roll < 0.3 and objects:
            objects.append(rng.choice(objects))  # same bytes, new ID
        else:
            objects.append(rng.randbytes(rng.randrange(1, 300)))
    if big:
        objects.insert(n_objects // 2, rng.randbytes(20_000))
    calls = []
    for _ in range(n_keys):
        if calls and rng.random() < 0.2:
            key = rng.choice(calls)[0]  # re-pointed
        else:
            key = rng.randbytes(rng.randrange(0, 12))
        calls.append((key, rng.randrange(len(objects))))
    objects.append(b"never named")
    return objects, calls


def as_argument(key, rng):
    """The same key bytes in one of the accepted Python forms."""
    roll = rng.random()
    if roll < 0.3:
        try:
            return key.decode()
        except UnicodeDecodeError:
            return key
    return list(key) if roll < 0.4 else key


class TestRandomStores:
    @pytest.mark.parametrize("seed, n_objects, n_keys, big", [
        (1, 1, 1, False), (2, 40, 120, False), (3, 300, 2000, True), (4, 5, 0, True),
    ])
    def test_matches_reference_encoder(self, seed, n_objects, n_keys, big, tmp_path):
        objects, calls = random_store(seed, n_objects, n_keys, big)
        keymap = {}
        rng = random.Random(seed)
        w = W()
        assert [w.add_object_raw(p) for p in objects] == list(range(len(objects)))
        for key, obj_id in calls:
            w.add_key(as_argument(key, rng), obj_id)
            keymap[key] = obj_id
        expected = encode_store(objects, keymap)
        summary = f"_TarnWriter(objects={len(objects)}, keys={len(keymap)})"

        w.build(str(tmp_path / "a.trnd"))
        w.build(str(tmp_path / "b.trnd"))
        assert (tmp_path / "a.trnd").read_bytes() == expected
        assert (tmp_path / "b.trnd").read_bytes() == expected
        assert repr(w) == summary

        # Another writer, keys inserted in the opposite order: the file must
        # not depend on the key map's hash order.
        other = writer(objects, [(k, keymap[k]) for k in reversed(list(keymap))])
        other.build(str(tmp_path / "c.trnd"))
        assert (tmp_path / "c.trnd").read_bytes() == expected


class TestKeyOrder:
    # Thousands of keys that share long prefixes, end inside one another or
    # hold zero and 0xFF bytes: the sort works 8 bytes at a time and byte by
    # byte within them, and every kind of tie has to come out in byte order.
    @pytest.mark.parametrize("alphabet, prefix, max_len", [
        (bytes(range(256)), b"", 20),
        (b"\x0009\xff", b"user/0000", 14),
        (b"\x00a\xff", b"", 12),
        (b"\x00", b"\x00" * 30, 20),
        (bytes(range(256)), b"same-pre", 3),  # one 8-byte window, ending or going on
    ])
    def test_index_is_in_byte_order(self, tmp_path, alphabet, prefix, max_len):
        rng = random.Random(len(alphabet) + len(prefix))
        keys = {prefix + bytes(rng.choice(alphabet) for _ in range(rng.randrange(max_len)))
                for _ in range(5000)}
        w = writer([b"v"], [(k, 0) for k in keys])
        assert built(w, tmp_path, "s.trnd") == encode_store([b"v"], dict.fromkeys(keys, 0))


class TestTemporaryPath:
    @pytest.mark.parametrize("target, tmp", [
        ("data/store.trnd", "data/store.trnd.tmp"),
        ("data/store", "data/store.trnd.tmp"),
        ("data/store.db", "data/store.trnd.tmp"),
        ("a.b.c", "a.b.trnd.tmp"),
        ("data/.hidden", "data/.hidden.trnd.tmp"),
        ("store.", "store.trnd.tmp"),
        ("data/x.y/", "data/x.trnd.tmp"),
        ("data/./z.trnd/.", "data/./z.trnd.tmp"),
    ])
    def test_derivation(self, target, tmp, tmp_path, monkeypatch):
        # A directory at the target makes the final rename fail, which leaves
        # the finished temporary file where the build put it.
        monkeypatch.chdir(tmp_path)
        os.makedirs(target)
        w = writer([b"abc"], [("k", 0)])
        plain = not target.endswith(("/", "/."))
        text = "TarnIOError: rename: Is a directory (os error 21)"
        with pytest.raises(OSError, match=exact(text) if plain else "^TarnIOError: rename: "):
            w.build(target)
        assert (tmp_path / tmp).read_bytes() == EXAMPLE
        assert sorted(p.name for p in tmp_path.rglob("*.tmp")) == [os.path.basename(tmp)]
        assert (tmp_path / target).is_dir()


class TestFailures:
    @pytest.mark.parametrize("path, text", [
        ("missing/x.trnd", "open tmp: No such file or directory (os error 2)"),
        ("", "open tmp: No such file or directory (os error 2)"),
        ("/", "open tmp: Is a directory (os error 21)"),
        (".", "open tmp: Is a directory (os error 21)"),
        ("sub/..", "open tmp: Is a directory (os error 21)"),
        ("a\0b.trnd", "open tmp: file name contained an unexpected NUL byte"),
    ])
    def test_open_failures(self, path, text, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "sub").mkdir()
        w = writer([b"abc"], [("k", 0)])
        with pytest.raises(OSError, match=exact("TarnIOError: " + text)) as info:
            w.build(path)
        assert type(info.value) is OSError  # not FileNotFoundError or another subclass
        assert (info.value.errno, info.value.strerror, info.value.filename) == (None, None, None)
        assert [p.name for p in tmp_path.iterdir()] == ["sub"]
        assert repr(w) == "_TarnWriter(objects=1, keys=1)"

    def test_target_and_stale_temporary_are_replaced(self, tmp_path):
        target, stale = tmp_path / "s.trnd", tmp_path / "s.trnd.tmp"
        writer([b"old"], [("k", 0)]).build(str(target))
        old_reader = R(str(target))
        stale.write_bytes(b"\xee" * 5000)  # longer than the new file: must be truncated
        w = writer([b"abc"], [("k", 0)])
        w.build(str(target))
        assert target.read_bytes() == EXAMPLE
        assert not stale.exists()
        # The new file was moved in, not written over the old one in place.
        assert old_reader.get_raw("k") == b"old"
        assert R(str(target)).get_raw("k") == b"abc"


SUMMARY_CODE = """
import io, sys
from tarndb import _tarndb
w = _tarndb._TarnWriter()
for n in map(int, sys.argv[2].split(",")) if sys.argv[2] else ():
    w.add_object_raw(b"x" * n)
for k in range(int(sys.argv[3])):
    w.add_key(str(k), 0)
sys.stdout = io.StringIO()
result = w.build(sys.argv[1])
sys.stderr.write(repr((result, sys.stdout.getvalue())))
"""


class TestSummaryLine:
    @pytest.mark.parametrize("payloads, keys, size, kb", [
        ([], 0, 40, "0.0"),
        ([3], 1, 62, "0.1"),
        ([208], 0, 256, "0.2"),
        ([720], 0, 768, "0.8"),
        ([952], 0, 1000, "1.0"),
        ([1000, 37], 3, 1126, "1.1"),
        ([2**20 - 48], 0, 2**20, "1024.0"),
    ])
    def test_exact_bytes_on_fd_1(self, payloads, keys, size, kb, tmp_path):
        (tmp_path / "out").mkdir()
        path = "out/./é.trnd"
        proc = run_python(SUMMARY_CODE, path, ",".join(map(str, payloads)), str(keys), cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        # Python's sys.stdout never sees the line: it goes straight to the descriptor.
        assert proc.stderr == b"(None, '')"
        line = f"✅  {path}  —  {len(payloads)} objects · {keys} keys · {kb} KB\n"
        assert proc.stdout == line.encode()
        assert (tmp_path / "out" / "é.trnd").stat().st_size == size


MENDED_CODE = """
import os, sys
if sys.argv[2] == "closed":
    os.close(1)
elif sys.argv[2] == "broken pipe":
    r, w = os.pipe()
    os.close(r)
    os.dup2(w, 1)
    os.close(w)
from tarndb import _tarndb
w = _tarndb._TarnWriter()
w.add_object_raw(b"abc")
w.add_key("k", 0)
try:
    sys.stderr.write(repr(w.build(sys.argv[1])))
except OSError as e:
    sys.stderr.write(repr((type(e).__name__, str(e))))
"""


class TestStdoutAndSyncFailures:
    @pytest.mark.parametrize("mode", ["closed", "broken pipe"])
    def test_unwritable_stdout_does_not_fail_the_build(self, mode, tmp_path):
        proc = run_python(MENDED_CODE, "s.trnd", mode, cwd=tmp_path)
        assert (proc.returncode, proc.stderr) == (0, b"None")
        assert (tmp_path / "s.trnd").read_bytes() == EXAMPLE
        assert not (tmp_path / "s.trnd.tmp").exists()

    @pytest.mark.skipif(not strace_works(), reason="strace is not available")
    @pytest.mark.parametrize("when, text, target, leftover", [
        # The first fsync is the file's: nothing is published.
        (1, "TarnIOError: Input/output error (os error 5)", None, True),
        # The second is the directory's, after the rename: the file is in place.
        (2, "TarnIOError: sync dir: Input/output error (os error 5)", EXAMPLE, False),
    ], ids=["file", "directory"])
    def test_fsync_failures(self, when, text, target, leftover, tmp_path):
        strace = ["strace", "-f", "-qq", "-o", os.devnull, "-e", "trace=fsync",
                  "-e", f"inject=fsync:error=EIO:when={when}"]
        proc = run_python(MENDED_CODE, "s.trnd", "open", cwd=tmp_path, prefix=strace)
        assert proc.returncode == 0, proc.stderr
        assert proc.stderr == repr(("OSError", text)).encode()
        assert proc.stdout == b""
        path = tmp_path / "s.trnd"
        assert (path.read_bytes() if path.exists() else None) == target
        assert (tmp_path / "s.trnd.tmp").exists() == leftover
