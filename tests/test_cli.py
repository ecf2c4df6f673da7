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
                ["child", "", "a young person, \"kid\""], ["ox", "oxen", "line one\nline two"],
                ["sheep", "sheep", "one key, named twice"]]
        csv.writer(f).writerows(rows)
    done = tarndb(tmp_path, "build", "words.csv", "w.trnd", "-k", "word", "-k", "plural",
                  "--value-field", "meaning")
    assert done.returncode == 0, done.stderr
    dumped = [json.loads(line) for line in tarndb(tmp_path, "dump", "w.trnd").stdout.splitlines()]
    assert dumped == [{"key": k, "value": v} for k, v in sorted([
        ("mouse", "a rodent"), ("mice", "a rodent"), ("child", 'a young person, "kid"'),
        ("ox", "line one\nline two"), ("oxen", "line one\nline two"),
        ("sheep", "one key, named twice")])]


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
    "name, lines, message",
    [
        ("in.jsonl", ['{"key": "a", "v": 1}', '{"key": "b"', '{"key": "c"}'],
         "line 2: not valid JSON"),
        ("in.jsonl", ['{"key": "a"}', '{"key": "a"}'], "line 2: duplicate key 'a' (first on line 1)"),
        ("in.jsonl", ['{"key": "a"}', '{"name": "b"}'], "line 2: no key"),
        ("in.jsonl", ['{"key": "a"}', '[1, 2]'], "line 2: not a JSON object"),
        ("in.jsonl", ['{"key": {"x": 1}}'], "line 1: field 'key' must be"),
        ("in.jsonl", ['{"key": "a"}', '{"key": true}'], "line 2: field 'key' must be"),
        ("in.jsonl", ['{"key": [1, false]}'], "line 1: field 'key' must be"),
        ("in.jsonl", ['{"key": 1.5}'], "line 1: field 'key' must be"),
        ("in.jsonl", ['{"key": "a", "n": 18446744073709551616}'], "line 1: cannot store"),
        ("in.jsonl", ['{"key": "a"}'] * 2000 + ['{"key": "' + "k" * 70_000 + '"}'],
         "line 2001: cannot store: key of 70000 bytes"),
        ("in.csv", ["key,a,b", "k1,1,2", "k2,1"], "line 3: 2 fields, the header has 3"),
        ("in.csv", ["key,a,b", "k1,1,2,3"], "line 2: 4 fields, the header has 3"),
    ],
)
def test_bad_input_exits_2_and_leaves_the_old_store_alone(tmp_path, name, lines, message):
    (tmp_path / name).write_text("\n".join(lines) + "\n")
    assert tarndb(tmp_path, "build", "-", "s.trnd", stdin='{"key": "old"}\n').returncode == 0
    done = tarndb(tmp_path, "build", name, "s.trnd")
    assert done.returncode == 2 and message in done.stderr and done.stderr.count("\n") == 1
    assert tarndb(tmp_path, "keys", "s.trnd").stdout == "old\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == [name, "s.trnd"]


def odd_lines(n):
    """JSON Lines that take every path of the reader: blank lines, values
    msgspec refuses but the json module reads (NaN, 1e400), escapes, integer
    and list keys, and enough lines for several batches."""
    lines = []
    for i in range(n):
        value = {"key": f"k{i}", "n": i, "f": i / 3, "s": "é\u00e9\\\"" * (i % 3),
                 "nested": [{"a": [i]}], "big": -(2**63) if i % 11 == 0 else 2**64 - 1}
        line = json.dumps(value)
        if i % 7 == 0:
            line = line.replace(f'"key": "k{i}"', f'"key": [{i}, "alias{i}"]')
        if i % 500 == 1:
            line = line.replace('"n": ', '"n": NaN, "m": 1e400, "o": ')
        lines.append(line)
        if i % 250 == 0:
            lines.append("   ")
    return lines


@pytest.mark.parametrize("compress", [False, True])
def test_json_lines_and_csv_build_the_records_the_standard_library_reads(tmp_path, compress):
    import msgpack

    from tarndb import TarnReader

    lines = odd_lines(3000)
    (tmp_path / "in.jsonl").write_bytes(b"\xef\xbb\xbf" + "\n".join(lines).encode() + b"\n")
    rows = [["key", "alias", "text"]] + [[f"c{i}", f"d{i}" if i % 2 else "", "x,\"y\"\n" * (i % 3)]
                                         for i in range(3000)]
    with open(tmp_path / "in.csv", "w", newline="") as f:
        csv.writer(f).writerows(rows)
    expected = {}
    for line in lines:
        if line.strip():
            record = json.loads(line)
            for key in record["key"] if isinstance(record["key"], list) else [record["key"]]:
                expected[str(key)] = record
    with open(tmp_path / "in.csv", newline="") as f:
        for row in csv.DictReader(f):
            expected.update({k: dict(row) for k in (row["key"], row["alias"]) if k})
    flags = ["--compress"] if compress else []
    for name, keys in [("in.jsonl", ["-k", "key"]), ("in.csv", ["-k", "key", "-k", "alias"])]:
        done = tarndb(tmp_path, "build", name, name + ".trnd", *keys, *flags)
        assert done.returncode == 0, done.stderr
    with TarnReader(tmp_path / "in.jsonl.trnd") as a, TarnReader(tmp_path / "in.csv.trnd") as b:
        stored = {**dict(a.items()), **dict(b.items())}
        assert len(a) + len(b) == len(expected)
        assert {k: msgpack.packb(v) for k, v in stored.items()} == \
            {k: msgpack.packb(v) for k, v in expected.items()}  # NaN compares by its bytes
        if not compress:
            assert all(a.raw[k] == msgpack.packb(expected[k]) for k in a)


def test_console_script_is_installed(tmp_path):
    done = subprocess.run([SCRIPT, "--version"], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.split() == ["tarndb", "0.2.0"]


@pytest.mark.parametrize("input_name, store, stdin_from_store", [
    ("data.jsonl", "data.jsonl", False),
    ("data.jsonl", "./data.jsonl", False),
    ("./data.jsonl", "link.jsonl", False),   # a symbolic link to the input
    ("-", "data.jsonl", True),               # standard input read from STORE
])
def test_a_store_that_would_replace_its_own_input_is_refused(tmp_path, input_name, store,
                                                             stdin_from_store):
    data = tmp_path / "data.jsonl"
    data.write_text('{"key": "a"}\n{"key": "b"}\n')
    (tmp_path / "link.jsonl").symlink_to("data.jsonl")
    with open(data) as stdin:
        done = subprocess.run([sys.executable, "-m", "tarndb", "build", input_name, store],
                              cwd=tmp_path, stdin=stdin if stdin_from_store else None,
                              capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and done.stdout == "", done.stderr
    assert done.stderr == f"tarndb: {store}: is the input file; the build would replace it " \
                          "with the store (name another STORE)\n"
    assert data.read_text() == '{"key": "a"}\n{"key": "b"}\n'
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data.jsonl", "link.jsonl"]
