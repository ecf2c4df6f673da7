"""``TarnReader``: a read-only mapping over one store file."""

from __future__ import annotations

import os
from collections.abc import Mapping
from types import TracebackType
from typing import Any, Generic, ItemsView, Iterator, Optional, Type, TypeVar, ValuesView

from tarndb._codec import decode
from tarndb._errors import translate
from tarndb._tarndb import _TarnReader
from tarndb._types import Key, StoreStats, StrPath, fspath_str

V = TypeVar("V")

# Opening is retried when the path is replaced while it is being opened.
_OPEN_ATTEMPTS = 5


class _StoreMapping(Mapping[str, V], Generic[V]):
    """The read operations shared by the decoding reader and its raw view.

    Lookups accept ``str`` or ``bytes`` keys; iteration yields ``str`` keys in
    bytewise order of their UTF-8 bytes. A key whose bytes are not valid UTF-8
    is listed with U+FFFD in place of the bad bytes, and that text does not
    find it again: look such keys up as ``bytes``.
    """

    __slots__ = ()

    def _native(self) -> _TarnReader:
        raise NotImplementedError

    def _value(self, data: bytes) -> V:
        raise NotImplementedError

    def _key_list(self) -> list[str]:
        raise NotImplementedError

    def __len__(self) -> int:
        raise NotImplementedError

    def __getitem__(self, key: Key) -> V:
        data = self._get_raw(key)
        if data is None:
            raise KeyError(key)
        return self._value(data)

    def get(self, key: Key, default: Any = None) -> Any:
        """The value of *key*, or *default* when the key is absent."""
        data = self._get_raw(key)
        return default if data is None else self._value(data)

    def __contains__(self, key: object) -> bool:
        return isinstance(key, (str, bytes)) and self._native().exists(key)

    def __iter__(self) -> Iterator[str]:
        return iter(self._key_list())

    def items(self) -> ItemsView[str, V]:
        """A view of ``(key, value)`` pairs in key order.

        Each iteration fetches all pairs in one pass (an object shared by
        several keys is read once) and holds their bytes as a list; values
        are decoded lazily, one at a time, as the iteration reaches them.
        """
        return _Items(self)

    def values(self) -> ValuesView[V]:
        """A view of the values in key order; fetched and decoded like ``items``."""
        return _Values(self)

    def prefix(self, prefix: Key) -> Iterator[tuple[str, V]]:
        """``(key, value)`` for every key starting with *prefix*, in key order.

        The matching pairs are looked up at once, in this call, and held as a
        list; the returned iterator decodes the values lazily. The empty
        prefix matches every key. A ``bytes`` prefix may end inside a UTF-8
        sequence.
        """
        try:
            pairs = self._native().prefix_raw(prefix)
        except Exception as exc:
            raise _failure(exc, prefix) from None
        return ((key, self._value(data)) for key, data in pairs)

    def objects(self) -> Iterator[V]:
        """Every stored object that some key names, once, in the order of its
        first key. Read in this call as a list; decoded lazily."""
        try:
            objects = self._native().objects_raw()
        except Exception as exc:
            raise _failure(exc) from None
        return (self._value(data) for data in objects)

    def _get_raw(self, key: Key) -> Optional[bytes]:
        try:
            return self._native().get_raw(key)
        except Exception as exc:
            raise _failure(exc, key) from None

    def _pairs(self) -> list[tuple[str, bytes]]:
        try:
            return self._native().items_raw()
        except Exception as exc:
            raise _failure(exc) from None


class _Items(ItemsView[str, V]):
    _mapping: _StoreMapping[V]

    def __iter__(self) -> Iterator[tuple[str, V]]:
        value = self._mapping._value
        return ((key, value(data)) for key, data in self._mapping._pairs())


class _Values(ValuesView[V]):
    _mapping: _StoreMapping[V]

    def __iter__(self) -> Iterator[V]:
        value = self._mapping._value
        return (value(data) for _, data in self._mapping._pairs())


class TarnReader(_StoreMapping[Any]):
    """A store file opened read-only, as a ``Mapping`` from keys to values.

    ``TarnReader(path, verify=True)`` maps the file into memory and reads its
    index; with *verify* it first checks the whole-file checksum
    (``TarnCorruptError`` on damage). Values are decoded from MessagePack on
    each access; ``reader.raw`` gives the stored bytes instead.

    The Mapping protocol: ``r[key]`` (``KeyError`` when absent), ``get``,
    ``in``, ``len``, iteration over the keys in sorted order, and the views
    ``keys()``, ``values()``, ``items()``. The key list is read from the
    index once, on first use, and kept. Plus ``prefix(p)``, ``objects()``,
    ``verify()``, ``stats()``, ``is_stale()`` and ``reopen()``.

    The file is never changed; a reader keeps seeing the file it opened when a
    new build is renamed over its path (``is_stale()`` tells, ``reopen()``
    follows). ``close()``, or leaving a ``with`` block, drops the mapping;
    any later use raises ``ValueError``. A reader may be shared by threads.
    """

    __slots__ = ("_reader", "_path", "_verify", "_identity", "_keys", "_len")

    def __init__(self, path: StrPath, verify: bool = True) -> None:
        self._path = fspath_str(path)
        self._verify = bool(verify)
        self._keys: Optional[list[str]] = None
        # Stat around the open, so that the recorded identity is the file that
        # was mapped even when a new build is renamed over the path meanwhile.
        before = _identity(self._path)
        for _ in range(_OPEN_ATTEMPTS):
            try:
                reader = _TarnReader(self._path, self._verify)
            except Exception as exc:
                raise _failure(exc) from None
            after = _identity(self._path)
            if after == before:
                break
            before = after
        self._reader: Optional[_TarnReader] = reader
        self._identity = after
        self._len: int = reader.stats()["num_keys"]

    @property
    def path(self) -> str:
        """The path the reader was opened with."""
        return self._path

    @property
    def raw(self) -> RawView:
        """The same store with values as the stored bytes (``Mapping[str, bytes]``)."""
        return RawView(self)

    @property
    def closed(self) -> bool:
        """Whether ``close()`` was called."""
        return self._reader is None

    def verify(self) -> bool:
        """Check the whole-file checksum and that of every object a key names.

        Returns ``True``; raises ``TarnCorruptError`` naming the first fault.
        """
        try:
            return self._native().verify()
        except Exception as exc:
            raise _failure(exc) from None

    def stats(self) -> StoreStats:
        """A new dict: path, version, num_keys, num_objects, index_offset,
        data_offset, file_size_kb, file_crc32 (as stored, "0x…")."""
        return self._native().stats()

    def is_stale(self) -> bool:
        """Whether the path now names another file than the one this reader
        mapped: device, inode or size differ, or the path is gone (or cannot
        be examined). Costs one ``os.stat``."""
        current = _identity(self._path)
        return current is None or current != self._identity

    def reopen(self) -> TarnReader:
        """A new reader of the file the path names now, opened with the same
        *verify* setting. This reader stays open and unchanged."""
        return TarnReader(self._path, self._verify)

    def close(self) -> None:
        """Release the mapping (once no call is using it). Idempotent."""
        self._reader = None
        self._keys = None

    def __enter__(self) -> TarnReader:
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        reader = self._reader
        if reader is None:
            return f"<closed TarnReader {self._path!r}>"
        stats = reader.stats()
        return f"TarnReader({self._path!r}, keys={stats['num_keys']}, objects={stats['num_objects']})"

    def _native(self) -> _TarnReader:
        reader = self._reader
        if reader is None:
            raise ValueError("operation on a closed TarnReader")
        return reader

    def _value(self, data: bytes) -> Any:
        return decode(data)

    def _key_list(self) -> list[str]:
        keys = self._keys
        if keys is None:
            keys = self._keys = self._native().keys()
        return keys

    def __len__(self) -> int:
        self._native()
        return self._len


class RawView(_StoreMapping[bytes]):
    """``reader.raw``: the reader's keys mapped to the stored, undecoded bytes.

    Same methods as the reader (``[]``, ``get``, ``in``, ``len``, iteration,
    ``items``, ``values``, ``prefix``, ``objects``), with ``bytes`` values.
    """

    __slots__ = ("_owner",)

    def __init__(self, owner: TarnReader) -> None:
        self._owner = owner

    def _native(self) -> _TarnReader:
        return self._owner._native()

    def _value(self, data: bytes) -> bytes:
        return data

    def _key_list(self) -> list[str]:
        return self._owner._key_list()

    def __len__(self) -> int:
        return len(self._owner)

    def __repr__(self) -> str:
        return f"<raw view of {self._owner!r}>"


def _identity(path: str) -> Optional[tuple[int, int, int]]:
    """(device, inode, size) of the file at *path*; ``None`` when the path
    names no file or cannot be examined."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino, st.st_size


def _failure(exc: BaseException, key: object = "") -> BaseException:
    """The exception to raise for *exc* from the native reader; a rejected key
    becomes ``TypeError`` (or the ``UnicodeEncodeError`` of a lone surrogate)."""
    if isinstance(exc, ValueError) and str(exc) == "key must be str or bytes":
        if isinstance(key, str):
            try:
                key.encode("utf-8")
            except UnicodeEncodeError as encode_error:
                return encode_error
        return TypeError(f"a key must be str or bytes, not {type(key).__name__}")
    return translate(exc)
