"""The command line, run as a separate process the way a user runs it."""

import csv
import json
import subprocess
import sys
from pathlib import Path

import pytest

ZONES = Path(__file__).resolve().parent.parent / "data" / "zones.jsonl"
SCRIPT = Path(sys.executable).with_name("tarndb")


def tarndb(cwd, *args, stdin=None):
    """Run ``python -m tarndb`` in *cwd*; the CompletedProcess with text output."""
    return subprocess.run([sys.executable, "-m", "tarndb", *map(str, args)], cwd=cwd,
                          input=stdin, capture_output=True, text=True, timeout=120)


def zone_records():
    return [json.loads(line) for line in ZONES.read_text(encoding="utf-8").splitlines()]


@pytest.fixture
def zones(tmp_path):
    done = tarndb(tmp_path, "build", ZONES, "zones.trnd", "-k", "zone", "--key-field", "aliases",
                  "--no-hash-index")
    assert done.returncode == 0, done.stderr
    return tmp_path / "zones.trnd"


def test_build_and_dump_round_trip_the_bundled_zones(zones):
    records = zone_records()
    expected = {key: r for r in records for key in [r["zone"], *r["aliases"]]}
    dumped = tarndb(zones.parent, "dump", zones)
    assert dumped.returncode == 0 and dumped.stderr == ""
    pairs = [json.loads(line) for line in dumped.stdout.splitlines()]
    assert [p["key"] for p in pairs] == sorted(expected, key=str.encode)
    assert {p["key"]: p["value"] for p in pairs} == expected


def test_build_summary_and_stats_agree(zones):
    records = zone_records()
    stats = json.loads(tarndb(zones.parent, "stats", "--json", zones).stdout)
    keys = len(records) + sum(len(r["aliases"]) for r in records)
    assert (stats["num_keys"], stats["num_objects"]) == (keys, len(records))
    rebuilt = tarndb(zones.parent, "build", ZONES, "again.trnd", "-k", "zone", "-k", "aliases",
                     "--no-hash-index")
    assert rebuilt.stdout == f"again.trnd: {keys:,} keys, {len(records):,} objects, " \
                            f"{zones.stat().st_size:,} bytes\n"
    assert rebuilt.stderr == ""  # no progress bar when stderr is not a terminal


def test_get_and_keys_answer_queries(zones):
    got = tarndb(zones.parent, "get", zones, "Asia/Calcutta")
    assert got.returncode == 0
    assert json.loads(got.stdout)["zone"] == "Asia/Kolkata"
    raw = tarndb(zones.parent, "get", "--raw", zones, "Asia/Calcutta")
    assert bytes.fromhex(raw.stdout.strip()).startswith(b"\x88")  # a map of 8 fields
    listed = tarndb(zones.parent, "keys", zones, "--prefix", "Europe/B").stdout.split()
    names = {k for r in zone_records() for k in [r["zone"], *r["aliases"]]}
    assert listed == sorted(k for k in names if k.startswith("Europe/B")) != []
    missing = tarndb(zones.parent, "get", zones, "Mars/Olympus")
    assert (missing.returncode, missing.stdout) == (1, "")
    assert missing.stderr.count("\n") == 1 and "Mars/Olympus" in missing.stderr


def test_build_from_csv_with_several_key_columns(tmp_path):
    with open(tmp_path / "words.csv", "w", newline="", encoding="utf-8") as f:
        rows = [["word", "plural", "meaning"], ["mouse", "mice", "a rodent"],
                ["child", "", "a young person, \"kid\""], ["ox", "oxen", "line one\nline two"]]
        csv.writer(f).writerows(rows)
    done = tarndb(tmp_path, "build", "words.csv", "w.trnd", "-k", "word", "-k", "plural",
                  "--value-field", "meaning")
    assert done.returncode == 0, done.stderr
    dumped = [json.loads(line) for line in tarndb(tmp_path, "dump", "w.trnd").stdout.splitlines()]
    assert dumped == [{"key": k, "value": v} for k, v in sorted([
        ("mouse", "a rodent"), ("mice", "a rodent"), ("child", 'a young person, "kid"'),
        ("ox", "line one\nline two"), ("oxen", "line one\nline two")])]


@pytest.mark.parametrize(
    "damage, status, message",
    [
        (None, 0, None),
        (lambda b: b[:100] + bytes([b[100] ^ 0x40]) + b[101:], 1, "CRC32 mismatch"),
        (lambda b: b[:-3], 1, "index section truncated"),
        (lambda b: b[:30], 1, "too small for header"),
        (lambda b: b"%PDF" + b[4:], 1, "bad magic"),
        (lambda b: b[:4] + b"\x07" + b[5:], 1, "version 7"),
    ],
)
def test_verify_exit_status(zones, damage, status, message):
    if damage is not None:
        zones.write_bytes(damage(zones.read_bytes()))
    done = tarndb(zones.parent, "verify", zones)
    assert done.returncode == status
    if message is None:
        assert done.stdout.startswith(f"{zones}: ok") and done.stderr == ""
    else:
        assert done.stdout == "" and done.stderr.count("\n") == 1
        assert done.stderr.startswith("tarndb: ") and message in done.stderr
        assert "Traceback" not in done.stderr


@pytest.mark.parametrize("args", [[], ["verify"], ["verify", "missing.trnd"], ["verify", "."],
                                  ["frobnicate"], ["get", "missing.trnd", "k"]])
def test_usage_and_io_errors_exit_2_with_one_line(tmp_path, args):
    done = tarndb(tmp_path, *args)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("tarndb")


@pytest.mark.parametrize(
    "lines, message",
    [
        (['{"key": "a", "v": 1}', '{"key": "b"', '{"key": "c"}'], "line 2: not valid JSON"),
        (['{"key": "a"}', '{"key": "a"}'], "line 2: duplicate key 'a' (first on line 1)"),
        (['{"key": "a"}', '{"name": "b"}'], "line 2: no key"),
        (['{"key": "a"}', '[1, 2]'], "line 2: not a JSON object"),
        (['{"key": {"x": 1}}'], "line 1: field 'key' must be"),
        (['{"key": "a", "n": 18446744073709551616}'], "line 1: cannot store"),
    ],
)
def test_bad_input_exits_2_and_leaves_the_old_store_alone(tmp_path, lines, message):
    (tmp_path / "in.jsonl").write_text("\n".join(lines) + "\n")
    assert tarndb(tmp_path, "build", "-", "s.trnd", stdin='{"key": "old"}\n').returncode == 0
    done = tarndb(tmp_path, "build", "in.jsonl", "s.trnd")
    assert done.returncode == 2 and message in done.stderr and done.stderr.count("\n") == 1
    assert tarndb(tmp_path, "keys", "s.trnd").stdout == "old\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.jsonl", "s.trnd"]


def test_console_script_is_installed(tmp_path):
    done = subprocess.run([SCRIPT, "--version"], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.split() == ["tarndb", "0.2.0"]
