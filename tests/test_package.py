"""The Python package: TarnWriter, TarnReader, errors, stub and packaging."""

import ast
import contextlib
import errno
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import msgpack
import pytest

import tarndb
from tarndb import (
    TarnCorruptError,
    TarnIOError,
    TarnReader,
    TarnWriter,
    _tarndb,
)

DOCS = Path(__file__).resolve().parent.parent / "docs"

STORES = {
    "empty": {},
    "one": {"k": "v"},
    "mixed": {
        "": None,
        "B": [1, 2.5, "three", b"\x00\xff"],
        "a": {"nested": {"deep": True}, 7: "int key"},
        "ab": -(2**63),
        "z": "",
        "é": "non-ASCII key",
        "日本": {"list": []},
    },
}


def build(path, mapping, **kwargs):
    writer = TarnWriter()
    for key, value in mapping.items():
        writer.put(key, value)
    writer.build(path, quiet=True, **kwargs)
    return path


@pytest.mark.parametrize("name", STORES)
def test_reader_behaves_like_the_dict_it_was_built_from(tmp_path, name):
    expected = STORES[name]
    ordered = sorted(expected, key=lambda k: k.encode())
    with TarnReader(build(tmp_path / "s.trnd", expected)) as r:
        assert r == expected and dict(r) == expected
        assert len(r) == len(expected)
        assert list(r) == list(r.keys()) == ordered
        assert list(r.items()) == [(k, expected[k]) for k in ordered]
        assert list(r.values()) == [expected[k] for k in ordered]
        for key, value in expected.items():
            assert key in r and key.encode() in r
            assert r[key] == r[key.encode()] == r.get(key) == value
            assert r.raw[key] == msgpack.packb(value)
        assert "missing" not in r
        assert r.get("missing") is None and r.get("missing", 0) == 0
        with pytest.raises(KeyError):
            r["missing"]
        assert dict(r.raw) == {k: msgpack.packb(v) for k, v in expected.items()}


@pytest.mark.parametrize("prefix", ["", "a", b"a", "ab", "abc", "b", "\u00e9", b"\xc3", "zz"])
def test_prefix_yields_the_matching_pairs_in_key_order(tmp_path, prefix):
    data = {k: i for i, k in enumerate(["a", "ab", "abc", "abd", "b", "ba", "é", "z"])}
    p = prefix if isinstance(prefix, bytes) else prefix.encode()
    with TarnReader(build(tmp_path / "s.trnd", data)) as r:
        expected = [(k, data[k]) for k in sorted(data) if k.encode().startswith(p)]
        assert list(r.prefix(prefix)) == expected
        assert [(k, msgpack.unpackb(v)) for k, v in r.raw.prefix(prefix)] == expected


def test_shared_objects_are_stored_and_listed_once(tmp_path):
    w = TarnWriter(hash_index=False)
    shared = w.put_many(["x", "y", b"z"], {"shared": 1})
    single = w.put("a", "alone")
    w.add_key("b", w.add({"second": 2}))
    assert (shared, single) == (0, 1)
    assert (w.num_objects, w.num_keys) == (3, 5)
    w.build(tmp_path / "s.trnd", quiet=True)
    with TarnReader(tmp_path / "s.trnd") as r:
        assert list(r.objects()) == ["alone", {"second": 2}, {"shared": 1}]
        assert r["x"] == r["y"] == r["z"] == {"shared": 1}
        assert r.stats()["num_objects"] == 3


def test_stale_reader_keeps_its_file_and_reopen_follows_the_path(tmp_path):
    path = build(tmp_path / "s.trnd", {"k": "old"})
    r = TarnReader(path)
    assert not r.is_stale()
    build(path, {"k": "new", "added": 1})
    assert r.is_stale()
    assert dict(r) == {"k": "old"}
    fresh = r.reopen()
    assert dict(fresh) == {"k": "new", "added": 1} and not fresh.is_stale()
    os.unlink(path)
    assert fresh.is_stale() and fresh["k"] == "new"


def test_closed_reader_refuses_use(tmp_path):
    with TarnReader(build(tmp_path / "s.trnd", {"k": 1})) as r:
        assert not r.closed
    assert r.closed
    with pytest.raises(ValueError, match="closed"):
        r["k"]
    r.close()


def test_create_builds_on_clean_exit_only(tmp_path):
    path = build(tmp_path / "s.trnd", {"k": "before"})
    with pytest.raises(ZeroDivisionError):
        with TarnWriter.create(path, quiet=True) as w:
            w.put("k", "after")
            1 / 0
    assert dict(TarnReader(path)) == {"k": "before"}
    with TarnWriter.create(str(path), quiet=True) as w:
        w.put("k", "after")
    assert dict(TarnReader(path)) == {"k": "after"}
    assert os.listdir(tmp_path) == ["s.trnd"]
    with pytest.raises(TypeError):
        with TarnWriter():
            pass


def test_build_prints_one_summary_line_unless_quiet(tmp_path, capfd):
    w = TarnWriter(hash_index=False)
    w.put_many(["a", "b"], 1)
    w.build(tmp_path / "loud.trnd")
    size = (tmp_path / "loud.trnd").stat().st_size / 1024
    assert capfd.readouterr().out == f"✅  {tmp_path / 'loud.trnd'}  —  1 objects · 2 keys · {size:.1f} KB\n"
    w.build(tmp_path / "quiet.trnd", quiet=True)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("target, code, left", [
    ("missing/s.trnd", errno.ENOENT, ["dir"]),
    # A directory is refused before anything is written.
    ("dir", errno.EISDIR, ["dir"]),
])
def test_failed_build_raises_and_leaves_the_target_alone(tmp_path, target, code, left):
    (tmp_path / "dir").mkdir()
    with pytest.raises(TarnIOError) as caught:
        build(tmp_path / target, {"k": 1})
    assert isinstance(caught.value, OSError) and caught.value.errno == code
    assert sorted(os.listdir(tmp_path)) == left and os.listdir(tmp_path / "dir") == []


def test_concurrent_builders_of_one_path_all_publish_whole_files(tmp_path):
    # Each builder fills its writer, then all start build() at the same moment.
    script = (
        "import sys, tarndb\n"
        "w = tarndb.TarnWriter()\n"
        "for i in range(int(sys.argv[1])): w.put(str(i), bytes(100_000))\n"
        "print('ready', flush=True); sys.stdin.readline()\n"
        "w.build(sys.argv[2], quiet=True)\n"
    )
    target, sizes = tmp_path / "s.trnd", (100, 150, 200, 250)
    with contextlib.ExitStack() as stack:
        builders = [stack.enter_context(subprocess.Popen(
            [sys.executable, "-c", script, str(n), str(target)], cwd=tmp_path, text=True,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)) for n in sizes]
        assert [b.stdout.readline() for b in builders] == ["ready\n"] * len(sizes)
        for b in builders:
            b.stdin.write("\n")
            b.stdin.flush()
        errors = [b.communicate()[1] for b in builders]
    assert [b.returncode for b in builders] == [0] * len(sizes), errors
    with TarnReader(target) as r:
        assert r.verify() and len(r) in sizes
    assert os.listdir(tmp_path) == ["s.trnd"]


def test_bad_keys_and_ids_are_refused_before_anything_is_stored():
    w = TarnWriter()
    with pytest.raises(TypeError):
        w.put_many(["ok", 5], "value")
    with pytest.raises(ValueError, match="65535"):
        w.put("x" * 65_536, "value")
    with pytest.raises(UnicodeEncodeError):
        w.put("\udcff", "value")
    with pytest.raises(ValueError, match="no key"):
        w.put_many([], "value")
    assert (w.num_objects, w.num_keys) == (0, 0)
    with pytest.raises(ValueError, match="out of range"):
        w.add_key("k", 0)


@pytest.mark.parametrize(
    "damage, error, message",
    [
        (lambda b: b[:20], TarnCorruptError, "too small"),
        (lambda b: b"PK\x03\x04" + b[4:], TarnCorruptError, r"bad magic \[80, 75, 3, 4\]"),
        (lambda b: b[:4] + b"\x03" + b[5:], tarndb.TarnVersionError, "version 3"),
        (lambda b: b[:-1] + bytes([b[-1] ^ 1]), TarnCorruptError, "CRC32 mismatch"),
    ],
)
def test_damaged_files_raise_errors_naming_the_fault(tmp_path, damage, error, message):
    path = build(tmp_path / "s.trnd", {"k": "v"})
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(error, match=message) as caught:
        TarnReader(path)
    assert isinstance(caught.value, (tarndb.TarnError, RuntimeError))


def test_missing_file_raises_tarn_io_error_with_errno(tmp_path):
    with pytest.raises(TarnIOError, match="No such file") as caught:
        TarnReader(tmp_path / "missing.trnd")
    assert caught.value.errno == errno.ENOENT


def test_the_documented_62_byte_example_is_what_the_writer_builds(tmp_path):
    dump = re.search(r"```text\n(.*?)```", (DOCS / "format.md").read_text(), re.S).group(1)
    documented = bytes.fromhex("".join(line[10:57] for line in dump.splitlines()))
    w = TarnWriter(hash_index=False)
    w.add_key("k", w.add_raw(b"abc"))
    w.build(tmp_path / "example.trnd", quiet=True)
    assert len(documented) == 62
    assert (tmp_path / "example.trnd").read_bytes() == documented


def test_stub_describes_the_extension_exactly():
    package = Path(tarndb.__file__).parent
    assert (package / "py.typed").exists()
    stub = ast.parse((package / "_tarndb.pyi").read_text())
    classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
    assert set(classes) == {"_TarnWriter", "_TarnReader"}
    for name, node in classes.items():
        native = getattr(_tarndb, name)
        stubbed = {f.name: f for f in node.body if isinstance(f, ast.FunctionDef)}
        public = {m for m in vars(native) if not m.startswith("__")} | {"__init__"}
        public |= {"__enter__", "__exit__"} & set(vars(native))
        assert set(stubbed) == public
        for method, func in stubbed.items():
            params = [a.arg for a in func.args.args]
            target = native if method == "__init__" else getattr(native, method)
            actual = list(inspect.signature(target).parameters)
            assert params[1:] == [p for p in actual if p != "self"], method
            assert func.returns is not None, method
