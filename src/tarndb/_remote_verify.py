"""``verify()`` of a remote store: each file streamed once, in large ranges
fetched a few at a time, into a temporary file, then checked as a local
store is (whole-file and record checksums, structure, hash index, lookup
header, compressed frames). A sharded store's next shard streams while the
one before is checked."""

from __future__ import annotations

import asyncio
import contextlib
import os
import tempfile
from concurrent.futures import Future
from typing import Any, Iterator, Sequence

from tarndb._remote_source import run

# Ranges of the download, and how many are in flight at once.
_PIECE = 8 << 20
_IN_FLIGHT = 4


async def _fetch_into(obj: Any, path: str) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o600)
    try:
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
    finally:
        os.close(fd)


def download(obj: Any, path: str) -> None:
    """Write the whole object (as pinned at open) to *path*."""
    run(_fetch_into, obj, path)


def _start(obj: Any, path: str) -> "Future[None]":
    """The download of *obj* into *path*, begun on the event loop's thread."""
    from fsspec.asyn import get_loop
    return asyncio.run_coroutine_threadsafe(_fetch_into(obj, path), get_loop())


@contextlib.contextmanager
def local_copy(obj: Any) -> Iterator[str]:
    """A temporary local copy of the object, removed afterwards."""
    with local_copies([obj]) as copies:
        yield next(copies)


@contextlib.contextmanager
def local_copies(objs: Sequence[Any]) -> Iterator[Iterator[str]]:
    """Temporary local copies of the objects, handed out one by one: the
    next object downloads while the caller checks the copy it was given
    (each copy is removed once the next is asked for, all at the end)."""
    paths = []
    for _ in objs:
        fd, path = tempfile.mkstemp(prefix="tarndb-verify-", suffix=".trnd")
        os.close(fd)
        paths.append(path)
    pending: "list[Future[None]]" = []

    def copies() -> Iterator[str]:
        for i, obj in enumerate(objs):
            if not pending:
                pending.append(_start(obj, paths[i]))
            pending.pop().result()
            if i + 1 < len(objs):
                pending.append(_start(objs[i + 1], paths[i + 1]))
            yield paths[i]
            os.unlink(paths[i])

    try:
        yield copies()
    finally:
        for future in pending:  # a check failed while the next copy was coming
            future.cancel()
            with contextlib.suppress(BaseException):
                future.result()
        for path in paths:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
