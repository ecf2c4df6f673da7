"""Reading records for ``tarndb build``: JSON Lines or CSV, each record
giving one or more keys and one value.

Input is read in batches of about 64 KiB of lines. JSON Lines are decoded
by msgspec, a whole batch in one call; a batch it refuses (a blank line, a
line that is not valid JSON, a number beyond binary64, ...) is decoded line
by line by the standard library as before, which accepts what it accepts
(NaN and Infinity, say) and names the line of an error. Either way a record
decodes to the same values.
"""

from __future__ import annotations

import codecs
import csv
import io
import json
import sys
from typing import (Any, BinaryIO, Callable, Iterable, Iterator, List, NamedTuple, Optional,
                    Sequence, Tuple, Union)

import msgspec

#: One input record: its line number, its keys and its value.
Record = Tuple[int, List[str], Any]


class PlainBatch(NamedTuple):
    """Records on consecutive lines from first_line, each with one key and
    the whole record as its value: the usual batch of JSON Lines, found and
    handed on without a Python step per record."""

    first_line: int
    keys: List[str]
    values: List[Any]

    def records(self) -> List[Record]:
        return [(self.first_line + i, [k], v)
                for i, (k, v) in enumerate(zip(self.keys, self.values))]


#: What ``read_batches`` yields.
Batch = Union[PlainBatch, List[Record]]

_BATCH_BYTES = 64 << 10
_CSV_BATCH_ROWS = 1024


class InputError(Exception):
    """A record that cannot be stored: its *line* and the *reason*; the
    message is "line N: reason"."""

    def __init__(self, line: int, reason: str) -> None:
        super().__init__(f"line {line}: {reason}")
        self.line = line
        self.reason = reason

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (self.line, self.reason)


def read_batches(
    stream: BinaryIO,
    fmt: str,
    key_fields: Sequence[str],
    value_field: Optional[str],
    advance: Callable[[int], None],
) -> Iterator[Batch]:
    """The records of *stream* in *fmt* ("jsonl" or "csv"), lazily, in
    batches.

    JSON Lines: one object per line (blank lines skipped); every key field
    holds a string, an integer or a list of them, and a missing or null field
    gives no key. CSV: a header row, then one record per row; each non-empty
    cell of a key column is a key. The value is *value_field* of the record,
    or the whole record (an object, or a dict of a CSV row's cells).
    *advance* is called with the byte count of the lines read.
    """
    if fmt == "csv":
        return _csv_batches(_text_lines(stream, advance), key_fields, value_field)
    return _jsonl_batches(stream, key_fields, value_field, advance)


def read_records(
    stream: BinaryIO,
    fmt: str,
    key_fields: Sequence[str],
    value_field: Optional[str],
    advance: Callable[[int], None],
) -> Iterator[Record]:
    """The records of ``read_batches`` one by one."""
    for batch in read_batches(stream, fmt, key_fields, value_field, advance):
        yield from batch.records() if isinstance(batch, PlainBatch) else batch


def jsonl_text_records(
    lines: Iterable[str], key_fields: Sequence[str], value_field: Optional[str]
) -> Iterator[Record]:
    """The records of JSON Lines given as text, numbered from 1."""
    stream = io.BytesIO("".join(lines).encode("utf-8"))
    for batch in _jsonl_batches(stream, key_fields, value_field, lambda n: None):
        yield from batch.records() if isinstance(batch, PlainBatch) else batch


def _jsonl_batches(
    stream: BinaryIO, key_fields: Sequence[str], value_field: Optional[str],
    advance: Callable[[int], None],
) -> Iterator[Batch]:
    decode_lines = msgspec.json.Decoder().decode_lines
    single = key_fields[0] if len(key_fields) == 1 else None
    done = 0  # lines before this batch
    while True:
        lines = stream.readlines(_BATCH_BYTES)
        if not lines:
            return
        advance(sum(map(len, lines)))
        if done == 0 and lines[0].startswith(codecs.BOM_UTF8):
            lines[0] = lines[0][len(codecs.BOM_UTF8):]
        try:
            records: List[Any] = decode_lines(b"".join(lines))
        except (msgspec.MsgspecError, RecursionError):
            records = []
        if len(records) != len(lines):  # blank lines, or lines msgspec refused
            records = [_json_line(done + i, line) for i, line in enumerate(lines, 1)]
        elif single is not None and value_field is None and set(map(type, records)) == {dict}:
            keys = [record.get(single) for record in records]
            if set(map(type, keys)) == {str}:
                yield PlainBatch(done + 1, keys, records)
                done += len(lines)
                continue
        batch: List[Record] = []
        for number, record in enumerate(records, done + 1):
            if type(record) is not dict:
                if record is _BLANK:
                    continue
                raise InputError(number, "not a JSON object")
            # The common record, one string key and the whole record as its
            # value, without a call per record.
            found = record.get(single) if single is not None else None
            keys = [found] if type(found) is str else _keys(record, key_fields, number)
            batch.append((number, keys, record if value_field is None
                          else _value(record, value_field, number)))
        done += len(lines)
        yield batch


_BLANK = object()


def _json_line(number: int, raw: bytes) -> Any:
    try:
        line = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise InputError(number, "not valid UTF-8") from None
    if not line.strip():
        return _BLANK
    try:
        return json.loads(line)
    except ValueError as exc:
        raise InputError(number, f"not valid JSON: {exc}") from None
    except RecursionError:
        raise InputError(number, "JSON nested too deeply") from None


def _keys(record: dict[str, Any], key_fields: Sequence[str], number: int) -> List[str]:
    keys: List[str] = []
    for field in key_fields:
        found = record.get(field)
        if type(found) is str:
            keys.append(found)
            continue
        for item in found if isinstance(found, list) else [found]:
            if isinstance(item, str) or (isinstance(item, int) and not isinstance(item, bool)):
                keys.append(str(item))
            elif item is not None:
                raise InputError(
                    number, f"field {field!r} must be a string, an integer or a list of them"
                )
    return keys


def _text_lines(stream: BinaryIO, advance: Callable[[int], None]) -> Iterator[str]:
    for number, raw in enumerate(stream, 1):
        advance(len(raw))
        if number == 1 and raw.startswith(codecs.BOM_UTF8):
            raw = raw[len(codecs.BOM_UTF8):]
        try:
            yield raw.decode("utf-8")
        except UnicodeDecodeError:
            raise InputError(number, "not valid UTF-8") from None


def _csv_batches(
    lines: Iterator[str], key_fields: Sequence[str], value_field: Optional[str]
) -> Iterator[List[Record]]:
    # A cell may be as large as a JSON line may: the csv module's default
    # limit (128 KiB) is lifted while this input is read.
    previous = csv.field_size_limit(sys.maxsize)
    try:
        batch: List[Record] = []
        for record in _csv_rows_as_records(lines, key_fields, value_field):
            batch.append(record)
            if len(batch) == _CSV_BATCH_ROWS:
                yield batch
                batch = []
        if batch:
            yield batch
    finally:
        csv.field_size_limit(previous)


def _csv_rows_as_records(
    lines: Iterator[str], key_fields: Sequence[str], value_field: Optional[str]
) -> Iterator[Record]:
    reader = csv.reader(lines)
    rows = _csv_rows(reader)
    header = next(rows, None)
    if header is None:
        return
    for column in [*key_fields, *([value_field] if value_field else [])]:
        if column not in header:
            raise InputError(1, f"no column {column!r} (columns: {', '.join(header)})")
    for row in rows:
        if not row:
            continue
        if len(row) != len(header):
            raise InputError(reader.line_num, f"{len(row)} fields, the header has {len(header)}")
        record = dict(zip(header, row))
        keys = [record[column] for column in key_fields if record[column]]
        yield reader.line_num, keys, _value(record, value_field, reader.line_num)


def _csv_rows(reader: Any) -> Iterator[List[str]]:
    """The rows of a ``csv.reader``, with its errors as ``InputError``."""
    while True:
        try:
            row: List[str] = next(reader)
        except StopIteration:
            return
        except csv.Error as exc:
            raise InputError(reader.line_num, f"bad CSV: {exc}") from None
        yield row


def _value(record: dict[str, Any], field: Optional[str], line: int) -> Any:
    if field is None:
        return record
    if field not in record:
        raise InputError(line, f"no field {field!r}")
    return record[field]
