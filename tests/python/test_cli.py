"""The `quillforge` command, driven as a user drives it: real files, pipes and
exit codes."""

from __future__ import annotations

import importlib.metadata
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quillforge
from quillforge._pretty import indent_json

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


def run(*args: str, stdin: str | bytes = b"") -> subprocess.CompletedProcess[str]:
    data = stdin.encode() if isinstance(stdin, str) else stdin
    completed = subprocess.run(
        [sys.executable, "-m", "quillforge", *args], input=data, capture_output=True, timeout=300
    )
    return subprocess.CompletedProcess(
        completed.args, completed.returncode, completed.stdout.decode(), completed.stderr.decode()
    )


@pytest.fixture
def files(tmp_path: Path) -> Path:
    (tmp_path / "lore.json").write_text(LORE, encoding="utf-8")
    (tmp_path / "config.json").write_text(CONFIG, encoding="utf-8")
    return tmp_path


def test_demo_prints_the_worked_example() -> None:
    result = run("demo")
    assert (result.returncode, result.stdout, result.stderr) == (0, f"{CANDIDATE}\n{SUMMARY}\n", "")


def test_console_script_is_installed() -> None:
    script = Path(sys.executable).parent / "quillforge"
    completed = subprocess.run([str(script), "version"], capture_output=True, text=True)
    assert completed.stdout == f"{quillforge.version()}\n"


@pytest.mark.parametrize(
    ("args", "stdin", "expected"),
    [
        (["generate", "{d}/lore.json", "--config", "{d}/config.json"], "", CANDIDATE),
        (["generate", "-", "--config", "{d}/config.json"], LORE, CANDIDATE),
        (["generate", "{d}/lore.json", "--config", "-"], CONFIG, CANDIDATE),
        (["generate", "{d}/lore.json"], "", CANDIDATE),
        (
            ["generate", "{d}/lore.json", "--seed", "0", "--temperature", "0.7", "--max-candidates", "1"],
            "",
            quillforge.generate_candidate_json(LORE, '{"temperature":0.7,"max_candidates":1,"seed":0}'),
        ),
        (["summary", "{d}/lore.json"], "", SUMMARY),
        (["summary", "-"], LORE, SUMMARY),
        (["block", "b1", "Hello"], "", '{"id":"b1","content":"Hello"}'),
        (["schema"], "", quillforge.schema_bundle_json()),
        (["version"], "", importlib.metadata.version("quillforge")),
    ],
)
def test_commands(files: Path, args: list[str], stdin: str, expected: str) -> None:
    result = run(*(arg.format(d=files) for arg in args), stdin=stdin)
    assert (result.returncode, result.stdout, result.stderr) == (0, expected + "\n", "")


def test_schema_of_one_model_is_the_engines_document() -> None:
    bundle = json.loads(quillforge.schema_bundle_json())
    for model in bundle["model_order"]:
        result = run("schema", "--model", model)
        assert result.returncode == 0
        assert json.loads(result.stdout) == bundle["models"][model]
        assert result.stdout[:-1] in quillforge.schema_bundle_json()


def test_indent_keeps_numbers_and_strings_as_written() -> None:
    result = run("block", "b1", 'say "hi"\n', "--indent", "2")
    assert result.stdout == '{\n  "id": "b1",\n  "content": "say \\"hi\\"\\n"\n}\n'
    for text in (CANDIDATE, quillforge.schema_bundle_json(), '{"a":[],"b":{},"c":[1,{"d":"}],:{"}]}'):
        assert indent_json(text, 4) == json.dumps(json.loads(text), indent=4, ensure_ascii=False)


@pytest.mark.parametrize(
    ("args", "stdin", "code", "message"),
    [
        (["block", "b1", " "], "", 1, "quillforge: validation failed: NarrativeBlock.content must not be empty\n"),
        (["summary", "-"], '{"id":"l"}', 1, "quillforge: serialization failed: missing field `title` at line 1 column 10\n"),
        (["generate", "-", "--max-candidates", "0"], LORE, 1,
         "quillforge: validation failed: LabConfig.max_candidates must be between 1 and 1000\n"),
        (["generate", "{d}/lore.json", "--config", "-"], "[0.7,3]", 1,
         "quillforge: serialization failed: invalid length 2, expected struct LabConfig with 3 elements at line 1 column 7\n"),
        (["summary", "{d}/missing.json"], "", 2, "quillforge: {d}/missing.json: no such file\n"),
        (["summary", "{d}"], "", 2, "quillforge: {d}: is a directory\n"),
        (["summary", "{d}/latin1.json"], "", 2, "quillforge: {d}/latin1.json: not valid UTF-8 (byte 0xe9 at offset 2)\n"),
        (["summary", "-"], b"\xff", 2, "quillforge: standard input: not valid UTF-8 (byte 0xff at offset 0)\n"),
        (["generate", "{d}/lore.json", "--config", "{d}/config.json", "--seed", "1"], "", 2,
         "quillforge: --config cannot be combined with --temperature, --max-candidates or --seed\n"),
    ],
)
def test_failures(files: Path, args: list[str], stdin: str | bytes, code: int, message: str) -> None:
    (files / "latin1.json").write_bytes(b'{"\xe9"}')
    result = run(*(arg.format(d=files) for arg in args), stdin=stdin)
    assert (result.returncode, result.stdout, result.stderr) == (code, "", message.format(d=files))


@pytest.mark.parametrize(
    "args",
    [[], ["frobnicate"], ["generate"], ["batch", "x", "--jobs", "0"], ["generate", "x", "--seed", "-1"],
     ["generate", "x", "--temperature", "nan"], ["schema", "--model", "Nope"], ["block", "only-id"]],
)
def test_usage_errors_exit_2_without_a_traceback(args: list[str]) -> None:
    result = run(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert "Traceback" not in result.stderr and "usage: quillforge" in result.stderr


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file(files: Path) -> None:
    (files / "lore.json").chmod(0)
    result = run("summary", str(files / "lore.json"))
    assert (result.returncode, result.stderr) == (2, f"quillforge: {files}/lore.json: permission denied\n")


def _lore_line(i: int) -> str:
    blocks = [{"id": f"b{j}", "content": f" line {i} block {j} \u00e9\u2014\U0001f600 "} for j in range(1 + i % 3)]
    return json.dumps({"id": f"Lore {i}", "title": f"T{i}", "blocks": blocks}, ensure_ascii=i % 2 == 0)


@pytest.fixture(scope="module")
def big_batch(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, list[str]]:
    lines = [_lore_line(i) for i in range(10_000)]
    path = tmp_path_factory.mktemp("batch") / "lores.jsonl"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    expected = [quillforge.generate_candidate_json(line, CONFIG) for line in lines]
    return path, expected


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_batch_equals_line_by_line_calls(big_batch: tuple[Path, list[str]], tmp_path: Path, jobs: str) -> None:
    path, expected = big_batch
    out = tmp_path / "out.jsonl"
    result = run("batch", str(path), "--config", "-", "--jobs", jobs, "-o", str(out), stdin=CONFIG)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert out.read_text(encoding="utf-8").splitlines() == expected


def test_batch_reports_bad_lines_and_goes_on(tmp_path: Path) -> None:
    good = [_lore_line(i) for i in range(6)]
    lines = [good[0], good[1], '{"id":"x"', good[2], "", good[3], '{"id":" ","title":"t","blocks":[]}', good[4]]
    path = tmp_path / "mixed.jsonl"
    path.write_bytes("\n".join(lines).encode() + b"\n\xff\xfe\n" + good[5].encode() + b"\n")
    for jobs in ("1", "2"):
        result = run("batch", str(path), "--jobs", jobs)
        assert result.returncode == 1
        expected = [quillforge.generate_candidate_json(line, CONFIG) for line in good]
        assert result.stdout.splitlines() == expected
        assert result.stderr.splitlines() == [
            "line 3: serialization failed: EOF while parsing an object at line 1 column 9",
            "line 7: validation failed: NarrativeLore.id must not be empty",
            f"{path}: line 9 is not valid UTF-8 (invalid start byte)",
            "quillforge: 3 line(s) failed, 6 written",
        ]


def test_batch_fail_fast_and_stdin(tmp_path: Path) -> None:
    lines = [_lore_line(0), "[]", _lore_line(1)]
    result = run("batch", "-", "--fail-fast", stdin="\n".join(lines))
    assert result.returncode == 1
    assert result.stdout.splitlines() == [quillforge.generate_candidate_json(lines[0], CONFIG)]
    assert result.stderr.splitlines() == [
        "line 2: serialization failed: invalid length 0, expected struct NarrativeLore with 3 elements "
        "at line 1 column 2",
        "quillforge: 1 line(s) failed, 1 written (stopped at the first failure)",
    ]


def test_batch_with_a_bad_config_fails_once(tmp_path: Path) -> None:
    path = tmp_path / "lores.jsonl"
    path.write_text(_lore_line(0) + "\n", encoding="utf-8")
    result = run("batch", str(path), "--temperature", "3")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == "quillforge: validation failed: LabConfig.temperature must be between 0.0 and 2.0\n"


def _peak_rss_kib(path: Path) -> int:
    code = (
        "import resource, sys\n"
        "from quillforge.cli import main\n"
        f"assert main(['batch', {str(path)!r}, '-o', '/dev/null']) == 0\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)\n"
    )
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(completed.stderr.split()[-1])


def test_batch_memory_does_not_grow_with_the_file(tmp_path: Path) -> None:
    line = _lore_line(7)
    small, large = tmp_path / "small.jsonl", tmp_path / "large.jsonl"
    small.write_text((line + "\n") * 2_000, encoding="utf-8")
    large.write_text((line + "\n") * 100_000, encoding="utf-8")  # about 17 MB
    growth_kib = _peak_rss_kib(large) - _peak_rss_kib(small)
    assert growth_kib < 4 * 1024, f"peak RSS grew by {growth_kib} KiB"


def test_batch_draws_progress_only_on_a_terminal(tmp_path: Path) -> None:
    import pty

    path = tmp_path / "lores.jsonl"
    path.write_text("\n".join(_lore_line(i) for i in range(300)) + "\n", encoding="utf-8")
    controller, terminal = pty.openpty()
    try:
        completed = subprocess.run([sys.executable, "-m", "quillforge", "batch", str(path), "-o", os.devnull],
                                   stderr=terminal, timeout=120)
        os.close(terminal)
        drawn = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal's other end is closed: all is read
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        os.close(controller)
    assert completed.returncode == 0
    assert "100.0%" in drawn.decode() and "300 lines, 0 failed" in drawn.decode()
    piped = run("batch", str(path), "-o", os.devnull)
    assert (piped.returncode, piped.stderr) == (0, "")
