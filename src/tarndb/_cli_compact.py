"""``tarndb compact``: merge a stack of layers into one store.

``tarndb compact OUT LAYER...`` merges the store files LAYER (newest first)
into the new store OUT; ``tarndb compact DIR`` commits a version of the
directory store DIR in which each shard's layers are merged. A progress bar
shows on a terminal; Ctrl-C stops the merge before anything is published.
"""

from __future__ import annotations

import argparse
import os
import sys

from tarndb._cli_input import byte_count
from tarndb._cli_output import EXIT_DAMAGED, EXIT_OK, EXIT_USAGE, Failure, stdout
from tarndb._compact import compact as compact_layers
from tarndb._errors import TarnCorruptError, TarnError
from tarndb._layered import LayeredReader
from tarndb._progress import Progress


def add_command(commands: argparse._SubParsersAction, epilog: str) -> None:  # type: ignore[type-arg]
    """Register ``tarndb compact`` with the command line's subcommands."""
    sub = commands.add_parser(
        "compact", help="merge a base store and its deltas into one store",
        description="Merge the store files LAYER (newest first) into OUT, or each shard's "
                    "layers of the directory store DIR into a new version.",
        epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub.set_defaults(run=compact)
    sub.add_argument("out", metavar="OUT|DIR", help="store file to write, or a directory store")
    sub.add_argument("layers", metavar="LAYER", nargs="*",
                     help="store files to merge, newest first (none for a directory store)")
    sub.add_argument("-q", "--quiet", action="store_true", help="print no summary")
    sub.add_argument("--no-hash-index", dest="hash_index", action="store_false",
                     help="write no hash index")
    sub.add_argument("--memory-limit", metavar="BYTES", type=byte_count,
                     help="memory budget of the compaction, e.g. 512M (default: 256M)")
    sub.add_argument("--spill-dir", metavar="DIR",
                     help="directory for temporary files (default: the system's)")


def compact(args: argparse.Namespace) -> int:
    if not args.layers:
        if not os.path.isdir(args.out):
            raise Failure(f"{args.out}: give the layers to merge, or a directory store",
                          EXIT_USAGE)
        from tarndb._layered_dir import compact_directory

        try:
            manifest = compact_directory(args.out, memory_limit=args.memory_limit,
                                         spill_dir=args.spill_dir, hash_index=args.hash_index)
        except TarnCorruptError as exc:
            raise Failure(f"{args.out}: {exc}", EXIT_DAMAGED) from None
        except (TarnError, ValueError) as exc:
            raise Failure(f"{args.out}: {exc}", EXIT_USAGE) from None
        if not args.quiet:
            stdout().write(f"{args.out}: {manifest['n']} shards compacted "
                           f"({manifest['version']})\n")
        return EXIT_OK
    try:
        stack = LayeredReader(args.layers)
    except TarnCorruptError as exc:
        raise Failure(str(exc), EXIT_DAMAGED) from None
    except TarnError as exc:
        raise Failure(str(exc), EXIT_USAGE) from None
    with stack:
        progress = Progress(sys.stderr, f"compacting into {args.out}", len(stack))

        def advance(done: int) -> None:
            progress.records = done
            progress.advance(done - progress.bytes_done)

        try:
            objects, keys, size = compact_layers(
                args.out, stack, memory_limit=args.memory_limit, spill_dir=args.spill_dir,
                hash_index=args.hash_index, progress=advance)
        except TarnCorruptError as exc:
            raise Failure(str(exc), EXIT_DAMAGED) from None
        except (TarnError, ValueError) as exc:
            raise Failure(str(exc), EXIT_USAGE) from None
        finally:
            progress.close()
    if not args.quiet:
        stdout().write(f"{args.out}: {keys:,} keys, {objects:,} objects, {size:,} bytes "
                       f"from {len(args.layers)} layers\n")
    return EXIT_OK
