"""``verify()`` of a remote store: the file streamed once, in large ranges
fetched a few at a time, into a temporary file, then checked as a local
store is (whole-file and record checksums, structure, hash index, lookup
header, compressed frames)."""

from __future__ import annotations

import asyncio
import contextlib
import os
import tempfile
from typing import Any, Iterator

from tarndb._remote_source import run

# Ranges of the download, and how many are in flight at once.
_PIECE = 8 << 20
_IN_FLIGHT = 4


def download(obj: Any, path: str) -> None:
    """Write the whole object (as pinned at open) to *path*."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o600)
    try:
        async def fetch_all() -> None:
            gate = asyncio.Semaphore(_IN_FLIGHT)

            async def piece(begin: int) -> None:
                end = min(obj.size, begin + _PIECE)
                async with gate:
                    if hasattr(obj, "stream"):  # written as it arrives
                        await obj.stream(begin, end, lambda at, chunk: os.pwrite(fd, chunk, at))
                    else:
                        (data,) = await obj.fetch([(begin, end)])
                        os.pwrite(fd, data, begin)

            await asyncio.gather(*(piece(b) for b in range(0, obj.size, _PIECE)))

        run(fetch_all)
    finally:
        os.close(fd)


@contextlib.contextmanager
def local_copy(obj: Any) -> Iterator[str]:
    """A temporary local copy of the object, removed afterwards."""
    fd, path = tempfile.mkstemp(prefix="tarndb-verify-", suffix=".trnd")
    os.close(fd)
    try:
        download(obj, path)
        yield path
    finally:
        os.unlink(path)
