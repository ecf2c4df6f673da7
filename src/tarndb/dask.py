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
   only then. With ``compute=False`` this step is the last task of the
   graph ``to_tarn`` returns.

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
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from tarndb._commit import _remove_old_versions, commit, held_version, new_version, shard_figures
from tarndb._dask_split import (INT_KEYS, KeySpec, Piece, ValueSpec, split_frame,
                                split_records)
from tarndb._delta_build import DeleteSpec, update_tarn
from tarndb._errors import TarnDuplicateKeyError
from tarndb._local_path import local_path, removed_if_failed
from tarndb._manifest import shard_file_name
from tarndb._types import StrPath
from tarndb._writer import TarnWriter

SPOOL = ".pieces"  # in the version directory, removed before the commit


def to_tarn(
    collection: Any,
    path: StrPath,
    *,
    shards: int,
    key: KeySpec = None,
    value: ValueSpec = None,
    writer_options: Optional[Dict[str, Any]] = None,
    scheduler: Any = None,
    compute: bool = True,
    compression: Optional[str] = None,
    storage_options: Optional[Mapping[str, Any]] = None,
    overwrite: bool = False,
    int_keys: str = "text",
    mode: str = "replace",
    delete: DeleteSpec = None,
) -> Any:
    """Build a sharded store at *path* from a ``dask.bag.Bag`` of records or
    a ``dask.dataframe.DataFrame``, and commit it as the live version.
    Returns the new manifest (with *compute* false: a ``dask.delayed``
    object that builds and commits the store when computed, and gives the
    manifest).

    *path*: a local directory (``~`` expanded, a ``file://`` URL taken as its
    path); a URL of another file system is refused (``ValueError``), and so
    are *storage_options*, until remote writes exist.
    *shards*: the shard count *n*. *key*: a field (bag records that are
    mappings) or column name, or a callable taking the record (bags) and
    returning its key; for a dataframe ``None`` (the default) takes its
    index as the key, which must then be named. A key is ``str`` or bytes,
    or a list of keys that all name the value; an ``int`` is stored as its
    decimal text with *int_keys* ``"text"`` (the default) and refused, as
    ``TarnWriter`` refuses it, with ``"refuse"``.
    *value*: the whole record (``None``; a dataframe row as a dict of its
    columns, with the named index among them when it is the key), a field or
    column name, a list of column names (a dict of them), or a callable
    taking the record (bags). Values of pandas and numpy are stored as
    ``tarndb._pandas_values`` says; a value that cannot be stored names its
    row and column. Keys must be unique across the records: a key given
    twice fails the build.
    *writer_options*: keyword arguments for each shard's ``TarnWriter``;
    *compression*: ``"zstd"``, the same as ``writer_options={"compression": "zstd"}``.
    *overwrite*: remove every earlier version once this one is committed
    (readers that have one open keep reading it), instead of keeping the
    one it replaces.
    *scheduler*: as for ``dask.compute``; by default an active
    ``distributed.Client``, else the collection's own default.
    *mode* ``"update"`` commits a delta version (computed at once): a layer
    on every shard the records reach, the store's shard count kept, and a
    record whose *delete* marker is true (a field or column of that name,
    or a callable taking the record) deletes its keys (``_delta_build``).
    """
    import dask

    n = _shard_count(shards)
    root = local_path(path, storage_options)
    options = _writer_options(writer_options, compression)
    if int_keys not in INT_KEYS:
        raise ValueError(f"int_keys must be 'text' or 'refuse', not {int_keys!r}")
    split = _splitter(collection, key, value)
    if scheduler is None:
        scheduler = _default_scheduler(collection)
    if _updating(mode, compute, overwrite):
        return update_tarn(collection, split is split_records, n, key, value, int_keys, root,
                           options, delete, scheduler)
    if not compute:
        # Made now, held by nothing: a build that fails or is never computed
        # leaves it to the next commit, which removes it.
        version = new_version(root)
        figures = _graph(collection, split, n, key, value, int_keys, root, version, options)
        return dask.delayed(_finish, pure=False)(root, version, figures, overwrite)
    with removed_if_failed(root), held_version(root) as version:
        figures = _graph(collection, split, n, key, value, int_keys, root, version, options)
        return _finish(root, version, list(dask.compute(*figures, scheduler=scheduler)),
                       overwrite)


def _graph(collection: Any, split: Callable[..., Tuple[Piece, ...]], n: int, key: KeySpec,
           value: ValueSpec, int_keys: str, root: str, version: str,
           options: Dict[str, Any]) -> List[Any]:
    """The delayed builds of the *n* shards into *version*: their figures."""
    import dask

    token = uuid.uuid4().hex[:12]
    spool = os.path.join(root, version, SPOOL)
    os.mkdir(spool)
    if split is split_records:
        # Split inside the bag's own graph, where it fuses with the tasks
        # that make each partition: a partition's records are split as
        # they are made and never held as a result of their own.
        split_bag = collection.map_partitions(split_records, n, key, value, spool, int_keys,
                                              token=f"tarn-split-{token}")
        splits = [dask.delayed(part, nout=n) for part in split_bag.to_delayed()]
    else:
        splits = [
            dask.delayed(split, nout=n, pure=False)(
                part, n, key, value, spool, int_keys, dask_key_name=f"tarn-split-{token}-{p}")
            for p, part in enumerate(collection.to_delayed())
        ]
    return [
        dask.delayed(_build_shard, pure=False)(
            root, version, s, n, [pieces[s] for pieces in splits], options,
            dask_key_name=f"tarn-build-{token}-{s}")
        for s in range(n)
    ]


def _finish(root: str, version: str, figures: List[Dict[str, Any]],
            overwrite: bool) -> Dict[str, Any]:
    """Remove the pieces and commit *version*; with *overwrite*, remove
    every other version that no running build holds."""
    shutil.rmtree(os.path.join(root, version, SPOOL))
    manifest = commit(root, version, list(figures))
    if overwrite:
        _remove_old_versions(root, keep={version})
    return manifest


def _updating(mode: str, compute: bool, overwrite: bool) -> bool:
    if mode not in ("replace", "update"):
        raise ValueError(f"mode must be 'replace' or 'update', not {mode!r}")
    if mode == "update" and (not compute or overwrite):
        raise ValueError("mode='update' takes neither compute=False nor overwrite=True")
    return mode == "update"


def _writer_options(given: Optional[Dict[str, Any]], compression: Optional[str]) -> Dict[str, Any]:
    options = dict(given or {})
    if compression is not None:
        if options.get("compression", compression) != compression:
            raise ValueError(f"compression={compression!r} and writer_options' compression="
                             f"{options['compression']!r} disagree")
        options["compression"] = compression
    return options


def _splitter(collection: Any, key: KeySpec, value: ValueSpec) -> Callable[..., Tuple[Piece, ...]]:
    """The function that splits a partition of *collection*, once *key* and
    *value* are checked against it."""
    kind = _kind(collection)
    if kind == "bag":
        if key is None:
            raise TypeError("to_tarn() needs key= for a bag: a field name or a callable")
        return split_records
    if callable(key) or callable(value):
        raise TypeError("to_tarn() takes column names for a dataframe's key and value")
    columns = list(collection.columns)
    if key is None:
        name = collection.index.name
        if name is None:
            raise ValueError("key=None takes the dataframe's index as the key, and it has no "
                             "name: name it (df.index.rename('id')), or pass key=COLUMN")
        columns.append(name)
    wanted = ([] if key is None else [key]) + (
        [] if value is None else [value] if isinstance(value, str) else list(value))
    missing = [c for c in wanted if c not in columns]
    if missing:
        raise KeyError(f"no column {missing[0]!r} (columns: {', '.join(map(str, columns))})")
    return split_frame


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
