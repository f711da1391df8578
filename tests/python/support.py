"""What several test modules share: the worked example and a way to run the command."""

from __future__ import annotations

import json
import os
import subprocess
import sys
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
