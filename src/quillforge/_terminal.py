"""Text bound for a terminal shows control characters escaped.

A lore is often someone else's text: a title holding ESC, BEL or CR, printed
raw, could retitle the window, clear the screen or overwrite a line. Only what
goes to a terminal is changed; pipes and files get the engine's bytes."""

from __future__ import annotations

import re

_CONTROLS = re.compile("[\x00-\x1f\x7f-\x9f]")
# JSON text from the engine already escapes U+0000-U+001F; the line breaks of
# --indent must stay.
_JSON_CONTROLS = re.compile("[\x7f-\x9f]")
_NAMED = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(match: re.Match[str]) -> str:
    character = match.group()
    return _NAMED.get(character) or f"\\x{ord(character):02x}"


def _json_escape(match: re.Match[str]) -> str:
    # Still valid JSON with the same meaning.
    return f"\\u{ord(match.group()):04x}"


def plain_for_terminal(text: str) -> str:
    """`text` with C0 and C1 controls and DEL shown as escapes (\\x1b, \\n, ...)."""
    return _CONTROLS.sub(_escape, text)


def json_for_terminal(text: str) -> str:
    """JSON text with DEL and C1 controls written as \\u escapes."""
    return _JSON_CONTROLS.sub(_json_escape, text)
