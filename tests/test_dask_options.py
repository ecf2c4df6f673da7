"""Values from pandas and numpy, and to_tarn's options: where a build may
write, the key rule, compute=False, compression=, the index as the key,
overwrite=; and tarndb build --shards keeping Dask's logging to itself."""

import datetime
import os
import subprocess
import sys

import pytest

import tarndb
from tarndb._codec import decode, encode

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
db = pytest.importorskip("dask.bag")

from tarndb.dask import to_tarn  # noqa: E402

UTC = datetime.timezone.utc

VALUES = [
    (np.int64(-3), -3), (np.uint8(200), 200), (np.float32(1.5), 1.5), (np.bool_(True), True),
    (np.str_("é"), "é"), (np.bytes_(b"\x00y"), b"\x00y"),
    (np.array([[1, 2], [3, 4]]), [[1, 2], [3, 4]]),
    (np.array([1, "a", None], dtype=object), [1, "a", None]),
    (np.array(["2024-01-01", "NaT"], dtype="datetime64[ns]"), ["2024-01-01T00:00:00", None]),
    (pd.NA, None), (pd.NaT, None), (np.datetime64("NaT"), None),
    (pd.Timestamp("2024-05-01 12:00", tz="Europe/Paris"),
     datetime.datetime(2024, 5, 1, 10, 0, tzinfo=UTC)),
    (pd.Timestamp("2024-05-01 12:00:00.000001"), "2024-05-01T12:00:00.000001"),
    (pd.Timestamp("2024-05-01 12:00:00.000000005"), "2024-05-01T12:00:00.000000005"),
    (np.datetime64("2024-01-01"), "2024-01-01"),
    (np.datetime64("2024-01-01T00:00:00.000000001"), "2024-01-01T00:00:00.000000001"),
    (pd.Timedelta("1 day 3.5s"), "P1DT3.5S"), (pd.Timedelta(-5), "-PT0.000000005S"),
    (np.timedelta64(3, "s"), "PT3S"),
]


@pytest.mark.parametrize("value, read_back", VALUES, ids=[repr(v[0])[:40] for v in VALUES])
def test_pandas_and_numpy_values_are_stored_as_documented(value, read_back):
    assert decode(encode(value)) == read_back
    assert decode(encode({"in": [value]})) == {"in": [read_back]}  # nested too


def test_a_timestamp_keeps_its_nanoseconds_in_the_stored_bytes():
    import msgspec

    stored = encode(pd.Timestamp("2024-05-01 12:00:00.000000005", tz="UTC"))
    ext = msgspec.msgpack.decode(stored, type=msgspec.msgpack.Ext)
    assert ext.code == -1 and int.from_bytes(ext.data[:4], "big") == 5
    assert decode(stored) == datetime.datetime(2024, 5, 1, 12, tzinfo=UTC)


@pytest.mark.parametrize("value", [1 + 2j, np.complex64(1), pd.Period("2024-01"), object()])
def test_other_values_stay_unsupported(value):
    with pytest.raises(TypeError, match="Encoding objects of type .* is unsupported"):
        encode(value)


def test_dataframe_from_read_csv_with_dates(tmp_path):
    (tmp_path / "in.csv").write_text("id,when,n\na,2024-01-02 03:04:05,1\nb,,2\n")
    frame = pd.read_csv(tmp_path / "in.csv", parse_dates=["when"])
    frame["n"] = frame["n"].astype("Int64")
    to_tarn(dd.from_pandas(frame, npartitions=1), tmp_path / "s", shards=2, key="id",
            scheduler="sync")
    with tarndb.open(tmp_path / "s") as r:
        assert dict(r) == {"a": {"id": "a", "when": "2024-01-02T03:04:05", "n": 1},
                           "b": {"id": "b", "when": None, "n": 2}}


def test_an_unstorable_value_names_its_row_and_column(tmp_path):
    periods = pd.PeriodIndex([None, "2024-01", "2024-02"], freq="M")  # NaT, then Periods
    frame = pd.DataFrame({"k": ["x", "y", "z"], "v": [1, 2, 3], "w": periods}, index=[10, 11, 12])
    with pytest.raises(TypeError, match=r"row 11, column 'w': Encoding objects of type pandas"):
        to_tarn(dd.from_pandas(frame, npartitions=1), tmp_path / "s", shards=2, key="k",
                scheduler="sync")
    assert not (tmp_path / "s").exists()


@pytest.mark.parametrize("path, options, message", [
    ("s3://bucket/x.d", None, "'s3://bucket/x.d' is a URL: builds write to local paths only"),
    ("file://host/x.d", None, "is a URL"),
    ("local.d", {"anon": True}, "storage_options are for remote file systems"),
])
def test_remote_targets_are_refused(tmp_path, monkeypatch, path, options, message):
    monkeypatch.chdir(tmp_path)
    bag = db.from_sequence([{"k": "a"}])
    with pytest.raises(ValueError, match=message):
        to_tarn(bag, path, shards=2, key="k", storage_options=options, scheduler="sync")
    assert os.listdir(tmp_path) == []


def test_local_urls_and_the_home_directory(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    bag = db.from_sequence([{"k": "a"}])
    to_tarn(bag, "~/home.d", shards=2, key="k", scheduler="sync")
    to_tarn(bag, (tmp_path / "url.d").as_uri(), shards=2, key="k", scheduler="sync")
    assert tarndb.open(tmp_path / "home.d") == tarndb.open(tmp_path / "url.d") == {"a": {"k": "a"}}


@pytest.mark.parametrize("records, int_keys, outcome", [
    ([{"k": 1}, {"k": "b"}], "text", {"1", "b"}),
    ([{"k": [1, "one"]}], "text", {"1", "one"}),
    ([{"k": 1}], "refuse", "a key must be str or bytes, not int"),
    ([{"k": [1, "one"]}], "refuse", "a key must be str or bytes, not int"),
    ([{"k": True}], "text", "a key must be str or bytes, not bool"),
])
def test_one_key_rule(tmp_path, records, int_keys, outcome):
    bag = db.from_sequence(records)
    if isinstance(outcome, str):
        with pytest.raises(TypeError, match=outcome):
            to_tarn(bag, tmp_path / "s", shards=2, key="k", int_keys=int_keys, scheduler="sync")
        with pytest.raises(TypeError):  # as the writer refuses it
            tarndb.TarnWriter().put(records[0]["k"], 0)
        assert not (tmp_path / "s").exists()  # the failed build left no directory
    else:
        to_tarn(bag, tmp_path / "s", shards=2, key="k", int_keys=int_keys, scheduler="sync")
        assert set(tarndb.open(tmp_path / "s")) == outcome
    frame = dd.from_pandas(pd.DataFrame({"k": [1, 2]}), npartitions=1)
    if int_keys == "refuse":
        with pytest.raises(TypeError, match="not int"):
            to_tarn(frame, tmp_path / "f", shards=2, key="k", int_keys="refuse", scheduler="sync")


def test_compute_false_builds_and_commits_only_when_computed(tmp_path):
    bag = db.from_sequence([{"k": f"k{i}", "n": i} for i in range(100)], npartitions=3)
    lazy = to_tarn(bag, tmp_path, shards=3, key="k", compute=False, compression="zstd")
    assert not (tmp_path / "manifest.json").exists()
    manifest = lazy.compute(scheduler="sync")
    assert manifest["keys"] == 100 and manifest["version"] == "v-000001"
    with tarndb.open(tmp_path) as r:
        assert r["k7"] == {"k": "k7", "n": 7}
        assert all(s.stats()["compression"]["codec"] == "zstd" for s in r.shards)
    with pytest.raises(ValueError, match="disagree"):
        to_tarn(bag, tmp_path, shards=3, key="k", compression="zstd",
                writer_options={"compression": None})


def test_a_named_index_is_the_key(tmp_path):
    frame = pd.DataFrame({"n": [1, 2]}, index=pd.Index(["a", "b"], name="id"))
    to_tarn(dd.from_pandas(frame, npartitions=1), tmp_path / "s", shards=2, scheduler="sync")
    assert tarndb.open(tmp_path / "s") == {"a": {"id": "a", "n": 1}, "b": {"id": "b", "n": 2}}
    with pytest.raises(ValueError, match="has no name"):
        to_tarn(dd.from_pandas(frame.reset_index(drop=True), npartitions=1), tmp_path / "t",
                shards=2)
    with pytest.raises(TypeError, match="needs key= for a bag"):
        to_tarn(db.from_sequence([1]), tmp_path / "u", shards=2)


def test_overwrite_keeps_no_earlier_version(tmp_path):
    bag = db.from_sequence([{"k": "a"}])
    for overwrite in (False, False, True):
        to_tarn(bag, tmp_path, shards=2, key="k", overwrite=overwrite, scheduler="sync")
    assert sorted(p for p in os.listdir(tmp_path) if p.startswith("v-")) == ["v-000003"]


NOISY_WORKER = """
import logging, warnings
def dask_setup(worker):
    try:
        raise OSError("Timed out during handshake while connecting to the scheduler")
    except OSError:
        logging.getLogger("distributed.worker").error(
            "Failed to communicate with scheduler during heartbeat.", exc_info=True)
"""


@pytest.mark.timeout(120)
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="Dask worker processes are not run under AddressSanitizer")
@pytest.mark.parametrize("verbose", [[], ["-v"]])
def test_a_worker_logging_an_error_does_not_reach_a_successful_build(tmp_path, verbose):
    """Each worker logs an ERROR with a traceback as it starts, as one did
    under load for a missed heartbeat: the build's output is its own, and
    Dask's messages appear with -v only."""
    (tmp_path / "noisy.py").write_text(NOISY_WORKER)
    (tmp_path / "in.jsonl").write_text('{"key": "a"}\n')
    env = dict(os.environ, DASK_DISTRIBUTED__WORKER__PRELOAD=f'["{tmp_path / "noisy.py"}"]')
    done = subprocess.run([sys.executable, "-m", "tarndb", "build", "in.jsonl", "s", "--shards",
                           "2", "--workers", "2", *verbose], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=110)
    assert done.returncode == 0 and done.stdout.startswith("s: 1 keys"), done.stderr
    if verbose:
        assert "Failed to communicate with scheduler during heartbeat" in done.stderr
    else:
        assert done.stderr == ""
