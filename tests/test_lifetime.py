"""Memory, references and descriptors over many calls; readers across fork() and in bulk;
the package module's objects under the cyclic garbage collector."""

import gc
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import types
import weakref

import pytest
from helpers import mapped, open_fds
from storefile import NUM_KEYS_POS, craft, encode_store, entry, patch, record
from tarndb import (TarnDuplicateKeyError, TarnIOError, TarnReader, TarnValueError, TarnWriter,
                    _store)
from tarndb._tarndb import _TarnReader, _TarnWriter

N = 100_000
OPENS = 20_000  # an open maps, parses and unmaps: about 20 us each
OBJECTS = [bytes([i]) * (50 * i) for i in range(8)]
KEYMAP = {b"item/%02d" % i: i % len(OBJECTS) for i in range(12)}
KEYMAP[b""] = 0

# Arguments are module globals so that a reference leaked per call shows in their counts.
KEY, MISSING, PREFIX, BAD_KEY = "item/03", "item/99", "item/1", 1.5
LIST_KEY, PAYLOAD, EXC = list(b"item/05"), b"p" * 4096, ValueError("inside")


def raises(exc, call):
    def failing(c):
        try:
            call(c)
        except exc:
            return
        raise AssertionError(f"expected {exc.__name__}")
    return failing


def enter_exit(c):
    with c.sound:
        pass


def growing(c):
    """A writer that is replaced every 1,000 calls, so added objects are released."""
    c.calls += 1
    if c.calls % 1000 == 0:
        c.growing = _TarnWriter()
    return c.growing


# name -> (call taking the context, number of calls)
CASES = {
    "_TarnWriter()": (lambda c: _TarnWriter(), N),
    "add_object_raw": (lambda c: growing(c).add_object_raw(PAYLOAD), N),
    "add_object_raw wrong type": (raises(TypeError, lambda c: c.w.add_object_raw(KEY)), N),
    "add_key str": (lambda c: c.w.add_key(KEY, 1), N),
    "add_key sequence": (lambda c: c.w.add_key(LIST_KEY, 0), N),
    "add_key bad key type": (raises(ValueError, lambda c: c.w.add_key(BAD_KEY, 0)), N),
    "add_key id out of range": (raises(ValueError, lambda c: c.w.add_key(KEY, 99)), N),
    "build": (lambda c: c.w.build(c.target), OPENS),
    "build to a missing directory": (raises(OSError, lambda c: c.w.build(c.nowhere)), N),
    "repr(writer)": (lambda c: repr(c.w), N),
    "_TarnReader()": (lambda c: _TarnReader(c.sound_path), OPENS),
    "_TarnReader() missing file": (raises(OSError, lambda c: _TarnReader(c.nowhere)), OPENS),
    "_TarnReader() truncated index": (
        raises(RuntimeError, lambda c: _TarnReader(c.truncated_path)), OPENS),
    "_TarnReader() bad argument": (raises(TypeError, lambda c: _TarnReader(PAYLOAD)), N),
    "get_raw": (lambda c: c.sound.get_raw(KEY), N),
    "get_raw missing key": (lambda c: c.sound.get_raw(MISSING), N),
    "get_raw bad key type": (raises(ValueError, lambda c: c.sound.get_raw(BAD_KEY)), N),
    "get_raw corrupt object": (raises(RuntimeError, lambda c: c.corrupt.get_raw(KEY)), N),
    "get_raw extra argument": (raises(TypeError, lambda c: c.sound.get_raw(KEY, KEY)), N),
    "exists": (lambda c: c.sound.exists(LIST_KEY), N),
    "exists bad key type": (raises(ValueError, lambda c: c.sound.exists(BAD_KEY)), N),
    "keys": (lambda c: c.sound.keys(), N),
    "items_raw": (lambda c: c.sound.items_raw(), N),
    "items_raw corrupt object": (raises(RuntimeError, lambda c: c.corrupt.items_raw()), N),
    "prefix_raw": (lambda c: c.sound.prefix_raw(PREFIX), N),
    "prefix_raw bad type": (raises(ValueError, lambda c: c.sound.prefix_raw(BAD_KEY)), N),
    "prefix_raw corrupt object": (raises(RuntimeError, lambda c: c.corrupt.prefix_raw("")), N),
    "objects_raw": (lambda c: c.sound.objects_raw(), N),
    "objects_raw corrupt object": (raises(RuntimeError, lambda c: c.corrupt.objects_raw()), N),
    "verify": (lambda c: c.sound.verify(), N),
    "verify corrupt object": (raises(RuntimeError, lambda c: c.corrupt.verify()), N),
    "stats": (lambda c: c.sound.stats(), N),
    "close": (lambda c: c.sound.close(), N),
    "with": (enter_exit, N),
    "__exit__ with exception": (lambda c: c.sound.__exit__(ValueError, EXC, None), N),
    "repr(reader)": (lambda c: repr(c.sound), N),
}


def growing_store(c):
    """A package writer replaced every 1,000 calls, as growing() is."""
    c.store_calls += 1
    if c.store_calls % 1000 == 0:
        c.store_growing = TarnWriter()
    return c.store_growing


def store_puts(w):
    w.add_key(PREFIX, w.put(KEY, LIST_KEY))
    w.put_raw(MISSING, PAYLOAD)


def store_batches(w):
    w.update_raw(PAIRS)
    w.put_many_raw(MANY_KEYS, PAYLOAD)


def reader_misc(c):
    r = TarnReader(c.package_path)
    r._section(b"none", 1), len(r), r.closed
    r.close()


def writer_misc(w):
    w.add(LIST_KEY), w.add_raw(PAYLOAD), w.update({KEY: 1}), w.put_many([KEY, PREFIX], None)
    w.num_objects, w.num_keys, w._runs, w._published, _store.Writer._storable_key(KEY)
    w._set_section(b"test", 1, PAYLOAD)


def shards_misc(shards):
    shards.get(KEY), KEY in shards, len(shards), list(shards.prefix(PREFIX)), list(shards._values())


def shard_functions(c):
    _store.shard_of(KEY, 4), _store._group_by_shard(MANY_KEYS, 4)
    _store._unpack_pairs(_store._pack_by_shard(MANY_KEYS, [PAYLOAD] * len(MANY_KEYS), 4)[0])


# The package module's calls, with their error paths: each exception is caught and dropped.
LONG_KEY, MANY_KEYS, PAIRS = "x" * 70_000, [KEY, MISSING] * 50, [(KEY, PAYLOAD), (PREFIX, b"")]
STORE_CASES = {
    "Reader()": (lambda c: TarnReader(c.package_path), OPENS),
    "Reader() missing file": (raises(TarnIOError, lambda c: TarnReader(c.nowhere)), OPENS),
    "Reader() undecodable value type": (
        raises(TarnValueError, lambda c: TarnReader(c.package_path, value_type=int)[KEY]), OPENS),
    "reader[key]": (lambda c: c.pr[KEY], N),
    "reader[missing] KeyError": (raises(KeyError, lambda c: c.pr[MISSING]), N),
    "reader[bad key type]": (raises(TypeError, lambda c: c.pr[BAD_KEY]), N),
    "reader.get / in": (lambda c: (c.pr.get(MISSING, EXC), KEY in c.pr), N),
    "reader.get_many": (lambda c: c.pr.get_many(MANY_KEYS, EXC), N // 10),
    "reader.get_many one key": (raises(TypeError, lambda c: c.pr.get_many(KEY)), N),
    "iteration": (lambda c: (list(c.pr), list(c.pr.items()), list(c.pr.values())), N // 10),
    "objects, prefix": (lambda c: (list(c.pr.objects()), list(c.pr.prefix(PREFIX))), N // 10),
    "undecodable value": (raises(TarnValueError, lambda c: c.undecodable[KEY]), N),
    "raw view": (lambda c: c.pr.raw.get_many(MANY_KEYS), N // 10),
    "reader verify, stats": (lambda c: (c.pr.verify(), c.pr.stats()), N // 10),
    "shards": (lambda c: (c.shards[KEY], c.shards.get_many(MANY_KEYS), list(c.shards)), N // 10),
    "Writer()": (lambda c: TarnWriter(), OPENS),
    "put, put_raw, add_key": (lambda c: store_puts(growing_store(c)), N),
    "update_raw, put_many_raw": (lambda c: store_batches(growing_store(c)), N),
    "_update_packed": (lambda c: growing_store(c)._update_packed(c.packed), N),
    "put unencodable value": (raises(TypeError, lambda c: c.sw.put(KEY, EXC)), N),
    "put key too long": (raises(ValueError, lambda c: c.sw.put_raw(LONG_KEY, PAYLOAD)), N),
    "add_key out of range": (raises(ValueError, lambda c: c.sw.add_key(KEY, 99)), N),
    "writer build": (lambda c: c.sw.build(c.target, quiet=True), OPENS),
    "build duplicate key": (raises(TarnDuplicateKeyError, lambda c: c.dup.build(c.target)), OPENS),
    "build to a missing directory": (raises(TarnIOError, lambda c: c.sw.build(c.nowhere)), OPENS),
    "publish_file": (lambda c: _store.publish_file(c.target, PAYLOAD), OPENS),
    "reader close, len, _section": (lambda c: reader_misc(c), OPENS),
    "writer add, update, figures, sections": (lambda c: writer_misc(growing_store(c)), N // 10),
    "shards get, in, len, prefix, values": (lambda c: shards_misc(c.shards), N // 10),
    "shard functions": (lambda c: shard_functions(c), N // 10),
    "_storable_key too long": (
        raises(ValueError, lambda c: _store.Writer._storable_key(LONG_KEY)), N),
    "shard_of bad count": (raises(ValueError, lambda c: _store.shard_of(KEY, 0)), N),
}
CASES.update(STORE_CASES)


def store_context(c, file):
    """The package module's objects that the cases use, in c."""
    c.store_calls, c.store_growing, c.package_path = 0, TarnWriter(), file("package.trnd")
    c.pr = TarnReader(c.package_path)
    c.undecodable = _store.Reader(c.package_path, decode=int)
    c.shards = _store.Shards()
    c.shards._set_shards([_store.Reader(file(f"shard{i}.trnd"), decode=len) for i in range(2)])
    c.packed = _store._pack_by_shard([KEY, PREFIX], [PAYLOAD, b""], 1)[0]
    c.sw = TarnWriter()
    c.sw.put(KEY, LIST_KEY)
    c.dup = TarnWriter(_unique_keys=True)
    c.dup.update_raw([(KEY, b"\xc0"), (KEY, b"\xc0")])


def write_package_stores(data):
    """The stores the package module's cases read: one, and one in two shards."""
    pairs = {k.decode(): list(OBJECTS[i][:8]) for k, i in KEYMAP.items()}
    w = TarnWriter()
    w.update(pairs)
    w.build(data / "package.trnd", quiet=True)
    for i in range(2):
        w = TarnWriter()
        w.update_raw([(k, b"%d" % len(v)) for k, v in pairs.items() if _store.shard_of(k, 2) == i])
        w.build(data / f"shard{i}.trnd", quiet=True)


def memory():
    """kB resident (all, anonymous) and mapped, from /proc/self/status."""
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return [int(fields[name].split()[0]) for name in ("VmRSS", "RssAnon", "VmSize")]


def state(c):
    watched = [KEY, MISSING, PREFIX, BAD_KEY, LIST_KEY, PAYLOAD, EXC, c.w, c.sound, c.corrupt,
               LONG_KEY, MANY_KEYS, PAIRS, c.pr, c.undecodable, c.shards, c.sw, c.dup, c.packed]
    gc.collect()
    return (memory(), sys.getallocatedblocks(), len(os.listdir("/proc/self/fd")),
            [sys.getrefcount(obj) for obj in watched])


def measure(data_dir, out_path):
    """Run every case in this process; builds go to a tmpfs, where fsync costs nothing."""
    scratch = tempfile.mkdtemp(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else data_dir)
    try:
        results = run_cases(scratch, lambda name: os.path.join(data_dir, name))
    finally:
        shutil.rmtree(scratch)
    with open(out_path, "w") as f:
        json.dump(results, f)


def run_cases(scratch, file):
    """Growth of each case, from the end of a warm-up to the end of its calls."""
    c = types.SimpleNamespace(
        calls=0, growing=_TarnWriter(), w=_TarnWriter(), target=os.path.join(scratch, "b.trnd"),
        nowhere=file("missing/x.trnd"), sound_path=file("sound.trnd"),
        truncated_path=file("truncated.trnd"), corrupt=_TarnReader(file("corrupt.trnd")))
    c.w.add_key(KEY, c.w.add_object_raw(PAYLOAD))
    c.w.add_object_raw(b"")
    c.sound = _TarnReader(c.sound_path)
    store_context(c, file)
    results = {}
    for name, (call, count) in CASES.items():
        for _ in range(count // 5):
            call(c)
        warm = state(c)
        for _ in range(count - count // 5):
            call(c)
        end = state(c)
        results[name] = {"kB": [b - a for a, b in zip(warm[0], end[0])], "blocks": end[1] - warm[1],
                         "fds": end[2] - warm[2], "refs": [b - a for a, b in zip(warm[3], end[3])]}
    return results


MEASURE_CODE = """
import os, sys
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the summary lines of the builds
sys.path.insert(0, sys.argv[1])
import test_lifetime
test_lifetime.measure(sys.argv[2], sys.argv[3])
"""


@pytest.fixture(scope="module")
def growth(tmp_path_factory):
    data = tmp_path_factory.mktemp("leaks")
    store = encode_store(OBJECTS, KEYMAP)
    (data / "sound.trnd").write_bytes(store)
    (data / "truncated.trnd").write_bytes(patch(store, NUM_KEYS_POS, ">I", len(KEYMAP) + 1))
    # Every key names a record whose length runs past the end of the file.
    (data / "corrupt.trnd").write_bytes(craft(record(b"abc", length=1000),
                                              entry(KEY.encode(), 40), num_keys=1))
    write_package_stores(data)
    env = dict(os.environ)
    if "libasan" in env.get("LD_PRELOAD", ""):
        # Freed memory must be reused at once, not parked in quarantine.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
    proc = subprocess.run(
        [sys.executable, "-c", MEASURE_CODE, os.path.dirname(__file__), str(data),
         str(data / "out.json")], capture_output=True, text=True, timeout=300, cwd=data, env=env)
    assert (proc.returncode, proc.stderr) == (0, "")
    return json.loads((data / "out.json").read_text())


# The first test also runs the module's measurement: 3.6 million calls in a child allowed 300 s.
@pytest.mark.timeout(600)
class TestNoGrowth:
    @pytest.mark.parametrize("case", list(CASES))
    def test_repeated_calls(self, growth, case):
        result = growth[case]
        rss, anon, mapped = result["kB"]
        summary = f"{case}: {result}"
        assert rss <= 2048 and anon <= 2048 and mapped <= 8192, summary
        # Python objects: allocated blocks are counted only with Python's own allocator.
        assert result["blocks"] <= 1000, summary
        assert result["fds"] == 0 and result["refs"] == [0] * len(result["refs"]), summary


class TestSharing:
    def test_reader_opened_before_fork_serves_the_child(self, tmp_path):
        path = str(tmp_path / "s.trnd")
        (tmp_path / "s.trnd").write_bytes(encode_store(OBJECTS, KEYMAP))
        r = _TarnReader(path)
        by_key = {k.decode(): OBJECTS[i] for k, i in sorted(KEYMAP.items())}
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                checks = [
                    r.get_raw(KEY) == by_key[KEY], r.get_raw(MISSING) is None, r.exists(b""),
                    r.keys() == list(by_key), r.items_raw() == list(by_key.items()),
                    r.prefix_raw(PREFIX) == [(k, v) for k, v in by_key.items()
                                             if k.startswith(PREFIX)],
                    r.objects_raw() == OBJECTS, r.verify() is True,
                ]
                code = 10 + checks.index(False) if False in checks else 0
                del r  # unmapping in the child must not disturb the parent
                gc.collect()
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert r.get_raw(KEY) == by_key[KEY] and r.verify() is True

    @pytest.mark.parametrize("verify", [True, False])
    def test_readers_hold_mappings_not_descriptors(self, tmp_path, verify):
        path = str(tmp_path / "s.trnd")
        (tmp_path / "s.trnd").write_bytes(encode_store(OBJECTS, KEYMAP))
        before = open_fds()
        readers = [_TarnReader(path, verify=verify) for _ in range(100)]
        assert open_fds() == before
        assert len(mapped(path)) == 100
        assert all(r.get_raw(KEY) == OBJECTS[3] for r in readers)
        del readers
        assert mapped(path) == [] and open_fds() == before


# -- the package module's objects and the cyclic garbage collector --------------------------


class Holder:
    """A callable that holds what it is given: the far end of a reference cycle."""

    def __init__(self, fn=bytes):
        self.fn, self.held = fn, None

    def __call__(self, value):
        return self.fn(value)


def writer_through_encode(path):
    h = Holder(lambda v: b"%d" % v)
    h.held = _store.Writer(encode=h)
    h.held.put("k", 1)
    return h


def reader_through_decode(path):
    h = Holder()
    h.held = _store.Reader(path, decode=h)
    return h


def iterator_through_decode(path):
    h = Holder()
    h.held = _store.Reader(path, decode=h)._items()
    next(h.held)
    return h


def view_through_reader_attribute(path):
    r = type("R", (TarnReader,), {})(path)  # a subclass with a __dict__
    r.view = r.raw
    return r


def shards_through_decode(path):
    h = Holder()
    h.held = _store.Shards()
    h.held._set_shards([_store.Reader(path, decode=h)])
    return h


def merged_iterator_through_decode(path):
    shards = shards_through_decode(path)
    shards.held = shards.held._items()
    next(shards.held)
    return shards


def subclass_through_its_class(base, *args):
    cls = type("Sub", (base,), {})
    cls.instance = cls(*args)  # the instance holds its class in turn
    return cls


CYCLES = {
    "writer <-> encode": writer_through_encode,
    "reader <-> decode": reader_through_decode,
    "iterator -> reader <-> decode": iterator_through_decode,
    "reader <-> its raw view": view_through_reader_attribute,
    "shards -> reader <-> decode": shards_through_decode,
    "merged iterator -> readers <-> decode": merged_iterator_through_decode,
    "TarnWriter subclass <-> instance": lambda path: subclass_through_its_class(TarnWriter),
    "TarnReader subclass <-> instance": lambda path: subclass_through_its_class(TarnReader, path),
    "Shards subclass <-> instance": lambda path: subclass_through_its_class(_store.Shards),
}

# Scans made from a reader that nothing else holds: each must keep its reader open.
SCANS = {
    "keys": lambda r: iter(r),
    "items": lambda r: iter(r.items()),
    "raw values": lambda r: iter(r.raw.values()),
    "prefix": lambda r: r.prefix(PREFIX),
    "objects": lambda r: r.objects(),
}


@pytest.fixture
def package(tmp_path):
    write_package_stores(tmp_path)
    return str(tmp_path / "package.trnd")


class TestObjectModel:
    @pytest.mark.parametrize("make", list(CYCLES.values()), ids=list(CYCLES))
    def test_cycles_are_collected_and_release_their_store(self, package, make):
        gc.collect()
        ref = weakref.ref(make(package))
        assert ref() is not None
        gc.collect()
        assert ref() is None and mapped(package) == []

    @pytest.mark.parametrize("scan", list(SCANS.values()), ids=list(SCANS))
    def test_a_scan_outlives_its_reader(self, package, scan):
        with TarnReader(package) as kept:
            expected = list(scan(kept))
        it = scan(TarnReader(package))
        gc.collect()
        assert len(mapped(package)) == 1 and list(it) == expected and expected
        del it
        assert mapped(package) == []

    def test_subclasses_keep_their_own_behaviour(self, tmp_path):
        class Writer(TarnWriter):
            def put(self, key, value):
                return super().put(key.upper(), value)

        class Reader(TarnReader):
            def total(self):
                return sum(map(sum, self.values()))

        w = Writer()
        w.put("a", [1, 2])
        w.update({"b": [3]})
        w.build(tmp_path / "s.trnd", quiet=True)
        with Reader(tmp_path / "s.trnd", value_type=tuple) as r, r.reopen() as again:
            assert (dict(r), r.total()) == ({"A": (1, 2), "b": (3,)}, 6)
            assert type(again) is Reader and again["A"] == (1, 2)  # value_type kept
            assert gc.is_tracked(r) and gc.is_tracked(w)

    def test_each_module_object_has_its_own_classes(self, package):
        spec = importlib.util.spec_from_file_location(_store.__name__, _store.__file__)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(second)
        assert {second.Reader, second.ReaderIterator, second.Writer, second.Shards}.isdisjoint(
            {_store.Reader, _store.ReaderIterator, _store.Writer, _store.Shards})
        r = second.Reader(package, decode=len)
        assert type(iter(r)) is second.ReaderIterator and r[KEY] == len(OBJECTS[3][:8]) + 1
        with pytest.raises(TarnIOError):  # the package's classes, from the second module too
            second.Reader(package + ".missing")
        with pytest.raises(TarnValueError):
            second.Reader(package, decode=int)[KEY]
        w = second.Writer(unique_keys=True)
        w.update_raw([("k", b"1"), ("k", b"2")])
        with pytest.raises(TarnDuplicateKeyError):
            w.build(package + ".new")
        module = weakref.ref(second)
        del second, spec, r, w
        gc.collect()
        assert module() is None and mapped(package) == []
