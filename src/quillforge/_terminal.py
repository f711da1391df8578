"""Text bound for a terminal shows control characters escaped.

A lore is often someone else's text: a title holding ESC, BEL or CR, printed
raw, could retitle the window, clear the screen or overwrite a line. Only what
goes to a terminal is changed; pipes and files get the engine's bytes."""

from __future__ import annotations

TYPE_CHECKING = False  # typing.TYPE_CHECKING without loading typing
if TYPE_CHECKING:
    import re
    from typing import BinaryIO

# The patterns are compiled on first use (re keeps them): `re` alone costs start-up
# time, and a run whose output is no terminal needs none.
_CONTROLS = "[\x00-\x1f\x7f-\x9f]"
# JSON text from the engine already escapes U+0000-U+001F; the line breaks of
# --indent must stay.
_JSON_CONTROLS = "[\x7f-\x9f]"
_NAMED = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(match: re.Match[str]) -> str:
    character = match.group()
    return _NAMED.get(character) or f"\\x{ord(character):02x}"


def _json_escape(match: re.Match[str]) -> str:
    # Still valid JSON with the same meaning.
    return f"\\u{ord(match.group()):04x}"


def plain_for_terminal(text: str) -> str:
    """`text` with C0 and C1 controls and DEL shown as escapes (\\x1b, \\n, ...)."""
    import re

    return re.sub(_CONTROLS, _escape, text)


def json_for_terminal(text: str) -> str:
    """JSON text with DEL and C1 controls written as \\u escapes."""
    import re

    return re.sub(_JSON_CONTROLS, _json_escape, text)


# U+007F-U+009F in UTF-8: the C1 lead byte 0xc2 only ever starts a character.
_JSON_CONTROL_BYTES = b"\x7f|\xc2[\x80-\x9f]"


def _json_escape_bytes(match: re.Match[bytes]) -> bytes:
    return b"\\u%04x" % ord(match.group().decode("utf-8"))


class _TerminalStream:
    """A binary stream of whole lines of JSON, written with DEL and C1 controls
    escaped as json_for_terminal writes them."""

    def __init__(self, stream: BinaryIO) -> None:
        self.stream = stream

    def write(self, data: bytes) -> int:
        import re

        self.stream.write(re.sub(_JSON_CONTROL_BYTES, _json_escape_bytes, data))
        return len(data)

    def flush(self) -> None:
        self.stream.flush()


def for_terminal(stream: BinaryIO) -> BinaryIO:
    """`stream`, or when it is a terminal, `stream` with JSON's controls escaped."""
    try:
        terminal = stream.isatty()
    except (OSError, ValueError):
        terminal = False
    return _TerminalStream(stream) if terminal else stream  # type: ignore[return-value]
