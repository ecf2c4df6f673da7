"""Keys and values of the scale benchmark, computed from a position alone.

Position p in [0, n) names the p-th key in bytewise order: keys are paths
such as ``user/004211/profile`` (the forms of ``bench/data.py``: eight
namespaces, zero-padded entity numbers, ten fields per entity; 21.4 bytes on
average up to 8 * 10^7 keys, one digit more above), so a writer can stream
them in order without holding them, and a reader process can make the keys it
probes from their positions without receiving them.  The value of p is 100
bytes: a slice of a seeded random block followed by p itself.

Standard library only: the dbm.gnu processes run on the system interpreter.
"""

import random

from data import ABSENT_FIELDS, FIELDS, NAMESPACES

NS = tuple(sorted(ns.encode() for ns in NAMESPACES))
FLD = tuple(sorted(f.encode() for f in FIELDS))
ABSENT = tuple(f.encode() for f in ABSENT_FIELDS)
VALUE_SIZE = 100


class ScaleData:
    def __init__(self, n, seed=4211):
        if n < 1:
            raise ValueError("n must be positive")
        self.n, self.seed = n, seed
        entities = -(-n // len(FLD))
        per_ns = -(-entities // len(NS))
        self.block = per_ns * len(FLD)                   # keys per namespace
        self.width = max(6, len(str(per_ns - 1)))
        self.pool = random.Random("scale/%d" % seed).randbytes(1 << 13)

    def _parts(self, p):
        if not 0 <= p < self.n:
            raise IndexError(p)
        ns, r = divmod(p, self.block)
        e, f = divmod(r, len(FLD))
        return b"%s/%0*d/" % (NS[ns], self.width, e), f

    def key(self, p):
        head, f = self._parts(p)
        return head + FLD[f]

    def value(self, p):
        o = (p * 2654435761) % (len(self.pool) - VALUE_SIZE)
        return self.pool[o:o + VALUE_SIZE - 8] + p.to_bytes(8, "big")

    def miss(self, p):
        """A key that is not stored: the entity of key p with a field never written."""
        return self._parts(p)[0] + ABSENT[p % len(ABSENT)]

    def pairs(self, start, stop):
        """[(key, value)] for positions start..stop-1, in key order."""
        out, value, n = [], self.value, len(FLD)
        p = start
        while p < stop:
            head, f = self._parts(p)
            end = min(stop, p + n - f)
            out.extend((head + FLD[f + i], value(p + i)) for i in range(end - p))
            p = end
        return out

    def chunks(self, size=100_000):
        """The whole store as lists of pairs in key order; raises if the
        order breaks (a store built from them would not be the one probed)."""
        last = b""
        for start in range(0, self.n, size):
            chunk = self.pairs(start, min(self.n, start + size))
            if not (last < chunk[0][0] and all(a[0] < b[0] for a, b in zip(chunk, chunk[1:]))):
                raise AssertionError("keys out of order near position %d" % start)
            last = chunk[-1][0]
            yield chunk

    def probes(self, count):
        """count + 1 distinct positions drawn with a seeded generator: the
        first-lookup key, then the random lookups (the same in every process)."""
        rnd = random.Random("probes/%d/%d" % (self.n, self.seed))
        return rnd.sample(range(self.n), min(self.n, count + 1))
