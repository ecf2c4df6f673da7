"""Values compressed with zstd and a dictionary trained on them.

A compressed store says so in a section of its extension block, ``VCDC``
version 1 (all integers big-endian):

    u8 name_len | name (ASCII, "zstd") | u64 raw_bytes | u64 stored_bytes |
    u32 dict_len | dictionary (a zstd dictionary; empty: none)

``raw_bytes`` and ``stored_bytes`` are the values' total size before and
after compression. Every value is one zstd frame made with the dictionary;
a reader that knows nothing of this reads every key and an object for it:
the compressed bytes. The zstd binding is the ``zstandard`` package, an
optional extra (``pip install 'tarndb[zstd]'``).
"""

from __future__ import annotations

import struct
import threading
from typing import Any, Callable, Iterable, List, Optional, Tuple

SECTION, VERSION = b"VCDC", 1
CODEC = "zstd"
# How much a writer collects to train its dictionary on before it compresses
# anything, and the dictionary's size.
SAMPLE_BYTES, SAMPLE_VALUES, DICT_SIZE = 4 << 20, 100_000, 16 << 10
LEVEL = 19  # values are written once and read many times


def _zstd() -> Any:
    try:
        import zstandard
    except ImportError:
        raise ImportError("compressed stores need the zstandard package: "
                          "pip install 'tarndb[zstd]'") from None
    return zstandard


def encode_section(dictionary: bytes, raw_bytes: int, stored_bytes: int) -> bytes:
    name = CODEC.encode("ascii")
    return (struct.pack(">B", len(name)) + name + struct.pack(">QQI", raw_bytes, stored_bytes,
                                                              len(dictionary)) + dictionary)


def decode_section(data: bytes) -> Tuple[str, bytes, int, int]:
    """(codec name, dictionary, raw bytes, stored bytes) of a VCDC section."""
    try:
        (name_len,) = struct.unpack_from(">B", data, 0)
        name = data[1:1 + name_len].decode("ascii")
        raw, stored, dict_len = struct.unpack_from(">QQI", data, 1 + name_len)
        start = 1 + name_len + 20
        dictionary = data[start:start + dict_len]
        if len(dictionary) != dict_len:
            raise ValueError("the dictionary is cut short")
    except (struct.error, UnicodeDecodeError, ValueError) as exc:
        from tarndb._errors import TarnCorruptError
        raise TarnCorruptError(f"value codec section damaged: {exc}") from None
    return name, dictionary, raw, stored


def read_codec(reader: Any) -> Optional[Tuple[str, bytes, int, int]]:
    """The value codec a store's extension block names, or None."""
    data = reader._section(SECTION, VERSION)
    return None if data is None else decode_section(data)


def train(samples: List[bytes]) -> bytes:
    """A zstd dictionary for values like *samples*, or b"" when they are too
    few or too alike to train one."""
    zstd = _zstd()
    if len(samples) < 8:
        return b""
    try:
        return zstd.train_dictionary(DICT_SIZE, samples).as_bytes()  # type: ignore[no-any-return]
    except zstd.ZstdError:
        return b""


def compressor(dictionary: bytes) -> Callable[[bytes], bytes]:
    zstd = _zstd()
    d = zstd.ZstdCompressionDict(dictionary) if dictionary else None
    return zstd.ZstdCompressor(level=LEVEL, dict_data=d, write_content_size=True).compress  # type: ignore[no-any-return]


def decompressor(name: str, dictionary: bytes) -> Callable[[bytes], bytes]:
    """A decompress function for values of codec *name*; one zstd context
    per thread, since a context serves one call at a time."""
    if name != CODEC:
        from tarndb._errors import TarnCorruptError
        raise TarnCorruptError(f"values are compressed with {name!r}, which this release "
                               "cannot read")
    zstd = _zstd()
    d = zstd.ZstdCompressionDict(dictionary) if dictionary else None
    local = threading.local()

    def decompress(data: bytes) -> bytes:
        try:
            return local.ctx(data)  # type: ignore[no-any-return]
        except AttributeError:
            local.ctx = zstd.ZstdDecompressor(dict_data=d).decompress
            return local.ctx(data)  # type: ignore[no-any-return]

    return decompress


def compose(decompress: Callable[[bytes], bytes],
            decode: Optional[Callable[[bytes], Any]]) -> Callable[[bytes], Any]:
    if decode is None:
        return decompress
    return lambda data: decode(decompress(data))


class Trainer:
    """Values held back until there are enough to train a dictionary on."""

    def __init__(self, dictionary: Optional[bytes] = None) -> None:
        self.samples: List[bytes] = []
        self.size = 0
        self.dictionary = dictionary
        self.compress: Optional[Callable[[bytes], bytes]] = (
            compressor(dictionary) if dictionary is not None else None)
        self.raw_bytes = self.stored_bytes = 0

    def full(self) -> bool:
        return self.size >= SAMPLE_BYTES or len(self.samples) >= SAMPLE_VALUES

    def trained(self, samples: Iterable[bytes]) -> Callable[[bytes], bytes]:
        self.dictionary = train(list(samples))
        self.compress = compressor(self.dictionary)
        return self.compress

    def count(self, raw: int, stored: int) -> None:
        self.raw_bytes += raw
        self.stored_bytes += stored
