"""Opening the store a reading command names, with its failures in words."""

from __future__ import annotations

import contextlib
import os
import stat
from typing import Any, Iterator

from tarndb._cli_output import EXIT_DAMAGED, EXIT_USAGE, Failure
from tarndb._errors import TarnCorruptError, TarnIOError, TarnVersionError
from tarndb._layered_dir import open as open_store

# The first bytes of every store file.
_MAGIC = b"TRND"


@contextlib.contextmanager
def reading(store: str, verify: bool) -> Iterator[Any]:
    """A reader of *store* (a store file, or a directory store, with layers or not),
    closed after the block. Damage found while opening or reading ends the
    command with status 1, a file that is not a store also with 1, an I/O
    error with 2."""
    try:
        # Keys, figures and checksums need no codec: a compressed store is
        # read without its package until a value is.
        # Keys come as their bytes, which the command line prints losslessly.
        with open_store(store, verify, keys_as="bytes", _need_codec=False) as reader:
            yield reader
    except (TarnCorruptError, TarnVersionError) as exc:
        reason = _not_a_store(store)
        raise Failure(f"{store}: {reason or f'damaged: {exc}'}", EXIT_DAMAGED) from None
    except TarnIOError as exc:
        # An error that names a file says which; one that does not is about the store.
        raise Failure(str(exc) if exc.filename else f"{store}: {exc}", EXIT_USAGE) from None


def _not_a_store(path: str) -> str:
    """"not a tarndb store (…)" when *path* is a file that does not begin as
    every store file does, else the empty string."""
    try:
        with open(path, "rb") as f:
            if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
                return ""
            head = f.read(len(_MAGIC))
    except OSError:
        return ""
    if head == _MAGIC:
        return ""
    if not head:
        return "not a tarndb store (the file is empty)"
    return f"not a tarndb store (bad magic: the file begins with {head!r}, not {_MAGIC!r})"
