#!/usr/bin/env python3
"""A store larger than 4 GiB: 64-bit offsets end to end.

    python bench/scale_4gib.py [--objects 4400] [--mib 1] [--dir /tmp]

Builds a store of `objects` payloads of `mib` MiB each (default 4,400 x 1 MiB,
about 4.3 GiB plus the index), opens it with verify=True, reads back its
last object (and a few others) and checks their bytes, runs verify(), reports
sizes and times, and deletes the file.  Needs about twice the store size in
free memory (the writer holds every payload, and build assembles the data
section in memory) and the store size in free disk space.  Not run in CI.
"""

import argparse
import mmap
import os
import resource
import shutil
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from tarndb import _store                                          # noqa: E402

GIB = 1 << 30


def payload(base, i):
    """Object i: the shared random block with i stamped at both ends."""
    stamp = i.to_bytes(8, "big")
    return stamp + base[8:-8] + stamp


def mem_available():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--objects", type=int, default=4400)
    ap.add_argument("--mib", type=int, default=1, help="payload size in MiB")
    ap.add_argument("--dir", default="/tmp")
    args = ap.parse_args()
    size = args.mib << 20
    total = args.objects * size
    path = os.path.join(args.dir, "tarndb-scale-%d.trnd" % os.getpid())
    print("payloads: %d x %d MiB = %.2f GiB" % (args.objects, args.mib, total / GIB))
    if total <= 4 * GIB:
        print("note: this store will not pass 4 GiB")
    if shutil.disk_usage(args.dir).free < total * 1.1:
        sys.exit("not enough free disk space in %s" % args.dir)
    if mem_available() < total * 2.2:
        sys.exit("not enough available memory (need about %.1f GiB)" % (total * 2.2 / GIB))

    base = os.urandom(size)
    w = _store.Writer()
    t0 = time.perf_counter()
    for i in range(args.objects):
        oid = w.add_raw(payload(base, i))
        w.add_key("obj/%06d" % i, oid)
        if i % 100 == 0:
            w.add_key("alias/%06d" % i, oid)
    t_add = time.perf_counter() - t0
    t0 = time.perf_counter()
    try:
        w.build(path)
        t_build = time.perf_counter() - t0
        del w
        file_size = os.path.getsize(path)
        print("build: %.1f s adding + %.1f s build(); file %s bytes (%.2f GiB, %s 4 GiB)"
              % (t_add, t_build, f"{file_size:,}", file_size / GIB,
                 "above" if file_size > 4 * GIB else "NOT above"))

        t0 = time.perf_counter()
        r = _store.Reader(path, verify=True)
        t_open = time.perf_counter() - t0
        st = r.stats()
        print("open verify=True: %.2f s (%.2f GB/s); stats: %d keys, %d objects, index_offset %s"
              % (t_open, file_size / t_open / 1e9, st["num_keys"], st["num_objects"],
                 f"{st['index_offset']:,}"))

        ok = True
        last = args.objects - 1
        for i in (last, 0, args.objects // 2):
            t0 = time.perf_counter()
            got = r.get("obj/%06d" % i)
            dt = time.perf_counter() - t0
            good = got == payload(base, i)
            ok &= good
            print("get_raw('obj/%06d'): %d bytes in %.2f ms, %s"
                  % (i, len(got or b""), dt * 1e3, "bytes correct" if good else "WRONG BYTES"))
        aliased = r.get("alias/%06d" % (last // 100 * 100)) == payload(base, last // 100 * 100)
        ok &= aliased
        print("alias of a late object: %s" % ("bytes correct" if aliased else "WRONG BYTES"))

        t0 = time.perf_counter()
        verified = r.verify()
        t_verify = time.perf_counter() - t0
        ok &= verified is True
        print("verify(): %r in %.2f s (%.2f GB/s incl. per-object pass)"
              % (verified, t_verify, 2 * file_size / t_verify / 1e9))

        with open(path, "rb") as f:
            mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        body = memoryview(mm)[40:]
        t0 = time.perf_counter()
        crc = zlib.crc32(body)
        t_zlib = time.perf_counter() - t0
        ok &= "0x%08x" % crc == st["file_crc32"]
        print("zlib.crc32 of the same bytes: %.2f s (%.2f GB/s), %s the stored file CRC"
              % (t_zlib, file_size / t_zlib / 1e9, "equals" if "0x%08x" % crc == st["file_crc32"]
                 else "DIFFERS FROM"))
        body.release()
        mm.close()
        del r
        print("peak resident memory: %.2f GiB" % (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20))
    finally:
        for p in (path, path[:-len(".trnd")] + ".trnd.tmp"):
            if os.path.exists(p):
                os.unlink(p)
    print("result: %s" % ("OK" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
