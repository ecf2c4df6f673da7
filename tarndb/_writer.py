"""``TarnWriter``: collect values and keys, then build one store file."""

from __future__ import annotations

import sys
from types import TracebackType
from typing import Optional, Type

from tarndb._codec import encode
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

    The writer keeps everything in memory until it is garbage-collected and may
    be extended and built again after a build.
    """

    __slots__ = ("_target", "_quiet")

    def __new__(cls, *, hash_index: bool = True) -> TarnWriter:
        return super().__new__(cls, encode, hash_index)

    def __init__(self, *, hash_index: bool = True) -> None:
        self._target: Optional[str] = None
        self._quiet = False

    @classmethod
    def create(cls, path: StrPath, *, quiet: bool = False, hash_index: bool = True) -> TarnWriter:
        """A writer bound to *path*: ``with`` builds it there on a clean exit.

        When the block raises, nothing is built and *path* is untouched.
        """
        writer = cls(hash_index=hash_index)
        writer._target = fspath_str(path)
        writer._quiet = quiet
        return writer

    def build(self, path: Optional[StrPath] = None, *, quiet: Optional[bool] = None) -> None:
        """Write the store file atomically and durably to *path*.

        The file is written to ``<stem>.trnd.tmp`` beside *path* under an
        exclusive lock, synced, renamed over *path*, and the directory is
        synced: a reader of *path* sees the old file or the whole new one,
        never a partial one, also when several processes build the same
        path at once. After a failure (``TarnIOError``) *path* is unchanged;
        the temporary file may be left behind and is reused by the next
        build. *path* defaults to the one given to ``create``.

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
        objects, keys, size = super().build(target)
        if not (self._quiet if quiet is None else quiet):
            _print_summary(target, objects, keys, size)

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


def _print_summary(path: str, objects: int, keys: int, size: int) -> None:
    if sys.stdout is None:
        return
    line = f"✅  {path}  —  {objects} objects · {keys} keys · {size / 1024:.1f} KB"
    try:
        print(line)
    except UnicodeEncodeError:
        print(line.encode("ascii", "replace").decode("ascii"))
