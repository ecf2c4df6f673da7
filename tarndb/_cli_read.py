"""The reading commands ``get``, ``keys`` and ``dump``, on a store file or a
sharded store's directory. Keys are printed and read back as ``_cli_keys``
says."""

from __future__ import annotations

import argparse
import itertools
import json
import os
import sys
from typing import Any, BinaryIO, Iterator, List, Optional

from tarndb._cli_json import to_json
from tarndb._cli_keys import key_json, line_formatter, parse_key
from tarndb._cli_output import EXIT_NOT_FOUND, EXIT_OK, EXIT_USAGE, Failure, fail, stdout
from tarndb._cli_store import reading
from tarndb._errors import TarnValueError

_MISSING = object()
_BATCH = 4096  # keys of ``get --stdin`` looked up in one call


def get(args: argparse.Namespace) -> int:
    out = stdout()
    if args.stdin == (args.key is not None):
        raise Failure("get takes one KEY, or --stdin for many, not both"
                      if args.stdin else "get needs a KEY, or --stdin", EXIT_USAGE)
    with reading(args.store, args.verify) as reader:
        view = reader.raw if args.raw else reader
        if args.stdin:
            return _get_many(args, view, out)
        key = parse_key(os.fsencode(args.key), args.key_style, "KEY")
        try:
            found = view.get(key, _MISSING)
        except TarnValueError as exc:
            raise _undecodable(args, exc) from None
    if found is _MISSING:
        return fail(f"{args.store}: no key {args.key!r}", EXIT_NOT_FOUND)
    out.write((found.hex() if args.raw else to_json(found)) + "\n")
    out.flush()
    return EXIT_OK


def _get_many(args: argparse.Namespace, view: Any, out: Any) -> int:
    """One line of output for each key read from standard input: its value,
    or the --missing text for a key the store does not hold."""
    if sys.stdin is None:
        raise Failure("cannot read the keys: standard input is closed", EXIT_USAGE)
    given = _input_keys(sys.stdin.buffer, b"\0" if args.null else b"\n")
    keys = (parse_key(line, args.key_style, f"standard input, line {number}:")
            for number, line in enumerate(given, 1))
    total = missed = 0
    while True:
        batch = list(itertools.islice(keys, _BATCH))
        if not batch:
            break
        try:
            values = view.get_many(batch, _MISSING)
        except TarnValueError as exc:
            raise _undecodable(args, exc) from None
        lines: List[str] = []
        for value in values:
            if value is _MISSING:
                lines.append(args.missing)
                missed += 1
            else:
                lines.append(value.hex() if args.raw else to_json(value))
        out.write("\n".join(lines) + "\n")
        total += len(batch)
    out.flush()
    if missed:
        return fail(f"{args.store}: {missed:,} of {total:,} keys not found", EXIT_NOT_FOUND)
    return EXIT_OK


def _input_keys(stream: BinaryIO, end: bytes) -> Iterator[bytes]:
    """The items of *stream*, each ended by *end* (the last one may be
    unended), without their ends."""
    rest = b""
    while True:
        chunk = stream.read1(1 << 16) if hasattr(stream, "read1") else stream.read(1 << 16)
        if not chunk:
            break
        *items, rest = (rest + chunk).split(end)
        yield from items
    if rest:
        yield rest


def keys(args: argparse.Namespace) -> int:
    out = stdout()
    with reading(args.store, args.verify) as reader:
        found = _listed_keys(args, reader)
        line = line_formatter(args.key_style, args.null)
        end = "\0" if args.null else "\n"
        for key in found:
            out.write(line(key) + end)
        out.flush()
    return EXIT_OK


def _listed_keys(args: argparse.Namespace, reader: Any) -> Iterator[bytes]:
    """The keys ``keys`` lists: within --prefix and --start/--stop (all of
    them must hold), in key order or, with --reverse, the other way."""
    style = args.key_style
    prefix = parse_key(os.fsencode(args.prefix), style, "--prefix")
    start = None if args.start is None else parse_key(os.fsencode(args.start), style, "--start")
    stop = None if args.stop is None else parse_key(os.fsencode(args.stop), style, "--stop")
    if prefix:
        start = prefix if start is None else max(start, prefix)
        after = _after_prefix(prefix)
        stop = after if stop is None else (stop if after is None else min(stop, after))
    if start is None and stop is None and not args.reverse:
        return iter(reader)
    return reader._scan("keys", start, stop, args.reverse)  # type: ignore[no-any-return]


def _after_prefix(prefix: bytes) -> Optional[bytes]:
    """The smallest key above every key that begins with *prefix* (None: none)."""
    trimmed = prefix.rstrip(b"\xff")
    return trimmed[:-1] + bytes([trimmed[-1] + 1]) if trimmed else None


def dump(args: argparse.Namespace) -> int:
    out = stdout()
    style = args.key_style
    with reading(args.store, args.verify) as reader:
        prefix = parse_key(os.fsencode(args.prefix), style, "--prefix")
        try:
            for key, value in (reader.raw if args.raw else reader).prefix(prefix):
                field = key_json(key, style)
                text = json.dumps(value.hex()) if args.raw else to_json(value)
                out.write(f'{{"key": {field}, "value": {text}}}\n')
        except TarnValueError as exc:
            raise _undecodable(args, exc) from None
        out.flush()
    return EXIT_OK


def _undecodable(args: argparse.Namespace, exc: TarnValueError) -> Failure:
    """A value that is not MessagePack (stored raw) ends the command,
    pointing at --raw; one that needs a codec's package says which."""
    if isinstance(exc.__cause__, ImportError):
        return Failure(f"{args.store}: {exc.__cause__}", EXIT_USAGE)
    key = exc.key.decode("utf-8", "surrogateescape") if isinstance(exc.key, bytes) else exc.key
    return Failure(f"{args.store}: the value of {key!r} is not MessagePack ({exc.__cause__}); "
                   "use --raw for the stored bytes", EXIT_USAGE)
