"""The batch's one-line progress display on a terminal: share done, lines,
failures, rate and time left. Redrawn at most ten times a second, from the
batch's per-chunk callback, so it costs nothing per line.

Nothing is drawn for a run that ends within its first half second: a small
file needs no progress. The line never holds a raw control character (the
file's name is shown escaped), never reaches the terminal's last column (a
wrapped line could not be redrawn in place), and on a terminal that knows no
escape sequences (TERM=dumb) is cleared by overwriting it with spaces."""

from __future__ import annotations

import time
from collections.abc import Callable

from quillforge._terminal import plain_for_terminal
from quillforge.batch import FileReport

DELAY_SECONDS = 0.5
_ERASE = "\033[K"  # to the end of the line


def _duration(seconds: float) -> str:
    seconds = int(seconds)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


class ProgressLine:
    def __init__(
        self,
        write: Callable[[str], None],
        name: str,
        total_bytes: int | None,
        *,
        width: Callable[[], int],
        dumb: bool = False,
    ) -> None:
        self.write = write
        self.name = plain_for_terminal(name)
        self.total_bytes = total_bytes or None
        self.width = width  # the terminal's columns, asked at each drawing: a window can be resized
        self.dumb = dumb
        self.started = time.monotonic()
        self._drawn_at = 0.0
        self._shown = 0  # characters on the screen now; 0 when nothing is
        self._ever_drawn = False
        self._read = 0
        self._report = FileReport()

    def update(self, read_bytes: int, report: FileReport) -> None:
        self._read, self._report = read_bytes, report
        now = time.monotonic()
        if now - self.started >= DELAY_SECONDS and now - self._drawn_at >= 0.1:
            self._drawn_at = now
            self._draw(now)

    def _text(self, now: float) -> str:
        elapsed = max(now - self.started, 1e-9)
        report = self._report
        parts = []
        if self.total_bytes:
            share = min(self._read / self.total_bytes, 1.0)
            parts.append(f"[{'#' * int(share * 20):<20}] {share:6.1%}")
        else:
            parts.append(f"{self._read / 1e6:,.1f} MB")
        parts.append(f"{report.lines:,} lines, {report.failed:,} failed")
        parts.append(f"{report.lines / elapsed:,.0f} lines/s")
        # A file that grew while it was read has no time left to tell.
        if self.total_bytes and 0 < self._read <= self.total_bytes:
            left = elapsed * (self.total_bytes - self._read) / self._read
            parts.append(f"{_duration(left)} left")
        figures = "  ".join(parts)
        room = self.width() - 1 - len(figures) - 2  # the last column stays free
        name = self.name if len(self.name) <= room else "..." + self.name[len(self.name) - room + 3 :]
        text = f"{name}  {figures}" if room > 3 else figures
        return text[: max(self.width() - 1, 0)]

    def _draw(self, now: float) -> None:
        text = self._text(now)
        if self.dumb:
            self.write("\r" + text.ljust(self._shown))
        else:
            self.write("\r" + _ERASE + text)
        self._shown = len(text)
        self._ever_drawn = True

    def clear(self) -> None:
        """Wipes the line so that a message can be written in its place."""
        if self._shown:
            self.write("\r" + " " * self._shown + "\r" if self.dumb else "\r" + _ERASE)
            self._shown = 0

    def finish(self) -> None:
        """Leaves the final figures on the screen, if the line was ever shown."""
        if self._ever_drawn:
            self._draw(time.monotonic())
            self.write("\n")
