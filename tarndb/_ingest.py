"""Reading records for ``tarndb build``: JSON Lines or CSV, each record
giving one or more keys and one value."""

from __future__ import annotations

import codecs
import csv
import json
import sys
from typing import Any, BinaryIO, Callable, Iterator, List, Optional, Sequence, Tuple

#: One input record: its line number, its keys and its value.
Record = Tuple[int, List[str], Any]


class InputError(Exception):
    """A record that cannot be stored; the message starts with its line."""

    def __init__(self, line: int, message: str) -> None:
        super().__init__(f"line {line}: {message}")
        self.line = line


def read_records(
    stream: BinaryIO,
    fmt: str,
    key_fields: Sequence[str],
    value_field: Optional[str],
    advance: Callable[[int], None],
) -> Iterator[Record]:
    """The records of *stream* in *fmt* ("jsonl" or "csv"), lazily.

    JSON Lines: one object per line (blank lines skipped); every key field
    holds a string, an integer or a list of them, and a missing or null field
    gives no key. CSV: a header row, then one record per row; each non-empty
    cell of a key column is a key. The value is *value_field* of the record,
    or the whole record (an object, or a dict of a CSV row's cells).
    *advance* is called with the byte count of every line read.
    """
    lines = _text_lines(stream, advance)
    if fmt == "csv":
        return _csv_records(lines, key_fields, value_field)
    return _jsonl_records(lines, key_fields, value_field)


def _text_lines(stream: BinaryIO, advance: Callable[[int], None]) -> Iterator[str]:
    for number, raw in enumerate(stream, 1):
        advance(len(raw))
        if number == 1 and raw.startswith(codecs.BOM_UTF8):
            raw = raw[len(codecs.BOM_UTF8):]
        try:
            yield raw.decode("utf-8")
        except UnicodeDecodeError:
            raise InputError(number, "not valid UTF-8") from None


def _jsonl_records(
    lines: Iterator[str], key_fields: Sequence[str], value_field: Optional[str]
) -> Iterator[Record]:
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except ValueError as exc:
            raise InputError(number, f"not valid JSON: {exc}") from None
        except RecursionError:
            raise InputError(number, "JSON nested too deeply") from None
        if not isinstance(record, dict):
            raise InputError(number, "not a JSON object")
        keys: List[str] = []
        for field in key_fields:
            found = record.get(field)
            for item in found if isinstance(found, list) else [found]:
                if isinstance(item, str) or (isinstance(item, int) and not isinstance(item, bool)):
                    keys.append(str(item))
                elif item is not None:
                    raise InputError(
                        number, f"field {field!r} must be a string, an integer or a list of them"
                    )
        yield number, keys, _value(record, value_field, number)


def _csv_records(
    lines: Iterator[str], key_fields: Sequence[str], value_field: Optional[str]
) -> Iterator[Record]:
    # A cell may be as large as a JSON line may: the csv module's default
    # limit (128 KiB) is lifted while this input is read.
    previous = csv.field_size_limit(sys.maxsize)
    try:
        yield from _csv_rows_as_records(lines, key_fields, value_field)
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
