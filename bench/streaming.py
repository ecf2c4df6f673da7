#!/usr/bin/env python3
"""Writers at scale: memory against the budget, and build time against peers.

    python bench/streaming.py memory [--keys N] [--value-bytes B] [--limit MiB] [--dir D]
    python bench/streaming.py bigvalues [--gib G] [--dir D] [--rounds R]
    python bench/streaming.py build --baseline PYTHONPATH [--keys N] [--rounds R]

memory     builds a store of N keys (default 10^8) with values of B bytes in a
           child process under memory_limit=L MiB and samples the child's
           RssAnon every 10 ms; reports the peak above the child's own start,
           the store's size and its ratio to the budget, then verify()s it.
bigvalues  writes G GiB (default 4) of 1 MiB values with TarnWriter.create and
           build, and, alternately in the same run, the same bytes with one
           large write loop and fsync; reports the medians and their ratio.
build      the build row of bench/run.py (10^6 text keys, 100-byte values,
           add_raw + add_key, build) with the installed tarndb and the baseline
           (a PYTHONPATH holding another tarndb), alternately, in fresh
           processes; reports medians and their ratio.  Both without and with
           the hash index where the baseline has no such option.
Not run in CI; the figures go into the report of the change that ran them.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

MiB = 1 << 20
# Children run away from the source tree (whose tarndb/ holds no built
# module), so that they import the tarndb this interpreter has installed,
# unless a PYTHONPATH is given for them (the baseline of "build").
CHILD_CWD = tempfile.gettempdir()


def child_env(pythonpath=None):
    return dict(os.environ, PYTHONPATH=pythonpath) if pythonpath else dict(os.environ)

MEMORY_CHILD = r"""
import random, sys, time
from tarndb import TarnWriter
target, spill, limit, n, size = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
print("ready", flush=True); sys.stdin.readline()
rng = random.Random(1)
pad = bytes(rng.getrandbits(8) for _ in range(size + 256))
w = TarnWriter.create(target, memory_limit=limit, spill_dir=spill, quiet=True)
t0 = time.perf_counter()
batch = []
for i in range(n):
    k = rng.getrandbits(48)
    batch.append((b"user/%015d" % k, pad[k & 255:(k & 255) + size]))
    if len(batch) == 8192:
        w.update_raw(batch)
        batch.clear()
w.update_raw(batch)
t1 = time.perf_counter()
w.build()
t2 = time.perf_counter()
print(w._runs, t1 - t0, t2 - t1, flush=True)
"""


def rss_anon(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def memory(args):
    target = os.path.join(args.dir, "tarndb-memory-%d.trnd" % os.getpid())
    limit = args.limit * MiB
    proc = subprocess.Popen([sys.executable, "-c", MEMORY_CHILD, target, args.dir, str(limit),
                             str(args.keys), str(args.value_bytes)], env=child_env(), cwd=CHILD_CWD,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline() == "ready\n"
    base = peak = rss_anon(proc.pid)
    proc.stdin.write("go\n")
    proc.stdin.flush()
    while proc.poll() is None:
        try:
            peak = max(peak, rss_anon(proc.pid))
        except (FileNotFoundError, ProcessLookupError):
            break
        time.sleep(0.01)
    runs, fill_s, build_s = proc.stdout.read().split()
    if proc.wait() != 0:
        sys.exit("the writer failed")
    size = os.path.getsize(target)
    print(f"keys {args.keys:,}, values {args.value_bytes} B, budget {args.limit} MiB")
    print(f"store {size / (1 << 30):.2f} GiB = {size / limit:.1f} x the budget; {runs} runs")
    print(f"peak RssAnon added: {(peak - base) / MiB:.1f} MiB "
          f"(budget + {(peak - base - limit) / MiB:+.1f} MiB); child start {base / MiB:.1f} MiB")
    print(f"adding {float(fill_s):.1f} s, build {float(build_s):.1f} s")
    if args.verify:
        from tarndb import TarnReader
        t = time.perf_counter()
        with TarnReader(target, verify=False) as r:
            r.verify()
        print(f"verify() {time.perf_counter() - t:.1f} s")
    os.unlink(target)


BIG_CHILD = r"""
import os, sys, time
from tarndb import TarnWriter
mode, path, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
block = os.urandom(1 << 20)
t = time.perf_counter()
if mode == "tarndb":
    with TarnWriter.create(path, quiet=True) as w:
        for i in range(count):
            w.put_raw(b"%08d" % i, block)
else:
    fd = os.open(path + ".plain", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
    for i in range(count):
        os.write(fd, block)
    os.fsync(fd)
    os.close(fd)
    os.rename(path + ".plain", path)
print(time.perf_counter() - t)
"""


def bigvalues(args):
    count = args.gib * 1024
    path = os.path.join(args.dir, "tarndb-big-%d" % os.getpid())
    times = {"tarndb": [], "plain": []}
    for _ in range(args.rounds):
        for mode in times:
            os.sync()  # start each from a clean page cache state
            out = subprocess.run([sys.executable, "-c", BIG_CHILD, mode, path, str(count)],
                                 env=child_env(), cwd=CHILD_CWD, capture_output=True, text=True,
                                 check=True).stdout
            times[mode].append(float(out))
            os.unlink(path)
    t, p = statistics.median(times["tarndb"]), statistics.median(times["plain"])
    print(f"{count} x 1 MiB: tarndb build {t:.2f} s, write loop + fsync {p:.2f} s, "
          f"ratio {t / p:.2f} (rounds: {times})")


BUILD_CHILD = r"""
import random, sys, time
from tarndb import _store
n, path, hidx = int(sys.argv[1]), sys.argv[2], sys.argv[3]
rng = random.Random(42)
keys = ["user/%09d/profile" % rng.randrange(10**9) for _ in range(n)]
values = [rng.randbytes(100) for _ in range(n - n // 10)]
key_obj = [i if i < len(values) else rng.randrange(len(values)) for i in range(n)]
try:
    w = _store.Writer(hash_index=(hidx == "1"))
except TypeError:
    w = _store.Writer()
t = time.perf_counter()
add_raw, add_key = w.add_raw, w.add_key
for v in values:
    add_raw(v)
for k, o in zip(keys, key_obj):
    add_key(k, o)
w.build(path)
print(time.perf_counter() - t)
"""


def build(args):
    path = os.path.join(args.dir, "tarndb-build-%d.trnd" % os.getpid())
    variants = {"this, no hash index": (None, "0"), "this, hash index": (None, "1"),
                "baseline": (args.baseline, "0")}
    times = {name: [] for name in variants}
    for _ in range(args.rounds):
        for name, (pythonpath, hidx) in variants.items():
            out = subprocess.run([sys.executable, "-c", BUILD_CHILD, str(args.keys), path, hidx],
                                 env=child_env(pythonpath), cwd=CHILD_CWD, capture_output=True,
                                 text=True, check=True).stdout
            times[name].append(float(out))
            os.unlink(path)
    base = statistics.median(times["baseline"])
    for name, samples in times.items():
        m = statistics.median(samples)
        print(f"{name}: {m * 1e9 / args.keys:.0f} ns per key (median of {len(samples)}), "
              f"{m / base:.3f} x baseline")


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=["memory", "bigvalues", "build"])
    ap.add_argument("--keys", type=int)
    ap.add_argument("--value-bytes", type=int, default=200)
    ap.add_argument("--limit", type=int, default=512, help="memory_limit in MiB")
    ap.add_argument("--gib", type=int, default=4)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--baseline", help="PYTHONPATH of the tarndb to compare with")
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--verify", action="store_true")
    args = ap.parse_args()
    if args.what == "memory":
        args.keys = args.keys or 10**8
        memory(args)
    elif args.what == "bigvalues":
        bigvalues(args)
    else:
        args.keys = args.keys or 10**6
        if not args.baseline:
            sys.exit("build needs --baseline")
        build(args)


if __name__ == "__main__":
    main()
