"""``tarndb build INPUT DIR --update``: a delta version of a directory store.

The records of INPUT (JSON Lines) are committed as a delta: one layer added
to every shard they reach, the store's shard count kept. A record whose
field named by ``--delete-field`` is true (JSON ``true``, a non-zero
number, a non-empty string) deletes its keys; the others put their value
as a build does. ``tarndb compact DIR`` later merges each shard's layers.
"""

from __future__ import annotations

import argparse
import os
from operator import itemgetter
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tarndb._cli_output import EXIT_USAGE, Failure
from tarndb._ingest import InputError, jsonl_text_records
from tarndb._manifest_layers import read_any_manifest


def add_update_arguments(build: argparse.ArgumentParser) -> None:
    """The options of ``tarndb build`` that commit a delta version."""
    build.add_argument("--update", action="store_true",
                       help="commit the records as a delta of the directory store STORE (a "
                            "layer on each shard they reach) instead of replacing it")
    build.add_argument("--delete-field", metavar="FIELD",
                       help="with --update: a record whose FIELD is true deletes its keys")


def prepare_update(args: argparse.Namespace) -> None:
    """Check an update's options and take the live store's shard count."""
    if not args.update:
        if args.delete_field is not None:
            raise Failure("--delete-field needs --update", EXIT_USAGE)
        return
    if args.input == "-" or (args.format or "").lower() == "csv" or args.input.endswith(".csv"):
        raise Failure("--update reads a JSON Lines file", EXIT_USAGE)
    if not os.path.isdir(args.store):
        raise Failure(f"{args.store}: --update needs a directory store", EXIT_USAGE)
    try:
        n = read_any_manifest(os.path.abspath(args.store))["n"]
    except Exception as exc:  # noqa: BLE001 (any reason the store cannot be read)
        raise Failure(f"{args.store}: {exc}", EXIT_USAGE) from None
    if args.shards is not None and args.shards != n:
        raise Failure(f"{args.store} has {n} shards; an update keeps them", EXIT_USAGE)
    args.shards = n


def parse_update_block(lines: Sequence[str], key_fields: List[str], value_field: Optional[str],
                       delete_field: Optional[str]) -> List[Tuple[List[str], Any, bool]]:
    """The (keys, value, deleted) records of one block of JSON Lines."""
    lines = list(lines)
    out = []
    try:
        for number, keys, record in jsonl_text_records(lines, key_fields, None):
            if not keys:
                raise InputError(number, f"no key (fields: {', '.join(key_fields)})")
            deleted = isinstance(record, dict) and bool(record.get(delete_field or ""))
            if value_field is not None and not deleted:
                if not isinstance(record, dict) or value_field not in record:
                    raise InputError(number, f"no field {value_field!r}")
                record = record[value_field]
            out.append((keys, record, deleted))
    except InputError as exc:
        text = lines[exc.line - 1].rstrip("\n")
        raise ValueError(f"record {text[:80]!r}: {exc.reason}") from None
    return out


def update_bag(args: argparse.Namespace, db: Any, key_fields: List[str], blocksize: int) -> Any:
    path = os.path.abspath(args.input)
    if not os.path.isfile(path):
        raise Failure(f"{args.input}: No such file", EXIT_USAGE)
    return db.read_text(path, blocksize=blocksize).map_partitions(
        parse_update_block, key_fields, args.value_field, args.delete_field)


def update_options(args: argparse.Namespace) -> Dict[str, Any]:
    """to_tarn's arguments for an update (none for a build that replaces)."""
    return {"mode": "update", "delete": itemgetter(2)} if args.update else {}


def summary(store: str, manifest: Dict[str, Any]) -> str:
    touched = sum(1 for shard in manifest["shards"]
                  if shard["layers"][0]["version"] == manifest["version"])
    return (f"{store}: delta {manifest['version']} on {touched} of {manifest['n']} shards\n")
