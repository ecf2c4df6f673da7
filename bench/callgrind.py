#!/usr/bin/env python3
"""Instruction counts of tarndb's hot paths under valgrind's callgrind.

    python bench/callgrind.py [--size 100000] [--keys text|random|both]

For each key kind (both by default: text paths and random 16-byte keys),
builds a store (and, for comparison, a dict pickle and an LMDB file) outside
valgrind, then runs each probe twice under ``valgrind --tool=callgrind`` with
a small and a large loop count.  Instructions per operation are the
difference of the two totals divided by the difference of the counts, so the
interpreter's start-up, imports and set-up cancel out; the same is done for
an empty loop over the same keys, which is subtracted from the lookups
("net").  Beside each peer, tarndb's extra instructions over it: for a raw
get, what a lookup costs beyond a dict loop over the same keys.
Instruction counts do not see cache misses: they are the steady measure of
the work per call, the timings of run.py are the real cost.

valgrind does not emulate AVX-512, so under it the CPU reports fewer
features and tarndb's CRC code runs the variant chosen for such a CPU.
"""

import argparse
import os
import pickle
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

LOOKUPS = (20_000, 100_000, "call")
# probe -> (small count, large count, unit)
PROBES = {
    "empty": (20_000, 100_000, "iteration"),
    "tarndb.get_hit": LOOKUPS, "store.get_hit": LOOKUPS, "dict.get_hit": LOOKUPS,
    "lmdb.get_hit": LOOKUPS,
    "store.get_many": LOOKUPS, "dict.get_many": LOOKUPS, "lmdb.get_many": LOOKUPS,
    "tarndb.get_hot": LOOKUPS, "dict.get_hot": LOOKUPS, "lmdb.get_hot": LOOKUPS,
    "tarndb.miss": LOOKUPS, "dict.miss": LOOKUPS, "lmdb.miss": LOOKUPS,
    "tarndb.open": (1, 3, "key"), "pickle.open": (1, 3, "key"),
    "tarndb.verify": (1, 3, "byte"), "zlib.crc32": (1, 3, "byte"),
}
ROWS = [  # label, tarndb probe, peer probes, subtract the empty loop
    ("get_raw (`_tarndb`), random hit", "tarndb.get_hit", ("dict.get_hit", "lmdb.get_hit"), True),
    ("raw get (`TarnReader.raw.get`), random hit", "store.get_hit", ("dict.get_hit", "lmdb.get_hit"),
     True),
    ("raw get_many, per key (dict: `[get(k) for k in keys]`, lmdb: getmulti)", "store.get_many",
     ("dict.get_many", "lmdb.get_many"), False),
    ("get_raw, hot (1,000 keys)", "tarndb.get_hot", ("dict.get_hot", "lmdb.get_hot"), True),
    ("exists, miss", "tarndb.miss", ("dict.miss", "lmdb.miss"), True),
    ("open verify=False + first get_raw (per key)", "tarndb.open", ("pickle.open",), False),
    ("verify() (per byte)", "tarndb.verify", ("zlib.crc32",), False),
]


def target(probe, count, workdir):
    """Run one probe `count` times (inside valgrind)."""
    with open(os.path.join(workdir, "samples.pickle"), "rb") as f:
        s = pickle.load(f)
    store = os.path.join(workdir, "store.trnd")
    system, _, op = probe.partition(".")
    keys = {"get_hit": "hits", "get_hot": "hot", "miss": "misses"}.get(op, "hits")
    keys = s[keys + "_b" if system == "lmdb" else keys]
    many = None                                       # get_many: the whole list in one call
    if system == "store":                             # the package's reader, as TarnReader.raw
        from tarndb import _store
        r = _store.Reader(store, False)
        fn, many = r.get, r.get_many
    elif system == "tarndb":
        from tarndb import _tarndb
        r = _tarndb._TarnReader(store, verify=False)
        fn = {"get_hit": r.get_raw, "get_hot": r.get_raw, "miss": r.exists}.get(op)
        if op == "open":
            r, first = None, keys[0]
            for _ in range(count):
                _tarndb._TarnReader(store, verify=False).get_raw(first)
        elif op == "verify":
            for _ in range(count):
                r.verify()
    elif system == "dict":
        with open(os.path.join(workdir, "dict.pickle"), "rb") as f:
            d = pickle.load(f)
        fn = d.__contains__ if op == "miss" else d.get
        get = d.get
        many = lambda keys: [get(k) for k in keys]                        # noqa: E731
    elif system == "lmdb":
        import lmdb
        env = lmdb.open(os.path.join(workdir, "store.lmdb"), subdir=False, readonly=True, lock=False)
        txn = env.begin(buffers=False)
        fn, cursor = txn.get, txn.cursor()
        many = lambda keys: [v for _, v in cursor.getmulti(keys)]         # noqa: E731
    elif probe == "pickle.open":
        for _ in range(count):
            with open(os.path.join(workdir, "dict.pickle"), "rb") as f:
                pickle.load(f)
    elif probe == "zlib.crc32":
        import mmap
        import zlib
        with open(store, "rb") as f:
            mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        body = memoryview(mm)[40:]
        for _ in range(count):
            zlib.crc32(body)
    if op in ("get_hit", "get_hot", "miss"):
        for k in keys[:count]:
            fn(k)
    elif op == "get_many":
        many(keys[:count])
    elif probe == "empty":
        for k in keys[:count]:
            pass


def prepare(workdir, size, kind):
    from data import Dataset
    from measure import fresh
    from systems import Lmdb, Tarn
    ds = Dataset(kind, size, 100, 4211, dict(hits=100_000, hot=0, misses=100_000, prefixes=0))
    tarn = Tarn()
    tarn.build(tarn.prepare(ds), os.path.join(workdir, "store.trnd"))
    lmdb_sys = Lmdb()
    if not lmdb_sys.missing:
        lmdb_sys.build(lmdb_sys.prepare(ds), os.path.join(workdir, "store.lmdb"))
    api = lambda k: tarn.key_in(kind, k)                                     # noqa: E731
    d = dict(zip(map(api, ds.keys), ds.values))
    with open(os.path.join(workdir, "dict.pickle"), "wb") as f:
        pickle.dump(d, f, protocol=pickle.HIGHEST_PROTOCOL)
    hot = [api(ds.keys[i]) for i in ds.hot_idx] * (100_000 // len(ds.hot_idx) + 1)
    samples = {"hits": [fresh(api(ds.keys[i])) for i in ds.hit_idx],
               "misses": [fresh(api(k)) for k in ds.misses], "hot": hot}
    for name in ("hits", "misses", "hot"):        # lmdb takes the same keys as bytes
        samples[name + "_b"] = [k.encode() if isinstance(k, str) else k for k in samples[name]]
    with open(os.path.join(workdir, "samples.pickle"), "wb") as f:
        pickle.dump(samples, f, protocol=pickle.HIGHEST_PROTOCOL)
    return os.path.getsize(os.path.join(workdir, "store.trnd")), ds.n, lmdb_sys.missing


def instructions(probe, counts, workdir):
    """The instruction totals of probe run with each of counts, side by side."""
    runs = []
    for count in counts:
        out = os.path.join(workdir, "callgrind.%s.%d.out" % (probe, count))
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
               sys.executable, os.path.abspath(__file__), "--target", probe, str(count), workdir]
        env = dict(os.environ, PYTHONHASHSEED="0")
        runs.append((out, count, subprocess.Popen(cmd, stdout=subprocess.DEVNULL,
                                                  stderr=subprocess.PIPE, text=True, env=env)))
    totals = []
    for out, count, p in runs:
        _, err = p.communicate()
        if p.returncode != 0:
            raise RuntimeError("callgrind %s %d failed:\n%s" % (probe, count, err[-3000:]))
        with open(out) as f:
            totals.append(int(re.search(r"^(?:totals|summary):\s*(\d+)", f.read(), re.M).group(1)))
    return totals


def measure(size, kind):
    """Instructions per operation of every probe, for one key kind."""
    workdir = tempfile.mkdtemp(prefix="tarndb-callgrind-")
    try:
        file_size, n, lmdb_missing = prepare(workdir, size, kind)
        per = {}
        for probe, (lo, hi, unit) in PROBES.items():
            if probe.startswith("lmdb.") and lmdb_missing:
                per[probe] = "missing (%s)" % lmdb_missing
                continue
            small, large = instructions(probe, (lo, hi), workdir)
            scale = {"key": n, "byte": file_size - 40}.get(unit, 1)
            per[probe] = (large - small) / (hi - lo) / scale
            print("  %s %-16s %10.2f Ir per %s" % (kind, probe, per[probe], unit),
                  file=sys.stderr, flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return per, n


def fmt(v):
    return v if isinstance(v, str) else "%.0f" % v if abs(v) >= 100 else "%.2f" % v


def report(per, n, kind):
    print("### Instructions per operation (callgrind), %s %s keys, 100-byte payloads\n"
          % (f"{n:,}", kind))
    print("Lookups are net of the empty loop `for k in keys[:count]: pass` (%.1f Ir per "
          "iteration), but for get_many, one call for the whole list; open is per key of the "
          "store (pickle.load of the same dict beside it), verify() and zlib.crc32 per byte of "
          "the file after the header. tarndb − peer: tarndb's extra instructions per call.\n"
          % per["empty"])
    print("| hot path | tarndb | peer | peer Ir | tarndb − peer | peer / tarndb |")
    print("|---|---|---|---|---|---|")
    for label, tprobe, peers, net in ROWS:
        t = per[tprobe] - (per["empty"] if net else 0)
        for peer in peers:
            v = per[peer]
            extra = ratio = "n/a"
            if isinstance(v, float):
                v -= per["empty"] if net else 0
                extra = fmt(t - v)
                ratio = "×%.2f" % (v / t) if t > 0 else "n/a"
            name = peer.split(".")[0] if peer != "zlib.crc32" else peer
            print("| %s | %s | %s | %s | %s | %s |" % (label, fmt(t), name, fmt(v), extra, ratio))
    print()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=int, default=100_000)
    ap.add_argument("--keys", choices=("text", "random", "both"), default="both")
    ap.add_argument("--target", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.target:
        probe, count, workdir = args.target
        return target(probe, int(count), workdir)
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed")
    for kind in ("text", "random") if args.keys == "both" else (args.keys,):
        report(*measure(args.size, kind), kind)


if __name__ == "__main__":
    main()
