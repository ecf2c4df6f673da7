"""Deterministic data sets shared by every system in one benchmark run.

Two kinds of keys:

* ``text``: realistic path-like keys such as ``user/004211/profile``
  (15-27 bytes, ASCII), ten fields per entity, so that the prefix
  ``user/00421`` names ten entities and matches ~100 keys;
* ``random``: 16 uniformly random bytes.

``n - n // 10`` objects of ``payload`` random bytes are made; the first
``n - n // 10`` keys (in insertion order, which is random) get one object
each and the remaining 10% of keys share an object with some other key.
Everything is drawn from one ``random.Random(seed)``, so every system and
every subprocess sees byte-identical data.
"""

import bisect
import math
import random

NAMESPACES = ("user", "org", "repo", "team", "project", "session", "invoice", "device")
FIELDS = ("profile", "settings", "avatar", "email", "followers",
          "prefs/theme", "billing/plan", "last_login", "role", "tokens/api")
ABSENT_FIELDS = ("deleted_at", "draft", "mfa", "quota/disk")   # never generated
SHARED_FRACTION = 10                                            # 1 key in 10 shares


def _text_keys(n, rnd):
    slots = -(-n // len(FIELDS))
    if slots // len(NAMESPACES) >= 10**6:
        raise ValueError("text keys support at most 80 million keys")
    keys = []
    for slot in range(slots):
        head = "%s/%06d/" % (NAMESPACES[slot % len(NAMESPACES)], slot // len(NAMESPACES))
        keys.extend((head + f).encode() for f in FIELDS)
    del keys[n:]
    rnd.shuffle(keys)
    return keys


def _random_keys(n, rnd):
    blob = rnd.randbytes(16 * n)
    keys = [blob[i:i + 16] for i in range(0, 16 * n, 16)]
    if len(set(keys)) < n:            # a 128-bit collision: practically never
        seen, unique = set(), []
        for k in keys:
            while k in seen:
                k = rnd.randbytes(16)
            seen.add(k)
            unique.append(k)
        keys = unique
    return keys


def _payloads(count, size, rnd):
    objects = []
    per_chunk = max(1, (64 << 20) // max(size, 1))
    for start in range(0, count, per_chunk):
        m = min(per_chunk, count - start)
        blob = rnd.randbytes(m * size)
        objects.extend(blob[i * size:(i + 1) * size] for i in range(m))
    return objects


class Dataset:
    """Keys (``bytes``), objects and the key -> object assignment."""

    def __init__(self, kind, n, payload, seed, samples=None):
        if kind not in ("text", "random"):
            raise ValueError(kind)
        self.kind, self.n, self.payload, self.seed = kind, n, payload, seed
        rnd = random.Random("%s/%d/%d/%d" % (kind, n, payload, seed))
        self.keys = (_text_keys if kind == "text" else _random_keys)(n, rnd)
        self.n_objects = n - n // SHARED_FRACTION
        self.objects = _payloads(self.n_objects, payload, rnd)
        self.key_obj = list(range(self.n_objects))
        self.key_obj += [rnd.randrange(self.n_objects) for _ in range(n - self.n_objects)]
        self.values = [self.objects[o] for o in self.key_obj]
        self.key_bytes = sum(map(len, self.keys))
        self._rnd = rnd
        self._cache = {}
        if samples:
            self.make_samples(**samples)

    # -- lookup samples (drawn after the data, from the same generator) --
    def make_samples(self, hits, hot, misses, prefixes):
        rnd, n = self._rnd, self.n
        self.hit_idx = [rnd.randrange(n) for _ in range(hits)]
        self.hot_idx = rnd.sample(range(n), min(1000, n))
        self.hot_count = hot
        keyset = set(self.keys)
        self.misses = []
        while len(self.misses) < misses:
            if self.kind == "random":
                k = rnd.randbytes(16)
            else:   # same namespace and entity as a real key, a field never stored
                ns, num, _ = self.keys[rnd.randrange(n)].split(b"/", 2)
                k = b"/".join((ns, num, rnd.choice(ABSENT_FIELDS).encode()))
            if k not in keyset:
                self.misses.append(k)
        self.prefixes = []
        for _ in range(prefixes):
            k = self.keys[rnd.randrange(n)]
            self.prefixes.append(k[:self.prefix_len(k)])

    def prefix_len(self, key):
        if self.kind == "text":                     # "user/00421" -> 10 entities
            return key.index(b"/") + 6
        return max(1, round(math.log(max(self.n, 2) / 100, 256)))

    # -- derived views, computed once --
    @property
    def order(self):
        """Key positions in ascending bytewise key order."""
        if "order" not in self._cache:
            self._cache["order"] = sorted(range(self.n), key=self.keys.__getitem__)
        return self._cache["order"]

    @property
    def sorted_keys(self):
        if "skeys" not in self._cache:
            self._cache["skeys"] = [self.keys[i] for i in self.order]
        return self._cache["skeys"]

    @property
    def sorted_values(self):
        return [self.values[i] for i in self.order]

    def prefix_matches(self, p):
        """Expected (key, value) pairs for prefix ``p``, in key order."""
        sk, out = self.sorted_keys, []
        i = bisect.bisect_left(sk, p)
        while i < self.n and sk[i].startswith(p):
            out.append((sk[i], self.values[self.order[i]]))
            i += 1
        return out

    def distinct_objects_in_key_order(self):
        seen, out = set(), []
        for i in self.order:
            o = self.key_obj[i]
            if o not in seen:
                seen.add(o)
                out.append(self.objects[o])
        return out

    def describe(self):
        return ("%s keys: %s keys (%.1f key bytes/key), %s objects of %d bytes, "
                "%d%% of keys share an object, seed %d"
                % (self.kind, f"{self.n:,}", self.key_bytes / self.n,
                   f"{self.n_objects:,}", self.payload, 100 // SHARED_FRACTION, self.seed))
