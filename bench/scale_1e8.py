#!/usr/bin/env python3
"""bench/scale.py at 10^8 keys, tarndb with its hash index (not in CI).

    python bench/scale_1e8.py [bench/scale.py options]

Runs ``bench/scale.py --keys 1e8 --systems tarndb --repeat 1`` (later options
override these).  The store takes about 16 GB on disk and its writer about
16 GiB of memory (about 175 bytes per key); the run stops before building when the
directory or the machine has less.
"""

import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scale                                                         # noqa: E402

WRITER_BYTES_PER_KEY = 175      # the writer's peak at 10^8 keys (16.2 GiB), per key
FILE_BYTES_PER_KEY = 161


def available_memory():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def main(argv):
    args = scale.parse_args(["--keys", "1e8", "--systems", "tarndb", "--repeat", "1"] + argv)
    where = args.dir or tempfile.gettempdir()
    os.makedirs(where, exist_ok=True)
    need_disk, need_mem = FILE_BYTES_PER_KEY * args.keys, WRITER_BYTES_PER_KEY * args.keys
    if not args.keep and shutil.disk_usage(where).free < need_disk * 1.05:
        sys.exit("need about %.0f GB free in %s" % (need_disk / 1e9, where))
    if not args.keep and available_memory() < need_mem:
        sys.exit("need about %.1f GiB of available memory for the writer" % (need_mem / 2**30))
    return 1 if scale.run(["--keys", "1e8", "--systems", "tarndb", "--repeat", "1"] + argv) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
