#!/usr/bin/env python3
"""Readers at scale: many processes opening one large store side by side.

    python bench/scale.py                       # 10^7 keys, 4 and 16 readers (~10 min)
    python bench/scale.py --keys 100000000 --systems tarndb    # 10^8 (bench/scale_1e8.py)
    python bench/scale.py --quick               # 10^5 keys, 2 and 4 readers, seconds

Builds one store of n keys (paths like ``user/004211/profile``, 100-byte
values) in tarndb with and without its hash index, py-lmdb and dbm.gnu (on an
interpreter that has it, e.g. Debian's /usr/bin/python3 with python3-gdbm),
then for each reader count N starts N processes per system that wait on one
pipe, are released together, and each open the store, look up one key and
then the same random keys twice.  One Markdown table per N: medians over
processes (and rounds) with tarndb's ratios to each peer.  Exits non-zero
when any lookup returned wrong bytes; no timing is asserted.
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from measure import warm_files                                       # noqa: E402
from report import advantage, fmt                                    # noqa: E402
from scale_data import ScaleData                                     # noqa: E402

WORKER = os.path.join(HERE, "scale_worker.py")
SYSTEMS = ("tarndb", "tarndb-noidx", "lmdb", "dbm.gnu", "dict")
LABEL = {"tarndb": "tarndb", "tarndb-noidx": "tarndb, no hash index", "lmdb": "lmdb",
         "dbm.gnu": "dbm.gnu", "dict": "dict"}
TARN = ("tarndb", "tarndb-noidx")
MiB = 1 << 20

# (row label, unit, result field, variant, scale): scale "key" divides by n;
# unit "io" is bytes shown without ratios
ROWS = [
    ("open, per process", "time", "open_ns", "store", 1),
    ("open, per key", "time", "open_ns", "store", "key"),
    ("open + first lookup, per process", "time", "open_get_ns", "store", 1),
    ("open + first lookup, per key", "time", "open_get_ns", "store", "key"),
    ("open + first lookup, CPU time per process", "time", "open_get_cpu_ns", "store", 1),
    ("TarnReader(path, verify=False) + first lookup, per process", "time", "open_get_ns", "package", 1),
    ("TarnReader(…, populate=True) + first lookup, per process", "time", "open_get_ns", "populate", 1),
    ("random lookup, first pass after open", "time", "get_first_ns", "store", 1),
    ("random lookup, first pass, CPU time", "time", "get_first_cpu_ns", "store", 1),
    ("random lookup, repeated", "time", "get_ns", "store", 1),
    ("random lookup, repeated, CPU time", "time", "get_cpu_ns", "store", 1),
    ("private memory (RssAnon) added by open + first lookup, per process", "bytes", "anon_open", "store", 1),
    ("private memory added by open + first lookup, per key", "bytes", "anon_open", "store", "key"),
    ("private memory added by open + all lookups, per process", "bytes", "anon_all", "store", 1),
    ("stats()[\"private_bytes\"], per process", "bytes", "private_bytes", "store", 1),
    ("read from disk (page cache misses) in open + first lookup, per process", "io",
     "disk_open", "store", 1),
    ("read from disk in the random lookups, per process", "io", "disk_get", "store", 1),
    ("TarnReader: private memory added by open + first lookup, per process", "bytes", "anon_open",
     "package", 1),
]


def fmt_bytes(v):
    if isinstance(v, (int, float)) and v >= 1024:
        for unit, div in (("GiB", 1 << 30), ("MiB", MiB), ("KiB", 1024)):
            if v >= div:
                return "%.3g %s" % (v / div, unit)
    return fmt(v, "bytes")


def fmt_ratio(r):
    return "–" if r is None else "×%d" % round(r) if r >= 100 else "×%.2g" % r


def cell(v, unit):
    return fmt_bytes(v) if unit in ("bytes", "io") else fmt(v, unit)


def gdbm_python():
    """An interpreter that has dbm.gnu: this one, else the system's."""
    for exe in dict.fromkeys((sys.executable, "/usr/bin/python3")):
        if exe and os.path.exists(exe) and subprocess.run(
                [exe, "-c", "import dbm.gnu"], capture_output=True).returncode == 0:
            return exe
    return None


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.machine()


def loadavg():
    return "%.2f, %.2f, %.2f" % os.getloadavg()


class Scale:
    def __init__(self, args):
        self.a, self.n = args, args.keys
        self.failures, self.missing, self.exe = [], {}, {}
        self.results = {}          # (N, system, variant) -> [result per process]
        self.built = {}            # system -> build result
        for s in args.systems:
            self.exe[s] = sys.executable
            if s == "lmdb":
                try:
                    import lmdb  # noqa: F401
                except ImportError:
                    self.missing[s] = "missing (no lmdb)"
            elif s == "dbm.gnu":
                self.exe[s] = gdbm_python()
                if self.exe[s] is None:
                    self.missing[s] = "missing (no _gdbm here nor in /usr/bin/python3)"
        self.live = [s for s in args.systems if s not in self.missing]
        self.path = {s: os.path.join(args.dir, "scale-%d-%d-%s%s" % (
            self.n, args.seed, s, ".trnd" if s in TARN else "")) for s in self.live if s != "dict"}

    def worker(self, system, task, timeout=6 * 3600):
        p = subprocess.run([self.exe[system], WORKER, json.dumps(task)],
                           capture_output=True, text=True, timeout=timeout)
        if p.returncode:
            raise RuntimeError("%s %s failed: %s" % (system, task["cmd"], p.stderr.strip()[-3000:]))
        return json.loads(p.stdout.splitlines()[-1])

    def build(self):
        for s, path in self.path.items():
            mark = path + ".built"
            if self.a.keep and os.path.exists(mark):
                with open(mark) as f:
                    self.built[s] = json.load(f)
                continue
            if os.path.exists(path):
                os.unlink(path)
            task = {"cmd": "build", "system": "tarndb" if s in TARN else s, "path": path,
                    "n": self.n, "seed": self.a.seed, "hash_index": s == "tarndb"}
            res = self.worker(s, task)
            res["size"] = os.path.getsize(path)
            self.built[s] = res
            print("built %s: %.1f s, %.1f B/key on disk, builder peak RSS %s (load %s)"
                  % (LABEL[s], res["build_ns"] / 1e9, res["size"] / self.n, fmt_bytes(res["peak"]),
                     loadavg()), file=sys.stderr, flush=True)
            if self.a.keep:
                with open(mark, "w") as f:
                    json.dump(res, f)

    def batch(self, nproc, system, variant):
        """nproc readers released together; their answers."""
        rfd, wfd = os.pipe()
        task = {"cmd": "read", "system": "tarndb" if system in TARN else system,
                "variant": variant, "path": self.path[system], "n": self.n, "seed": self.a.seed,
                "lookups": self.a.lookups, "gate": rfd, "hash_index": system == "tarndb"}
        procs = [subprocess.Popen([self.exe[system], WORKER, json.dumps(task)], pass_fds=(rfd,),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for _ in range(nproc)]
        os.close(rfd)
        try:
            for p in procs:                      # every reader is waiting at the gate
                if p.stdout.readline().strip() != "ready":
                    break
        finally:
            os.close(wfd)                        # release them all at once
        out = []
        for p in procs:
            stdout, stderr = p.communicate()
            if p.returncode:
                raise RuntimeError("%s reader failed: %s" % (system, stderr.strip()[-3000:]))
            out.append(json.loads(stdout.splitlines()[-1]))
        if not all(r["ok"] for r in out):
            self.failures.append("%s (%s, %d readers, n=%d): a lookup returned wrong bytes"
                                 % (LABEL[system], variant, nproc, self.n))
        return out

    def run(self):
        self.build()
        self.load0 = loadavg()
        plan = [(s, v) for s in self.live if s != "dict"
                for v in (("store", "package", "populate") if s in TARN else ("store",))]
        for nproc in self.a.readers:
            for _ in range(self.a.repeat):       # rounds interleave the systems
                for s, v in plan:
                    warm_files([self.path[s]])
                    self.results.setdefault((nproc, s, v), []).extend(self.batch(nproc, s, v))
            print("%d readers done (load %s)" % (nproc, loadavg()), file=sys.stderr, flush=True)
        if "dict" in self.live:
            res = self.worker("dict", {"cmd": "dict", "n": self.n, "seed": self.a.seed,
                                       "lookups": self.a.lookups})
            if not res["ok"]:
                self.failures.append("dict (n=%d): a lookup returned wrong bytes" % self.n)
            for nproc in self.a.readers:
                self.results[(nproc, "dict", "store")] = [res]
        return self

    def figure(self, nproc, system, field, variant, scale):
        if system in self.missing:
            return self.missing[system]
        if (variant != "store" and system not in TARN) or (system == "dict" and field.startswith("open")) \
                or (field == "private_bytes" and system not in TARN):
            return "n/a"
        xs = [r[field] for r in self.results.get((nproc, system, variant), []) if field in r]
        if not xs:
            return "n/a"
        m = statistics.median(xs)
        return m / self.n if scale == "key" else m

    def table(self, nproc):
        cols = list(self.a.systems)
        tarns = [c for c in cols if c in TARN]
        out = ["| operation | " + " | ".join(LABEL[c] for c in cols) + " |",
               "|---|" + "---|" * len(cols)]
        rows = [(label, unit, {c: self.figure(nproc, c, *spec) for c in cols})
                for label, unit, *spec in ROWS]
        rows.append(("file size, per key", "bytes",
                     {c: self.missing.get(c) or (self.built[c]["size"] / self.n if c in self.built
                                                 else "n/a") for c in cols}))
        for label, unit, cells in rows:
            line = []
            for c in cols:
                text = cell(cells[c], unit)
                if c not in TARN and unit != "io":
                    rs = [advantage(cells[t], cells[c], unit) for t in tarns]
                    if any(r is not None for r in rs):
                        text += " (%s)" % " \\| ".join(map(fmt_ratio, rs))
                line.append(text)
            out.append("| %s | %s |" % (label, " | ".join(line)))
        return "\n".join(out)

    def targets(self):
        """The issue's goals, each beside what this run measured."""
        out = ["| goal | readers | measured | met |", "|---|---|---|---|"]

        def row(goal, nproc, value, unit, ok):
            if isinstance(value, (int, float)):
                out.append("| %s | %d | %s | %s |" % (goal, nproc, cell(value, unit), "yes" if ok(value) else "no"))
        for nproc in self.a.readers:
            f = lambda *spec: self.figure(nproc, *spec)                          # noqa: E731
            row("no hash index: private memory ≤ 12 B per key", nproc,
                f("tarndb-noidx", "anon_open", "store", "key"), "bytes", lambda v: v <= 12)
            if nproc == 4:
                row("no hash index: open + first lookup ≤ 30 ns per key", nproc,
                    f("tarndb-noidx", "open_get_ns", "store", "key"), "time", lambda v: v <= 30)
            row("hash index: TarnReader(path, verify=False) + first lookup ≤ 1 ms", nproc,
                f("tarndb", "open_get_ns", "package", 1), "time", lambda v: v <= 1e6)
            row("hash index: private memory ≤ 1 MiB per process", nproc,
                f("tarndb", "anon_open", "package", 1), "bytes", lambda v: v <= MiB)
            for t in TARN:
                mine = f(t, "get_cpu_ns", "store", 1)
                for peer, goal in (("lmdb", 1.5), ("dbm.gnu", 1.5)):
                    theirs = f(peer, "get_cpu_ns", "store", 1)
                    if all(isinstance(x, (int, float)) for x in (mine, theirs)):
                        out.append("| %s: random hits ≥ 1.5× faster than %s | %d | ×%.2f | %s |"
                                   % (LABEL[t], peer, nproc, theirs / mine,
                                      "yes" if theirs / mine >= goal else "no"))
                theirs = f("dict", "get_cpu_ns", "store", 1)
                if all(isinstance(x, (int, float)) for x in (mine, theirs)):
                    out.append("| %s: random hits within 1.3× of dict.get | %d | ×%.2f of dict | %s |"
                               % (LABEL[t], nproc, mine / theirs, "yes" if mine / theirs <= 1.3 else "no"))
        return "\n".join(out)

    def markdown(self):
        a, d = self.a, ScaleData(self.n, self.a.seed)
        key_bytes = statistics.mean(len(d.key(p)) for p in d.probes(10_000))
        parts = ["### Readers side by side, n = %s keys\n" % f"{self.n:,}",
                 "%s, %d cores; Python %s; load average %s at the start of the readers.\n"
                 % (cpu_model(), os.cpu_count(),
                    platform.python_version(), self.load0),
                 "Keys like `%s` (%.1f bytes on average), %d-byte values, built from sorted "
                 "pairs; page cache warm. For each reader count, the processes of one system "
                 "start together (released at once from a pipe) and each opens the store, looks "
                 "up one key, then %s random existing keys twice: the first pass right after the "
                 "open (it takes the page faults of the new mapping), then fresh copies of the "
                 "same keys. Medians over %d round(s) of all processes; times are wall clock "
                 "from the release unless marked CPU (the process's own CPU time: with more "
                 "readers than cores, wall time includes waiting for a core). `dict` is one "
                 "process alone, a dict of the same keys and values. Peer cells: (×a \\| ×b) = "
                 "how many times better tarndb with \\| without its hash index is than that "
                 "column (> 1: tarndb leads). Private memory: RssAnon deltas."
                 % (d.key(d.n // 3).decode(), key_bytes, 100, f"{a.lookups:,}", a.repeat)]
        for nproc in a.readers:
            parts.append("\n#### %d readers side by side\n\n%s" % (nproc, self.table(nproc)))
        parts.append("\n#### Goals\n\nRandom hits compared by CPU time per lookup, repeated "
                     "pass (the goals are stated for 10^7 and 10^8 keys).\n\n" + self.targets())
        if self.built:
            parts.append("\nBuilds: " + "; ".join(
                "%s %.1f s (writer peak RSS %s)" % (LABEL[s], r["build_ns"] / 1e9, fmt_bytes(r["peak"]))
                for s, r in self.built.items()) + ".")
        return "\n".join(parts)

    def cleanup(self):
        if not self.a.keep:
            for p in self.path.values():
                for f in (p, p + "-lock", p + ".built"):
                    if os.path.exists(f):
                        os.unlink(f)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--keys", type=lambda s: int(float(s)), default=10_000_000,
                   help="number of keys (default 10^7; 1e8 is accepted)")
    p.add_argument("--readers", default="4,16", help="reader counts (default 4,16)")
    p.add_argument("--systems", default=",".join(SYSTEMS), help="comma-separated: %s" % ",".join(SYSTEMS))
    p.add_argument("--lookups", type=int, default=20_000, help="random lookups per reader")
    p.add_argument("--repeat", type=int, default=3, help="rounds of every batch (default 3)")
    p.add_argument("--seed", type=int, default=4211)
    p.add_argument("--dir", help="directory for the stores (default: a new one in /tmp)")
    p.add_argument("--keep", action="store_true", help="keep the stores and reuse them next time")
    p.add_argument("--json", help="also write every process's answer to this file")
    p.add_argument("--quick", action="store_true", help="smoke run: 10^5 keys, 2 and 4 readers")
    args = p.parse_args(argv)
    if args.quick:
        args.keys, args.readers, args.lookups, args.repeat = 100_000, "2,4", 2_000, 1
    args.readers = [int(x) for x in args.readers.split(",")]
    args.systems = [s.strip() for s in args.systems.split(",") if s.strip()]
    unknown = set(args.systems) - set(SYSTEMS)
    if unknown:
        p.error("unknown system(s): %s" % ", ".join(sorted(unknown)))
    args.systems = [s for s in SYSTEMS if s in args.systems]
    return args


def run(argv=None):
    """Run the section and print its Markdown; returns the failures."""
    args = parse_args(argv)
    tmp = None
    if not args.dir:
        args.dir = tmp = tempfile.mkdtemp(prefix="tarndb-scale-")
    os.makedirs(args.dir, exist_ok=True)
    print("scale run: %s keys, readers %s, load average %s, Python %s"
          % (f"{args.keys:,}", args.readers, loadavg(), platform.python_version()),
          file=sys.stderr, flush=True)
    sc = Scale(args)
    try:
        t0 = time.monotonic()
        sc.run()
        print(sc.markdown())
        print("\nLoad average after the run: %s; %.0f s in all%s.\n"
              % (loadavg(), time.monotonic() - t0, "; dbm.gnu on " + sc.exe["dbm.gnu"]
                 if sc.exe.get("dbm.gnu") else ""), flush=True)
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"n": sc.n, "built": sc.built, "results": [
                    {"readers": k[0], "system": k[1], "variant": k[2], "processes": v}
                    for k, v in sc.results.items()]}, f, indent=1)
    finally:
        sc.cleanup()
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)
    for f in sc.failures:
        print("CHECK FAILED: " + f, file=sys.stderr)
    return sc.failures


if __name__ == "__main__":
    sys.exit(1 if run() else 0)
