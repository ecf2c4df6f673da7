"""tarndb: an immutable, single-file key-to-object store."""

from tarndb import _tarndb

__version__ = _tarndb.__version__
