"""Byte ranges of an object over HTTP(S), for the remote reader.

One aiohttp session per reader (its connections kept alive) on fsspec's
event loop thread. The first request (``GET`` of the object's first bytes)
also gives its size (``Content-Range``) and its version (``ETag``, else
``Last-Modified``), which are pinned: every later request carries
``If-Match`` (or ``If-Unmodified-Since``), and a response for another
version (412, or another ETag, Last-Modified or size) raises
``TarnStaleError``. A step's ranges go out together: several ranges in one
request where the server answers ``multipart/byteranges`` (nginx does),
each request carrying up to a header's worth of them, all requests at once;
a server that answers a multi-range request with the whole object is asked
one range per request from then on.
"""

from __future__ import annotations

import asyncio
import bisect
import errno
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tarndb._errors import TarnCorruptError, TarnIOError, TarnStaleError

Range = Tuple[int, int]

# Ranges per request: "Range: bytes=a-b,..." stays within about 4 KiB, well
# below the 8 KiB a server takes for one header line.
_HEADER_BUDGET = 4000
# A first response without a range (a small object, or a server that
# ignores Range) is read whole only up to this size.
_WHOLE_LIMIT = 1 << 20
_CONTENT_RANGE = re.compile(r"bytes (?:(\d+)-(\d+)|\*)/(\d+|\*)")


def _version(headers: Any) -> Tuple[Optional[str], Optional[str]]:
    return headers.get("ETag"), headers.get("Last-Modified")


_PART_RANGE = re.compile(rb"(?im)^content-range:[ \t]*bytes (\d+)-(\d+)/")


def _parse_multipart(body: bytes, boundary: bytes) -> List[Tuple[int, Any]]:
    """(start, bytes) of each part of a ``multipart/byteranges`` body; the
    parts' bytes are views of *body*, not copies."""
    parts: List[Tuple[int, Any]] = []
    view = memoryview(body)
    marker = b"--" + boundary
    at = body.find(marker)
    while at >= 0:
        at += len(marker)
        if body[at:at + 2] == b"--":
            return parts
        head_end = body.find(b"\r\n\r\n", at)
        if head_end < 0:
            break
        m = _PART_RANGE.search(body, at, head_end)
        if m is None:
            break
        start, last = int(m.group(1)), int(m.group(2))
        data_at = head_end + 4
        parts.append((start, view[data_at:data_at + last - start + 1]))
        at = body.find(marker, data_at + last - start + 1)
    raise TarnIOError("a multipart/byteranges response that does not parse")


class HttpClient:
    """The session (and its kept-alive connections) that the objects of one
    reader share: a sharded store's manifest and shards alike."""

    def __init__(self, storage_options: Optional[Dict[str, Any]] = None) -> None:
        options = dict(storage_options or {})
        self.headers: Dict[str, str] = dict(options.pop("headers", {}) or {})
        self._client_kwargs: Dict[str, Any] = dict(options.pop("client_kwargs", {}) or {})
        self._session: Any = None

    async def session(self) -> Any:
        if self._session is None:
            import aiohttp
            self._session = aiohttp.ClientSession(
                connector=aiohttp.TCPConnector(limit=16), auto_decompress=False,
                **self._client_kwargs)
        return self._session

    async def aclose(self) -> None:
        if self._session is not None:
            session, self._session = self._session, None
            await session.close()


class HttpObject:
    """One object at an http(s) URL, read by ranges; its size and version
    pinned by :meth:`first`."""

    def __init__(self, url: str, client: HttpClient) -> None:
        self.url = url
        self._client = client
        self._headers = client.headers
        self._multi = True
        self.size = 0
        self.etag: Optional[str] = None
        self.last_modified: Optional[str] = None
        self.requests = 0
        self.received = 0

    def _fail(self, status: int, reason: str) -> TarnIOError:
        number = errno.ENOENT if status == 404 else (errno.EACCES if status in (401, 403) else None)
        return TarnIOError(f"cannot read {self.url}: HTTP {status} {reason}", number, self.url)

    # -- requests ------------------------------------------------------------

    async def first(self, length: int) -> bytes:
        """The first *length* bytes (fewer for a smaller object); pins the
        object's size and version."""
        session = await self._client.session()
        headers = dict(self._headers, Range=f"bytes=0-{length - 1}")
        self.requests += 1
        async with session.get(self.url, headers=headers) as resp:
            if resp.status == 416:  # an empty object
                m = _CONTENT_RANGE.fullmatch(resp.headers.get("Content-Range", ""))
                self.size = int(m.group(3)) if m and m.group(3) != "*" else 0
                self.etag, self.last_modified = _version(resp.headers)
                return b""
            if resp.status not in (200, 206):
                raise self._fail(resp.status, resp.reason or "")
            if str(resp.url).endswith("/") and not self.url.endswith("/"):
                # Redirected to a directory (nginx adds the slash): no object here.
                raise TarnIOError(f"cannot read {self.url}: a directory", errno.EISDIR, self.url)
            self.etag, self.last_modified = _version(resp.headers)
            if resp.status == 206:
                m = _CONTENT_RANGE.fullmatch(resp.headers.get("Content-Range", ""))
                if m is None or m.group(3) == "*":
                    raise TarnIOError(f"cannot read {self.url}: no object size in the response",
                                      None, self.url)
                self.size = int(m.group(3))
                body = await resp.read()
            else:
                if (resp.content_length or 0) > _WHOLE_LIMIT:
                    raise TarnIOError(f"cannot read {self.url}: the server does not answer "
                                      "range requests", None, self.url)
                body = await resp.read()
                self.size = len(body)
                body = body[:length]
        self.received += len(body)
        return body

    def _conditions(self) -> Dict[str, str]:
        if self.etag is not None:
            return {"If-Match": self.etag}
        if self.last_modified is not None:
            return {"If-Unmodified-Since": self.last_modified}
        return {}

    def _check_version(self, resp: Any, total: Optional[int]) -> None:
        etag, modified = _version(resp.headers)
        changed = resp.status == 412 or (total is not None and total != self.size)
        if self.etag is not None and etag is not None and etag != self.etag:
            changed = True
        if (self.last_modified is not None and modified is not None
                and modified != self.last_modified):
            changed = True
        if changed:
            raise TarnStaleError(f"{self.url} changed since it was opened (the object was "
                                 "replaced): reopen() reads the new version", self.url)

    async def _get(self, specs: Sequence[str]) -> List[Tuple[int, Any]]:
        """(start, bytes) pieces that cover the ranges *specs* name ("a-b",
        inclusive), from one request."""
        session = await self._client.session()
        headers = dict(self._headers, Range="bytes=" + ",".join(specs), **self._conditions())
        self.requests += 1
        async with session.get(self.url, headers=headers) as resp:
            if resp.status == 412:
                self._check_version(resp, None)
            if resp.status == 200 and len(specs) > 1:
                self._multi = False  # the whole object: ask range by range instead
                resp.release()
                return []
            if resp.status != 206:
                raise self._fail(resp.status, resp.reason or "")
            body = await resp.read()
            self.received += len(body)
            ctype = resp.headers.get("Content-Type", "")
            if ctype.startswith("multipart/byteranges"):
                m = re.search(r'boundary="?([^";]+)"?', ctype)
                self._check_version(resp, None)
                return _parse_multipart(body, (m.group(1) if m else "").encode())
            m = _CONTENT_RANGE.fullmatch(resp.headers.get("Content-Range", ""))
            if m is None or m.group(1) is None:
                raise TarnIOError(f"cannot read {self.url}: a range response without its range",
                                  None, self.url)
            self._check_version(resp, None if m.group(3) == "*" else int(m.group(3)))
            return [(int(m.group(1)), body)]

    def _batches(self, ranges: Sequence[Range]) -> List[List[str]]:
        """The ranges as the Range header's items, a request's worth each."""
        specs = [f"{b}-{e - 1}" for b, e in ranges]
        if not self._multi:
            return [[spec] for spec in specs]
        batches: List[List[str]] = []
        begin, length = 0, 0
        for i, spec in enumerate(specs):
            if i > begin and length + len(spec) + 1 > _HEADER_BUDGET:
                batches.append(specs[begin:i])
                begin, length = i, 0
            length += len(spec) + 1
        if begin < len(specs):
            batches.append(specs[begin:])
        return batches

    async def fetch(self, ranges: Sequence[Range]) -> List[Any]:
        """The bytes of each range (ranges within the object), fetched at
        once; bytes-like views of the responses."""
        pieces: List[Tuple[int, Any]] = []
        for got in await asyncio.gather(*(self._get(b) for b in self._batches(ranges))):
            pieces.extend(got)
        if not self._multi and len(ranges) > 1 and not pieces:
            return await self.fetch(ranges)  # the server refused several ranges at once
        # A server answers each range asked as a part of its own, as a rule:
        # those are taken as they are, any other range cut from the part
        # that holds it.
        exact = dict(pieces)
        out: List[Any] = []
        starts: List[int] = []
        for b, e in ranges:
            data = exact.get(b)
            if data is None or len(data) != e - b:
                if not starts:
                    pieces.sort(key=lambda piece: piece[0])
                    starts = [start for start, _ in pieces]
                data = _cut(pieces, starts, b, e, self.url)
            out.append(data)
        return out

    async def stream(self, begin: int, end: int, write: Any) -> None:
        """Bytes [begin, end) handed to write(offset, chunk) as they arrive."""
        session = await self._client.session()
        headers = dict(self._headers, Range=f"bytes={begin}-{end - 1}", **self._conditions())
        self.requests += 1
        async with session.get(self.url, headers=headers) as resp:
            if resp.status == 412:
                self._check_version(resp, None)
            if resp.status != 206:
                raise self._fail(resp.status, resp.reason or "")
            m = _CONTENT_RANGE.fullmatch(resp.headers.get("Content-Range", ""))
            self._check_version(resp, None if m is None or m.group(3) == "*" else int(m.group(3)))
            if m is None or m.group(1) is None or int(m.group(1)) != begin:
                raise TarnIOError(f"cannot read {self.url}: a range response without its range",
                                  None, self.url)
            at = begin
            async for chunk in resp.content.iter_chunked(1 << 20):
                write(at, chunk)
                at += len(chunk)
        self.received += at - begin
        if at != end:
            raise TarnIOError(f"cannot read {self.url}: the response ended at byte {at}, "
                              f"not {end}", None, self.url)

    async def version(self) -> Tuple[Optional[str], Optional[str], int]:
        """The object's version as the server gives it now (one HEAD request)."""
        session = await self._client.session()
        self.requests += 1
        async with session.head(self.url, headers=self._headers) as resp:
            if resp.status >= 400:
                return None, None, -1
            etag, modified = _version(resp.headers)
            return etag, modified, int(resp.headers.get("Content-Length", -1))

    def pinned(self) -> Tuple[Optional[str], Optional[str], int]:
        return self.etag, self.last_modified, self.size


def _cut(pieces: Sequence[Tuple[int, Any]], starts: Sequence[int], begin: int, end: int,
         url: str) -> Any:
    """Bytes [begin, end) from the piece that holds them (pieces sorted by start)."""
    i = bisect.bisect_right(starts, begin) - 1
    if i >= 0:
        start, data = pieces[i]
        if start + len(data) >= end:
            whole = (start, start + len(data)) == (begin, end)
            return data if whole else data[begin - start:end - start]
    raise TarnCorruptError(f"{url}: the server's answer does not hold bytes {begin}-{end - 1}")
