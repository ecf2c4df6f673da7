"""Exceptions raised by tarndb.

The native module raises these classes directly, with their fields set. Each
also derives from the built-in class that fits, so ``except RuntimeError``
and ``except OSError`` keep working, and they pickle (a failure in a worker
process arrives whole in its parent).
"""

from __future__ import annotations

import os
from typing import Any, Optional


class TarnError(Exception):
    """Base class of the errors about store files."""


class TarnCorruptError(TarnError, RuntimeError):
    """The file is damaged or is not a store file; the message names the fault."""


class TarnVersionError(TarnError, RuntimeError):
    """The file is a store file of a format version this release cannot read."""

    def __init__(self, version: int) -> None:
        super().__init__(f"unsupported format version {version}")
        self.version = version

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.version,)


class TarnValueError(TarnError, ValueError):
    """A stored value could not be decoded: its bytes are not MessagePack, or
    it does not fit the reader's ``value_type``. ``key`` is the key it was read
    under; the decoder's own error is the ``__cause__``."""

    def __init__(self, message: str, key: Any = None) -> None:
        super().__init__(message)
        self.key = key

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (str(self), self.key)


class TarnDuplicateKeyError(TarnError, ValueError):
    """A writer that takes each key once was given ``key`` (bytes) twice: first
    for the object ``first_id``, then for ``repeat_id`` (the earliest such
    repeat the writer saw)."""

    def __init__(self, key: bytes, first_id: int, repeat_id: int) -> None:
        super().__init__(f"duplicate key {key!r}")
        self.key = key
        self.first_id = first_id
        self.repeat_id = repeat_id

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.key, self.first_id, self.repeat_id)


class TarnIOError(TarnError, OSError):
    """The operating system refused an operation.

    ``errno`` and ``strerror`` are set when the system gave an error number
    (compare ``errno`` with the ``errno`` module's constants, as for
    ``FileNotFoundError``), and ``filename`` names the file concerned. The
    message is the whole text, e.g. ``cannot open x.trnd: No such file or
    directory (os error 2)``.
    """

    def __init__(
        self, message: str, errno: Optional[int] = None, filename: Optional[str] = None
    ) -> None:
        super().__init__(message)
        self.errno = errno
        self.strerror = os.strerror(errno) if errno else None
        self.filename = filename

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (str(self), self.errno, self.filename)


class TarnStaleError(TarnError, RuntimeError):
    """A remote store's object changed since the reader opened it (a store
    republished under the same URL): a response came from another version
    (its ETag, Last-Modified or size differs from the ones pinned at open),
    so the reader refuses it rather than mix two versions' bytes.
    ``reopen()`` reads the new version. ``url`` names the object."""

    def __init__(self, message: str, url: Optional[str] = None) -> None:
        super().__init__(message)
        self.url = url

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (str(self), self.url)
