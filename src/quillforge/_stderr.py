"""Standard error for the command's messages and its progress line.

A standard error that fails (a full disk, a reader that went away or stopped
reading, a terminal that hung up) is given up quietly: no message is worth the
run's output. Once given up, its descriptor is pointed at the null device, so
that nothing written to it later (the interpreter's last flush, a traceback)
fails either."""

from __future__ import annotations

import contextlib
import os
import select
import sys
import threading

# A reader that takes nothing for this long has stopped; the run does not wait for it.
STALLED_SECONDS = 5.0
_PIECE = 4096  # no more than a pipe takes at once when poll says it takes some

_lock = threading.Lock()  # the progress line is drawn from the writing thread
_given_up: set[int] = set()


def write(text: str) -> None:
    """Writes `text` to standard error, or nothing when it cannot be written."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        descriptor = stream.fileno()
    except (AttributeError, OSError, ValueError):  # not a file: a caller's own object
        with contextlib.suppress(OSError, ValueError):
            stream.write(text)
            stream.flush()
        return
    data = text.encode("utf-8", "backslashreplace")
    with _lock:
        if descriptor in _given_up:
            return
        try:
            _write_all(descriptor, data)
        except OSError:
            _give_up(descriptor)


def is_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, OSError, ValueError):
        return False


def _write_all(descriptor: int, data: bytes) -> None:
    poller = select.poll()
    poller.register(descriptor, select.POLLOUT)
    while data:
        if not poller.poll(STALLED_SECONDS * 1000):
            raise TimeoutError("standard error takes nothing")
        data = data[os.write(descriptor, data[:_PIECE]) :]


def _give_up(descriptor: int) -> None:
    _given_up.add(descriptor)
    with contextlib.suppress(OSError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, descriptor)
        os.close(null)
