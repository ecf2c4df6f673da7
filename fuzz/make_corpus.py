"""Write the seed corpus: small stores made by the writer, covering empty
stores, empty keys and payloads, shared objects, unreferenced objects,
non-ASCII keys and long keys, each without and with the hash index. Run from
anywhere: python fuzz/make_corpus.py"""

import os
import random

from tarndb import _store

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def build(name, objects, keys):
    for hash_index in (False, True):
        w = _store.Writer(hash_index=hash_index)
        for payload in objects:
            w.add_raw(payload)
        for key, obj_id in keys:
            w.add_key(key, obj_id)
        w.build(os.path.join(HERE, ("hashed-" if hash_index else "") + name))


def main():
    os.makedirs(HERE, exist_ok=True)
    rng = random.Random(7)
    build("empty.trnd", [], [])
    build("example.trnd", [b"abc"], [("k", 0)])
    build("empties.trnd", [b"", b"x"], [("", 0), (b"\x00", 1), ("\u00e9", 0)])
    build("shared.trnd", [b"one", b"two", b"spare"], [("a", 1), ("ab", 1), ("b", 0), ("abc", 0)])
    build("prefixes.trnd", [rng.randbytes(rng.randrange(20)) for _ in range(30)],
          [("user/%03d/%s" % (i, s), i) for i in range(30) for s in ("a", "profile")])
    build("binary.trnd", [rng.randbytes(40) for _ in range(8)],
          [(rng.randbytes(rng.randrange(1, 12)), rng.randrange(8)) for _ in range(20)])
    build("longkey.trnd", [b"v"], [("L" * 300, 0), ("L" * 299, 0)])


if __name__ == "__main__":
    main()
