"""tarndb: an immutable, single-file key-to-object store.

Build a store with :class:`TarnWriter`, read it with :class:`TarnReader` (a
read-only ``Mapping``). Values are MessagePack-encoded; keys are ``str`` or
``bytes``. Both classes build on the native module ``tarndb._store``.
"""

from tarndb._errors import (
    TarnCorruptError,
    TarnError,
    TarnIOError,
    TarnValueError,
    TarnVersionError,
)
from tarndb._reader import RawView, TarnReader
from tarndb._store import __version__
from tarndb._types import Key, StoreStats, StrPath
from tarndb._writer import TarnWriter

__all__ = [
    "Key",
    "RawView",
    "StoreStats",
    "StrPath",
    "TarnCorruptError",
    "TarnError",
    "TarnIOError",
    "TarnReader",
    "TarnValueError",
    "TarnVersionError",
    "TarnWriter",
    "__version__",
]
