"""The pieces of a delta version of a directory store: which records of an
update delete their keys, and the build of one shard's delta file.

A record is a deletion when its delete marker says so: the value of the
field (bag records that are mappings, dataframe rows) named by *delete* is
true, or *delete* is a callable that returns true for it. A deleted
record's value is not stored; its keys get tombstones. Between the split
and the build a deletion travels as an empty value, which no MessagePack
encoding is.
"""

from __future__ import annotations

import os
import shutil
import uuid
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from tarndb import _compression
from tarndb._codec import encode
from tarndb._commit import held_version, shard_figures
from tarndb._dask_split import _route
from tarndb._layered_dir import commit_delta
from tarndb._manifest import shard_file_name
from tarndb._manifest_layers import read_any_manifest, shard_layers
from tarndb._reader import TarnReader
from tarndb._store import _unpack_pairs
from tarndb._writer import TarnWriter

DeleteSpec = Union[None, str, Callable[[Any], Any]]
#: A deletion between the split and the build.
DELETED = b""
#: The builder's own files in the version directory, removed before the commit.
SPOOL = ".pieces"


def update_values(records: List[Any], value: Any, delete: DeleteSpec) -> List[bytes]:
    """Each record's stored value, or ``DELETED`` for a record its delete
    marker names."""
    if delete is None:
        flags = [False] * len(records)
    elif callable(delete):
        flags = [bool(delete(r)) for r in records]
    else:
        flags = [bool(r.get(delete)) if isinstance(r, dict) else False for r in records]
    out = []
    for r, deleted in zip(records, flags):
        if deleted:
            out.append(DELETED)
        elif value is None:
            out.append(encode(r))
        elif callable(value):
            out.append(encode(value(r)))
        elif isinstance(value, str):
            out.append(encode(r[value]))
        else:
            out.append(encode({f: r[f] for f in value}))
    return out


def delta_writer_options(writer_options: Optional[Dict[str, Any]],
                         base: Optional[str]) -> Dict[str, Any]:
    """A delta writer's options: the caller's, with the value codec of the
    shard's layers (compressed with its dictionary, or not at all), so that
    the layers can be compacted by copying values as stored."""
    options = dict(writer_options or {})
    codec = None
    if base is not None:
        with TarnReader(base, verify=False) as reader:
            codec = _compression.read_codec(reader)
    options.pop("compression", None)
    options.pop("dictionary", None)
    if codec is not None:
        options["compression"] = codec[0]
        options["dictionary"] = codec[1]
    return options


def build_delta_shard(root: str, version: str, shard: int, n: int, pieces: Sequence[Any],
                      writer_options: Optional[Dict[str, Any]],
                      base: Optional[str]) -> Optional[Dict[str, Any]]:
    """Build the delta file of shard *shard* from its pieces (the last record
    of a key wins) and return its figures for the manifest; None when no
    record reached the shard."""
    writer = TarnWriter(**delta_writer_options(writer_options, base))
    count = 0
    for piece in pieces:
        for key, data in _unpack_pairs(piece.packed()):
            if data == DELETED:
                writer.delete(key)
            else:
                writer.put_raw(key, data)
            count += 1
        for record_keys, data in piece.multi:
            if data == DELETED:
                writer.delete_many(record_keys)
            else:
                writer.put_many_raw(record_keys, data)
            count += 1
    if count == 0:
        return None
    path = os.path.join(root, version, shard_file_name(shard, n))
    writer.build(path, quiet=True)
    return shard_figures(path, shard, n)


def split_update(part: Any, n: int, key: Any, value: Any, spool: str, int_keys: str,
                 delete: DeleteSpec) -> Tuple[Any, ...]:
    """One partition of an update (bag records, or a pandas DataFrame),
    routed by shard with its deletions marked."""
    if hasattr(part, "to_dict") and hasattr(part, "columns"):
        if key is None:
            key = part.index.name
            part = part.reset_index()
        column = part[key]
        records: List[Any] = part.to_dict("records")
        if int_keys == "text" and column.dtype.kind in "iu":
            for r in records:
                r[key] = str(r[key])
    else:
        records = part if isinstance(part, list) else list(part)
    record_keys = [r[key] for r in records] if isinstance(key, str) else list(map(key, records))
    return _route(record_keys, update_values(records, value, delete), n, spool, int_keys)


def update_tarn(collection: Any, split_bag: bool, n: int, key: Any, value: Any, int_keys: str,
                root: str, options: Dict[str, Any], delete: DeleteSpec,
                scheduler: Any) -> Dict[str, Any]:
    """Build and commit a delta version of the directory store at *root*:
    one layer on each shard the records of *collection* reach."""
    import dask

    live = read_any_manifest(root)
    if live["n"] != n:
        raise ValueError(f"the store has {live['n']} shards; an update keeps them (shards={n})")
    bases = [os.path.join(root, layers[-1]["version"], shard_file_name(s, n))
             for s, layers in enumerate(shard_layers(live))]
    token = uuid.uuid4().hex[:12]
    with held_version(root) as version:
        spool = os.path.join(root, version, SPOOL)
        os.mkdir(spool)
        if split_bag:
            parts = collection.map_partitions(split_update, n, key, value, spool, int_keys,
                                              delete, token=f"tarn-delta-split-{token}")
            splits = [dask.delayed(part, nout=n) for part in parts.to_delayed()]
        else:
            splits = [dask.delayed(split_update, nout=n, pure=False)(
                part, n, key, value, spool, int_keys, delete,
                dask_key_name=f"tarn-delta-split-{token}-{p}")
                for p, part in enumerate(collection.to_delayed())]
        builds = [dask.delayed(build_delta_shard, pure=False)(
            root, version, s, n, [pieces[s] for pieces in splits], options, bases[s],
            dask_key_name=f"tarn-delta-build-{token}-{s}") for s in range(n)]
        figures = dask.compute(*builds, scheduler=scheduler)
        shutil.rmtree(spool)
        return commit_delta(root, version, n,
                            {s: f for s, f in enumerate(figures) if f is not None})
