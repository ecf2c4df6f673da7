"""Type aliases shared by the package's modules."""

from __future__ import annotations

import os
from typing import TypedDict, Union

#: A key: text (stored as its UTF-8 bytes) or bytes. ``"é"`` and ``b"\xc3\xa9"``
#: are the same key.
Key = Union[str, bytes]

#: A file-system path: ``str``, ``bytes`` or any ``os.PathLike``.
StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class StoreStats(TypedDict):
    """What ``stats()`` reports: header values of the file, in this order."""

    path: str  #: the path the reader was opened with
    version: int  #: the format version, 2
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int  #: always 40
    file_size_kb: float  #: size in bytes / 1024
    file_crc32: str  #: the stored whole-file checksum, "0x" and 8 hex digits


def fspath_str(path: StrPath) -> str:
    """The path as ``str``, the only form the native layer accepts."""
    return os.fsdecode(path)
