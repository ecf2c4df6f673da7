"""Keep the truncation guard in front of faulthandler's SIGBUS handler.

A reader turns a read past the end of a store that was cut short under it
into TarnCorruptError with a SIGBUS handler that sees the fault first. A
handler installed later would see it first instead: ``faulthandler.enable()``
would print "Fatal Python error: Bus error" and end the process. Opening a
reader puts the guard in front again; so does ``faulthandler.enable()``
itself once tarndb is imported (the guard passes every fault it does not own
on to faulthandler, as before).
"""

from __future__ import annotations

import faulthandler
import functools
from typing import Any

from tarndb._store import _guard_truncation


def _keep_guard_in_front(enable: Any) -> Any:
    @functools.wraps(enable)
    def enable_then_guard(*args: Any, **kwargs: Any) -> None:
        enable(*args, **kwargs)
        _guard_truncation()

    enable_then_guard.__wrapped_by_tarndb__ = True  # type: ignore[attr-defined]
    return enable_then_guard


if not getattr(faulthandler.enable, "__wrapped_by_tarndb__", False):
    faulthandler.enable = _keep_guard_in_front(faulthandler.enable)
