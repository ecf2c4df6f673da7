"""Splitting a partition by shard: each record's keys and its value,
encoded as MessagePack, routed to the shard ``shard_of(key, n)``.

The key rule of sharded builds: a key is ``str`` or bytes-like, as for
``TarnWriter``, or a list of them; an ``int`` (not ``bool``) is stored as
its decimal text with ``int_keys="text"`` (the default, as ``tarndb build``
takes integer keys from JSON and CSV) and refused with ``TypeError``, as
``TarnWriter`` refuses it, with ``int_keys="refuse"``. A value that cannot
be stored names its row and column (dataframes) or its record (bags).
"""

from __future__ import annotations

import os
import uuid
from typing import Any, Callable, Iterable, List, Optional, Sequence, Tuple, Union

from tarndb._codec import encode
from tarndb._store import _group_by_shard, _pack_by_shard

KeySpec = Union[None, str, Callable[[Any], Any]]
ValueSpec = Union[None, str, Sequence[str], Callable[[Any], Any]]
INT_KEYS = ("text", "refuse")


class Piece:
    """What a split hands to one shard's build: the file holding its
    single-key records as packed (key, value) pairs (None when it has
    none), and (keys, value) for records with several keys in that shard.

    The pairs go through a file in the version directory rather than
    through Dask: moved by Dask, each worker held every piece of its
    partitions until the builds ran, and the pieces crossed a socket
    between worker processes; a file is written once, at the speed of
    the page cache, and read once by the build.
    """

    __slots__ = ("file", "multi")

    def __init__(self, file: Optional[str], multi: List[Tuple[List[Any], bytes]]) -> None:
        self.file = file
        self.multi = multi

    def __reduce__(self) -> Tuple[Any, ...]:
        return Piece, (self.file, self.multi)

    def packed(self) -> bytes:
        if self.file is None:
            return b""
        with open(self.file, "rb") as f:
            return f.read()


def norm_key(key: Any, int_keys: str = "text") -> Union[str, bytes]:
    """*key* as the writer takes it, by the key rule above."""
    if isinstance(key, (str, bytes)):
        return key
    if isinstance(key, int) and not isinstance(key, bool):
        if int_keys == "text":
            return str(key)
        raise TypeError(f"a key must be str or bytes, not int ({key}); int_keys='text' stores "
                        "integers as their decimal text")
    if isinstance(key, (bytearray, memoryview)):
        return bytes(key)
    raise TypeError(f"a key must be str or bytes, not {type(key).__name__}")


def _pieces(keys: List[Any], values: List[bytes], multi: List[Tuple[List[Any], bytes]],
            n: int, spool: str) -> Tuple[Piece, ...]:
    """Route single keys (with their values) and multi-key records by shard,
    writing each shard's packed pairs to a file of its own in *spool*."""
    multis: List[List[Tuple[List[Any], bytes]]] = [[] for _ in range(n)]
    for record_keys, data in multi:
        for s, (routed, _) in enumerate(_group_by_shard(record_keys, n)):
            if len(routed) == 1:  # routes on its own to the same shard
                keys.append(routed[0])
                values.append(data)
            elif routed:
                multis[s].append((routed, data))
    name = os.path.join(spool, uuid.uuid4().hex)  # a retried task writes files of its own
    pieces = []
    for s, (packed, m) in enumerate(zip(_pack_by_shard(keys, values, n), multis)):
        file = None
        if packed:
            file = f"{name}.{s}"
            with open(file, "xb") as f:
                f.write(packed)
        pieces.append(Piece(file, m))
    return tuple(pieces)


def _route(record_keys: List[Any], data: List[bytes], n: int, spool: str,
           int_keys: str) -> Tuple[Piece, ...]:
    """Pieces of records given as their keys (a key, or a list of keys) and
    encoded values."""
    if set(map(type, record_keys)) <= {str, bytes}:
        return _pieces(record_keys, data, [], n, spool)
    keys: List[Any] = []
    values: List[bytes] = []
    multi: List[Tuple[List[Any], bytes]] = []
    for given, d in zip(record_keys, data):
        if isinstance(given, (list, tuple)):
            unique = list(dict.fromkeys(norm_key(k, int_keys) for k in given))
            if len(unique) == 1:
                keys.append(unique[0])
                values.append(d)
            elif unique:
                multi.append((unique, d))
            # a record with an empty list of keys is stored nowhere, as in a writer
        else:
            keys.append(norm_key(given, int_keys))
            values.append(d)
    return _pieces(keys, values, multi, n, spool)


def split_records(records: Iterable[Any], n: int, key: KeySpec, value: ValueSpec, spool: str,
                  int_keys: str = "text") -> Tuple[Piece, ...]:
    """One bag partition's records, encoded and routed by shard."""
    records = records if isinstance(records, list) else list(records)
    # Field by field over the whole partition, each a loop in C or a
    # comprehension: a Python call per record cost about as much as the
    # encoding itself.
    record_keys = [r[key] for r in records] if isinstance(key, str) else list(map(key, records))
    if value is None:
        data = list(map(encode, records))
    elif callable(value):
        data = list(map(encode, map(value, records)))
    elif isinstance(value, str):
        data = [encode(r[value]) for r in records]
    else:
        fields = list(value)
        data = [encode({f: r[f] for f in fields}) for r in records]
    return _route(record_keys, data, n, spool, int_keys)


def split_frame(frame: Any, n: int, key: Optional[str], value: ValueSpec, spool: str,
                int_keys: str = "text") -> Tuple[Piece, ...]:
    """One dataframe partition (a pandas DataFrame), encoded and routed by
    shard. *key* None: the index is the key (and a field of the whole row)."""
    labels = frame.index
    column = labels if key is None else frame[key]
    record_keys: List[Any] = column.tolist()
    if int_keys == "text" and column.dtype.kind in "iu":
        record_keys = list(map(str, record_keys))
    if key is None:
        frame = frame.reset_index()
    if value is None:
        rows = frame.to_dict("records")
    elif isinstance(value, str):
        rows = frame[value].tolist()
    else:
        rows = frame[list(value)].to_dict("records")
    try:
        data = list(map(encode, rows))
    except (TypeError, ValueError, OverflowError) as exc:
        raise _unstorable(labels, rows, value, exc) from None
    return _route(record_keys, data, n, spool, int_keys)


def _unstorable(labels: Any, rows: List[Any], value: ValueSpec, exc: Exception) -> Exception:
    """*exc*, raised encoding one of *rows*, with its row (index label) and column named."""
    for label, row in zip(labels, rows):
        cells = row.items() if isinstance(row, dict) else [(value, row)]
        for column, cell in cells:
            try:
                encode(cell)
            except (TypeError, ValueError, OverflowError) as found:
                return type(found)(f"row {label!r}, column {column!r}: {found}")
    return exc
