"""Memory, references and descriptors over many calls; readers across fork() and in bulk."""

import gc
import json
import os
import shutil
import subprocess
import sys
import tempfile
import types

import pytest
from helpers import mapped, open_fds
from storefile import NUM_KEYS_POS, craft, encode_store, entry, patch, record
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


def memory():
    """kB resident (all, anonymous) and mapped, from /proc/self/status."""
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return [int(fields[name].split()[0]) for name in ("VmRSS", "RssAnon", "VmSize")]


def state(c):
    watched = [KEY, MISSING, PREFIX, BAD_KEY, LIST_KEY, PAYLOAD, EXC, c.w, c.sound, c.corrupt]
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
