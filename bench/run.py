#!/usr/bin/env python3
"""tarndb against its peers: the same data set, built and queried by every
system in one process run, summarised in one Markdown table per data set.

    python bench/run.py                      # 10^6 text and 10^6 random 16-byte keys
    python bench/run.py --keys random --payload 4096 --size 200000
    python bench/run.py --sizes --only tarndb,lmdb,build,open,get
    python bench/run.py --quick              # smoke run: every path, a few seconds

Exits non-zero when a result is wrong: tarndb's or any peer's answers are
checked against the data set (no timing is ever asserted).
"""

import argparse
import json
import mmap
import os
import platform
import shutil
import sys
import tempfile
import time
import zlib
from collections import defaultdict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import systems as S                                                   # noqa: E402
from data import Dataset                                              # noqa: E402
from measure import (call_task, fresh, gc_paused, loop_task, median,  # noqa: E402
                     perf_counter_ns, round_robin, run_loop, run_worker, warm_files)
from report import growth_table, kinds_table, table                   # noqa: E402

# (key, row label, unit); units as in report.py
OPS = [
    ("build", "build, per key", "time"),
    ("build_batch", "build from sorted (key, value) pairs in one call, per key", "time"),
    ("open", "open verify=False, per key", "time"),
    ("open_get", "open verify=False + first get_raw, per key", "time"),
    ("open_verify", "open verify=True, per key", "time"),
    ("crc_open", "CRC pass at open: open verify=True − verify=False, file bytes/s", "rate"),
    ("get_hit", "get_raw, random hits", "time"),
    ("get_hot", "get_raw, hot (1,000 keys)", "time"),
    ("get_many", "get_many of the random hits in one call, per key", "time"),
    ("miss", "exists, misses", "time"),
    ("prefix", "prefix_raw, per call", "time"),
    ("items", "items_raw, per key", "time"),
    ("keys", "keys, per key", "time"),
    ("objects", "objects_raw, per object (peers: all values)", "time"),
    ("verify", "verify() (whole file + each object), file bytes/s", "rate"),
    ("rss_anon", "reader RssAnon added by open, per key", "bytes"),
    ("rss_file", "reader RssFile added by open, per key", "bytes"),
    ("writer_peak", "writer peak memory, per key", "bytes"),
    ("file_size", "file size, per key", "bytes"),
]
UNIT = {k: u for k, _, u in OPS}
START = time.monotonic()  # progress lines give the time since
GROUPS = {"build": ["build", "build_batch"],
          "open": ["open", "open_get", "open_verify", "crc_open"],
          "get": ["get_hit", "get_many"], "hot": ["get_hot"], "miss": ["miss"], "prefix": ["prefix"],
          "items": ["items"], "keys": ["keys"], "objects": ["objects"], "verify": ["verify"],
          "memory": ["rss_anon", "rss_file"], "writer": ["writer_peak"], "size": ["file_size"]}
CHECKSUM_COLUMNS = ("zlib.crc32", "plain read")
GROWTH_OPS = ("build", "open", "open_get", "open_verify", "get_hit", "miss", "items",
              "rss_anon", "writer_peak")


class Run:
    """One data set measured on every selected system."""

    def __init__(self, ds, systems, ops, cfg, workdir):
        self.ds, self.systems, self.ops, self.cfg = ds, systems, ops, cfg
        self.kind, self.n, self.payload, self.seed = ds.kind, ds.n, ds.payload, ds.seed
        self.live = [s for s in systems if not s.missing]
        self.fig = defaultdict(dict)        # op -> system -> figure
        self.samples = defaultdict(dict)    # op -> system -> raw samples
        self.failures = []
        self.notes = {}
        self.path = {s.name: os.path.join(workdir, "store-%s%s" % (
            s.name, ".trnd" if s.name == "tarndb" else "")) for s in self.live}
        self.workdir = workdir

    def wants(self, op, s=None):
        return op in self.ops and (s is None or op in s.ops)

    def record(self, op, samples, scale=1.0, invert=False):
        for name, xs in samples.items():
            self.samples[op][name] = xs
            m = median(xs)
            if m is not None and invert:
                m = 1 / m if m > 0 else None
            self.fig[op][name] = None if m is None else m if invert else m * scale

    def fail(self, who, what):
        self.failures.append("%s (%s keys, n=%d): %s" % (who, self.ds.kind, self.ds.n, what))

    # -- build and open ----------------------------------------------------
    def build(self):
        ds, cfg = self.ds, self.cfg
        tasks = {}
        for s in self.live:
            args, path = s.prepare(ds), self.path[s.name]
            tasks[s.name] = call_task(lambda s=s, a=args, p=path: s.build(a, p), ds.n,
                                      before=lambda s=s, p=path: s.remove(p))
        samples, _ = round_robin(tasks, cfg.repeat if self.wants("build") else 1, cfg.build_budget)
        self.record("build", samples)
        if self.wants("build_batch"):
            batch = {}
            for s in self.live:
                if "build_batch" in s.ops:
                    args, path = s.prepare_batch(ds), self.path[s.name] + ".batch"
                    batch[s.name] = call_task(lambda s=s, a=args, p=path: s.build_batch(a, p),
                                              ds.n, before=lambda s=s, p=path: s.remove(p))
            self.record("build_batch", round_robin(batch, cfg.repeat, cfg.build_budget)[0])
            for s in self.live:
                s.remove(self.path[s.name] + ".batch")
        for s in self.live:
            files = s.files(self.path[s.name])
            if files:
                self.fig["file_size"][s.name] = sum(map(os.path.getsize, filter(os.path.exists, files))) / ds.n

    def open_in_subprocess(self):
        ds, cfg = self.ds, self.cfg
        probe = ds.hit_idx[0]
        runs = defaultdict(list)
        tasks = {}
        for s in self.live:
            if s.name == "dict" or not (self.wants("open", s) or self.wants("rss_anon", s)):
                continue
            for verify in ([False, True] if self.wants("open_verify", s) else [False]):
                task = {"cmd": "open", "system": s.name, "path": self.path[s.name], "verify": verify,
                        "kind": ds.kind, "probe": ds.keys[probe].hex(), "expect": ds.values[probe].hex()}

                def run(task=task, key=(s.name, verify)):
                    res = run_worker(task)
                    runs[key].append(res)
                    return res["open_ns"], None
                tasks[(s.name, verify)] = run
        warm_files([f for s in self.live for f in s.files(self.path[s.name]) if os.path.exists(f)])
        round_robin(tasks, cfg.open_repeat, cfg.build_budget)
        n = ds.n
        for (name, verify), results in runs.items():
            if not all(r["ok"] for r in results):
                self.fail(name, "the first lookup after opening (verify=%s) returned wrong bytes" % verify)
            col = lambda k: [r[k] for r in results]                          # noqa: E731
            if verify:
                self.record("open_verify", {name: col("open_ns")}, 1 / n)
                continue
            self.record("open", {name: col("open_ns")}, 1 / n)
            self.record("open_get", {name: col("open_get_ns")}, 1 / n)
            self.record("rss_anon", {name: col("rss_anon")}, 1 / n)
            self.record("rss_file", {name: col("rss_file")}, 1 / n)
        # The dict's open is building it; its memory is that of the loaded pickle.
        if "dict" in self.path:
            for op in ("open", "open_get"):
                self.fig[op]["dict"] = self.fig["build"].get("dict")
            for op in ("rss_anon", "rss_file"):
                if "pickle" in self.fig[op]:
                    self.fig[op]["dict"] = self.fig[op]["pickle"]

    # -- in-process queries --------------------------------------------------
    def queries(self, handles):
        ds, cfg, kind = self.ds, self.cfg, self.ds.kind
        sysmap = {s.name: s for s in self.live}

        def keyed(name, raw_keys):
            s = sysmap[name]
            return lambda: [fresh(s.key_in(kind, k)) for k in raw_keys]

        lookups = {
            "get_hit": (lambda s, h: s.get(h), [ds.keys[i] for i in ds.hit_idx]),
            "miss": (lambda s, h: s.exists(h), ds.misses),
            "prefix": (lambda s, h: s.prefix(h), ds.prefixes),
        }
        for op, (getfn, raw) in lookups.items():
            if self.wants(op):
                tasks = {n: loop_task(getfn(sysmap[n], h), keyed(n, raw))
                         for n, h in handles.items() if op in sysmap[n].ops}
                self.record(op, round_robin(tasks, cfg.repeat, cfg.query_budget, warmup=True)[0])
        if self.wants("get_many"):
            hits = [ds.keys[i] for i in ds.hit_idx]
            tasks = {}
            for n, h in handles.items():
                if "get_many" in sysmap[n].ops:
                    many = sysmap[n].get_many(h)
                    tasks[n] = lambda many=many, make=keyed(n, hits): call_task(
                        lambda k=make(): many(k), len(hits))()
            self.record("get_many", round_robin(tasks, cfg.repeat, cfg.query_budget, warmup=True)[0])
            want = [ds.values[i] for i in ds.hit_idx[:1000]]
            for n, h in handles.items():
                if "get_many" in sysmap[n].ops:
                    got = sysmap[n].get_many(h)(keyed(n, hits[:1000])())
                    if got != want:
                        self.fail(n, "get_many returned wrong values")
        if self.wants("get_hot"):
            hot_raw = [ds.keys[i] for i in ds.hot_idx]
            tasks = {}
            for n, h in handles.items():
                hot = keyed(n, hot_raw)() * max(1, ds.hot_count // len(hot_raw))
                tasks[n] = loop_task(sysmap[n].get(h), lambda hot=hot: hot)
            self.record("get_hot", round_robin(tasks, cfg.repeat, cfg.query_budget, warmup=True)[0])
        results = {}
        for op, method, per in (("items", "items", ds.n), ("keys", "keys", ds.n),
                                ("objects", "values", None)):
            if not self.wants(op):
                continue
            tasks = {n: call_task(getattr(sysmap[n], method)(h),
                                  per or (ds.n_objects if n == "tarndb" else ds.n))
                     for n, h in handles.items() if op in sysmap[n].ops}
            samples, results[op] = round_robin(tasks, cfg.repeat, cfg.query_budget)
            self.record(op, samples)
        return results

    def checksums(self, reader):
        """verify() and the CRC pass at open, each beside zlib.crc32 and a plain
        read of the same bytes.  verify() runs over the reader's mapping, which
        is faulted in after the warm-up, so its peers read a warm mapping too;
        the CRC pass at open faults a new mapping in, so its peers get a new
        mapping for every run."""
        try:
            import numpy as np
            missing = None
        except ImportError as e:
            np, missing = None, "missing (no %s)" % e.name
        path = self.path["tarndb"]
        size = os.path.getsize(path)

        def mapped():
            with open(path, "rb") as f:
                return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)

        def crc(mm):
            body = memoryview(mm)[40:]
            try:
                return zlib.crc32(body)
            finally:
                body.release()

        def read(mm):
            return int(np.frombuffer(mm, np.uint64, size // 8).sum())

        def on_map(fn, warm=None):
            def task():
                mm = warm or mapped()
                with gc_paused():
                    t0 = perf_counter_ns()
                    res = fn(mm)
                    dt = perf_counter_ns() - t0
                if warm is None:
                    mm.close()
                return dt / size, res
            return task

        def open_pair():
            with gc_paused():
                t0 = perf_counter_ns()
                a = type(reader)(path, verify=False)
                t1 = perf_counter_ns()
                b = type(reader)(path, verify=True)
                t2 = perf_counter_ns()
            del a, b
            return ((t2 - t1) - (t1 - t0)) / size, None

        peers = {"zlib.crc32": crc}
        if np is not None:
            peers["plain read"] = read
        stored = int(reader.stats()["file_crc32"], 16)
        for op, tarn_task, warm in (("verify", call_task(reader.verify, size), mapped()),
                                    ("crc_open", open_pair, None)):
            if not self.wants(op):
                continue
            tasks = {"tarndb": tarn_task}
            tasks.update((name, on_map(fn, warm)) for name, fn in peers.items())
            samples, res = round_robin(tasks, 2 * self.cfg.repeat + 1, self.cfg.query_budget, warmup=True)
            self.record(op, samples, invert=True)
            if op == "verify" and res["tarndb"] is not True:
                self.fail("tarndb", "verify() returned %r" % (res["tarndb"],))
            if res["zlib.crc32"] != stored:
                self.fail("tarndb", "the stored file CRC differs from zlib.crc32 of the file")
            if self.fig[op]["tarndb"] is None:
                self.fig[op]["tarndb"] = "below timing noise"
            if missing:
                self.fig[op]["plain read"] = missing
            if warm is not None:
                warm.close()

    def writer_peaks(self):
        ds = self.ds
        for s in self.live:
            if self.wants("writer_peak", s):
                task = {"cmd": "writer", "system": s.name, "kind": ds.kind, "n": ds.n,
                        "payload": ds.payload, "seed": ds.seed,
                        "path": os.path.join(self.workdir, "writer-" + os.path.basename(self.path[s.name]))}
                res = run_worker(task)
                self.fig["writer_peak"][s.name] = res["peak"] / ds.n if res["peak"] is not None else res["why"]

    # -- correctness -------------------------------------------------------
    def check(self, s, h, scans):
        ds, kind = self.ds, self.ds.kind
        get, exists = s.get(h), s.exists(h)
        for i in ds.hit_idx[:1000]:
            if s.value(get(s.key_in(kind, ds.keys[i]))) != ds.values[i]:
                return self.fail(s.name, "get of %r returned wrong bytes" % ds.keys[i])
        if not all(exists(s.key_in(kind, ds.keys[i])) for i in ds.hit_idx[:200]):
            return self.fail(s.name, "a stored key was reported absent")
        if any(exists(s.key_in(kind, k)) for k in ds.misses[:1000]):
            return self.fail(s.name, "an absent key was reported present")
        if any(get(s.key_in(kind, k)) is not None for k in ds.misses[:200]):
            return self.fail(s.name, "get of an absent key did not return None")
        same = (lambda a, b: a == b) if s.ordered else (lambda a, b: sorted(a) == sorted(b))
        if s.prefix is not None:
            pf = s.prefix(h)
            counts = []
            for p in ds.prefixes[:50]:
                want = [(s.key_out(kind, k), v) for k, v in ds.prefix_matches(p)]
                counts.append(len(want))
                if not same([tuple(x) for x in pf(s.key_in(kind, p))], want):
                    return self.fail(s.name, "prefix scan of %r returned wrong pairs" % p)
            self.notes["prefix_results"] = sum(counts) / len(counts)
        order = ds.order
        expected = {
            "items": lambda: [(s.key_out(kind, ds.keys[i]), ds.values[i]) for i in order],
            "keys": lambda: [s.key_out(kind, ds.keys[i]) for i in order],
            "objects": (ds.distinct_objects_in_key_order if s.name == "tarndb"
                        else lambda: [ds.values[i] for i in order]),
        }
        for op, want in expected.items():
            got = scans.get(op, {}).get(s.name)
            if got is not None and not same(list(got), want()):
                self.fail(s.name, "%s returned a wrong listing" % op)

    def check_tarndb(self, r):
        st = r.stats()
        if (st["num_keys"], st["num_objects"]) != (self.ds.n, self.ds.n_objects):
            self.fail("tarndb", "stats() reports %d keys / %d objects" % (st["num_keys"], st["num_objects"]))
        if r.verify() is not True:
            self.fail("tarndb", "verify() did not return True")

    # -- the whole run -----------------------------------------------------
    def progress(self, step):
        """One line on standard error as each step starts: the table comes at the end."""
        elapsed = int(time.monotonic() - START)
        print("[%d:%02d] %s keys (%s): %s" % (elapsed // 60, elapsed % 60, f"{self.ds.n:,}",
                                              self.ds.kind, step), file=sys.stderr, flush=True)

    def run(self):
        self.progress("building in %s" % ", ".join(s.name for s in self.live))
        self.build()
        self.progress("opening, in fresh processes")
        self.open_in_subprocess()
        handles = {s.name: s.open(self.path[s.name]) for s in self.live if s.name != "pickle"}
        try:
            self.progress("lookups, scans and listings")
            scans = self.queries(handles)
            for s in self.live:
                if s.name in handles:
                    self.check(s, handles[s.name], scans)
            del scans
            if "tarndb" in handles:
                self.check_tarndb(handles["tarndb"])
                if self.wants("verify") or self.wants("crc_open"):
                    self.checksums(handles["tarndb"])
            self.progress("checks")
            self.notes["loop_ns"] = median([run_loop(len, self.ds.misses) / len(self.ds.misses)
                                            for _ in range(5)])
        finally:
            for s in self.live:
                if s.name in handles:
                    s.close(handles.pop(s.name))
        self.progress("writers' peak memory")
        self.writer_peaks()
        for s in self.live:
            s.remove(self.path[s.name])
            vars(s).pop("built", None)          # the in-memory dict
        for s in self.systems:
            if s.missing:
                for op, _, _ in OPS:
                    self.fig[op][s.name] = "missing (%s)" % s.missing
        return self

    def markdown(self):
        ds, cfg = self.ds, self.cfg
        cols = [s.name for s in self.systems]
        if self.wants("verify") or self.wants("crc_open"):
            cols += CHECKSUM_COLUMNS
        rows = []
        for op, label, unit in OPS:
            if op in self.ops:
                if op == "prefix" and "prefix_results" in self.notes:
                    label = "prefix_raw, ~%.0f results, per call" % self.notes["prefix_results"]
                cells = {c: "n/a" for c in cols}
                cells.update(self.fig.get(op, {}))
                rows.append((label, unit, cells))
        head = ("### %s keys, n = %s, %d-byte payloads\n\n%s.\nLookups: %s random hits over the "
                "whole store, %s hot lookups over %d keys, %s misses, %d prefixes; "
                "the Python loop around each call (`for k in keys: f(k)`) costs %.0f ns with a "
                "trivial builtin f. Medians of %d runs (fewer for a system whose runs of one "
                "operation pass %.0f s in all; %.0f s for builds), opens and memory in fresh "
                "processes (%d runs), page cache warm.\n"
                % (ds.kind, f"{ds.n:,}", ds.payload, ds.describe(), f"{len(ds.hit_idx):,}",
                   f"{ds.hot_count:,}", len(ds.hot_idx), f"{len(ds.misses):,}", len(ds.prefixes),
                   self.notes.get("loop_ns", 0), cfg.repeat, cfg.query_budget, cfg.build_budget,
                   cfg.open_repeat))
        return head + "\n" + table(rows, cols)

    def release(self):
        """Drop the data set (the figures stay)."""
        self.ds = None

    def as_json(self):
        return {"kind": self.kind, "n": self.n, "payload": self.payload,
                "seed": self.seed, "figures": self.fig, "samples": self.samples,
                "notes": self.notes, "failures": self.failures}


def environment(systems):
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) / 2**20
    try:
        import numpy
        numpy_v = "numpy %s" % numpy.__version__
    except ImportError:
        numpy_v = "numpy missing"
    libs = ["%s %s" % (s.name, "missing (%s)" % s.missing if s.missing else s.version() or "(stdlib)")
            for s in systems]
    return ["- machine: %s, %d cores, %.1f GiB RAM, %s %s %s"
            % (cpu, os.cpu_count(), mem, platform.system(), platform.release(), platform.machine()),
            "- Python %s (%s), %s, zlib %s" % (platform.python_version(), platform.python_implementation(),
                                                numpy_v, zlib.ZLIB_RUNTIME_VERSION),
            "- " + "; ".join(libs)]


def _stamp(path):
    try:
        return os.stat(path).st_mtime_ns
    except OSError:
        return None


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size", type=int, default=1_000_000, help="number of keys (default 1,000,000)")
    p.add_argument("--sizes", nargs="?", const="100000,1000000,10000000",
                   help="growth run over these sizes (default 10^5,10^6,10^7)")
    p.add_argument("--keys", choices=("text", "random", "both"), default="both",
                   help="key kind: text paths, random 16-byte keys, or both side by side (default)")
    p.add_argument("--payload", type=int, default=100, help="payload bytes (e.g. 100 or 4096)")
    p.add_argument("--repeat", type=int, default=5, help="repetitions per measurement (default 5)")
    p.add_argument("--seed", type=int, default=4211)
    p.add_argument("--only", help="comma-separated systems (%s) and/or operations (%s)"
                   % (",".join(S.NAMES), ",".join(GROUPS)))
    p.add_argument("--json", help="also write raw figures to this file")
    p.add_argument("--dir", help="directory for the stores (default: a new one in /tmp)")
    p.add_argument("--quick", action="store_true",
                   help="smoke run: small sizes, both key kinds, every system and operation")
    p.add_argument("--scale", nargs="?", const="1e7", metavar="KEYS",
                   help="then readers at scale, bench/scale.py (default 10^7 keys; --quick: 10^5)")
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.quick:
        sizes, kinds = [1000, 3000], ["text", "random"]
        args.repeat, args.open_repeat = min(args.repeat, 2), 1
        samples = dict(hits=2000, hot=2000, misses=2000, prefixes=50)
        args.build_budget = args.query_budget = 2.0
    else:
        sizes = [int(float(x)) for x in args.sizes.split(",")] if args.sizes else [args.size]
        kinds = ["text", "random"] if args.keys == "both" else [args.keys]
        args.open_repeat = args.repeat
        samples = dict(hits=200_000, hot=200_000, misses=200_000, prefixes=2_000)
        args.build_budget, args.query_budget = 30.0, 15.0
    names, ops = set(S.NAMES), [k for k, _, _ in OPS]
    if args.only:
        tokens = [t.strip() for t in args.only.split(",") if t.strip()]
        unknown = [t for t in tokens if t not in S.NAMES and t not in GROUPS]
        if unknown:
            sys.exit("--only: unknown name(s) %s" % ", ".join(unknown))
        if any(t in S.NAMES for t in tokens):
            names = {t for t in tokens if t in S.NAMES} | {"tarndb"}
        if any(t in GROUPS for t in tokens):
            ops = [o for t in tokens if t in GROUPS for o in GROUPS[t]]
    systems = [cls() for cls in S.ALL if cls.name in names]
    if systems[0].missing:
        sys.exit("tarndb cannot be imported: %s" % systems[0].missing)

    print("## tarndb benchmark\n")
    print("\n".join(environment(systems)))
    print("\nCells: median figure. (×r faster) / (×r smaller): tarndb is r times better than "
          "that column; (×0.xx): tarndb is that fraction as good. n/a: the system has no "
          "such operation.\n")
    module_stamp = _stamp(systems[0].mod.__file__)
    workdir = args.dir or tempfile.mkdtemp(prefix="tarndb-bench-")
    os.makedirs(workdir, exist_ok=True)
    runs = []
    try:
        for kind in kinds:
            for n in sizes:
                ds = Dataset(kind, n, args.payload, args.seed, samples)
                run = Run(ds, systems, set(ops), args, workdir).run()
                runs.append(run)
                print(run.markdown() + "\n", flush=True)
                for f in run.failures:
                    print("CHECK FAILED: " + f, file=sys.stderr)
                run.release()
                del ds
            if len(sizes) > 1:
                rows = [(label, UNIT[op], {r.n: r.fig.get(op, {}).get("tarndb") for r in runs[-len(sizes):]})
                        for op, label, _ in OPS if op in GROWTH_OPS and op in ops]
                print("### Growth, %s keys, %d-byte payloads\n" % (kind, args.payload))
                print(growth_table(rows, sizes) + "\n", flush=True)
    finally:
        if not args.dir:
            shutil.rmtree(workdir, ignore_errors=True)
    if len(kinds) > 1:
        for n in sizes:
            same = [(r.kind, r.fig) for r in runs if r.n == n]
            print("### Both key kinds side by side, n = %s\n\n%s\n" % (f"{n:,}", kinds_table(same)))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"environment": environment(systems), "runs": [r.as_json() for r in runs]},
                      f, indent=1)
    if _stamp(systems[0].mod.__file__) != module_stamp:
        print("WARNING: tarndb was reinstalled during this run; the figures mix two builds "
              "(subprocesses load the new one). Run again.", file=sys.stderr)
    failures = [f for r in runs for f in r.failures]
    if args.scale or args.quick:
        import scale
        failures += scale.run(["--quick"] if args.quick else ["--keys", args.scale])
    if failures:
        print("%d correctness check(s) failed" % len(failures), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
