"""The stored key bytes behind a key's text.

A reader gives keys as text, with each run of bytes that is not UTF-8
replaced by U+FFFD, so a text holding U+FFFD may stand for several stored
keys and does not tell their bytes. They are found by walking the byte
prefixes that the text allows and that some stored key begins with (a
prefix scan tells), one byte at a time wherever the text does not fix
them. Only keys whose text holds U+FFFD need this.
"""

from __future__ import annotations

import bisect
import codecs
from typing import Any, Iterable, Iterator, List

REPLACEMENT = "\ufffd"


def _has_prefix(raw: Any, prefix: bytes) -> bool:
    return next(iter(raw.prefix(prefix)), None) is not None


def stored_keys_reading_as(raw: Any, texts: Iterable[str]) -> Iterator[bytes]:
    """Every key of *raw* (a reader's raw view) whose bytes read as one of
    *texts*, in byte order. The texts are walked together, so that a prefix
    they share is looked at once."""
    ordered = sorted(set(texts))
    wanted = set(ordered)
    stack: List[bytes] = [b""]
    while stack:
        prefix = stack.pop()
        decoder = codecs.getincrementaldecoder("utf-8")("replace")
        settled = decoder.decode(prefix, final=False)  # without a trailing partial sequence
        pending = decoder.getstate()[0]
        start = bisect.bisect_left(ordered, settled)
        end = bisect.bisect_left(ordered, settled + "\U0010ffff", start)
        candidates = [t for t in ordered[start:end] if t.startswith(settled)]
        if not candidates:
            continue
        if prefix.decode("utf-8", "replace") in wanted and prefix in raw:
            yield prefix
        following = {t[len(settled)] for t in candidates if len(t) > len(settled)}
        if pending:  # the sequence goes on, or breaks and the next byte starts a character
            children = [prefix + bytes([b]) for b in range(256)]
        else:  # a character that is not U+FFFD is its UTF-8; U+FFFD starts at 0x80 or above
            unclear = REPLACEMENT in following
            children = sorted(prefix + c.encode() for c in following
                              if not (unclear and ord(c) >= 0x80))  # those the range below holds
            if unclear:
                children += [prefix + bytes([b]) for b in range(0x80, 256)]
        # Pushed last byte first, so that keys come out in byte order.
        stack.extend(child for child in reversed(children) if _has_prefix(raw, child))
