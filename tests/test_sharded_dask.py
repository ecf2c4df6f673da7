"""Building sharded stores with Dask: from a bag and from a dataframe, on the
local scheduler and on a LocalCluster of 2 worker processes; failures and a
killed worker leave the previous version live; the command line."""

import json
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

import tarndb

dask = pytest.importorskip("dask")
db = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")

pytestmark = [
    pytest.mark.timeout(120),
    # Worker processes inherit the preloaded sanitizer runtime; under it a
    # cluster needs minutes to start and its interpreters' leaks and
    # interceptors are not this package's. The build code itself runs in
    # the main process in the local-scheduler tests of the plain run.
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="Dask worker processes are not run under AddressSanitizer"),
]

from tarndb.dask import to_tarn  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=40) as cluster:
        with distributed.Client(cluster, set_as_default=False) as c:
            yield c


def records(count, tag="", seed=1):
    rng = random.Random(seed)
    out = [{"id": f"user/{i:07d}", "n": i, "tag": tag, "r": rng.random()} for i in range(count)]
    out += [{"id": "é", "n": -1, "tag": tag, "r": 0.0}, {"id": "", "n": -2, "tag": tag, "r": 0.5}]
    return out


def generated(parts):
    """Records made where the partition is computed (a bag of 200,000 per
    partition number), so that a large build ships no data from here."""
    return [{"id": f"user/{i:07d}", "n": i} for p in parts for i in range(p * 200_000, (p + 1) * 200_000)]


def check_equal(path, model):
    """Every query of the store at path answers as the dict model does."""
    with tarndb.open(path) as r:
        assert len(r) == len(model)
        assert list(r) == sorted(model)
        assert dict(r.items()) == model
        for key in model:
            assert r[key] == model[key]
        keys = list(model)
        assert r.get_many(keys + ["absent"], default="-") == [model[k] for k in keys] + ["-"]
        assert list(r.prefix("user/00001")) == sorted(
            (k, v) for k, v in model.items() if k.startswith("user/00001"))
        assert r.verify()


def run_on(where, client, build):
    if where == "distributed":
        with client.as_current():
            return build()
    return build()


@pytest.mark.parametrize("where", ["local", "distributed"])
def test_bag_build_equals_the_input(tmp_path, client, where):
    recs = records(5000)
    bag = db.from_sequence(recs, npartitions=5)
    manifest = run_on(where, client, lambda: to_tarn(bag, tmp_path, shards=4, key="id"))
    assert manifest["n"] == 4 and manifest["keys"] == len(recs)
    assert sorted(os.listdir(tmp_path / manifest["version"])) == [
        f"part-{s:05d}-of-00004.trnd" for s in range(4)]  # the split's pieces are gone
    check_equal(tmp_path, {r["id"]: r for r in recs})
    # several keys per record, a value field, a callable key
    run_on(where, client, lambda: to_tarn(bag, tmp_path, shards=3,
                                          key=lambda r: [r["id"], "alias/" + r["id"]], value="n"))
    model = {}
    for r in recs:
        model[r["id"]] = model["alias/" + r["id"]] = r["n"]
    check_equal(tmp_path, model)
    # shards built by a writer that compresses what it is handed
    pytest.importorskip("zstandard")
    run_on(where, client, lambda: to_tarn(bag, tmp_path, shards=2, key="id",
                                          writer_options={"compression": "zstd"}))
    check_equal(tmp_path, {r["id"]: r for r in recs})
    with tarndb.open(tmp_path) as r:
        assert all(shard.stats()["compression"]["codec"] == "zstd" for shard in r.shards)


@pytest.mark.parametrize("where", ["local", "distributed"])
def test_dataframe_build_equals_the_input(tmp_path, client, where):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    frame = pd.DataFrame({"id": range(4000), "name": [f"n{i}" for i in range(4000)],
                          "x": [i / 4 for i in range(4000)]})
    df = dd.from_pandas(frame, npartitions=4)
    run_on(where, client, lambda: to_tarn(df, tmp_path, shards=5, key="id"))
    check_equal(tmp_path, {str(i): {"id": i, "name": f"n{i}", "x": i / 4} for i in range(4000)})
    run_on(where, client, lambda: to_tarn(df, tmp_path, shards=2, key="name", value=["x"]))
    check_equal(tmp_path, {f"n{i}": {"x": i / 4} for i in range(4000)})
    with pytest.raises(KeyError, match="no column 'nope'"):
        to_tarn(df, tmp_path, shards=2, key="nope")


@pytest.mark.parametrize("bad, message", [
    ({"id": "user/0000007", "n": 0}, "duplicate key 'user/0000007'"),
    ({"id": "x" * 70000, "n": 0}, "65535"),
    ({"id": 3.5, "n": 0}, "a key must be str or bytes, not float"),
    ({"id": "unencodable", "n": object()}, "Encoding objects of type object is unsupported"),
])
@pytest.mark.parametrize("where", ["local", "distributed"])
def test_failed_build_leaves_the_previous_version(tmp_path, client, where, bad, message):
    old = records(300, "old")
    to_tarn(db.from_sequence(old, npartitions=2), tmp_path, shards=3, key="id")
    reader = tarndb.open(tmp_path)
    new = records(2000, "new") + [bad]
    with pytest.raises((ValueError, TypeError), match=message):
        run_on(where, client, lambda: to_tarn(db.from_sequence(new, npartitions=4), tmp_path,
                                              shards=3, key="id"))
    assert not reader.is_stale()
    check_equal(tmp_path, {r["id"]: r for r in old})
    assert sorted(d for d in os.listdir(tmp_path) if d.startswith("v-")) == ["v-000001"]
    reader.close()


def test_killed_worker_leaves_the_previous_version(tmp_path):
    """A worker killed while it builds a shard: the scheduler, allowed no
    retries, fails the build, and the previous version stays live."""
    old = records(200, "old")
    to_tarn(db.from_sequence(old, npartitions=2), tmp_path, shards=2, key="id")
    old_model = {r["id"]: r for r in old}
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=":0", silence_logs=50) as cluster, \
                distributed.Client(cluster, set_as_default=False) as c:
            pids = c.run(os.getpid)
            bag = db.from_sequence(range(4), npartitions=4).map_partitions(generated)
            outcome = {}

            def build():
                try:
                    with c.as_current():
                        outcome["manifest"] = to_tarn(bag, tmp_path, shards=2, key="id")
                except BaseException as exc:  # noqa: BLE001 - reported below
                    outcome["error"] = exc

            thread = threading.Thread(target=build)
            thread.start()
            killed = None
            deadline = time.monotonic() + 90
            while killed is None and thread.is_alive() and time.monotonic() < deadline:
                for worker, keys in c.processing().items():
                    if any(str(k).startswith("tarn-build-") for k in keys):
                        os.kill(pids[worker], signal.SIGKILL)
                        killed = worker
                        # the other shard's files may appear while this one is lost
                        with tarndb.open(tmp_path) as during:
                            assert during == old_model
                        break
                time.sleep(0.005)
            thread.join(100)
            assert killed is not None, f"no shard build was seen running: {outcome}"
            assert isinstance(outcome.get("error"), distributed.KilledWorker), outcome
    check_equal(tmp_path, old_model)
    assert sorted(d for d in os.listdir(tmp_path) if d.startswith("v-")) == ["v-000001"]


def test_readers_keep_their_version_through_a_commit(tmp_path, client):
    first, second = records(1000, "first"), records(1500, "second", seed=2)
    to_tarn(db.from_sequence(first, npartitions=2), tmp_path, shards=4, key="id")
    reader = tarndb.open(tmp_path)
    with client.as_current():
        to_tarn(db.from_sequence(second, npartitions=3), tmp_path, shards=6, key="id")
    assert reader.is_stale() and reader == {r["id"]: r for r in first}
    fresh = reader.reopen()
    assert not fresh.is_stale() and fresh.version == "v-000002" and len(fresh.shards) == 6
    assert fresh == {r["id"]: r for r in second}
    reader.close()
    fresh.close()


def _cli(*args):
    # Away from the source tree, whose tarndb/ has no built modules.
    return subprocess.run([sys.executable, "-m", "tarndb", *args], capture_output=True,
                          text=True, timeout=110, cwd="/")


def test_command_line_build(tmp_path, client):
    data = tmp_path / "in.jsonl"
    recs = [{"zone": f"z{i}", "aliases": [f"a{i}"], "v": i} for i in range(3000)]
    data.write_text("".join(json.dumps(r) + "\n" for r in recs))
    store = tmp_path / "store"
    run = _cli("build", str(data), str(store), "-k", "zone", "-k", "aliases", "--shards", "3",
               "--scheduler", client.scheduler.address)
    assert run.returncode == 0, run.stderr
    # a record whose two keys fall in different shards is stored in both
    objects = sum(1 + (tarndb.shard_of(r["zone"], 3) != tarndb.shard_of(r["aliases"][0], 3))
                  for r in recs)
    assert run.stdout.startswith(f"{store}: 6,000 keys, {objects:,} objects, 3 shards")
    assert json.loads(_cli("get", str(store), "a17").stdout) == recs[17]
    assert _cli("verify", str(store)).returncode == 0
    # a duplicate key fails the build; the live version stays
    data.write_text(data.read_text() + json.dumps({"zone": "z5"}) + "\n")
    run = _cli("build", str(data), str(store), "-k", "zone", "--shards", "3", "--workers", "2")
    assert run.returncode == 2 and "duplicate key 'z5'" in run.stderr, run.stderr
    assert json.loads(_cli("get", str(store), "a17").stdout) == recs[17]
    run = _cli("build", str(data), str(store), "-k", "nokey", "--shards", "2",
               "--scheduler", client.scheduler.address)
    assert run.returncode == 2 and "no key (fields: nokey)" in run.stderr, run.stderr


@pytest.mark.parametrize("options, message", [
    (["--workers", "-1"], "--workers must be 1 or more, not -1"),
    (["--workers", "0"], "--workers must be 1 or more, not 0"),
    (["--shards", "0"], "--shards must be 1 to 99999, not 0"),
    (["--shards", "100000"], "--shards must be 1 to 99999, not 100000"),
    (["--scheduler", "bogus::"], "--scheduler 'bogus::': not a scheduler address (invalid address"),
    (["--scheduler", "tcp://host:port"], "--scheduler 'tcp://host:port': not a scheduler address"),
    (["--scheduler", "tcp://127.0.0.1:1"], "--scheduler 'tcp://127.0.0.1:1': cannot connect"),
])
def test_command_line_options_no_build_can_run_with_are_one_line(tmp_path, options, message):
    data = tmp_path / "in.jsonl"
    data.write_text('{"key": "a"}\n')
    run = subprocess.run([sys.executable, "-m", "tarndb", "build", str(data), str(tmp_path / "s"),
                          "--shards", "2", *options], capture_output=True, text=True, timeout=60,
                         cwd="/", env=dict(os.environ, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="2s"))
    assert (run.returncode, run.stdout) == (2, "")
    assert run.stderr.startswith(f"tarndb: {message}") and run.stderr.count("\n") == 1, run.stderr
    assert not (tmp_path / "s").exists()


# The command's own peak is what Python allocated (its resident size varies
# by tens of MiB from run to run with what the local cluster starts); the
# workers' is their peak resident size.
PEAK_SCRIPT = """
import resource, sys, tracemalloc
from tarndb.cli import main
if __name__ == "__main__":
    stdin = sys.argv[1]
    if stdin != "-":
        sys.stdin = open(stdin)
    tracemalloc.start()
    status = main(sys.argv[2:])
    print(status, tracemalloc.get_traced_memory()[1],
          resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def _peak_build(tmp_path, name, source, rows, stdin):
    """Build rows (CSV file, or JSON Lines on standard input) with a 16 MiB
    budget; the peak memory of the command and of its worker processes."""
    if source == "csv":
        data = tmp_path / f"{name}.csv"
        data.write_text("key,n,text\n" + "".join(f"k{i:08d},{i},{'x' * 80}\n" for i in range(rows)))
        args = [str(data)]
    else:
        data = tmp_path / f"{name}.jsonl"
        data.write_text("".join(f'{{"key": "k{i:08d}", "n": {i}, "text": "{"x" * 80}"}}\n'
                                for i in range(rows)))
        args = ["-"]
    spill = tmp_path / f"spill-{name}"
    spill.mkdir()
    run = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(data) if stdin else "-", "build",
                          *args, str(tmp_path / name), "--shards", "3", "--workers", "2", "-q",
                          "--memory-limit", "16M", "--spill-dir", str(spill)],
                         capture_output=True, text=True, timeout=170, cwd=tmp_path)
    status, own, workers = map(int, run.stdout.split())
    assert status == 0, run.stderr
    assert os.listdir(spill) == []  # the parsed input went there, and is gone
    return own, workers


@pytest.mark.timeout(400)
@pytest.mark.parametrize("source", ["csv", "jsonl on standard input"])
def test_command_line_build_keeps_to_the_memory_limit(tmp_path, source):
    """CSV and standard input were read whole before the build (482 MiB for
    21 MiB of CSV with a 16 MiB budget): now the command and each worker
    stay within the budget and 32 MiB of what a one-record build takes."""
    stdin = source != "csv"
    small = _peak_build(tmp_path, "small", source, 1, stdin)
    large = _peak_build(tmp_path, "large", source, 200_000, stdin)
    assert large[0] - small[0] <= (16 + 32) << 20, (small, large)
    assert large[1] - small[1] <= (16 + 32) << 20, (small, large)
    with tarndb.open(tmp_path / "large") as r:
        assert len(r) == 200_000 and r["k00001234"]["n"] in (1234, "1234")
