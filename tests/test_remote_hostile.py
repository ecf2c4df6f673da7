"""A lying remote file, byte by byte: whatever a damaged store holds, a
reader of ranges never asks for a byte outside the file, and never gives
one key's value for another (each value here names its own key), whichever
bytes were damaged: the tables, the index, the extension block's tail or
the records."""

import random
import struct

import pytest

import tarndb
from tarndb import TarnError
from tarndb._remote_source import RemoteFile

fsspec = pytest.importorskip("fsspec")
pytest.importorskip("aiohttp")


def own_store(path, n=600):
    w = tarndb.TarnWriter()
    for i in range(n):
        key = f"key/{i:04d}"
        w.put_raw(key, key.encode() + b"=" + bytes(i % 200))
    w.build(path, quiet=True)
    with open(path, "rb") as f:
        return f.read()


def regions(data):
    """(name, first byte, end) of the parts of a store file worth damaging."""
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    payload = index_offset - struct.unpack_from(">Q", data, index_offset - 24)[0]
    return [("header", 0, 40), ("records", 40, payload - 8), ("tables", payload, index_offset - 200),
            ("tail", index_offset - 200, index_offset), ("index", index_offset, len(data))]


@pytest.fixture
def checked_ranges(monkeypatch):
    """Every range a step asks for, checked to lie inside the file."""
    resolve = RemoteFile.resolve

    async def checked(self, needs):
        for begin, end, _ in needs:
            assert 0 <= begin < end <= self.obj.size, (begin, end, self.obj.size)
        await resolve(self, needs)

    monkeypatch.setattr(RemoteFile, "resolve", checked)


def local_scan(data, tmp_path, reverse):
    """The same range scan by a local reader of the same bytes (None: it
    refuses them, at open or in the scan)."""
    path = tmp_path / "local.trnd"
    path.write_bytes(data)
    try:
        with tarndb.TarnReader(str(path), verify=False) as r:
            return list(r.raw.range("key/0100", "key/0300", reverse=reverse))
    except (TarnError, ValueError):
        return None


@pytest.mark.parametrize("region", ["header", "records", "tables", "tail", "index"])
def test_damage_never_yields_another_keys_value(tmp_path, checked_ranges, region):
    clean = own_store(str(tmp_path / "s.trnd"))
    keys = [f"key/{i:04d}" for i in range(600)]
    mem = fsspec.filesystem("memory")
    rng = random.Random(region)
    _, first, end = next(r for r in regions(clean) if r[0] == region)
    for trial in range(25):
        data = bytearray(clean)
        for _ in range(rng.choice((1, 4, 16))):
            data[rng.randrange(first, end)] ^= 1 << rng.randrange(8)
        mem.pipe(f"/hostile-{region}-{trial}.trnd", bytes(data))
        try:
            r = tarndb.open(f"memory://hostile-{region}-{trial}.trnd").raw
        except (TarnError, ValueError):
            continue
        probes = rng.sample(keys, 40) + ["key/", "absent", ""]
        try:
            for key, value in zip(probes, r.get_many(probes)):
                assert value is None or value.startswith(key.encode() + b"="), (key, value)
            for key in probes[:10]:
                value = r.get(key)
                assert value is None or value.startswith(key.encode() + b"=")
            for key, value in r.prefix("key/01"):
                assert value.startswith(key.encode() + b"=")
            # A scan gives the entries as the index holds them (a damaged key
            # too, as a local reader does): it answers as the local reader of
            # the same bytes, or refuses.
            for reverse in (False, True):
                got = list(r.range("key/0100", "key/0300", reverse=reverse))
                local = local_scan(bytes(data), tmp_path, reverse)
                assert local is None or got == local, reverse
        except (TarnError, ValueError):
            pass  # damage found: refused, never answered wrongly
