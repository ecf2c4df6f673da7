"""``tarndb build INPUT STORE``: one store file from JSON Lines or CSV."""

from __future__ import annotations

import argparse
import array
import contextlib
import signal
import sys
import tempfile
import threading
from typing import Any, BinaryIO, Iterable, Iterator, List, Optional, Sequence

from tarndb._cli_input import input_format, open_input, refuse_to_replace_the_input, size_of
from tarndb._cli_output import EXIT_OK, EXIT_USAGE, Failure, os_error_message
from tarndb._errors import TarnDuplicateKeyError
from tarndb._ingest import Batch, InputError, PlainBatch, read_batches
from tarndb._local_path import local_path
from tarndb._progress import Progress
from tarndb._store import Writer
from tarndb._writer import TarnWriter


def build(args: argparse.Namespace) -> int:
    args.store = _target(args.store)
    if args.shards is not None or args.update:
        from tarndb._sharded_cli import build_sharded

        return build_sharded(args)
    key_fields: List[str] = args.key_field or ["key"]
    # Values go to the store's directory as they are read, keys beyond the
    # memory budget to sorted runs on disk: memory stays bounded for any input.
    # A repeated key is found when the runs are merged, at the end. A STORE
    # that names a directory, device, FIFO or socket is refused here.
    try:
        writer = TarnWriter(memory_limit=args.memory_limit, spill_dir=args.spill_dir,
                            hash_index=args.hash_index,
                            compression="zstd" if args.compress else None,
                            _target=args.store, _unique_keys=True)
    except (ValueError, ImportError) as exc:
        raise Failure(str(exc), EXIT_USAGE) from None
    with _interrupts_until_published(writer):
        return _build_with(writer, args, input_format(args), key_fields)


def _target(store: str) -> str:
    """STORE as a local path; '-' and URLs are refused: a store is published
    by renaming a file into place, which standard output and a remote file
    system are not."""
    if store == "-":
        raise Failure("STORE '-': a store is a file, not standard output "
                      "(write ./- for a file named '-')", EXIT_USAGE)
    try:
        return local_path(store, expand_user=False)
    except ValueError as exc:
        raise Failure(f"STORE {exc}", EXIT_USAGE) from None


@contextlib.contextmanager
def _interrupts_until_published(writer: Writer) -> Iterator[None]:
    """Ctrl-C (SIGINT) stops the build as long as the store is not in place:
    the build stops before its rename and the command ends with "interrupted"
    (status 130), STORE as it was. Once the store is renamed into place the
    command is done but for its report: an interrupt then is ignored, and the
    build is reported as a success."""
    if threading.current_thread() is not threading.main_thread():
        yield  # signals are handled in the main thread only
        return
    published = writer._published

    def on_interrupt(signum: int, frame: Any) -> None:
        if writer._published == published:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, on_interrupt)
    try:
        yield
    finally:
        # signal.signal() runs a pending handler first: on_interrupt still.
        signal.signal(signal.SIGINT, previous)


def _build_with(writer: TarnWriter, args: argparse.Namespace, fmt: str,
                key_fields: List[str]) -> int:
    lines = _LineNumbers(args.spill_dir)
    with open_input(args.input) as stream, lines:
        refuse_to_replace_the_input(stream, args.store)
        progress = Progress(sys.stderr, f"building {args.store}", size_of(stream))
        try:
            batches = read_batches(stream, fmt, key_fields, args.value_field, progress.advance)
            _fill(writer, batches, key_fields, progress, lines)
            progress.status("writing…")
            try:
                objects, keys, size = writer._build(args.store)
            except TarnDuplicateKeyError as exc:
                text = exc.key.decode("utf-8", "surrogateescape")
                raise InputError(lines[exc.repeat_id], f"duplicate key {text!r} "
                                 f"(first on line {lines[exc.first_id]})") from None
        except InputError as exc:
            raise Failure(f"{args.input}: {exc}", EXIT_USAGE) from None
        except OSError as exc:
            raise Failure(os_error_message(exc), EXIT_USAGE) from None
        finally:
            progress.close()
    if not args.quiet:
        print(f"{args.store}: {keys:,} keys, {objects:,} objects, {size:,} bytes")
    return EXIT_OK


class _LineNumbers:
    """The input line of each object, by object ID, kept on disk past a few
    thousand so that memory stays bounded; read only to report a repeated key."""

    _CHUNK = 1 << 16

    def __init__(self, spill_dir: Optional[str]) -> None:
        self._spill_dir = spill_dir
        self._file: Optional[BinaryIO] = None
        self._stored = 0
        self._tail = array.array("Q")

    def append(self, line: int) -> None:
        self.extend([line])

    def extend(self, lines: Iterable[int]) -> None:
        self._tail.extend(lines)
        if len(self._tail) >= self._CHUNK:
            if self._file is None:
                self._file = tempfile.TemporaryFile(dir=self._spill_dir)
            self._file.seek(self._stored * 8)
            self._tail.tofile(self._file)
            self._stored += len(self._tail)
            del self._tail[:]

    def __getitem__(self, obj_id: int) -> int:
        if obj_id >= self._stored:
            return self._tail[obj_id - self._stored]
        assert self._file is not None
        self._file.seek(obj_id * 8)
        found = array.array("Q")
        found.frombytes(self._file.read(8))
        return found[0]

    def __enter__(self) -> "_LineNumbers":
        return self

    def __exit__(self, *exc: object) -> None:
        if self._file is not None:
            self._file.close()


def _fill(writer: TarnWriter, batches: Iterator[Batch], key_fields: List[str],
          progress: Progress, lines: _LineNumbers) -> None:
    """Add every record to *writer*, noting its line; a record without a key or
    a value MessagePack cannot hold is an error (repeated keys are found at build).

    Records of one key go to the writer a batch at a time (``update``, which
    encodes in native code), those of several keys one by one."""
    for batch in batches:
        if isinstance(batch, PlainBatch):
            first = batch.first_line
            _store_pairs(writer, zip(batch.keys, batch.values),
                         range(first, first + len(batch.keys)), lines)
            progress.records += len(batch.keys)
            continue
        pairs: List[Any] = []
        pair_lines: List[int] = []
        for line, keys, value in batch:
            if len(keys) == 1:
                pairs.append((keys[0], value))
                pair_lines.append(line)
                continue
            if not keys:
                raise InputError(line, f"no key (fields: {', '.join(key_fields)})")
            _store_pairs(writer, pairs, pair_lines, lines)
            pairs, pair_lines = [], []
            try:
                # A key named twice in one record counts once.
                writer.put_many(list(dict.fromkeys(keys)), value)
            except _UNSTORABLE as exc:
                raise _cannot_store(line, exc) from None
            lines.append(line)
        _store_pairs(writer, pairs, pair_lines, lines)
        progress.records += len(batch)


# What storing a record raises for a record that cannot be stored.
_UNSTORABLE = (TypeError, ValueError, OverflowError, RecursionError)


def _cannot_store(line: int, exc: BaseException) -> InputError:
    if isinstance(exc, RecursionError):
        return InputError(line, "cannot store: the value is nested too deeply")
    return InputError(line, f"cannot store: {exc}")


def _store_pairs(writer: TarnWriter, pairs: Iterable[Any], pair_lines: Sequence[int],
                 lines: _LineNumbers) -> None:
    before = writer.num_objects
    try:
        writer.update(pairs)
    except _UNSTORABLE as exc:
        # Pairs are stored in order: the objects stored tell which one failed.
        raise _cannot_store(pair_lines[writer.num_objects - before], exc) from None
    lines.extend(pair_lines)
