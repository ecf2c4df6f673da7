"""Checks of a sharded store's shards against its manifest: the figures
each shard must have, and that every key lies in the shard it belongs to.
Local and remote sharded readers share them."""

from __future__ import annotations

import itertools
from typing import Any, Dict, Union

from tarndb._errors import TarnCorruptError
from tarndb._manifest import ShardInfo
from tarndb._reader import RawView
from tarndb._store import _group_by_shard


def check_figures(stats: Dict[str, Any], info: ShardInfo, where: str) -> None:
    """TarnCorruptError naming the shard at *where* when its figures (from
    its ``stats()``) differ from its manifest entry."""
    found = {
        "size": stats["file_size"],
        "crc32": stats["file_crc32"],
        "keys": stats["num_keys"],
        "objects": stats["num_objects"],
    }
    for name, value in found.items():
        if value != info[name]:
            raise TarnCorruptError(f"{where}: {name} {value} differs from the manifest's "
                                   f"{info[name]} (the shard was altered or replaced)")


def check_routing(reader: Any, shard: int, n: int, where: str = "") -> None:
    """TarnCorruptError naming the shard (*where*, else the reader's path) when
    one of its keys belongs to another, by the key's bytes. *reader* is a
    ``TarnReader``."""
    keys = reader._view(RawView)  # scans of its own, keys as bytes
    keys._set_keys_as_bytes(True)
    batch_size = 1 << 16
    scan = iter(keys)
    while True:
        batch = list(itertools.islice(scan, batch_size))
        if not batch:
            return
        for j, (routed, _) in enumerate(_group_by_shard(batch, n)):
            if j != shard and routed:
                raise _misrouted(where or reader.path, routed[0], j, shard)


def _misrouted(where: str, key: Union[str, bytes], home: int, shard: int) -> TarnCorruptError:
    if isinstance(key, bytes):
        try:
            key = key.decode()
        except UnicodeDecodeError:
            pass  # shown as its bytes
    return TarnCorruptError(f"{where}: key {key!r} belongs to shard {home}, not {shard}")
