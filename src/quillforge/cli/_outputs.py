"""The command's outputs and exit codes: standard output, the one-line messages
on standard error, and the failures that end a command with a code."""

from __future__ import annotations

import io
import os
import sys
from contextlib import contextmanager

from quillforge import _stderr
from quillforge._terminal import json_for_terminal, plain_for_terminal

TYPE_CHECKING = False  # typing.TYPE_CHECKING without loading typing
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import BinaryIO, TextIO

PROG = "quillforge"

EXIT_OK = 0
EXIT_REJECTED = 1
EXIT_USAGE = 2
EXIT_OUTPUT = 3
EXIT_MEMORY = 4
EXIT_INTERNAL = 70
EXIT_BROKEN_PIPE = 128 + 13  # as if killed by SIGPIPE

EXIT_CODES = """exit codes (of every command):
  0    success
  1    the engine rejected an input (its message on standard error)
  2    usage error: the command line, or an input that cannot be used
  3    the output could not be written
  4    out of memory
  70   internal error (a bug: please report it with the traceback shown)
  129, 130, 143
       stopped by SIGHUP, SIGINT (Ctrl-C) or SIGTERM (128 + the signal's number)
  141  the reader of standard output went away (a broken pipe)"""


class Failure(Exception):
    """Ends the command with a one-line message and an exit code."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


class Interrupted(Exception):
    """A stop signal ended the command; its message says what was kept. Not a
    Failure: a run of several inputs goes on after a failed one, not after this."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


def usage(message: str) -> Failure:
    return Failure(message, EXIT_USAGE)


class DescriptorWriter(io.RawIOBase):
    """Writes straight to a descriptor it does not own. Nothing is held back: a
    write that fails leaves no bytes behind for the interpreter's flush at exit
    to fail on again, and a write that the system takes only in part is
    finished."""

    def __init__(self, descriptor: int) -> None:
        super().__init__()
        self._descriptor = descriptor

    def fileno(self) -> int:
        return self._descriptor

    def writable(self) -> bool:
        return True

    def isatty(self) -> bool:
        return os.isatty(self._descriptor)

    def write(self, data: bytes | bytearray | memoryview) -> int:  # type: ignore[override]
        view = memoryview(data).cast("B")
        total = len(view)
        while view:
            view = view[os.write(self._descriptor, view) :]
        return total

    def as_binary(self) -> BinaryIO:
        return self  # type: ignore[return-value]  # writes bytes, all that its users do


def stdout() -> BinaryIO:
    stream: TextIO | None = sys.stdout
    if stream is None:
        raise Failure("cannot write output: standard output is closed", EXIT_OUTPUT)
    original = stream is sys.__stdout__  # not one that a caller of main() put there
    if original:
        # Past its buffer: bytes that a failed write left there would make the
        # interpreter's own flush at exit fail again (and exit 120).
        try:
            return DescriptorWriter(stream.fileno()).as_binary()
        except (OSError, ValueError):
            pass
    return stream.buffer


@contextmanager
def writing(name: str) -> Iterator[None]:
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        raise Failure(f"cannot write {name}: {error.strerror}", EXIT_OUTPUT) from None


def emit(text: str, *, plain: bool = False, indent: int | None = None) -> None:
    """Writes one result and a line feed to standard output."""
    out = stdout()
    if indent is not None:
        from quillforge._pretty import indent_json  # compiles a pattern: only for --indent

        text = indent_json(text, indent)
    if out.isatty():
        text = plain_for_terminal(text) if plain else json_for_terminal(text)
    with writing("output"):
        out.write(text.encode("utf-8") + b"\n")
        out.flush()


def say(message: str) -> None:
    """A line on standard error, prefixed with the program's name. A standard
    error that fails loses the line, never the run."""
    line = f"{PROG}: {message}"
    if _stderr.is_terminal():
        line = plain_for_terminal(line)
    _stderr.write(line + "\n")


def silence_stdout() -> None:
    # The reader went away: what is left goes nowhere, and exit does not complain.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, sys.stdout.fileno())
        finally:
            os.close(devnull)
    except (OSError, AttributeError, ValueError):
        pass
