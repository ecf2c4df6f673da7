"""Sharded stores, gathered for the code that builds them: the manifest
(``_manifest``), versions and the commit (``_commit``), and the reader
(``_sharded_reader``). ``tarndb.dask`` builds through these names, as the
benchmarks and tests do."""

from tarndb._commit import KEEP_VERSIONS, abandon, commit, new_version, shard_figures
from tarndb._manifest import (HASH_NAME, LAYOUT, MANIFEST, make_manifest, parse_manifest,
                              read_manifest, shard_file_name)
from tarndb._sharded_reader import ShardedRawView, ShardedReader, is_sharded, open_store
from tarndb._store import shard_of

__all__ = ["HASH_NAME", "KEEP_VERSIONS", "LAYOUT", "MANIFEST", "ShardedRawView", "ShardedReader",
           "abandon", "commit", "is_sharded", "make_manifest", "new_version", "open_store",
           "parse_manifest", "read_manifest", "shard_figures", "shard_file_name", "shard_of"]
