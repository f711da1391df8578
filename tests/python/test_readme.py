"""The documentation's examples run as written, and the API page is what its
generator makes of the docstrings, so neither can drift from the code."""

from __future__ import annotations

import ast
import doctest
import os
import pydoc
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quillforge
from quillforge import _native

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
DOCUMENTS = [README, *sorted((ROOT / "docs").glob("*.md"))]


def _blocks(language: str, document: Path = README) -> list[str]:
    return re.findall(rf"```{language}\n(.*?)```", document.read_text(encoding="utf-8"), re.DOTALL)


def _run_examples(text: str, name: str, globs: dict[str, object]) -> int:
    test = doctest.DocTestParser().get_doctest(text, globs, name, name, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0
    return len(test.examples)


@pytest.fixture
def examples_here(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A working folder holding the example files, written as the README's quick start writes them:
    by the installed package, not copied from the clone."""
    done = subprocess.run([sys.executable, "-m", "quillforge", "demo", "--write-examples", "examples"], cwd=tmp_path)
    assert done.returncode == 0
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda path: path.name)
def test_python_examples(document: Path, examples_here: Path) -> None:
    _run_examples("\n".join(_blocks("python", document)), document.name, {})


def _stub_docstrings() -> dict[str, str]:
    stub = Path(_native.__file__).with_name("_native.pyi")
    return {
        node.name: ast.get_docstring(node) or ""
        for node in ast.walk(ast.parse(stub.read_text(encoding="utf-8")))
        if isinstance(node, ast.FunctionDef)
    }


def test_the_stubs_examples_and_the_api_page() -> None:
    assert _run_examples("\n".join(_stub_docstrings().values()), "_native.pyi", dict(vars(quillforge))) > 0
    assert _run_examples(quillforge.__doc__ or "", "quillforge", dict(vars(quillforge))) > 0
    generator = ROOT / "tools" / "gen_api_docs.py"
    done = subprocess.run([sys.executable, str(generator), "--check"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_help_shows_the_guide_and_each_functions_text() -> None:
    shown = pydoc.render_doc(quillforge, renderer=pydoc.plaintext)
    for name, text in _stub_docstrings().items():
        assert f"{name}(" in shown
        assert all(line.strip() in shown for line in text.splitlines()), name
    assert "quillforge.batch" in shown and "quillforge.dask" in shown


def _console_examples() -> list[tuple[str, str]]:
    examples = []
    for block in _blocks("console"):
        for chunk in re.split(r"^\$ ", block, flags=re.MULTILINE)[1:]:
            command, _, output = chunk.partition("\n")
            examples.append((command, output))
    return examples


@pytest.mark.parametrize(("command", "output"), _console_examples())
def test_console_examples(examples_here: Path, command: str, output: str) -> None:
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    completed = subprocess.run(command, shell=True, cwd=examples_here, env=env, capture_output=True, text=True)
    assert (completed.returncode, completed.stdout, completed.stderr) == (0, output, "")


def test_throughput_figures_live_only_in_the_benchmarks_page() -> None:
    # Figures copied into other pages went stale; they link to where the latest run is recorded.
    bench = (ROOT / "bench" / "README.md").read_text(encoding="utf-8")
    anchors = {
        re.sub(r"[^\w\- ]", "", title).strip().lower().replace(" ", "-")
        for title in re.findall(r"^#+ (.*)", bench, re.M)
    }
    for document in DOCUMENTS:
        text = document.read_text(encoding="utf-8")
        assert not re.findall(r"\d[\d,.]* *(?:lines/s|lines a second|times\b|x `--jobs)", text), document.name
        for anchor in re.findall(r"bench/README\.md#([\w-]+)", text):
            assert anchor in anchors, (document.name, anchor)
