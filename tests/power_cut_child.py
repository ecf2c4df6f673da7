"""Ways of publishing a store, as the power-cut test exercises them, and the builder it runs.

A publisher builds the store for a seed at a target path (on the disk under
test it runs in a child process, so that the test sees when it returned),
and reads back what a target holds: a store that opened with the whole-file
check and passed verify(), returned as a value that compares equal only for
the same published content (the key-value pairs of a store).

``python power_cut_child.py PUBLISHER TARGET SEED`` prints "ready", waits
for a line on standard input, publishes, and prints "returned" once the
publisher has returned.
"""

from __future__ import annotations

import os
import random
import sys

import tarndb


def contents(seed, size=4 << 20):
    """Random raw values of about `size` bytes in all, each under a key of its own."""
    rng = random.Random(seed)
    items, total = [], 0
    while total < size:
        value = rng.randbytes(rng.randrange(0, 48_000))
        items.append((b"%d/%06d" % (seed, len(items)), value))
        total += len(value)
    return items


def build_single_file(target, seed):
    w = tarndb.TarnWriter()
    for key, value in contents(seed):
        w.put_raw(key, value)
    w.build(target, quiet=True)


def read_single_file(target):
    # The contents, not the bytes: each build draws a fresh seed for its
    # hash index, so two builds of the same input differ in those bytes.
    with tarndb.TarnReader(target) as reader:
        assert reader.verify() is True
        return dict(reader.raw.items())


def build_streaming(target, seed):
    """Values streamed into the target's directory as they are added, and the
    finished file linked into place by the build."""
    with tarndb.TarnWriter.create(target, quiet=True) as w:
        for key, value in contents(seed):
            w.put_raw(key, value)


def build_sharded(target, seed, n=4):
    """A sharded store's commit: shards built in a new version directory of
    the target directory, then its manifest written, synced and renamed."""
    from tarndb._commit import commit, new_version, shard_figures
    from tarndb._manifest import shard_file_name

    version = new_version(target)
    groups = [[] for _ in range(n)]
    for key, value in contents(seed):
        groups[tarndb.shard_of(key, n)].append((key, value))
    shards = []
    for i, pairs in enumerate(groups):
        path = os.path.join(target, version, shard_file_name(i, n))
        w = tarndb.TarnWriter()
        w.update_raw(pairs)
        w.build(path, quiet=True)
        shards.append(shard_figures(path, i, n))
    commit(target, version, shards)


def read_sharded(target):
    with tarndb.open(target) as reader:
        assert reader.verify() is True
        return dict(reader.raw.items())


# name -> (publish(target, seed), read(target))
PUBLISHERS = {
    "single-file": (build_single_file, read_single_file),
    "streaming": (build_streaming, read_single_file),
    "sharded": (build_sharded, read_sharded),
}

if __name__ == "__main__":
    name, target, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
    print("ready", flush=True)
    sys.stdin.readline()
    PUBLISHERS[name][0](target, seed)
    print("returned", flush=True)
