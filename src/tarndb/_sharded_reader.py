"""``ShardedReader``: a sharded store read as one mapping, and ``open_store``.

A sharded store is a directory of ordinary store files, one per shard, and
the manifest that names them (``_manifest``); a key lives in shard
``shard_of(key, n)``. The reader opens every shard of the version the
manifest names, so it keeps reading that version after later commits.
"""

from __future__ import annotations

import errno
import itertools
import json
import os
from collections.abc import ItemsView, Mapping, ValuesView
from typing import Any, Dict, Iterator, List, Optional, Tuple, TypeVar

from tarndb._errors import TarnCorruptError, TarnIOError
from tarndb._manifest import MANIFEST, ShardInfo, read_manifest
from tarndb._reader import ItemsScan, TarnReader, ValuesScan, file_identity
from tarndb._ordered import Ordered, keys_as_bytes
from tarndb._shard_checks import check_figures, check_routing
from tarndb._store import Shards
from tarndb._types import ClosingContext, StrPath, fspath_str

V = TypeVar("V")

# Opening is retried when a new version is committed while it is being opened.
_OPEN_ATTEMPTS = 5


def is_sharded(path: StrPath) -> bool:
    """Whether *path* is a directory (a sharded store, or meant to be one)."""
    return os.path.isdir(fspath_str(path))


class _ShardedMapping(Ordered, Shards, Mapping[str, V]):
    """The Mapping side shared by the sharded reader and its raw view.

    The native base routes each key to its shard (``r[key]``, ``get``, ``in``,
    ``get_many`` grouped by shard) and merges the shards' sorted entries by
    their key bytes (iteration, ``items``, ``values``, ``prefix``), so the
    result is in the same order as one store of the same keys.
    """

    __slots__ = ("_shards", "_n", "_len")

    _shards: List[Any]
    _n: int
    _len: int

    def _use(self, shards: List[Any], n: int, total: int) -> None:
        self._shards, self._n, self._len = shards, n, total
        self._set_shards(shards)

    def objects(self) -> Iterator[V]:
        """Every stored object that some key names, shard by shard (each
        shard's in the order of its first key). A value stored under keys
        of several shards is stored, and listed, once in each."""
        return itertools.chain.from_iterable(shard.objects() for shard in self._shards)

    def items(self) -> ItemsView[str, V]:
        """A view of ``(key, value)`` pairs in key order (the shards' scans, merged)."""
        return ItemsScan(self)

    def values(self) -> ValuesView[V]:
        """A view of the values in key order."""
        return ValuesScan(self)


class ShardedReader(ClosingContext, _ShardedMapping[Any]):
    """A sharded store (a directory with ``manifest.json``) opened read-only,
    as one ``Mapping`` from keys to values.

    ``ShardedReader(path, verify=True, populate=False)`` reads the manifest
    and opens every shard of the version it names, with the same *verify*
    and *populate* as ``TarnReader``: with *verify* each shard's whole-file
    checksum is checked at open. Every shard must match the manifest (file
    present, size, stored checksum, key and object counts), else
    ``TarnCorruptError`` names the shard and the fault.

    The same interface as ``TarnReader``: ``r[key]``, ``get``, ``in``,
    ``len``, iteration in key order (the shards merged), ``keys()``,
    ``values()``, ``items()``, ``get_many``, ``prefix``, ``objects``,
    ``verify``, ``stats``, ``is_stale``, ``reopen``, ``raw``, ``close``.
    A reader keeps the version it opened when a new one is committed;
    ``is_stale()`` tells when the manifest changed and ``reopen()`` follows.
    """

    __slots__ = ("_path", "_verify", "_manifest", "_identity", "_readers", "_keys_as")

    def __init__(self, path: StrPath, verify: bool = True, populate: bool = False, *,
                 keys_as: str = "str", _need_codec: bool = True) -> None:
        root = fspath_str(path)
        as_bytes = keys_as_bytes(keys_as)
        manifest, readers, identity = _open_version(root, bool(verify), bool(populate),
                                                    _need_codec)
        for reader in readers:
            reader._set_keys_as_bytes(as_bytes)
        self._keys_as = keys_as
        self._path = root
        self._verify = bool(verify)
        self._manifest = manifest
        self._identity = identity
        self._readers: List[TarnReader] = readers
        self._use(readers, manifest["n"], manifest["keys"])

    def __reduce__(self) -> Tuple[Any, ...]:
        return _reopen_sharded, (type(self), self._path, self._verify, self._keys_as)

    @property
    def path(self) -> str:
        """The directory the reader was opened with."""
        return self._path

    @property
    def version(self) -> str:
        """The version directory this reader reads, e.g. ``v-000007``."""
        return self._manifest["version"]  # type: ignore[no-any-return]

    @property
    def manifest(self) -> Dict[str, Any]:
        """The manifest of the version this reader reads (a copy)."""
        return json.loads(json.dumps(self._manifest))  # type: ignore[no-any-return]

    @property
    def shards(self) -> List[TarnReader]:
        """The readers of the shards, in shard order (shard ``shard_of(key, n)``)."""
        return list(self._readers)

    @property
    def raw(self) -> ShardedRawView:
        """The same store with values as the stored bytes."""
        return ShardedRawView._of(self)

    @property
    def closed(self) -> bool:
        return self._readers[0].closed

    def verify(self) -> bool:
        """Check every shard completely (``TarnReader.verify``), that it still
        matches the manifest's figures, and that each of its keys belongs to
        it by ``shard_of`` (a key in the wrong shard could never be found).
        Returns True or raises ``TarnCorruptError`` naming the shard."""
        for i, (reader, info) in enumerate(zip(self._readers, self._manifest["shards"])):
            reader.verify()
            _check_figures(reader, info)
            check_routing(reader, i, self._n)
        return True

    def stats(self) -> Dict[str, Any]:
        """The store's figures: path, version, shard count, totals, the size
        of its shards (``file_size`` in bytes, ``file_size_kb``), and each
        shard's own ``stats()`` under ``"shards"``."""
        shard_stats = [reader.stats() for reader in self._readers]
        size = sum(s["size"] for s in self._manifest["shards"])
        return {
            "path": self._path,
            "layout": self._manifest["layout"],
            "hash": self._manifest["hash"],
            "version": self._manifest["version"],
            "n": self._n,
            "num_keys": self._manifest["keys"],
            "num_objects": self._manifest["objects"],
            "file_size": size,
            "file_size_kb": size / 1024,
            "hash_index": all(s["hash_index"] is not None and s["hash_index"]["in_use"]
                              for s in shard_stats),
            "private_bytes": sum(s["private_bytes"] for s in shard_stats),
            "shards": shard_stats,
        }

    def is_stale(self) -> bool:
        """Whether the store's manifest changed (a new version was committed)
        or is gone since this reader opened it. Costs one ``os.stat``."""
        current = file_identity(os.path.join(self._path, MANIFEST))
        return current is None or current != self._identity

    def reopen(self) -> ShardedReader:
        """A new reader of the version live now, opened with the same
        *verify* setting. This reader stays open and unchanged."""
        return type(self)(self._path, self._verify, keys_as=self._keys_as)

    def close(self) -> None:
        """Release every shard; later calls raise ``ValueError``."""
        for reader in self._readers:
            reader.close()


    def __repr__(self) -> str:
        state = "closed " if self.closed else ""
        return (f"<{state}ShardedReader {self._path!r} {self.version}, n={self._n}, "
                f"keys={self._len}>")


class ShardedRawView(_ShardedMapping[bytes]):
    """``reader.raw`` of a sharded reader: the same keys mapped to the stored
    bytes. Closing the reader closes the view."""

    __slots__ = ("_owner",)

    def __init__(self) -> None:
        raise TypeError("a raw view is made by ShardedReader.raw")

    @classmethod
    def _of(cls, owner: ShardedReader) -> ShardedRawView:
        view = cls.__new__(cls)
        view._owner = owner
        view._use([reader.raw for reader in owner._readers], owner._n, owner._len)
        return view

    def __repr__(self) -> str:
        return f"<raw view of {self._owner!r}>"


class _ShardMissing(Exception):
    def __init__(self, path: str) -> None:
        super().__init__(path)
        self.path = path


def _open_version(root: str, verify: bool, populate: bool,
                  need_codec: bool) -> Tuple[Dict[str, Any], List[TarnReader], Any]:
    """The live manifest, readers of all its shards, and the manifest file's
    identity; read again when a commit replaced the version meanwhile."""
    manifest_path = os.path.join(root, MANIFEST)
    for attempt in range(_OPEN_ATTEMPTS):
        before = file_identity(manifest_path)
        manifest = read_manifest(root)
        try:
            readers = _open_shards(root, manifest, verify, populate, need_codec)
        except _ShardMissing as missing:
            if file_identity(manifest_path) != before and attempt + 1 < _OPEN_ATTEMPTS:
                continue  # a commit removed the version meanwhile: read the new manifest
            raise TarnCorruptError(f"{missing.path}: shard named by the manifest is missing") from None
        if file_identity(manifest_path) == before or attempt + 1 == _OPEN_ATTEMPTS:
            break  # (after that many commits meanwhile, keep a complete version)
        for reader in readers:
            reader.close()
    return manifest, readers, before


def _open_shards(root: str, manifest: Dict[str, Any], verify: bool, populate: bool,
                 need_codec: bool) -> List[TarnReader]:
    vdir = os.path.join(root, manifest["version"])
    readers: List[TarnReader] = []
    try:
        for info in manifest["shards"]:
            path = os.path.join(vdir, info["file"])
            try:
                reader = TarnReader(path, verify, populate, _need_codec=need_codec)
            except TarnIOError as exc:
                if exc.errno == errno.ENOENT:
                    raise _ShardMissing(path) from None
                raise
            readers.append(reader)
            _check_figures(reader, info)
    except BaseException:
        for reader in readers:
            reader.close()
        raise
    return readers


def _check_figures(reader: TarnReader, info: ShardInfo) -> None:
    """TarnCorruptError naming the shard when it differs from its manifest entry."""
    stats = reader.stats()
    if stats["file_size"] is None:  # the path was gone just after the open
        raise _ShardMissing(reader.path)
    check_figures(stats, info, reader.path)


def open_store(path: StrPath, verify: Optional[bool] = None, populate: bool = False, *,
               keys_as: str = "str", storage_options: Optional[Dict[str, Any]] = None,
               cache_size: Optional[int] = None, _need_codec: bool = True) -> Any:
    """Open a store: for a URL (``http://``, ``https://``, ``s3://``, any
    fsspec protocol) a ``RemoteReader``, or a ``RemoteShardedReader`` for a
    sharded store's directory; for a local directory a ``ShardedReader``;
    else a ``TarnReader`` for the store file at *path*. *verify* (default:
    yes for local files) checks the whole file at open; a remote store is
    read whole for it only when asked. *storage_options* and *cache_size*
    are the remote reader's."""
    if isinstance(path, str) and is_url(path):
        from tarndb._remote_sharded import open_remote

        return open_remote(path, verify=bool(verify), storage_options=storage_options,
                           cache_size=cache_size, keys_as=keys_as)
    verify = True if verify is None else verify
    if is_sharded(path):
        return ShardedReader(path, verify, populate, keys_as=keys_as, _need_codec=_need_codec)
    return TarnReader(path, verify, populate, keys_as=keys_as, _need_codec=_need_codec)


def is_url(path: str) -> bool:
    """Whether *path* is a URL (``scheme://...``) rather than a local path."""
    scheme, sep, _ = path.partition("://")
    return bool(sep) and scheme.isascii() and scheme[:1].isalpha() and all(
        c.isalnum() or c in "+.-" for c in scheme)


def _reopen_sharded(cls: Any, path: str, verify: bool, keys_as: str) -> ShardedReader:
    return cls(path, verify, keys_as=keys_as)  # type: ignore[no-any-return]
