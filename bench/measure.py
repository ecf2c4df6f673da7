"""Timing and memory primitives shared by the benchmark and its workers."""

import gc
import json
import os
import statistics
import subprocess
import sys
import time
from time import perf_counter_ns

WORKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "worker.py")


def proc_status():
    """VmHWM, VmRSS, RssAnon and RssFile of this process, in bytes."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            k, _, v = line.partition(":")
            if k in ("VmHWM", "VmRSS", "RssAnon", "RssFile"):
                out[k] = int(v.split()[0]) * 1024
    return out


def trim_heap():
    """Give free heap memory back to the system (glibc), so that the resident
    size is the live data and new allocations show up in it."""
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def reset_peak():
    """Reset VmHWM to the current resident size (Linux >= 4.0)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


class gc_paused:
    """Collect, then keep the cyclic collector off for the timed region (it
    would otherwise run at arbitrary points inside large listings)."""

    def __enter__(self):
        gc.collect()
        gc.disable()

    def __exit__(self, *exc):
        gc.enable()


def run_loop(call, keys):
    """The one loop every lookup measurement uses: ns for the whole list."""
    t0 = perf_counter_ns()
    for k in keys:
        call(k)
    return perf_counter_ns() - t0


def fresh(key):
    """A new object equal to key, with no cached hash (lookup keys normally
    arrive from elsewhere, not as the very objects that were stored)."""
    return bytes(bytearray(key)) if isinstance(key, bytes) else key.encode().decode()


def loop_task(call, make_keys):
    """A task timing call over a list from make_keys(): ns per call."""
    def task():
        keys = make_keys()
        with gc_paused():
            return run_loop(call, keys) / len(keys), None
    return task


def call_task(fn, per, before=None):
    """A task timing one fn() call: ns per `per` units, and the result."""
    def task():
        if before:
            before()
        with gc_paused():
            t0 = perf_counter_ns()
            res = fn()
            dt = perf_counter_ns() - t0
        return dt / per, res
    return task


def round_robin(tasks, repeat, budget_s, warmup=False):
    """Run every task `repeat` times, interleaved so that noise bursts hit
    every system alike; a task whose time spent passes budget_s stops after
    its first sample.  Returns {name: [samples]} and {name: last result}."""
    samples = {name: [] for name in tasks}
    results, spent = {}, dict.fromkeys(tasks, 0.0)
    if warmup:
        for task in tasks.values():
            task()
    for r in range(repeat):
        for name, task in tasks.items():
            if r and spent[name] > budget_s:
                continue
            t0 = time.monotonic()
            value, res = task()
            spent[name] += time.monotonic() - t0
            samples[name].append(value)
            results[name] = res
            res = None
    return samples, results


def median(xs):
    return statistics.median(xs) if xs else None


def run_worker(task, timeout=3600):
    """Run bench/worker.py in a fresh interpreter; return its JSON answer."""
    p = subprocess.run([sys.executable, WORKER, json.dumps(task)],
                       capture_output=True, text=True, timeout=timeout)
    if p.returncode != 0:
        raise RuntimeError("worker %s/%s failed: %s"
                           % (task["cmd"], task["system"], p.stderr.strip()[-3000:]))
    return json.loads(p.stdout.strip().splitlines()[-1])


def warm_files(paths):
    """Read files once so that later opens find them in the page cache."""
    buf = bytearray(1 << 20)
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass
