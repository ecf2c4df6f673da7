"""Values from pandas and numpy, as MessagePack holds them.

msgspec encodes Python's own types; a dataframe's rows hold pandas' and
numpy's (a ``Timestamp`` column, numpy scalars and arrays in object
columns, ``NA`` and ``NaT`` for missing values). ``to_python`` turns each
into the Python value that means the same, which msgspec then encodes:

=====================================  ===========================================
value                                  stored as (and read back as)
=====================================  ===========================================
numpy integer, float, bool             int, float, bool
numpy ``str_``, ``bytes_``             str, bytes
numpy array                            list (nested for more dimensions)
``pd.NA``, ``pd.NaT``, ``NaT`` of      nil (``None``)
numpy
``Timestamp`` with a time zone         MessagePack timestamp, read back as a
                                       ``datetime`` in UTC; nanoseconds kept in
                                       the stored timestamp, read to the
                                       microsecond
``Timestamp`` without one,             ISO 8601 text, ``"2024-05-01T12:00:00"``
numpy ``datetime64``                   (as msgspec stores a naive ``datetime``),
                                       nanoseconds included when there are any
``Timedelta``, numpy ``timedelta64``   ISO 8601 duration text, ``"P1DT3.5S"``
=====================================  ===========================================

Anything else stays unsupported (``TypeError``). pandas and numpy are
imported only once a value of theirs is met.
"""

from __future__ import annotations

import datetime
import struct
from typing import Any, Callable

import msgspec


def to_python(obj: Any) -> Any:
    """*obj*, a value msgspec does not encode, as one it does; ``TypeError``
    naming its type when there is none (msgspec's ``enc_hook``)."""
    module = type(obj).__module__
    if module == "numpy":
        return _numpy_value(obj)
    if module.startswith("pandas"):
        return _pandas_value(obj)
    raise TypeError(f"Encoding objects of type {type(obj).__qualname__} is unsupported")


def _unsupported(obj: Any) -> TypeError:
    kind = type(obj)
    return TypeError(f"Encoding objects of type {kind.__module__}.{kind.__qualname__} "
                     "is unsupported")


def _numpy_value(obj: Any) -> Any:
    import numpy as np

    if isinstance(obj, np.ndarray):
        if obj.dtype.kind in "mM" or obj.dtype.kind == "O" or obj.ndim != 1:
            return list(obj)  # each item (a scalar, or a row) comes back here
        return obj.tolist()
    if isinstance(obj, np.datetime64):
        return _numpy_time(obj, "datetime64[us]", lambda: np.datetime_as_string(obj))
    if isinstance(obj, np.timedelta64):
        return _numpy_time(obj, "timedelta64[us]",
                           lambda: _duration(int(obj.astype("timedelta64[ns]").astype(np.int64))))
    if isinstance(obj, (np.integer, np.floating, np.bool_, np.str_, np.bytes_)):
        return obj.item()
    raise _unsupported(obj)


def _numpy_time(obj: Any, micro: str, text: Callable[[], str]) -> Any:
    """A numpy datetime64/timedelta64 as Python's datetime, date or
    timedelta when one holds it exactly, else as *text* ()."""
    import numpy as np

    if np.isnat(obj):
        return None
    if np.datetime_data(obj.dtype)[0] in ("ns", "ps", "fs", "as"):
        coarse = obj.astype(micro)
        if coarse != obj:
            return text()  # finer than a microsecond
        obj = coarse
    value = obj.item()
    if isinstance(value, int):  # beyond Python's years
        return text()
    if isinstance(value, datetime.datetime):
        return value.isoformat()
    return value


def _pandas_value(obj: Any) -> Any:
    import pandas as pd

    if obj is pd.NA or obj is pd.NaT:
        return None
    if isinstance(obj, pd.Timestamp):
        if obj.tzinfo is None:
            return obj.isoformat()
        if obj.nanosecond:
            return _timestamp_ext(obj.value)
        return obj.to_pydatetime()
    if isinstance(obj, pd.Timedelta):
        return _duration(obj.value) if obj.nanoseconds else obj.to_pytimedelta()
    raise _unsupported(obj)


def _timestamp_ext(ns: int) -> msgspec.msgpack.Ext:
    """A MessagePack timestamp (extension -1, 96-bit form) of *ns*
    nanoseconds since the epoch."""
    seconds, nanoseconds = divmod(ns, 1_000_000_000)
    return msgspec.msgpack.Ext(-1, struct.pack(">Iq", nanoseconds, seconds))


def _duration(ns: int) -> str:
    """*ns* nanoseconds as an ISO 8601 duration, as msgspec writes a
    ``timedelta`` but to the nanosecond: ``P1DT3.000000005S``."""
    sign = "-" if ns < 0 else ""
    days, rest = divmod(abs(ns), 86_400 * 1_000_000_000)
    seconds, fraction = divmod(rest, 1_000_000_000)
    day = f"{days}D" if days else ""
    return f"{sign}P{day}T{seconds}.{fraction:09d}S"
