"""Building sharded stores with Dask: ``to_tarn(collection, path, shards=n, key=...)``.

Needs ``dask`` (``pip install "tarndb[dask]"``); a ``dask.dataframe`` also
needs pandas. How a build runs:

1. every partition of the collection is split by shard on a worker: each
   record's keys and its value, encoded as MessagePack, go to the shard
   ``shard_of(key, n)`` (a record whose keys fall in several shards is
   stored in each of them), one file per shard and partition in
   ``path/v-NNNNNN/.pieces/`` (so a build needs free space for about
   twice the store's size while it runs);
2. shard ``s`` is built by one task from the ``s``-th piece of every
   partition, with the package's writer, straight into the target
   directory ``path/v-NNNNNN/part-s-of-n.trnd``; the task returns the
   shard's figures (size, counts, checksum);
3. the client removes the pieces and commits the manifest
   (``tarndb._commit.commit``): the new version goes live at once, and
   only then.

A failed task or a lost worker that the scheduler gives up on makes
``to_tarn`` raise, removes the unfinished version directory, and leaves the
previous version live. The graph runs on whatever scheduler Dask would use
for the collection: a ``distributed.Client`` when one is active (its
workers must all see ``path``, e.g. on a shared file system), else the
collection's default local scheduler, or the one named by *scheduler*.
"""

from __future__ import annotations

import os
import shutil
import uuid
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union


from tarndb._codec import encode
from tarndb._commit import commit, held_version, shard_figures
from tarndb._delta_build import DeleteSpec, build_delta_shard, frame_records, update_values
from tarndb._layered_dir import commit_delta
from tarndb._manifest_layers import read_any_manifest, shard_layers
from tarndb._errors import TarnDuplicateKeyError
from tarndb._manifest import shard_file_name
from tarndb._store import _group_by_shard, _pack_by_shard
from tarndb._types import StrPath, fspath_str
from tarndb._writer import TarnWriter


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


SPOOL = ".pieces"  # in the version directory, removed before the commit

KeySpec = Union[str, Callable[[Any], Any]]
ValueSpec = Union[None, str, Sequence[str], Callable[[Any], Any]]


def to_tarn(
    collection: Any,
    path: StrPath,
    *,
    shards: int,
    key: KeySpec,
    value: ValueSpec = None,
    writer_options: Optional[Dict[str, Any]] = None,
    scheduler: Any = None,
    mode: str = "replace",
    delete: DeleteSpec = None,
) -> Dict[str, Any]:
    """Build a sharded store at *path* from a ``dask.bag.Bag`` of records or
    a ``dask.dataframe.DataFrame``, and commit it as the live version.
    Returns the new manifest.

    *shards*: the shard count *n*. *key*: a field (bag records that are
    mappings) or column name, or a callable taking the record (bags) and
    returning its key; a key is ``str`` or ``bytes`` (an ``int`` is stored as
    its decimal text), or a list of keys that all name the value.
    *value*: the whole record (``None``; a dataframe row as a dict of its
    columns), a field or column name, a list of column names (a dict of
    them), or a callable taking the record (bags). Keys must be unique
    across the records: a key given twice fails the build.
    *writer_options*: keyword arguments for each shard's ``TarnWriter``.
    *scheduler*: as for ``dask.compute``; by default an active
    ``distributed.Client``, else the collection's own default.

    *mode* ``"update"`` commits a delta version instead: the records go to
    a layer added on top of every shard they reach (the live store's shard
    count is kept; *shards* must equal it), and a record whose *delete*
    marker is true (the field or column of that name, or a callable taking
    the record) deletes its keys. Within a delta the last record of a key
    wins. Each delta layer gets the value codec of its shard's layers.
    """
    import dask

    n = _shard_count(shards)
    root = fspath_str(path)
    live = _live_for_update(root, n, mode)
    update = live is not None
    kind = _kind(collection)
    split, extra = _splitter(collection, kind, key, value, update, delete)
    token = uuid.uuid4().hex[:12]
    with held_version(root) as version:
        spool = os.path.join(root, version, SPOOL)
        os.mkdir(spool)
        if kind == "bag":
            # Split inside the bag's own graph, where it fuses with the tasks
            # that make each partition: a partition's records are split as
            # they are made and never held as a result of their own.
            split_bag = collection.map_partitions(split, n, key, value, spool, *extra,
                                                  token=f"tarn-split-{token}")
            splits = [dask.delayed(part, nout=n) for part in split_bag.to_delayed()]
        else:
            splits = [
                dask.delayed(split, nout=n, pure=False)(
                    part, n, key, value, spool, *extra, dask_key_name=f"tarn-split-{token}-{p}")
                for p, part in enumerate(collection.to_delayed())
            ]
        build, bases = _build_shard, [()] * n
        if live is not None:
            build, bases = build_delta_shard, _base_layers(root, live)
        builds = [
            dask.delayed(build, pure=False)(
                root, version, s, n, [pieces[s] for pieces in splits], writer_options, *bases[s],
                dask_key_name=f"tarn-build-{token}-{s}")
            for s in range(n)
        ]
        if scheduler is None:
            scheduler = _default_scheduler(collection)
        figures = dask.compute(*builds, scheduler=scheduler)
        shutil.rmtree(spool)
        if update:
            return commit_delta(root, version, n,
                                {s: f for s, f in enumerate(figures) if f is not None})
        return commit(root, version, list(figures))


def _splitter(collection: Any, kind: str, key: KeySpec, value: ValueSpec, update: bool,
              delete: DeleteSpec) -> Tuple[Callable[..., Tuple[Piece, ...]], Tuple[Any, ...]]:
    """The function that splits a partition by shard, and its arguments
    after (part, n, key, value, spool)."""
    if kind == "dataframe":
        if callable(key) or callable(value):
            raise TypeError("to_tarn() takes column names for a dataframe's key and value")
        columns = list(collection.columns)
        wanted = [key] + ([] if value is None else [value] if isinstance(value, str) else list(value))
        missing = [c for c in wanted if c not in columns]
        if missing:
            raise KeyError(f"no column {missing[0]!r} (columns: {', '.join(map(str, columns))})")
    if update:
        return _split_update, (delete,)
    return (_split_frame if kind == "dataframe" else _split_records), ()


def _live_for_update(root: str, n: int, mode: str) -> Optional[Dict[str, Any]]:
    """The live manifest an update adds to (None for a build that replaces
    the store)."""
    if mode not in ("replace", "update"):
        raise ValueError(f"mode must be 'replace' or 'update', not {mode!r}")
    if mode == "replace":
        return None
    live = read_any_manifest(root)
    if live["n"] != n:
        raise ValueError(f"the store has {live['n']} shards; an update keeps them (shards={n})")
    return live


def _base_layers(root: str, live: Dict[str, Any]) -> List[Tuple[str]]:
    """Each shard's oldest layer, whose value codec its delta takes."""
    n = live["n"]
    return [(os.path.join(root, layers[-1]["version"], shard_file_name(s, n)),)
            for s, layers in enumerate(shard_layers(live))]


def _shard_count(shards: Any) -> int:
    if isinstance(shards, bool) or not isinstance(shards, int):
        raise TypeError(f"shards must be an int, not {type(shards).__name__}")
    if not 1 <= shards <= 99999:
        raise ValueError(f"shards must be 1 to 99999, not {shards}")
    return shards


def _kind(collection: Any) -> str:
    module = type(collection).__module__
    if module.startswith("dask.bag"):
        return "bag"
    if module.startswith(("dask.dataframe", "dask_expr")) and hasattr(collection, "columns"):
        return "dataframe"
    raise TypeError(f"to_tarn() takes a dask Bag or DataFrame, not {type(collection).__name__}")


def _default_scheduler(collection: Any) -> Any:
    """An active distributed client, the configured scheduler, or the
    collection's default (processes for a bag, threads for a dataframe)."""
    import dask

    if dask.config.get("scheduler", None) is not None:
        return None
    try:
        from distributed import default_client

        default_client()
        return None  # dask.compute picks the client
    except (ImportError, ValueError):
        pass
    return getattr(collection, "__dask_scheduler__", None)


def _norm_key(key: Any) -> Union[str, bytes]:
    if isinstance(key, (str, bytes)):
        return key
    if isinstance(key, int) and not isinstance(key, bool):
        return str(key)
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


def _add_record(record_keys: Any, data: bytes, keys: List[Any], values: List[bytes],
                multi: List[Tuple[List[Any], bytes]]) -> None:
    if isinstance(record_keys, (list, tuple)):
        unique = list(dict.fromkeys(_norm_key(k) for k in record_keys))
        if len(unique) == 1:
            keys.append(unique[0])
            values.append(data)
        elif unique:
            multi.append((unique, data))
        # a record with an empty list of keys is stored nowhere, as in a writer
    else:
        keys.append(_norm_key(record_keys))
        values.append(data)


def _split_records(records: Iterable[Any], n: int, key: KeySpec, value: ValueSpec,
                   spool: str) -> Tuple[Piece, ...]:
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
    multi: List[Tuple[List[Any], bytes]] = []
    if set(map(type, record_keys)) <= {str, bytes}:
        return _pieces(record_keys, data, multi, n, spool)
    keys: List[Any] = []
    values: List[bytes] = []
    for k, d in zip(record_keys, data):
        _add_record(k, d, keys, values, multi)
    return _pieces(keys, values, multi, n, spool)


def _split_frame(frame: Any, n: int, key: str, value: ValueSpec, spool: str) -> Tuple[Piece, ...]:
    """One dataframe partition (a pandas DataFrame), encoded and routed by shard."""
    column = frame[key]
    if column.dtype.kind in "iu":
        record_keys: List[Any] = [str(k) for k in column.tolist()]
    else:
        record_keys = column.tolist()
    if value is None:
        data = [encode(row) for row in frame.to_dict("records")]
    elif isinstance(value, str):
        data = [encode(v) for v in frame[value].tolist()]
    else:
        data = [encode(row) for row in frame[list(value)].to_dict("records")]
    keys: List[Any] = []
    values: List[bytes] = []
    multi: List[Tuple[List[Any], bytes]] = []
    if all(isinstance(k, str) for k in record_keys):
        keys, values = record_keys, data
    else:
        for k, d in zip(record_keys, data):
            _add_record(k, d, keys, values, multi)
    return _pieces(keys, values, multi, n, spool)


def _split_update(part: Any, n: int, key: KeySpec, value: ValueSpec, spool: str,
                  delete: DeleteSpec) -> Tuple[Piece, ...]:
    """One partition of an update (bag records or a dataframe), routed by
    shard with deletions marked (``_delta_build``)."""
    if isinstance(part, list) or not hasattr(part, "to_dict"):
        records: List[Any] = part if isinstance(part, list) else list(part)
        record_keys = [r[key] for r in records] if isinstance(key, str) else list(map(key, records))
    else:
        records, column = frame_records(part, key)  # type: ignore[arg-type]
        record_keys = [r[column] for r in records]
    data = update_values(records, value, delete)
    keys: List[Any] = []
    values: List[bytes] = []
    multi: List[Tuple[List[Any], bytes]] = []
    for k, d in zip(record_keys, data):
        _add_record(k, d, keys, values, multi)
    return _pieces(keys, values, multi, n, spool)


def _build_shard(root: str, version: str, shard: int, n: int, pieces: Sequence[Piece],
                 writer_options: Optional[Dict[str, Any]]) -> Dict[str, Any]:
    """Build shard *shard* from its pieces into the version directory and
    return its figures for the manifest."""
    writer = TarnWriter(**dict(writer_options or {}, _unique_keys=True))
    for piece in pieces:
        writer._update_packed(piece.packed())
        for record_keys, data in piece.multi:
            writer.put_many_raw(record_keys, data)
    path = os.path.join(root, version, shard_file_name(shard, n))
    try:
        writer.build(path, quiet=True)
    except TarnDuplicateKeyError as exc:
        raise ValueError(f"duplicate key {_key_text(exc.key)!r}: the records of a sharded "
                         "build must have distinct keys") from None
    return shard_figures(path, shard, n)


def _key_text(key: bytes) -> Union[str, bytes]:
    """The key as text when it is UTF-8, else as its bytes."""
    try:
        return key.decode()
    except UnicodeDecodeError:
        return key


__all__ = ["to_tarn"]
