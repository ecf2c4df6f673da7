"""The bytes of a remote store file: where they come from, the block cache,
and the loop that feeds a store's steps (``tarndb._store.RangeReader``).

A step names the ranges it lacks; :func:`drive` runs the steps of one or
more stores together, and each round fetches every store's ranges at once
(one round trip for the lot), pages of the tables through the cache.
"""

from __future__ import annotations

import asyncio
import bisect
import threading
import weakref
from collections import OrderedDict
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple

from tarndb._errors import TarnIOError, TarnStaleError
from tarndb._store import RangeReader

Range = Tuple[int, int]
Need = Tuple[int, int, bool]

#: The extra that brings fsspec and its HTTP client.
EXTRA_HINT = "pip install 'tarndb[remote]'"
#: Pages of the tables (slots, samples, the index) kept by the block cache.
PAGE = 4096
#: Default size of a reader's block cache.
DEFAULT_CACHE = 4 << 20
# A round with more table ranges than this fetches them exactly, not as pages.
_PAGED_TABLE_RANGES = 64
# Rounds a step may take: a search takes a few dozen at most.
_MAX_ROUNDS = 1000
# Ranges closer than this are fetched as one.
_MERGE_GAP = 512


def _missing_extra(exc: ImportError) -> ImportError:
    error = ImportError(f"reading a store by URL needs fsspec and aiohttp: {EXTRA_HINT}")
    error.__cause__ = exc
    return error


def run(fn: Callable[..., Any], *args: Any) -> Any:
    """Run the coroutine function *fn* on fsspec's event loop thread."""
    from fsspec.asyn import get_loop, sync
    return sync(get_loop(), fn, *args)


class FsspecObject:
    """One object of any fsspec file system, read by ranges (``cat_ranges``);
    its size and version (ETag, generation or modification time, as the
    file system reports them) pinned at open."""

    _VERSION_KEYS = ("ETag", "etag", "generation", "VersionId", "version_id", "LastModified",
                     "last_modified", "mtime", "created", "ino")

    def __init__(self, url: str, storage_options: Optional[Dict[str, Any]] = None) -> None:
        import fsspec.core
        self.url = url
        self._fs, self._path = fsspec.core.url_to_fs(url, **(storage_options or {}))
        self.size = 0
        self._version: Tuple[Any, ...] = ()
        self.requests = 0
        self.received = 0

    async def _call(self, name: str, *args: Any) -> Any:
        self.requests += 1
        try:
            if self._fs.async_impl:
                return await getattr(self._fs, "_" + name)(*args)
            return await asyncio.get_running_loop().run_in_executor(
                None, lambda: getattr(self._fs, name)(*args))
        except FileNotFoundError as exc:
            raise TarnIOError(f"cannot read {self.url}: {exc.strerror or 'not found'}",
                              exc.errno or 2, self.url) from None

    def _version_of(self, info: Dict[str, Any]) -> Tuple[Any, ...]:
        return tuple((k, str(info[k])) for k in self._VERSION_KEYS if k in info)

    async def first(self, length: int) -> bytes:
        info = await self._call("info", self._path)
        if info.get("type") == "directory":
            raise TarnIOError(f"cannot read {self.url}: a directory", 21, self.url)
        self.size = int(info["size"])
        self._version = self._version_of(info)
        return await self._fetch_one(0, min(length, self.size)) if self.size else b""

    async def _fetch_one(self, begin: int, end: int) -> bytes:
        return (await self.fetch([(begin, end)]))[0]

    async def fetch(self, ranges: Sequence[Range]) -> List[bytes]:
        if not ranges:
            return []
        got = await self._call("cat_ranges", [self._path] * len(ranges), [b for b, _ in ranges],
                               [e for _, e in ranges])
        for (b, e), data in zip(ranges, got):
            if isinstance(data, BaseException):
                raise data
            if len(data) != e - b:  # the object is no longer the one opened
                raise TarnStaleError(f"{self.url} changed since it was opened: reopen() reads "
                                     "the new version", self.url)
            self.received += len(data)
        return list(got)

    async def version(self) -> Tuple[Any, ...]:
        try:
            info = await self._call("info", self._path)
        except TarnIOError:
            return ()
        return self._version_of(info) + (int(info.get("size", -1)),)

    def pinned(self) -> Tuple[Any, ...]:
        return self._version + (self.size,)


class Objects:
    """Opens the objects of one reader (a store file, or a sharded store's
    manifest and shards): http(s) URLs through one HTTP client of our own
    (the first response gives the size and version, and requests carry
    several ranges), any other URL through fsspec."""

    def __init__(self, storage_options: Optional[Dict[str, Any]] = None) -> None:
        self.storage_options = dict(storage_options or {})
        try:
            import fsspec  # noqa: F401
            import aiohttp  # noqa: F401
        except ImportError as exc:
            raise _missing_extra(exc) from None
        self._http: Any = None

    def open(self, url: str) -> Any:
        if url.split("://", 1)[0].lower() not in ("http", "https"):
            return FsspecObject(url, self.storage_options)
        from tarndb._remote_http import HttpClient, HttpObject
        if self._http is None:
            self._http = HttpClient(self.storage_options)
        return HttpObject(url, self._http)

    def close(self) -> None:
        if self._http is not None:
            http, self._http = self._http, None
            run(http.aclose)

    def close_with(self, reader: Any) -> None:
        """Close the connections when *reader* is collected without close()."""
        weakref.finalize(reader, self.close)


class BlockCache:
    """Pages of the files' tables (slots, samples, index pages), least
    recently used first out once they pass *limit* bytes; shared by the
    shards of a store. Thread-safe."""

    def __init__(self, limit: int = DEFAULT_CACHE) -> None:
        self.limit = max(0, int(limit))
        self.bytes = 0
        self._pages: "OrderedDict[Tuple[int, int], bytes]" = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: Tuple[int, int]) -> Optional[bytes]:
        with self._lock:
            data = self._pages.get(key)
            if data is not None:
                self._pages.move_to_end(key)
            return data

    def put(self, key: Tuple[int, int], data: bytes) -> None:
        if len(data) > self.limit:
            return
        with self._lock:
            old = self._pages.pop(key, None)
            self.bytes += len(data) - (len(old) if old is not None else 0)
            self._pages[key] = data
            while self.bytes > self.limit:
                _, dropped = self._pages.popitem(last=False)
                self.bytes -= len(dropped)


def merge(ranges: Iterable[Range], gap: int = _MERGE_GAP) -> List[Range]:
    """*ranges* sorted, those that overlap or lie within *gap* bytes joined."""
    out: List[Range] = []
    for b, e in sorted(ranges):
        if out and b <= out[-1][1] + gap:
            out[-1] = (out[-1][0], max(out[-1][1], e))
        else:
            out.append((b, e))
    return out


class RemoteFile:
    """One remote store file: its transport, the steps of its store
    (``RangeReader``) and its share of the block cache."""

    def __init__(self, obj: Any, cache: BlockCache) -> None:
        self.obj = obj
        self.cache = cache
        self.steps: Any = None  # the RangeReader, once the size is known
        self._key = id(self)

    async def start(self) -> None:
        """The first request: the header's page, the object's size and version."""
        first = await self.obj.first(PAGE)
        self.steps = RangeReader(self.obj.size)
        self.steps.feed(0, first)

    async def resolve(self, needs: Sequence[Need]) -> None:
        """Fetch what *needs* names (table pages from the cache where held)
        and feed it to the steps. A round with many table ranges (a large
        batch of keys) fetches them exactly instead of as pages: pages of a
        table far larger than the cache, read for random keys, would cost
        a page each and stay for nothing."""
        size = self.obj.size
        wanted: List[Range] = []
        pages: List[int] = []
        exact = sum(1 for need in needs if need[2]) > _PAGED_TABLE_RANGES
        for begin, end, table in needs:
            if not table:
                wanted.append((begin, end))
                continue
            for page in range(begin // PAGE, (end - 1) // PAGE + 1):
                data = self.cache.get((self._key, page))
                if data is not None:
                    self.steps.feed(page * PAGE, data)
                elif exact:
                    wanted.append((max(begin, page * PAGE), min(end, (page + 1) * PAGE)))
                else:
                    pages.append(page)
                    wanted.append((page * PAGE, min(size, (page + 1) * PAGE)))
        fetched = merge(wanted)
        datas = await self.obj.fetch(fetched)
        for (begin, _), data in zip(fetched, datas):
            self.steps.feed(begin, data)
        starts = [begin for begin, _ in fetched]
        for page in pages:
            i = bisect.bisect_right(starts, page * PAGE) - 1
            at = page * PAGE - starts[i]
            self.cache.put((self._key, page), bytes(datas[i][at:at + PAGE]))


def drive(jobs: Sequence[Tuple[RemoteFile, Callable[[], Tuple[List[Need], Any]]]]) -> List[Any]:
    """Run each job's step until it answers; every round fetches the ranges
    all unanswered steps need, at once. The fed bytes stay until the
    caller's forget()."""
    results: List[Any] = [None] * len(jobs)
    pending = list(range(len(jobs)))
    for _ in range(_MAX_ROUNDS):
        if not pending:
            return results
        rounds: List[Tuple[int, List[Need]]] = []
        for i in pending:
            needs, result = jobs[i][1]()
            if needs:
                rounds.append((i, needs))
            else:
                results[i] = result
        if not rounds:
            return results
        by_file: Dict[int, Tuple[RemoteFile, List[Need]]] = {}
        for i, needs in rounds:
            by_file.setdefault(id(jobs[i][0]), (jobs[i][0], []))[1].extend(needs)

        async def fetch_all() -> None:
            await asyncio.gather(*(f.resolve(n) for f, n in by_file.values()))

        run(fetch_all)
        pending = [i for i, _ in rounds]
    raise RuntimeError("a step of a store read by ranges did not end")  # a fault of ours
