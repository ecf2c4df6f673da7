"""Sharded stores: a directory of ordinary store files, one per shard, and
the manifest that names them; ``ShardedReader`` reads one as a single mapping.

Layout of a sharded store at ``DIR``::

    DIR/manifest.json                       the live version (the commit point)
    DIR/v-000007/part-00000-of-00064.trnd   the shards of version 7
    DIR/v-000007/part-00063-of-00064.trnd
    DIR/v-000006/...                        the version before, kept for its readers

A key lives in shard ``shard_of(key, n)``. A build writes every shard of a
new version into a new version directory, then replaces ``manifest.json``
by rename (written to a temporary file and synced first, the directory
synced after): readers see the old version or the whole new one. A commit
keeps the new version and the one it replaces and removes older ones.
``docs/format.md`` describes the manifest field by field.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import itertools
import json
import os
import re
import shutil
import time
import zlib
from collections.abc import ItemsView, Mapping, ValuesView
from types import TracebackType
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Type, TypeVar, Union

from tarndb._errors import TarnCorruptError, TarnIOError, TarnVersionError
from tarndb._reader import TarnReader, _Items, _Values
from tarndb._store import Shards, _group_by_shard, shard_of
from tarndb._types import StrPath, fspath_str

V = TypeVar("V")

MANIFEST = "manifest.json"
#: The layout version this release writes and reads.
LAYOUT = 1
#: The shard function's name in the manifest: SipHash-1-3 under the key
#: "tarndb shard key", then the jump consistent hash.
HASH_NAME = "siphash13-jump"
#: Versions a commit keeps: the new one and the one it replaces.
KEEP_VERSIONS = 2

_VERSION_RE = re.compile(r"v-([0-9]{6,})\Z")
_LOCK = ".lock"
# Opening is retried when a new version is committed while it is being opened.
_OPEN_ATTEMPTS = 5

ShardInfo = Dict[str, Any]  # {"file", "size", "keys", "objects", "crc32"}


def shard_file_name(shard: int, n: int) -> str:
    """The file name of shard *shard* of *n*: ``part-00007-of-00064.trnd``."""
    return f"part-{shard:05d}-of-{n:05d}.trnd"


def is_sharded(path: StrPath) -> bool:
    """Whether *path* is a directory (a sharded store, or meant to be one)."""
    return os.path.isdir(fspath_str(path))


# -- the manifest -------------------------------------------------------------


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


def _is_count(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def parse_manifest(data: bytes, where: str) -> Dict[str, Any]:
    """The manifest in *data*, checked; ``TarnCorruptError`` naming *where*
    and the fault when it does not hold together."""

    def fault(text: str) -> TarnCorruptError:
        return TarnCorruptError(f"{where}: {text}")

    try:
        fields = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        raise fault(f"not valid JSON ({exc})") from None
    if not isinstance(fields, dict):
        raise fault("not a JSON object")
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
    if not isinstance(version, str) or not _VERSION_RE.match(version):
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
        if not isinstance(shard.get("crc32"), str) or not re.match(r"0x[0-9a-f]{8}\Z", shard["crc32"]):
            raise fault(f"shard {expected}: bad crc32 {shard.get('crc32')!r}")
    for name in ("keys", "objects"):
        total = sum(s[name] for s in shards)
        if fields.get(name) != total:
            raise fault(f"{name} {fields.get(name)!r} is not the shards' sum {total}")
    return fields


def read_manifest(root: str) -> Dict[str, Any]:
    """The live manifest of the sharded store at *root*."""
    path = os.path.join(root, MANIFEST)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        reason = exc.strerror or str(exc)
        if exc.errno == errno.ENOENT and os.path.isdir(root):
            reason = "No such file or directory (not a sharded store: it has no manifest.json)"
        raise TarnIOError(f"cannot open {path}: {reason}", exc.errno, path) from None
    return parse_manifest(data, path)


# -- building and committing a version -----------------------------------------


def _versions(root: str) -> List[Tuple[int, str]]:
    """(number, name) of every version directory under *root*, in order."""
    found = []
    with contextlib.suppress(FileNotFoundError):
        for name in os.listdir(root):
            m = _VERSION_RE.match(name)
            if m:
                found.append((int(m.group(1)), name))
    return sorted(found)


def new_version(root: StrPath) -> str:
    """Make the directory of a new version under *root* (made if need be)
    and return its name, numbered after every version there."""
    text = fspath_str(root)
    os.makedirs(text, exist_ok=True)
    number = max((k for k, _ in _versions(text)), default=0) + 1
    while True:
        name = f"v-{number:06d}"
        try:
            os.mkdir(os.path.join(text, name))
            return name
        except FileExistsError:  # another build took it meanwhile
            number += 1


def shard_figures(path: str, shard: int, n: int) -> ShardInfo:
    """The manifest's figures of the built shard file at *path*."""
    with TarnReader(path, verify=False) as reader:
        stats = reader.stats()
    return {
        "file": shard_file_name(shard, n),
        "size": os.stat(path).st_size,
        "keys": stats["num_keys"],
        "objects": stats["num_objects"],
        "crc32": stats["file_crc32"],
    }


@contextlib.contextmanager
def _commit_lock(root: str) -> Iterator[None]:
    fd = os.open(os.path.join(root, _LOCK), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _fsync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def commit(root: StrPath, version: str, shards: Sequence[ShardInfo]) -> Dict[str, Any]:
    """Make *version* (built under *root* with these shard figures, in shard
    order) the live version, durably, and remove versions older than the
    one it replaces. Returns the new manifest.

    Every shard file must be in place with its stated size; the commit
    checks that before it writes anything. Commits of one store take turns
    (a lock file in *root*); the last one wins.
    """
    text = fspath_str(root)
    n = len(shards)
    manifest = make_manifest(version, n, shards)
    vdir = os.path.join(text, version)
    with _commit_lock(text):
        for shard in shards:
            path = os.path.join(vdir, shard["file"])
            try:
                size = os.stat(path).st_size
            except OSError as exc:
                raise TarnIOError(f"cannot commit {version}: {path}: {exc.strerror}",
                                  exc.errno, path) from None
            if size != shard["size"]:
                raise TarnCorruptError(f"cannot commit {version}: {path} has {size} bytes, "
                                       f"built with {shard['size']}")
        _fsync_dir(vdir)
        try:
            previous: Optional[str] = read_manifest(text)["version"]
        except (TarnIOError, TarnCorruptError, TarnVersionError):
            previous = None
        target = os.path.join(text, MANIFEST)
        temp = os.path.join(text, f".{MANIFEST}.{version}.tmp")
        data = (json.dumps(manifest, indent=1) + "\n").encode()
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(temp, target)
        _fsync_dir(text)
        _remove_old_versions(text, keep={version, previous})
    return manifest


def _remove_old_versions(root: str, keep: Iterable[Optional[str]]) -> None:
    """Remove the version directories numbered below the newest kept one that
    are not kept: the versions before the last two, and abandoned builds.
    Builds still running have higher numbers and are left alone."""
    kept = {name for name in keep if name}
    newest = max((int(_VERSION_RE.match(k).group(1)) for k in kept), default=0)  # type: ignore[union-attr]
    for number, name in _versions(root):
        if number < newest and name not in kept:
            shutil.rmtree(os.path.join(root, name), ignore_errors=True)


def abandon(root: StrPath, version: str) -> None:
    """Remove the directory of a version whose build failed (never the live one)."""
    text = fspath_str(root)
    with contextlib.suppress(TarnIOError, TarnCorruptError, TarnVersionError):
        if read_manifest(text)["version"] == version:
            return
    # Tasks of the failed build may still be running and adding files (a
    # scheduler does not stop the rest of a graph when one task fails):
    # remove until the directory is gone, after which nothing can add to it.
    path = os.path.join(text, version)
    for _ in range(200):
        shutil.rmtree(path, ignore_errors=True)
        if not os.path.lexists(path):
            return
        time.sleep(0.01)


# -- reading ---------------------------------------------------------------------


def _identity(path: str) -> Optional[Tuple[int, ...]]:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns


class _ShardedMapping(Shards, Mapping[str, V]):
    """The Mapping side shared by the sharded reader and its raw view.

    The native base routes each key to its shard (``r[key]``, ``get``, ``in``,
    ``get_many`` grouped by shard) and merges the shards' sorted entries by
    their key bytes (iteration, ``items``, ``values``, ``prefix``), so the
    result is in the same order as one store of the same keys.
    """

    __slots__ = ("_shards", "_n", "_len")

    _shards: List[Any]
    _n: int
    _len: int

    def _use(self, shards: List[Any], n: int, total: int) -> None:
        self._shards, self._n, self._len = shards, n, total
        self._set_shards(shards)

    def objects(self) -> Iterator[V]:
        """Every stored object that some key names, shard by shard (each
        shard's in the order of its first key). A value stored under keys
        of several shards is stored, and listed, once in each."""
        return itertools.chain.from_iterable(shard.objects() for shard in self._shards)

    def items(self) -> ItemsView[str, V]:
        """A view of ``(key, value)`` pairs in key order (the shards' scans, merged)."""
        return _Items(self)

    def values(self) -> ValuesView[V]:
        """A view of the values in key order."""
        return _Values(self)


class ShardedReader(_ShardedMapping[Any]):
    """A sharded store (a directory with ``manifest.json``) opened read-only,
    as one ``Mapping`` from keys to values.

    ``ShardedReader(path, verify=True, populate=False)`` reads the manifest
    and opens every shard of the version it names, with the same *verify*
    and *populate* as ``TarnReader``: with *verify* each shard's whole-file
    checksum is checked at open. Every shard must match the manifest (file
    present, size, stored checksum, key and object counts), else
    ``TarnCorruptError`` names the shard and the fault.

    The same interface as ``TarnReader``: ``r[key]``, ``get``, ``in``,
    ``len``, iteration in key order (the shards merged), ``keys()``,
    ``values()``, ``items()``, ``get_many``, ``prefix``, ``objects``,
    ``verify``, ``stats``, ``is_stale``, ``reopen``, ``raw``, ``close``.
    A reader keeps the version it opened when a new one is committed;
    ``is_stale()`` tells when the manifest changed and ``reopen()`` follows.
    """

    __slots__ = ("_path", "_verify", "_manifest", "_identity", "_readers")

    def __init__(self, path: StrPath, verify: bool = True, populate: bool = False) -> None:
        root = fspath_str(path)
        manifest_path = os.path.join(root, MANIFEST)
        for attempt in range(_OPEN_ATTEMPTS):
            before = _identity(manifest_path)
            manifest = read_manifest(root)
            try:
                readers = _open_shards(root, manifest, bool(verify), bool(populate))
            except _ShardMissing as missing:
                if _identity(manifest_path) != before and attempt + 1 < _OPEN_ATTEMPTS:
                    continue  # a commit removed the version meanwhile: read the new manifest
                raise TarnCorruptError(f"{missing.path}: shard named by the manifest is missing") from None
            if _identity(manifest_path) == before or attempt + 1 == _OPEN_ATTEMPTS:
                break  # (after that many commits meanwhile, keep a complete version)
            for reader in readers:
                reader.close()
        self._path = root
        self._verify = bool(verify)
        self._manifest = manifest
        self._identity = before
        self._readers: List[TarnReader] = readers
        self._use(readers, manifest["n"], manifest["keys"])

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (self._path, self._verify)

    @property
    def path(self) -> str:
        """The directory the reader was opened with."""
        return self._path

    @property
    def version(self) -> str:
        """The version directory this reader reads, e.g. ``v-000007``."""
        return self._manifest["version"]  # type: ignore[no-any-return]

    @property
    def manifest(self) -> Dict[str, Any]:
        """The manifest of the version this reader reads (a copy)."""
        return json.loads(json.dumps(self._manifest))  # type: ignore[no-any-return]

    @property
    def shards(self) -> List[TarnReader]:
        """The readers of the shards, in shard order (shard ``shard_of(key, n)``)."""
        return list(self._readers)

    @property
    def raw(self) -> ShardedRawView:
        """The same store with values as the stored bytes."""
        return ShardedRawView._of(self)

    @property
    def closed(self) -> bool:
        return self._readers[0].closed

    def verify(self) -> bool:
        """Check every shard completely (``TarnReader.verify``), that it still
        matches the manifest's figures, and that each of its keys belongs to
        it by ``shard_of`` (a key in the wrong shard could never be found).
        Returns True or raises ``TarnCorruptError`` naming the shard."""
        n = self._n
        for i, (reader, info) in enumerate(zip(self._readers, self._manifest["shards"])):
            reader.verify()
            _check_figures(reader, info)
            batch_size = 1 << 16
            keys = iter(reader)
            while True:
                batch = list(itertools.islice(keys, batch_size))
                if not batch:
                    break
                for j, (routed, _) in enumerate(_group_by_shard(batch, n)):
                    if j == i:
                        continue
                    for key in routed:
                        # Text with U+FFFD may stand for bytes that are not
                        # UTF-8, whose own shard cannot be told from the text.
                        if "\ufffd" not in key:
                            raise TarnCorruptError(f"{reader.path}: key {key!r} belongs to shard "
                                                   f"{j}, not {i}")
        return True

    def stats(self) -> Dict[str, Any]:
        """The store's figures: path, version, shard count, totals, and each
        shard's own ``stats()`` under ``"shards"``."""
        shard_stats = [reader.stats() for reader in self._readers]
        size = sum(s["size"] for s in self._manifest["shards"])
        return {
            "path": self._path,
            "layout": self._manifest["layout"],
            "hash": self._manifest["hash"],
            "version": self._manifest["version"],
            "n": self._n,
            "num_keys": self._manifest["keys"],
            "num_objects": self._manifest["objects"],
            "file_size_kb": size / 1024,
            "hash_index": all(s["hash_index"] is not None and s["hash_index"]["in_use"]
                              for s in shard_stats),
            "private_bytes": sum(s["private_bytes"] for s in shard_stats),
            "shards": shard_stats,
        }

    def is_stale(self) -> bool:
        """Whether the store's manifest changed (a new version was committed)
        or is gone since this reader opened it. Costs one ``os.stat``."""
        current = _identity(os.path.join(self._path, MANIFEST))
        return current is None or current != self._identity

    def reopen(self) -> ShardedReader:
        """A new reader of the version live now, opened with the same
        *verify* setting. This reader stays open and unchanged."""
        return type(self)(self._path, self._verify)

    def close(self) -> None:
        """Release every shard; later calls raise ``ValueError``."""
        for reader in self._readers:
            reader.close()

    def __enter__(self) -> ShardedReader:
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed " if self.closed else ""
        return (f"<{state}ShardedReader {self._path!r} {self.version}, n={self._n}, "
                f"keys={self._len}>")


class ShardedRawView(_ShardedMapping[bytes]):
    """``reader.raw`` of a sharded reader: the same keys mapped to the stored
    bytes. Closing the reader closes the view."""

    __slots__ = ("_owner",)

    def __init__(self) -> None:
        raise TypeError("a raw view is made by ShardedReader.raw")

    @classmethod
    def _of(cls, owner: ShardedReader) -> ShardedRawView:
        view = cls.__new__(cls)
        view._owner = owner
        view._use([reader.raw for reader in owner._readers], owner._n, owner._len)
        return view

    def __repr__(self) -> str:
        return f"<raw view of {self._owner!r}>"


class _ShardMissing(Exception):
    def __init__(self, path: str) -> None:
        super().__init__(path)
        self.path = path


def _open_shards(root: str, manifest: Dict[str, Any], verify: bool, populate: bool) -> List[TarnReader]:
    vdir = os.path.join(root, manifest["version"])
    readers: List[TarnReader] = []
    try:
        for info in manifest["shards"]:
            path = os.path.join(vdir, info["file"])
            try:
                reader = TarnReader(path, verify, populate)
            except TarnIOError as exc:
                if exc.errno == errno.ENOENT:
                    raise _ShardMissing(path) from None
                raise
            readers.append(reader)
            _check_figures(reader, info)
    except BaseException:
        for reader in readers:
            reader.close()
        raise
    return readers


def _check_figures(reader: TarnReader, info: ShardInfo) -> None:
    """TarnCorruptError naming the shard when it differs from its manifest entry."""
    stats = reader.stats()
    found = {
        "size": round(stats["file_size_kb"] * 1024),
        "crc32": stats["file_crc32"],
        "keys": stats["num_keys"],
        "objects": stats["num_objects"],
    }
    for name, value in found.items():
        if value != info[name]:
            raise TarnCorruptError(f"{reader.path}: {name} {value} differs from the manifest's "
                                   f"{info[name]} (the shard was altered or replaced)")


def open_store(path: StrPath, verify: bool = True, populate: bool = False) -> Union[TarnReader, ShardedReader]:
    """Open a store: a ``ShardedReader`` for a directory (a sharded store),
    else a ``TarnReader`` for the store file at *path*."""
    if is_sharded(path):
        return ShardedReader(path, verify, populate)
    return TarnReader(path, verify, populate)


__all__ = ["ShardedReader", "ShardedRawView", "commit", "new_version", "open_store",
           "read_manifest", "shard_figures", "shard_file_name", "shard_of"]
