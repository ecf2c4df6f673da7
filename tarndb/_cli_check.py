"""The commands that report on whole stores: ``stats`` and ``verify``."""

from __future__ import annotations

import argparse
from typing import Any, Dict

from tarndb._cli_json import to_json
from tarndb._cli_output import EXIT_OK, EXIT_USAGE, Failure, fail, os_error_message, stdout
from tarndb._cli_store import reading

# Figures the text form leaves out: file_size tells the size in bytes, and
# each shard's own figures are in --json.
_NOT_IN_TEXT = ("file_size_kb", "shards")


def stats(args: argparse.Namespace) -> int:
    out = stdout()
    with reading(args.store, args.verify) as reader:
        figures = reader.stats()
    if args.json:
        out.write(to_json(figures) + "\n")
    else:
        shown = {name: value for name, value in figures.items() if name not in _NOT_IN_TEXT}
        width = max(map(len, shown))
        for name, value in shown.items():
            out.write(f"{name:<{width}}  {_figure(name, value)}\n")
    out.flush()
    return EXIT_OK


def _figure(name: str, value: Any) -> str:
    """A figure of ``stats()`` in words and integers: yes/no, none, sizes in bytes."""
    if value is None:
        return "none"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if name == "hash_index" and isinstance(value, dict):
        state = "in use" if value["in_use"] else "set aside (damaged)"
        return f"{value['bytes']} bytes, {state}"
    if name == "compression" and isinstance(value, dict):
        return (f"{value['codec']}, dictionary {value['dictionary_bytes']} bytes, "
                f"values {value['ratio']:.2f} times smaller")
    if name in ("file_size", "private_bytes"):
        return f"{value} bytes"
    if isinstance(value, float):
        return f"{value:.2f}"
    if isinstance(value, (list, dict)):
        return to_json(value)
    return str(value)


def verify(args: argparse.Namespace) -> int:
    """Check each store in turn; the status is the worst of theirs."""
    out = stdout()
    worst = EXIT_OK
    for store in args.stores:
        try:
            line = _verified(store)
        except Failure as exc:
            worst = max(worst, fail(str(exc), exc.status))
            continue
        except OSError as exc:
            worst = max(worst, fail(os_error_message(exc), EXIT_USAGE))
            continue
        out.write(line + "\n")
        out.flush()
    return worst


def _verified(store: str) -> str:
    # verify() below checks the whole file: no need for the checksum at open.
    with reading(store, False) as reader:
        reader.verify()
        figures: Dict[str, Any] = reader.stats()
        return f"{store}: ok ({len(reader):,} keys, {figures['num_objects']:,} objects)"

