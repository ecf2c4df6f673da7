"""The reading commands: ``get``, ``keys``, ``dump``, ``stats`` and ``verify``,
on a store file or a sharded store's directory."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
from typing import Any, Iterator

from tarndb._cli_json import to_json
from tarndb._cli_output import (EXIT_DAMAGED, EXIT_NOT_FOUND, EXIT_OK, EXIT_USAGE, Failure, fail,
                                stdout)
from tarndb._errors import TarnCorruptError, TarnIOError, TarnValueError, TarnVersionError
from tarndb._layered_dir import open as open_store

_MISSING = object()


@contextlib.contextmanager
def _reading(args: argparse.Namespace) -> Iterator[Any]:
    """A reader of ``args.store`` (a store file, or a sharded store's
    directory), closed after the block. Damage found while opening or
    reading ends the command with status 1, an I/O error with 2."""
    store: str = args.store
    try:
        # Keys, figures and checksums need no codec: a compressed store is
        # read without its package until a value is.
        with open_store(store, args.verify, _need_codec=False) as reader:
            yield reader
    except (TarnCorruptError, TarnVersionError) as exc:
        raise Failure(f"{store}: damaged: {exc}", EXIT_DAMAGED) from None
    except TarnIOError as exc:
        # An error that names a file says which; one that does not is about the store.
        raise Failure(str(exc) if exc.filename else f"{store}: {exc}", EXIT_USAGE) from None


def get(args: argparse.Namespace) -> int:
    out = stdout()
    with _reading(args) as reader:
        key = os.fsencode(args.key)
        try:
            found = reader.raw.get(key, _MISSING) if args.raw else reader.get(key, _MISSING)
        except TarnValueError as exc:
            raise _undecodable(args, exc) from None
    if found is _MISSING:
        return fail(f"{args.store}: no key {args.key!r}", EXIT_NOT_FOUND)
    out.write((found.hex() if args.raw else to_json(found)) + "\n")
    out.flush()
    return EXIT_OK


def keys(args: argparse.Namespace) -> int:
    out = stdout()
    with _reading(args) as reader:
        found = (key for key, _ in reader.raw.prefix(os.fsencode(args.prefix))) if args.prefix else reader
        if args.null:
            for key in found:
                out.write(key + "\0")
        else:
            for key in found:
                out.write(_one_line(key) + "\n")
        out.flush()
    return EXIT_OK


def _one_line(key: str) -> str:
    """The key as it is, or as a JSON string when it holds a line break or
    another control character, or begins with a double quote: every output
    line is then one key, and a line that begins with a quote is JSON."""
    if key.isprintable() and not key.startswith('"'):
        return key
    return json.dumps(key, ensure_ascii=False)


def dump(args: argparse.Namespace) -> int:
    out = stdout()
    with _reading(args) as reader:
        prefix = os.fsencode(args.prefix)
        try:
            if args.raw:
                for key, data in reader.raw.prefix(prefix):
                    out.write(to_json({"key": key, "value": data.hex()}) + "\n")
            else:
                for key, value in reader.prefix(prefix):
                    out.write(to_json({"key": key, "value": value}) + "\n")
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


def stats(args: argparse.Namespace) -> int:
    out = stdout()
    with _reading(args) as reader:
        figures = reader.stats()
    if args.json:
        out.write(to_json(figures) + "\n")
    else:
        width = max(map(len, figures))
        for name, value in figures.items():
            text = to_json(value) if isinstance(value, (list, dict)) else value
            out.write(f"{name:<{width}}  {text}\n")
    out.flush()
    return EXIT_OK


def verify(args: argparse.Namespace) -> int:
    out = stdout()
    args.verify = False  # verify() below checks the whole file anyway
    with _reading(args) as reader:
        reader.verify()
        out.write(f"{args.store}: ok ({len(reader):,} keys, "
                  f"{reader.stats()['num_objects']:,} objects)\n")
    out.flush()
    return EXIT_OK
