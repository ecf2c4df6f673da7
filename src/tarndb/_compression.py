"""Values compressed with zstd and a dictionary trained on them.

A compressed store says so in a section of its extension block, ``VCDC``
version 1 (all integers big-endian):

    u8 name_len | name (ASCII, "zstd") | u64 raw_bytes | u64 stored_bytes |
    u32 dict_len | u32 dict_crc32 | dictionary (a zstd dictionary; empty: none)

``raw_bytes`` and ``stored_bytes`` are the values' total size before and
after compression; ``dict_crc32`` is the CRC-32 of the dictionary, checked
whenever a reader loads it. Every value is one zstd frame made with the
dictionary, in zstd's magicless format (the frame without its 4-byte magic
number), without a dictionary ID and with the content size: 8 bytes fewer
per value than a plain frame, which counts for values of a few dozen
bytes. A reader that knows nothing of this reads every key and an object
for it: the compressed bytes. The zstd binding is the ``zstandard``
package, an optional extra (``pip install 'tarndb[zstd]'``).
"""

from __future__ import annotations

import threading
from typing import Any, Callable, List, Optional, Tuple

from tarndb._store import _decode_codec, _encode_codec

SECTION, VERSION = b"VCDC", 1
CODEC = "zstd"
# How much a writer collects to train its dictionary on before it compresses
# anything, and the bounds of the dictionary's size (a sixteenth of the
# sample: small data sets get a small dictionary, which the file must hold).
SAMPLE_BYTES, SAMPLE_VALUES = 4 << 20, 100_000
MIN_DICT_SIZE, MAX_DICT_SIZE = 1 << 10, 16 << 10
DEFAULT_LEVEL = 9  # written once, read many times; above it small values gain little


def _zstd() -> Any:
    try:
        import zstandard
    except ImportError:
        raise ImportError("compressed stores need the zstandard package: "
                          "pip install 'tarndb[zstd]'") from None
    return zstandard


def encode_section(dictionary: bytes, raw_bytes: int, stored_bytes: int) -> bytes:
    return _encode_codec(CODEC, dictionary, raw_bytes, stored_bytes)


def decode_section(data: bytes) -> Tuple[str, bytes, int, int]:
    """(codec name, dictionary, raw bytes, stored bytes) of a VCDC section;
    TarnCorruptError when it is damaged."""
    return _decode_codec(data)


def read_codec(reader: Any) -> Optional[Tuple[str, bytes, int, int]]:
    """The value codec a store's extension block names, or None."""
    data = reader._section(SECTION, VERSION)
    return None if data is None else decode_section(data)


def _dictionary(zstd: Any, dictionary: bytes) -> Any:
    return zstd.ZstdCompressionDict(dictionary) if dictionary else None


def train(samples: List[bytes]) -> bytes:
    """A zstd dictionary for values like *samples*, or b"" when they are too
    few or too alike to train one."""
    zstd = _zstd()
    if len(samples) < 8:
        return b""
    size = min(max(sum(map(len, samples)) // 16, MIN_DICT_SIZE), MAX_DICT_SIZE)
    try:
        return zstd.train_dictionary(size, samples).as_bytes()  # type: ignore[no-any-return]
    except zstd.ZstdError:
        return b""


def compressor(dictionary: bytes, level: int = DEFAULT_LEVEL) -> Callable[[bytes], bytes]:
    zstd = _zstd()
    params = zstd.ZstdCompressionParameters.from_level(
        level, format=zstd.FORMAT_ZSTD1_MAGICLESS, write_content_size=True, write_dict_id=False,
        write_checksum=False)
    return zstd.ZstdCompressor(compression_params=params,  # type: ignore[no-any-return]
                               dict_data=_dictionary(zstd, dictionary)).compress


def missing_codec_decoder(exc: ImportError) -> Callable[[bytes], Any]:
    """A decode function that raises *exc* (the codec's package is not
    installed) for every value: a reader with it lists keys, checks and
    reports on its store, and says what to install when a value is read."""

    def decode_nothing(data: bytes) -> Any:
        raise exc

    return decode_nothing


def frame_content_size(frame: bytes) -> Optional[int]:
    """The size a magicless zstd frame says its content has, from its header,
    or None when the header states none (or is cut short)."""
    if not frame:
        return None
    descriptor = frame[0]
    fcs_flag, single_segment, dict_flag = descriptor >> 6, (descriptor >> 5) & 1, descriptor & 3
    at = 1 + (0 if single_segment else 1) + (0, 1, 2, 4)[dict_flag]
    width = (1 if single_segment else 0, 2, 4, 8)[fcs_flag]
    if width == 0 or len(frame) < at + width:
        return None
    size = int.from_bytes(frame[at:at + width], "little")
    return size + 256 if width == 2 else size


def check_frame(frame: bytes, limit: int) -> None:
    """Refuse a frame that states no content size, or one larger than limit
    (the store's values together): it would make the decompressor allocate
    what the frame claims."""
    size = frame_content_size(frame)
    if size is None or size > limit:
        stated = "no size" if size is None else f"{size} bytes"
        raise ValueError(f"the compressed value states {stated}; the store's values hold "
                         f"{limit} bytes in all")


def value_decoder(name: str, dictionary: bytes, decode: Callable[[bytes], Any],
                  raw_bytes: int) -> Callable[[bytes], Any]:
    """The decode function of a reader of values compressed with codec *name*:
    check the frame's stated size against *raw_bytes* (the values' total),
    decompress, then *decode*. One zstd context per thread, since a context
    serves one call at a time; one Python frame per value, which a lookup
    pays on top of the decompression itself."""
    if name != CODEC:
        from tarndb._errors import TarnCorruptError
        raise TarnCorruptError(f"values are compressed with {name!r}, which this release "
                               "cannot read")
    zstd = _zstd()
    d = _dictionary(zstd, dictionary)
    local = threading.local()

    def context() -> Callable[[bytes], bytes]:
        local.ctx = zstd.ZstdDecompressor(dict_data=d, format=zstd.FORMAT_ZSTD1_MAGICLESS).decompress
        return local.ctx  # type: ignore[no-any-return]

    def decompress_and_decode(data: bytes) -> Any:
        try:
            ctx = local.ctx
        except AttributeError:
            ctx = context()
        check_frame(data, raw_bytes)
        return decode(ctx(data))

    return decompress_and_decode
