"""``TarnWriter``: collect values and keys in memory, then build one store file."""

from __future__ import annotations

import os
import re
import sys
from types import TracebackType
from typing import Any, Iterable, Optional, Type

from tarndb._codec import encode
from tarndb._errors import translate
from tarndb._publish import publish
from tarndb._tarndb import _TarnWriter
from tarndb._types import Key, StrPath, fspath_str

MAX_KEY_BYTES = 65_535
_COUNTS = re.compile(r"objects=(\d+), keys=(\d+)")


class TarnWriter:
    """An in-memory collection of objects and keys that builds one store file.

    Values are encoded with MessagePack. Each ``add``/``put`` stores a new
    object, even when its bytes equal an earlier one; to give one object
    several keys, use ``put_many`` or ``add`` plus ``add_key``. Adding a key a
    second time re-points it (the last call wins).

    Two ways to build::

        w = TarnWriter()
        w.put("k", {"a": 1})
        w.build("store.trnd")

        with TarnWriter.create("store.trnd") as w:   # builds on a clean exit
            w.put("k", {"a": 1})

    The writer keeps everything in memory until it is garbage-collected and may
    be extended and built again after a build.
    """

    __slots__ = ("_native", "_target", "_quiet")

    def __init__(self) -> None:
        self._native = _TarnWriter()
        self._target: Optional[str] = None
        self._quiet = False

    @classmethod
    def create(cls, path: StrPath, *, quiet: bool = False) -> TarnWriter:
        """A writer bound to *path*: ``with`` builds it there on a clean exit.

        When the block raises, nothing is built and *path* is untouched.
        """
        writer = cls()
        writer._target = fspath_str(path)
        writer._quiet = quiet
        return writer

    def add(self, obj: Any) -> int:
        """Store one value; return its object ID for ``add_key``."""
        return self.add_raw(encode(obj))

    def add_raw(self, data: bytes) -> int:
        """Store bytes that the caller encoded; return the object ID."""
        try:
            return self._native.add_object_raw(data if type(data) is bytes else bytes(data))
        except ValueError as exc:  # over 4 GiB - 1
            raise translate(exc) from None

    def add_key(self, key: Key, obj_id: int) -> None:
        """Map *key* to the object *obj_id*; raises ``ValueError`` for an unknown ID."""
        try:
            self._native.add_key(key, obj_id)
        except ValueError as exc:
            raise _key_problem(key) or translate(exc) from None

    def put(self, key: Key, obj: Any) -> int:
        """Store *obj* under *key*; return its object ID."""
        return self.put_many_raw((key,), encode(obj))

    def put_raw(self, key: Key, data: bytes) -> int:
        """Store caller-encoded bytes under *key*; return the object ID."""
        return self.put_many_raw((key,), data)

    def put_many(self, keys: Iterable[Key], obj: Any) -> int:
        """Store *obj* once under every key of *keys*; return its object ID."""
        return self.put_many_raw(keys, encode(obj))

    def put_many_raw(self, keys: Iterable[Key], data: bytes) -> int:
        """Store caller-encoded bytes once under every key of *keys*.

        All keys are checked before anything is stored, so a bad key leaves
        the writer unchanged.
        """
        key_list = list(keys)
        if not key_list:
            raise ValueError("no key given for the object")
        for key in key_list:
            problem = _key_problem(key)
            if problem is not None:
                raise problem
        obj_id = self.add_raw(data)
        for key in key_list:
            self._native.add_key(key, obj_id)
        return obj_id

    @property
    def num_objects(self) -> int:
        """The number of objects added so far."""
        return self._counts()[0]

    @property
    def num_keys(self) -> int:
        """The number of distinct keys added so far."""
        return self._counts()[1]

    def build(self, path: Optional[StrPath] = None, *, quiet: Optional[bool] = None) -> None:
        """Write the store file atomically and durably to *path*.

        The file is built complete and synced in a private directory beside
        *path*, then renamed over it, and the directory is synced: a reader
        of *path* sees the old file or the whole new one, never a partial
        one, also when several processes build the same path at once. After
        a failure (``TarnIOError``) *path* is unchanged and no temporary
        file is left. *path* defaults to the one given to ``create``.

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
        publish(self._native, target)
        if not (self._quiet if quiet is None else quiet):
            _print_summary(target, *self._counts())

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
        objects, keys = self._counts()
        target = "" if self._target is None else f"{self._target!r}, "
        return f"TarnWriter({target}objects={objects}, keys={keys})"

    def _counts(self) -> tuple[int, int]:
        match = _COUNTS.search(repr(self._native))
        assert match is not None
        return int(match.group(1)), int(match.group(2))


def _key_problem(key: object) -> Optional[Exception]:
    """Why *key* cannot be stored, or ``None`` when it can."""
    if isinstance(key, str):
        try:
            key = key.encode("utf-8")
        except UnicodeEncodeError as exc:
            return exc
    elif not isinstance(key, bytes):
        return TypeError(f"a key must be str or bytes, not {type(key).__name__}")
    if len(key) > MAX_KEY_BYTES:
        return ValueError(f"key of {len(key)} bytes exceeds the {MAX_KEY_BYTES}-byte limit")
    return None


def _print_summary(path: str, objects: int, keys: int) -> None:
    try:
        size_kb = os.stat(path).st_size / 1024
    except OSError:
        size_kb = 0.0
    if sys.stdout is not None:
        line = f"✅  {path}  —  {objects} objects · {keys} keys · {size_kb:.1f} KB"
        try:
            print(line)
        except UnicodeEncodeError:
            print(line.encode("ascii", "replace").decode("ascii"))
