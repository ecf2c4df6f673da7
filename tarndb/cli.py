"""The ``tarndb`` command line (also ``python -m tarndb``).

Exit status: 0 on success; 1 when a store file is damaged (or, for ``get``,
the key is absent); 2 for usage errors, bad input and I/O errors; 130 when
interrupted (``build``: only before the store is in place). Errors are one
line on standard error.
"""

from __future__ import annotations

import argparse
import array
import contextlib
import json
import math
import os
import signal
import stat
import sys
import tempfile
import threading
from typing import (Any, BinaryIO, Callable, Iterable, Iterator, List, NoReturn, Optional,
                    Sequence)

from tarndb._errors import (TarnCorruptError, TarnDuplicateKeyError, TarnIOError, TarnValueError,
                            TarnVersionError)
from tarndb._ingest import Batch, InputError, PlainBatch, read_batches
from tarndb._progress import Progress
from tarndb._sharded import open_store
from tarndb._store import Writer, __version__
from tarndb._writer import TarnWriter

EXIT_OK, EXIT_DAMAGED, EXIT_USAGE = 0, 1, 2
EXIT_NOT_FOUND = 1
_MISSING = object()

_EPILOG = """\
exit status: 0 success; 1 damaged store file, or key not found (get);
2 usage, input or I/O error; 130 interrupted (build: before the store was
published, which it leaves as it was).
"""


class _Failure(Exception):
    """An error that ends the command with *status* and a one-line message."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line, not the usage text plus the error."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (see '{self.prog} --help')\n")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with *argv* (default: ``sys.argv[1:]``); return the exit status."""
    # Paths and keys that are not valid UTF-8 reach us as surrogate escapes;
    # print them back as the bytes they were.
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(AttributeError, ValueError):
            stream.reconfigure(errors="surrogateescape")  # type: ignore[union-attr]
    args = _parser().parse_args(argv)
    command: Callable[[argparse.Namespace], int] = args.run
    try:
        return command(args)
    except _Failure as exc:
        return _fail(str(exc), exc.status)
    except BrokenPipeError:
        # The reader of our output went away (``tarndb keys … | head``): end
        # as other tools do, by SIGPIPE (status 141 in a shell), quietly.
        _die_of_sigpipe()
    except OSError as exc:
        return _fail(_os_message(exc), EXIT_USAGE)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    return EXIT_USAGE  # not reached


def _die_of_sigpipe() -> None:
    with contextlib.suppress(OSError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # no failing flush at exit
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)


def _stdout() -> Any:
    """Standard output, or a failure when it is closed: a command that
    prints must not report success having printed nothing."""
    if sys.stdout is None:
        raise _Failure("cannot write the output: standard output is closed", EXIT_USAGE)
    return sys.stdout


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tarndb",
        description="Build, query and check tarndb store files.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"tarndb {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, run: Callable[[argparse.Namespace], int], help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help[0].upper() + help[1:] + ".",
                                  epilog=_EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        return sub

    build = command("build", _build, "build a store from JSON Lines or CSV")
    build.add_argument("input", metavar="INPUT", help="JSON Lines or CSV file, '-' for standard input")
    build.add_argument("store", metavar="STORE", help="store file to write (replaced atomically)")
    build.add_argument("-f", "--format", choices=("jsonl", "csv"),
                       help="input format (default: csv for *.csv, else jsonl)")
    build.add_argument("-k", "--key-field", action="append", metavar="FIELD",
                       help="field or column holding the record's key(s); repeat for several "
                            "(a JSON field may hold a list of keys; default: key)")
    build.add_argument("--value-field", metavar="FIELD",
                       help="store only this field as the value (default: the whole record)")
    build.add_argument("-q", "--quiet", action="store_true", help="print no summary")
    build.add_argument("--no-hash-index", dest="hash_index", action="store_false",
                       help="write no hash index (the file holds exactly the base format)")
    build.add_argument("--compress", action="store_true",
                       help="store values compressed with a zstd dictionary trained on them "
                            "(needs tarndb[zstd])")
    build.add_argument("--memory-limit", metavar="BYTES", type=_byte_count,
                       help="memory budget of the writer, e.g. 512M (default: 256M); "
                            "keys beyond it are sorted on disk")
    build.add_argument("--spill-dir", metavar="DIR",
                       help="directory for the writer's temporary files (default: the system's "
                            "temporary directory)")
    _sharded_build_arguments(build)

    get = command("get", _get, "print the value of one key as JSON")
    _store_argument(get)
    get.add_argument("key", metavar="KEY")
    get.add_argument("--raw", action="store_true", help="print the stored bytes in hexadecimal")

    keys = command("keys", _keys, "list keys in sorted order, one per line")
    _store_argument(keys)
    keys.add_argument("-p", "--prefix", default="", help="only keys starting with PREFIX")
    keys.add_argument("-0", "--null", action="store_true",
                      help="end each key with a NUL byte instead of a newline, as it is")

    dump = command("dump", _dump, "write all pairs as JSON Lines: {\"key\": …, \"value\": …}")
    _store_argument(dump)
    dump.add_argument("-p", "--prefix", default="", help="only keys starting with PREFIX")
    dump.add_argument("--raw", action="store_true", help="values as the stored bytes in hexadecimal")

    stats = command("stats", _stats, "print the store's metadata")
    _store_argument(stats)
    stats.add_argument("--json", action="store_true", help="as one JSON object")

    verify = command("verify", _verify, "check every checksum (exit 1 when damaged)")
    verify.add_argument("store", metavar="STORE")
    return parser


def _store_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("store", metavar="STORE")
    parser.add_argument("--no-verify", dest="verify", action="store_false",
                        help="skip the whole-file checksum at open")


# -- commands ---------------------------------------------------------------


def _build(args: argparse.Namespace) -> int:
    if args.shards is not None:
        from tarndb._sharded_cli import build_sharded

        return build_sharded(args)
    key_fields: List[str] = args.key_field or ["key"]
    fmt: str = args.format or ("csv" if args.input.lower().endswith(".csv") else "jsonl")
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
        raise _Failure(str(exc), EXIT_USAGE) from None
    with _interrupts_until_published(writer):
        return _build_with(writer, args, fmt, key_fields)


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
    with _input(args.input) as stream, lines:
        progress = Progress(sys.stderr, f"building {args.store}", _size_of(stream))
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
            raise _Failure(f"{args.input}: {exc}", EXIT_USAGE) from None
        except OSError as exc:
            raise _Failure(_os_message(exc), EXIT_USAGE) from None
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


def _byte_count(text: str) -> int:
    """A size such as 1048576, 512K, 256M or 2G, in bytes."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    scale = units.get(text[-1:].upper(), 1)
    number = text[:-1] if scale > 1 else text
    try:
        return int(number) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}") from None


def _fill(writer: TarnWriter, batches: Iterator[Batch], key_fields: List[str],
          progress: Progress, lines: "_LineNumbers") -> None:
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
                 lines: "_LineNumbers") -> None:
    before = writer.num_objects
    try:
        writer.update(pairs)
    except _UNSTORABLE as exc:
        # Pairs are stored in order: the objects stored tell which one failed.
        raise _cannot_store(pair_lines[writer.num_objects - before], exc) from None
    lines.extend(pair_lines)


def _get(args: argparse.Namespace) -> int:
    out = _stdout()
    with _reading(args) as reader:
        key = os.fsencode(args.key)
        try:
            found = reader.raw.get(key, _MISSING) if args.raw else reader.get(key, _MISSING)
        except TarnValueError as exc:
            raise _undecodable(args, exc) from None
    if found is _MISSING:
        return _fail(f"{args.store}: no key {args.key!r}", EXIT_NOT_FOUND)
    out.write((found.hex() if args.raw else _json(found)) + "\n")
    out.flush()
    return EXIT_OK


def _keys(args: argparse.Namespace) -> int:
    out = _stdout()
    with _reading(args) as reader:
        keys = (key for key, _ in reader.raw.prefix(os.fsencode(args.prefix))) if args.prefix else reader
        if args.null:
            for key in keys:
                out.write(key + "\0")
        else:
            for key in keys:
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


def _dump(args: argparse.Namespace) -> int:
    out = _stdout()
    with _reading(args) as reader:
        prefix = os.fsencode(args.prefix)
        try:
            if args.raw:
                for key, data in reader.raw.prefix(prefix):
                    out.write(_json({"key": key, "value": data.hex()}) + "\n")
            else:
                for key, value in reader.prefix(prefix):
                    out.write(_json({"key": key, "value": value}) + "\n")
        except TarnValueError as exc:
            raise _undecodable(args, exc) from None
        out.flush()
    return EXIT_OK


def _undecodable(args: argparse.Namespace, exc: TarnValueError) -> _Failure:
    """A value that is not MessagePack (stored raw) ends the command,
    pointing at --raw."""
    key = exc.key.decode("utf-8", "surrogateescape") if isinstance(exc.key, bytes) else exc.key
    return _Failure(f"{args.store}: the value of {key!r} is not MessagePack ({exc.__cause__}); "
                    "use --raw for the stored bytes", EXIT_USAGE)


def _stats(args: argparse.Namespace) -> int:
    out = _stdout()
    with _reading(args) as reader:
        stats = reader.stats()
    if args.json:
        out.write(_json(stats) + "\n")
    else:
        width = max(map(len, stats))
        for name, value in stats.items():
            text = _json(value) if isinstance(value, (list, dict)) else value
            out.write(f"{name:<{width}}  {text}\n")
    out.flush()
    return EXIT_OK


def _verify(args: argparse.Namespace) -> int:
    out = _stdout()
    args.verify = False  # verify() below checks the whole file anyway
    with _reading(args) as reader:
        reader.verify()
        out.write(f"{args.store}: ok ({len(reader):,} keys, "
                  f"{reader.stats()['num_objects']:,} objects)\n")
    out.flush()
    return EXIT_OK


# -- helpers ----------------------------------------------------------------


@contextlib.contextmanager
def _reading(args: argparse.Namespace) -> Iterator[Any]:
    """A reader of ``args.store`` (a store file, or a sharded store's
    directory), closed after the block. Damage found while opening or
    reading ends the command with status 1, an I/O error with 2."""
    store: str = args.store
    try:
        with open_store(store, args.verify) as reader:
            yield reader
    except (TarnCorruptError, TarnVersionError) as exc:
        raise _Failure(f"{store}: damaged: {exc}", EXIT_DAMAGED) from None
    except TarnIOError as exc:
        text = str(exc)
        raise _Failure(text if store in text else f"{store}: {text}", EXIT_USAGE) from None


def _sharded_build_arguments(build: argparse.ArgumentParser) -> None:
    build.add_argument("--shards", type=int, metavar="N",
                       help="build a sharded store of N shards in the directory STORE, with Dask")
    build.add_argument("--scheduler", metavar="ADDRESS",
                       help="with --shards: the Dask scheduler to run on (default: local processes)")
    build.add_argument("--workers", type=int, metavar="W",
                       help="with --shards and no --scheduler: local worker processes "
                            "(default: one per CPU)")


def _os_message(exc: OSError) -> str:
    if isinstance(exc, TarnIOError) or exc.strerror is None:
        return str(exc)
    if exc.filename is not None:
        return f"{os.fsdecode(exc.filename)}: {exc.strerror}"
    return exc.strerror


@contextlib.contextmanager
def _input(name: str) -> Iterator[BinaryIO]:
    """The input as a binary stream: the file *name*, or standard input for '-'."""
    if name == "-":
        if sys.stdin is None:
            raise _Failure("cannot read the input: standard input is closed", EXIT_USAGE)
        yield sys.stdin.buffer
        return
    try:
        stream = open(name, "rb")
    except OSError as exc:
        raise _Failure(_os_message(exc), EXIT_USAGE) from None
    with stream:
        yield stream


def _size_of(stream: BinaryIO) -> Optional[int]:
    """The byte size of a regular file, else ``None``."""
    try:
        st = os.fstat(stream.fileno())
    except (OSError, ValueError):
        return None
    return st.st_size if stat.S_ISREG(st.st_mode) else None


def _json(value: Any) -> str:
    """*value* as one line of strict JSON."""
    try:
        return json.dumps(value, ensure_ascii=False, allow_nan=False)
    except (TypeError, ValueError):
        pass  # bytes, map keys JSON has no form for, NaN: convert first
    except RecursionError:
        raise _Failure("a value is nested too deeply to print as JSON", EXIT_USAGE) from None
    try:
        return json.dumps(_jsonable(value), ensure_ascii=False, allow_nan=False)
    except RecursionError:
        raise _Failure("a value is nested too deeply to print as JSON", EXIT_USAGE) from None


def _jsonable(value: Any) -> Any:
    """*value* with what JSON cannot hold made representable: bytes as
    hexadecimal text, map keys that are not str, numbers or None as text,
    and the floats NaN and ±infinity as the strings "NaN", "Infinity" and
    "-Infinity". Iterative, so that deep nesting costs no recursion."""
    def leaf(v: Any) -> Any:
        if isinstance(v, (bytes, bytearray)):
            return v.hex()
        if isinstance(v, float) and not math.isfinite(v):
            return "NaN" if math.isnan(v) else ("Infinity" if v > 0 else "-Infinity")
        if isinstance(v, (str, int, float, bool)) or v is None:
            return v
        return repr(v)

    def key(k: Any) -> Any:
        if isinstance(k, str) or k is None or (isinstance(k, (int, float, bool))
                                              and not (isinstance(k, float) and not math.isfinite(k))):
            return k
        return str(_jsonable(k)) if isinstance(k, (list, tuple, dict)) else str(leaf(k))

    def container(v: Any) -> Any:
        return {} if isinstance(v, dict) else [] if isinstance(v, (list, tuple)) else None

    root = container(value)
    if root is None:
        return leaf(value)
    stack = [(value, root)]
    while stack:
        src, dst = stack.pop()
        pairs = src.items() if isinstance(src, dict) else enumerate(src)
        for k, v in pairs:
            new = container(v)
            converted = leaf(v) if new is None else new
            if isinstance(dst, dict):
                dst[key(k)] = converted
            else:
                dst.append(converted)
            if new is not None:
                stack.append((v, new))
    return root


def _fail(message: str, status: int) -> int:
    if sys.stderr is not None:  # closed: the status alone tells
        sys.stderr.write(f"tarndb: {message}\n")
    return status
