"""The command's entry point.

Stop signals are taken over first, before the command's modules load (most
of its start-up time), so that Ctrl-C, SIGTERM or SIGHUP at any moment from
here on ends the command quietly with 128 + the signal's number, never with a
traceback or by the signal itself. Running out of memory while loading ends it
with the command's code for that."""

from __future__ import annotations

import contextlib
import errno
import os
import sys
import threading
from types import FrameType

TYPE_CHECKING = False  # typing.TYPE_CHECKING without loading typing
if TYPE_CHECKING:
    import signal
else:  # the functions under signal's wrapper, which loads enum (a large share of start-up) to name numbers
    import _signal as signal

EXIT_MEMORY = 4
# The signals that stop the command (not every system has each); SIGINT keeps
# Python's own handler, which raises KeyboardInterrupt.
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))
_RAISING = tuple(signum for signum in STOP_SIGNALS if signum != signal.SIGINT)


class Terminated(BaseException):
    """SIGTERM or SIGHUP, raised in the main thread like KeyboardInterrupt."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_terminated(signum: int, frame: FrameType | None) -> None:
    raise Terminated(signum)


def stop_code(stop: KeyboardInterrupt | Terminated) -> int:
    """The exit code of a command that a stop signal ended: 128 + its number."""
    return 128 + (stop.signum if isinstance(stop, Terminated) else signal.SIGINT)


def handle_stop_signals() -> None:
    """SIGTERM and SIGHUP raise Terminated, unless they were ignored when the
    command started (nohup, or a caller that wants them ignored)."""
    if threading.current_thread() is not threading.main_thread():
        return  # only the main thread may set handlers
    for signum in _RAISING:
        if signal.getsignal(signum) != signal.SIG_IGN:
            signal.signal(signum, _raise_terminated)


def ignore_stop_signals() -> None:
    """Once the outcome is settled, further signals must not cut the ending short."""
    if threading.current_thread() is not threading.main_thread():
        return
    for signum in STOP_SIGNALS:
        signal.signal(signum, signal.SIG_IGN)


def saved_stop_handlers() -> list[tuple[int, object]]:
    """The stop signals' handlers now, for `restore_handlers` (none outside the main thread)."""
    if threading.current_thread() is not threading.main_thread():
        return []
    return [(signum, signal.getsignal(signum)) for signum in STOP_SIGNALS]


def restore_handlers(saved: list[tuple[int, object]]) -> None:
    for signum, handler in saved:
        if handler is not None:  # set outside Python: cannot be put back
            signal.signal(signum, handler)  # type: ignore[arg-type]


def out_of_memory(error: BaseException) -> bool:
    """Whether `error` means the process ran out of memory (a thread's stack included)."""
    if isinstance(error, MemoryError):
        return True
    if isinstance(error, OSError):
        return error.errno == errno.ENOMEM
    if isinstance(error, ImportError):  # no room to map a compiled module, or for the loader's own data
        return "failed to map segment" in str(error) or "Cannot allocate memory" in str(error)
    return isinstance(error, RuntimeError) and str(error).startswith("can't start new thread")


def main() -> int:
    handle_stop_signals()
    try:
        from quillforge._lines import unraisable_hook

        # A thread that the interpreter started but could not begin to run (no
        # memory for its first call) is reported only as unraisable; the run goes
        # on without it, and what the command cannot do for want of memory it
        # says itself, in its one line. Set before the command's modules load:
        # their loading can report one too.
        sys.unraisablehook = unraisable_hook
        from quillforge.cli import main as run_command

        return run_command()
    except (KeyboardInterrupt, Terminated) as stop:
        return stop_code(stop)
    except (MemoryError, OSError, RuntimeError, ImportError) as error:
        if not out_of_memory(error):
            raise
        with contextlib.suppress(OSError):
            os.write(2, b"quillforge: out of memory\n")
        return EXIT_MEMORY
    finally:
        ignore_stop_signals()
