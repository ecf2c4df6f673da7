"""Ways of publishing a store, as the power-cut test exercises them, and the builder it runs.

A publisher builds the store for a seed at a target path (on the disk under
test it runs in a child process, so that the test sees when it returned),
and reads back what a target holds: a store that opened with the whole-file
check and passed verify(), returned as a value that compares equal only for
the same published content (bytes for one file; for a directory, say, a
dict of its files' bytes).

``python power_cut_child.py PUBLISHER TARGET SEED`` prints "ready", waits
for a line on standard input, publishes, and prints "returned" once the
publisher has returned.
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

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
    with tarndb.TarnReader(target) as reader:
        assert reader.verify() is True
    return Path(target).read_bytes()


# name -> (publish(target, seed), read(target))
PUBLISHERS = {
    "single-file": (build_single_file, read_single_file),
}

if __name__ == "__main__":
    name, target, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
    print("ready", flush=True)
    sys.stdin.readline()
    PUBLISHERS[name][0](target, seed)
    print("returned", flush=True)
