"""What several test modules share: the worked example and a way to run the command."""

from __future__ import annotations

import fcntl
import json
import os
import pty
import struct
import subprocess
import sys
import termios
from collections.abc import Mapping

LORE = (
    '{"id":"Tide Lore","title":"Tides","blocks":[{"id":"b1","content":"  hello world "},'
    '{"id":"b2","content":"second"}]}'
)
CONFIG = '{"temperature":0.7,"max_candidates":3,"seed":42}'
CANDIDATE = (
    '{"id":"candidate-tide-lore-42","block":{"id":"Tide Lore:hybrid","content":"hello world second"},'
    '"score":0.121873,"rationale":"Hybridized 2 block(s) from \'Tides\' with seed 42."}'
)
SUMMARY = "Tides contains 2 block(s) and 3 word(s)."
# What trimming removes: the Unicode white space.
WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


def run_cli(
    *args: str,
    stdin: str | bytes = b"",
    env: Mapping[str, str] | None = None,
    timeout: float = 300,
    **options: object,
) -> subprocess.CompletedProcess[str]:
    """`python -m quillforge ARGS`, its output decoded."""
    data = stdin.encode() if isinstance(stdin, str) else stdin
    completed = subprocess.run(
        [sys.executable, "-m", "quillforge", *args],
        input=data,
        capture_output=True,
        timeout=timeout,
        env=None if env is None else {**os.environ, **env},
        **options,  # type: ignore[call-overload]
    )
    return subprocess.CompletedProcess(
        completed.args, completed.returncode, completed.stdout.decode(), completed.stderr.decode()
    )


def lore_line(i: int) -> str:
    """A small lore for line `i` of a batch: non-ASCII text, one to three blocks."""
    blocks = [{"id": f"b{j}", "content": f" line {i} block {j} \u00e9\u2014\U0001f600 "} for j in range(1 + i % 3)]
    return json.dumps({"id": f"Lore {i}", "title": f"T{i}", "blocks": blocks}, ensure_ascii=i % 2 == 0)


def on_a_terminal(command: list[str], *streams: str, columns: int = 80, env: Mapping[str, str] | None = None) -> str:
    """What `command` draws when its `streams` ("stdout", "stderr") are a terminal
    `columns` wide; it must exit 0."""
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    drawn = b""
    try:
        process = subprocess.Popen(
            command,
            env=None if env is None else {**os.environ, **env},
            **dict.fromkeys(streams, terminal),  # type: ignore[call-overload]
        )
        os.close(terminal)
        while True:  # read as it draws: a full terminal would stop it
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the other end is closed: all is read
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        os.close(controller)
    assert process.wait(timeout=120) == 0
    return drawn.decode()
