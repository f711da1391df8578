"""The batch's one-line progress display on a terminal: share done, lines,
failures, rate and time left. Redrawn at most ten times a second, from the
batch's per-chunk callback, so it costs nothing per line."""

from __future__ import annotations

import time
from typing import TextIO

from quillforge.batch import FileReport


def _duration(seconds: float) -> str:
    seconds = int(seconds)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


class ProgressLine:
    def __init__(self, stream: TextIO, name: str, total_bytes: int | None) -> None:
        self.stream = stream
        self.name = name
        self.total_bytes = total_bytes or None
        self.started = time.monotonic()
        self._drawn_at = 0.0
        self._read = 0
        self._report = FileReport()

    def update(self, read_bytes: int, report: FileReport) -> None:
        self._read, self._report = read_bytes, report
        now = time.monotonic()
        if now - self._drawn_at >= 0.1:
            self._drawn_at = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        elapsed = max(now - self.started, 1e-9)
        report = self._report
        parts = [self.name]
        if self.total_bytes:
            share = min(self._read / self.total_bytes, 1.0)
            parts.append(f"[{'#' * int(share * 20):<20}] {share:6.1%}")
        else:
            parts.append(f"{self._read / 1e6:,.1f} MB")
        parts.append(f"{report.lines:,} lines, {report.failed:,} failed")
        parts.append(f"{report.lines / elapsed:,.0f} lines/s")
        if self.total_bytes and self._read:
            left = elapsed * (self.total_bytes - self._read) / self._read
            parts.append(f"{_duration(left)} left")
        self.stream.write("\r\033[K" + "  ".join(parts))
        self.stream.flush()

    def clear(self) -> None:
        """Wipes the line so that a message can be written in its place."""
        self.stream.write("\r\033[K")
        self.stream.flush()

    def finish(self) -> None:
        self._draw(time.monotonic())
        self.stream.write("\n")
        self.stream.flush()
