"""The stubs match the built module, and the package type-checks strictly."""

import subprocess
import sys

import pytest

pytest.importorskip("mypy")


def _mypy(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=600)


def test_stubs_match_the_module() -> None:
    result = _mypy("mypy.stubtest", "quillforge._native")
    assert result.returncode == 0, result.stdout + result.stderr


def test_package_passes_mypy_strict() -> None:
    result = _mypy("mypy", "--strict", "--no-incremental", "-p", "quillforge")
    assert result.returncode == 0, result.stdout + result.stderr
