"""Remote reads: stores served by nginx (started by the tests on 127.0.0.1)
and by fsspec's local and memory file systems, read with ``tarndb.open(url)``
and compared call by call with the same stores read locally; the requests a
call costs, counted from nginx's access log; a store republished under its
URL; and files whose hash index or records lie."""

import os
import struct
import sys
import zlib

import msgspec
import pytest

import tarndb
from tarndb import TarnCorruptError, TarnStaleError

from test_hash_index import extension, repoint
from http_servers import NGINX, Nginx
from test_sharded import build_sharded, sample_items

fsspec = pytest.importorskip("fsspec")
pytest.importorskip("aiohttp")
pytestmark = pytest.mark.skipif(NGINX is None, reason="nginx is not installed")

KEYS = 3000


def store_items():
    """Keys of every kind: shared values, the empty key, non-ASCII, a long key,
    bytes that are not UTF-8, values long enough to pass the record window."""
    items = {f"user/{i:05d}/{f}": {"i": i, "f": f, "pad": "x" * (i % 97)}
             for i in range(KEYS // 3) for f in ("name", "mail", "zone")}
    items.update({"": "empty key", "é": [1, 2], "日本": 3.5, "a" * 300: "long key",
                  "big": "y" * 20000, "user/": "exact prefix"})
    return items


def write_store(path, items, **options):
    w = tarndb.TarnWriter(**options)
    shared = w.add({"shared": True})
    for k in ("alias/1", "alias/2", "alias/3"):
        w.add_key(k, shared)
    w.update(items)
    w.put_raw(b"\xff\xfe-not-utf8", b"\xc0")  # raw, not MessagePack: read through .raw
    w.build(path, quiet=True)


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """A directory of stores and nginx serving it."""
    root = str(tmp_path_factory.mktemp("served"))
    items = store_items()
    write_store(os.path.join(root, "plain.trnd"), items)
    write_store(os.path.join(root, "small.trnd"), {"a": 1, "b": 2})
    tarndb.TarnWriter().build(os.path.join(root, "empty.trnd"), quiet=True)
    if "zstandard" in sys.modules or _has("zstandard"):
        write_store(os.path.join(root, "packed.trnd"), items, compression="zstd")
    build_sharded(os.path.join(root, "sharded"), sample_items(900), 3)
    server = Nginx(root, str(tmp_path_factory.mktemp("nginx")))
    yield root, server
    server.stop()


def _has(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def url_of(how, root, name, server):
    """The store *name* under *root* as a URL of the way *how*."""
    if how == "http":
        return server.url(name)
    if how == "file":
        return "file://" + os.path.join(root, name)
    mem = fsspec.filesystem("memory")
    for dirpath, _, files in os.walk(os.path.join(root, name)) if os.path.isdir(
            os.path.join(root, name)) else [(root, None, [name])]:
        for f in files:
            src = os.path.join(dirpath, f)
            with open(src, "rb") as fh:
                mem.pipe("/" + os.path.relpath(src, root), fh.read())
    return "memory://" + name


def same_stats(local, remote):
    wanted = ("num_keys", "num_objects", "index_offset", "file_crc32", "hash_index",
              "compression", "file_size")
    return {k: local[k] for k in wanted} == {k: remote[k] for k in wanted}


def compare_readers(local, remote, probes, prefixes):
    """Every call of the reader API gives the same answer on both."""
    assert len(remote) == len(local)
    assert list(remote) == list(local)
    assert list(remote.items()) == list(local.items())
    assert list(remote.values()) == list(local.values())
    assert list(remote.objects()) == list(local.objects())
    assert list(remote.raw.items()) == list(local.raw.items())
    for key in probes:
        assert (key in remote) == (key in local), key
        assert remote.get(key, "absent") == local.get(key, "absent"), key
        assert remote.raw.get(key) == local.raw.get(key), key
        if key in local:
            assert remote[key] == local[key]
        else:
            with pytest.raises(KeyError):
                remote[key]
    assert remote.get_many(probes, 0) == local.get_many(probes, 0)
    assert remote.raw.get_many(probes) == local.raw.get_many(probes)
    for p in prefixes:
        assert list(remote.prefix(p)) == list(local.prefix(p)), p
        assert list(remote.raw.prefix(p)) == list(local.raw.prefix(p)), p
    assert remote == local  # Mapping equality
    with pytest.raises(TypeError):
        remote.get(3)
    with pytest.raises(TypeError):
        remote.get_many("one key")


PROBES = ["user/00007/mail", "user/00999/zone", "missing", "", "é", "日本", "a" * 300,
          "a" * 299, "big", "alias/2", b"\xff\xfe-not-utf8", "user/", "user", "zzz", "\x00"]
PREFIXES = ["", "user/0001", "user/", "alias", "nothing", "é", b"\xff", "user/00999/zone!"]


@pytest.mark.parametrize("how", ["http", "file", "memory"])
@pytest.mark.parametrize("name", ["plain.trnd", "small.trnd", "empty.trnd", "packed.trnd"])
def test_remote_store_answers_as_the_local_one(served, how, name):
    root, server = served
    if not os.path.exists(os.path.join(root, name)):
        pytest.skip("zstandard is not installed")
    local = tarndb.TarnReader(os.path.join(root, name))
    with local, tarndb.open(url_of(how, root, name, server)) as remote:
        assert isinstance(remote, tarndb.RemoteReader)
        probes = PROBES + [k for i, k in enumerate(local) if i % 37 == 0]
        compare_readers(local, remote, probes, PREFIXES)
        assert same_stats(local.stats(), remote.stats())
        assert remote.verify() is True
        assert remote.is_stale() is False
        with remote.reopen() as again:
            assert list(again.items()) == list(local.items())
    assert remote.closed
    with pytest.raises(ValueError, match="closed"):
        remote.get("a")


@pytest.mark.parametrize("how", ["http", "file", "memory"])
def test_remote_sharded_store_answers_as_the_local_one(served, how):
    root, server = served
    local = tarndb.open(os.path.join(root, "sharded"))
    with local, tarndb.open(url_of(how, root, "sharded", server) + "/") as remote:
        assert isinstance(remote, tarndb.RemoteShardedReader)
        assert remote.version == local.version and remote.manifest == local.manifest
        probes = PROBES + [k for i, k in enumerate(local) if i % 29 == 0]
        compare_readers(local, remote, probes, PREFIXES)
        assert remote.verify() is True
        assert remote.stats()["num_keys"] == local.stats()["num_keys"]
        assert remote.is_stale() is False


BOUNDS = [(None, None), ("user/00100", "user/00200/mail"), (None, "alias/2"),
          ("user/00990", None), (b"\xff", None), ("\xe9", "\u65e5\u672c"), ("user/00500", "user/00500"),
          ("zzz", "a"), ("", "\x00"), (bytearray(b"user/0"), memoryview(b"user/1"))]


@pytest.mark.parametrize("how", ["http", "file", "memory"])
@pytest.mark.parametrize("name", ["plain.trnd", "small.trnd", "empty.trnd", "sharded/"])
@pytest.mark.parametrize("keys_as", ["str", "bytes"])
def test_ordered_scans_and_keys_as_answer_as_the_local_ones(served, how, name, keys_as):
    root, server = served
    local = tarndb.open(os.path.join(root, name.rstrip("/")), keys_as=keys_as)
    url = url_of(how, root, name.rstrip("/"), server) + name[len(name.rstrip("/")):]
    with local, tarndb.open(url, keys_as=keys_as) as remote:
        assert list(remote) == list(local)
        assert list(remote.items()) == list(local.items())
        assert list(remote.raw.prefix("user/0001")) == list(local.raw.prefix("user/0001"))
        assert list(reversed(remote)) == list(reversed(local))
        for end in ("first", "last"):
            if len(local):
                assert getattr(remote, end)() == getattr(local, end)()
                assert getattr(remote.raw, end)() == getattr(local.raw, end)()
            else:
                with pytest.raises(KeyError):
                    getattr(remote, end)()
        for start, stop in BOUNDS:
            for reverse in (False, True):
                case = (start, stop, reverse)
                assert (list(remote.range(start, stop, reverse=reverse))
                        == list(local.range(start, stop, reverse=reverse))), case
                assert (list(remote.raw.range(start, stop, reverse=reverse))
                        == list(local.raw.range(start, stop, reverse=reverse))), case
                for mode in ("keys", "values"):
                    assert (list(remote._scan(mode, start, stop, reverse))
                            == list(local._scan(mode, start, stop, reverse))), (mode,) + case
        with pytest.raises(TypeError):
            list(remote.range(3))
        with pytest.raises(ValueError):
            remote._scan("pairs")
    with pytest.raises(ValueError):
        tarndb.open(url, keys_as="text")


def test_a_directory_url_without_its_slash_is_a_sharded_store(served):
    root, server = served
    with tarndb.open(server.url("sharded")) as remote:
        assert isinstance(remote, tarndb.RemoteShardedReader) and len(remote) == 908


def requests_of(server, call):
    """The requests nginx served during call(): (method, path, Range, status, bytes)."""
    before = len(server.requests())
    result = call()
    return server.requests()[before:], result


class TestRequests:
    """What each call costs, counted in nginx's access log."""

    def test_open_lookups_and_batches(self, served):
        root, server = served
        local = tarndb.TarnReader(os.path.join(root, "plain.trnd"))
        opened, r = requests_of(server, lambda: tarndb.open(server.url("plain.trnd")))
        with local, r:
            assert len(opened) == 2 and sum(q[4] for q in opened) <= 64 << 10
            assert opened[0][2] == "bytes=0-4095"
            assert r.stats()["remote"]["lookup_header"] is True
            key = "user/00123/mail"
            cold, value = requests_of(server, lambda: r[key])
            assert value == local[key] and len(cold) == 2
            # The second request holds the entry and the record: two ranges at once.
            assert cold[1][2].count(",") == 1
            warm, value = requests_of(server, lambda: r[key])
            assert value == local[key] and len(warm) == 1
            absent, _ = requests_of(server, lambda: r.get("user/00123/nope"))
            assert len(absent) <= 2
            keys = [k for i, k in enumerate(local) if i % 3 == 0][:1000]
            rounds = []
            obj = r._file.obj
            fetch = obj.fetch

            async def counted(ranges):
                rounds.append(len(ranges))
                return await fetch(ranges)

            obj.fetch = counted
            batch, values = requests_of(server, lambda: r.get_many(keys))
            assert values == local.get_many(keys)
            # Slot pages, then entries and records (the long value takes one round more).
            assert len(rounds) <= 3 and len(batch) <= 3 * (1 + sum(rounds) // 150)
            assert sum(q[4] for q in batch) <= 10 * 1024 * len(keys)

    def test_scans_read_the_index_in_large_ranges(self, served):
        root, server = served
        with tarndb.open(server.url("plain.trnd")) as r:
            got, keys = requests_of(server, lambda: list(r))
            assert len(keys) == len(r) and len(got) == 1  # the whole index in one range
        assert int(got[0][2].split("-")[1]) + 1 == os.path.getsize(os.path.join(root,
                                                                                 "plain.trnd"))

    def test_ordered_calls_read_what_they_need(self, served):
        root, server = served
        with tarndb.open(server.url("plain.trnd")) as r:
            r["user/00001/name"]  # the samples' first page, kept by the block cache
            got, _ = requests_of(server, r.first)
            assert len(got) == 2  # the index's first range, then the records
            got, _ = requests_of(server, r.last)
            assert len(got) <= 3  # the last block's start, its entries, its record
            assert sum(q[4] for q in got) <= 16 << 10
            got, keys = requests_of(server, lambda: list(r._scan("keys", None, None, True)))
            # Blocks read back in ranges that grow: a few requests for 3,000 entries.
            assert keys == list(reversed(list(r))) and len(got) <= 10
            got, pairs = requests_of(server, lambda: list(
                r.range("user/00500", "user/00510", reverse=True)))
            assert len(pairs) == 30 and len(got) <= 12  # a search for the stop, then back

    def test_a_block_cache_smaller_than_a_page_keeps_nothing(self, served):
        root, server = served
        with tarndb.open(server.url("plain.trnd"), cache_size=1000) as r:
            r["user/00001/name"]
            again, _ = requests_of(server, lambda: r["user/00001/name"])
            assert len(again) == 2 and r.stats()["remote"]["cache_bytes"] == 0

    def test_a_sharded_store_opens_in_three_rounds(self, served):
        root, server = served
        got, r = requests_of(server, lambda: tarndb.open(server.url("sharded/")))
        with r:
            assert [q[1] for q in got[:1]] == ["/sharded/manifest.json"]
            assert len(got) == 1 + 2 * 3


def republish(path, items):
    tmp = path + ".new"
    write_store(tmp, items)
    os.replace(tmp, path)


class TestConsistency:
    def test_a_republished_store_raises_stale_instead_of_mixing(self, served):
        root, server = served
        path = os.path.join(root, "moving.trnd")
        many = {f"key/{i}": i for i in range(3000)}
        republish(path, dict(many, k=1, other=2))
        with tarndb.open(server.url("moving.trnd")) as r:
            assert r["k"] == 1 and not r.is_stale()
            republish(path, dict(many, k=10, other=20, more=30))
            assert r.is_stale()
            with pytest.raises(TarnStaleError, match="changed since it was opened") as caught:
                r["other"]
            assert caught.value.url == server.url("moving.trnd")
            with pytest.raises(TarnStaleError):
                list(r.items())
            with r.reopen() as fresh:
                assert fresh["k"] == 10 and not fresh.is_stale()

    def test_fsspec_objects_pin_their_size_and_version(self, served, tmp_path):
        path = str(tmp_path / "s.trnd")
        republish(path, {"k": 1})
        with tarndb.open("file://" + path) as r:
            assert not r.is_stale()
            republish(path, {"k": 1, "longer": "x" * 100})
            assert r.is_stale()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def damaged_copy(root, name, damage):
    """A copy of *name* with damage(bytearray) applied and both checksums it
    touches left stale, as a lying server would serve it."""
    data = bytearray(read_bytes(os.path.join(root, "plain.trnd")))
    damage(data)
    with open(os.path.join(root, name), "wb") as f:
        f.write(data)
    return name


class TestLyingFiles:
    """A lying file gets the answers a local reader gives it, and never
    another key's value; damaged records are caught by their CRC."""

    @pytest.mark.parametrize("kind", ["other entry", "outside", "mid-entry"])
    def test_a_lying_slot_never_gives_another_keys_value(self, served, kind):
        root, server = served
        data = bytearray(read_bytes(os.path.join(root, "plain.trnd")))
        hidx, entries = extension(data)
        victim, other = entries[100], entries[200]
        new_pos = {"other entry": other[0], "outside": (1 << hidx[2]) - 3,
                   "mid-entry": victim[0] + 3}[kind]
        repoint(data, hidx, victim, new_pos=new_pos,
                new_offset=other[2] if kind == "other entry" else None)
        name = f"lying-{kind.replace(' ', '-')}.trnd"
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)
        key = victim[1].decode()
        with tarndb.TarnReader(os.path.join(root, name), verify=False) as local, \
                tarndb.open(server.url(name)) as remote:
            assert remote[key] == local[key] == local.get(key)
            assert remote.get_many([key, other[1]]) == local.get_many([key, other[1]])
            with pytest.raises(TarnCorruptError):
                remote.verify()

    def test_a_damaged_record_is_refused(self, served):
        root, server = served
        with tarndb.TarnReader(os.path.join(root, "plain.trnd")) as local:
            offset = local.stats()["index_offset"]
            _, entries = extension(bytearray(read_bytes(os.path.join(root, "plain.trnd"))))
        target = entries[10][2]
        name = damaged_copy(root, "bad-record.trnd",
                            lambda d: d.__setitem__(target + 9, d[target + 9] ^ 0xFF))
        with tarndb.open(server.url(name)) as remote:
            key = entries[10][1].decode()
            with pytest.raises(TarnCorruptError,
                               match=f"^object CRC32 mismatch at offset {target}$"):
                remote[key]
            assert remote.get(entries[11][1].decode()) is not None
        assert offset > target

    def test_a_damaged_lookup_header_costs_one_more_request(self, served):
        root, server = served

        def damage(d):
            io = struct.unpack_from(">Q", d, 16)[0]
            count = struct.unpack_from(">I", d, io - 16)[0]
            for i in range(count):
                kind, _, off, _ = struct.unpack_from(">4sIQQ", d, io - 32 - 24 * (count - i))
                if kind == b"LKHD":
                    payload = io - struct.unpack_from(">Q", d, io - 24)[0]
                    d[payload + off + 8] ^= 1  # capacity, under the copy's own CRC
                    # The block's record CRC and the file's made to agree: only
                    # the copy's own CRC and verify()'s comparison tell.
                    struct.pack_into(">I", d, payload - 4, zlib.crc32(d[payload:io]))
                    struct.pack_into(">I", d, 32, zlib.crc32(d[40:]))

        name = damaged_copy(root, "bad-lookup-header.trnd", damage)
        got, r = requests_of(server, lambda: tarndb.open(server.url(name)))
        with r, tarndb.TarnReader(os.path.join(root, "plain.trnd")) as local:
            # (The headers themselves lie in the open's second range of so small a file.)
            assert len(got) <= 3 and not r.stats()["remote"]["lookup_header"]
            assert r["user/00042/zone"] == local["user/00042/zone"]
            with tarndb.TarnReader(os.path.join(root, name), verify=False) as damaged:
                with pytest.raises(TarnCorruptError, match="lookup header"):
                    damaged.verify()


def test_a_store_without_a_hash_index_is_read_through_its_whole_index(served):
    root, server = served
    path = os.path.join(root, "bare.trnd")
    write_store(path, {f"k{i}": i for i in range(500)}, hash_index=False)
    with tarndb.TarnReader(path) as local, tarndb.open(server.url("bare.trnd")) as remote:
        assert remote.stats()["hash_index"] is None
        first, value = requests_of(server, lambda: remote["k7"])
        index_offset = local.stats()["index_offset"]
        # The index section whole (one range, once), then the record.
        assert value == 7 and len(first) == 2 and first[0][2].startswith(f"bytes={index_offset}-")
        later, value = requests_of(server, lambda: remote.get("k8"))
        assert value == 8 and len(later) == 1
        compare_readers(local, remote, PROBES + ["k1", "k499", "k5000"], PREFIXES + ["k4"])


def test_missing_files_and_servers(served):
    root, server = served
    with pytest.raises(tarndb.TarnIOError, match="HTTP 404") as caught:
        tarndb.open(server.url("absent.trnd"))
    assert caught.value.errno == 2
    with pytest.raises(tarndb.TarnIOError):
        tarndb.open("memory://absent.trnd")


def test_without_the_extra_one_error_names_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "aiohttp", None)
    with pytest.raises(ImportError, match=r"tarndb\[remote\]"):
        tarndb.open("https://example.invalid/s.trnd")


def test_stale_errors_pickle():
    import pickle
    e = pickle.loads(pickle.dumps(TarnStaleError("changed", "http://x/s.trnd")))
    assert isinstance(e, tarndb.TarnError) and e.url == "http://x/s.trnd" and str(e) == "changed"


class Row(msgspec.Struct):
    i: int
    f: str
    pad: str


def test_typed_values_and_pickling(served):
    import pickle

    root, server = served
    key = "user/00321/zone"
    with tarndb.TarnReader(os.path.join(root, "plain.trnd"), value_type=Row) as local, \
            tarndb.RemoteReader(server.url("plain.trnd"), value_type=Row) as remote:
        assert remote[key] == local[key] and isinstance(remote[key], Row)
        with pytest.raises(tarndb.TarnValueError) as caught:
            remote["é"]  # a list, not a Row
        assert caught.value.key == "é"
        again = pickle.loads(pickle.dumps(remote))
        with again:
            assert again[key] == local[key]


@pytest.mark.parametrize("damaged", [0, 1, 2])
def test_sharded_verify_finds_a_damaged_shard_and_leaves_no_copies(served, tmp_path,
                                                                   monkeypatch, damaged):
    """The shards stream one while the one before is checked: the damaged
    shard is named, whichever it is, and every temporary copy is removed."""
    root, _ = served
    mem = fsspec.filesystem("memory")
    base = os.path.join(root, "sharded")
    with tarndb.open(base) as local:
        manifest = local.manifest
    for dirpath, _, files in os.walk(base):
        for f in files:
            src = os.path.join(dirpath, f)
            with open(src, "rb") as fh:
                data = bytearray(fh.read())
            if f == manifest["shards"][damaged]["file"]:
                data[60] ^= 0x10  # a record's payload: its CRC and the file's no longer match
            mem.pipe(f"/verify-{damaged}/" + os.path.relpath(src, base), bytes(data))
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    with tarndb.open(f"memory://verify-{damaged}/") as remote:
        with pytest.raises(TarnCorruptError, match="CRC"):
            remote.verify()
    assert os.listdir(tmp_path) == []
