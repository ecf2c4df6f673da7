"""Type aliases shared by the package's modules."""

from __future__ import annotations

import os
from typing import Any, Optional, TypeVar, TypedDict, Union

#: A key: text (stored as its UTF-8 bytes) or bytes. ``"é"`` and ``b"\xc3\xa9"``
#: are the same key.
Key = Union[str, bytes]

#: A file-system path: ``str``, ``bytes`` or any ``os.PathLike``.
StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class HashIndexStats(TypedDict):
    """The file's hash index, as ``stats()["hash_index"]`` reports it."""

    bytes: int  #: what it adds to the file
    in_use: bool  #: whether lookups go through it (a damaged one is set aside)


class HeaderStats(TypedDict):
    """The header values every reader reports, in this order."""

    path: str  #: the path the reader was opened with
    version: int  #: the format version, 2
    num_keys: int
    num_objects: int  #: objects stored by the user (not the hash index)
    index_offset: int
    data_offset: int  #: always 40
    file_size_kb: float  #: size in bytes / 1024
    file_crc32: str  #: the stored whole-file checksum, "0x" and 8 hex digits


class CompressionStats(TypedDict):
    """How a store's values are compressed, as ``stats()["compression"]`` reports it."""

    codec: str  #: "zstd"
    dictionary_bytes: int  #: the size of the dictionary stored in the file
    ratio: float  #: the values' total size before compression / after


class StoreStats(HeaderStats, total=False):
    """What ``TarnReader.stats()`` reports: the header values, then these."""

    hash_index: Optional[HashIndexStats]  #: None when the file has none
    private_bytes: int  #: this process's memory that the reader's tables take
    compression: Optional[CompressionStats]  #: None when values are stored as they are
    file_size: int  #: bytes, of the file as mapped


def fspath_str(path: StrPath) -> str:
    """The path as ``str``, the only form the native layer accepts."""
    return os.fsdecode(path)


_Self = TypeVar("_Self")


class ClosingContext:
    """``with reader:`` closes the reader at the end of the block."""

    __slots__ = ()

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()  # type: ignore[attr-defined]
