"""The value format: every value is stored as one MessagePack document."""

from __future__ import annotations

from typing import Any

import msgpack


def encode(obj: Any) -> bytes:
    """MessagePack bytes of *obj*; raises ``TypeError`` for unsupported types.

    ``str`` becomes a MessagePack string and ``bytes`` a binary value, so both
    come back as they went in; tuples come back as lists.
    """
    data: bytes = msgpack.packb(obj, use_bin_type=True)
    return data


def decode(data: bytes) -> Any:
    """The value stored as *data*; maps may have keys of any hashable type."""
    return msgpack.unpackb(data, raw=False, strict_map_key=False)
