"""The ``tarndb`` command line (also ``python -m tarndb``).

Exit status: 0 on success; 1 when a store file is damaged (or, for ``get``,
the key is absent); 2 for usage errors, bad input and I/O errors; 130 when
interrupted (``build``: only before the store is in place). Errors are one
line on standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from typing import Callable, NoReturn, Optional, Sequence

from tarndb import _cli_build, _cli_compact, _cli_read, _sharded_cli
from tarndb._cli_input import byte_count
from tarndb._cli_output import (EXIT_DAMAGED, EXIT_INTERRUPTED, EXIT_NOT_FOUND, EXIT_OK,
                                EXIT_USAGE, Failure, fail, os_error_message)
from tarndb._store import DEFAULT_MEMORY_LIMIT, __version__

__all__ = ["EXIT_DAMAGED", "EXIT_NOT_FOUND", "EXIT_OK", "EXIT_USAGE", "main"]

_EPILOG = """\
exit status: 0 success; 1 damaged store file, or key not found (get);
2 usage, input or I/O error; 130 interrupted (build: before the store was
published, which it leaves as it was).
"""


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
    except Failure as exc:
        return fail(str(exc), exc.status)
    except BrokenPipeError:
        # The reader of our output went away (``tarndb keys … | head``): end
        # as other tools do, by SIGPIPE (status 141 in a shell), quietly.
        _die_of_sigpipe()
    except OSError as exc:
        return fail(os_error_message(exc), EXIT_USAGE)
    except KeyboardInterrupt:
        return fail("interrupted", EXIT_INTERRUPTED)
    return EXIT_USAGE  # not reached


def _die_of_sigpipe() -> None:
    with contextlib.suppress(OSError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # no failing flush at exit
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)


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

    build = command("build", _cli_build.build, "build a store from JSON Lines or CSV")
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
    build.add_argument("--memory-limit", metavar="BYTES", type=byte_count,
                       help=f"memory budget of the writer, e.g. 512M (default: "
                            f"{DEFAULT_MEMORY_LIMIT >> 20}M); keys beyond it are sorted on disk")
    build.add_argument("--spill-dir", metavar="DIR",
                       help="directory for the writer's temporary files (default: the system's "
                            "temporary directory)")
    _sharded_cli.add_arguments(build)

    get = command("get", _cli_read.get, "print the value of one key as JSON")
    _store_argument(get)
    get.add_argument("key", metavar="KEY")
    get.add_argument("--raw", action="store_true", help="print the stored bytes in hexadecimal")

    keys = command("keys", _cli_read.keys, "list keys in sorted order, one per line")
    _store_argument(keys)
    keys.add_argument("-p", "--prefix", default="", help="only keys starting with PREFIX")
    keys.add_argument("-0", "--null", action="store_true",
                      help="end each key with a NUL byte instead of a newline, as it is")

    dump = command("dump", _cli_read.dump, "write all pairs as JSON Lines: {\"key\": …, \"value\": …}")
    _store_argument(dump)
    dump.add_argument("-p", "--prefix", default="", help="only keys starting with PREFIX")
    dump.add_argument("--raw", action="store_true", help="values as the stored bytes in hexadecimal")

    stats = command("stats", _cli_read.stats, "print the store's metadata")
    _store_argument(stats)
    stats.add_argument("--json", action="store_true", help="as one JSON object")

    verify = command("verify", _cli_read.verify, "check every checksum (exit 1 when damaged)")
    verify.add_argument("store", metavar="STORE")
    _cli_compact.add_command(commands, _EPILOG)
    return parser


def _store_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("store", metavar="STORE")
    parser.add_argument("--no-verify", dest="verify", action="store_false",
                        help="skip the whole-file checksum at open")
