"""The manifest of a sharded store: its fields, its checksum, and reading it.

``DIR/manifest.json`` is one JSON object naming the live version and the
figures of each of its shards (``docs/format.md`` describes it field by
field). The checksum covers every field but itself, in a canonical form, so
an edited figure is found even where the JSON still parses.
"""

from __future__ import annotations

import errno
import json
import os
import re
import stat
import zlib
from typing import Any, Dict, Sequence, Tuple

from tarndb._errors import TarnCorruptError, TarnIOError, TarnVersionError

MANIFEST = "manifest.json"
#: The layout version this release writes and reads.
LAYOUT = 1
#: The shard function's name in the manifest: SipHash-1-3 under the key
#: "tarndb shard key", then the jump consistent hash.
HASH_NAME = "siphash13-jump"

#: A manifest holds about 150 bytes per shard; anything far larger is not
#: one, and is refused without being read whole.
MAX_MANIFEST_BYTES = 64 << 20

VERSION_RE = re.compile(r"v-([0-9]{6,})\Z")
_CRC_RE = re.compile(r"0x[0-9a-f]{8}\Z")

ShardInfo = Dict[str, Any]  # {"file", "size", "keys", "objects", "crc32"}


def shard_file_name(shard: int, n: int) -> str:
    """The file name of shard *shard* of *n*: ``part-00007-of-00064.trnd``."""
    return f"part-{shard:05d}-of-{n:05d}.trnd"


def _canonical(fields: Dict[str, Any]) -> bytes:
    """The bytes the manifest's checksum covers: every field but ``checksum``,
    as compact JSON with sorted keys and ASCII escapes."""
    body = {k: v for k, v in fields.items() if k != "checksum"}
    return json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=True).encode()


def _crc_text(value: int) -> str:
    return f"0x{value:08x}"


def make_manifest(version: str, n: int, shards: Sequence[ShardInfo]) -> Dict[str, Any]:
    """The manifest of *version* with the figures of its *n* shards."""
    fields: Dict[str, Any] = {
        "format": "tarndb-sharded",
        "layout": LAYOUT,
        "hash": HASH_NAME,
        "n": n,
        "version": version,
        "keys": sum(s["keys"] for s in shards),
        "objects": sum(s["objects"] for s in shards),
        "shards": [dict(s) for s in shards],
    }
    fields["checksum"] = _crc_text(zlib.crc32(_canonical(fields)))
    return fields


def manifest_bytes(manifest: Dict[str, Any]) -> bytes:
    """The file contents of *manifest*: indented JSON and a final newline."""
    return (json.dumps(manifest, indent=1) + "\n").encode()


def _is_count(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _load_object(data: bytes, where: str) -> Dict[str, Any]:
    """The JSON object in *data*; TarnCorruptError naming *where* otherwise."""
    try:
        fields = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        raise TarnCorruptError(f"{where}: not valid JSON ({exc})") from None
    except RecursionError:
        raise TarnCorruptError(f"{where}: not a manifest (JSON nested too deeply)") from None
    if not isinstance(fields, dict):
        raise TarnCorruptError(f"{where}: not a JSON object")
    return fields


def parse_manifest(data: bytes, where: str) -> Dict[str, Any]:
    """The manifest in *data*, checked; ``TarnCorruptError`` naming *where*
    and the fault when it does not hold together."""

    def fault(text: str) -> TarnCorruptError:
        return TarnCorruptError(f"{where}: {text}")

    fields = _load_object(data, where)
    if fields.get("format") != "tarndb-sharded":
        raise fault(f"not a sharded store manifest (format {fields.get('format')!r})")
    layout = fields.get("layout")
    if not _is_count(layout):
        raise fault(f"bad layout {layout!r}")
    if layout != LAYOUT:
        raise TarnVersionError(layout)
    checksum = fields.get("checksum")
    computed = _crc_text(zlib.crc32(_canonical(fields)))
    if checksum != computed:
        raise fault(f"manifest checksum mismatch  stored={checksum}  computed={computed}")
    if fields.get("hash") != HASH_NAME:
        raise fault(f"unknown shard hash {fields.get('hash')!r}")
    n = fields.get("n")
    if not _is_count(n) or n < 1:
        raise fault(f"bad shard count {n!r}")
    version = fields.get("version")
    if not isinstance(version, str) or not VERSION_RE.match(version):
        raise fault(f"bad version directory {version!r}")
    shards = fields.get("shards")
    if not isinstance(shards, list) or len(shards) != n:
        count = len(shards) if isinstance(shards, list) else shards
        raise fault(f"{count!r} shards listed, n is {n}")
    for i, shard in enumerate(shards):
        expected = shard_file_name(i, n)
        if not isinstance(shard, dict) or shard.get("file") != expected:
            raise fault(f"shard {i} is not described as {expected}")
        for name in ("size", "keys", "objects"):
            if not _is_count(shard.get(name)):
                raise fault(f"shard {expected}: bad {name} {shard.get(name)!r}")
        if not isinstance(shard.get("crc32"), str) or not _CRC_RE.match(shard["crc32"]):
            raise fault(f"shard {expected}: bad crc32 {shard.get('crc32')!r}")
    for name in ("keys", "objects"):
        total = sum(s[name] for s in shards)
        if fields.get(name) != total:
            raise fault(f"{name} {fields.get(name)!r} is not the shards' sum {total}")
    return fields


def read_manifest(root: str) -> Dict[str, Any]:
    """The live manifest of the sharded store at *root* (layout 1)."""
    return parse_manifest(*read_manifest_bytes(root))


def read_manifest_bytes(root: str) -> Tuple[bytes, str]:
    """The bytes of the live manifest file of *root*, and its path.

    The file is opened without blocking and must be a regular file of at
    most ``MAX_MANIFEST_BYTES``: a FIFO planted there would block the open
    for ever, and a link to a device such as ``/dev/zero`` would be read
    until memory runs out."""
    path = os.path.join(root, MANIFEST)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        reason = exc.strerror or str(exc)
        if exc.errno == errno.ENOENT and os.path.isdir(root):
            reason = "No such file or directory (not a sharded store: it has no manifest.json)"
        raise TarnIOError(f"cannot open {path}: {reason}", exc.errno, path) from None
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise TarnIOError(f"cannot open {path}: not a regular file", None, path)
        data = f.read(MAX_MANIFEST_BYTES + 1)
    if len(data) > MAX_MANIFEST_BYTES:
        raise TarnCorruptError(f"{path}: larger than a manifest can be "
                               f"({MAX_MANIFEST_BYTES >> 20} MiB)")
    return data, path
