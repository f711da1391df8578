"""Indenting compact JSON text without parsing it, so every number and string
stays exactly as the engine wrote it."""

from __future__ import annotations

import re

# A whole string, one punctuation character, or a run of anything else
# (numbers and literals).
_TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|[{}\[\],:]|[^"{}\[\],:]+', re.DOTALL)


def indent_json(text: str, indent: int) -> str:
    """Lay out compact JSON text with `indent` spaces per level."""
    out: list[str] = []
    depth = 0
    previous = ""
    for match in _TOKEN.finditer(text):
        token = match.group()
        if token in ("}", "]"):
            depth -= 1
            if previous in ("{", "["):
                out.append(token)  # an empty container stays on one line
            else:
                out.append("\n" + " " * (indent * depth) + token)
        else:
            if previous in ("{", "["):
                out.append("\n" + " " * (indent * depth))
            if token in ("{", "["):
                depth += 1
                out.append(token)
            elif token == ",":
                out.append(",\n" + " " * (indent * depth))
            elif token == ":":
                out.append(": ")
            else:
                out.append(token)
        previous = token
    return "".join(out)
