"""``TarnWriter``: collect values and keys, then build one store file."""

from __future__ import annotations

import sys
from types import TracebackType
from typing import Optional, Tuple, Type

from tarndb import _compression
from tarndb._codec import encode
from tarndb._compressed_values import ROUTED_CALLS, CompressedValues
from tarndb._store import Writer
from tarndb._types import StrPath, fspath_str


class TarnWriter(Writer):
    """A collection of objects and keys that builds one store file.

    Values are encoded with MessagePack. Each ``add``/``put`` stores a new
    object, even when its bytes equal an earlier one; to give one object
    several keys, use ``put_many`` or ``add`` plus ``add_key``. Adding a key a
    second time re-points it (the last call wins). ``update``/``update_raw``
    store a whole mapping or iterable of pairs in one call.

    Two ways to build::

        w = TarnWriter()
        w.put("k", {"a": 1})
        w.build("store.trnd")

        with TarnWriter.create("store.trnd") as w:   # builds on a clean exit
            w.put("k", {"a": 1})

    Values go to disk as they are added, and keys beyond *memory_limit*
    bytes (default 256 MiB) go to disk as sorted runs that ``build`` merges,
    so a writer builds stores larger than memory. Its files are unnamed
    temporary files: in *spill_dir* (default: the system's temporary
    directory), and for a writer made by ``create`` the values go straight
    into the target's directory, where ``build`` gives them a name. They
    vanish when the writer is garbage-collected or the process ends,
    however it ends (a process killed in the moment between naming the
    finished file and renaming it over the target leaves it under its
    temporary name, for the next build to replace). The writer may be
    extended and built again after a build.

    *hash_index* (default true) adds a hash index to the store, which lets
    readers look keys up without building a table of their own first; with
    it false the file holds exactly the base format.

    ``delete(key)`` and ``delete_many(keys)`` record tombstones: the file
    built is then a *delta*, a layer that deletes those keys from the
    layers below it when read with ``tarndb.open([delta, ..., base])``.
    Within one writer the last put or delete of a key wins. A delta always
    gets a key filter (a small Bloom filter over its keys that lets layered
    reads skip it); *filter* true gives one to any file. A reader of one
    file alone sees a delta's puts.

    *compression* ``"zstd"`` stores every value compressed with a zstd
    dictionary trained on the first values added (up to 4 MiB or 100,000 of
    them, held back in memory until then), or with *dictionary* when given
    (bytes of a zstd dictionary, e.g. from ``zstandard.train_dictionary``).
    The dictionary is stored in the file; readers decompress transparently.
    *compression_level* is zstd's level (default 9). Needs the
    ``zstandard`` package: ``pip install 'tarndb[zstd]'``.
    """

    # A compressed writer's calls that carry values are its encoder's, set on
    # the instance (its __dict__); a plain writer's stay the native methods,
    # with no Python frame per call.
    __slots__ = ("_target", "_quiet", "_values", "__dict__", "__weakref__")

    def __new__(
        cls,
        *,
        memory_limit: Optional[int] = None,
        spill_dir: Optional[StrPath] = None,
        hash_index: bool = True,
        compression: Optional[str] = None,
        dictionary: Optional[bytes] = None,
        compression_level: Optional[int] = None,
        filter: bool = False,
        _target: Optional[str] = None,
        _unique_keys: bool = False,
    ) -> TarnWriter:
        # The native base takes its options as it is made; None picks the
        # core's own defaults (budget, spill directory).
        return super().__new__(cls, encode, memory_limit=memory_limit, spill_dir=spill_dir,
                               hash_index=hash_index, target=_target, unique_keys=_unique_keys,
                               filter=filter)

    def __init__(
        self,
        *,
        memory_limit: Optional[int] = None,
        spill_dir: Optional[StrPath] = None,
        hash_index: bool = True,
        compression: Optional[str] = None,
        dictionary: Optional[bytes] = None,
        compression_level: Optional[int] = None,
        filter: bool = False,
        _target: Optional[str] = None,
        _unique_keys: bool = False,
    ) -> None:
        self._target = _target
        self._quiet = False
        self._values: Optional[CompressedValues] = None
        if compression is not None or dictionary is not None:
            self._values = _compressed_values(self, compression, dictionary, compression_level,
                                              memory_limit)
            for name in ROUTED_CALLS:
                setattr(self, name, getattr(self._values, name))

    @classmethod
    def create(
        cls,
        path: StrPath,
        *,
        quiet: bool = False,
        memory_limit: Optional[int] = None,
        spill_dir: Optional[StrPath] = None,
        hash_index: bool = True,
        compression: Optional[str] = None,
        dictionary: Optional[bytes] = None,
        compression_level: Optional[int] = None,
        filter: bool = False,
    ) -> TarnWriter:
        """A writer bound to *path*: ``with`` builds it there on a clean exit.

        Values are written into *path*'s directory as they are added, so the
        build has nothing left to copy. When the block raises, nothing is
        built and *path* is untouched. A *path* that names a directory, a
        device, a FIFO or a socket is refused at once (``TarnIOError``). The
        other arguments are as for ``TarnWriter()``.
        """
        target = fspath_str(path)
        writer = cls(memory_limit=memory_limit, spill_dir=spill_dir, hash_index=hash_index,
                     compression=compression, dictionary=dictionary,
                     compression_level=compression_level, filter=filter, _target=target)
        writer._quiet = quiet
        return writer

    def build(self, path: Optional[StrPath] = None, *, quiet: Optional[bool] = None) -> None:
        """Write the store file atomically and durably to *path*.

        The index is appended to the values already on disk, the file is
        synced, named ``<stem>.trnd.tmp`` beside *path* under an exclusive
        lock (a shortened name with a hash when that would be too long;
        values spilled on another file system are copied there first),
        renamed over *path*, and the directory is synced: a reader of *path*
        sees the old file or the whole new one, never a partial one, also
        when several processes build the same path at once. The new file
        takes the permission bits of the one it replaces. *path* must be a
        regular file, a symbolic link (which is replaced) or absent; a
        directory, device, FIFO or socket is refused before anything is
        written. After a failure (``TarnIOError``, naming the file) *path* is
        unchanged, what the build wrote is freed, no file is left behind and
        the writer can build again. *path* defaults to the one given to
        ``create``.

        The interpreter lock is released while the build writes, syncs and
        waits for another builder; meanwhile other calls on this writer raise
        ``RuntimeError``. Interrupted (Ctrl-C, or another signal whose
        handler raises) before the file is renamed into place, the build
        stops and raises that exception with *path* unchanged; after the
        rename it completes, and Python raises the interrupt once the native
        build has returned.

        Prints one summary line on ``sys.stdout``
        ("✅  path  —  N objects · K keys · S KB") unless *quiet* is true
        (default: false, or what ``create`` was given).
        """
        if path is None:
            if self._target is None:
                raise TypeError("build() needs a path: this writer was not made by create()")
            target = self._target
        else:
            target = fspath_str(path)
        objects, keys, size = self._build(target)
        if not (self._quiet if quiet is None else quiet):
            _print_summary(target, objects, keys, size)

    def _build(self, path: str) -> Tuple[int, int, int]:
        """Build at *path*; returns (objects, keys, bytes)."""
        if self._values is not None:
            self._values.finish()
        return super().build(path)

    @property
    def num_objects(self) -> int:
        """Objects stored so far (those held back to train a dictionary included)."""
        if self._values is not None:
            return self._values.num_objects()
        return super().num_objects

    @property
    def num_keys(self) -> int:
        """Distinct keys added so far."""
        if self._values is not None:
            return self._values.num_keys()
        return super().num_keys

    def __enter__(self) -> TarnWriter:
        if self._target is None:
            raise TypeError("only a writer made by TarnWriter.create(path) is a context manager")
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        if exc_type is None:
            self.build()

    def __repr__(self) -> str:
        target = "" if self._target is None else f"{self._target!r}, "
        return f"TarnWriter({target}objects={self.num_objects}, keys={self.num_keys})"


def _compressed_values(writer: TarnWriter, compression: Optional[str], dictionary: Optional[bytes],
                       level: Optional[int], memory_limit: Optional[int]) -> CompressedValues:
    if compression not in (None, "zstd"):
        raise ValueError(f"unknown compression {compression!r} (there is \"zstd\")")
    _compression._zstd()  # the extra is needed: say so now, not at the first value
    return CompressedValues(writer, None if dictionary is None else bytes(dictionary), level,
                            memory_limit)


def _print_summary(path: str, objects: int, keys: int, size: int) -> None:
    if sys.stdout is None:
        return
    line = f"✅  {path}  —  {objects} objects · {keys} keys · {size / 1024:.1f} KB"
    try:
        print(line)
    except UnicodeEncodeError:
        print(line.encode("ascii", "replace").decode("ascii"))
