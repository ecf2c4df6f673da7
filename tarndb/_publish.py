"""Building a store file through the native writer.

The native ``build`` publishes atomically and durably: it writes a locked
temporary file ``<stem>.trnd.tmp`` beside the target, syncs it, renames it
over the target and syncs the directory, and concurrent builders of one
target take turns. It also prints a summary line straight to file
descriptor 1; the wrapper silences that line and prints its own on
``sys.stdout``, where callers can capture or redirect it.
"""

from __future__ import annotations

import contextlib
import os
import sys
from typing import Iterator

from tarndb._errors import translate
from tarndb._tarndb import _TarnWriter


def publish(native: _TarnWriter, path: str) -> None:
    """Build *native* into a complete, synced file at *path*."""
    try:
        with _fd1_silenced():
            native.build(path)
    except Exception as exc:
        raise translate(exc) from None


@contextlib.contextmanager
def _fd1_silenced() -> Iterator[None]:
    """Point file descriptor 1 at /dev/null for the duration of the block.

    The native build prints its summary line straight to descriptor 1. The
    interpreter lock is held during the build, so no other Python thread
    writes meanwhile.
    """
    if sys.stdout is not None:
        with contextlib.suppress(OSError, ValueError):
            sys.stdout.flush()
    try:
        saved = os.dup(1)
    except OSError:  # descriptor 1 is closed
        saved = -1
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        if devnull != 1:
            os.dup2(devnull, 1)
        yield
    finally:
        if saved >= 0:
            os.dup2(saved, 1)
            os.close(saved)
        else:
            os.close(1)
        if devnull != 1:
            os.close(devnull)
