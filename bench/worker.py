"""Measurements that need a fresh interpreter, run by bench/run.py.

    python bench/worker.py '{"cmd": "open", ...}'

``open``: open a store (page cache already warm), time the open and the first
lookup, and report the resident memory the open added (RssAnon and RssFile
deltas from /proc/self/status).

``writer``: generate the data set, give free heap memory back to the system,
reset the peak resident size, build the store, and report the peak above the
resident size before the build.

Answers one JSON line on standard output.
"""

import gc
import json
import os
import sys
from time import perf_counter_ns

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from data import Dataset                                     # noqa: E402
from measure import proc_status, reset_peak, trim_heap       # noqa: E402
from systems import by_name                                  # noqa: E402


def task_open(t):
    s = by_name(t["system"])
    key = s.key_in(t["kind"], bytes.fromhex(t["probe"]))
    gc.collect()
    gc.disable()
    trim_heap()
    before = proc_status()
    t0 = perf_counter_ns()
    h = s.open(t["path"], t["verify"])
    t1 = perf_counter_ns()
    raw = s.get(h)(key)
    t2 = perf_counter_ns()
    after = proc_status()
    return {"open_ns": t1 - t0, "open_get_ns": t2 - t0,
            "rss_anon": after["RssAnon"] - before["RssAnon"],
            "rss_file": after["RssFile"] - before["RssFile"],
            "ok": s.value(raw) == bytes.fromhex(t["expect"])}


def task_writer(t):
    s = by_name(t["system"])
    ds = Dataset(t["kind"], t["n"], t["payload"], t["seed"])
    args = s.prepare(ds)
    gc.collect()
    trim_heap()
    try:
        reset_peak()
    except OSError as e:
        return {"peak": None, "why": "n/a (cannot reset the peak: %s)" % e.strerror}
    before = proc_status()
    store = s.build(args, t["path"])
    after = proc_status()
    del store
    s.remove(t["path"])
    return {"peak": after["VmHWM"] - before["VmRSS"], "baseline_rss": before["VmRSS"]}


if __name__ == "__main__":
    task = json.loads(sys.argv[1])
    answer = {"open": task_open, "writer": task_writer}[task["cmd"]](task)
    sys.stdout.write(json.dumps(answer) + "\n")
