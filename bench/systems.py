"""The systems under test, tarndb and its peers, behind one small interface.

Each system states how it takes keys (``key_in``) and how it returns them
from listings (``key_out``), prepares its build input outside the timed
region (``prepare``), builds a store (``build``), opens one (``open``) and
hands out the callables that the benchmark times.  A system whose module
cannot be imported is kept, with ``missing`` set to the reason.

Key forms: tarndb and dict take ``str`` for text keys and ``bytes`` for
random keys; lmdb, sqlite3 and the dbm modules take ``bytes``; marisa-trie
takes ``str`` -- the text itself, or the hex form of a random key, because
marisa-trie 1.4 fails on keys holding a NUL character.
"""

import contextlib
import os
import pickle


def _successor(p):
    """Smallest byte string greater than every string starting with p."""
    b = bytearray(p)
    while b and b[-1] == 0xFF:
        b.pop()
    if not b:
        return None
    b[-1] += 1
    return bytes(b)


class System:
    name = ""
    suffixes = ("",)          # files of a store: path + suffix
    ordered = True            # listings come back in bytewise key order
    ops = frozenset({"build", "open", "open_get", "get_hit", "get_hot", "miss", "prefix",
                     "items", "keys", "objects", "rss_anon", "rss_file", "writer_peak",
                     "file_size"})

    def __init__(self):
        self.missing = None
        try:
            self.load()
        except ImportError as e:
            name = getattr(e, "name", None)
            self.missing = "no %s" % name if name else str(e)

    def load(self):
        pass

    def version(self):
        return ""

    def key_in(self, kind, b):
        return b

    def key_out(self, kind, b):
        return self.key_in(kind, b)

    def files(self, path):
        return [path + s for s in self.suffixes]

    def remove(self, path):
        for f in self.files(path):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(f)

    def value(self, raw):
        """The payload from what ``get`` returned."""
        return raw

    def close(self, h):
        pass

    prefix = None             # systems without ordered prefix scans


class Tarn(System):
    """tarndb through the package's native classes (tarndb._store), values
    as stored bytes: what ``TarnWriter``/``TarnReader.raw`` run."""
    name = "tarndb"
    ops = System.ops | {"open_verify", "crc_open", "verify", "build_batch", "get_many"}

    def load(self):
        from tarndb import _store
        self.mod = _store

    def version(self):
        return self.mod.__version__

    def key_in(self, kind, b):
        return b.decode() if kind == "text" else b

    def key_out(self, kind, b):
        return b.decode("utf-8", "replace")

    def prepare(self, ds):
        return ds.objects, [self.key_in(ds.kind, k) for k in ds.keys], ds.key_obj

    def build(self, args, path):
        objects, keys, key_obj = args
        w = self.mod.Writer()
        add_raw = w.add_raw
        last = -1
        for o in objects:
            last = add_raw(o)
        if last != len(objects) - 1:           # IDs are dense: the data set's own indexes
            raise AssertionError("add_raw returned ID %d for object %d" % (last, len(objects) - 1))
        add_key = w.add_key
        for k, o in zip(keys, key_obj):
            add_key(k, o)
        w.build(path)

    def prepare_batch(self, ds):
        return list(zip(ds.sorted_keys, ds.sorted_values))

    def build_batch(self, pairs, path):
        w = self.mod.Writer()
        w.update_raw(pairs)
        w.build(path)

    def open(self, path, verify=False):
        return self.mod.Reader(path, verify)

    def get(self, h):
        return h.get

    def get_many(self, h):
        return h.get_many

    def exists(self, h):
        return h.__contains__

    def prefix(self, h):
        return lambda p: list(h.prefix(p))

    def items(self, h):
        return lambda: list(h._items())

    def keys(self, h):
        return lambda: list(h)

    def values(self, h):
        return lambda: list(h.objects())


class Dict(System):
    """The in-memory ceiling; its open/load is building it."""
    name = "dict"
    ordered = False
    ops = (System.ops - {"prefix", "file_size"}) | {"build_batch", "get_many"}

    def prepare_batch(self, ds):
        return [(self.key_in(ds.kind, k), v) for k, v in zip(ds.sorted_keys, ds.sorted_values)]

    def build_batch(self, pairs, path):
        return dict(pairs)

    def get_many(self, d):
        get = d.get
        return lambda keys: [get(k) for k in keys]

    key_in = Tarn.key_in

    def prepare(self, ds):
        return [self.key_in(ds.kind, k) for k in ds.keys], ds.values

    def build(self, args, path):
        self.built = dict(zip(*args))
        return self.built

    def open(self, path, verify=False):
        return self.built

    def files(self, path):
        return []

    def get(self, d):
        return d.get

    def exists(self, d):
        return d.__contains__

    def items(self, d):
        return lambda: list(d.items())

    def keys(self, d):
        return lambda: list(d)

    def values(self, d):
        return lambda: list(d.values())


class Lmdb(System):
    """py-lmdb: one write transaction, put(append=True) over sorted keys
    (putmulti(append=True) for the batch build), committed with LMDB's
    default fsync; lookups inside one read transaction."""
    name = "lmdb"
    suffixes = ("", "-lock")
    ops = System.ops | {"build_batch", "get_many"}

    def load(self):
        import lmdb
        self.mod = lmdb

    def version(self):
        return "py-lmdb %s, LMDB %s" % (self.mod.__version__, ".".join(map(str, self.mod.version())))

    def prepare(self, ds):
        # Generous map size: LMDB only grows the file as far as it is used.
        need = ds.n * (ds.payload + 64) + ds.key_bytes
        return ds.sorted_keys, ds.sorted_values, max(4 * need, 64 << 20)

    def build(self, args, path):
        keys, values, map_size = args
        env = self.mod.open(path, subdir=False, map_size=map_size)
        with env.begin(write=True) as txn:
            put = txn.put
            for k, v in zip(keys, values):
                put(k, v, append=True)
        env.close()

    def prepare_batch(self, ds):
        return list(zip(ds.sorted_keys, ds.sorted_values)), self.prepare(ds)[2]

    def build_batch(self, args, path):
        pairs, map_size = args
        env = self.mod.open(path, subdir=False, map_size=map_size)
        with env.begin(write=True) as txn:
            with txn.cursor() as cur:
                cur.putmulti(pairs, append=True)
        env.close()

    def open(self, path, verify=False):
        env = self.mod.open(path, subdir=False, readonly=True, lock=False)
        return env, env.begin(buffers=False)

    def get_many(self, h):
        cur = h[1].cursor()
        if hasattr(cur, "getmulti"):                           # py-lmdb 1.1 and later
            return lambda keys: [v for _, v in cur.getmulti(keys)]
        get = h[1].get
        return lambda keys: [get(k) for k in keys]

    def close(self, h):
        h[1].abort()
        h[0].close()

    def get(self, h):
        return h[1].get

    exists = get              # no presence test in the API: get() is None

    def prefix(self, h):
        cur = h[1].cursor()

        def prefix(p):
            out = []
            if cur.set_range(p):
                for k, v in cur:
                    if not k.startswith(p):
                        break
                    out.append((k, v))
            return out
        return prefix

    def items(self, h):
        return lambda: list(h[1].cursor().iternext())

    def keys(self, h):
        return lambda: list(h[1].cursor().iternext(values=False))

    def values(self, h):
        return lambda: list(h[1].cursor().iternext(keys=False))


class DbmGnu(System):
    name = "dbm.gnu"
    ordered = False
    ops = System.ops - {"prefix"}

    def load(self):
        import dbm.gnu
        self.mod = dbm.gnu

    def prepare(self, ds):
        return ds.keys, ds.values

    def build(self, args, path):
        db = self.mod.open(path, "nf")
        for k, v in zip(*args):
            db[k] = v
        db.close()

    def open(self, path, verify=False):
        return self.mod.open(path, "r")

    def close(self, db):
        db.close()

    def get(self, db):
        return db.get

    def exists(self, db):
        return db.__contains__

    def items(self, db):
        return lambda: [(k, db[k]) for k in db.keys()]

    def keys(self, db):
        return db.keys

    def values(self, db):
        return lambda: [db[k] for k in db.keys()]


class DbmDumb(DbmGnu):
    name = "dbm.dumb"
    suffixes = (".dat", ".dir", ".bak")

    def load(self):
        import dbm.dumb
        self.mod = dbm.dumb

    def build(self, args, path):
        db = self.mod.open(path, "n")
        for k, v in zip(*args):
            db[k] = v
        db.close()

    def items(self, db):
        return db.items


class Sqlite(System):
    """sqlite3: WITHOUT ROWID table, executemany in one transaction over
    sorted keys; lookups inside one read transaction."""
    name = "sqlite3"
    suffixes = ("", "-journal")

    def load(self):
        import sqlite3
        self.mod = sqlite3

    def version(self):
        return "SQLite %s" % self.mod.sqlite_version

    def prepare(self, ds):
        return ds.sorted_keys, ds.sorted_values

    def build(self, args, path):
        con = self.mod.connect(path, isolation_level=None)
        con.execute("CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID")
        con.execute("BEGIN")
        con.executemany("INSERT INTO kv VALUES (?, ?)", zip(*args))
        con.execute("COMMIT")
        con.close()

    def open(self, path, verify=False):
        con = self.mod.connect("file:%s?mode=ro" % path, uri=True, isolation_level=None)
        con.execute("BEGIN")
        return con

    def close(self, con):
        con.execute("COMMIT")
        con.close()

    def get(self, con):
        ex = con.execute

        def get(k):
            row = ex("SELECT v FROM kv WHERE k = ?", (k,)).fetchone()
            return row[0] if row else None
        return get

    def exists(self, con):
        ex = con.execute
        return lambda k: ex("SELECT 1 FROM kv WHERE k = ?", (k,)).fetchone() is not None

    def prefix(self, con):
        ex = con.execute

        def prefix(p):
            hi = _successor(p)
            if hi is None:
                return ex("SELECT k, v FROM kv WHERE k >= ?", (p,)).fetchall()
            return ex("SELECT k, v FROM kv WHERE k >= ? AND k < ?", (p, hi)).fetchall()
        return prefix

    def items(self, con):
        return lambda: con.execute("SELECT k, v FROM kv ORDER BY k").fetchall()

    def keys(self, con):
        return lambda: [k for (k,) in con.execute("SELECT k FROM kv ORDER BY k")]

    def values(self, con):
        return lambda: [v for (v,) in con.execute("SELECT v FROM kv ORDER BY k")]


class Marisa(System):
    """marisa-trie BytesTrie, saved to a file and opened with mmap."""
    name = "marisa"
    ordered = False

    def load(self):
        import marisa_trie
        self.mod = marisa_trie

    def version(self):
        from importlib.metadata import version
        return "marisa-trie %s" % version("marisa-trie")

    def key_in(self, kind, b):
        return b.decode() if kind == "text" else b.hex()

    def prepare(self, ds):
        return [self.key_in(ds.kind, k) for k in ds.keys], ds.values

    def build(self, args, path):
        self.mod.BytesTrie(zip(*args)).save(path)

    def open(self, path, verify=False):
        return self.mod.BytesTrie().mmap(path)

    def value(self, raw):
        return raw[0] if raw else None

    def get(self, t):
        return t.get

    def exists(self, t):
        return t.__contains__

    def prefix(self, t):
        return t.items

    def items(self, t):
        return t.items

    def keys(self, t):
        return t.keys

    def values(self, t):
        return lambda: [v for _, v in t.items()]


class Pickle(System):
    """A pickled dict: only build (pickle.dump) and open (pickle.load)."""
    name = "pickle"
    ops = frozenset({"build", "open", "open_get", "rss_anon", "rss_file", "writer_peak",
                     "file_size"})

    key_in = Tarn.key_in

    def version(self):
        return "protocol %d" % pickle.HIGHEST_PROTOCOL

    def prepare(self, ds):
        return dict(zip((self.key_in(ds.kind, k) for k in ds.keys), ds.values))

    def build(self, d, path):
        with open(path, "wb") as f:
            pickle.dump(d, f, protocol=pickle.HIGHEST_PROTOCOL)

    def open(self, path, verify=False):
        with open(path, "rb") as f:
            return pickle.load(f)

    def get(self, d):
        return d.get


ALL = (Tarn, Dict, Lmdb, DbmGnu, DbmDumb, Sqlite, Marisa, Pickle)
NAMES = tuple(c.name for c in ALL)


def by_name(name):
    for cls in ALL:
        if cls.name == name:
            return cls()
    raise KeyError(name)
