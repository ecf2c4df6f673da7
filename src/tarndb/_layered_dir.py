"""Directory stores whose shards have layers: committing a delta version,
compacting each shard's layers, and reading such a store.

A delta version (``to_tarn(..., mode="update")``, ``tarndb build --update``)
holds one store file with tombstones for each shard it touches; its commit
publishes a layout 2 manifest (``_manifest_layers``) that puts that file on
top of the shard's layers. ``compact_directory`` commits a version in which
each shard with several layers is merged into one file (``tarndb.compact``)
and each other shard's file is linked in unchanged, under a layout 1
manifest again. Clean-up keeps every version directory the live manifest
or the one before it uses, so readers of either keep working.
"""

from __future__ import annotations

import errno
import heapq
import os
import shutil
from collections.abc import Mapping
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from tarndb._commit import (_check_shards_in_place, _commit_lock, _fsync_dir,
                            _remove_old_versions, held_version, live_versions, shard_figures)
from tarndb._compact import compact
from tarndb._errors import TarnCorruptError, TarnIOError, TarnVersionError
from tarndb._layered import LayeredReader
from tarndb._manifest import MANIFEST, make_manifest, manifest_bytes, shard_file_name
from tarndb._manifest_layers import (LAYERED_LAYOUT, LayerInfo, make_layered_manifest,
                                     read_any_manifest, shard_layers)
from tarndb._ordered import Ordered, keys_as_bytes
from tarndb._reader import ItemsScan, TarnReader, ValuesScan, file_identity
from tarndb._sharded_reader import (_OPEN_ATTEMPTS, ShardedReader, _check_figures, is_sharded,
                                    is_url, open_store)
from tarndb._store import _group_by_shard, publish_file, shard_of
from tarndb._types import ClosingContext, StrPath, fspath_str


def layer_path(root: str, shard: int, n: int, layer: LayerInfo) -> str:
    return os.path.join(root, layer["version"], shard_file_name(shard, n))


def commit_delta(root: StrPath, version: str, n: int,
                 added: Dict[int, Dict[str, Any]]) -> Dict[str, Any]:
    """Put the delta files of *version* (shard number -> figures) on top of
    the live version's layers, and make that the live version. The live
    store must have *n* shards. Returns the new manifest."""
    text = fspath_str(root)
    with _commit_lock(text):
        live = read_any_manifest(text)
        if live["n"] != n:
            raise ValueError(f"the live version has {live['n']} shards, the delta was built "
                             f"for {n}")
        _check_shards_in_place(text, version, list(added.values()))
        _fsync_dir(os.path.join(text, version))
        layers = shard_layers(live)
        for s, figures in added.items():
            layers[s].insert(0, dict(figures, version=version))
        manifest = make_layered_manifest(version, n, layers)
        previous = live_versions(text)
        publish_file(os.path.join(text, MANIFEST), manifest_bytes(manifest))
        _remove_old_versions(text, keep=previous | {layer["version"] for shard in layers
                                                    for layer in shard} | {version})
    return manifest


def compact_directory(root: StrPath, *, memory_limit: Optional[int] = None,
                      spill_dir: Optional[StrPath] = None,
                      hash_index: bool = True) -> Dict[str, Any]:
    """Commit a version of the directory store at *root* in which each
    shard's layers are merged into one store; returns its manifest (the
    live one unchanged when no shard has more than one layer). Fails,
    committing nothing, when another version was committed meanwhile."""
    text = fspath_str(root)
    live = read_any_manifest(text)
    layers = shard_layers(live)
    n = live["n"]
    if all(len(shard) == 1 for shard in layers):
        return live
    with held_version(text) as version:
        figures = []
        for s, shard in enumerate(layers):
            out = os.path.join(text, version, shard_file_name(s, n))
            paths = [layer_path(text, s, n, layer) for layer in shard]
            if len(paths) == 1:
                _link_or_copy(paths[0], out)
            else:
                compact(out, paths, memory_limit=memory_limit, spill_dir=spill_dir,
                        hash_index=hash_index)
            figures.append(shard_figures(out, s, n))
        manifest = make_manifest(version, n, figures)
        with _commit_lock(text):
            if read_any_manifest(text)["version"] != live["version"]:
                raise TarnIOError(f"{text}: another version was committed while the layers "
                                  "were merged; nothing was committed", errno.EAGAIN, text)
            _check_shards_in_place(text, version, figures)
            _fsync_dir(os.path.join(text, version))
            previous = live_versions(text)
            publish_file(os.path.join(text, MANIFEST), manifest_bytes(manifest))
            _remove_old_versions(text, keep=previous | {version})
    return manifest


def _link_or_copy(source: str, target: str) -> None:
    """The unchanged shard file in the new version: a second name for it
    (store files are never changed once named), or a copy where the file
    system has no hard links."""
    try:
        os.link(source, target)
    except OSError:
        shutil.copyfile(source, target)


class LayeredDirReader(ClosingContext, Ordered, Mapping):  # type: ignore[type-arg]
    """A directory store of layout 2 (shards with layers) read as one mapping.

    Each shard is a ``LayeredReader`` of its layers; a key is looked up in
    shard ``shard_of(key, n)`` alone, listings merge the shards in key
    order. The interface of ``ShardedReader``: ``[]``, ``get``, ``in``,
    ``len``, iteration, ``items``, ``values``, ``get_many``, ``prefix``,
    ``verify``, ``stats``, ``is_stale``, ``reopen``, ``close`` and ``with``.
    """

    def __init__(self, path: StrPath, verify: bool = True, populate: bool = False, *,
                 keys_as: str = "str", _need_codec: bool = True) -> None:
        root = fspath_str(path)
        self._path, self._verify, self._keys_as = root, bool(verify), keys_as
        keys_as_bytes(keys_as)  # ValueError for anything else
        self._shards: List[LayeredReader] = []
        manifest_path = os.path.join(root, MANIFEST)
        # Read again when commits replaced the version meanwhile (and their
        # clean-up removed a layer of the one read first).
        for attempt in range(_OPEN_ATTEMPTS):
            self._identity = file_identity(manifest_path)
            self._manifest = read_any_manifest(root)
            self._n = self._manifest["n"]
            try:
                self._shards = _open_shards(root, self._manifest, verify, populate, keys_as,
                                            _need_codec)
                break
            except TarnCorruptError:
                if file_identity(manifest_path) == self._identity or attempt + 1 == _OPEN_ATTEMPTS:
                    raise
        self._len: Optional[int] = None

    @property
    def version(self) -> str:
        return self._manifest["version"]  # type: ignore[no-any-return]

    @property
    def shards(self) -> List[LayeredReader]:
        return list(self._shards)

    def _shard(self, key: Any) -> LayeredReader:
        return self._shards[shard_of(key, self._n)]

    def __getitem__(self, key: Any) -> Any:
        return self._shard(key)[key]

    def get(self, key: Any, default: Any = None) -> Any:
        return self._shard(key).get(key, default)

    def __contains__(self, key: object) -> bool:
        return key in self._shard(key)

    def __len__(self) -> int:
        if self._len is None:
            self._len = sum(len(shard) for shard in self._shards)
        return self._len

    def __iter__(self) -> Iterator[str]:
        return heapq.merge(*self._shards)

    def items(self) -> Any:
        return ItemsScan(self)

    def values(self) -> Any:
        return ValuesScan(self)

    def _items(self) -> Iterator[Tuple[str, Any]]:
        return heapq.merge(*(shard.items() for shard in self._shards), key=_first)

    def _values(self) -> Iterator[Any]:
        return (value for _, value in self._items())

    def _scan(self, mode: str, start: Any, stop: Any, reverse: bool) -> Iterator[Any]:
        """The shards' scans merged by key (``range``, ``reversed``, ``first``, ``last``)."""
        scans = [shard._scan(mode if mode != "values" else "items", start, stop, reverse)
                 for shard in self._shards]
        if mode == "keys":
            return heapq.merge(*scans, reverse=reverse)
        merged = heapq.merge(*scans, key=_first, reverse=reverse)
        return merged if mode == "items" else (value for _, value in merged)

    def prefix(self, prefix: Any) -> Iterator[Tuple[str, Any]]:
        return heapq.merge(*(shard.prefix(prefix) for shard in self._shards), key=_first)

    def get_many(self, keys: Any, default: Any = None) -> List[Any]:
        if isinstance(keys, (str, bytes)):
            raise TypeError("get_many() takes an iterable of keys, not one key")
        keys = list(keys)
        out: List[Any] = [default] * len(keys)
        for s, (routed, positions) in enumerate(_group_by_shard(keys, self._n)):
            for i, value in zip(positions, self._shards[s].get_many(routed, default)):
                out[i] = value
        return out

    def verify(self) -> bool:
        for shard, layers in zip(self._shards, shard_layers(self._manifest)):
            shard.verify()
            for reader, info in zip(shard.layers, layers):
                _check_figures(reader, info)
        return True

    def stats(self) -> Dict[str, Any]:
        shard_stats = [shard.stats() for shard in self._shards]
        return {"path": self._path, "layout": self._manifest["layout"],
                "version": self.version, "n": self._n, "num_keys": len(self),
                "num_objects": sum(s["num_objects"] for s in shard_stats),
                "file_size": sum(s["file_size"] for s in shard_stats), "shards": shard_stats}

    def is_stale(self) -> bool:
        current = file_identity(os.path.join(self._path, MANIFEST))
        return current is None or current != self._identity

    def reopen(self) -> LayeredDirReader:
        return type(self)(self._path, self._verify, keys_as=self._keys_as)

    def close(self) -> None:
        for shard in self._shards:
            shard.close()

    @property
    def closed(self) -> bool:
        return bool(self._shards) and self._shards[0].closed


    def __repr__(self) -> str:
        return f"<LayeredDirReader {self._path!r} {self.version}, n={self._n}>"


def _first(pair: Tuple[str, Any]) -> str:
    return pair[0]


def _open_shards(root: str, manifest: Dict[str, Any], verify: bool, populate: bool,
                 keys_as: str, need_codec: bool) -> List[LayeredReader]:
    shards: List[LayeredReader] = []
    n = manifest["n"]
    try:
        for s, layers in enumerate(shard_layers(manifest)):
            paths = [layer_path(root, s, n, layer) for layer in layers]
            shards.append(_open_shard(paths, layers, verify, populate, keys_as, need_codec))
    except BaseException:
        for shard in shards:
            shard.close()
        raise
    return shards


def _open_shard(paths: Sequence[str], layers: Sequence[LayerInfo], verify: bool,
                populate: bool, keys_as: str, need_codec: bool) -> LayeredReader:
    try:
        shard = LayeredReader(paths, verify, populate, keys_as=keys_as, _need_codec=need_codec)
    except TarnIOError as exc:
        if exc.errno == errno.ENOENT:
            raise TarnCorruptError(f"{exc.filename or paths[0]}: layer named by the manifest "
                                   "is missing") from None
        raise
    try:
        for reader, info in zip(shard.layers, layers):
            _check_figures(reader, info)
    except BaseException:
        shard.close()
        raise
    return shard


def open(path: Union[StrPath, Sequence[StrPath]], verify: Optional[bool] = None,
         populate: bool = False, *, keys_as: str = "str",
         storage_options: Optional[Dict[str, Any]] = None, cache_size: Optional[int] = None,
         _need_codec: bool = True) -> Any:
    """Open a store: a ``LayeredReader`` for a list or tuple of store files
    (newest first); for a directory, a ``ShardedReader``, or a
    ``LayeredDirReader`` when its shards have layers; for a URL (``http://``,
    ``https://``, ``s3://``, any fsspec protocol) a ``RemoteReader``, or a
    ``RemoteShardedReader`` for a sharded store's directory; else a
    ``TarnReader`` for the store file at *path*. *verify* (default: yes for
    local stores) checks every file whole at open; a remote store is read
    whole for it only when asked. *storage_options* and *cache_size* are the
    remote readers'."""
    if isinstance(path, (list, tuple)):
        return LayeredReader(path, True if verify is None else verify, populate,
                             keys_as=keys_as, _need_codec=_need_codec)
    if isinstance(path, str) and is_url(path):
        return open_store(path, verify, keys_as=keys_as, storage_options=storage_options,
                          cache_size=cache_size, _need_codec=_need_codec)
    verify = True if verify is None else verify
    if not is_sharded(path):
        return open_store(path, verify, populate, keys_as=keys_as, _need_codec=_need_codec)
    # A commit may change the layout between the look and the open: look again.
    for attempt in range(_OPEN_ATTEMPTS):
        # A manifest that cannot be read is reported as it is, whatever its layout.
        layered = read_any_manifest(fspath_str(path))["layout"] == LAYERED_LAYOUT
        try:
            if layered:
                return LayeredDirReader(path, verify, populate, keys_as=keys_as,
                                        _need_codec=_need_codec)
            return ShardedReader(path, verify, populate, keys_as=keys_as, _need_codec=_need_codec)
        except TarnVersionError:
            if layered or attempt + 1 == _OPEN_ATTEMPTS:
                raise
    raise AssertionError("not reached")
