"""The value format: every value is stored as one MessagePack document.

Values are encoded and decoded by msgspec, whose MessagePack codec is written
in C. It produces the same bytes as the ``msgpack`` package does for the same
values (the smallest form of each integer, 64-bit floats, str and bin types
kept apart), so stores written by either read back alike.
"""

from __future__ import annotations

from typing import Any, Callable, Optional

import msgspec

from tarndb._pandas_values import to_python

# Values of pandas and numpy are made Python values first (only those:
# msgspec calls the hook for no type it encodes itself).
_encoder = msgspec.msgpack.Encoder(enc_hook=to_python)

#: MessagePack bytes of a value: ``None``, ``bool``, ``int`` (64-bit),
#: ``float``, ``str``, ``bytes``, lists, tuples (read back as lists), dicts,
#: typed objects msgspec knows (``msgspec.Struct``, dataclasses, datetimes,
#: ...), and pandas' and numpy's scalars and arrays (``_pandas_values``).
#: Raises ``TypeError`` for anything else.
encode: Callable[[Any], bytes] = _encoder.encode

#: The value stored as MessagePack bytes.
decode: Callable[[bytes], Any] = msgspec.msgpack.Decoder().decode


def decoder_for(value_type: Optional[Any]) -> Callable[[bytes], Any]:
    """A decode function that makes every value a *value_type* (anything
    msgspec can decode into: a ``msgspec.Struct``, a dataclass, a
    ``TypedDict``, ``list[int]``, ...), or the untyped one for ``None``."""
    if value_type is None:
        return decode
    return msgspec.msgpack.Decoder(value_type).decode
