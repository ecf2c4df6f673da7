"""The command line's keys and output, run as a user runs it: command lines
with their expected status, standard output and standard error; and every
key a listing prints feeds back into ``get``, in each form, for a store file
and a sharded store."""

import base64
import datetime
import json
import random
import re
import subprocess
import sys

import pytest

import tarndb

# Keys that a listing could garble: not UTF-8 (two that read alike), NUL,
# a line break, option-like, a leading quote, empty, non-ASCII.
MODEL = {
    b"plain": {"x": 1}, b"caf\xe9": 1, b"caf\xe8": 2, b"a\x00b": 3, b"--": 4, b"-k": 5,
    b'"q': 6, b"": 7, b"line\nbreak": 8, "é".encode(): 9, b"\xff\xfe": 10,
    b"dt": datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc),
}
ORDERED = sorted(MODEL)
DT = '"2024-01-02T03:04:05+00:00"'


def run(cwd, *args, stdin=b""):
    """``python -m tarndb`` with *args* (str or bytes), bytes in and out."""
    return subprocess.run([sys.executable, "-m", "tarndb", *args], cwd=cwd, input=stdin,
                          capture_output=True, timeout=120)


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    where = tmp_path_factory.mktemp("keys")
    w = tarndb.TarnWriter()
    for key, value in MODEL.items():
        w.put(key, value)
    w.build(where / "s.trnd", quiet=True)
    (where / "in.jsonl").write_text('{"key": "a"}\n')
    (where / "notes.txt").write_text("#!/bin/sh\n")
    (where / "empty.bin").write_bytes(b"")
    return where


def expected_json(value):
    return DT if isinstance(value, datetime.datetime) else json.dumps(value)


TABLE = [
    # '--' ends the options, also before '--' itself
    (["get", "s.trnd", "--", "--"], b"", 0, b"4\n", b""),
    (["get", "s.trnd", "--", "-k"], b"", 0, b"5\n", b""),
    (["get", "--", "s.trnd", "--"], b"", 0, b"4\n", b""),
    # the quoted form: a byte that is not UTF-8, NUL, a leading quote
    (["get", "s.trnd", '"caf\\udce9"'], b"", 0, b"1\n", b""),
    (["get", "s.trnd", '"a\\u0000b"'], b"", 0, b"3\n", b""),
    (["get", "s.trnd", '"\\"q"'], b"", 0, b"6\n", b""),
    (["get", "--hex-keys", "s.trnd", "fffe"], b"", 0, b"10\n", b""),
    (["get", "--base64-keys", "s.trnd", "Y2Fm6A=="], b"", 0, b"2\n", b""),
    # a timestamp prints as ISO 8601
    (["get", "s.trnd", "dt"], b"", 0, DT.encode() + b"\n", b""),
    # many keys from standard input, one line each, misses marked
    (["get", "--stdin", "s.trnd"], b'plain\nnope\n"\\"q"\n', 1, b'{"x": 1}\n-\n6\n',
     b"tarndb: s.trnd: 1 of 3 keys not found\n"),
    (["get", "--stdin", "--missing", "null", "s.trnd"], b"nope", 1, b"null\n",
     b"tarndb: s.trnd: 1 of 1 keys not found\n"),
    (["get", "--stdin", "-0", "s.trnd"], b'"a\\u0000b"\0line\nbreak\0--', 0, b"3\n8\n4\n", b""),
    (["get", "--stdin", "--raw", "s.trnd"], b"-k\n", 0, b"05\n", b""),
    (["get", "s.trnd"], b"", 2, b"", b"tarndb: get needs a KEY, or --stdin\n"),
    (["get", "--stdin", "s.trnd", "k"], b"", 2, b"",
     b"tarndb: get takes one KEY, or --stdin for many, not both\n"),
    (["get", "s.trnd", '"caf'], b"", 1, b"", b"tarndb: s.trnd: no key '\"caf'\n"),
    (["get", "s.trnd", '"q'], b"", 0, b"6\n", b""),  # not a JSON string: the key as it is
    (["get", "--hex-keys", "s.trnd", "xyz"], b"", 2, b"",
     re.compile(rb"tarndb: KEY 'xyz': not hex")),
    (["get", "--stdin", "--base64-keys", "s.trnd"], b"Y2Fm6A==\n*\n", 2, b"",
     re.compile(rb"tarndb: standard input, line 2: '\*': not base64")),
    # listings
    (["keys", "s.trnd"], b"", 0,
     b'""\n"\\"q"\n--\n-k\n"a\\u0000b"\n"caf\\udce8"\n"caf\\udce9"\ndt\n"line\\nbreak"\nplain\n'
     b'\xc3\xa9\n"\\udcff\\udcfe"\n', b""),
    (["keys", "-0", "s.trnd"], b"", 0,
     b'\0"\\"q"\0--\0-k\0"a\\u0000b"\0caf\xe8\0caf\xe9\0dt\0line\nbreak\0plain\0'
     b'\xc3\xa9\0\xff\xfe\0',
     b""),
    (["keys", "--prefix", '"caf\\udce9"', "s.trnd"], b"", 0, b'"caf\\udce9"\n', b""),
    (["keys", "--hex-keys", "--prefix", "6361", "s.trnd"], b"", 0, b"636166e8\n636166e9\n", b""),
    # ranges and reverse order, alone and within a prefix
    (["keys", "--start", "caf", "--stop", "dt", "s.trnd"], b"", 0,
     b'"caf\\udce8"\n"caf\\udce9"\n', b""),
    (["keys", "--start", "line", "--reverse", "s.trnd"], b"", 0,
     b'"\\udcff\\udcfe"\n\xc3\xa9\nplain\n"line\\nbreak"\n', b""),
    (["keys", "-r", "--prefix", "caf", "--stop", '"caf\\udce9"', "s.trnd"], b"", 0,
     b'"caf\\udce8"\n', b""),
    (["dump", "--prefix", "caf", "s.trnd"], b"", 0,
     b'{"key": "caf\\udce8", "value": 2}\n{"key": "caf\\udce9", "value": 1}\n', b""),
    # STORE '-' and URLs are refused, and nothing is written
    (["build", "in.jsonl", "-"], b"", 2, b"",
     b"tarndb: STORE '-': a store is a file, not standard output (write ./- for a file named "
     b"'-')\n"),
    (["build", "in.jsonl", "s3://bucket/x.trnd"], b"", 2, b"",
     b"tarndb: STORE 's3://bucket/x.trnd' is a URL: builds write to local paths only (a path on "
     b"a file system every worker sees)\n"),
    # verify: many stores, the worst status, a file that is not a store in words
    (["verify", "s.trnd", "notes.txt"], b"", 1, b"s.trnd: ok (12 keys, 12 objects)\n",
     b"tarndb: notes.txt: not a tarndb store (bad magic: the file begins with b'#!/b', "
     b"not b'TRND')\n"),
    (["verify", "empty.bin", "missing.trnd", "s.trnd"], b"", 2,
     b"s.trnd: ok (12 keys, 12 objects)\n",
     b"tarndb: empty.bin: not a tarndb store (the file is empty)\n"
     b"tarndb: cannot open missing.trnd: No such file or directory (os error 2)\n"),
    (["get", "notes.txt", "k"], b"", 1, b"",
     b"tarndb: notes.txt: not a tarndb store (bad magic: the file begins with b'#!/b', "
     b"not b'TRND')\n"),
]


@pytest.mark.parametrize("args, stdin, status, out, err", TABLE,
                         ids=[" ".join(row[0]) for row in TABLE])
def test_command_lines(store, args, stdin, status, out, err):
    done = run(store, *args, stdin=stdin)
    assert (done.returncode, done.stdout) == (status, out), done.stderr
    if isinstance(err, bytes):
        assert done.stderr == err
    else:
        assert err.match(done.stderr) and done.stderr.count(b"\n") == 1, done.stderr
    assert sorted(p.name for p in store.iterdir()) == ["empty.bin", "in.jsonl", "notes.txt",
                                                       "s.trnd"]


def test_stats_prints_integers_and_words(store):
    done = run(store, "stats", "s.trnd")
    assert done.returncode == 0 and done.stderr == b""
    figures = dict(line.split(None, 1) for line in done.stdout.decode().splitlines())
    assert figures["num_keys"] == "12" and figures["file_size"].endswith(" bytes")
    assert figures["hash_index"].endswith("bytes, in use") and figures["compression"] == "none"
    for name, text in figures.items():
        assert re.fullmatch(r"[\w./ ,-]+", text) and not re.search(r"\d\.\d|None|True", text), name
    assert json.loads(run(store, "stats", "--json", "s.trnd").stdout)["file_size_kb"] > 0


@pytest.mark.parametrize("command", ["build", "get", "keys", "dump", "stats", "verify"])
def test_every_positional_argument_has_a_help_text(store, command):
    text = run(store, command, "--help").stdout.decode()
    section = text.split("positional arguments:\n")[1].split("\n\n")[0]
    for line in section.splitlines():
        if line.startswith("  ") and not line.startswith("   "):
            assert len(line.split(None, 1)) == 2, line  # the name, then its help


def sharded(tmp_path):
    pytest.importorskip("dask.bag")
    import dask.bag as db

    from tarndb.dask import to_tarn

    records = [{"k": k, "v": v} for k, v in MODEL.items()]
    to_tarn(db.from_sequence(records, npartitions=3), tmp_path / "d", shards=3, key="k",
            value="v", scheduler="sync")
    return "d"


@pytest.mark.parametrize("kind", ["file", "sharded"])
@pytest.mark.parametrize("form", ["lines", "nul", "hex", "base64", "argv", "dump"])
def test_every_listed_key_reads_back_as_itself(store, tmp_path, kind, form):
    """The listing, in each form, fed to get: every key's value, in key order."""
    where, name = (store, "s.trnd") if kind == "file" else (tmp_path, sharded(tmp_path))
    values = [expected_json(MODEL[k]).encode() + b"\n" for k in ORDERED]
    if form == "dump":
        lines = run(where, "dump", name).stdout.splitlines()
        keys = [json.loads(line)["key"].encode("utf-8", "surrogateescape") for line in lines]
        assert keys == ORDERED
        return
    option = {"hex": ["--hex-keys"], "base64": ["--base64-keys"]}.get(form, [])
    listed = run(where, "keys", *option, *(["-0"] if form == "nul" else []), name)
    assert listed.returncode == 0 and listed.stderr == b""
    if form == "hex":
        assert listed.stdout.split(b"\n")[:-1] == [k.hex().encode() for k in ORDERED]
    if form == "base64":
        assert listed.stdout.split(b"\n")[:-1] == [base64.b64encode(k) for k in ORDERED]
    if form in ("argv", "nul"):
        items = listed.stdout.split(b"\0" if form == "nul" else b"\n")[:-1]
        got = [run(where, "get", name, "--", item).stdout for item in items]
        assert got == values
    if form != "argv":
        got = run(where, "get", "--stdin", *option, *(["-0"] if form == "nul" else []), name,
                  stdin=listed.stdout)
        assert (got.returncode, got.stdout, got.stderr) == (0, b"".join(values), b"")


def key_sets():
    rng = random.Random(7)
    binary = {rng.randbytes(rng.randrange(0, 9)) for _ in range(600)}
    stray = [b"", b"\xe9", b"\xc3", b"\xe2\x82", b"\xef\xbf\xbd"]
    texty = {f"k{i:03d}".encode() + rng.choice(stray) + rng.choice([b"", b"x", b"\x80\x80"])
             for i in range(300)}
    alike = {b"x" + bytes([b]) + tail for b in range(0x80, 0x100, 7)
             for tail in (b"", b"\xff", b"y")}
    return {"binary": binary, "text with bytes that are not UTF-8": texty,
            "keys that read alike": alike | {b"x", b"x\xef\xbf\xbd"}}


@pytest.mark.parametrize("prefix", [b"", b"x", b"k01", b"\xc3"])
@pytest.mark.parametrize("name", list(key_sets()))
def test_key_bytes_behind_each_listed_key(tmp_path, name, prefix):
    """A model test of what the listings print from: the bytes a reader
    lists, in listing order, are the stored keys, in byte order."""
    keys = key_sets()[name]
    w = tarndb.TarnWriter()
    for key in keys:
        w.put_raw(key, b"")
    w.build(tmp_path / "k.trnd", quiet=True)
    with tarndb.TarnReader(tmp_path / "k.trnd", keys_as="bytes") as r:
        listed = [key for key, _ in r.raw.prefix(prefix)]
    assert listed == sorted(k for k in keys if k.startswith(prefix))
