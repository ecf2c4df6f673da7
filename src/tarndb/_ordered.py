"""Ordered access that sorted keys make cheap, for every reader: ranges,
reverse order, and the first and last entries.

Built on the native ``_scan(mode, start, stop, reverse)`` of a reader, a
sharded reader (the shards merged) or their raw views.
"""

from __future__ import annotations

from typing import Any, Iterator, Optional, Tuple


class Ordered:
    """The keys' order, as scans over ranges and in either direction."""

    __slots__ = ()

    def range(self, start: Any = None, stop: Any = None, *,
              reverse: bool = False) -> Iterator[Tuple[Any, Any]]:
        """An iterator of ``(key, value)`` for the keys ``k`` with
        ``start <= k < stop`` (keys compared as bytes; ``None`` leaves that
        end open), in key order, or from the last with *reverse*. The bounds
        are keys (``str`` or bytes-like) and need not be stored keys."""
        return self._scan("items", start, stop, reverse)  # type: ignore[attr-defined,no-any-return]

    def __reversed__(self) -> Iterator[Any]:
        """The keys from the last to the first."""
        return self._scan("keys", None, None, True)  # type: ignore[attr-defined,no-any-return]

    def first(self) -> Tuple[Any, Any]:
        """``(key, value)`` of the smallest key; ``KeyError`` when empty."""
        return only(self._scan("items", None, None, False))  # type: ignore[attr-defined]

    def last(self) -> Tuple[Any, Any]:
        """``(key, value)`` of the largest key; ``KeyError`` when empty."""
        return only(self._scan("items", None, None, True))  # type: ignore[attr-defined]


def only(scan: Iterator[Tuple[Any, Any]]) -> Tuple[Any, Any]:
    """The first pair of *scan*; KeyError when it has none (an empty store)."""
    found: Optional[Tuple[Any, Any]] = next(scan, None)
    if found is None:
        raise KeyError("the store is empty")
    return found


KEYS_AS = ("str", "bytes")


def keys_as_bytes(keys_as: str) -> bool:
    """Whether a reader's *keys_as* asks for keys as bytes; ValueError for
    anything but "str" and "bytes"."""
    if keys_as not in KEYS_AS:
        raise ValueError(f"keys_as is 'str' or 'bytes', not {keys_as!r}")
    return keys_as == "bytes"
