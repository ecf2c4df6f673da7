"""``TarnWriter(compression="zstd")``: values stored compressed with a
dictionary trained on the first of them (``_compression`` has the format).

Until enough values have come to train the dictionary on (4 MiB or 100,000
values, or the build), values and keys are held back in order, with the
object IDs they will get; then the dictionary is trained, what was held is
added compressed, and later values are compressed as they come. Keys are
checked as they are added either way, so an error is raised by the call
that caused it.
"""

from __future__ import annotations

import operator
from typing import Any, Iterable, Iterator, List, Mapping, Optional, Tuple, Union

from tarndb import _compression
from tarndb._codec import encode
from tarndb._store import Writer, _unpack_pairs
from tarndb._writer import TarnWriter

_Items = Union[Mapping[Any, Any], Iterable[Tuple[Any, Any]]]


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


class CompressingWriter(TarnWriter):
    __slots__ = ("_trainer", "_held", "_held_objects")

    _trainer: _compression.Trainer
    # ("o", data) for an object, ("k", key bytes, object ID) for a key.
    _held: List[Tuple[Any, ...]]
    _held_objects: int

    def _setup(self, dictionary: Optional[bytes], level: Optional[int]) -> None:
        self._trainer = _compression.Trainer(
            dictionary, _compression.DEFAULT_LEVEL if level is None else level)
        self._held = []
        self._held_objects = 0

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
                self._flush()
            return self._store(data)
        obj_id = super().num_objects + self._held_objects
        self._held.append(("o", data))
        self._held_objects += 1
        self._trainer.samples.append(data)
        self._trainer.size += len(data)
        if self._trainer.full():
            self._flush()
        return obj_id

    def add_key(self, key: Any, obj_id: Any) -> None:
        if self._trainer.compress is not None:
            if self._held:
                self._flush()
            super().add_key(key, obj_id)
            return
        key_bytes = Writer._storable_key(key)
        try:
            i = operator.index(obj_id)
        except TypeError:
            raise TypeError(
                f"an object ID must be an int, not {type(obj_id).__name__}") from None
        if not 0 <= i < self.num_objects:
            raise ValueError(f"obj_id {i} out of range (have {self.num_objects} objects)")
        self._held.append(("k", key_bytes, i))

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
            self._flush()
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

        super().update_raw(compressed())

    def _update_packed(self, data: bytes) -> int:
        pairs = _unpack_pairs(data)
        self.update_raw(pairs)
        return len(pairs)

    # State.

    @property
    def num_objects(self) -> int:
        return super().num_objects + self._held_objects

    @property
    def num_keys(self) -> int:
        if self._held and super().num_objects == 0:  # every key is held
            return len({op[1] for op in self._held if op[0] == "k"})
        if self._held:
            self._flush()
        return super().num_keys

    def _build(self, path: str) -> Tuple[int, int, int]:
        self._flush()
        self._set_section(_compression.SECTION, _compression.VERSION, self._trainer.section())
        return super()._build(path)

    def _store(self, data: bytes) -> int:
        stored = self._trainer.compress(data)  # type: ignore[misc]
        obj_id = super().add_raw(stored)
        self._trainer.count(len(data), len(stored))
        return obj_id

    def _flush(self) -> None:
        """Train the dictionary on what is held (unless one was given) and
        add it all, compressed, in order."""
        if self._trainer.compress is None:
            self._trainer.trained(self._trainer.samples)
            self._trainer.samples = []
        held, done = self._held, 0
        try:
            for op in held:
                if op[0] == "o":
                    self._store(op[1])
                    self._held_objects -= 1
                else:
                    super().add_key(op[1], op[2])
                done += 1
        finally:
            del held[:done]  # a failure (a full disk, say) leaves the rest held
