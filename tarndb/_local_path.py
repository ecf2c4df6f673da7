"""Targets of builds: local paths only, with ``~`` expanded.

A URL (``s3://bucket/x.d``) given where a path is expected used to be taken
as a relative path (``./s3:/bucket/x.d``), and the build reported success.
Builds write to the local file system only: a ``file://`` URL is its local
path, and any other URL is refused, naming it.
"""

from __future__ import annotations

import contextlib
import os
import re
from typing import Any, Iterator, Mapping, Optional
from urllib.parse import unquote, urlsplit

from tarndb._commit import _LOCK  # the lock file commits take in a store's directory
from tarndb._types import StrPath, fspath_str

# A scheme and "://": what fsspec, Dask and pandas take for a URL.
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]*://")


def local_path(path: StrPath, storage_options: Optional[Mapping[str, Any]] = None, *,
               expand_user: bool = True) -> str:
    """*path* as a local path: ``~`` expanded (unless not *expand_user*: a
    shell has expanded what it should), a ``file://`` URL made its path.
    ``ValueError`` for a URL of another file system, and for
    *storage_options*, which only such file systems take."""
    text = fspath_str(path)
    url = _URL.match(text)
    if url is not None:
        parts = urlsplit(text)
        if parts.scheme.lower() != "file" or parts.netloc not in ("", "localhost"):
            raise ValueError(f"{text!r} is a URL: builds write to local paths only "
                             "(a path on a file system every worker sees)")
        text = unquote(parts.path)
    if storage_options:
        raise ValueError(f"storage_options are for remote file systems, and {text!r} is a local "
                         "path: builds write to local paths only")
    return os.path.expanduser(text) if expand_user else text


@contextlib.contextmanager
def removed_if_failed(root: str) -> Iterator[None]:
    """A block that builds into the directory *root*: when it raises and
    *root* did not exist before it, *root* is removed again if nothing but
    the build's own lock file is left in it (a failed build leaves no
    empty store directory behind)."""
    existed = os.path.lexists(root)
    try:
        yield
    except BaseException:
        if not existed:
            with contextlib.suppress(OSError):
                if set(os.listdir(root)) <= {_LOCK}:
                    with contextlib.suppress(FileNotFoundError):
                        os.remove(os.path.join(root, _LOCK))
                    os.rmdir(root)
        raise
