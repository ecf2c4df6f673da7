"""A one-line progress display on a terminal, for inputs that take a while."""

from __future__ import annotations

import time
from typing import Optional, TextIO

_BAR_WIDTH = 24


class Progress:
    """Counts bytes and records read and redraws one line on *stream*.

    Draws nothing unless *stream* is a terminal, and nothing during the first
    *delay* seconds, so quick runs and pipes see no output at all. *total* is
    the input size in bytes when known (a regular file), else ``None``.
    """

    def __init__(
        self,
        stream: TextIO,
        label: str,
        total: Optional[int],
        delay: float = 0.5,
        interval: float = 0.1,
    ) -> None:
        self._stream = stream
        self._label = label
        self._total = total or None
        self._enabled = _is_terminal(stream)
        self._start = time.monotonic()
        self._next_draw = self._start + delay
        self._interval = interval
        self._drawn = False
        self.bytes_done = 0
        self.records = 0

    def advance(self, nbytes: int) -> None:
        """Note *nbytes* more bytes read; redraw if it is time."""
        self.bytes_done += nbytes
        if self._enabled:
            now = time.monotonic()
            if now >= self._next_draw:
                self._next_draw = now + self._interval
                self._draw(self._line())

    def status(self, text: str) -> None:
        """Replace the bar by *text* (if a bar is showing), e.g. the final step."""
        if self._drawn:
            self._draw(f"{self._label}: {text}")

    def close(self) -> None:
        """Erase the line, leaving the terminal as it was."""
        if self._drawn:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._drawn = False

    def _line(self) -> str:
        done = f"{self.records:,} records"
        if self._total is None:
            return f"{self._label}: {done}, {self.bytes_done / 1e6:.1f} MB"
        fraction = min(self.bytes_done / self._total, 1.0)
        filled = int(fraction * _BAR_WIDTH)
        bar = "#" * filled + "-" * (_BAR_WIDTH - filled)
        return f"{self._label}: [{bar}] {fraction:4.0%} {done}"

    def _draw(self, line: str) -> None:
        self._stream.write("\r\x1b[K" + line)
        self._stream.flush()
        self._drawn = True


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
