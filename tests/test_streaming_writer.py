"""The package writer at scale: values streamed to disk, keys sorted in runs within a memory
budget and merged at build, the hash index built outside memory, and what failures leave."""

import errno
import json
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers import check_hash_index, run_python, small_tmpfs, strace_works, strip_extension
from storefile import encode_store

import tarndb
from tarndb import TarnIOError, TarnReader, TarnWriter

MiB = 1 << 20


def model_input(seed, n_keys, sorted_keys):
    """Objects and add_key calls: shared prefixes, empty and long keys, and one call in ten
    re-pointing a key given earlier (so, with a small budget, in an earlier run)."""
    rng = random.Random(seed)
    objects = [rng.randbytes(rng.choice([0, 1, 30, 120, 3000])) for _ in range(n_keys // 3 + 1)]
    keys = {b"", b"\xff" * 300}
    while len(keys) < n_keys:
        keys.add(b"user/%06d/%s" % (rng.randrange(10**6), rng.randbytes(rng.randrange(4))))
    keys = sorted(keys) if sorted_keys else rng.sample(sorted(keys), len(keys))
    calls = []
    for i, key in enumerate(keys):
        calls.append((key, rng.randrange(len(objects))))
        if rng.random() < 0.1:
            calls.append((keys[rng.randrange(i + 1)], rng.randrange(len(objects))))
    return objects, calls


def fill(w, objects, calls):
    assert [w.add_raw(p) for p in objects] == list(range(len(objects)))
    for key, obj_id in calls:
        w.add_key(key, obj_id)


@pytest.mark.parametrize("n_keys, sorted_keys, hash_index, min_runs", [
    (40_000, False, False, 4),
    (40_000, True, False, 4),
    (40_000, False, True, 4),
    (30, False, True, 0),
])
def test_bounded_build_equals_the_model(tmp_path, n_keys, sorted_keys, hash_index, min_runs):
    objects, calls = model_input(n_keys, n_keys, sorted_keys)
    expected = encode_store(objects, dict(calls))  # the last call for a key wins
    built = {}
    for name, limit in [("bounded", MiB), ("roomy", None)]:
        w = TarnWriter(memory_limit=limit, spill_dir=tmp_path, hash_index=hash_index)
        fill(w, objects, calls)
        if name == "bounded":
            assert min_runs <= w._runs <= 4 * min_runs + 2
        assert (w.num_objects, w.num_keys) == (len(objects), len(dict(calls)))
        w.build(tmp_path / f"{name}.trnd", quiet=True)
        built[name] = (tmp_path / f"{name}.trnd").read_bytes()
        assert TarnReader(tmp_path / f"{name}.trnd").verify()
    for data in built.values():
        if hash_index:
            check_hash_index(data)
            data = strip_extension(data)
        assert data == expected
    assert sorted(os.listdir(tmp_path)) == ["bounded.trnd", "roomy.trnd"]


@pytest.mark.parametrize("budget, buffer", [(None, MiB), (MiB, 64 << 10)])
def test_values_larger_than_the_buffer_go_straight_to_the_file(tmp_path, budget, buffer):
    # A record of buffer bytes or more bypasses the write buffer: around that
    # size, and far past it, between small ones, its head and payload must
    # both count in the file's checksum (checked by the verified open).
    rng = random.Random(buffer)
    sizes = [buffer - 9, buffer - 8, buffer - 7, buffer + 1, 0, 5 * MiB + 3, 17, buffer + 1]
    model = {b"v%02d" % i: rng.randbytes(n) for i, n in enumerate(sizes)}
    for hash_index in (True, False):
        w = TarnWriter(memory_limit=budget, spill_dir=tmp_path, hash_index=hash_index)
        w.update_raw(model.items())
        w.build(tmp_path / "s.trnd", quiet=True)
        with TarnReader(tmp_path / "s.trnd") as r:
            assert dict(r.raw.items()) == {k.decode(): v for k, v in model.items()}
            assert r.verify()


@pytest.mark.parametrize("seed", range(6))
def test_unique_keys_name_the_earliest_repeat(tmp_path, seed):
    # Puts of a few keys, several of them repeated, before any spill, in and
    # out of key order: the build names the first repeat, its key and the IDs
    # of the key's first put and of that repeat.
    rng = random.Random(seed)
    names = [b"k%d" % i for i in range(rng.choice([3, 6, 600]))]
    puts = rng.sample(names, len(names)) if seed % 2 else list(names)
    for _ in range(2 + seed):
        at = rng.randrange(len(puts) // 2, len(puts) + 1)
        puts.insert(at, rng.choice(puts[:at]))
    first, repeat = {}, None
    for i, key in enumerate(puts):
        if key in first and repeat is None:
            repeat = (key, first[key], i)
        first.setdefault(key, i)
    w = tarndb._store.Writer(unique_keys=True, spill_dir=str(tmp_path))
    for key in puts:
        w.put_raw(key, b"")
    assert w._runs == 0
    with pytest.raises(tarndb.TarnDuplicateKeyError) as raised:
        w.build(str(tmp_path / "s.trnd"))
    e = raised.value
    assert (e.key, e.first_id, e.repeat_id) == repeat
    assert not (tmp_path / "s.trnd").exists()


def test_key_count_follows_puts_after_a_spill(tmp_path):
    # Once keys have spilled, counting merges the runs; every put after a
    # count, new key or repeated one, must show in the next count.
    w = TarnWriter(memory_limit=MiB, spill_dir=tmp_path)
    model = {}
    rng = random.Random(4)
    for step in range(8):
        for _ in range(12_000 if step == 0 else rng.choice([1, 2, 500])):
            key = b"key/%06d" % rng.randrange(10**6 if step % 2 else 30_000)
            model[key] = w.put_raw(key, b"")
        assert w._runs > 0 and w.num_keys == len(model), step
    w.build(tmp_path / "s.trnd", quiet=True)
    with TarnReader(tmp_path / "s.trnd") as r:
        assert len(r) == len(model)


def test_hash_index_is_the_same_in_memory_and_outside_it(tmp_path):
    # With the seed fixed, the externally built table must hold what the in-memory one does:
    # the same slots, each key reachable from its home (layouts within a cluster may differ).
    objects, calls = model_input(7, 20_000, False)
    layouts = []
    for limit in (MiB, None):
        w = tarndb._store.Writer(memory_limit=limit, spill_dir=str(tmp_path), hash_seed=(1, 2))
        fill(w, objects, calls)
        w.build(str(tmp_path / "s.trnd"))
        layouts.append(check_hash_index((tmp_path / "s.trnd").read_bytes()))
    assert layouts[0] == layouts[1] and layouts[0][2] == (1, 2)


@pytest.mark.parametrize("budget", [MiB, None])
def test_published_file_is_never_written_again(tmp_path, budget):
    # The first build links the writer's data file into place; going on must not touch it.
    w = TarnWriter.create(tmp_path / "a.trnd", memory_limit=budget, quiet=True)
    for i in range(3000):
        w.put_raw(b"k%05d" % i, b"v%d" % i)
    w.build()
    first = (tmp_path / "a.trnd").read_bytes()
    w.put_raw(b"k00001", b"again")  # re-points a key of the first build
    w.put_raw(b"new", b"n")
    w.build(tmp_path / "b.trnd", quiet=True)
    assert (tmp_path / "a.trnd").read_bytes() == first
    with TarnReader(tmp_path / "a.trnd") as a, TarnReader(tmp_path / "b.trnd") as b:
        assert a.verify() and b.verify()
        assert (a.raw["k00001"], b.raw["k00001"], b.raw["k02999"]) == (b"v1", b"again", b"v2999")
        assert "new" not in a and len(b) == 3001


def test_unique_keys_report_the_earliest_repeat_across_runs(tmp_path):
    w = tarndb._store.Writer(memory_limit=MiB, spill_dir=str(tmp_path), unique_keys=True)
    rng = random.Random(3)
    keys = rng.sample(range(10**7), 60_000)
    for i, k in enumerate(keys):
        w.put_raw(b"%07d" % k, b"")
    w.put_raw(b"%07d" % keys[5], b"")       # repeats a key of the first run: the earliest
    w.put_raw(b"%07d" % keys[59_999], b"")  # and one of the last
    w.put_raw(b"%07d" % keys[5], b"")
    assert w._runs > 2
    with pytest.raises(ValueError, match="duplicate key") as raised:
        w.build(str(tmp_path / "s.trnd"))
    e = raised.value
    assert (e.key, e.first_id, e.repeat_id) == (b"%07d" % keys[5], 5, 60_000)
    assert not (tmp_path / "s.trnd").exists()


def test_cli_finds_a_repeated_key_across_runs_with_its_lines(tmp_path):
    lines = [json.dumps({"key": "k%06d" % i, "v": i}) for i in range(30_000)]
    lines.insert(25_000, json.dumps({"key": "k000007"}))
    (tmp_path / "in.jsonl").write_text("\n".join(lines) + "\n")
    done = subprocess.run([sys.executable, "-m", "tarndb", "build", "in.jsonl", "s.trnd",
                           "--memory-limit", "1M"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stderr) == (
        2, "tarndb: in.jsonl: line 25001: duplicate key 'k000007' (first on line 8)\n")
    assert os.listdir(tmp_path) == ["in.jsonl"]


KILL_CODE = """
import random, sys
from tarndb import TarnWriter
target, spill = sys.argv[1], sys.argv[2]
rng = random.Random(11)
with TarnWriter.create(target, memory_limit=1 << 20, spill_dir=spill, quiet=True) as w:
    for i in range(200_000):
        w.put_raw(b"key/%09d" % rng.randrange(10**9), rng.randbytes(rng.randrange(200)))
"""


@pytest.mark.timeout(300)
def test_killed_streaming_builder_leaves_old_or_new_and_no_spill_file(tmp_path):
    out, spill = tmp_path / "out", tmp_path / "spill"
    out.mkdir()
    spill.mkdir()
    target = out / "s.trnd"
    started = time.monotonic()
    assert run_python(KILL_CODE, str(target), str(spill), cwd=tmp_path).returncode == 0
    window = 1.3 * (time.monotonic() - started)
    new = strip_extension(target.read_bytes())
    old = encode_store([b"old"], {b"k": 0})
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tarndb.__file__)))
    rng = random.Random(5)
    for _ in range(12):
        target.write_bytes(old)
        proc = subprocess.Popen([sys.executable, "-c", KILL_CODE, str(target), str(spill)],
                                cwd=tmp_path, env=env)
        time.sleep(rng.uniform(0.2 * window, window))
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=60)
        data = target.read_bytes()
        assert data == old or strip_extension(data) == new
        assert TarnReader(target).verify()
        assert os.listdir(spill) == []
        assert set(os.listdir(out)) <= {"s.trnd", "s.trnd.tmp"}
    assert run_python(KILL_CODE, str(target), str(spill), cwd=tmp_path).returncode == 0
    assert os.listdir(out) == ["s.trnd"] and strip_extension(target.read_bytes()) == new


class TestFullDisk:
    @pytest.fixture
    def small(self, tmp_path):
        """A 4 MiB tmpfs (needs root)."""
        with small_tmpfs(tmp_path, "4m") as mount:
            yield mount

    @staticmethod
    def free_blocks(path):
        return os.statvfs(path).f_bfree

    @pytest.mark.parametrize("what, text", [("values", "write data file"),
                                            ("keys", "write spill file")])
    def test_while_spilling(self, tmp_path, small, what, text):
        empty = self.free_blocks(small)
        w = TarnWriter(spill_dir=small, memory_limit=MiB)
        added = 0
        with pytest.raises(TarnIOError) as caught:
            for _ in range(10**6):
                obj_id = w.add_raw(b"v" * 1000 if what == "values" else b"")
                added += 1
                if what == "keys":
                    w.add_key(b"%09d/%s" % (random.randrange(10**9), b"x" * 80), obj_id)
        e = caught.value
        assert (e.errno, e.filename) == (errno.ENOSPC, str(small)) and text in str(e)
        # The failing call changed nothing: the writer still counts what it holds.
        assert w.num_objects == added
        with pytest.raises(TarnIOError):
            w.build(tmp_path / "s.trnd", quiet=True)
        assert not (tmp_path / "s.trnd").exists() and os.listdir(tmp_path) == ["small"]
        del w
        assert self.free_blocks(small) == empty

    def test_while_building(self, tmp_path, small):
        target = small / "s.trnd"
        target.write_bytes(encode_store([b"old"], {b"k": 0}))
        w = TarnWriter.create(target, memory_limit=4 * MiB, quiet=True)
        for i in range(20_000):  # 2.2 MiB of records, then an index of 2.1 MiB
            w.put_raw(b"%0100d" % i, b"v" * 100)
        with pytest.raises(TarnIOError) as caught:
            w.build()
        assert caught.value.errno == errno.ENOSPC
        assert target.read_bytes() == encode_store([b"old"], {b"k": 0})
        # What the build wrote is freed: the old store and the values take all that is used.
        st = os.statvfs(small)
        assert st.f_blocks - st.f_bfree == 1 + -(-(40 + 20_000 * 108) // st.f_bsize)
        assert sorted(os.listdir(small)) == ["s.trnd"]
        # The writer is still usable: once there is room, it builds.
        subprocess.run(["mount", "-o", "remount,size=16m", str(small)], check=True)
        w.build()
        with TarnReader(target) as r:
            assert r.verify() and len(r) == 20_000 and r.raw["%0100d" % 7] == b"v" * 100


COPY_CODE = """
import sys
from tarndb import TarnWriter, TarnReader
target, spill = sys.argv[1], sys.argv[2]
w = TarnWriter(spill_dir=spill, hash_index=False)
for i in range(5000):
    w.put_raw(b"k%05d" % i, bytes([i % 251]) * (i % 700))
w.build(target, quiet=True)
"""


@pytest.mark.skipif(not strace_works(), reason="strace is missing or cannot trace")
@pytest.mark.parametrize("inject", [
    None,                                   # linked into place, nothing copied
    "linkat:error=EXDEV",                   # another file system: kernel copy
    "linkat:error=EXDEV;copy_file_range:error=EXDEV",
    "linkat:error=EXDEV;copy_file_range:error=ENOSYS",
    "linkat:error=EPERM;copy_file_range:error=EOPNOTSUPP",
])
def test_copy_refused_falls_back(tmp_path, inject):
    target = Path(os.path.realpath(tmp_path)) / "s.trnd"
    strace = ["strace", "-f", "-qq", "-o", os.devnull]
    for rule in (inject.split(";") if inject else []):
        strace += ["-e", "inject=" + rule]
    proc = run_python(COPY_CODE, str(target), str(tmp_path), cwd=tmp_path, prefix=strace)
    assert proc.returncode == 0, proc.stderr
    expected = encode_store([bytes([i % 251]) * (i % 700) for i in range(5000)],
                            {b"k%05d" % i: i for i in range(5000)})
    assert target.read_bytes() == expected
    assert os.listdir(tmp_path) == ["s.trnd"]


MEMORY_CODE = """
import random, sys
from tarndb import TarnWriter
target, spill, limit, n, size = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
rng = random.Random(1)
pad = bytes(range(256)) * (size // 256 + 1)
# A small build first, so that the allocator's heap holds what any build
# leaves behind and the figures below show this build, not the process's past.
w = TarnWriter(memory_limit=limit, spill_dir=spill)
for i in range(60000):
    w.put_raw(b"warm/%06d" % i, pad[:size])
w.build(target, quiet=True)
del w
sys.stdout.write("ready\\n"); sys.stdout.flush(); sys.stdin.readline()
w = TarnWriter(memory_limit=limit, spill_dir=spill)
for i in range(n):
    k = rng.getrandbits(40)
    w.put_raw(b"item/%012d" % k, pad[k % 256:k % 256 + size])
sys.stdout.write("%d\\n" % w._runs)
w.build(target, quiet=True)
"""


def rss_anon(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


@pytest.mark.skipif(os.environ.get("LD_PRELOAD", "") != "", reason="sizes memory without ASan")
def test_store_32_times_the_budget_builds_within_it(tmp_path):
    """A 200 MiB store from 850,000 keys with a 4 MiB budget, the keys in 30 runs or more:
    peak RssAnon added by the writer stays within the budget plus 512 KiB (less than its
    buffers: the key map, the merges' read buffers and the hash index's build share the
    budget with them), and the store verifies and holds the input. The writer's own heap
    peaks near 3.4 MiB here (valgrind's massif); RssAnon adds what the allocator keeps of
    small blocks, which varies with the interpreter's heap: 50 to 230 KiB on one machine
    between two installs, more on another, hence the slack."""
    limit, n, size, slack = 4 * MiB, 850_000, 200, 512 << 10
    target = tmp_path / "big.trnd"
    # Large blocks come from mmap and go back when freed, so that RssAnon shows what the
    # writer holds rather than what the allocator keeps.
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tarndb.__file__)),
               MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="65536")
    proc = subprocess.Popen([sys.executable, "-c", MEMORY_CODE, str(target), str(tmp_path),
                             str(limit), str(n), str(size)], env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, cwd=tmp_path)
    assert proc.stdout.readline() == "ready\n"
    base = rss_anon(proc.pid)
    proc.stdin.write("go\n")
    proc.stdin.flush()
    peak = base
    while proc.poll() is None:
        try:
            peak = max(peak, rss_anon(proc.pid))
        except (FileNotFoundError, ProcessLookupError):
            break
        time.sleep(0.002)
    runs = int(proc.stdout.read())
    assert proc.wait() == 0
    proc.stdout.close()
    proc.stdin.close()
    assert peak - base <= limit + slack, f"peak {peak - base} bytes over a {limit}-byte budget"
    assert target.stat().st_size > 32 * limit and runs >= 30
    rng = random.Random(1)
    pad = bytes(range(256)) * (size // 256 + 1)
    expected = {}
    for _ in range(n):
        k = rng.getrandbits(40)
        expected[b"item/%012d" % k] = k % 256
    with TarnReader(target, verify=False) as r:
        assert r.verify() and len(r) == len(expected)
        for key, data in r.raw.items():
            start = expected.pop(key.encode())
            assert data == pad[start:start + size]
    assert not expected


LOCK_HOLDER = """
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT)
fcntl.flock(fd, fcntl.LOCK_EX)
sys.stdout.write("locked\\n"); sys.stdout.flush()
time.sleep(float(sys.argv[2]))
"""


def test_streaming_writer_locks_only_to_publish(tmp_path):
    target = tmp_path / "s.trnd"
    slow = TarnWriter.create(target, quiet=True, hash_index=False)
    slow.put_raw("k", b"slow")
    # While it streams, another builder (the low-level module locks for its whole build) is
    # not held back.
    quick = "from tarndb._tarndb import _TarnWriter as W; w = W(); " \
            "w.add_key('k', w.add_object_raw(b'quick')); w.build(%r)" % str(target)
    assert run_python(quick, cwd=tmp_path, timeout=20).returncode == 0
    assert TarnReader(target).raw["k"] == b"quick"
    # Its own publish takes turns: it waits for a builder holding the temporary file.
    holder = subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, str(tmp_path / "s.trnd.tmp"),
                               "0.5"], stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    started = time.monotonic()
    slow.build()
    assert time.monotonic() - started > 0.3 and holder.wait(timeout=10) == 0
    holder.stdout.close()
    assert TarnReader(target).raw["k"] == b"slow" and os.listdir(tmp_path) == ["s.trnd"]


def test_concurrent_streaming_builders_publish_whole_inputs(tmp_path):
    target = tmp_path / "s.trnd"
    for rnd in range(6):
        inputs = [{b"key/%d/%d/%05d" % (rnd, b, i): b"%d" % b * (i % 300) for i in range(3000)}
                  for b in range(4)]
        start_r, start_w = os.pipe()
        pids = []
        for data in inputs:
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    os.read(start_r, 1)
                    with TarnWriter.create(target, quiet=True, memory_limit=MiB) as w:
                        w.update_raw(data)
                    code = 0
                finally:
                    os._exit(code)
            pids.append(pid)
        os.close(start_r)
        os.write(start_w, b"go" * 4)
        os.close(start_w)
        assert [os.waitstatus_to_exitcode(os.waitpid(p, 0)[1]) for p in pids] == [0] * 4
        data = target.read_bytes()
        check_hash_index(data)
        expected = [encode_store(list(d.values()), {k: i for i, k in enumerate(d)})
                    for d in inputs]
        assert strip_extension(data) in expected
        assert os.listdir(tmp_path) == ["s.trnd"]
