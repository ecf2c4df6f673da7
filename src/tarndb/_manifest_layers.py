"""Manifests of directory stores whose shards have layers (layout 2).

A delta version adds one layer (a store file with tombstones) to every
shard it touches; the manifest then lists each shard's layers, newest
first, each in the version directory that holds it::

    {"format": "tarndb-sharded", "layout": 2, "hash": "siphash13-jump",
     "n": 2, "version": "v-000009",
     "shards": [{"layers": [{"version": "v-000009", "file": "part-00000-of-00002.trnd",
                             "size": ..., "keys": ..., "objects": ..., "crc32": "0x…"},
                            {"version": "v-000007", "file": "part-00000-of-00002.trnd", …}]},
                {"layers": [{"version": "v-000007", …}]}],
     "checksum": "0x…"}

``keys`` and ``objects`` of a layer are its file's figures (puts, not live
keys); the manifest has no totals, since the live count needs the layers
merged. A layer's file is ``part-IIIII-of-NNNNN.trnd`` of its shard, in its
version directory; versions strictly decrease along a shard's layers and
none is newer than the manifest's own. Layout 1 manifests (one file per
shard, all in the manifest's version) are read as stacks of one layer.
"""

from __future__ import annotations

import zlib
from typing import Any, Dict, List, Sequence, Set

from tarndb._errors import TarnCorruptError, TarnVersionError
from tarndb._manifest import (HASH_NAME, LAYOUT, VERSION_RE, _canonical, _crc_text, _is_count,
                              _load_object, parse_manifest, read_manifest_bytes, shard_file_name)

#: The layout of a manifest whose shards have layers.
LAYERED_LAYOUT = 2

LayerInfo = Dict[str, Any]  # {"version", "file", "size", "keys", "objects", "crc32"}


def make_layered_manifest(version: str, n: int,
                          layers: Sequence[Sequence[LayerInfo]]) -> Dict[str, Any]:
    """The layout 2 manifest of *version*: shard i's layers, newest first, at i."""
    fields: Dict[str, Any] = {
        "format": "tarndb-sharded",
        "layout": LAYERED_LAYOUT,
        "hash": HASH_NAME,
        "n": n,
        "version": version,
        "shards": [{"layers": [dict(layer) for layer in shard]} for shard in layers],
    }
    fields["checksum"] = _crc_text(zlib.crc32(_canonical(fields)))
    return fields


def parse_any_manifest(data: bytes, where: str) -> Dict[str, Any]:
    """A manifest of layout 1 or 2 in *data*, checked (``TarnCorruptError``
    naming *where* and the fault; ``TarnVersionError`` for another layout)."""
    fields = _load_object(data, where)
    if fields.get("layout") != LAYERED_LAYOUT:
        return parse_manifest(data, where)
    if fields.get("format") != "tarndb-sharded":
        raise TarnCorruptError(f"{where}: not a sharded store manifest")
    computed = _crc_text(zlib.crc32(_canonical(fields)))
    if fields.get("checksum") != computed:
        raise TarnCorruptError(f"{where}: manifest checksum mismatch  "
                               f"stored={fields.get('checksum')}  computed={computed}")
    _check_layered(fields, where)
    return fields


def _version_number(name: Any) -> int:
    m = VERSION_RE.match(name) if isinstance(name, str) else None
    return int(m.group(1)) if m else -1


def _check_layered(fields: Dict[str, Any], where: str) -> None:
    def fault(text: str) -> TarnCorruptError:
        return TarnCorruptError(f"{where}: {text}")

    if fields.get("hash") != HASH_NAME:
        raise fault(f"unknown shard hash {fields.get('hash')!r}")
    n, shards = fields.get("n"), fields.get("shards")
    if not _is_count(n) or n < 1:
        raise fault(f"bad shard count {n!r}")
    newest = _version_number(fields.get("version"))
    if newest < 0:
        raise fault(f"bad version directory {fields.get('version')!r}")
    if not isinstance(shards, list) or len(shards) != n:
        raise fault(f"{len(shards) if isinstance(shards, list) else shards!r} shards listed, "
                    f"n is {n}")
    for i, shard in enumerate(shards):
        layers = shard.get("layers") if isinstance(shard, dict) else None
        if not isinstance(layers, list) or not layers:
            raise fault(f"shard {i} lists no layers")
        above = newest + 1
        for layer in layers:
            expected = shard_file_name(i, n)
            if not isinstance(layer, dict) or layer.get("file") != expected:
                raise fault(f"shard {i}: a layer is not described as {expected}")
            number = _version_number(layer.get("version"))
            if not 0 <= number < above:
                raise fault(f"shard {i}: layer version {layer.get('version')!r} out of order")
            above = number
            for name in ("size", "keys", "objects"):
                if not _is_count(layer.get(name)):
                    raise fault(f"shard {i}: bad {name} {layer.get(name)!r}")
            crc = layer.get("crc32")
            if not isinstance(crc, str) or len(crc) != 10 or not crc.startswith("0x"):
                raise fault(f"shard {i}: bad crc32 {crc!r}")


def read_any_manifest(root: str) -> Dict[str, Any]:
    """The live manifest of the directory store at *root*, layout 1 or 2."""
    return parse_any_manifest(*read_manifest_bytes(root))


def shard_layers(manifest: Dict[str, Any]) -> List[List[LayerInfo]]:
    """Each shard's layers, newest first, whatever the manifest's layout."""
    if manifest["layout"] == LAYOUT:
        return [[dict(shard, version=manifest["version"])] for shard in manifest["shards"]]
    if manifest["layout"] != LAYERED_LAYOUT:
        raise TarnVersionError(manifest["layout"])
    return [[dict(layer) for layer in shard["layers"]] for shard in manifest["shards"]]


def referenced_versions(manifest: Dict[str, Any]) -> Set[str]:
    """Every version directory that holds a layer the manifest uses."""
    return {layer["version"] for shard in shard_layers(manifest) for layer in shard}
