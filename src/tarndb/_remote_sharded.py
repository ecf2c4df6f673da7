"""``RemoteShardedReader``: a sharded store read where it lies (its
``manifest.json`` first, then every shard of that version opened together:
two more rounds for any number of shards), as one mapping; and
``open_remote``, which opens a URL as a store file or a sharded store."""

from __future__ import annotations

import heapq
import itertools
import threading
from collections.abc import Mapping
from typing import Any, Dict, Iterator, List, Optional, Tuple

from tarndb._errors import TarnCorruptError, TarnIOError
from tarndb._manifest import MANIFEST, MAX_MANIFEST_BYTES, parse_manifest
from tarndb._ordered import Ordered, keys_as_bytes, only
from tarndb._reader import ItemsScan, TarnReader, ValuesScan
from tarndb._remote_reader import _BATCH, RECORD_WINDOW, RemoteReader, learned_window, open_files
from tarndb._types import ClosingContext
from tarndb._remote_source import (DEFAULT_CACHE, BlockCache, Objects, RemoteFile,
                                   drive, run)
from tarndb._remote_verify import local_copies
from tarndb._shard_checks import check_figures, check_routing
from tarndb._store import _group_by_shard, shard_of


def open_remote(url: str, *, verify: bool = False, storage_options: Optional[Dict[str, Any]] = None,
                cache_size: Optional[int] = None, value_type: Any = None,
                keys_as: str = "str") -> Any:
    """A reader of the store at *url*: a sharded store when the URL ends with
    ``/`` or names no object but a directory with a manifest, else a store
    file. *verify* streams the whole store once and checks it."""
    options = dict(storage_options=storage_options, value_type=value_type, keys_as=keys_as,
                   cache_size=DEFAULT_CACHE if cache_size is None else cache_size)
    reader: Any
    if url.endswith("/"):
        reader = RemoteShardedReader(url, **options)
    else:
        try:
            reader = RemoteReader(url, **options)
        except TarnIOError as exc:
            try:
                reader = RemoteShardedReader(url, **options)
            except TarnIOError:
                raise exc from None
    if verify:
        reader.verify()
    return reader


class _RemoteShardedMapping(Ordered, Mapping):  # type: ignore[type-arg]
    """The mapping side of a remote sharded store and its raw view: keys
    routed to their shard, batches and scans over all shards at once."""

    __slots__ = ("_shards", "_n", "_len", "_lock", "_batch_window")

    _shards: List[Any]

    def __getitem__(self, key: Any) -> Any:
        return self._shards[shard_of(key, self._n)][key]

    def get(self, key: Any, default: Any = None) -> Any:
        return self._shards[shard_of(key, self._n)].get(key, default)

    def __contains__(self, key: object) -> bool:
        return key in self._shards[shard_of(key, self._n)]  # type: ignore[arg-type]

    def __len__(self) -> int:
        self._shards[0]._check_open()
        return self._len

    def get_many(self, keys: Any, default: Any = None) -> List[Any]:
        """The values of *keys*, with *default* for absent ones: two rounds of
        requests for every shard at once, per batch of keys."""
        if isinstance(keys, (str, bytes)):
            raise TypeError("get_many() takes an iterable of keys, not one key")
        keys = list(keys)
        out: List[Any] = [default] * len(keys)
        for at in range(0, len(keys), _BATCH):
            groups = _group_by_shard(keys[at:at + _BATCH], self._n)
            jobs = [(s, ks, pos) for s, (ks, pos) in zip(self._shards, groups) if ks]
            found = self._fetch(jobs)
            self._batch_window = learned_window(
                [p for payloads in found[1] for p in payloads.values()], self._batch_window)
            for (s, ks, pos), offsets, payloads in zip(jobs, *found):
                for k, p, o in zip(ks, pos, offsets):
                    if o is not None:
                        out[at + p] = s._value(k, payloads[o])
        return out

    def _fetch(self, jobs: List[Tuple[Any, List[Any], List[int]]]) -> Tuple[List[Any], List[Any]]:
        with self._lock:
            self._shards[0]._check_open()
            window = self._batch_window
            try:
                offsets = drive([(s._file,
                                  (lambda s=s, ks=ks: s._file.steps.locate(ks, window, True)))
                                 for s, ks, _ in jobs])
                found = [sorted({o for o in offs if o is not None}) for offs in offsets]
                payloads = drive([(s._file, (lambda s=s, f=f: s._file.steps.records(f, window)))
                                  for (s, _, _), f in zip(jobs, found)])
            finally:
                for s, _, _ in jobs:
                    s._file.steps.forget()
        return offsets, [dict(zip(f, p)) for f, p in zip(found, payloads)]

    def __iter__(self) -> Iterator[Any]:
        return (k for k, _ in self._merged(lambda s: ((e, None) for e in s._entries())))

    def _merged(self, walk: Any, reverse: bool = False) -> Iterator[Tuple[Any, Any]]:
        """(key, value) in key-byte order (from the last with *reverse*),
        the shards' walks merged."""
        self._shards[0]._check_open()
        walks = [walk(s) for s in self._shards]
        merged = heapq.merge(*walks, key=lambda ev: ev[0][2], reverse=reverse)
        out = self._shards[0]._key_out
        return ((out(ev[0][2]), ev[1]) for ev in merged)

    def _scan(self, mode: str, start: Any = None, stop: Any = None, reverse: bool = False,
              batch: int = 16) -> Iterator[Any]:
        """The ordered scans of the shards (``RemoteReader._scan``) merged."""
        if mode not in ("keys", "values", "items"):
            raise ValueError("a scan's mode is 'keys', 'items' or 'values'")
        reverse = bool(reverse)
        if mode == "keys":
            keys = self._merged(lambda s: ((e, None) for e in s._walk(start, stop, reverse)),
                                reverse)
            return (k for k, _ in keys)
        pairs = self._merged(lambda s: s._with_values(s._walk(start, stop, reverse), batch),
                             reverse)
        return (v for _, v in pairs) if mode == "values" else pairs

    def first(self) -> Tuple[Any, Any]:
        """``(key, value)`` of the smallest key; ``KeyError`` when empty."""
        return only(self._scan("items", None, None, False, 1))

    def last(self) -> Tuple[Any, Any]:
        """``(key, value)`` of the largest key; ``KeyError`` when empty."""
        return only(self._scan("items", None, None, True, 1))

    def _items(self) -> Iterator[Tuple[Any, Any]]:
        return self._merged(lambda s: s._with_values(s._entries()))

    def _values(self) -> Iterator[Any]:
        return (v for _, v in self._items())

    def items(self) -> ItemsScan:
        return ItemsScan(self)

    def values(self) -> ValuesScan:
        return ValuesScan(self)

    def prefix(self, prefix: Any) -> Iterator[Tuple[str, Any]]:
        """(key, value) of the keys that begin with *prefix*, the shards merged."""
        return self._merged(lambda s: s._prefix_walk(prefix))

    def objects(self) -> Iterator[Any]:
        """Every stored object that some key names, shard by shard."""
        return itertools.chain.from_iterable(s.objects() for s in self._shards)


class RemoteShardedReader(ClosingContext, _RemoteShardedMapping):
    """A sharded store read where it lies, as one mapping: the same interface
    as ``ShardedReader`` (``manifest``, ``version``, ``shards`` included).
    One block cache of ``cache_size`` bytes serves all the shards."""

    __slots__ = ("_url", "_manifest", "_manifest_obj", "_objects", "_options", "_value_type",
                 "__weakref__")

    def __init__(self, url: str, *, storage_options: Optional[Dict[str, Any]] = None,
                 cache_size: int = DEFAULT_CACHE, value_type: Any = None,
                 keys_as: str = "str") -> None:
        base = url.rstrip("/")
        keys_as_bytes(keys_as)
        self._url, self._value_type = url, value_type
        self._options = dict(storage_options=storage_options, cache_size=cache_size,
                             keys_as=keys_as)
        self._objects = Objects(storage_options)
        self._objects.close_with(self)
        self._lock = threading.RLock()
        try:
            self._manifest_obj = self._objects.open(f"{base}/{MANIFEST}")
            data = run(self._manifest_obj.first, MAX_MANIFEST_BYTES + 1)
            if len(data) > MAX_MANIFEST_BYTES:
                raise TarnCorruptError(f"{self._manifest_obj.url}: larger than a manifest can be")
            self._manifest = parse_manifest(data, self._manifest_obj.url)
            cache = BlockCache(cache_size)
            vdir = f"{base}/{self._manifest['version']}"
            files = [RemoteFile(self._objects.open(f"{vdir}/{s['file']}"), cache)
                     for s in self._manifest["shards"]]
            infos = open_files(files)
        except BaseException:
            self._objects.close()
            raise
        self._shards = [RemoteReader(f.obj.url, value_type=value_type, keys_as=keys_as,
                                     _opened=(self._objects, f, info, self._lock))
                        for f, info in zip(files, infos)]
        for shard, entry in zip(self._shards, self._manifest["shards"]):
            check_figures(shard.stats(), entry, shard.path)
        self._n, self._len = self._manifest["n"], self._manifest["keys"]
        self._batch_window = RECORD_WINDOW

    def __reduce__(self) -> Any:
        return _reopen, (self._url, self._options, self._value_type)

    @property
    def path(self) -> str:
        return self._url

    @property
    def version(self) -> str:
        """The version directory this reader reads, e.g. ``v-000007``."""
        return self._manifest["version"]  # type: ignore[no-any-return]

    @property
    def manifest(self) -> Dict[str, Any]:
        return {k: v for k, v in self._manifest.items()}

    @property
    def shards(self) -> List[RemoteReader]:
        return list(self._shards)

    @property
    def raw(self) -> RemoteShardedRawView:
        return RemoteShardedRawView._of(self)

    @property
    def closed(self) -> bool:
        return self._shards[0].closed

    def verify(self) -> bool:
        """Stream each shard once and check it completely, its figures against
        the manifest, and that each of its keys belongs to it."""
        self._shards[0]._check_open()
        with local_copies([s._file.obj for s in self._shards]) as copies:
            for i, (shard, entry, path) in enumerate(zip(self._shards, self._manifest["shards"],
                                                         copies)):
                with TarnReader(path, verify=False) as local:
                    local.verify()
                    check_figures(local.stats(), entry, shard.path)
                    check_routing(local, i, self._n, shard.path)
        return True

    def stats(self) -> Dict[str, Any]:
        shard_stats = [s.stats() for s in self._shards]
        size = sum(s["size"] for s in self._manifest["shards"])
        remote = [s["remote"] for s in shard_stats]
        return {
            "path": self._url, "layout": self._manifest["layout"], "hash": self._manifest["hash"],
            "version": self._manifest["version"], "n": self._n,
            "num_keys": self._manifest["keys"], "num_objects": self._manifest["objects"],
            "file_size": size, "file_size_kb": size / 1024,
            "hash_index": all(s["hash_index"] is not None and s["hash_index"]["in_use"]
                              for s in shard_stats),
            "private_bytes": shard_stats[0]["private_bytes"], "shards": shard_stats,
            "remote": {"requests": self._manifest_obj.requests + sum(r["requests"] for r in remote),
                       "bytes_received": self._manifest_obj.received
                       + sum(r["bytes_received"] for r in remote)},
        }

    def is_stale(self) -> bool:
        """Whether the manifest changed (a new version was committed) or is gone."""
        self._shards[0]._check_open()
        return bool(run(self._manifest_obj.version) != self._manifest_obj.pinned())

    def reopen(self) -> RemoteShardedReader:
        return _reopen(self._url, self._options, self._value_type)

    def close(self) -> None:
        for shard in self._shards:
            shard._closed_box[0] = True
        self._objects.close()

    def __repr__(self) -> str:
        state = "closed " if self.closed else ""
        return (f"<{state}RemoteShardedReader {self._url!r} {self.version}, n={self._n}, "
                f"keys={self._len}>")


class RemoteShardedRawView(_RemoteShardedMapping):
    """``reader.raw`` of a remote sharded reader: the stored bytes as values."""

    __slots__ = ("_owner",)

    def __init__(self) -> None:
        raise TypeError("a raw view is made by RemoteShardedReader.raw")

    @classmethod
    def _of(cls, owner: RemoteShardedReader) -> RemoteShardedRawView:
        view = cls.__new__(cls)
        view._owner = owner
        view._shards = [s.raw for s in owner._shards]
        view._n, view._len, view._lock = owner._n, owner._len, owner._lock
        view._batch_window = RECORD_WINDOW
        return view

    def __repr__(self) -> str:
        return f"<raw view of {self._owner!r}>"


def _reopen(url: str, options: Dict[str, Any], value_type: Any) -> RemoteShardedReader:
    return RemoteShardedReader(url, value_type=value_type, **options)
