"""The package's native interface: typed errors, batch calls, argument types,
the closed state, and MemoryError in both modules."""

import errno
import io
import os
import pickle
import random
import subprocess
import sys
import textwrap

import msgpack
import pytest

import tarndb
from tarndb import TarnCorruptError, TarnIOError, TarnReader, TarnVersionError, TarnWriter


def build(path, mapping):
    w = TarnWriter()
    w.update(mapping)
    w.build(path, quiet=True)
    return path


@pytest.fixture
def store(tmp_path):
    return build(tmp_path / "s.trnd", {"k": 1, "é": [2], "": None})


def damaged(tmp_path, edit):
    path = build(tmp_path / "d.trnd", {"k": "v"})
    data = bytearray(path.read_bytes())
    edit(data)
    path.write_bytes(bytes(data))
    return path


# Each failure: the call, the class raised, its text and errno. The message
# texts are the same as the low-level module's, without its kind prefix.
@pytest.mark.parametrize("make, cls, text, err", [
    (lambda p: TarnReader(p / "missing.trnd"), TarnIOError,
     "cannot open {p}/missing.trnd: No such file or directory (os error 2)", errno.ENOENT),
    (lambda p: TarnReader(p), TarnIOError, "cannot open {p}: Is a directory (os error 21)",
     errno.EISDIR),
    (lambda p: TarnWriter().build(p / "no" / "s.trnd"), TarnIOError,
     "{p}/no/s.trnd.tmp: open tmp: No such file or directory (os error 2)", errno.ENOENT),
    (lambda p: TarnReader(damaged(p, lambda b: b.__setitem__(slice(0, 4), b"PK\x03\x04"))),
     TarnCorruptError, "bad magic [80, 75, 3, 4]", None),
    (lambda p: TarnReader(damaged(p, lambda b: b.__setitem__(4, 3))), TarnVersionError,
     "unsupported format version 3", None),
    (lambda p: TarnReader(damaged(p, lambda b: b.__setitem__(-1, b[-1] ^ 1))), TarnCorruptError,
     "file CRC32 mismatch", None),
], ids=["missing", "directory", "no directory", "magic", "version", "crc"])
def test_failures_raise_typed_errors_with_their_fields(tmp_path, make, cls, text, err):
    with pytest.raises(cls) as caught:
        make(tmp_path)
    exc = caught.value
    assert str(exc).startswith(text.format(p=tmp_path))
    assert type(exc) is cls and isinstance(exc, tarndb.TarnError)
    if cls is TarnIOError:
        assert isinstance(exc, OSError) and exc.errno == err
        assert exc.strerror == os.strerror(err) and exc.filename is not None
    if cls is TarnVersionError:
        assert exc.version == 3
    again = pickle.loads(pickle.dumps(exc))
    assert (type(again), str(again), getattr(again, "errno", None)) == (cls, str(exc), err)


class Text(str):
    pass


class Bytes(bytes):
    pass


def test_batch_calls_match_a_dict(tmp_path):
    rng = random.Random(9)
    model = {f"{rng.choice(['key', 'kéy'])}/{rng.randrange(10**9)}":
             rng.choice([None, 1, "s", [1, {"a": b"b"}]]) for _ in range(3000)}
    items = list(model.items())
    w = TarnWriter()
    w.update(dict(items[:1000]))                                          # a dict
    w.update(iter(items[1000:2000]))                                      # pairs, lazily
    w.update_raw((k.encode(), msgpack.packb(v)) for k, v in items[2000:2500])  # bytes keys
    key_forms = [Text, lambda k: Bytes(k.encode()), lambda k: bytearray(k.encode())]
    w.update_raw([(rng.choice(key_forms)(k), memoryview(msgpack.packb(v)))
                  for k, v in items[2500:]])                              # a list, any key form
    w.update_raw({items[0][0]: msgpack.packb("last")})                    # the last put wins
    model[items[0][0]] = "last"
    assert (w.num_objects, w.num_keys) == (3001, len(model))
    w.build(tmp_path / "s.trnd", quiet=True)

    asked = [k for k in model] + ["absent", "x" * 70_000, ""]
    rng.shuffle(asked)
    forms = [str, str.encode, lambda k: bytearray(k.encode()), lambda k: memoryview(k.encode()),
             Text, lambda k: Bytes(k.encode())]
    asked = [rng.choice(forms)(k) for k in asked]
    text = [bytes(k).decode() if not isinstance(k, str) else k for k in asked]
    with TarnReader(tmp_path / "s.trnd") as r:
        assert r.get_many(asked, "-") == [model.get(k, "-") for k in text]
        assert r.raw.get_many(tuple(asked)) == [
            msgpack.packb(model[k]) if k in model else None for k in text]
        assert r.get_many([]) == []
        assert dict(r) == model and len(r) == len(model)


@pytest.mark.parametrize("call, exc", [
    (lambda w: w.put_raw("k", 5), TypeError),
    (lambda w: w.put_raw("k", "text"), TypeError),
    (lambda w: w.add_raw(True), TypeError),
    (lambda w: w.put_many("abc", 1), TypeError),
    (lambda w: w.put_many(b"ab", 1), TypeError),
    (lambda w: w.put_many([], 1), ValueError),
    (lambda w: w.put_many(["ok", 5], 1), TypeError),
    (lambda w: w.put("x" * 65_536, 1), ValueError),
    (lambda w: w.put("\udcff", 1), UnicodeEncodeError),
    (lambda w: w.put("k", object()), TypeError),
    (lambda w: w.add_key([107], 0), TypeError),
    (lambda w: w.add_key(1.5, 0), TypeError),
    (lambda w: w.add_key("k", 1.5), TypeError),
    (lambda w: w.add_key("k", -1), ValueError),
    (lambda w: w.add_key("k", 2**64), ValueError),
    (lambda w: w.add_key("k", 1), ValueError),
    (lambda w: w.update([("k", 1, 2)]), TypeError),
    (lambda w: w.update_raw({"k": 1}), TypeError),
], ids=lambda v: "" if isinstance(v, type) else None)
def test_bad_writer_arguments_raise_and_store_nothing(call, exc):
    w = TarnWriter()
    w.add_raw(b"\xc0")
    with pytest.raises(exc):
        call(w)
    assert (w.num_objects, w.num_keys) == (1, 0)


@pytest.mark.parametrize("key, found", [
    ("k", True), (b"k", True), (bytearray(b"k"), True), (memoryview(b"k"), True),
    ("é", True), ("é".encode(), True), ("", True), (b"j", False), ("k" * 70_000, False),
    ([107], TypeError), (107, TypeError), (None, TypeError), ((107,), TypeError),
])
def test_every_lookup_accepts_the_same_keys(store, key, found):
    calls = [lambda r: key in r, lambda r: r[key], lambda r: r.get(key, "-"),
             lambda r: r.get_many([key], "-")[0], lambda r: r.raw.get(key, "-")]
    with TarnReader(store) as r:
        for call in calls:
            if found is TypeError:
                with pytest.raises(TypeError):
                    call(r)
            elif found:
                assert call(r) not in (False, "-")
            elif call is calls[1]:
                with pytest.raises(KeyError):
                    call(r)
            else:
                assert call(r) in (False, "-")


def test_every_use_after_close_raises_value_error(store):
    r = TarnReader(store)
    raw, keys, items = r.raw, iter(r), iter(r.items())
    r.close()
    uses = [lambda: r["k"], lambda: "k" in r, lambda: len(r), lambda: iter(r), lambda: list(r),
            lambda: list(r.keys()), lambda: list(r.items()), lambda: list(r.values()),
            lambda: r.get("k"), lambda: r.get_many(["k"]), lambda: r.prefix(""),
            lambda: r.objects(), lambda: r.verify(), lambda: r.stats(), lambda: r.raw,
            lambda: raw["k"], lambda: list(raw.items()), lambda: next(keys), lambda: next(items)]
    for use in uses:
        with pytest.raises(ValueError, match="closed"):
            use()
    assert r.closed and "closed" in repr(r)


def test_readers_pickle_by_path_and_build_prints_on_sys_stdout_only(store, capfd, monkeypatch):
    with TarnReader(store) as r, pickle.loads(pickle.dumps(r)) as again:
        assert again == r and again.path == r.path
    w = TarnWriter()
    w.put("k", 1)
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    w.build(store)
    assert sys.stdout.getvalue().startswith(f"✅  {store}  —  1 objects · 1 keys")
    assert capfd.readouterr().out == ""


MEMORY_PROBE = textwrap.dedent("""
    import resource, sys
    from tarndb import TarnReader, _tarndb
    path, size = sys.argv[1], int(sys.argv[2])
    r, low = TarnReader(path, verify=False), _tarndb._TarnReader(path, False)
    vm = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + size // 2, resource.RLIM_INFINITY))
    for call in (lambda: low.get_raw("big"), lambda: r.raw["big"],
                 lambda: r.raw.get_many(["big"]), lambda: list(r.raw.values())):
        try:
            call()
            print("no error")
        except MemoryError:
            print("MemoryError")
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit breaks AddressSanitizer")
def test_memory_error_stays_memory_error_in_both_modules(tmp_path):
    size = 64 << 20
    w = TarnWriter()
    w.put_raw("big", bytes(size))
    w.build(tmp_path / "big.trnd", quiet=True)
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(tmp_path / "big.trnd"),
                           str(size)], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:4] == ["MemoryError"] * 4
    assert "Panic" not in done.stderr and done.stderr == ""


IN_PLACE = textwrap.dedent("""
    import os, shutil, sys
    from tarndb import TarnCorruptError, TarnReader
    live, new, how = sys.argv[1:]
    r = TarnReader(live)
    keys = list(r)
    assert r[keys[-1]] == keys[-1] * 100 and not r.is_stale()
    if how == "rewrite":
        shutil.copyfile(new, live)         # same size, other keys and values
    else:
        os.truncate(live, os.path.getsize(live) // 3)
    print(r.is_stale())
    for call in (lambda: r[keys[-1]], lambda: keys[-1] in r, lambda: list(r.items()),
                 lambda: r.get_many(keys)):
        try:
            call()
            print("answered")
        except TarnCorruptError as e:
            print("refused" if "changed while" in str(e) else e)
""")


@pytest.mark.parametrize("how", ["rewrite", "truncate"])
def test_a_store_changed_in_place_is_refused_not_served(tmp_path, how):
    for name, prefix in (("live.trnd", "a"), ("new.trnd", "b")):
        w = TarnWriter()
        w.update({f"{prefix}{i:05d}": f"{prefix}{i:05d}" * 100 for i in range(3000)})
        w.build(tmp_path / name, quiet=True)
    done = subprocess.run([sys.executable, "-c", IN_PLACE, str(tmp_path / "live.trnd"),
                           str(tmp_path / "new.trnd"), how], capture_output=True, text=True,
                          timeout=60, cwd=tmp_path)
    assert done.returncode == 0, done.stderr  # SIGBUS would end it with -7
    assert done.stdout.split() == ["True"] + ["refused"] * 4


def plant_temporary(tmp_path, how):
    """A file where a build of s.trnd puts its temporary one."""
    tmp = tmp_path / "s.trnd.tmp"
    if how == "hard link":
        (tmp_path / "other").write_bytes(b"x")
        os.link(tmp_path / "other", tmp)
    else:  # another user's: whoever made it may hold it open
        tmp.write_bytes(b"x")
        os.chown(tmp, 65534, 65534)
    return tmp_path / "s.trnd"


def fifo(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    return tmp_path / "fifo"


# Refusals with no system error behind them: errno and strerror are None, not 0 and "Success".
@pytest.mark.parametrize("call, text, names", [
    (lambda p: TarnReader(fifo(p)), "cannot open {p}/fifo: not a regular file", "fifo"),
    (lambda p: TarnWriter().build(fifo(p)), "{p}/fifo: target: not a regular file", "fifo"),
    (lambda p: TarnWriter.create(fifo(p)), "{p}/fifo: target: not a regular file", "fifo"),
    (lambda p: tarndb._store.publish_file(fifo(p), b"x"), "{p}/fifo: target: not a regular file",
     "fifo"),
    (lambda p: TarnWriter().build(plant_temporary(p, "hard link")),
     "{p}/s.trnd.tmp: open tmp: not a regular file with a single link", "s.trnd.tmp"),
    pytest.param(lambda p: TarnWriter().build(plant_temporary(p, "another user's")),
                 "{p}/s.trnd.tmp: open tmp: not owned by this user", "s.trnd.tmp",
                 marks=pytest.mark.skipif(os.geteuid() != 0, reason="chown needs root")),
], ids=["reader on a FIFO", "build to a FIFO", "create on a FIFO", "publish to a FIFO",
        "linked temporary file", "another user's temporary file"])
def test_refusals_without_a_system_error_carry_no_errno(tmp_path, call, text, names):
    with pytest.raises(TarnIOError) as caught:
        call(tmp_path)
    exc = caught.value
    assert str(exc) == text.format(p=tmp_path)
    assert (exc.errno, exc.strerror, exc.filename) == (None, None, str(tmp_path / names))
    again = pickle.loads(pickle.dumps(exc))
    assert (again.errno, again.strerror, str(again)) == (None, None, str(exc))
