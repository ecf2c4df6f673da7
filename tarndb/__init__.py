"""tarndb: an immutable, single-file key-to-object store.

Build a store with :class:`TarnWriter`, read it with :class:`TarnReader` (a
read-only ``Mapping``). Values are MessagePack-encoded; keys are ``str`` or
``bytes``. The native extension ``tarndb._tarndb`` underneath works on raw
bytes only.
"""

from tarndb._errors import TarnCorruptError, TarnError, TarnIOError, TarnVersionError
from tarndb._reader import RawView, TarnReader
from tarndb._tarndb import __version__
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
    "TarnVersionError",
    "TarnWriter",
    "__version__",
]
