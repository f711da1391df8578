"""./dev asks only for the Debian packages the command run needs."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# (command, packages it must ask for, packages it must not)
NEEDS = [
    (
        "test",
        {"g++", "cmake", "libgtest-dev", "clang-format"},
        {"valgrind", "clang", "libclang-rt-14-dev", "libbenchmark-dev"},
    ),
    ("check", {"g++", "libgtest-dev", "clang", "libclang-rt-14-dev", "valgrind"}, {"libbenchmark-dev", "clang-format"}),
    ("format", {"clang-format"}, {"g++", "valgrind", "libgtest-dev"}),
]


@pytest.mark.skipif(shutil.which("bash") is None, reason="./dev is a bash script")
@pytest.mark.parametrize(("command", "needed", "unneeded"), NEEDS)
def test_each_command_asks_only_for_what_it_needs(
    tmp_path: Path, command: str, needed: set[str], unneeded: set[str]
) -> None:
    # Every package looks missing and the user is not root: ./dev names what it would install, and stops.
    for tool, text in {"dpkg": "exit 1", "id": "echo 1000"}.items():
        (tmp_path / tool).write_text(f"#!/bin/sh\n{text}\n")
        (tmp_path / tool).chmod(0o755)
    env = dict(os.environ, PATH=f"{tmp_path}{os.pathsep}{os.environ['PATH']}")
    done = subprocess.run([str(ROOT / "dev"), command], env=env, capture_output=True, text=True, timeout=60)
    asked = re.search(r"^run as root, or install: (.*)$", done.stderr, re.M)
    assert done.returncode == 1 and asked, done.stderr
    assert needed <= set(asked.group(1).split()) and not unneeded & set(asked.group(1).split())
