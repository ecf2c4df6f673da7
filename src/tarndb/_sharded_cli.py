"""``tarndb build INPUT DIR --shards N``: a sharded store built with Dask.

JSON Lines files are read and parsed by the workers, a block each; CSV and
standard input are parsed here as they are read, into a JSON Lines file the
workers read in turn. Each shard's writer takes --memory-limit and
--spill-dir. The cluster is a local one of worker processes, or the
scheduler at ``--scheduler``.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import logging
import os
import tempfile
from operator import itemgetter
from typing import Any, Iterator, List, Optional, Sequence, Tuple

from tarndb import _cli_update
from tarndb._cli_input import input_format, open_input
from tarndb._cli_output import EXIT_OK, EXIT_USAGE, Failure, os_error_message, stdout
from tarndb._errors import TarnError
from tarndb._ingest import InputError, jsonl_text_records, read_records
from tarndb._local_path import removed_if_failed

_BLOCK = 32 << 20  # bytes of JSON Lines per partition
_MIN_BLOCK = 1 << 20
_MAX_SHARDS = 99999  # as tarndb.dask.to_tarn takes


def add_arguments(build: argparse.ArgumentParser) -> None:
    """The options of ``tarndb build`` that make it build a sharded store."""
    build.add_argument("--shards", type=int, metavar="N",
                       help="build a sharded store of N shards in the directory STORE, with Dask")
    build.add_argument("--scheduler", metavar="ADDRESS",
                       help="with --shards: the Dask scheduler to run on (default: local "
                            "processes)")
    build.add_argument("--workers", type=int, metavar="W",
                       help="with --shards and no --scheduler: local worker processes "
                            "(default: one per CPU)")
    _cli_update.add_update_arguments(build)
    build.add_argument("-v", "--verbose", action="count", default=0,
                       help="with --shards: show Dask's log messages on standard error, -v its "
                            "warnings and errors, -vv also information, -vvv everything "
                            "(default: none; a failed build is reported in one line)")


# Dask's loggers, in this process and in the local workers, and the level
# each -v gives them. Without -v nothing is shown: the command reports
# itself, and a message a worker logs on the way (a missed heartbeat under
# load, with its traceback) is no failure of the build.
_LOGGERS = ("distributed", "distributed.client", "distributed.gc", "bokeh", "tornado",
            "tornado.application", "asyncio", "py.warnings")
_SILENT = logging.CRITICAL + 10
_LEVELS = (_SILENT, logging.WARNING, logging.INFO, logging.DEBUG)


@contextlib.contextmanager
def dask_log_level(verbose: int) -> Iterator[int]:
    """Dask's log messages at the level *verbose* asks for (warnings through
    ``logging``), here and in the worker processes started meanwhile (their
    logging is set up from ``DASK_LOGGING`` as they start); restored after."""
    level = _LEVELS[min(verbose, len(_LEVELS) - 1)]
    previous = {name: logging.getLogger(name).level for name in _LOGGERS}
    environ = os.environ.get("DASK_LOGGING")
    os.environ["DASK_LOGGING"] = repr({name: level for name in _LOGGERS})
    logging.captureWarnings(True)
    try:
        for name in _LOGGERS:
            logging.getLogger(name).setLevel(level)
        yield level
    finally:
        logging.captureWarnings(False)
        for name, old in previous.items():
            logging.getLogger(name).setLevel(old)
        if environ is None:
            del os.environ["DASK_LOGGING"]
        else:
            os.environ["DASK_LOGGING"] = environ


def parse_jsonl_block(lines: Sequence[str], key_fields: List[str],
                      value_field: Optional[str]) -> List[Tuple[List[str], Any]]:
    """The (keys, value) records of one block of JSON Lines; a bad line is
    reported with its text (a block does not know its line numbers)."""
    lines = list(lines)
    out = []
    try:
        for number, keys, value in jsonl_text_records(lines, key_fields, value_field):
            if not keys:
                raise InputError(number, f"no key (fields: {', '.join(key_fields)})")
            out.append((keys, value))
    except InputError as exc:
        text = lines[exc.line - 1].rstrip("\n")
        raise ValueError(f"record {text[:80]!r}: {exc.reason}") from None
    return out


def start_local_cluster(workers: int, log_level: int = logging.ERROR) -> Tuple[Any, Any]:
    """A LocalCluster of *workers* single-threaded worker processes, and a
    client of it, set up for building stores.

    Dask starts its workers with glibc's MALLOC_TRIM_THRESHOLD_ at 64 KiB,
    which makes every larger allocation an mmap/munmap pair; building
    records and splitting them by shard allocate a great deal, and ran about
    1.4 times slower that way. The workers here keep glibc's own threshold.

    Each worker then moves the objects it holds after start-up (Dask's,
    pandas', about 690,000) out of the garbage collector's reach
    (``gc.freeze``): making records, a worker ran full collections over them
    every few hundred thousand allocations, a third of the time it spent
    making records. A worker that restarts loses this and is slower, not
    wrong.
    """
    import dask
    from distributed import Client, LocalCluster

    with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_":
                          str(128 << 20)}):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=":0", silence_logs=log_level)
    try:
        client = Client(cluster)
        client.run(_freeze_objects)
    except BaseException:
        cluster.close()
        raise
    return cluster, client


def _freeze_objects() -> None:
    gc.collect()
    gc.freeze()


def _check_options(args: argparse.Namespace) -> None:
    """Failures for options no build can run with, before any is started
    (a negative worker count made the local cluster wait for ever)."""
    if not 1 <= args.shards <= _MAX_SHARDS:
        raise Failure(f"--shards must be 1 to {_MAX_SHARDS}, not {args.shards}", EXIT_USAGE)
    if args.workers is not None and args.workers < 1:
        raise Failure(f"--workers must be 1 or more, not {args.workers}", EXIT_USAGE)
    if args.scheduler is not None:
        from distributed.comm.addressing import parse_address, parse_host_port

        try:
            protocol, location = parse_address(args.scheduler)
            if protocol in ("tcp", "tls", "ws", "wss"):
                parse_host_port(location)
        except ValueError as exc:
            raise Failure(f"--scheduler {args.scheduler!r}: not a scheduler address ({exc})",
                          EXIT_USAGE) from None


def _connect(client_class: Any, address: str) -> Any:
    """A client of the scheduler at *address*, or a failure saying why not."""
    try:
        return client_class(address)
    except (OSError, ValueError) as exc:
        raise Failure(f"--scheduler {address!r}: cannot connect ({exc})", EXIT_USAGE) from None


def _block_size(memory_limit: Optional[int]) -> int:
    """Bytes of JSON Lines per partition: a worker holds a block's records
    at once, several times its size, so a small budget takes small blocks."""
    if memory_limit is None:
        return _BLOCK
    return max(_MIN_BLOCK, min(_BLOCK, memory_limit // 8))


def _bag_of_input(args: argparse.Namespace, db: Any, key_fields: List[str], fmt: str, root: str,
                  spooled: List[str]) -> Any:
    """The records of the input as a bag of (keys, value) read by the workers
    a block at a time. A JSON Lines file is read where it is; CSV and standard
    input are parsed here as they are read, into JSON Lines of
    {"keys": [...], "value": ...} in a file beside the store (or in
    --spill-dir) whose path is added to *spooled*: memory stays bounded for
    any input, and the workers see the file as they see the store."""
    blocksize = _block_size(args.memory_limit)
    if fmt == "jsonl" and args.input != "-":
        path = os.path.abspath(args.input)
        if not os.path.isfile(path):
            raise Failure(f"{args.input}: No such file", EXIT_USAGE)
        return db.read_text(path, blocksize=blocksize).map_partitions(
            parse_jsonl_block, key_fields, args.value_field)
    os.makedirs(root, exist_ok=True)
    fd, path = tempfile.mkstemp(prefix=".input-", suffix=".jsonl", dir=args.spill_dir or root)
    spooled.append(path)
    with open_input(args.input) as stream, open(fd, "w", encoding="utf-8") as out:
        for line, keys, value in read_records(stream, fmt, key_fields, args.value_field,
                                              lambda n: None):
            if not keys:
                raise InputError(line, f"no key (fields: {', '.join(key_fields)})")
            out.write(json.dumps({"keys": keys, "value": value}, ensure_ascii=False) + "\n")
    return db.read_text(path, blocksize=blocksize).map_partitions(
        parse_jsonl_block, ["keys"], "value")


def build_sharded(args: argparse.Namespace) -> int:
    try:
        import dask.bag  # noqa: F401
        import distributed  # noqa: F401
    except ImportError:
        raise Failure("building a sharded store needs Dask: pip install 'tarndb[dask]'",
                       EXIT_USAGE) from None
    root = os.path.abspath(args.store)
    _cli_update.prepare_update(args)
    _check_options(args)
    if os.path.exists(root) and not os.path.isdir(root):
        raise Failure(f"{args.store}: not a directory (a sharded store is one)", EXIT_USAGE)
    with dask_log_level(args.verbose) as level, removed_if_failed(root):
        manifest = _build_on_cluster(args, root, level)
    if not args.quiet and args.update:
        stdout().write(_cli_update.summary(args.store, manifest))
    elif not args.quiet:
        size = sum(s["size"] for s in manifest["shards"])
        stdout().write(f"{args.store}: {manifest['keys']:,} keys, {manifest['objects']:,} objects, "
                        f"{manifest['n']} shards, {size:,} bytes ({manifest['version']})\n")
    return EXIT_OK


def _build_on_cluster(args: argparse.Namespace, root: str, log_level: int) -> Any:
    """Build and commit the store on the cluster the options name; its manifest."""
    import dask.bag as db
    from distributed import Client

    from tarndb.dask import to_tarn

    if args.scheduler:
        client = _connect(Client, args.scheduler)
        cluster = None
    else:
        cluster, client = start_local_cluster(args.workers or os.cpu_count() or 1, log_level)
    spooled: List[str] = []
    try:
        if args.update:
            bag = _cli_update.update_bag(args, db, args.key_field or ["key"],
                                         _block_size(args.memory_limit))
        else:
            bag = _bag_of_input(args, db, args.key_field or ["key"], input_format(args), root,
                                spooled)
        # Each shard's writer keeps to the budget and spills where asked, as
        # the single-file build's writer does.
        options = {"hash_index": args.hash_index,
                   "compression": "zstd" if args.compress else None,
                   "memory_limit": args.memory_limit, "spill_dir": args.spill_dir}
        return to_tarn(bag, root, shards=args.shards, key=itemgetter(0), value=itemgetter(1),
                       writer_options=options, **_cli_update.update_options(args))
    except InputError as exc:
        raise Failure(f"{args.input}: {exc}", EXIT_USAGE) from None
    except (ValueError, TypeError) as exc:
        raise Failure(f"{args.input}: {exc}", EXIT_USAGE) from None
    except TarnError as exc:
        raise Failure(f"{args.store}: {exc}", EXIT_USAGE) from None
    except OSError as exc:
        raise Failure(os_error_message(exc), EXIT_USAGE) from None
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
        for path in spooled:
            os.remove(path)
