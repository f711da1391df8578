"""Candidates for a block of JSON Lines in one call, the engine working on the
whole block with the interpreter lock released.

A line ends at ``\\n``; a ``\\r`` just before it is not part of the line, a lone
``\\r`` elsewhere (the last line's included) is. Lines of nothing but
``" \\t\\n\\r\\v\\f"`` are blank: skipped, but counted.
"""

import sys
from collections.abc import Buffer
from typing import Literal, overload

__all__ = ["generate_candidates"]

class LineFailure(tuple[int, str]):
    """A line that gave no candidate: a ``(line, message)`` pair, and beside it
    what the message says, as data (not part of the pair)."""

    @property
    def line(self) -> int: ...
    @property
    def message(self) -> str: ...
    @property
    def kind(self) -> Literal["serialization", "validation", "encoding"]:
        """As the ``kind`` of the call's ``ValueError``; "encoding" for a line
        that is not UTF-8."""
    @property
    def column(self) -> int | None:
        """The column the message ends with; for "encoding", the offset of the
        bad byte; ``None`` for a broken rule. (The failing input is always the
        line's lore, and the error's line within it always 1.)"""

@overload
def generate_candidates(
    block: Buffer, config_json: str, *, first_line: int = 1, stop_at_failure: bool = False, into: None = None
) -> tuple[bytes, int, int, list[LineFailure]]: ...
@overload
def generate_candidates(
    block: Buffer, config_json: str, *, first_line: int = 1, stop_at_failure: bool = False, into: Buffer
) -> tuple[bytes | int, int, int, list[LineFailure]]:
    """Answer the whole lines of `block` (bytes-like, read in place).

    Returns the candidates' JSON texts, each followed by ``\\n``, in line order;
    the number of lines read (blank ones included); the number of candidates;
    and the failed lines as
    ``LineFailure`` pairs ``(line number, message)``, numbered from `first_line`. The message is the
    one ``generate_candidate_json`` raises for the line, or
    "not valid UTF-8 (byte 0x.. at offset N)" for a line that is not UTF-8.
    With `stop_at_failure`, lines after the first failed one are not read.

    With `into`, a writable buffer, the candidates are written at its start and
    their size is returned in place of their bytes, when they fit with the
    engine's working room (a lore and 512 bytes past their end); else they come
    back as bytes. It is held for the call: a bytearray cannot be resized then.

    Raises the engine's ``ValueError`` (with its attributes) when the
    configuration fails (before any line), ``MemoryError`` when memory runs out,
    ``BufferError`` when `into` is not writable.
    """

def unraisable_hook(unraisable: sys.UnraisableHookArgs, /) -> None:
    """For ``sys.unraisablehook`` (the command sets it): drops a ``MemoryError``,
    hands anything else to ``sys.__unraisablehook__``, and drops it too if that
    runs out of memory. Written in C: the thread
    that reports one may have no memory for a Python frame."""
