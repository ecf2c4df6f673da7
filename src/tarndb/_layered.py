"""``LayeredReader``: a newest-first stack of store files read as one mapping.

A stack is a base store and the deltas written over it (files with
tombstones, from ``TarnWriter.delete``), newest first. The newest layer
that holds a key, as a value or as a tombstone, decides it. The native
base ``tarndb._store.Layers`` answers lookups, ``get_many``, iteration and
prefix scans over the layers' readers; ``len`` is counted once and kept.
"""

from __future__ import annotations

import heapq
import struct
from collections.abc import ItemsView, Mapping, ValuesView
from operator import itemgetter
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, TypeVar

from tarndb._ordered import Ordered, keys_as_bytes
from tarndb._reader import ItemsScan, TarnReader, ValuesScan
from tarndb._store import Layers
from tarndb._types import ClosingContext, StrPath, fspath_str

V = TypeVar("V")

#: The tombstone section of a delta (type, version).
TOMBSTONES = (b"TOMB", 1)
#: The key filter section (type, version).
KEY_FILTER = (b"KFLT", 1)


class _LayeredMapping(Ordered, Layers, Mapping[str, V]):
    """The Mapping side shared by the layered reader and its raw view."""

    __slots__ = ("_readers", "_as_bytes")

    _readers: List[Any]
    _as_bytes: bool

    def _use(self, readers: List[Any], as_bytes: bool) -> None:
        self._readers, self._as_bytes = readers, as_bytes
        self._set_layers(readers)

    def _scan(self, mode: str, start: Any, stop: Any, reverse: bool) -> Iterator[Any]:
        """Keys, items or values of the keys in [start, stop), either way:
        the layers' own scans and tombstones merged, the newest layer
        deciding each key (``range``, ``reversed``, ``first``, ``last``)."""
        as_bytes = self._as_bytes
        sources = []
        for reader in self._readers:
            scan = reader._scan("keys" if mode == "keys" else "items", start, stop, reverse)
            sources.append(((k, False, k) for k in scan) if mode == "keys"
                           else ((kv[0], False, kv) for kv in scan))
            dead = tombstone_keys(reader, start, stop, reverse, as_bytes)
            sources.append((k, True, None) for k in dead)
        return _decided(heapq.merge(*sources, key=itemgetter(0), reverse=reverse), mode)

    def items(self) -> ItemsView[str, V]:
        """A view of ``(key, value)`` pairs in key order (the layers merged)."""
        return ItemsScan(self)

    def values(self) -> ValuesView[V]:
        """A view of the values in key order."""
        return ValuesScan(self)


class LayeredReader(ClosingContext, _LayeredMapping[Any]):
    """A stack of store files, newest first, opened read-only as one ``Mapping``.

    ``LayeredReader([newest, ..., oldest], verify=True, populate=False,
    value_type=None, keys_as="str")`` opens every layer as ``TarnReader`` does. The newest
    layer that holds a key or its tombstone decides it; ``len`` and
    iteration count each live key once, in key order. The same interface as
    ``TarnReader``: ``r[key]``, ``get``, ``in``, ``len``, iteration,
    ``keys()``, ``values()``, ``items()``, ``get_many``, ``prefix``, ``raw``,
    ``verify``, ``stats``, ``is_stale``, ``reopen``, ``close`` and ``with``.

    A miss costs each delta one read of its key filter (a small Bloom filter
    kept in the file), not a probe of its index.
    """

    __slots__ = ("_paths", "_verify", "_value_type", "_keys_as")

    def __init__(self, paths: Sequence[StrPath], verify: bool = True, populate: bool = False, *,
                 value_type: Any = None, keys_as: str = "str",
                 _need_codec: bool = True) -> None:
        if isinstance(paths, (str, bytes)) or not hasattr(paths, "__iter__"):
            raise TypeError("a stack is a sequence of paths, newest first")
        texts = [fspath_str(p) for p in paths]
        if not texts:
            raise ValueError("a stack has 1 or more layers")
        readers: List[TarnReader] = []
        try:
            for path in texts:
                readers.append(TarnReader(path, verify, populate, value_type=value_type,
                                          keys_as=keys_as, _need_codec=_need_codec))
            self._use(readers, keys_as_bytes(keys_as))
        except BaseException:
            for reader in readers:
                reader.close()
            raise
        self._paths = texts
        self._verify = bool(verify)
        self._value_type = value_type
        self._keys_as = keys_as

    def __reduce__(self) -> Tuple[Any, ...]:
        return _reopen, (type(self), self._paths, self._verify, self._value_type, self._keys_as)

    @property
    def paths(self) -> List[str]:
        """The layers' paths, newest first."""
        return list(self._paths)

    @property
    def layers(self) -> List[TarnReader]:
        """The layers' readers, newest first."""
        return list(self._readers)

    @property
    def raw(self) -> LayeredRawView:
        """The same stack with values as the stored bytes."""
        return LayeredRawView._of(self)

    @property
    def value_type(self) -> Any:
        return self._value_type

    @property
    def closed(self) -> bool:
        return self._readers[0].closed

    def verify(self) -> bool:
        """Check every layer completely (``TarnReader.verify``). True, or
        ``TarnCorruptError`` naming the fault."""
        for reader in self._readers:
            reader.verify()
        return True

    def stats(self) -> Dict[str, Any]:
        """The stack's figures: ``num_keys`` (live keys), ``num_objects`` and
        ``file_size`` (of all layers), ``private_bytes``, and each layer's ``stats()`` under
        ``"layers"`` with its ``tombstones`` count and whether it has a
        ``key_filter``."""
        layer_stats = []
        for reader in self._readers:
            s: Dict[str, Any] = dict(reader.stats())
            s["tombstones"] = tombstone_count(reader)
            s["key_filter"] = reader._section(*KEY_FILTER) is not None
            layer_stats.append(s)
        return {
            "paths": list(self._paths),
            "num_keys": len(self),
            "num_objects": sum(s["num_objects"] for s in layer_stats),
            "file_size": sum(s["file_size"] or 0 for s in layer_stats),
            "private_bytes": sum(s["private_bytes"] for s in layer_stats),
            "layers": layer_stats,
        }

    def is_stale(self) -> bool:
        """Whether any layer's path now names another file than the one opened."""
        return any(reader.is_stale() for reader in self._readers)

    def reopen(self) -> LayeredReader:
        """A new reader of the files the paths name now, with the same settings."""
        return type(self)(self._paths, self._verify, value_type=self._value_type,
                          keys_as=self._keys_as)

    def close(self) -> None:
        """Release every layer; later calls raise ``ValueError``."""
        self._close()
        for reader in self._readers:
            reader.close()


    def __repr__(self) -> str:
        state = "closed " if self.closed else ""
        return f"<{state}LayeredReader {self._paths!r}>"


class LayeredRawView(_LayeredMapping[bytes]):
    """``reader.raw`` of a layered reader: the same keys mapped to the stored
    bytes. Closing the reader closes the view."""

    __slots__ = ("_owner",)

    def __init__(self) -> None:
        raise TypeError("a raw view is made by LayeredReader.raw")

    @classmethod
    def _of(cls, owner: LayeredReader) -> LayeredRawView:
        view = cls.__new__(cls)
        view._owner = owner
        view._use([reader.raw for reader in owner._readers], owner._as_bytes)
        return view

    def __repr__(self) -> str:
        return f"<raw view of {self._owner!r}>"


def _decided(merged: Iterator[Tuple[Any, bool, Any]], mode: str) -> Iterator[Any]:
    """Of each run of equal keys (newest layer first, its puts before its
    tombstones: the merge is stable), the first, unless it is a tombstone."""
    last = _NOTHING
    for key, dead, item in merged:
        if key == last:
            continue
        last = key
        if not dead:
            yield item[1] if mode == "values" else item


_NOTHING = object()


def tombstone_keys(reader: TarnReader, start: Any = None, stop: Any = None,
                   reverse: bool = False, as_bytes: bool = True) -> List[Any]:
    """The tombstones of a store file in [start, stop) (bytes; as text, with
    bytes that are not UTF-8 replaced, unless *as_bytes*), in key order or
    reversed."""
    section = reader._section(*TOMBSTONES)
    if section is None:
        return []
    count = struct.unpack_from(">Q", section)[0]
    pos = 16 + 8 * -(-count // 16)
    low, high = _bound(start), _bound(stop)
    keys = []
    for _ in range(count):
        (n,) = struct.unpack_from(">H", section, pos)
        key = section[pos + 2:pos + 2 + n]
        pos += 2 + n
        if (low is None or key >= low) and (high is None or key < high):
            keys.append(key if as_bytes else key.decode("utf-8", "replace"))
    return keys[::-1] if reverse else keys


def _bound(key: Any) -> Optional[bytes]:
    if key is None:
        return None
    return key.encode("utf-8") if isinstance(key, str) else bytes(key)


def tombstone_count(reader: TarnReader) -> int:
    """The tombstones a store file holds (0 for a file that is not a delta)."""
    section = reader._section(*TOMBSTONES)
    return 0 if section is None else int(struct.unpack_from(">Q", section)[0])


def _reopen(cls: Any, paths: List[str], verify: bool, value_type: Any,
            keys_as: str) -> LayeredReader:
    return cls(paths, verify, value_type=value_type, keys_as=keys_as)  # type: ignore[no-any-return]
