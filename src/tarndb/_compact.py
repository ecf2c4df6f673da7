"""``tarndb.compact``: a stack of layers merged into one store file.

The merge is native (``Layers._compact``): a streaming k-way merge of the
layers' sorted indexes and tombstones in which the newest layer that holds
a key decides it, deleted keys are dropped, and every live value is copied
as its stored bytes (its CRC-32 checked), an object shared by several keys
of a layer staying one object. The output is built by the writer engine
within *memory_limit* and published atomically: until the rename the old
stack is untouched, and an interrupted or killed compaction leaves no file
behind (its data file is unnamed until it is complete).

Compressed layers: values are copied compressed. Layers must then share one
codec and dictionary, which the output keeps; its figures of raw and stored
bytes are the layers' sums. Layers stored with different codecs or
dictionaries are refused (``TarnValueError``): their values would need
decoding and re-encoding, which compaction never does.
"""

from __future__ import annotations

from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

from tarndb import _compression
from tarndb._errors import TarnValueError
from tarndb._layered import LayeredReader
from tarndb._types import StrPath, fspath_str

Layers = Union[LayeredReader, Sequence[StrPath]]


def compact(out: StrPath, layers: Layers, *, memory_limit: Optional[int] = None,
            spill_dir: Optional[StrPath] = None, hash_index: bool = True, filter: bool = False,
            verify: bool = True,
            progress: Optional[Callable[[int], Any]] = None) -> Tuple[int, int, int]:
    """Merge *layers* (paths newest first, or an open ``LayeredReader``) into
    one store at *out*, without tombstones; returns ``(objects, keys,
    bytes)`` of the file written.

    *memory_limit* bounds the whole compaction as it bounds a writer
    (default 256 MiB). *progress*, when given, is called with the number of
    keys written every 65,536 keys; an exception it raises stops the
    compaction before anything is published. With *verify* (the default)
    each layer's whole-file checksum is checked at open; every copied
    record's own CRC-32 is checked either way.
    """
    stack = layers if isinstance(layers, LayeredReader) else LayeredReader(layers, verify)
    try:
        sections = _codec_sections(stack.layers)
        return stack._compact(fspath_str(out), memory_limit,  # type: ignore[no-any-return]
                              None if spill_dir is None else fspath_str(spill_dir),
                              hash_index, filter, sections, progress)
    finally:
        if stack is not layers:
            stack.close()


def _codec_sections(readers: List[Any]) -> List[Tuple[bytes, int, bytes]]:
    """The output's value codec section: the layers' common codec, with the
    sums of their figures; none when no layer is compressed."""
    codecs = [_compression.read_codec(reader) for reader in readers]
    if all(c is None for c in codecs):
        return []
    kinds = {None if c is None else (c[0], c[1]) for c in codecs}
    if len(kinds) != 1:
        raise TarnValueError("the layers store their values with different codecs or "
                             "dictionaries; compaction copies values as stored and cannot "
                             "merge them")
    raw = sum(c[2] for c in codecs if c is not None)
    stored = sum(c[3] for c in codecs if c is not None)
    name, dictionary = next(iter(kinds))  # type: ignore[misc]
    del name  # the one codec there is
    return [(_compression.SECTION, _compression.VERSION,
             _compression.encode_section(dictionary, raw, stored))]
