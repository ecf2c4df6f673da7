"""What every command of the command line shares: exit statuses, failures
as one line on standard error, and standard output."""

from __future__ import annotations

import os
import sys
from typing import Any

from tarndb._errors import TarnIOError

EXIT_OK, EXIT_DAMAGED, EXIT_USAGE = 0, 1, 2
EXIT_NOT_FOUND = 1
EXIT_INTERRUPTED = 130


class Failure(Exception):
    """An error that ends the command with *status* and a one-line message."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def fail(message: str, status: int) -> int:
    """Print *message* as the command's one error line; return *status*."""
    if sys.stderr is not None:  # closed: the status alone tells
        sys.stderr.write(f"tarndb: {message}\n")
    return status


def stdout() -> Any:
    """Standard output, or a failure when it is closed: a command that
    prints must not report success having printed nothing."""
    if sys.stdout is None:
        raise Failure("cannot write the output: standard output is closed", EXIT_USAGE)
    return sys.stdout


def os_error_message(exc: OSError) -> str:
    """The line that reports *exc*: the package's I/O errors as they are
    (they name their file where there is one), others as "file: reason"."""
    if isinstance(exc, TarnIOError) or exc.strerror is None:
        return str(exc)
    if exc.filename is not None:
        return f"{os.fsdecode(exc.filename)}: {exc.strerror}"
    return exc.strerror
