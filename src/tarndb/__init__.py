"""tarndb: an immutable, single-file key-to-object store.

Build a store with :class:`TarnWriter`, read it with :class:`TarnReader` (a
read-only ``Mapping``). A sharded store (a directory of shard files and a
manifest, built with ``tarndb.dask.to_tarn``) is read as one mapping by
:class:`ShardedReader`; a stack of a base store and deltas (files with
tombstones) by :class:`LayeredReader`. :func:`open` opens each kind, and
opens a URL (``https://``, ``s3://``, any fsspec protocol) as a
:class:`RemoteReader` or :class:`RemoteShardedReader`, which fetch only the
ranges a call needs. Values are MessagePack-encoded; keys are ``str`` or
``bytes``. The readers build on the native module ``tarndb._store``.
"""

import tarndb._guard  # noqa: F401  (keeps the truncation guard in front of faulthandler)
from tarndb._errors import (
    TarnCorruptError,
    TarnDuplicateKeyError,
    TarnError,
    TarnIOError,
    TarnStaleError,
    TarnValueError,
    TarnVersionError,
)
from tarndb._reader import RawView, TarnReader
from tarndb._compact import compact
from tarndb._layered import LayeredRawView, LayeredReader
from tarndb._layered_dir import LayeredDirReader, open
from tarndb._remote_reader import RemoteRawView, RemoteReader
from tarndb._remote_sharded import RemoteShardedRawView, RemoteShardedReader
from tarndb._sharded_reader import ShardedRawView, ShardedReader
from tarndb._store import __version__, shard_of
from tarndb._types import Key, StoreStats, StrPath
from tarndb._writer import TarnWriter

__all__ = [
    "Key",
    "LayeredDirReader",
    "LayeredRawView",
    "LayeredReader",
    "RawView",
    "RemoteRawView",
    "RemoteReader",
    "RemoteShardedRawView",
    "RemoteShardedReader",
    "ShardedRawView",
    "ShardedReader",
    "StoreStats",
    "StrPath",
    "TarnCorruptError",
    "TarnDuplicateKeyError",
    "TarnError",
    "TarnIOError",
    "TarnStaleError",
    "TarnReader",
    "TarnValueError",
    "TarnVersionError",
    "TarnWriter",
    "__version__",
    "compact",
    "open",
    "shard_of",
]
