"""Readers with and without the file's own hash index: a model test against a
dict at the sizes where slot encodings change, and crafted hash indexes that
lie."""

import bisect
import random
import struct
import subprocess
import sys
import zlib

import pytest
from helpers import check_hash_index, siphash13
from storefile import fix_crc

import tarndb
from tarndb import TarnCorruptError, TarnReader, TarnWriter, _tarndb


def build(path, pairs, hash_index):
    w = TarnWriter(hash_index=hash_index)
    w.update_raw(pairs)
    w.build(path, quiet=True)
    return path


def random_pairs(n, seed):
    rng = random.Random(seed)
    blob = rng.randbytes(12 * n)
    keys = {blob[i:i + rng.randrange(4, 13)] for i in range(12, 12 * n, 12)}
    while len(keys) < n - 1:
        keys.add(rng.randbytes(rng.randrange(1, 20)))
    if n:
        keys.add(b"")  # the empty key is a key like any other
    return {k: k[::-1] + b"v" for k in keys}


def text(key):
    return key.decode("utf-8", "replace")


# The largest size makes a table several times the size of a CPU's caches, on huge pages,
# staged in many partitions, and scans past several of the points where a long pass looks
# for signals, with a reader that holds far less than a table of its own would take.
@pytest.mark.timeout(600)
@pytest.mark.parametrize("n", [0, 1, 65_535, 65_536, 300_000])
def test_lookups_scans_and_listings_match_a_dict(tmp_path, n):
    model = random_pairs(n, n)
    ordered = sorted(model)
    rng = random.Random(n)
    keys = list(model)
    rng.shuffle(keys)
    misses = [k + b"\x00x" for k in keys[:500]] + [b"absent"]
    prefixes = [b""] + [k[:rng.randrange(1, 4)] for k in keys[:50]]
    for hash_index in (True, False):
        path = build(tmp_path / f"{hash_index}.trnd", sorted(model.items()), hash_index)
        with TarnReader(path) as r:
            raw = r.raw
            stats = r.stats()
            assert (stats["hash_index"] is not None) == hash_index
            if hash_index:
                assert stats["hash_index"]["in_use"] and stats["private_bytes"] < 1 << 20
            assert len(r) == n and stats["num_objects"] == n
            assert raw.get_many(keys) == [model[k] for k in keys]
            assert raw.get_many(misses, "-") == ["-"] * len(misses)
            assert all(k in raw for k in keys[:2000]) and not any(k in raw for k in misses)
            assert [raw[k] for k in keys[:2000]] == [model[k] for k in keys[:2000]]
            assert list(raw.items()) == [(text(k), model[k]) for k in ordered]
            for p in prefixes:
                lo = bisect.bisect_left(ordered, p)
                hi = lo
                while hi < n and ordered[hi].startswith(p):
                    hi += 1
                assert list(raw.prefix(p)) == [(text(k), model[k]) for k in ordered[lo:hi]]
            assert r.verify()
        low = _tarndb._TarnReader(str(path), True)  # sees an unnamed object, no more
        assert low.keys() == [text(k) for k in ordered]
        assert [low.get_raw(k) for k in keys[:1000]] == [model[k] for k in keys[:1000]]
        assert low.verify()


# -- crafted hash indexes ---------------------------------------------------


def extension(data):
    """(hidx offset in file, width, pos_bits, off_bits, slot_count) of a file's
    hash index, and its index entries as (pos, key, offset)."""
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    num_keys = struct.unpack_from(">I", data, 8)[0]
    hidx = sections_of(data)[b"HIDX"]
    width, pos_bits, off_bits = data[hidx], data[hidx + 1], data[hidx + 2]
    slot_count = struct.unpack_from(">Q", data, hidx + 16)[0]
    entries, p = [], index_offset
    for _ in range(num_keys):
        (klen,) = struct.unpack_from(">H", data, p)
        key = bytes(data[p + 2:p + 2 + klen])
        (offset,) = struct.unpack_from(">Q", data, p + 2 + klen)
        entries.append((p - index_offset, key, offset))
        p += 10 + klen
    return (hidx, width, pos_bits, off_bits, slot_count), entries


def sections_of(data):
    """File position of each section of the extension block, by its kind."""
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    trailer = index_offset - 32
    assert data[trailer:trailer + 8] == b"TRNDEXT1"
    payload_size, count = struct.unpack_from(">QI", data, trailer + 8)
    payload = index_offset - payload_size
    sections = {}
    for i in range(count):
        kind, _, off, _ = struct.unpack_from(">4sIQQ", data, trailer - 24 * (count - i))
        sections[kind] = payload + off
    return sections


def slot_of(data, hidx, pos):
    """File position and first word of the slot naming the entry at pos."""
    at, width, pos_bits, off_bits, slot_count = hidx
    for i in range(slot_count):
        where = at + 56 + i * width
        (word,) = struct.unpack_from(">Q", data, where)
        low = off_bits if width == 8 else 0
        if word and (word >> low) & ((1 << pos_bits) - 1) == pos + 1:
            return where, word
    raise AssertionError("no slot names the entry")


def repoint(data, hidx, entry, new_pos=None, new_offset=None):
    """Point the slot of entry at another position or record offset, keeping its tag."""
    _, width, pos_bits, off_bits, _ = hidx
    where, word = slot_of(data, hidx, entry[0])
    low = off_bits if width == 8 else 0
    if new_pos is not None:
        mask = ((1 << pos_bits) - 1) << low
        word = (word & ~mask) | ((new_pos + 1) & ((1 << pos_bits) - 1)) << low
    if new_offset is not None and width == 8:
        word = (word & ~((1 << off_bits) - 1)) | (new_offset - 40)
    struct.pack_into(">Q", data, where, word)


def lie(kind, victim=100):
    def damage(data, hidx, entries):
        victim_entry, other = entries[victim], entries[200]
        if kind == "outside":
            repoint(data, hidx, victim_entry, new_pos=(1 << hidx[2]) - 3)
        elif kind == "mid-entry":
            repoint(data, hidx, victim_entry, new_pos=victim_entry[0] + 3)
        elif kind == "other entry":
            repoint(data, hidx, victim_entry, new_pos=other[0], new_offset=other[2])
        elif kind == "other record":
            repoint(data, hidx, victim_entry, new_offset=other[2])
        elif kind == "seed":
            data[hidx[0] + 32] ^= 0xFF
        elif kind == "sizes":
            index_offset = struct.unpack_from(">Q", data, 16)[0]
            struct.pack_into(">Q", data, index_offset - 24, 1 << 60)
            crc_at = index_offset - 4
            count = struct.unpack_from(">I", data, index_offset - 16)[0]
            body = data[index_offset - 32 - 24 * count:crc_at]
            struct.pack_into(">I", data, crc_at, zlib.crc32(body))
        elif kind == "emptied":
            for where in range(hidx[0] + 56, hidx[0] + 56 + hidx[4] * hidx[1]):
                data[where] = 0
        elif kind == "sample":
            # A middle entry sample names the offset field of an entry of the
            # next block, which reads as an empty key: a scan starting there
            # would pass the keys of its own block.
            samples = hidx[0] + 56 + hidx[4] * hidx[1]
            middle = struct.unpack_from(">Q", data, samples + 8)[0] // 2
            pos, key, _ = entries[16 * middle + 21]
            struct.pack_into(">Q", data, samples + 16 + 8 * middle, pos + 2 + len(key))
        elif kind == "load":
            # A whole table made again for load 1.0, every miss a long walk.
            refill(data, hidx, entries, capacity=len(entries))
        elif kind == "tight":
            # A whole table made again, honestly, for a tenth fewer homes than
            # the writer gives: runs stay short, only the parameters tell.
            capacity = struct.unpack_from(">Q", data, hidx[0] + 8)[0]
            refill(data, hidx, entries, capacity=capacity * 9 // 10)
        elif kind == "filled":
            # Every empty slot filled with a slot naming entry 0 under a tag of
            # its own, the recorded longest run left as it was: a miss walks to
            # the end of the table.
            at, width, pos_bits, off_bits, slot_count = hidx
            for i in range(slot_count):
                if not any(data[at + 56 + i * width:at + 56 + i * width + 8]):
                    struct.pack_into(">Q", data, at + 56 + i * width,
                                     (5 << (pos_bits + off_bits)) | (1 << off_bits))
        elif kind == "directory":
            # The directory no longer matches the trailer's checksum: the block
            # is set aside at open, and verify() must still say so.
            index_offset = struct.unpack_from(">Q", data, 16)[0]
            data[index_offset - 32 - 24 + 5] ^= 0x40
        elif kind == "slot count":
            # The header claims three slots more than the section holds: probes
            # near the end would read the samples as slots.
            struct.pack_into(">Q", data, hidx[0] + 16, hidx[4] + 3)
        elif kind == "names block":
            # An entry names the extension block's own record, and its slot
            # agrees: the table describes the index, which is what is wrong.
            index_offset = struct.unpack_from(">Q", data, 16)[0]
            block = index_offset - struct.unpack_from(">Q", data, index_offset - 24)[0] - 8
            pos, key, _ = victim_entry
            struct.pack_into(">Q", data, index_offset + pos + 2 + len(key), block)
            repoint(data, hidx, victim_entry, new_offset=block)
            return {key: bytes(data[block + 8:index_offset])}  # what the file now says
        elif kind == "extra slot":
            # A copy of the victim's slot in an empty slot between empty ones:
            # every key is still found, and the longest run is unchanged.
            at, width, _, _, slot_count = hidx
            where, word = slot_of(data, hidx, victim_entry[0])
            used = [any(data[at + 56 + i * width:at + 64 + i * width]) for i in range(slot_count)]
            lone = next(i for i in range(1, slot_count - 1) if not any(used[i - 1:i + 2]))
            struct.pack_into(">Q", data, at + 56 + lone * width, word)
        elif kind == "reserved":
            # A reserved byte of the hash index's header, and of its copy in
            # the lookup header (whose own CRC is made good): no reader looks
            # at it, only the block's own record CRC covers it (not resealed).
            data[hidx[0] + 3] ^= 0x01
            lkhd = sections_of(data)[b"LKHD"]
            data[lkhd + 3] ^= 0x01
            struct.pack_into(">I", data, lkhd + 72, zlib.crc32(data[lkhd:lkhd + 72]))
        return {}
    return damage


def refill(data, hidx, entries, capacity):
    """The slot table made again, honestly, for another capacity."""
    at, width, pos_bits, off_bits, _ = hidx
    assert width == 8 and off_bits
    k0, k1 = struct.unpack_from(">QQ", data, at + 32)
    slots = [0] * (capacity + 64)
    for pos, key, offset in entries:
        h = siphash13(k0, k1, key)
        s = (h * capacity) >> 64
        while slots[s]:
            s += 1
        tag = h & ((1 << (64 - pos_bits - off_bits)) - 1)
        slots[s] = (tag << (pos_bits + off_bits)) | ((pos + 1) << off_bits) | (offset - 40)
    old = at + 56 + hidx[4] * width
    data[at + 56:old] = b"".join(struct.pack(">Q", w) for w in slots)[:old - at - 56].ljust(
        old - at - 56, b"\0")
    struct.pack_into(">Q", data, at + 8, capacity)


def reseal(data, record=True):
    """Checksums made good again (the extension record's, unless record is
    false, and the file's), as a hostile writer would, so that verify() has
    to find the lie itself."""
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    at = last = 40
    while at < index_offset:
        last, at = at, at + 8 + struct.unpack_from(">I", data, at)[0]
    if record:
        struct.pack_into(">I", data, last + 4, zlib.crc32(data[last + 8:index_offset]))
    data[:] = fix_crc(bytes(data))


REPOINTED = ["outside", "mid-entry", "other entry", "other record"]
LAST_SAMPLE = 16 * ((1000 - 1) // 16)  # the last entry that open checks through the table
# Lies found when the file is opened: the table is not used at all.
AT_OPEN = {"load", "tight", "slot count"}


# A slot repointed at entry 100, at the last sampled entry and at the last
# entry (the last one that verify() looks up); the other lies do not depend
# on an entry, or need only one.
@pytest.mark.parametrize("kind, victim", [(k, 100) for k in REPOINTED + [
    "seed", "sizes", "emptied", "sample", "directory", "load", "tight", "filled", "slot count",
    "names block", "extra slot", "reserved"]] + [(k, v) for k in REPOINTED
                                                 for v in (LAST_SAMPLE, -1)])
def test_a_lying_hash_index_never_gives_a_wrong_value(tmp_path, kind, victim):
    model = random_pairs(1000, 7)
    path = build(tmp_path / "s.trnd", sorted(model.items()), True)
    data = bytearray(path.read_bytes())
    hidx, entries = extension(data)
    model.update(lie(kind, victim)(data, hidx, entries))
    reseal(data, record=kind != "reserved")
    path.write_bytes(bytes(data))
    keys = [e[1] for e in entries]
    # verify() on its own, before any lookup has set the table aside.
    with TarnReader(path, verify=False) as r, pytest.raises(TarnCorruptError):
        r.verify()
    with TarnReader(path, verify=False) as r:
        if kind in AT_OPEN or victim == LAST_SAMPLE:  # set aside before any lookup
            assert not r.stats()["hash_index"]["in_use"]
        got = r.raw.get_many(keys, None)
        # Keys it cannot find through a table that lost them may be missing;
        # a value, when there is one, is always the key's own.
        assert all(v is None or v == model[k] for k, v in zip(keys, got))
        if kind == "filled":  # a run longer than the table's longest: set aside
            assert r.raw.get(b"\xff" * 30) is None and not r.stats()["hash_index"]["in_use"]
        if kind != "emptied":
            assert got == [model[k] for k in keys]
            assert [r.raw.get(k) for k in keys] == got
        assert list(r.raw.items()) == [(text(k), model[k]) for k in sorted(model)]
        for prefix in {k[:n] for k in keys[::7] for n in (1, len(k))}:
            assert list(r.raw.prefix(prefix)) == [(text(k), model[k]) for k in sorted(model)
                                                  if k.startswith(prefix)], prefix
        with pytest.raises(TarnCorruptError):
            r.verify()


def test_a_value_shaped_like_an_extension_block_reads_back_as_written(tmp_path):
    # The last record of a compressed store without a hash index is an
    # extension block naming the codec; the same bytes stored as a user's last
    # value are a value: every key reads back as written, and verify() agrees.
    w = TarnWriter(hash_index=False, compression="zstd")
    w.update((f"k{i}", "text " * i) for i in range(40))
    w.build(tmp_path / "c.trnd", quiet=True)
    data = (tmp_path / "c.trnd").read_bytes()
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    at = 40
    while at < index_offset:
        last, at = at, at + 8 + struct.unpack_from(">I", data, at)[0]
    posing = data[last + 8:index_offset]
    assert posing.endswith(data[index_offset - 32:index_offset]) and b"VCDC" in posing
    model = {b"a": b"1", b"b": posing, b"c": posing}
    for hash_index in (False, True):
        path = build(tmp_path / f"s{hash_index}.trnd", sorted(model.items()), hash_index)
        with TarnReader(path) as r:
            assert dict(r.raw.items()) == {k.decode(): v for k, v in model.items()}
            assert r.verify() and r.stats()["compression"] is None


def test_a_codec_section_that_overstates_its_dictionary_is_refused(tmp_path):
    # dict_len claims 40 bytes more than the section holds (the directory's,
    # which follow it), and dict_crc32 is theirs: only the section's length
    # shows the lie.
    w = TarnWriter(compression="zstd")
    w.update((f"k{i:04}", "text " * (i % 9)) for i in range(2000))
    w.build(tmp_path / "s.trnd", quiet=True)
    data = bytearray((tmp_path / "s.trnd").read_bytes())
    at = data.index(b"\x04zstd") + 5 + 16
    dict_len = struct.unpack_from(">I", data, at)[0] + 40
    assert dict_len > 40
    struct.pack_into(">II", data, at, dict_len, zlib.crc32(data[at + 8:at + 8 + dict_len]))
    reseal(data)
    (tmp_path / "s.trnd").write_bytes(bytes(data))
    cut_short = "value codec section damaged: the dictionary is cut short"
    with pytest.raises(TarnCorruptError, match=cut_short):
        tarndb._store.Reader(tmp_path / "s.trnd").verify()
    with pytest.raises(TarnCorruptError, match=cut_short):
        TarnReader(tmp_path / "s.trnd")


@pytest.mark.parametrize("n, memory_limit", [(1000, None), (20_000, None), (20_000, 1 << 20)])
def test_the_file_size_does_not_depend_on_the_seed(tmp_path, n, memory_limit):
    # The slots past the last home are as many for every seed (in memory and
    # built outside it): two builds of the same content are the same size.
    sizes = set()
    for seed in range(6):
        w = tarndb._store.Writer(memory_limit=memory_limit, spill_dir=str(tmp_path),
                                 hash_seed=(seed, seed * 7 + 1))
        w.update_raw((b"key/%07d" % (i * 7919 % 10**7), b"v") for i in range(n))
        assert w._runs > 0 or memory_limit is None
        w.build(str(tmp_path / "s.trnd"))
        data = (tmp_path / "s.trnd").read_bytes()
        sizes.add(len(data))
        hidx = extension(data)[0][0]
        assert struct.unpack_from(">QQ", data, hidx + 32) == (seed, seed * 7 + 1)
    assert len(sizes) == 1, sizes


# -- the documented layout, read by an independent implementation -----------


def test_siphash13_agrees_with_cpythons():
    # The tests' own SipHash-1-3 (helpers.siphash13), which reads the
    # documented hash index, against CPython's, which hashes bytes with
    # SipHash-1-3 (b"" aside, which it hashes to 0); PYTHONHASHSEED=0 makes
    # its key zero.
    samples = [b"a", b"abcdefg", b"abcdefgh", b"abcdefghi", bytes(range(40))]
    done = subprocess.run([sys.executable, "-c", f"print([hash(b) for b in {samples!r}])"],
                          env={"PYTHONHASHSEED": "0"}, capture_output=True, text=True, check=True)
    expected = []
    for b in samples:
        h = siphash13(0, 0, b)
        h = h - (1 << 64) if h >= 1 << 63 else h
        expected.append(-2 if h == -1 else h)
    assert done.stdout.strip() == str(expected)


@pytest.mark.parametrize("n", [5000, 1])
def test_every_key_is_where_the_documented_layout_puts_it(tmp_path, n):
    model = random_pairs(n, 3)
    check_hash_index(build(tmp_path / "s.trnd", sorted(model.items()), True).read_bytes())


INTERRUPTED_VERIFY = """
import signal, sys, time
from tarndb import TarnReader
class Stop(Exception):
    pass
def stop(*_):
    raise Stop
# Times and the timer count this process's CPU time, which a busy machine
# does not stretch as it stretches wall-clock time.
signal.signal(signal.SIGVTALRM, stop)
with TarnReader(sys.argv[1], verify=False) as r:
    start = time.process_time()
    r.verify()
    whole = time.process_time() - start
    signal.setitimer(signal.ITIMER_VIRTUAL, whole / 20)
    start = time.process_time()
    try:
        r.verify()
    except Stop:
        pass
    print(whole, time.process_time() - start)
"""


@pytest.mark.timeout(600)
def test_verify_stops_for_a_signal_handler(tmp_path):
    # A long check hears Ctrl-C: the handler's exception ends it long before it
    # would have ended on its own.
    path = build(tmp_path / "s.trnd", ((b"%09d" % i, b"v") for i in range(2_000_000)), True)
    done = subprocess.run([sys.executable, "-c", INTERRUPTED_VERIFY, str(path)],
                          capture_output=True, text=True, timeout=500)
    assert done.returncode == 0, done.stderr
    whole, interrupted = map(float, done.stdout.split())
    # A check deaf to the handler runs its whole course (0.99 of it, seen).
    assert interrupted < 0.7 * whole, (whole, interrupted)
