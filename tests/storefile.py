"""A small, independent pure-Python model of the store file format.

Tests use it to cross-check the extension (what the writer produces, what
the reader accepts) and to craft damaged or hostile files byte by byte.

Header (40 bytes, big-endian):
     0  magic b"TRND"       4  version u8 (2)     5  reserved1[3]
     8  num_keys u32       12  num_objects u32
    16  index_offset u64   24  data_offset u64 (40)
    32  file_crc32 u32     36  reserved2 u32
Data section from 40: per object  length u32 | crc32 u32 | payload
Index section from index_offset:  key_len u16 | key | offset u64
file_crc32 = zlib.crc32 of bytes [40, end).
"""

from __future__ import annotations

import struct
import zlib

HEADER_SIZE = 40
MAGIC_POS, VERSION_POS = 0, 4
NUM_KEYS_POS, NUM_OBJECTS_POS = 8, 12
INDEX_OFFSET_POS, DATA_OFFSET_POS = 16, 24
FILE_CRC_POS = 32


def encode_store(objects: list[bytes], keymap: dict[bytes, int]) -> bytes:
    """The exact file a writer must produce for these objects and keys."""
    data = bytearray()
    offsets = []
    for payload in objects:
        offsets.append(HEADER_SIZE + len(data))
        data += struct.pack(">II", len(payload), zlib.crc32(payload)) + payload
    index = bytearray()
    for key in sorted(keymap):  # Python sorts bytes unsigned, shorter first
        index += struct.pack(">H", len(key)) + key + struct.pack(">Q", offsets[keymap[key]])
    return craft(bytes(data), bytes(index), num_keys=len(keymap), num_objects=len(objects))


def craft(
    data: bytes,
    index: bytes,
    *,
    num_keys: int,
    num_objects: int = 0,
    index_offset: int | None = None,
    version: int = 2,
    magic: bytes = b"TRND",
    crc: int | None = None,
    data_offset: int = HEADER_SIZE,
) -> bytes:
    """A file from raw sections; header fields may be set to any value."""
    body = data + index
    if index_offset is None:
        index_offset = HEADER_SIZE + len(data)
    if crc is None:
        crc = zlib.crc32(body)
    header = (
        magic
        + bytes([version, 0, 0, 0])
        + struct.pack(">IIQQII", num_keys, num_objects, index_offset, data_offset, crc, 0)
    )
    return header + body


def record(payload: bytes, crc: int | None = None, length: int | None = None) -> bytes:
    """One object record; crc and length may be forged."""
    return (
        struct.pack(">II", len(payload) if length is None else length,
                    zlib.crc32(payload) if crc is None else crc)
        + payload
    )


def entry(key: bytes, offset: int, key_len: int | None = None) -> bytes:
    """One index entry; key_len may be forged."""
    return struct.pack(">H", len(key) if key_len is None else key_len) + key + struct.pack(">Q", offset)


def patch(buf: bytes, pos: int, fmt: str, value: int) -> bytes:
    """buf with struct-packed value written at pos."""
    b = bytearray(buf)
    struct.pack_into(fmt, b, pos, value)
    return bytes(b)


def fix_crc(buf: bytes) -> bytes:
    """buf with file_crc32 recomputed, so a test reaches the check behind it."""
    return patch(buf, FILE_CRC_POS, ">I", zlib.crc32(buf[HEADER_SIZE:]))
