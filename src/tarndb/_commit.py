"""Versions of a sharded store and the commit that makes one live.

Layout of a sharded store at ``DIR``::

    DIR/manifest.json                       the live version (the commit point)
    DIR/v-000007/part-00000-of-00064.trnd   the shards of version 7
    DIR/v-000006/...                        the version before, kept for its readers
    DIR/.lock                               taken by commits, which take turns

A build writes every shard of a new version into a new version directory,
then commits: the manifest naming it is published over ``manifest.json``
through the core's publishing path (a temporary file made exclusively,
synced, renamed over the target, the directory synced), so that readers see
the old version or the whole new one. A commit keeps the new version and the
one it replaces and removes older ones, but never a version that a build
still running holds.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import shutil
import time
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

from tarndb._errors import TarnCorruptError, TarnIOError, TarnVersionError
from tarndb._manifest import (MANIFEST, VERSION_RE, ShardInfo, make_manifest, manifest_bytes,
                              shard_file_name)
from tarndb._manifest_layers import read_any_manifest, referenced_versions
from tarndb._reader import TarnReader
from tarndb._store import publish_file
from tarndb._types import StrPath, fspath_str

#: Versions a commit keeps: the new one and the one it replaces.
KEEP_VERSIONS = 2

_LOCK = ".lock"


def versions(root: str) -> List[Tuple[int, str]]:
    """(number, name) of every version directory under *root*, in order."""
    found = []
    with contextlib.suppress(FileNotFoundError):
        for name in os.listdir(root):
            m = VERSION_RE.match(name)
            if m:
                found.append((int(m.group(1)), name))
    return sorted(found)


def new_version(root: StrPath) -> str:
    """Make the directory of a new version under *root* (made if need be)
    and return its name, numbered after every version there. Nothing holds
    it: the next commit removes it unless it is committed first (builds use
    ``held_version``)."""
    text = fspath_str(root)
    os.makedirs(text, exist_ok=True)
    with _commit_lock(text):
        return _make_version(text)


def _make_version(root: str) -> str:
    number = max((k for k, _ in versions(root)), default=0) + 1
    while True:
        name = f"v-{number:06d}"
        try:
            os.mkdir(os.path.join(root, name))
            return name
        except FileExistsError:  # another build took it meanwhile
            number += 1


@contextlib.contextmanager
def held_version(root: StrPath) -> Iterator[str]:
    """A new version directory under *root* for one build, held by it (an
    flock on the directory) until the block ends, so that no other build's
    commit removes it meanwhile; a block that raises abandons it.

    The directory is made and locked under the commit lock, which commits
    hold while they remove old versions: none sees it unlocked."""
    text = fspath_str(root)
    os.makedirs(text, exist_ok=True)
    with _commit_lock(text):
        name = _make_version(text)
        fd = os.open(os.path.join(text, name), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        fcntl.flock(fd, fcntl.LOCK_EX)
    try:
        yield name
    except BaseException:
        abandon(text, name)
        raise
    finally:
        os.close(fd)


def _held_by_a_build(path: str) -> bool:
    """Whether a running build holds the version directory *path*."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    finally:
        os.close(fd)
    return False


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


def _check_shards_in_place(root: str, version: str, shards: Sequence[ShardInfo]) -> None:
    vdir = os.path.join(root, version)
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


def commit(root: StrPath, version: str, shards: Sequence[ShardInfo]) -> Dict[str, Any]:
    """Make *version* (built under *root* with these shard figures, in shard
    order) the live version, durably, and remove versions older than the
    one it replaces. Returns the new manifest.

    Every shard file must be in place with its stated size; the commit
    checks that before it writes anything. Commits of one store take turns
    (a lock file in *root*); the last one wins.
    """
    text = fspath_str(root)
    manifest = make_manifest(version, len(shards), shards)
    with _commit_lock(text):
        _check_shards_in_place(text, version, shards)
        _fsync_dir(os.path.join(text, version))
        previous = live_versions(text)
        publish_file(os.path.join(text, MANIFEST), manifest_bytes(manifest))
        _remove_old_versions(text, keep={version} | previous)
    return manifest


def live_versions(root: str) -> Set[str]:
    """The version directories the live manifest uses: its own, and those of
    its shards' layers (none when there is no readable manifest)."""
    try:
        manifest = read_any_manifest(root)
    except (TarnIOError, TarnCorruptError, TarnVersionError):
        return set()
    return referenced_versions(manifest) | {manifest["version"]}


def _remove_old_versions(root: str, keep: Iterable[Optional[str]]) -> None:
    """Remove the version directories numbered below the newest kept one that
    are not kept: the versions before the last two, and abandoned builds.
    Versions that running builds hold are left alone, whatever their number
    (a build that began earlier may finish later)."""
    kept = {name for name in keep if name}
    newest = max((int(VERSION_RE.match(k).group(1)) for k in kept), default=0)  # type: ignore[union-attr]
    for number, name in versions(root):
        path = os.path.join(root, name)
        if number < newest and name not in kept and not _held_by_a_build(path):
            shutil.rmtree(path, ignore_errors=True)


def abandon(root: StrPath, version: str) -> None:
    """Remove the directory of a version whose build failed (never the live one)."""
    text = fspath_str(root)
    if version in live_versions(text):
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
