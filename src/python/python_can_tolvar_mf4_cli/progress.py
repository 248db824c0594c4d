"""The live progress line of a conversion on stderr."""

from __future__ import annotations

import time
from typing import Optional, TextIO


class Progress:
    """A live count, total, percentage and rate on stderr, only when stderr is
    a terminal. The total is what the recording states it holds (0: unknown);
    a recording whose writer did not finish may state fewer than it gives."""

    def __init__(self, stream: Optional[TextIO], total: int = 0) -> None:
        self.stream = stream
        # Any stream will do, also one without isatty (a replaced stderr).
        self.live = bool(getattr(stream, "isatty", lambda: False)())
        self.total = total
        self.start = time.monotonic()
        self.shown = self.start
        self.count = 0

    def tick(self) -> None:
        self.count += 1
        if self.live and self.count % 1024 == 0:
            now = time.monotonic()
            if now - self.shown >= 0.2:
                self.shown = now
                self._show(now)

    def advance(self, frames: int) -> None:
        """Counts a batch of frames at once."""
        self.count += frames
        if self.live:
            now = time.monotonic()
            if now - self.shown >= 0.2:
                self.shown = now
                self._show(now)

    def line(self, now: float) -> str:
        rate = self.count / max(now - self.start, 1e-9)
        if 0 < self.count <= self.total:
            done = f"{self.count:,} of {self.total:,} frames ({100.0 * self.count / self.total:.0f}%)"
        else:
            done = f"{self.count:,} frames"
        return f"{done}  {rate:,.0f} frames/s"

    def _show(self, now: float) -> None:
        if self.stream is not None:
            self.stream.write(f"\r{self.line(now)} ")
            self.stream.flush()

    def done(self) -> None:
        if self.live and self.stream is not None:
            self._show(time.monotonic())
            self.stream.write("\n")
            self.stream.flush()
