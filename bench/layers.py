"""Layered stores against one store of the same content, side by side.

    python bench/layers.py [--keys N] [--delta M] [--dir DIR] [--sharded N]

1. Reads: a base of N keys (default 10^7) and three deltas of M changes
   each (default N/100: puts of new keys, new values of old keys, and
   deletes, mixed) read as a stack, against one store of the same final
   content (the stack compacted). Random hits, misses, get_many and key
   iteration; each figure the best of five rounds, the two readers
   alternating, reported as stack / single.
2. Compaction: a base of N keys and a delta of N/10 changes merged by
   tarndb.compact, against building the same content with update_raw from
   pre-sorted pairs; the compaction's peak anonymous memory (RssAnon of a
   subprocess, sampled every 2 ms) against its memory_limit. The peak comes
   from a run of its own, after the timed ones: sampling from this process
   slowed the sampled compaction by a second and more at 10^7 keys on a
   2-core machine (its time is shown too).
3. With --sharded K: a K-key directory store built with to_tarn (Dask's
   synchronous scheduler), a delta of K/100 changes committed with
   mode="update", and a build of K/100 keys, each timed.

Prints one Markdown table per part, and the machine's load average.
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

import msgspec

import tarndb
from streaming import rss_anon

ENCODE = msgspec.msgpack.encode


def key(i: int) -> str:
    return f"user/{i:010d}"


def value(i: int, layer: int) -> bytes:
    return ENCODE([i, layer, "profile-%08d" % (i * 7 + layer)])


def build_base(path: str, n: int) -> None:
    w = tarndb.TarnWriter()
    w.update_raw((key(2 * i), value(2 * i, 0)) for i in range(n))
    w.build(path, quiet=True)


def build_delta(path: str, n: int, m: int, layer: int, rnd: random.Random) -> None:
    """m changes: a third new keys, a third new values of old keys, a third deletes."""
    w = tarndb.TarnWriter()
    for _ in range(m):
        r = rnd.random()
        if r < 1 / 3:
            i = 2 * rnd.randrange(n, n + n // 10)  # keys past the base
            w.put_raw(key(i), value(i, layer))
        elif r < 2 / 3:
            i = 2 * rnd.randrange(n)
            w.put_raw(key(i), value(i, layer))
        else:
            w.delete(key(2 * rnd.randrange(n)))
    w.build(path, quiet=True)


def best(fn, rounds=3):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def read_figures(stack, single, n):
    rnd = random.Random(5)
    sample = [key(2 * rnd.randrange(n)) for _ in range(300000)]
    hits = [k for k in sample if k in single][:200000]
    misses = [key(2 * rnd.randrange(n) + 1) for _ in range(200000)]  # odd: never stored
    batches = [hits[i:i + 1000] for i in range(0, len(hits), 1000)]

    def lookups(r, keys):
        return lambda: [r[k] for k in keys]

    def absent(r, keys):
        return lambda: [k in r for k in keys]

    def many(r):
        return lambda: [r.get_many(b) for b in batches]

    def iterate(r):
        return lambda: sum(1 for _ in r)

    rows = []
    for name, make, count in (("random hits", lambda r: lookups(r, hits), len(hits)),
                              ("misses", lambda r: absent(r, misses), len(misses)),
                              ("get_many (1,000 keys)", many, len(hits)),
                              ("iteration (keys)", iterate, len(single))):
        a, b = [], []
        for _ in range(5):  # alternate, so that both see the same machine
            a.append(best(make(stack), 1))
            b.append(best(make(single), 1))
        ta, tb = min(a), min(b)
        rows.append((name, ta / count * 1e9, tb / count * 1e9, ta / tb))
    return rows


def peak_anon_of(code: str, *args: str, sample: bool = True) -> tuple:
    """Run code in a subprocess; (seconds, peak RssAnon above its start), the
    peak 0 when not sampled."""
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="65536")
    proc = subprocess.Popen([sys.executable, "-c", code, *args], env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline() == "ready\n"
    base = rss_anon(proc.pid)
    proc.stdin.write("go\n")
    proc.stdin.flush()
    peak = base
    while sample and proc.poll() is None:
        try:
            peak = max(peak, rss_anon(proc.pid))
        except (FileNotFoundError, ProcessLookupError):
            break
        time.sleep(0.002)
    seconds = float(proc.stdout.read())
    proc.wait()
    return seconds, peak - base


COMPACT_CODE = """
import sys, time, tarndb
out, limit, layers = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
stack = tarndb.LayeredReader(layers)
print("ready", flush=True)
sys.stdin.readline()
t = time.perf_counter()
tarndb.compact(out, stack, memory_limit=limit)
print(time.perf_counter() - t)
"""


def compaction_figures(tmp, n, limit):
    base, delta = os.path.join(tmp, "c-base.trnd"), os.path.join(tmp, "c-delta.trnd")
    build_base(base, n)
    build_delta(delta, n, n // 10, 1, random.Random(9))
    out = os.path.join(tmp, "c-out.trnd")
    args = (out, str(limit), delta, base)
    seconds, _ = peak_anon_of(COMPACT_CODE, *args, sample=False)
    with tarndb.TarnReader(out) as r:
        pairs = list(r.raw.items())  # pre-sorted, made before the clock starts
    built = os.path.join(tmp, "c-built.trnd")

    def rebuild():
        w = tarndb.TarnWriter(memory_limit=limit)
        w.update_raw(pairs)
        w.build(built, quiet=True)

    build_seconds = best(rebuild, 1)
    del pairs
    sampled_seconds, peak = peak_anon_of(COMPACT_CODE, *args)
    return seconds, build_seconds, sampled_seconds, peak


def sharded_figures(tmp, k):
    import dask.bag as db
    from tarndb.dask import to_tarn

    root = os.path.join(tmp, "sharded")
    parts = max(1, k // 1_000_000)
    records = db.range(k, npartitions=parts * 4).map(lambda i: {"key": key(2 * i), "v": i})
    t = time.perf_counter()
    to_tarn(records, root, shards=16, key="key", value="v", scheduler="sync")
    full = time.perf_counter() - t
    m = k // 100
    changes = db.range(m, npartitions=4).map(
        lambda j: {"key": key(2 * ((j * 7919) % k)), "v": -j, "gone": j % 3 == 0})
    t = time.perf_counter()
    to_tarn(changes, root, shards=16, key="key", value="v", mode="update", delete="gone",
            scheduler="sync")
    delta = time.perf_counter() - t
    small = db.range(m, npartitions=4).map(lambda i: {"key": key(2 * i), "v": i})
    t = time.perf_counter()
    to_tarn(small, os.path.join(tmp, "small"), shards=16, key="key", value="v", scheduler="sync")
    return full, delta, time.perf_counter() - t


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--keys", type=int, default=10_000_000)
    p.add_argument("--delta", type=int, default=None)
    p.add_argument("--dir", default=None)
    p.add_argument("--memory-limit", type=int, default=256 << 20)
    p.add_argument("--sharded", type=int, default=0)
    p.add_argument("--sharded-only", action="store_true", help="part 3 alone")
    args = p.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        if not args.sharded_only:
            stack_and_compaction(args, tmp)
        if args.sharded:
            full, delta, small = sharded_figures(tmp, args.sharded)
            k = args.sharded
            print(f"\n## Directory store: {k:,} keys, 16 shards, a delta of {k // 100:,}\n")
            print("| full build | delta commit | build of the delta's size |\n|---|---|---|")
            print(f"| {full:.1f} s | {delta:.1f} s | {small:.1f} s |")
    print(f"\nload average: {os.getloadavg()}")


def stack_and_compaction(args: argparse.Namespace, tmp: str) -> None:
    """Parts 1 and 2."""
    n, m = args.keys, args.delta or args.keys // 100
    rnd = random.Random(1)
    paths = [os.path.join(tmp, "base.trnd")]
    build_base(paths[0], n)
    for layer in (1, 2, 3):
        paths.insert(0, os.path.join(tmp, f"delta{layer}.trnd"))
        build_delta(paths[0], n, m, layer, rnd)
    t = time.perf_counter()
    tarndb.compact(os.path.join(tmp, "single.trnd"), paths)
    print(f"(compacting the stack took {time.perf_counter() - t:.1f} s)")
    with tarndb.open(paths) as stack, tarndb.TarnReader(os.path.join(tmp, "single.trnd")) \
            as single:
        assert len(stack) == len(single)
        print(f"\n## Reads: {n:,} keys + 3 deltas of {m:,} changes vs one store\n")
        print("| operation | stack | one store | stack / one |\n|---|---|---|---|")
        for name, a, b, ratio in read_figures(stack, single, n):
            print(f"| {name} | {a:.0f} ns | {b:.0f} ns | {ratio:.2f}x |")
    for path in paths:
        os.remove(path)
    os.remove(os.path.join(tmp, "single.trnd"))
    seconds, build_seconds, sampled, peak = compaction_figures(tmp, n, args.memory_limit)
    print(f"\n## Compaction: {n:,} keys + a delta of {n // 10:,}\n")
    print("| compact | update_raw + build | speed-up | compact, memory sampled "
          "| peak RssAnon | limit + 32 MiB |")
    print("|---|---|---|---|---|---|")
    print(f"| {seconds:.2f} s | {build_seconds:.2f} s | {build_seconds / seconds:.2f}x | "
          f"{sampled:.2f} s | {peak / 2**20:.0f} MiB | {(args.memory_limit >> 20) + 32} MiB |")


if __name__ == "__main__":
    main()
