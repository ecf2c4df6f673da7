"""The arguments of the ``tarndb`` command line and its help texts."""

from __future__ import annotations

import argparse
from typing import Callable, Dict, NoReturn

from tarndb import _cli_build, _cli_check, _cli_compact, _cli_read, _sharded_cli
from tarndb._cli_input import byte_count
from tarndb._cli_keys import BASE64, HEX, TEXT
from tarndb._cli_output import EXIT_USAGE
from tarndb._store import DEFAULT_MEMORY_LIMIT, __version__

_EPILOG = """\
exit status: 0 success; 1 damaged store, a file that is not a store, or a
key not found (get); 2 usage, input or I/O error; 130 interrupted (build:
before the store was published, which it leaves as it was).

keys: a key is printed as it is when it is printable UTF-8 text that does
not begin with '"'; any other key (empty, holding a control character, a
byte that is not UTF-8, or beginning with '"') is printed as a JSON string,
with \\udcXX for the byte 0xXX that is not UTF-8. A KEY, --prefix or
--stdin line that is such a JSON string is read as the key it quotes (any
other as it is), so every key printed reads back as itself. --hex-keys and
--base64-keys print and read every key as its bytes in that encoding.
'--' ends the options: 'tarndb get STORE -- -k' looks up the key '-k'.
"""

_STORE_HELP = "store file, or a sharded store's directory"


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line, not the usage text plus the error."""

    #: Operands after '--' that the command line set aside while parsing
    #: (``cli._parse``), shown as themselves in an error.
    stand_ins: Dict[str, str] = {}

    def error(self, message: str) -> NoReturn:
        for stand_in, operand in self.stand_ins.items():
            message = message.replace(stand_in, operand)
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (see '{self.prog} --help')\n")


def parser() -> argparse.ArgumentParser:
    """The parser of the whole command line."""
    top = _Parser(prog="tarndb", description="Build, query and check tarndb store files.",
                  epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"tarndb {__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, run: Callable[[argparse.Namespace], int],
                help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help[0].upper() + help[1:] + ".",
                                  epilog=_EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        return sub

    _build_arguments(command("build", _cli_build.build, "build a store from JSON Lines or CSV"))
    get = command("get", _cli_read.get,
                  "print the value of a key as JSON, or of each key read from standard input")
    _store_argument(get)
    get.add_argument("key", metavar="KEY", nargs="?",
                     help="the key to look up, as 'tarndb keys' prints it (see 'keys:' below)")
    get.add_argument("--raw", action="store_true", help="print the stored bytes in hexadecimal")
    get.add_argument("--stdin", action="store_true",
                     help="look up every key on standard input, one a line, as 'tarndb keys' "
                          "prints them; print one line for each: its value, or --missing")
    get.add_argument("-0", "--null", action="store_true",
                     help="with --stdin: keys are ended by NUL bytes, as 'tarndb keys -0' ends "
                          "them")
    get.add_argument("--missing", metavar="TEXT", default="-",
                     help="with --stdin: the line printed for a key that is not found (default: "
                          "'-', which no value prints as; the status is then 1)")
    _key_style(get)

    keys = command("keys", _cli_read.keys, "list keys in sorted order, one per line")
    _store_argument(keys)
    keys.add_argument("-p", "--prefix", default="", help="only keys starting with PREFIX")
    keys.add_argument("--start", help="only keys from START on (START itself included)")
    keys.add_argument("--stop", help="only keys before STOP (STOP itself excluded)")
    keys.add_argument("-r", "--reverse", action="store_true",
                      help="from the last key to the first")
    keys.add_argument("-0", "--null", action="store_true",
                      help="end each key with a NUL byte instead of a newline; keys are printed "
                           "as the bytes they are, but one holding NUL or beginning with '\"' "
                           "as a JSON string")
    _key_style(keys)

    dump = command("dump", _cli_read.dump,
                   "write all pairs as JSON Lines: {\"key\": …, \"value\": …}")
    _store_argument(dump)
    dump.add_argument("-p", "--prefix", default="", help="only keys starting with PREFIX")
    dump.add_argument("--raw", action="store_true",
                      help="values as the stored bytes in hexadecimal")
    _key_style(dump)

    stats = command("stats", _cli_check.stats, "print the store's figures")
    _store_argument(stats)
    stats.add_argument("--json", action="store_true", help="as one JSON object, every figure")

    verify = command("verify", _cli_check.verify,
                     "check every checksum of each store (exit 1 when one is damaged)")
    verify.add_argument("stores", metavar="STORE", nargs="+", help=_STORE_HELP + "; several may "
                        "be given, and the status is the worst of theirs")
    _cli_compact.add_command(commands, _EPILOG)
    return top


def _build_arguments(build: argparse.ArgumentParser) -> None:
    build.add_argument("input", metavar="INPUT",
                       help="JSON Lines or CSV file, '-' for standard input")
    build.add_argument("store", metavar="STORE",
                       help="store file to write (replaced atomically; '-' is refused: a store is "
                            "a file, write ./- for a file of that name); with --shards, a "
                            "directory")
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


def _store_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("store", metavar="STORE", help=_STORE_HELP)
    parser.add_argument("--no-verify", dest="verify", action="store_false",
                        help="skip the whole-file checksum at open")


def _key_style(parser: argparse.ArgumentParser) -> None:
    style = parser.add_mutually_exclusive_group()
    parser.set_defaults(key_style=TEXT)
    style.add_argument("--hex-keys", dest="key_style", action="store_const", const=HEX,
                       help="print and read keys as the hexadecimal of their bytes")
    style.add_argument("--base64-keys", dest="key_style", action="store_const", const=BASE64,
                       help="print and read keys as the base64 of their bytes")
