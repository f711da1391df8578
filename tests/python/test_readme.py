"""The README's examples run as written, so they cannot drift from the code."""

from __future__ import annotations

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
LORE = (
    '{"id":"Tide Lore","title":"Tides","blocks":[{"id":"b1","content":"  hello world "},'
    '{"id":"b2","content":"second"}]}'
)


def _blocks(language: str) -> list[str]:
    return re.findall(rf"```{language}\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)


def test_python_examples() -> None:
    text = "\n".join(_blocks("python"))
    parser = doctest.DocTestParser()
    test = parser.get_doctest(text, {}, "README.md", str(README), 0)
    assert test.examples, "the README has Python examples"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0


def _console_examples() -> list[tuple[str, str]]:
    examples = []
    for block in _blocks("console"):
        for chunk in re.split(r"^\$ ", block, flags=re.MULTILINE)[1:]:
            command, _, output = chunk.partition("\n")
            examples.append((command, output))
    return examples


@pytest.mark.parametrize(("command", "output"), _console_examples())
def test_console_examples(tmp_path: Path, command: str, output: str) -> None:
    (tmp_path / "lore.json").write_text(LORE, encoding="utf-8")
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    completed = subprocess.run(command, shell=True, cwd=tmp_path, env=env, capture_output=True, text=True)
    assert (completed.returncode, completed.stdout, completed.stderr) == (0, output, "")
