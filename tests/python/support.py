"""What several test modules share: the worked example and a way to run the command."""

from __future__ import annotations

import json
import os
import pty
import subprocess
import sys
from collections.abc import Mapping

import pytest

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
# ./dev check runs the ARM64 wheels under qemu-user and says so with QF_EMULATED=1.
# The emulator maps the program's memory itself, so ulimit -v and RLIMIT_AS do not
# bound its allocations and no out-of-memory path can be reached there.
needs_native_machine = pytest.mark.skipif(
    os.environ.get("QF_EMULATED") == "1",
    reason="needs a native machine: under qemu-user, address-space limits do not bound the emulated program",
)
# What trimming removes: the Unicode white space.
WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


def run_cli(
    *args: str, stdin: str | bytes = b"", env: Mapping[str, str] | None = None, **options: object
) -> subprocess.CompletedProcess[str]:
    """`python -m quillforge ARGS`, its output decoded."""
    data = stdin.encode() if isinstance(stdin, str) else stdin
    completed = subprocess.run(
        [sys.executable, "-m", "quillforge", *args],
        input=data,
        capture_output=True,
        timeout=300,
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


def on_a_terminal(command: list[str], stream: str) -> str:
    """What `command` draws when its `stream` ("stdout" or "stderr") is a terminal; it must exit 0."""
    controller, terminal = pty.openpty()
    if not os.isatty(terminal):
        os.close(controller)
        os.close(terminal)
        # Seen under qemu-user 7 with a newer C library, whose terminal ioctl it lacks (ENOSYS).
        pytest.skip("needs a native machine: here a pseudo-terminal is not a terminal (no tcgetattr)")
    drawn = b""
    try:
        completed = subprocess.run(command, timeout=120, **{stream: terminal})  # type: ignore[call-overload]
        os.close(terminal)
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the other end is closed: all is read
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        os.close(controller)
    assert completed.returncode == 0
    return drawn.decode()
