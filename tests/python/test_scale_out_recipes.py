"""The Spark recipe of docs/scale-out.md, run as written, gives what `quillforge batch` gives.

./dev check installs PySpark (the spark extra) and runs it on the machine's Java,
with QF_REQUIRE_SPARK set so that a missing PySpark or Java fails instead of
skipping; elsewhere it is skipped without them. Spark runs in local mode
(local[2]), on loopback only, with no web UI. The Ray
recipe is not run here: a local Ray instance also talks over the machine's own
network address, not only loopback."""

from __future__ import annotations

import os
import re
import shutil
import sys
from collections import defaultdict
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

import pytest

from support import CONFIG, children, lore_line, processes_left, run_cli

DOC = Path(__file__).resolve().parents[2] / "docs" / "scale-out.md"

# Spark starts a JVM and a few Python workers: this runs with ./dev check only.
pytestmark = pytest.mark.heavy


def _recipe(heading: str) -> dict[str, Any]:
    """The doc's Python code under `heading`, run in a namespace of its own."""
    section = DOC.read_text(encoding="utf-8").split(f"### {heading}\n", 1)[1].split("\n#", 1)[0]
    code = "\n".join(re.findall(r"```python\n(.*?)```", section, re.DOTALL))
    assert code, f"no Python code under {heading!r}"
    # A module name that cannot be imported: the engines then send the
    # functions to their workers by value.
    namespace: dict[str, Any] = {"__name__": "scale_out_recipe"}
    exec(compile(code, f"{DOC}: {heading}", "exec"), namespace)
    return namespace


@pytest.fixture(scope="module")
def inputs(tmp_path_factory: pytest.TempPathFactory) -> tuple[list[Path], dict[str, bytes], set[tuple[str, int, str]]]:
    """Two inputs, and the command's outputs and line errors (file name, line, message) for them."""
    root = tmp_path_factory.mktemp("recipes")
    (root / "in").mkdir()
    good = [lore_line(i).encode() for i in range(6)]
    files = {
        "a.jsonl": b"\n".join(good) + b"\n",
        "b.jsonl": good[0] + b'\r\n{"id":"x",\n\n{"id":"a\rb","title":"t","blocks":[]}\n\xff\n' + good[1],
    }
    for name, data in files.items():
        (root / "in" / name).write_bytes(data)
    result = run_cli("batch", "in", "-o", "cli", cwd=root)
    assert result.returncode == 1
    errors = {
        (Path(found[0]).name, int(found[1]), found[2])
        for found in re.findall(r"^quillforge: (\S+) line (\d+): (.*)$", result.stderr, re.MULTILINE)
    }
    assert errors, "the inputs have bad lines"
    paths = sorted((root / "in").iterdir())
    return paths, {path.name: path.read_bytes() for path in (root / "cli").iterdir()}, errors


def _as_the_command(rows: Iterable[tuple[str, int, str | None, str | None]]) -> tuple[dict[str, bytes], set[Any]]:
    """Each file's candidates in line order, one a line, and the line errors."""
    candidates: dict[str, list[tuple[int, str]]] = defaultdict(list)
    errors = set()
    for path, line, candidate, error in rows:
        name = Path(path).name
        if candidate is not None:
            candidates[name].append((line, candidate))
        else:
            errors.add((name, line, error))
    outputs = {name: "".join(text + "\n" for _, text in sorted(found)).encode() for name, found in candidates.items()}
    return outputs, errors


@pytest.fixture
def spark_local(monkeypatch: pytest.MonkeyPatch) -> Iterator[Any]:
    required = os.environ.get("QF_REQUIRE_SPARK") == "1"
    if not required:
        pytest.importorskip("pyspark")
    if shutil.which("java") is None:
        (pytest.fail if required else pytest.skip)("Spark needs Java")
    from pyspark.sql import SparkSession

    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    monkeypatch.setenv("SPARK_LOCAL_IP", "127.0.0.1")
    before = children()
    spark = (
        SparkSession.builder.master("local[2]")
        .config("spark.ui.enabled", "false")
        .config("spark.driver.host", "127.0.0.1")
        .config("spark.driver.bindAddress", "127.0.0.1")
        .getOrCreate()
    )
    try:
        yield spark
    finally:
        spark.stop()
        from pyspark import SparkContext

        gateway = SparkContext._gateway
        if gateway is not None:  # the JVM, which stop() leaves running for a next session
            gateway.shutdown()
            gateway.proc.stdin.close()  # it ends when its standard input does
            gateway.proc.wait(timeout=60)
            SparkContext._gateway = None
            SparkContext._jvm = None
    assert not processes_left(before)


def test_spark_recipe(spark_local: Any, inputs: tuple[list[Path], dict[str, bytes], set[Any]]) -> None:
    paths, expected_files, expected_errors = inputs
    frame = _recipe("Spark: `mapPartitions`")["generate_with_spark"](
        spark_local, str(paths[0].parent / "*.jsonl"), CONFIG
    )
    rows = [(row.path, row.line, row.candidate, row.error) for row in frame.collect()]
    assert _as_the_command(rows) == (expected_files, expected_errors)
