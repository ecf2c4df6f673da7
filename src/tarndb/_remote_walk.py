"""Walks of a remote store's index in key order, for its scans: forward
from an entry in ranges that grow as the walk goes on, and backward a block
of sampled entries at a time (the samples give where each block of 16
entries begins; its entries are read forward and handed out last first).

A walk runs its steps through *steps* (``make(RangeReader)`` run until it
answers); an entry is ``(index, pos, key bytes, record offset)``.
"""

from __future__ import annotations

from typing import Any, Callable, Iterator, Optional, Tuple

from tarndb._errors import TarnCorruptError

Entry = Tuple[int, int, bytes, int]
Steps = Callable[[Callable[[Any], Any]], Any]

#: Entries asked per step of a walk.
MAX_ENTRIES = 1 << 16
#: Index bytes a walk asks for at most in one step.
MAX_CHUNK = 1 << 20
# Each step of a walk asks for this many times the bytes (or entries) of
# the one before: a walk that ends soon (first(), a short range) costs
# little, and a long one soon reads large ranges.
_GROWTH = 4


def key_bytes(key: Any) -> Optional[bytes]:
    """A scan's bound as bytes (None stays None): str as UTF-8, any
    bytes-like object as its bytes."""
    if key is None:
        return None
    if isinstance(key, str):
        return key.encode()
    try:
        return bytes(memoryview(key))
    except TypeError:
        raise TypeError(f"a key must be str or bytes, not {type(key).__name__}") from None


def end_of(entry: Entry) -> int:
    """The position just after *entry* (key length, key, record offset)."""
    return entry[1] + 10 + len(entry[2])


def forward(steps: Steps, num_keys: int, index: int, pos: int,
            chunk: int = MAX_CHUNK) -> Iterator[Entry]:
    """The entries from (index, pos) on; the first step asks for *chunk*
    bytes of the index, each later one more, up to MAX_CHUNK."""
    while index < num_keys:
        got = steps(lambda s: s.entries(index, pos, MAX_ENTRIES, chunk))
        yield from got
        index, pos = got[-1][0] + 1, end_of(got[-1])
        chunk = min(MAX_CHUNK, chunk * _GROWTH)


def backward(steps: Steps, url: str, end: Tuple[int, int], entry_bytes: float) -> Iterator[Entry]:
    """The entries before *end* (an entry's number and position: the first
    not to be given), the last first. Each step reads the blocks that hold
    the next entries back: a block first, then each time more. The entries
    of the blocks must end exactly at *end*, else the samples lie."""
    end_index, end_pos = end
    want = 1
    while end_index > 0:
        index, pos = steps(lambda s: s.block_start(max(0, end_index - want)))
        block = []
        at_index, at_pos = index, pos
        while at_index < end_index:
            count = end_index - at_index
            chunk = min(MAX_CHUNK, int(count * entry_bytes) + 256)
            got = steps(lambda s: s.entries(at_index, at_pos, count, chunk))
            block.extend(got)
            at_index, at_pos = got[-1][0] + 1, end_of(got[-1])
        if at_pos != end_pos:
            raise TarnCorruptError(f"{url}: entry samples do not match the index")
        yield from reversed(block)
        end_index, end_pos = index, pos
        want = min(MAX_ENTRIES, want * 16)
