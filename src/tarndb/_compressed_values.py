"""The value encoder of ``TarnWriter(compression="zstd")``: values stored
compressed with a dictionary trained on the first of them (``_compression``
has the format).

Until enough values have come to train the dictionary on (4 MiB or 100,000
values, or the build), values and keys are held back in order, with the
object IDs they will get; then the dictionary is trained, what was held is
added compressed, and later values are compressed as they come. What is
held is bounded by the writer's memory budget too: a few values under very
many keys reach that bound first, and the dictionary is then trained early
on the values held. Keys are checked as they are added either way, so an
error is raised by the call that caused it.

The encoder takes the writer's calls that carry values or keys; it stores
through the native writer's own methods, which it reaches through a weak
reference so that the writer is freed (and its temporary files with it) as
soon as it is dropped.
"""

from __future__ import annotations

import operator
import weakref
from typing import Any, Callable, Iterable, Iterator, List, Mapping, Optional, Tuple, Union

from tarndb import _compression
from tarndb._codec import encode
from tarndb._store import DEFAULT_MEMORY_LIMIT, Writer, _unpack_pairs

_Items = Union[Mapping[Any, Any], Iterable[Tuple[Any, Any]]]

#: The writer calls the encoder takes over.
ROUTED_CALLS = ("add", "put", "put_many", "update", "add_raw", "add_key", "put_raw",
                "put_many_raw", "update_raw", "_update_packed", "delete", "delete_many")
# What one held value or key costs beyond its bytes: the tuple, the bytes
# object's header and the list's slot.
_HELD_OVERHEAD = 128
# The share of the writer's memory budget that held values and keys may take.
_HELD_SHARE = 8


def _raw_bytes(data: Any) -> bytes:
    if isinstance(data, str):
        raise TypeError("a raw value must be bytes-like, not str")
    try:
        return bytes(memoryview(data))
    except TypeError:
        raise TypeError(f"a raw value must be bytes-like, not {type(data).__name__}") from None


def _pairs(items: _Items) -> Iterator[Tuple[Any, Any]]:
    if hasattr(items, "keys"):
        mapping: Any = items
        return ((k, mapping[k]) for k in mapping.keys())
    return iter(items)  # type: ignore[arg-type]


class Trainer:
    """Values held back until there are enough to train a dictionary on,
    then compressed as they come; and the figures of the codec section."""

    def __init__(self, dictionary: Optional[bytes] = None,
                 level: int = _compression.DEFAULT_LEVEL) -> None:
        self.level = level
        self.samples: List[bytes] = []
        self.size = 0
        self.dictionary = dictionary
        self.compress: Optional[Callable[[bytes], bytes]] = (
            _compression.compressor(dictionary, level) if dictionary is not None else None)
        self.raw_bytes = self.stored_bytes = 0

    def full(self) -> bool:
        return (self.size >= _compression.SAMPLE_BYTES
                or len(self.samples) >= _compression.SAMPLE_VALUES)

    def train(self) -> None:
        self.dictionary = _compression.train(self.samples)
        self.samples = []
        self.compress = _compression.compressor(self.dictionary, self.level)

    def count(self, raw: int, stored: int) -> None:
        self.raw_bytes += raw
        self.stored_bytes += stored

    def section(self) -> bytes:
        return _compression.encode_section(self.dictionary or b"", self.raw_bytes,
                                           self.stored_bytes)


class CompressedValues:
    """The calls of one writer that carry values or keys, compressing every
    value; made by ``TarnWriter`` for ``compression="zstd"``."""

    def __init__(self, writer: Writer, dictionary: Optional[bytes], level: Optional[int],
                 memory_limit: Optional[int]) -> None:
        self._writer = weakref.ref(writer)
        self._trainer = Trainer(dictionary, _compression.DEFAULT_LEVEL if level is None else level)
        # ("o", data) for an object, ("k", key bytes, object ID) for a key,
        # ("d", key bytes) for a tombstone.
        self._held: List[Tuple[Any, ...]] = []
        self._held_objects = 0
        self._held_bytes = 0
        budget = DEFAULT_MEMORY_LIMIT if memory_limit is None else memory_limit
        self._held_limit = budget // _HELD_SHARE

    def _native(self) -> Writer:
        writer = self._writer()
        if writer is None:
            raise ReferenceError("the writer of these values is gone")
        return writer

    # Values: encoded here, then stored as raw values are.

    def add(self, value: Any) -> int:
        return self.add_raw(encode(value))

    def put(self, key: Any, value: Any) -> int:
        return self.put_raw(key, encode(value))

    def put_many(self, keys: Iterable[Any], value: Any) -> int:
        return self.put_many_raw(keys, encode(value))

    def update(self, items: _Items) -> None:
        self.update_raw((k, encode(v)) for k, v in _pairs(items))

    # Raw values.

    def add_raw(self, data: Any) -> int:
        data = _raw_bytes(data)
        if self._trainer.compress is not None:
            if self._held:  # left by a failed flush: they come first
                self.flush()
            return self._store(data)
        obj_id = self.num_objects()
        self._trainer.samples.append(data)
        self._trainer.size += len(data)
        self._held_objects += 1
        self._hold(("o", data), len(data))
        if self._trainer.compress is None and self._trainer.full():
            self.flush()
        return obj_id

    def add_key(self, key: Any, obj_id: Any) -> None:
        if self._trainer.compress is not None:
            if self._held:
                self.flush()
            Writer.add_key(self._native(), key, obj_id)
            return
        key_bytes = Writer._storable_key(key)
        try:
            i = operator.index(obj_id)
        except TypeError:
            raise TypeError(
                f"an object ID must be an int, not {type(obj_id).__name__}") from None
        if not 0 <= i < self.num_objects():
            raise ValueError(f"obj_id {i} out of range (have {self.num_objects()} objects)")
        self._hold(("k", key_bytes, i), len(key_bytes))

    def delete(self, key: Any) -> None:
        # Held in order with the keys: the last call for a key wins.
        if self._trainer.compress is not None:
            if self._held:
                self.flush()
            Writer.delete(self._native(), key)
            return
        key_bytes = Writer._storable_key(key)
        self._hold(("d", key_bytes), len(key_bytes))

    def delete_many(self, keys: Iterable[Any]) -> None:
        if isinstance(keys, (str, bytes)):
            raise TypeError("delete_many() takes an iterable of keys, not one key")
        for key in keys:
            self.delete(key)

    def put_raw(self, key: Any, data: Any) -> int:
        key_bytes = Writer._storable_key(key)
        obj_id = self.add_raw(data)
        self.add_key(key_bytes, obj_id)
        return obj_id

    def put_many_raw(self, keys: Iterable[Any], data: Any) -> int:
        all_keys = [Writer._storable_key(k) for k in keys]
        obj_id = self.add_raw(data)
        for key_bytes in all_keys:
            self.add_key(key_bytes, obj_id)
        return obj_id

    def update_raw(self, items: _Items) -> None:
        pairs = _pairs(items)
        if self._held and self._trainer.compress is not None:
            self.flush()
        if self._trainer.compress is None:
            for key, data in pairs:
                self.put_raw(key, data)
                if self._trainer.compress is not None:
                    break
        compress, count = self._trainer.compress, self._trainer.count

        def compressed() -> Iterator[Tuple[Any, bytes]]:
            for key, data in pairs:
                raw = _raw_bytes(data)
                stored = compress(raw)  # type: ignore[misc]
                count(len(raw), len(stored))
                yield key, stored

        Writer.update_raw(self._native(), compressed())

    def _update_packed(self, data: bytes) -> int:
        pairs = _unpack_pairs(data)
        self.update_raw(pairs)
        return len(pairs)

    # State.

    def num_objects(self) -> int:
        return Writer.num_objects.__get__(self._native()) + self._held_objects

    def num_keys(self) -> int:
        writer = self._native()
        if self._held and Writer.num_objects.__get__(writer) == 0:  # every key is held
            live = {op[1]: op[0] == "k" for op in self._held if op[0] != "o"}
            return sum(live.values())
        if self._held:
            self.flush()
        return Writer.num_keys.__get__(writer)  # type: ignore[no-any-return]

    def finish(self) -> None:
        """Store what is held and record the codec in the writer's file."""
        self.flush()
        Writer._set_section(self._native(), _compression.SECTION, _compression.VERSION,
                            self._trainer.section())

    def _hold(self, op: Tuple[Any, ...], size: int) -> None:
        self._held.append(op)
        self._held_bytes += size + _HELD_OVERHEAD
        if self._held_bytes >= self._held_limit:
            self.flush()  # train on what came so far rather than outgrow the budget

    def _store(self, data: bytes) -> int:
        stored = self._trainer.compress(data)  # type: ignore[misc]
        obj_id: int = Writer.add_raw(self._native(), stored)
        self._trainer.count(len(data), len(stored))
        return obj_id

    def flush(self) -> None:
        """Train the dictionary on what is held (unless one was given) and
        add it all, compressed, in order."""
        if self._trainer.compress is None:
            self._trainer.train()
        writer = self._native()
        held, done = self._held, 0
        try:
            for op in held:
                if op[0] == "o":
                    self._store(op[1])
                    self._held_objects -= 1
                elif op[0] == "d":
                    Writer.delete(writer, op[1])
                else:
                    Writer.add_key(writer, op[1], op[2])
                done += 1
        finally:
            del held[:done]  # a failure (a full disk, say) leaves the rest held
            self._held_bytes = sum(len(op[1]) + _HELD_OVERHEAD for op in held)
