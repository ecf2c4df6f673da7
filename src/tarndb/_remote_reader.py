"""``RemoteReader``: a store file read where it lies, over HTTP(S) or any
fsspec file system, with the reader API of a local store.

Open costs two requests (the header; then the end of the extension block,
which holds what a lookup needs); ``r[key]`` costs two round trips cold
(the slot page; then the entry and the record together) and one once the
slot page is cached; ``get_many`` runs those two steps for a whole batch at
once. Scans read the index section in large sequential ranges. Every
record's CRC-32 is checked as it arrives.
"""

from __future__ import annotations

import threading
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from tarndb import _compression
from tarndb._codec import decoder_for
from tarndb._errors import TarnValueError
from tarndb._ordered import keys_as_bytes, only
from tarndb._reader import ItemsScan, ValuesScan, _StoreMapping
from tarndb._types import ClosingContext
from tarndb._remote_source import (DEFAULT_CACHE, BlockCache, Objects, RemoteFile,
                                   drive, run)
from tarndb._remote_walk import Entry, backward, forward, key_bytes

# Keys looked up per round of get_many (bounds what a round holds).
_BATCH = 8192
# Index bytes an ordered scan's walk asks for first (first() needs one entry).
_ORDERED_CHUNK = 16 << 10
# Records an ordered scan fetches in its first round.
_ORDERED_BATCH = 16
# Record bytes fetched with a lookup's entry (a longer value costs a round
# more), and bounds of the window a scan learns from the values it meets.
RECORD_WINDOW = 4096 - 8
_SCAN_WINDOW = (248, 1 << 16)


def open_files(files: Sequence[RemoteFile]) -> List[Dict[str, Any]]:
    """Open the stores of *files* together (two rounds for any number); their
    figures, with the value codec section under ``"codec"``."""
    async def start_all() -> None:
        import asyncio
        await asyncio.gather(*(f.start() for f in files))

    run(start_all)
    try:
        drive([(f, f.steps.open) for f in files])
        sections = drive([(f, (lambda f=f: f.steps.section(_compression.SECTION,
                                                           _compression.VERSION)))
                          for f in files])
    finally:
        for f in files:
            f.steps.forget()
    infos = []
    for f, section in zip(files, sections):
        info = f.steps.info()
        info["codec"] = None if section is False else _compression.decode_section(section)
        infos.append(info)
    return infos


def learned_window(payloads: Any, window: int, most: int = RECORD_WINDOW) -> int:
    """The record bytes to fetch with the next batch's entries: enough for
    the longest value of this batch, within [248, most]."""
    longest = max(map(len, payloads), default=window)
    return max(_SCAN_WINDOW[0], min(most, (longest + 255) // 256 * 256 - 8))


class _RemoteMapping(_StoreMapping[Any]):
    """What a remote reader and its raw view share: one store file, its lock
    and the steps of each call; values made by ``_decode`` (None: bytes)."""

    __slots__ = ("_file", "_lock", "_info", "_decode", "_closed_box", "_window",
                 "_batch_window", "_as_bytes")

    _file: RemoteFile
    _decode: Optional[Callable[[bytes], Any]]

    def _check_open(self) -> None:
        if self._closed_box[0]:
            raise ValueError("operation on a closed TarnReader")

    def _steps(self, make: Callable[[Any], Any]) -> Any:
        """The answer of one step (make(steps) runs it), the file's lock held."""
        with self._lock:
            self._check_open()
            f = self._file
            try:
                return drive([(f, lambda: make(f.steps))])[0]
            finally:
                f.steps.forget()

    def _value(self, key: Any, data: bytes) -> Any:
        if self._decode is None:
            return data
        try:
            return self._decode(data)
        except MemoryError:
            raise
        except Exception as exc:
            raise TarnValueError(f"the value of key {key!r} cannot be decoded: {exc}",
                                 key) from exc

    def _fetch(self, keys: Sequence[Any], window: int,
               every: bool = False) -> Tuple[List[Optional[int]], Dict[int, bytes]]:
        """The record offsets of *keys* and the payloads of those found, in
        two rounds: slots, then entries and records (with *every*, the
        records of all the entries a key's slots may name, not only the
        first's: a batch's keys whose first candidate is another key then
        cost no round more)."""
        with self._lock:
            self._check_open()
            f = self._file
            try:
                offsets = drive([(f, lambda: f.steps.locate(keys, window, every))])[0]
                found = sorted({o for o in offsets if o is not None})
                if not window:
                    return offsets, {}
                payloads = drive([(f, lambda: f.steps.records(found, window))])[0] if found else []
                return offsets, dict(zip(found, payloads))
            finally:
                f.steps.forget()

    def __getitem__(self, key: Any) -> Any:
        offsets, payloads = self._fetch([key], self._window)
        if offsets[0] is None:
            raise KeyError(key)
        return self._value(key, payloads[offsets[0]])

    def get(self, key: Any, default: Any = None) -> Any:
        offsets, payloads = self._fetch([key], self._window)
        return default if offsets[0] is None else self._value(key, payloads[offsets[0]])

    def __contains__(self, key: object) -> bool:
        return self._fetch([key], 0)[0][0] is not None

    def get_many(self, keys: Any, default: Any = None) -> List[Any]:
        """The values of *keys* as a list, with *default* for absent ones;
        each batch of keys costs two rounds of concurrent requests (three
        when a value is longer than the values of the batch before)."""
        if isinstance(keys, (str, bytes)):
            raise TypeError("get_many() takes an iterable of keys, not one key")
        keys = list(keys)
        out: List[Any] = []
        for at in range(0, len(keys), _BATCH):
            batch = keys[at:at + _BATCH]
            offsets, payloads = self._fetch(batch, self._batch_window, every=True)
            self._batch_window = learned_window(payloads.values(), self._batch_window)
            out.extend(default if o is None else self._value(k, payloads[o])
                       for k, o in zip(batch, offsets))
        return out

    def __len__(self) -> int:
        self._check_open()
        return int(self._info["num_keys"])

    # -- scans --------------------------------------------------------------

    def _key_out(self, key: bytes) -> Any:
        """A key as scans give it: its bytes, or text (each run of bytes that
        is not UTF-8 replaced by U+FFFD)."""
        return key if self._as_bytes else key.decode("utf-8", "replace")

    def _entries(self, index: int = 0, pos: int = 0) -> Iterator[Entry]:
        """The entries from (index, pos) on, a large range of the index at a time."""
        return forward(self._steps, self._info["num_keys"], index, pos)

    def _with_values(self, entries: Iterator[Entry],
                     first: Optional[int] = None) -> Iterator[Tuple[Entry, Any]]:
        """Each entry with its value, the records of up to 8,192 entries (and
        8 MiB of record windows) fetched at once (of *first* in the first
        round, when given): one round, or two for values longer than the
        window learnt."""
        window = _SCAN_WINDOW[0]
        count = _records_per_round(window) if first is None else first
        while True:
            batch = [e for _, e in zip(range(count), entries)]
            if not batch:
                return
            offsets = sorted({e[3] for e in batch})
            payloads = dict(zip(offsets, self._steps(lambda s: s.records(offsets, window))))
            window = learned_window(payloads.values(), window, _SCAN_WINDOW[1])
            count = _records_per_round(window)
            for e in batch:
                yield e, self._value(self._key_out(e[2]), payloads[e[3]])

    def __iter__(self) -> Iterator[Any]:
        self._check_open()
        return (self._key_out(e[2]) for e in self._entries())

    def _items(self) -> Iterator[Tuple[Any, Any]]:
        self._check_open()
        return ((self._key_out(e[2]), v) for e, v in self._with_values(self._entries()))

    def _values(self) -> Iterator[Any]:
        self._check_open()
        return (v for _, v in self._with_values(self._entries()))

    def prefix(self, prefix: Any) -> Iterator[Tuple[Any, Any]]:
        """``(key, value)`` of the keys that begin with *prefix*, in key order:
        a search over the samples (a few rounds), then the index in order."""
        return ((self._key_out(e[2]), v) for e, v in self._prefix_walk(prefix))

    def _prefix_walk(self, prefix: Any) -> Iterator[Tuple[Entry, Any]]:
        first = self._steps(lambda s: s.lower_bound(prefix))
        want = prefix.encode() if isinstance(prefix, str) else bytes(prefix)

        def matching() -> Iterator[Entry]:
            for e in self._entries(first[0], first[1]):
                if not e[2].startswith(want):
                    return
                yield e

        return self._with_values(matching())

    def _walk(self, start: Any, stop: Any, reverse: bool) -> Iterator[Entry]:
        """The entries of the keys in [start, stop) (None: that end open), in
        key order or from the last, as a local reader gives them. Forward: a
        search for *start* (none without one), then the index in ranges that
        grow up to the first key not less than *stop*. Backward: the
        searches for both bounds at once (none without them), then the
        blocks of entries between them, read back from the samples."""
        self._check_open()
        low, high = key_bytes(start), key_bytes(stop)
        if low is not None and high is not None and low >= high:
            return iter(())
        if not reverse:
            at = self._steps(lambda s: s.lower_bound(low))[:2] if low is not None else (0, 0)
            walk = forward(self._steps, self._info["num_keys"], at[0], at[1], _ORDERED_CHUNK)
            return walk if high is None else _while(walk, lambda e: e[2] < high)
        section = self._file.obj.size - self._info["index_offset"]
        first, end = self._searches(low, high)
        if end is None:
            end = (self._info["num_keys"], section)
        walk = backward(self._steps, self._file.obj.url, end,
                        section / max(1, self._info["num_keys"]))
        return walk if first is None else _while(walk, lambda e: e[0] >= first[0])

    def _searches(self, *keys: Optional[bytes]) -> List[Optional[Tuple[int, int]]]:
        """(index, pos) of the first entry not less than each key (None for
        None), the searches run together: their rounds are shared."""
        wanted = [k for k in keys if k is not None]
        with self._lock:
            self._check_open()
            f = self._file
            try:
                found = iter(drive([(f, (lambda k=k: f.steps.lower_bound(k))) for k in wanted]))
            finally:
                f.steps.forget()
        return [None if k is None else tuple(next(found)[:2]) for k in keys]

    def _scan(self, mode: str, start: Any = None, stop: Any = None, reverse: bool = False,
              batch: int = _ORDERED_BATCH) -> Iterator[Any]:
        """Keys, values or (key, value) pairs ("keys", "values", "items") of
        the keys in [start, stop), in key order or from the last: what the
        ordered calls (``range``, ``reversed``, ``first``, ``last``) read;
        *batch*: the records fetched in the first round."""
        if mode not in ("keys", "values", "items"):
            raise ValueError("a scan's mode is 'keys', 'items' or 'values'")
        walk = self._walk(start, stop, bool(reverse))
        if mode == "keys":
            return (self._key_out(e[2]) for e in walk)
        paired = self._with_values(walk, batch)
        if mode == "values":
            return (v for _, v in paired)
        return ((self._key_out(e[2]), v) for e, v in paired)

    def first(self) -> Tuple[Any, Any]:
        """``(key, value)`` of the smallest key; ``KeyError`` when empty. Two
        rounds: the index's first range, then the record."""
        return only(self._scan("items", None, None, False, 1))

    def last(self) -> Tuple[Any, Any]:
        """``(key, value)`` of the largest key; ``KeyError`` when empty. Three
        rounds at most: the last block's start, its entries, the record."""
        return only(self._scan("items", None, None, True, 1))

    def objects(self) -> Iterator[Any]:
        """Every stored object that some key names, once, in the order of its first key."""
        self._check_open()
        seen: set = set()

        def firsts() -> Iterator[Entry]:
            for e in self._entries():
                if e[3] not in seen:
                    seen.add(e[3])
                    yield e

        return (v for _, v in self._with_values(firsts()))

    def items(self) -> ItemsScan:
        return ItemsScan(self)

    def values(self) -> ValuesScan:
        return ValuesScan(self)


def _records_per_round(window: int) -> int:
    return max(64, min(8192, (8 << 20) // (window + 8)))


def _while(walk: Iterator[Entry], keep: Callable[[Entry], bool]) -> Iterator[Entry]:
    """The entries of *walk* until the first that *keep* refuses."""
    for e in walk:
        if not keep(e):
            return
        yield e


class RemoteReader(ClosingContext, _RemoteMapping):
    """A store file read where it lies: ``tarndb.open(url)`` for ``http://``,
    ``https://`` and any fsspec protocol (``s3://``, ``gs://``, ``az://``,
    ``memory://``, ...), with ``storage_options`` for the file system.

    The reader API of ``TarnReader``: ``r[key]``, ``get``, ``in``,
    ``get_many``, ``len``, iteration, ``keys()``, ``values()``, ``items()``,
    ``prefix``, ``range``, ``reversed``, ``first``, ``last``, ``objects``,
    ``raw``, ``value_type``, ``keys_as``, ``verify``, ``stats``,
    ``is_stale``, ``reopen``, ``close``. The object's version (ETag, or
    Last-Modified and size) is pinned at open; a response from another
    version raises ``TarnStaleError``. ``cache_size`` bounds the block cache
    of table pages (slots, samples, index pages).
    """

    __slots__ = ("_url", "_objects", "_options", "_value_type", "_cache", "_codec", "_keys_as",
                 "__weakref__")

    def __init__(self, url: str, *, storage_options: Optional[Dict[str, Any]] = None,
                 cache_size: int = DEFAULT_CACHE, value_type: Any = None, keys_as: str = "str",
                 _opened: Optional[Tuple[Objects, RemoteFile, Dict[str, Any], Any]] = None) -> None:
        # _opened: a shard opened together with the others of its store
        # (their objects, this file, its figures, the store's lock).
        self._as_bytes = keys_as_bytes(keys_as)
        self._url, self._value_type, self._keys_as = url, value_type, keys_as
        self._options = (dict(storage_options or {}), cache_size)
        self._closed_box = [False]
        self._window = self._batch_window = RECORD_WINDOW
        if _opened is None:
            self._objects, self._cache = Objects(storage_options), BlockCache(cache_size)
            self._objects.close_with(self)
            self._lock = threading.RLock()
            self._file = RemoteFile(self._objects.open(url), self._cache)
            try:
                (self._info,) = open_files([self._file])
            except BaseException:
                self._objects.close()
                raise
        else:
            self._objects, self._file, self._info, self._lock = _opened
            self._cache = self._file.cache
        self._codec = self._info["codec"]
        self._decode = decoder_for(value_type)
        if self._codec is not None:
            name, dictionary, raw_bytes, _ = self._codec
            self._decode = _compression.value_decoder(name, dictionary, self._decode, raw_bytes)

    def __reduce__(self) -> Any:
        return _reopen, (self._url, self._options, self._value_type, self._keys_as)

    @property
    def path(self) -> str:
        """The URL the reader was opened with."""
        return self._url

    @property
    def closed(self) -> bool:
        return self._closed_box[0]

    @property
    def raw(self) -> RemoteRawView:
        """The same store with values as the stored bytes."""
        return RemoteRawView._of(self)

    def verify(self) -> bool:
        """Stream the whole file once (as pinned at open) and check it as
        ``TarnReader.verify`` checks a local file. True, or TarnCorruptError."""
        from tarndb._reader import TarnReader
        from tarndb._remote_verify import local_copy
        self._check_open()
        with local_copy(self._file.obj) as path, TarnReader(path, verify=False) as local:
            local.verify()
        return True

    def stats(self) -> Dict[str, Any]:
        """The file's figures, as ``TarnReader.stats`` gives them, and under
        ``"remote"`` what this reader fetched: requests, bytes received, the
        block cache's bytes and limit, and the pinned version."""
        self._check_open()
        obj, info = self._file.obj, self._info
        stats: Dict[str, Any] = {
            "path": self._url, "version": 2, "num_keys": info["num_keys"],
            "num_objects": info["num_objects"], "index_offset": info["index_offset"],
            "data_offset": 40, "file_size_kb": obj.size / 1024, "file_crc32": info["file_crc32"],
            "hash_index": info["hash_index"], "private_bytes": self._cache.bytes,
            "compression": None, "file_size": obj.size,
        }
        if self._codec is not None:
            name, dictionary, raw, stored = self._codec
            stats["compression"] = {"codec": name, "dictionary_bytes": len(dictionary),
                                    "ratio": raw / stored if stored else 1.0}
        stats["remote"] = {"requests": obj.requests, "bytes_received": obj.received,
                           "cache_bytes": self._cache.bytes, "cache_size": self._cache.limit,
                           "lookup_header": info["lookup_header"], "version": obj.pinned()}
        return stats

    def is_stale(self) -> bool:
        """Whether the object at the URL is now another version than the one
        this reader pinned, or is gone (one request: ``HEAD``, or fsspec's
        ``info``)."""
        self._check_open()
        obj = self._file.obj
        return bool(run(obj.version) != obj.pinned())

    def reopen(self) -> RemoteReader:
        """A new reader of the object the URL names now, with the same options."""
        return _reopen(self._url, self._options, self._value_type, self._keys_as)

    def close(self) -> None:
        """Drop the connections; later calls raise ``ValueError``."""
        with self._lock:
            if not self._closed_box[0]:
                self._closed_box[0] = True
                self._objects.close()

    def __repr__(self) -> str:
        if self.closed:
            return f"<closed RemoteReader {self._url!r}>"
        return (f"RemoteReader({self._url!r}, keys={self._info['num_keys']}, "
                f"objects={self._info['num_objects']})")


class RemoteRawView(_RemoteMapping):
    """``reader.raw`` of a remote reader: the stored bytes as values. Closing
    the reader closes the view."""

    __slots__ = ("_owner",)

    def __init__(self) -> None:
        raise TypeError("a raw view is made by RemoteReader.raw")

    @classmethod
    def _of(cls, owner: RemoteReader) -> RemoteRawView:
        view = cls.__new__(cls)
        view._owner = owner
        view._file, view._lock, view._info = owner._file, owner._lock, owner._info
        view._closed_box, view._window, view._decode = owner._closed_box, owner._window, None
        view._batch_window, view._as_bytes = RECORD_WINDOW, owner._as_bytes
        return view

    def __repr__(self) -> str:
        return f"<raw view of {self._owner!r}>"


def _reopen(url: str, options: Tuple[Dict[str, Any], int], value_type: Any,
            keys_as: str = "str") -> RemoteReader:
    return RemoteReader(url, storage_options=options[0], cache_size=options[1],
                        value_type=value_type, keys_as=keys_as)
