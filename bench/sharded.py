"""Sharded stores: build speed with Dask against one process, lookup cost
through the sharded reader against one store, and opening many shards.

    python bench/sharded.py                      # 10^7 records, 8 shards, 2 workers
    python bench/sharded.py --records 1000000 --quick

Both builds start from the same synthetic records, made where they are
built (the single process makes them itself; each Dask partition makes its
own), so each side does the same work: make, encode, route (sharded only),
collect and write. Needs ``pip install ".[dask]"``.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

import tarndb
from tarndb._commit import commit, new_version, shard_figures
from tarndb._manifest import shard_file_name
from tarndb._store import _group_by_shard

PAYLOAD = "x" * 60


def make_records(first: int, count: int) -> list:
    """Records first .. first + count - 1: a ~21-byte key and a ~90-byte value."""
    return [{"id": f"user/{i:011d}", "n": i, "text": PAYLOAD, "tags": [i % 7, i % 11]}
            for i in range(first, first + count)]


def partition_records(parts: list) -> list:
    """A Dask partition: parts holds (first, count)."""
    return [r for first, count in parts for r in make_records(first, count)]


def build_single(path: str, n: int, chunk: int = 200_000) -> dict:
    t0 = time.perf_counter()
    c0 = time.process_time()
    w = tarndb.TarnWriter()
    fill = 0.0
    for first in range(0, n, chunk):
        recs = make_records(first, min(chunk, n - first))
        t = time.perf_counter()
        w.update((r["id"], r) for r in recs)
        fill += time.perf_counter() - t
    t1 = time.perf_counter()
    w.build(path, quiet=True)
    t2 = time.perf_counter()
    return {"total_s": t2 - t0, "cpu_s": time.process_time() - c0, "make_s": t1 - t0 - fill,
            "encode_and_put_s": fill, "write_s": t2 - t1}


def _cpu_seconds() -> float:
    """User + system CPU seconds of this process (run on each worker)."""
    t = os.times()
    return t.user + t.system


def build_sharded(path: str, n: int, shards: int, workers: int, partitions: int) -> dict:
    import dask.bag as db
    import distributed
    from tarndb.dask import to_tarn

    from tarndb._sharded_cli import start_local_cluster

    t0 = time.perf_counter()
    cluster, client = start_local_cluster(workers)  # as `tarndb build --shards` starts one
    t1 = time.perf_counter()
    try:
        size = -(-n // partitions)
        specs = [(p * size, max(0, min(size, n - p * size))) for p in range(partitions)]
        bag = db.from_sequence(specs, npartitions=partitions).map_partitions(partition_records)
        before = client.run(_cpu_seconds)
        here = _cpu_seconds()
        with distributed.get_task_stream(client) as stream:
            t2 = time.perf_counter()
            manifest = to_tarn(bag, path, shards=shards, key="id")
            t3 = time.perf_counter()
        after = client.run(_cpu_seconds)
        worker_cpu = {w[-5:]: round(after[w] - before[w], 2) for w in after}
        client_cpu = _cpu_seconds() - here  # the client and the scheduler (in this process)
        phases: dict = {}
        for task in stream.data:
            name = str(task["key"])
            kind = ("split" if "tarn-split" in name else "build" if "tarn-build" in name
                    else "make" if "partition_records" in name or "from_sequence" in name else "other")
            for ss in task["startstops"]:
                label = f"{kind}_{ss['action']}_s"
                phases[label] = phases.get(label, 0.0) + ss["stop"] - ss["start"]
    finally:
        client.close()
        cluster.close()
    return {"total_s": t3 - t2, "cluster_start_s": t1 - t0, "keys": manifest["keys"],
            "worker_cpu_s": worker_cpu, "client_and_scheduler_cpu_s": round(client_cpu, 2),
            "worker_seconds": {k: round(v, 2) for k, v in sorted(phases.items())}}


def build_local_shards(path: str, source: tarndb.TarnReader, shards: int) -> None:
    """The records of source as a sharded store, built in this process."""
    keys = list(source)
    version = new_version(path)
    figures = []
    for s, (group, _) in enumerate(_group_by_shard(keys, shards)):
        w = tarndb.TarnWriter()
        w.update_raw(zip(group, source.raw.get_many(group)))
        file = os.path.join(path, version, shard_file_name(s, shards))
        w.build(file, quiet=True)
        figures.append(shard_figures(file, s, shards))
    commit(path, version, figures)


def per_op(fn, keys, repeat: int = 5) -> float:
    """Median ns per key of fn over keys."""
    runs = []
    for _ in range(repeat):
        gc.disable()
        t = time.perf_counter_ns()
        fn(keys)
        runs.append((time.perf_counter_ns() - t) / len(keys))
        gc.enable()
    return statistics.median(runs)


def lookups(single: str, sharded: str, n: int, sample: int) -> dict:
    rng = random.Random(7)
    keys = [f"user/{rng.randrange(n):011d}" for _ in range(sample)]
    misses = [f"nope/{i:011d}" for i in range(sample)]
    out = {}
    with tarndb.open(single) as one, tarndb.open(sharded) as many:
        for label, make in [
            ("r[key], random hits", lambda r: lambda ks: [r[k] for k in ks]),
            ("raw[key], random hits", lambda r: (lambda raw: lambda ks: [raw[k] for k in ks])(r.raw)),
            ("key in r, misses", lambda r: lambda ks: [k in r for k in ks]),
            ("get_many, random hits", lambda r: lambda ks: r.get_many(ks)),
            ("raw.get_many, random hits", lambda r: (lambda raw: lambda ks: raw.get_many(ks))(r.raw)),
        ]:
            ks = misses if "misses" in label else keys
            a, b = per_op(make(one), ks), per_op(make(many), ks)
            out[label] = {"single_ns": round(a, 1), "sharded_ns": round(b, 1), "ratio": round(b / a, 3)}
        hot = keys[:1000] * max(1, sample // 1000)
        one_raw, many_raw = one.raw, many.raw
        a = per_op(lambda ks: [one_raw[k] for k in ks], hot)
        b = per_op(lambda ks: [many_raw[k] for k in ks], hot)
        out["raw[key], hot (1,000 keys)"] = {"single_ns": round(a, 1), "sharded_ns": round(b, 1),
                                            "ratio": round(b / a, 3)}
        t = time.perf_counter()
        count = sum(1 for _ in many)
        merged = (time.perf_counter() - t) / count * 1e9
        t = time.perf_counter()
        sum(1 for _ in one)
        plain = (time.perf_counter() - t) / count * 1e9
        out["iteration, per key"] = {"single_ns": round(plain, 1), "sharded_ns": round(merged, 1),
                                     "ratio": round(merged / plain, 3)}
    return out


def open_time(path: str, repeat: int = 50) -> dict:
    out = {}
    for verify in (False, True):
        runs = []
        for _ in range(repeat):
            t = time.perf_counter()
            r = tarndb.ShardedReader(path, verify=verify)
            runs.append(time.perf_counter() - t)
            r.close()
        out[f"verify={verify}_ms"] = round(statistics.median(runs) * 1e3, 3)
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--records", type=int, default=10_000_000)
    ap.add_argument("--shards", type=int, default=8)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--partitions", type=int, default=32)
    ap.add_argument("--lookups", type=int, default=1_000_000)
    ap.add_argument("--quick", action="store_true", help="10^5 records, few lookups")
    ap.add_argument("--dir", default=None, help="where to build (default: a temporary directory)")
    args = ap.parse_args()
    if args.quick:
        args.records, args.lookups, args.partitions = 100_000, 20_000, 8
    work = tempfile.mkdtemp(prefix="tarn-sharded-", dir=args.dir)
    result: dict = {"records": args.records, "shards": args.shards, "workers": args.workers,
                    "partitions": args.partitions, "load_before": os.getloadavg()}
    try:
        single = os.path.join(work, "single.trnd")
        sharded = os.path.join(work, "sharded")
        result["build_single"] = build_single(single, args.records)
        gc.collect()
        result["build_sharded"] = build_sharded(sharded, args.records, args.shards, args.workers,
                                                args.partitions)
        result["build_speedup"] = round(result["build_single"]["total_s"]
                                        / result["build_sharded"]["total_s"], 2)
        # What the speed-up would be on otherwise idle cores: the single
        # build's CPU time over the busiest worker's.
        result["cpu_bound_speedup"] = round(
            result["build_single"]["cpu_s"] / max(result["build_sharded"]["worker_cpu_s"].values()), 2)
        result["load_after_builds"] = os.getloadavg()
        result["lookups"] = lookups(single, sharded, args.records, args.lookups)
        wide = os.path.join(work, "sharded64")
        with tarndb.open(single) as source:
            build_local_shards(wide, source, 64)
        result["open_64_shards"] = open_time(wide)
        result["file_bytes"] = {"single": os.path.getsize(single),
                                "sharded": tarndb.open(sharded, verify=False).stats()["file_size_kb"] * 1024}
        result["load_after"] = os.getloadavg()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    json.dump(result, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main()
