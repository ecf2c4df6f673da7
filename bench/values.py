#!/usr/bin/env python3
"""Values: the command line's build against a bare codec loop, decoding
through the reader, and compressed stores.

    python bench/values.py [--records N] [--rounds R] [--baseline PYTHON]

build        N JSON Lines records (default 10^6, about 90 bytes each) built
             by `tarndb build` in a fresh process, beside a bare msgspec loop
             (JSON decode + MessagePack encode of every line) and a json +
             msgpack loop over the same lines, rounds interleaved; with
             --baseline, also `tarndb build` run by another interpreter
             (another tarndb installed, e.g. an older release).
decode       every value of the bundled time-zone store read through
             TarnReader, decoded by msgspec (the package's codec) and by
             msgpack.unpackb (the codec before it), and typed as a
             msgspec.Struct.
compression  the bundled store built with and without --compress: file
             sizes, and the cost of a lookup (r[key], shuffled keys) in each.

Medians over the rounds; ratios side by side. Not run in CI.
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ZONES = os.path.join(os.path.dirname(HERE), "data", "zones.jsonl")

BARE_MSGSPEC = r"""
import sys, time, msgspec
dec, enc = msgspec.json.Decoder().decode, msgspec.msgpack.Encoder().encode
t = time.perf_counter()
with open(sys.argv[1], "rb") as f:
    for line in f:
        enc(dec(line))
print(time.perf_counter() - t)
"""

BARE_JSON = r"""
import json, sys, time, msgpack
t = time.perf_counter()
with open(sys.argv[1], "rb") as f:
    for line in f:
        msgpack.packb(json.loads(line))
print(time.perf_counter() - t)
"""

BUILD = r"""
import sys, time
from tarndb.cli import main
t = time.perf_counter()
status = main(["build", sys.argv[1], sys.argv[2], "-q"])
print(time.perf_counter() - t if status == 0 else "failed")
"""


def make_records(path, n):
    rng = random.Random(7)
    words = ["alpha", "beta", "gamma", "delta", "omega", "sigma", "kappa", "theta"]
    with open(path, "w") as f:
        for i in range(n):
            f.write(json.dumps({"key": f"user/{i:08d}", "name": rng.choice(words).title(),
                                "age": rng.randrange(18, 90), "score": round(rng.random(), 4),
                                "tags": rng.sample(words, 2)}) + "\n")
    return os.path.getsize(path)


def timed(python, script, *args):
    done = subprocess.run([python, "-c", script, *args], capture_output=True, text=True,
                          cwd=tempfile.gettempdir())
    if done.returncode != 0 or done.stdout.strip() == "failed":
        raise SystemExit(f"{python}: {done.stderr.strip()[-400:]}")
    return float(done.stdout)


def bench_build(n, rounds, baseline, workdir):
    src = os.path.join(workdir, "records.jsonl")
    size = make_records(src, n)
    out = os.path.join(workdir, "records.trnd")
    runs = {"bare msgspec loop": (sys.executable, BARE_MSGSPEC, src),
            "json + msgpack loop": (sys.executable, BARE_JSON, src),
            "tarndb build": (sys.executable, BUILD, src, out)}
    if baseline:
        runs["tarndb build (baseline)"] = (baseline, BUILD, src, out)
    times = {name: [] for name in runs}
    for _ in range(rounds):
        for name, (python, script, *args) in runs.items():
            times[name].append(timed(python, script, *args))
    bare = statistics.median(times["bare msgspec loop"])
    print(f"\n## build: {n:,} JSON Lines records, {size / n:.0f} bytes each, "
          f"median of {rounds}\n")
    print("| | seconds | × bare msgspec loop |\n|---|---|---|")
    for name, ts in times.items():
        m = statistics.median(ts)
        print(f"| {name} | {m:.2f} | {m / bare:.2f} |")


def each(get):
    """A loop that looks every key up and keeps nothing (a kept list of
    decoded values would time the garbage collector)."""
    def run(keys):
        for k in keys:
            get(k)
    return run


def per_value(fn, keys, rounds):
    best = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn(keys)
        best.append((time.perf_counter() - t) / len(keys))
    return statistics.median(best) * 1e9


def bench_decode(rounds, workdir):
    import msgpack
    import msgspec

    from tarndb import TarnReader

    class Country(msgspec.Struct):
        code: str
        name: str

    class Zone(msgspec.Struct):
        zone: str
        aliases: list[str]
        countries: list[Country]
        latitude: float | None
        longitude: float | None
        comment: str | None
        utc_offset: str
        dst: bool

    path = os.path.join(workdir, "zones.trnd")
    subprocess.run([sys.executable, "-m", "tarndb", "build", ZONES, path, "-k", "zone",
                    "-k", "aliases", "-q"], check=True, cwd=workdir)
    keys = list(TarnReader(path)) * 50
    random.Random(3).shuffle(keys)
    msgspec_reader = TarnReader(path)
    msgpack_reader = TarnReader(path)
    msgpack_reader._set_decode(msgpack.unpackb)
    typed_reader = TarnReader(path, value_type=Zone)
    rows = {}
    for _ in range(rounds):  # interleaved
        for name, reader in [("msgpack.unpackb (before)", msgpack_reader),
                             ("msgspec (the package's codec)", msgspec_reader),
                             ("msgspec, value_type=Zone", typed_reader)]:
            rows.setdefault(name, []).append(per_value(each(reader.__getitem__), keys, 1))
    before = statistics.median(rows["msgpack.unpackb (before)"])
    print(f"\n## decode: every value of the bundled zones through TarnReader, "
          f"{len(keys):,} shuffled lookups, median of {rounds}\n")
    print("| decoder | ns per r[key] | speed-up over msgpack |\n|---|---|---|")
    for name, ts in rows.items():
        m = statistics.median(ts)
        print(f"| {name} | {m:.0f} | ×{before / m:.2f} |")


def bench_compression(rounds, workdir):
    from tarndb import TarnReader

    paths = {}
    for name, flags in [("plain", []), ("compressed", ["--compress"])]:
        paths[name] = os.path.join(workdir, f"zones-{name}.trnd")
        subprocess.run([sys.executable, "-m", "tarndb", "build", ZONES, paths[name], "-k", "zone",
                        "-k", "aliases", "-q", *flags], check=True, cwd=workdir)
    readers = {name: TarnReader(p) for name, p in paths.items()}
    keys = list(readers["plain"]) * 50
    random.Random(5).shuffle(keys)
    times = {name: [] for name in readers}
    raw_times = {name: [] for name in readers}
    for _ in range(rounds):
        for name, r in readers.items():
            times[name].append(per_value(each(r.__getitem__), keys, 1))
            raw_times[name].append(per_value(each(r.raw.__getitem__), keys, 1))
    sizes = {name: os.path.getsize(p) for name, p in paths.items()}
    stats = readers["compressed"].stats()["compression"]
    print(f"\n## compression: the bundled zones, median of {rounds}\n")
    print("| | plain | compressed | ratio / difference |\n|---|---|---|---|")
    print(f"| file bytes | {sizes['plain']:,} | {sizes['compressed']:,} | "
          f"×{sizes['compressed'] / sizes['plain']:.3f} |")
    print(f"| values: ratio, dictionary bytes | | ×{stats['ratio']:.2f}, "
          f"{stats['dictionary_bytes']:,} | |")
    p, c = statistics.median(times["plain"]), statistics.median(times["compressed"])
    print(f"| r[key], ns | {p:.0f} | {c:.0f} | +{c - p:.0f} ns |")
    p, c = statistics.median(raw_times["plain"]), statistics.median(raw_times["compressed"])
    print(f"| r.raw[key] (stored bytes), ns | {p:.0f} | {c:.0f} | +{c - p:.0f} ns |")
    assert dict(readers["plain"].items()) == dict(readers["compressed"].items())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--records", type=float, default=1e6)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--baseline", metavar="PYTHON",
                    help="an interpreter with another tarndb, whose build is timed too")
    ap.add_argument("--only", choices=["build", "decode", "compression"])
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        if args.only in (None, "build"):
            bench_build(int(args.records), args.rounds, args.baseline, workdir)
        if args.only in (None, "decode"):
            bench_decode(args.rounds, workdir)
        if args.only in (None, "compression"):
            bench_compression(args.rounds, workdir)


if __name__ == "__main__":
    main()
