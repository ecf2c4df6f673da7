"""Sharded stores without Dask: the reader against a dict, versions and
commits, and every way a manifest or a shard can be damaged."""

import errno
import json
import os
import pickle
import random
import re
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

import tarndb
from tarndb._codec import encode
from tarndb._commit import held_version
from tarndb._commit import commit, new_version, shard_figures
from tarndb._manifest import shard_file_name
from tarndb._store import _group_by_shard

from storefile import fix_crc


def build_sharded(root, items, n, route=None, version=None):
    """Build items (a dict) as a new committed version of n shards at root
    (in *version* when given); route(key) overrides the shard a key goes to."""
    version = version or new_version(root)
    groups = [[] for _ in range(n)]
    if route is None:
        for s, (keys, _) in enumerate(_group_by_shard(list(items), n)):
            groups[s] = keys
    else:
        for key in items:
            groups[route(key)].append(key)
    figures = []
    for s, keys in enumerate(groups):
        w = tarndb.TarnWriter()
        w.update({k: items[k] for k in keys})
        path = os.path.join(root, version, shard_file_name(s, n))
        w.build(path, quiet=True)
        figures.append(shard_figures(path, s, n))
    return commit(root, version, figures)


def sample_items(count=3000, tag=""):
    items = {f"user/{i:05d}": {"i": i, "tag": tag} for i in range(count)}
    items.update({"": "empty key", "é": [1, 2], "éa": None, "z\x00z": b"bytes", "日本": 3.5,
                  "a" * 300: "long", "user/": "exact prefix", "\U0001f600": True})
    return items


@pytest.mark.parametrize("n", [1, 3, 16])
def test_reader_equals_the_dict(tmp_path, n):
    items = sample_items()
    manifest = build_sharded(tmp_path, items, n)
    assert manifest["n"] == n and manifest["keys"] == len(items)
    with tarndb.open(tmp_path) as r:
        assert isinstance(r, tarndb.ShardedReader)
        assert len(r) == len(items)
        assert list(r) == sorted(items)  # code-point order is bytewise UTF-8 order
        assert list(r.items()) == sorted(items.items(), key=lambda kv: kv[0])
        assert list(r.values()) == [items[k] for k in sorted(items)]
        for key, value in items.items():
            assert r[key] == value and r.get(key) == value and key in r
            assert r[key.encode()] == value
        for absent in ["user/x", "nope", "ée", b"\xff"]:
            assert absent not in r and r.get(absent, 7) == 7
            with pytest.raises(KeyError):
                r[absent]
        # long enough for several of the batch's chunks, with odd keys past the first
        query = ["user/00007", "absent", b"\xc3\xa9", "user/00007", ""] + list(items)[::7]
        query += list(items) + [bytearray(b"user/00042"), memoryview(b"\xc3\xa9"), "x" * 70_000,
                                "user/99999"] + list(items)[::-3]
        texts = [k if isinstance(k, str) else bytes(k).decode() for k in query]
        assert len(query) > 4096
        assert r.get_many(query, default=0) == [items.get(k, 0) for k in texts]
        assert r.raw.get_many(query) == [encode(items[k]) if k in items else None for k in texts]
        assert r.get_many(iter(["é"])) == [[1, 2]] and r.get_many([]) == []
        for p in ["user/0001", "user/", "é", "", "zz", b"\xe6\x97"]:
            text = p.decode() if isinstance(p, bytes) and p != b"\xe6\x97" else p
            expected = sorted((k, v) for k, v in items.items()
                              if k.encode().startswith(p if isinstance(p, bytes) else p.encode()))
            assert list(r.prefix(p)) == expected, text
        assert r.raw["é"] == encode([1, 2])
        assert dict(r.raw.items()) == {k: encode(v) for k, v in items.items()}
        assert r.raw.get_many(["é", "x"]) == [encode([1, 2]), None]
        assert sorted(map(repr, r.objects())) == sorted(map(repr, items.values()))
        assert r == items
        assert r.verify() is True
        stats = r.stats()
        assert (stats["num_keys"], stats["n"], stats["hash_index"]) == (len(items), n, True)
        assert sum(s["num_keys"] for s in stats["shards"]) == len(items)
        for shard, reader in enumerate(r.shards):
            assert all(tarndb.shard_of(k, n) == shard for k in reader)
    with pytest.raises(ValueError, match="closed"):
        r["é"]


def test_a_key_that_is_not_utf8(tmp_path):
    build_sharded(tmp_path, {b"\xff\xfe": "raw", "a": 1, "\ufffd": "replacement char"}, 4)
    with tarndb.open(tmp_path) as r:
        assert r[b"\xff\xfe"] == "raw" and r["\ufffd"] == "replacement char"
        assert sorted(r) == ["a", "\ufffd", "\ufffd\ufffd"]
        assert r.verify()  # the key's text does not route, its bytes do


def test_versions_readers_keep_theirs_and_two_are_kept(tmp_path):
    first = sample_items(500, "one")
    build_sharded(tmp_path, first, 4)
    old = tarndb.open(tmp_path, verify=False)
    assert not old.is_stale()
    abandoned = new_version(tmp_path)  # a build that died before its commit
    second = sample_items(400, "two")
    build_sharded(tmp_path, second, 3)
    assert old.is_stale() and old["user/00001"]["tag"] == "one" and len(old) == len(first)
    new = old.reopen()
    assert not new.is_stale() and new.version == "v-000003" and new == second
    assert sorted(d for d in os.listdir(tmp_path) if d.startswith("v-")) == ["v-000001", "v-000003"]
    third = sample_items(300, "three")
    build_sharded(tmp_path, third, 2)
    # only the last two versions remain; readers of removed ones still read theirs
    assert sorted(d for d in os.listdir(tmp_path) if d.startswith("v-")) == ["v-000003", "v-000004"]
    assert abandoned not in os.listdir(tmp_path)
    assert old == first and new == second and tarndb.open(tmp_path) == third
    assert pickle.loads(pickle.dumps(old)) == third  # a pickled reader reopens the path
    old.close()
    new.close()


def _rewrite_manifest(root, change, fix_checksum=True):
    path = os.path.join(root, "manifest.json")
    with open(path) as f:
        fields = json.load(f)
    change(fields)
    if fix_checksum:
        body = {k: v for k, v in fields.items() if k != "checksum"}
        data = json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=True).encode()
        fields["checksum"] = f"0x{zlib.crc32(data):08x}"
    with open(path, "w") as f:
        json.dump(fields, f)


def _shard(root, i, n=3):
    return os.path.join(root, "v-000001", shard_file_name(i, n))


def _flip_byte(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        b = f.read(1)
        f.seek(offset)
        f.write(bytes([b[0] ^ 0x40]))


def _write(path, text=None, size=None):
    with open(path, "r+") as f:
        if text is None:
            f.truncate(size)
        else:
            f.seek(0)
            f.truncate()
            f.write(text)


def _replace_shard(root, i=2):
    w = tarndb.TarnWriter()
    w.put("other", 1)
    w.build(_shard(root, i), quiet=True)


def _alter_shard_alike(root, i=0):
    """Shard i with its first value's first byte changed, its record's and
    file's checksums made good: a whole store of the same size and counts,
    which only the manifest's crc32 tells from the one it lists."""
    path = Path(_shard(root, i))
    data = bytearray(path.read_bytes())
    (length,) = struct.unpack_from(">I", data, 40)
    data[48] ^= 0x01
    struct.pack_into(">I", data, 44, zlib.crc32(data[48:48 + length]))
    path.write_bytes(fix_crc(bytes(data)))


def _swap_shards(root):
    os.rename(_shard(root, 0), _shard(root, 9))
    os.rename(_shard(root, 1), _shard(root, 0))
    os.rename(_shard(root, 9), _shard(root, 1))


DAMAGE = [
    ("manifest cut short", lambda r: _write(os.path.join(r, "manifest.json"), size=40),
     "manifest.json: not valid JSON"),
    ("manifest not an object", lambda r: _write(os.path.join(r, "manifest.json"), "[1]"),
     "manifest.json: not a JSON object"),
    ("manifest nested deeply", lambda r: _write(os.path.join(r, "manifest.json"), "[" * 100_000),
     r"manifest.json: not a manifest \(JSON nested too deeply\)"),
    ("manifest field nested deeply", lambda r: _write(os.path.join(r, "manifest.json"),
                                                     '{"format": ' + "[" * 100_000 + "]" * 100_000 + "}"),
     r"manifest.json: not a manifest \(JSON nested too deeply\)"),
    ("a figure edited", lambda r: _rewrite_manifest(r, lambda m: m["shards"][1].update(keys=5), False),
     "manifest.json: manifest checksum mismatch  stored=0x[0-9a-f]{8}  computed=0x"),
    ("shard count off", lambda r: _rewrite_manifest(r, lambda m: m.update(n=4)),
     "manifest.json: 3 shards listed, n is 4"),
    ("unknown hash", lambda r: _rewrite_manifest(r, lambda m: m.update(hash="md5-mod")),
     "manifest.json: unknown shard hash 'md5-mod'"),
    ("version outside the store", lambda r: _rewrite_manifest(r, lambda m: m.update(version="../x")),
     r"manifest.json: bad version directory '\.\./x'"),
    ("shard file renamed", lambda r: _rewrite_manifest(r, lambda m: m["shards"][2].update(file="../../etc/passwd")),
     "manifest.json: shard 2 is not described as part-00002-of-00003.trnd"),
    ("totals off", lambda r: _rewrite_manifest(r, lambda m: m.update(keys=m["keys"] + 1)),
     "manifest.json: keys [0-9]+ is not the shards' sum"),
    ("size off", lambda r: _rewrite_manifest(r, lambda m: m["shards"][1].update(size=m["shards"][1]["size"] + 1)),
     "part-00001-of-00003.trnd: size [0-9]+ differs from the manifest's"),
    ("shard missing", lambda r: os.remove(_shard(r, 1)),
     "part-00001-of-00003.trnd: shard named by the manifest is missing"),
    ("shard replaced", _replace_shard,
     "part-00002-of-00003.trnd: size [0-9]+ differs from the manifest's"),
    ("shard altered alike", _alter_shard_alike,
     "part-00000-of-00003.trnd: crc32 0x[0-9a-f]{8} differs from the manifest's"),
    ("shards swapped", _swap_shards, "part-00000-of-00003.trnd: (size|crc32) .* differs from the manifest's"),
    ("shard byte flipped", lambda r: _flip_byte(_shard(r, 0), 100), "file CRC32 mismatch"),
]


@pytest.mark.parametrize("damage, message", [d[1:] for d in DAMAGE], ids=[d[0] for d in DAMAGE])
def test_damage_is_refused_naming_the_fault(tmp_path, damage, message):
    build_sharded(tmp_path, sample_items(300), 3)
    damage(str(tmp_path))
    with pytest.raises(tarndb.TarnCorruptError, match=message):
        tarndb.open(tmp_path)
    # the command line reports it as damage (status 1), naming it too
    run = subprocess.run([sys.executable, "-m", "tarndb", "verify", str(tmp_path)],
                         capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert run.returncode == 1 and "damaged" in run.stderr, run.stderr


def test_damage_found_by_verify(tmp_path):
    build_sharded(tmp_path, sample_items(300), 3)
    _flip_byte(_shard(tmp_path, 2), 60)  # a payload byte: the header's figures still match
    with tarndb.open(tmp_path, verify=False) as r:
        with pytest.raises(tarndb.TarnCorruptError, match="CRC32 mismatch"):
            r.verify()


def test_key_in_the_wrong_shard_found_by_verify(tmp_path):
    items = sample_items(200)
    build_sharded(tmp_path, items, 3, route=lambda k: 0 if k == "user/00042" else tarndb.shard_of(k, 3))
    with tarndb.open(tmp_path) as r:
        if tarndb.shard_of("user/00042", 3) != 0:
            assert "user/00042" not in r  # why it matters: the lookup goes elsewhere
        with pytest.raises(tarndb.TarnCorruptError,
                           match=r"part-00000-of-00003.trnd: key 'user/00042' belongs to shard"):
            r.verify()


@pytest.mark.parametrize("setup, error, message", [
    (lambda r: None, tarndb.TarnIOError, "not a sharded store: it has no manifest.json"),
    (lambda r: (build_sharded(r, {"a": 1}, 2),
                _rewrite_manifest(r, lambda m: m.update(layout=9))), tarndb.TarnVersionError,
     "unsupported format version 9"),
])
def test_not_a_readable_sharded_store(tmp_path, setup, error, message):
    setup(str(tmp_path))
    with pytest.raises(error, match=message) as info:
        tarndb.ShardedReader(tmp_path)
    if error is tarndb.TarnIOError:
        assert info.value.errno == errno.ENOENT


def test_commit_refuses_a_missing_shard(tmp_path):
    build_sharded(tmp_path, {"a": 1}, 1)
    version = new_version(tmp_path)
    with pytest.raises(tarndb.TarnIOError, match="cannot commit v-000002: .*part-00000-of-00001"):
        commit(tmp_path, version, [{"file": shard_file_name(0, 1), "size": 40, "keys": 0,
                                    "objects": 0, "crc32": "0x00000000"}])
    assert tarndb.open(tmp_path) == {"a": 1}


def test_command_line_reads_a_sharded_store(tmp_path):
    items = {"k1": {"v": 1}, "k2": {"v": 2}, "other": [3]}
    build_sharded(tmp_path, items, 2)

    def run(*args):
        return subprocess.run([sys.executable, "-m", "tarndb", *args], capture_output=True,
                              text=True, timeout=60, cwd=tmp_path)

    assert run("get", str(tmp_path), "k2").stdout == '{"v": 2}\n'
    assert run("get", str(tmp_path), "k9").returncode == 1
    assert run("keys", str(tmp_path)).stdout == "k1\nk2\nother\n"
    assert run("keys", str(tmp_path), "--prefix", "k").stdout == "k1\nk2\n"
    assert [json.loads(line) for line in run("dump", str(tmp_path)).stdout.splitlines()] == [
        {"key": k, "value": v} for k, v in sorted(items.items())]
    assert json.loads(run("stats", str(tmp_path), "--json").stdout)["num_keys"] == 3
    assert run("verify", str(tmp_path)).stdout == f"{tmp_path}: ok (3 keys, 3 objects)\n"


@pytest.mark.timeout(60)
def test_readers_opened_during_commits_see_one_whole_version(tmp_path):
    """Commits in a thread remove older versions while readers open: every
    reader gets all the shards of one version, never a mixture or an error."""
    import threading
    import time

    build_sharded(tmp_path, {f"k{i}": 0 for i in range(40)}, 4)
    stop = threading.Event()
    errors = []

    def committer():
        tag = 0
        while not stop.is_set():
            tag += 1
            try:
                build_sharded(tmp_path, {f"k{i}": tag for i in range(40 + tag % 3)}, 4)
            except Exception as exc:  # noqa: BLE001 - reported below
                errors.append(exc)
                return

    thread = threading.Thread(target=committer)
    thread.start()
    opened = 0
    deadline = time.monotonic() + 3
    try:
        while time.monotonic() < deadline:
            with tarndb.open(tmp_path, verify=False) as r:
                values = set(r.values())
                assert len(values) == 1 and len(r) == 40 + values.pop() % 3
                opened += 1
    finally:
        stop.set()
        thread.join(30)
    assert not errors and opened > 10


def test_a_build_running_keeps_its_version_through_another_build_s_commit(tmp_path):
    """Build A begins, build B begins later and commits first: B's clean-up
    must leave A's version alone; A then commits and wins, B's is kept as
    the one before, and the next commit removes what nothing holds."""
    build_sharded(tmp_path, {"first": 1}, 2)
    with held_version(tmp_path) as slow:
        build_sharded(tmp_path, {"quick": 2}, 2)
        build_sharded(tmp_path, {"quicker": 3}, 2)
        assert os.path.isdir(tmp_path / slow)
        manifest = build_sharded(tmp_path, {"slow": 4}, 3, version=slow)
    assert manifest["version"] == slow == "v-000002"
    with tarndb.open(tmp_path) as r:
        assert dict(r) == {"slow": 4}
    assert sorted(d for d in os.listdir(tmp_path) if d.startswith("v-")) == ["v-000002", "v-000004"]
    with pytest.raises(ZeroDivisionError):
        with held_version(tmp_path) as failed:
            1 / 0
    assert not os.path.exists(tmp_path / failed)  # a failed build's version is removed


def test_a_commit_leaves_a_higher_version_still_being_filled(tmp_path):
    """Build A begins, build B begins later; A commits while B still fills
    its version: A's clean-up must not remove B's, whose commit then wins."""
    build_sharded(tmp_path, {"first": 1}, 2)
    with held_version(tmp_path) as early, held_version(tmp_path) as late:
        assert early < late
        build_sharded(tmp_path, {"early": 2}, 2, version=early)
        assert os.path.isdir(tmp_path / late)
        build_sharded(tmp_path, {"late": 3}, 2, version=late)
    with tarndb.open(tmp_path) as r:
        assert dict(r) == {"late": 3}


@pytest.mark.parametrize("planted, committed", [
    (".manifest.json.v-000002.tmp", True),  # the name an older commit wrote through
    ("manifest.trnd.tmp", False),           # the publishing path's own temporary name
])
def test_a_planted_link_at_a_temporary_name_changes_nothing_outside(tmp_path, planted, committed):
    store, outside = tmp_path / "store", tmp_path / "victim.txt"
    outside.write_text("not the store's")
    build_sharded(store, {"a": 1}, 2)
    (store / planted).symlink_to(outside)
    if committed:
        build_sharded(store, {"b": 2}, 2)
    else:
        with pytest.raises(tarndb.TarnIOError, match="manifest.trnd.tmp") as caught:
            build_sharded(store, {"b": 2}, 2)
        assert caught.value.filename.endswith("manifest.trnd.tmp")
    assert outside.read_text() == "not the store's"
    assert (store / "manifest.json").is_file() and not (store / "manifest.json").is_symlink()
    with tarndb.open(store) as r:
        assert dict(r) == ({"b": 2} if committed else {"a": 1})


@pytest.mark.parametrize("misplaced, shown", [
    (b"\xff\xfe", r"b'\xff\xfe'"),                  # not UTF-8: read as two U+FFFD
    (b"x\xc3", r"b'x\xc3'"),                       # a sequence cut short
    ("a\ufffdb".encode(), "'a\ufffdb'"),            # a real U+FFFD
    (b"\xfe", r"b'\xfe'"),                          # one of two keys that read alike
])
def test_a_key_that_is_not_plain_text_in_the_wrong_shard_is_found_by_verify(tmp_path, misplaced, shown):
    items = {b"\xff": 1, b"\xfe": 2, b"\xff\xfe": 3, b"x\xc3": 4, "a\ufffdb".encode(): 5, "ok": 6}
    n = 4
    home = tarndb.shard_of(misplaced, n)
    build_sharded(tmp_path, items, n,
                  route=lambda k: (home + 1) % n if k == misplaced else tarndb.shard_of(k, n))
    with tarndb.open(tmp_path) as r:
        assert misplaced not in r  # why it matters: the lookup goes to its own shard
        with pytest.raises(tarndb.TarnCorruptError,
                           match=rf"part-0000{(home + 1) % n}-of-00004.trnd: key "
                                 rf"{re.escape(shown)} belongs to shard {home}, not"):
            r.verify()


def test_the_bytes_of_every_key_are_listed_exactly(tmp_path):
    """Keys of bytes that make every kind of sequence (valid, cut short,
    stray, a real U+FFFD) are listed as their bytes, each once, in byte
    order, by a reader asked for keys as bytes, single and sharded."""
    rng = random.Random(5)
    alphabet = [0x41, 0xC3, 0xA9, 0xFF, 0xEF, 0xBF, 0xBD, 0x80, 0xE2, 0x82, 0xAC, 0xF0, 0x9F]
    keys = {bytes(rng.choice(alphabet) for _ in range(rng.randint(0, 6))) for _ in range(3000)}
    w = tarndb.TarnWriter()
    w.update({k: 1 for k in keys})
    w.build(tmp_path / "s.trnd", quiet=True)
    build_sharded(tmp_path / "d", {k: 1 for k in keys}, 3)
    for path in (tmp_path / "s.trnd", tmp_path / "d"):
        with tarndb.open(path, keys_as="bytes") as r:
            assert list(r) == sorted(keys) and all(k in r for k in r)
            assert list(reversed(r)) == sorted(keys, reverse=True)


def _sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


@pytest.mark.parametrize("plant, error, status, message", [
    (os.mkfifo, "TarnIOError", 2, "manifest.json: not a regular file"),
    (lambda p: os.symlink("/dev/zero", p), "TarnIOError", 2, "manifest.json: not a regular file"),
    (lambda p: _sparse(p, (64 << 20) + 1), "TarnCorruptError", 1,
     "manifest.json: larger than a manifest can be (64 MiB)"),
])
def test_a_manifest_that_is_no_file_or_far_too_large_is_refused_at_once(tmp_path, plant, error,
                                                                         status, message):
    build_sharded(tmp_path, {"a": 1}, 2)
    os.remove(tmp_path / "manifest.json")
    plant(str(tmp_path / "manifest.json"))
    script = ("import sys, tarndb\ntry:\n    tarndb.open(sys.argv[1])\n"
              "except tarndb.TarnError as exc:\n    print(type(exc).__name__, exc)\n")
    opened = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True,
                            text=True, timeout=60, cwd=tmp_path)
    assert opened.stdout.startswith(error) and message in opened.stdout, opened
    run = subprocess.run([sys.executable, "-m", "tarndb", "stats", str(tmp_path)],
                         capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert run.returncode == status and run.stderr.count("\n") == 1 and message in run.stderr
