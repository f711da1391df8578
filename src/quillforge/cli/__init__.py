"""The `quillforge` command: `main` runs it and turns every way it can end into
an exit code and at most one line on standard error.

Its parts: `_parser` (the command line), `_outputs` (standard output, messages
and exit codes), `_inputs` (reading inputs, the settings, errors named by
input), `_commands` (the commands that answer one input) and `_batch` (the
batch run)."""

from __future__ import annotations

import sys

from quillforge import _stderr
from quillforge._console import (
    Terminated,
    handle_stop_signals,
    out_of_memory,
    restore_handlers,
    saved_stop_handlers,
    stop_code,
)
from quillforge.cli._outputs import (
    EXIT_BROKEN_PIPE,
    EXIT_INTERNAL,
    EXIT_MEMORY,
    EXIT_OUTPUT,
    EXIT_USAGE,
    Failure,
    Interrupted,
    say,
    silence_stdout,
)
from quillforge.cli._parser import build_parser, handler, parse

TYPE_CHECKING = False  # typing.TYPE_CHECKING without loading typing
if TYPE_CHECKING:
    from collections.abc import Sequence
    from types import SimpleNamespace

__all__ = ["build_parser", "main"]


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: sys.argv[1:]) and returns its exit
    code; the caller's signal handlers are as they were when it returns."""
    saved = saved_stop_handlers()
    handle_stop_signals()
    try:
        return _run(argv)
    finally:
        restore_handlers(saved)


def _parse(argv: Sequence[str] | None) -> SimpleNamespace | int:
    """The parsed arguments, or the exit code once --help, --version or a usage
    error has been printed."""
    try:
        return parse(sys.argv[1:] if argv is None else argv)
    except SystemExit as done:
        code = done.code if isinstance(done.code, int) else EXIT_USAGE
    # argparse prints through sys.stdout's buffer: what a full or closed output
    # left there must not make the interpreter's flush at exit fail again.
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except BrokenPipeError:
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as error:
        silence_stdout()
        say(f"cannot write output: {error.strerror}")
        return EXIT_OUTPUT
    return code


def _run(argv: Sequence[str] | None) -> int:
    try:
        args = _parse(argv)
        if isinstance(args, int):
            return args
        return handler(args)(args)
    except (Failure, Interrupted) as ended:
        say(str(ended))
        return ended.code
    except BrokenPipeError:
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except (KeyboardInterrupt, Terminated) as stop:
        say("interrupted")
        return stop_code(stop)
    except MemoryError:
        say("out of memory")
        return EXIT_MEMORY
    except Exception as error:
        if out_of_memory(error):
            say("out of memory" if isinstance(error, OSError) else f"out of memory: {error}")
            return EXIT_MEMORY
        import traceback  # only for a bug

        _stderr.write(traceback.format_exc())
        say("internal error: this is a bug in quillforge; please report it with the traceback above")
        return EXIT_INTERNAL
