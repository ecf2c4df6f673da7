"""Values printed as strict JSON by the reading commands."""

from __future__ import annotations

import datetime
import json
import math
from typing import Any

import msgspec

from tarndb._cli_output import EXIT_USAGE, Failure


def to_json(value: Any) -> str:
    """*value* as one line of strict JSON."""
    try:
        return json.dumps(value, ensure_ascii=False, allow_nan=False)
    except (TypeError, ValueError):
        pass  # bytes, map keys JSON has no form for, NaN: convert first
    except RecursionError:
        raise Failure("a value is nested too deeply to print as JSON", EXIT_USAGE) from None
    try:
        return json.dumps(_jsonable(value), ensure_ascii=False, allow_nan=False)
    except RecursionError:
        raise Failure("a value is nested too deeply to print as JSON", EXIT_USAGE) from None


def _leaf(v: Any) -> Any:
    if isinstance(v, (bytes, bytearray)):
        return v.hex()
    if isinstance(v, float) and not math.isfinite(v):
        return "NaN" if math.isnan(v) else ("Infinity" if v > 0 else "-Infinity")
    if isinstance(v, (str, int, float, bool)) or v is None:
        return v
    if isinstance(v, (datetime.datetime, datetime.date, datetime.time)):
        return v.isoformat()  # a MessagePack timestamp: ISO 8601, in UTC
    if isinstance(v, msgspec.msgpack.Ext):  # an extension type this package does not know
        return {"msgpack_ext": v.code, "data": bytes(v.data).hex()}
    return str(v)


def _key(k: Any) -> Any:
    if isinstance(k, str) or k is None or (isinstance(k, (int, float, bool))
                                          and not (isinstance(k, float) and not math.isfinite(k))):
        return k
    return str(_jsonable(k)) if isinstance(k, (list, tuple, dict)) else str(_leaf(k))


def _container(v: Any) -> Any:
    return {} if isinstance(v, dict) else [] if isinstance(v, (list, tuple)) else None


def _jsonable(value: Any) -> Any:
    """*value* with what JSON cannot hold made representable: bytes as
    hexadecimal text, timestamps as ISO 8601 text, other MessagePack
    extension values as {"msgpack_ext": code, "data": hex}, map keys that
    are not str, numbers or None as text,
    and the floats NaN and ±infinity as the strings "NaN", "Infinity" and
    "-Infinity". Iterative, so that deep nesting costs no recursion."""
    root = _container(value)
    if root is None:
        return _leaf(value)
    stack = [(value, root)]
    while stack:
        src, dst = stack.pop()
        pairs = src.items() if isinstance(src, dict) else enumerate(src)
        for k, v in pairs:
            new = _container(v)
            converted = _leaf(v) if new is None else new
            if isinstance(dst, dict):
                dst[_key(k)] = converted
            else:
                dst.append(converted)
            if new is not None:
                stack.append((v, new))
    return root
