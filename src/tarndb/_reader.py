"""``TarnReader``: a read-only mapping over one store file."""

from __future__ import annotations

import os
from collections.abc import ItemsView, Mapping, ValuesView
from typing import Any, Iterator, Optional, Tuple, TypeVar

from tarndb import _compression
from tarndb._codec import decoder_for
from tarndb._errors import TarnCorruptError
from tarndb._ordered import Ordered, keys_as_bytes
from tarndb._store import Reader
from tarndb._types import ClosingContext, StoreStats, StrPath, fspath_str

V = TypeVar("V")

# Opening is retried when the path is replaced while it is being opened.
_OPEN_ATTEMPTS = 5


class _StoreMapping(Ordered, Mapping[str, V]):
    """The Mapping side shared by the decoding reader and its raw view.

    The native base class answers ``[]``, ``get``, ``in``, ``len`` and
    iteration itself; this class adds the views, which scan the store in
    one pass instead of looking every key up again.
    """

    __slots__ = ()

    def items(self) -> ItemsView[str, V]:
        """A view of ``(key, value)`` pairs in key order; each iteration reads
        the store front to back, one pair at a time."""
        return ItemsScan(self)

    def values(self) -> ValuesView[V]:
        """A view of the values in key order, read like ``items()``."""
        return ValuesScan(self)


class ItemsScan(ItemsView):  # type: ignore[type-arg]
    """``items()`` of a mapping whose native base scans its pairs in one pass."""

    __slots__ = ()

    def __iter__(self) -> Iterator[Tuple[str, Any]]:
        return self._mapping._items()  # type: ignore[no-any-return]


class ValuesScan(ValuesView):  # type: ignore[type-arg]
    """``values()`` of a mapping whose native base scans its values in one pass."""

    __slots__ = ()

    def __iter__(self) -> Iterator[Any]:
        return self._mapping._values()  # type: ignore[no-any-return]


class TarnReader(ClosingContext, Reader, _StoreMapping[Any]):
    """A store file opened read-only, as a ``Mapping`` from keys to values.

    ``TarnReader(path, verify=True, populate=False)`` maps the file into
    memory; with *verify* it first checks the whole-file checksum
    (``TarnCorruptError`` on damage), a pass over the whole file. With
    *populate* it reads the whole file into the page cache at once, for a
    warm start. Values are decoded from MessagePack on each access;
    ``reader.raw`` gives the stored bytes instead.

    Opening a file with a hash index (what ``TarnWriter`` writes by
    default) takes constant time and almost no memory of the process's
    own: lookups and scans read the index where it lies in the mapping, and
    every process that opens the file shares its pages. A file without one
    is read once at open to build a table of about 10.5 bytes per key.

    The Mapping protocol: ``r[key]`` (``KeyError`` when absent), ``get``,
    ``in``, ``len``, iteration over the keys in sorted order, and the views
    ``keys()``, ``values()``, ``items()``. Keys are ``str`` or bytes-like in
    every call; anything else is a ``TypeError``. Plus ``get_many(keys)``,
    ``prefix(p)``, ``range(start, stop, reverse=False)``, ``first()``,
    ``last()``, ``reversed(r)``, ``objects()``, ``verify()``, ``stats()``,
    ``is_stale()`` and ``reopen()``. Iteration and scans are lazy: they read
    the store as they go.

    Scans give keys as ``str`` (*keys_as* ``"str"``, the default), each run
    of bytes that is not UTF-8 replaced by U+FFFD, so that such a key's text
    does not find it again; with *keys_as* ``"bytes"`` they give every key's
    bytes, which always do.

    The file is never changed; a reader keeps seeing the file it opened when
    a new build is renamed over its path (``is_stale()`` tells, ``reopen()``
    follows). ``close()``, or leaving a ``with`` block, drops the mapping;
    any later use, also of iterators and views made before, raises
    ``ValueError``. A reader may be shared by threads.

    Replace store files by rename only. A file rewritten or cut short in
    place while a reader has it open is noticed: the reader's calls raise
    ``TarnCorruptError`` instead of answering from the changed file.
    """

    __slots__ = ("_path", "_verify", "_identity", "_value_type", "_codec", "_keys_as")

    def __new__(
        cls, path: StrPath, verify: bool = True, populate: bool = False, *, value_type: Any = None,
        keys_as: str = "str", _need_codec: bool = True,
    ) -> TarnReader:
        # The native base maps the file as it is made. Stat around the open,
        # so that the recorded identity is the file that was mapped even when
        # a new build is renamed over the path meanwhile.
        text = fspath_str(path)
        before = file_identity(text)
        for _ in range(_OPEN_ATTEMPTS):
            self = super().__new__(cls, text, bool(verify), decoder_for(value_type), bool(populate))
            after = file_identity(text)
            if after == before:
                break
            before = after
        self._identity = after
        return self

    def __init__(
        self, path: StrPath, verify: bool = True, populate: bool = False, *, value_type: Any = None,
        keys_as: str = "str", _need_codec: bool = True,
    ) -> None:
        # _need_codec=False (the command line): a store whose codec's package
        # is missing opens anyway, and reading a value raises TarnValueError
        # whose cause is that ImportError.
        self._path = fspath_str(path)
        self._verify = bool(verify)
        self._value_type = value_type
        self._keys_as = keys_as
        self._set_keys_as_bytes(keys_as_bytes(keys_as))
        self._codec = _compression.read_codec(self)
        if self._codec is not None:
            name, dictionary, raw_bytes, _ = self._codec
            try:
                decode = _compression.value_decoder(name, dictionary, decoder_for(value_type),
                                                    raw_bytes)
            except ImportError as exc:
                if _need_codec:
                    raise
                decode = _compression.missing_codec_decoder(exc)
            self._set_decode(decode)

    def __reduce__(self) -> Any:
        # Another process reopens the path: a mapping cannot be sent.
        return _reopen, (type(self), self._path, self._verify, self._value_type, self._keys_as)

    @property
    def path(self) -> str:
        """The path the reader was opened with."""
        return self._path

    @property
    def raw(self) -> RawView:
        """The same store with values as the stored bytes (``Mapping[str, bytes]``)."""
        view = self._view(RawView)
        view._owner = self
        return view

    def stats(self) -> StoreStats:
        """A new dict of the file's figures: path, version, num_keys,
        num_objects (the user's), index_offset, data_offset, file_size_kb,
        file_crc32 (as stored, "0x…"), hash_index, private_bytes,
        compression (``None``, or the codec, its dictionary's size and the
        values' compression ratio) and file_size (bytes, of the file as
        mapped)."""
        stats: StoreStats = super().stats()
        stats["compression"] = None
        if self._codec is not None:
            name, dictionary, raw, stored = self._codec
            stats["compression"] = {"codec": name, "dictionary_bytes": len(dictionary),
                                    "ratio": raw / stored if stored else 1.0}
        return stats

    def verify(self) -> bool:
        """Check the whole file: its checksums and structure, its hash index,
        and, in a compressed store, that no value's frame claims more than
        the store's values hold (which would make reading it allocate that
        much). True, or TarnCorruptError naming the fault."""
        super().verify()
        if self._codec is not None:
            raw_bytes = self._codec[2]
            for key, data in self.raw.items():
                try:
                    _compression.check_frame(data, raw_bytes)
                except ValueError as exc:
                    raise TarnCorruptError(f"the value of key {key!r}: {exc}") from None
        return True

    def is_stale(self) -> bool:
        """Whether the path now names another file than the one this reader
        mapped: device, inode, size, or modification or change time (in
        nanoseconds) differ, or the path is gone (or cannot be examined).
        Costs one ``os.stat``."""
        current = file_identity(self._path)
        return current is None or current != self._identity

    def reopen(self) -> TarnReader:
        """A new reader of the file the path names now, opened with the same
        *verify* setting. This reader stays open and unchanged."""
        return type(self)(self._path, self._verify, value_type=self._value_type,
                          keys_as=self._keys_as)


    def __repr__(self) -> str:
        if self.closed:
            return f"<closed TarnReader {self._path!r}>"
        stats = self.stats()
        return f"TarnReader({self._path!r}, keys={stats['num_keys']}, objects={stats['num_objects']})"


class RawView(Reader, _StoreMapping[bytes]):
    """``reader.raw``: the reader's keys mapped to the stored, undecoded bytes.

    Same methods as the reader (``[]``, ``get``, ``get_many``, ``in``,
    ``len``, iteration, ``items``, ``values``, ``prefix``, ``objects``), with
    ``bytes`` values. It reads the reader's file: closing the reader closes
    the view.
    """

    __slots__ = ("_owner",)

    def __new__(cls, *args: Any, **kwargs: Any) -> RawView:
        raise TypeError("a raw view is made by TarnReader.raw")

    def __repr__(self) -> str:
        return f"<raw view of {self._owner!r}>"


def _reopen(cls: Any, path: str, verify: bool, value_type: Any, keys_as: str = "str") -> TarnReader:
    return cls(path, verify, value_type=value_type, keys_as=keys_as)  # type: ignore[no-any-return]


def file_identity(path: str) -> Optional[Tuple[int, ...]]:
    """Device, inode, size and modification and change times (ns) of the
    file at *path*; ``None`` when the path names no file or cannot be
    examined. A file rewritten in place keeps its inode but not its times."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns
