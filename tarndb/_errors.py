"""Exceptions raised by tarndb, and their translation from the native layer.

The native module reports failures as built-in exceptions whose message
starts with the kind ("TarnCorruptError: ...", "TarnIOError: ..."). The
wrapper raises them as the classes below instead. Each also derives from the
built-in class the native layer uses, so ``except RuntimeError`` and
``except OSError`` keep working.
"""

from __future__ import annotations

import re
from typing import Optional


class TarnError(Exception):
    """Base class of the errors about store files."""


class TarnCorruptError(TarnError, RuntimeError):
    """The file is damaged or is not a store file; the message names the fault."""


class TarnVersionError(TarnError, RuntimeError):
    """The file is a store file of a format version this release cannot read."""

    def __init__(self, version: int) -> None:
        super().__init__(f"unsupported format version {version}")
        self.version = version


class TarnIOError(TarnError, OSError):
    """The operating system refused an operation; ``errno`` is set when known."""

    def __init__(self, message: str, errno: Optional[int] = None) -> None:
        super().__init__(message)
        self.errno = errno


_OS_ERROR = re.compile(r"\(os error (\d+)\)$")


def translate(exc: BaseException) -> BaseException:
    """The wrapper's exception for an exception raised by the native layer.

    Exceptions that carry no known prefix are returned unchanged.
    """
    text = str(exc)
    kind, sep, message = text.partition(": ")
    if not sep:
        return exc
    if kind == "TarnCorruptError" and isinstance(exc, RuntimeError):
        return TarnCorruptError(message)
    if kind == "TarnVersionError" and isinstance(exc, RuntimeError):
        return TarnVersionError(int(message.rsplit(" ", 1)[-1]))
    if kind == "TarnIOError" and isinstance(exc, OSError):
        match = _OS_ERROR.search(message)
        return TarnIOError(message, int(match.group(1)) if match else None)
    if kind == "TarnError" and isinstance(exc, ValueError):
        return ValueError(message)
    return exc
