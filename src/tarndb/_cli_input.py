"""The input of ``tarndb build``: the file or standard input it reads, its
format, and the sizes its options take."""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
import sys
from typing import BinaryIO, Iterator, Optional

from tarndb._cli_output import EXIT_USAGE, Failure, os_error_message


def input_format(args: argparse.Namespace) -> str:
    """The input's format: as given, else csv for a ``*.csv`` file, else jsonl."""
    return args.format or ("csv" if args.input.lower().endswith(".csv") else "jsonl")


@contextlib.contextmanager
def open_input(name: str) -> Iterator[BinaryIO]:
    """The input as a binary stream: the file *name*, or standard input for '-'."""
    if name == "-":
        if sys.stdin is None:
            raise Failure("cannot read the input: standard input is closed", EXIT_USAGE)
        yield sys.stdin.buffer
        return
    try:
        stream = open(name, "rb")
    except OSError as exc:
        raise Failure(os_error_message(exc), EXIT_USAGE) from None
    with stream:
        yield stream


def refuse_to_replace_the_input(stream: BinaryIO, store: str) -> None:
    """A failure when STORE names the file being read (the same device and
    inode, under any name): publishing the store would replace the input."""
    try:
        read, target = os.fstat(stream.fileno()), os.stat(store)
    except (OSError, ValueError):
        return  # no STORE yet, or an input that is not a file
    if (read.st_dev, read.st_ino) == (target.st_dev, target.st_ino):
        raise Failure(f"{store}: is the input file; the build would replace it with the store "
                      "(name another STORE)", EXIT_USAGE)


def size_of(stream: BinaryIO) -> Optional[int]:
    """The byte size of a regular file, else ``None``."""
    try:
        st = os.fstat(stream.fileno())
    except (OSError, ValueError):
        return None
    return st.st_size if stat.S_ISREG(st.st_mode) else None


def byte_count(text: str) -> int:
    """A size such as 1048576, 512K, 256M or 2G, in bytes."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    scale = units.get(text[-1:].upper(), 1)
    number = text[:-1] if scale > 1 else text
    try:
        return int(number) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}") from None
