"""Processes of the scale benchmark (bench/scale.py); one JSON line out.

    python bench/scale_worker.py '{"cmd": "read", ...}'

``build``: write one system's store from the positions' pairs, streamed in
key order, and report the time and the peak resident size.

``read``: make the probe keys, report ``ready`` on standard output, block
until the parent closes the gate pipe (every reader of the batch is released
at once), then open the store, look up the first key, run the random lookups
twice (the first pass after the open, then fresh copies of the same keys),
and report times (wall and this process's CPU), RssAnon deltas and whether
every answer was right.

``dict``: the in-memory ceiling in one process: a dict of the same keys and
values, its RssAnon and the same two lookup passes.

Imports only the standard library (and the system under test): dbm.gnu runs
on the system interpreter.
"""

import gc
import json
import os
import sys
from time import perf_counter_ns, process_time_ns

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scale_data import ScaleData                                     # noqa: E402


def status():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            k, _, v = line.partition(":")
            if k in ("VmHWM", "RssAnon", "RssFile"):
                out[k] = int(v.split()[0]) * 1024
    return out


def disk_reads():
    """Bytes this process has had read from storage (page cache misses)."""
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("read_bytes:"):
                return int(line.split()[1])
    return 0


def trim():
    gc.collect()
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


# -- building -----------------------------------------------------------------
def build_tarndb(d, path, hash_index):
    from tarndb import _store
    w = _store.Writer(hash_index=hash_index)
    for chunk in d.chunks():
        w.update_raw(chunk)
    objects, keys, size = w.build(path)
    if keys != d.n:
        raise AssertionError("build reported %d keys for %d" % (keys, d.n))


def build_lmdb(d, path):
    import lmdb
    env = lmdb.open(path, subdir=False, map_size=max(64 << 20, 4 * d.n * 160), lock=False)
    with env.begin(write=True) as txn, txn.cursor() as cur:
        for chunk in d.chunks():
            added = cur.putmulti(chunk, append=True)[1]
            if added != len(chunk):
                raise AssertionError("putmulti stored %d of %d pairs" % (added, len(chunk)))
    env.close()


def build_gdbm(d, path):
    import dbm.gnu
    db = dbm.gnu.open(path, "nf")
    for chunk in d.chunks():
        for k, v in chunk:
            db[k] = v
    db.close()


def task_build(t):
    d = ScaleData(t["n"], t["seed"])
    t0 = perf_counter_ns()
    if t["system"] == "lmdb":
        build_lmdb(d, t["path"])
    elif t["system"] == "dbm.gnu":
        build_gdbm(d, t["path"])
    else:
        build_tarndb(d, t["path"], t["hash_index"])
    return {"build_ns": perf_counter_ns() - t0, "peak": status()["VmHWM"]}


# -- reading ------------------------------------------------------------------
def opener(t):
    """(open(), get(handle)) for the system and variant of the task."""
    system, path = t["system"], t["path"]
    if system == "lmdb":
        import lmdb

        def open_():
            env = lmdb.open(path, subdir=False, readonly=True, lock=False)
            return env, env.begin(buffers=False)
        return open_, lambda h: h[1].get
    if system == "dbm.gnu":
        import dbm.gnu
        return (lambda: dbm.gnu.open(path, "r")), lambda h: h.get
    if t["variant"] == "store":
        from tarndb import _store
        return (lambda: _store.Reader(path, verify=False)), lambda h: h.get
    from tarndb import TarnReader
    populate = t["variant"] == "populate"
    return (lambda: TarnReader(path, verify=False, populate=populate)), lambda h: h.raw.get


def lookups(get, keys):
    c0, t0 = process_time_ns(), perf_counter_ns()
    for k in keys:
        get(k)
    return (perf_counter_ns() - t0) / len(keys), (process_time_ns() - c0) / len(keys)


def checked(get, d, positions):
    """Every probe gives its value back, and absent keys give None."""
    if any(get(d.key(p)) != d.value(p) for p in positions):
        return False
    return all(get(d.miss(p)) is None for p in positions[:200])


def task_read(t):
    d = ScaleData(t["n"], t["seed"])
    open_, getter = opener(t)
    pos = d.probes(t["lookups"])
    first, keys = d.key(pos[0]), [d.key(p) for p in pos[1:]]
    again = [bytes(bytearray(k)) for k in keys]                    # fresh objects, same keys
    trim()
    gc.disable()
    before = status()
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    os.read(t["gate"], 1)                                          # EOF when the parent releases
    m0 = disk_reads()
    c0, t0 = process_time_ns(), perf_counter_ns()
    h = open_()
    t1 = perf_counter_ns()
    get = getter(h)
    ok = get(first) == d.value(pos[0])
    t2, c2 = perf_counter_ns(), process_time_ns()
    opened, m1 = status(), disk_reads()
    first_pass = lookups(get, keys)
    repeat = lookups(get, again)
    after, m2 = status(), disk_reads()
    ok = ok and checked(get, d, pos[1:])
    out = {"open_ns": t1 - t0, "open_get_ns": t2 - t0, "open_get_cpu_ns": c2 - c0,
           "get_first_ns": first_pass[0], "get_first_cpu_ns": first_pass[1],
           "get_ns": repeat[0], "get_cpu_ns": repeat[1],
           "anon_open": opened["RssAnon"] - before["RssAnon"],
           "anon_all": after["RssAnon"] - before["RssAnon"],
           "file_open": opened["RssFile"] - before["RssFile"],
           "disk_open": m1 - m0, "disk_get": m2 - m1, "ok": ok}
    if t["system"] == "tarndb":
        st = h.stats()
        out["private_bytes"] = st["private_bytes"]
        out["ok"] = ok and st["num_keys"] == d.n and bool(st["hash_index"]) == t["hash_index"]
    return out


def task_dict(t):
    d = ScaleData(t["n"], t["seed"])
    pos = d.probes(t["lookups"])
    keys = [d.key(p) for p in pos[1:]]
    again = [bytes(bytearray(k)) for k in keys]
    trim()
    before = status()
    table = {}
    for chunk in d.chunks():
        table.update(chunk)
    del chunk
    trim()
    built = status()
    gc.disable()
    get = table.get
    first_pass, repeat = lookups(get, keys), lookups(get, again)
    return {"get_first_ns": first_pass[0], "get_first_cpu_ns": first_pass[1],
            "get_ns": repeat[0], "get_cpu_ns": repeat[1],
            "anon_open": built["RssAnon"] - before["RssAnon"], "ok": checked(get, d, pos[1:])}


if __name__ == "__main__":
    task = json.loads(sys.argv[1])
    answer = {"build": task_build, "read": task_read, "dict": task_dict}[task["cmd"]](task)
    sys.stdout.write(json.dumps(answer) + "\n")
