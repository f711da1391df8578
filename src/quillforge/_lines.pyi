"""Candidates for a block of JSON Lines in one call, the engine working on the
whole block with the interpreter lock released.

A line ends at ``\\n``; a ``\\r`` just before it is not part of the line, a lone
``\\r`` elsewhere (the last line's included) is. Lines of nothing but
``" \\t\\n\\r\\v\\f"`` are blank: skipped, but counted.
"""

from collections.abc import Buffer
from typing import overload

__all__ = ["generate_candidates"]

@overload
def generate_candidates(
    block: Buffer, config_json: str, *, first_line: int = 1, stop_at_failure: bool = False, into: None = None
) -> tuple[bytes, int, int, list[tuple[int, str]]]: ...
@overload
def generate_candidates(
    block: Buffer, config_json: str, *, first_line: int = 1, stop_at_failure: bool = False, into: Buffer
) -> tuple[bytes | int, int, int, list[tuple[int, str]]]:
    """Answer the whole lines of `block` (bytes-like, read in place).

    Returns the candidates' JSON texts, each followed by ``\\n``, in line order;
    the number of lines read (blank ones included); the number of candidates;
    and the failed lines as
    ``(line number, message)``, numbered from `first_line`. The message is the
    one ``generate_candidate_json`` raises for the line, or
    "not valid UTF-8 (byte 0x.. at offset N)" for a line that is not UTF-8.
    With `stop_at_failure`, lines after the first failed one are not read.

    With `into`, a writable buffer, the candidates are written at its start and
    their size is returned in place of their bytes, when they fit with the
    engine's working room (a lore and 512 bytes past their end); else they come
    back as bytes. It is held for the call: a bytearray cannot be resized then.

    Raises the engine's ``ValueError`` when the configuration fails (before any
    line), ``MemoryError`` when memory runs out, ``BufferError`` when `into` is
    not writable.
    """
