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
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from tarndb import _compression
from tarndb._codec import encode
from tarndb._commit import shard_figures
from tarndb._manifest import shard_file_name
from tarndb._reader import TarnReader
from tarndb._store import _unpack_pairs
from tarndb._writer import TarnWriter

DeleteSpec = Union[None, str, Callable[[Any], Any]]
#: A deletion between the split and the build.
DELETED = b""


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


def frame_records(frame: Any, key: str) -> Tuple[List[Any], str]:
    """A dataframe partition as records (dicts), integer keys as text."""
    records = frame.to_dict("records")
    if frame[key].dtype.kind in "iu":
        for r in records:
            r[key] = str(r[key])
    return records, key
