"""The `quillforge` command, driven as a user drives it: real files, pipes,
terminals and exit codes."""

from __future__ import annotations

import io
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

import quillforge
from quillforge._pretty import indent_json
from quillforge.cli import build_parser, main
from quillforge.cli._parser import quick_batch

import support
from support import CANDIDATE, CONFIG, LORE, SUMMARY, lore_line, needs_native_machine, on_a_terminal, run_cli

BIN = Path(sys.executable).parent
NEEDS_ROOM = pytest.mark.skipif(support.UNDER_ASAN, reason="ASan needs more address space")


@pytest.fixture
def files(tmp_path: Path) -> Path:
    (tmp_path / "lore.json").write_text(LORE, encoding="utf-8")
    (tmp_path / "config.json").write_text(CONFIG, encoding="utf-8")
    (tmp_path / "bad_lore.json").write_text('{"id":"l"}', encoding="utf-8")
    (tmp_path / "blank_lore.json").write_text('{"id":" ","title":"t","blocks":[]}', encoding="utf-8")
    (tmp_path / "latin1.json").write_bytes(b'{"\xe9"}')
    (tmp_path / "lores.jsonl").write_text("\n".join(lore_line(i) for i in range(3)) + "\n", encoding="utf-8")
    return tmp_path


def _shell(command: str, cwd: Path, stdin: bytes = b"") -> tuple[int, str, str]:
    env = dict(os.environ, PATH=f"{BIN}{os.pathsep}{os.environ['PATH']}")
    done = subprocess.run(["bash", "-c", command], cwd=cwd, env=env, input=stdin, capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


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
        (  # the flags' values written as JSON: the smallest and largest of their kinds, the others defaulted
            ["generate", "{d}/lore.json", "--temperature", "1e-5", "--seed", "18446744073709551615"],
            "",
            quillforge.generate_candidate_json(
                LORE, '{"temperature":1e-5,"max_candidates":3,"seed":18446744073709551615}'
            ),
        ),
        (["summary", "-"], LORE, SUMMARY),
        (["block", "b1", "Hello"], "", '{"id":"b1","content":"Hello"}'),
        (["schema"], "", quillforge.schema_bundle_json()),
        (["version"], "", quillforge.version()),
        (["batch", "-", "-o", "-", "--jobs", "2", "--config", "{d}/config.json"], LORE + "\n", CANDIDATE),
    ],
)
def test_commands(files: Path, args: list[str], stdin: str, expected: str) -> None:
    result = run_cli(*(arg.format(d=files) for arg in args), stdin=stdin)
    assert (result.returncode, result.stdout, result.stderr) == (0, expected + "\n", "")


def test_schema_of_one_model_is_the_engines_document() -> None:
    bundle = json.loads(quillforge.schema_bundle_json())
    for model in bundle["model_order"]:
        result = run_cli("schema", "--model", model)
        assert json.loads(result.stdout) == bundle["models"][model]
        assert result.stdout[:-1] in quillforge.schema_bundle_json()


def test_indent_keeps_numbers_and_strings_as_written() -> None:
    result = run_cli("block", "b1", 'say "hi"\n', "--indent", "2")
    assert result.stdout == '{\n  "id": "b1",\n  "content": "say \\"hi\\"\\n"\n}\n'
    for text in (CANDIDATE, quillforge.schema_bundle_json(), '{"a":[],"b":{},"c":[1,{"d":"}],:{"}]}'):
        assert indent_json(text, 4) == json.dumps(json.loads(text), indent=4, ensure_ascii=False)


# Each failure: the exit code of its class and one line on standard error that
# names the input; nothing on standard output.
ONCE = "standard input can be read only once: give a file for all but one input"
FULL = "cannot write output: No space left on device"
AT_1_1 = "serialization failed: expected value at line 1 column 1"
BOM = f"{AT_1_1} (the input starts with a UTF-8 byte-order mark, which JSON does not allow: save it without one)"
# fmt: off
FAILURES = [  # (command in the folder of `files`, standard input, exit code, message)
    ("quillforge block b1 ' '", "", 1, "validation failed: NarrativeBlock.content must not be empty"),
    ("quillforge summary bad_lore.json", "", 1,
     "bad_lore.json: serialization failed: missing field `title` at line 1 column 10"),
    ("quillforge generate blank_lore.json", "", 1,
     "blank_lore.json: validation failed: NarrativeLore.id must not be empty"),
    ("quillforge generate blank_lore.json --config -", "[0.7,3]", 1,
     "<stdin>: serialization failed: invalid length 2, expected struct LabConfig with 3 elements at line 1 column 7"),
    ("quillforge generate lore.json --max-candidates 0", "", 1,
     "--max-candidates 0: validation failed: LabConfig.max_candidates must be between 1 and 1000"),
    ("quillforge batch lores.jsonl --temperature 3", "", 1,
     "--temperature 3.0: validation failed: LabConfig.temperature must be between 0.0 and 2.0"),
    # A byte-order mark: the engine's message, then a hint.
    ("quillforge summary -", "\ufeff" + LORE, 1, f"<stdin>: {BOM}"),
    ("quillforge generate lore.json --config -", "\ufeff" + CONFIG, 1, f"<stdin>: {BOM}"),
    ("quillforge batch - -o out.jsonl", f"\ufeff{LORE}\n\ufeff{LORE}", 1,  # a hint for the first line only
     f"<stdin> line 1: {BOM}\nquillforge: <stdin> line 2: {AT_1_1}\nquillforge: <stdin>: 2 lines, 0 written, 2 failed"),
    ("cat > in.jsonl && quillforge batch in.jsonl -o out.jsonl", f"\ufeff{LORE}\n\ufeff{LORE}", 1,  # from a file
     f"in.jsonl line 1: {BOM}\nquillforge: in.jsonl line 2: {AT_1_1}\n"
     "quillforge: in.jsonl: 2 lines, 0 written, 2 failed"),
    ("quillforge summary missing.json", "", 2, "missing.json: no such file"),
    ("quillforge batch missing.jsonl lores.jsonl -o out", "", 2,  # and goes on to the next input
     "missing.jsonl: no such file\nquillforge: lores.jsonl: 3 lines, 3 written, 0 failed"),
    ("quillforge summary .", "", 2, ".: is a directory"),
    ("quillforge summary latin1.json", "", 2, "latin1.json: not valid UTF-8 (byte 0xe9 at offset 2)"),
    ("quillforge summary -", b"\xff", 2, "<stdin>: not valid UTF-8 (byte 0xff at offset 0)"),
    ("quillforge block $'\\xff' x", "", 2, "ID is not valid UTF-8"),
    ("quillforge generate lore.json --config config.json --seed 1", "", 2,
     "--config cannot be combined with --temperature, --max-candidates or --seed"),
    ("quillforge generate - --config -", LORE, 2, ONCE),
    ("mkdir e && quillforge batch e", "", 2, "e: holds no .jsonl file"),
    ("quillforge batch lores.jsonl - -o out", "", 2, "standard input can only be the sole input"),
    ("quillforge batch lores.jsonl lores.jsonl", "", 2, "several inputs need an output folder: -o FOLDER"),
    ("mkdir out && quillforge batch - -o out", "", 2, "standard input needs an output file, not a folder"),
    ("mkdir a && cp lores.jsonl a && quillforge batch a/lores.jsonl lores.jsonl -o out", "", 2,
     "two inputs have the same file name; their outputs would collide"),
    ("quillforge batch - --config -", "[0.7,3,1]", 2, ONCE),
    ("quillforge summary - <&-", "", 2, "<stdin>: cannot read (standard input is closed)"),
    ("quillforge batch /proc/self/mem", "", 2, "/proc/self/mem: cannot read (Input/output error)"),
    ("quillforge version >&-", "", 3, "cannot write output: standard output is closed"),
    ("quillforge demo > /dev/full", "", 3, FULL),
    # Buffered, as without PYTHONUNBUFFERED: nothing is left for the interpreter's flush at exit.
    *[(f"env -u PYTHONUNBUFFERED quillforge {args} > /dev/full", "", 3, FULL)
      for args in ("demo", "--help", "-V", "batch lores.jsonl")],
    ("quillforge batch lores.jsonl -o missing/out.jsonl", "", 3,
     "cannot write missing/out.jsonl: No such file or directory"),
    ("quillforge batch lores.jsonl -o dir/", "", 3, "cannot write dir/lores.jsonl: No such file or directory"),
    ("quillforge batch lores.jsonl -o lore.json/", "", 3, "cannot write lore.json/lores.jsonl: Not a directory"),
    ("quillforge batch lores.jsonl -o /sys/out.jsonl", "", 3, "cannot write /sys/out.jsonl: Permission denied"),
    ("quillforge demo --write-examples .", "", 3, "./lore.json: exists and is not the example; not replaced"),
    ("quillforge batch lores.jsonl -o /dev/full", "", 3, "cannot write /dev/full: No space left on device"),
    pytest.param("ulimit -v 300000; quillforge summary /dev/zero", "", 4, "/dev/zero: out of memory while reading it",
                 marks=[NEEDS_ROOM, needs_native_machine]),
]
# fmt: on


@pytest.mark.parametrize(("command", "stdin", "code", "message"), FAILURES)
def test_failures(files: Path, command: str, stdin: str | bytes, code: int, message: str) -> None:
    result = _shell(command, files, stdin if isinstance(stdin, bytes) else stdin.encode())
    assert result == (code, "", f"quillforge: {message}\n")


def _interpreter_starts(limit_kib: int, folder: Path) -> bool:
    """Whether this interpreter gets as far as our first line under the limit, cleanly: a
    script of what the console script (as pip wrote it) imports, the entry module last.
    Near its floor an interpreter may complain on standard error and go on (seen: 3.13.18
    failing to check whether the script's path is an import path entry)."""
    script = (BIN / "quillforge").read_text(encoding="utf-8").splitlines()
    start = folder / "start.py"
    start.write_text("\n".join(line for line in script if line.startswith(("import ", "from "))), encoding="utf-8")
    return _shell(f"ulimit -v {limit_kib}; python start.py", folder)[::2] == (0, "")


def _interpreter_floor_kib(folder: Path) -> int:
    """The least limit, to 250 KiB, under which `_interpreter_starts` (found by halving)."""
    low, high = 2_000, 64_000
    assert _interpreter_starts(high, folder) and not _interpreter_starts(low, folder)
    while high - low > 250:
        middle = (low + high) // 2
        low, high = (low, middle) if _interpreter_starts(middle, folder) else (middle, high)
    return high


@NEEDS_ROOM
@needs_native_machine
@pytest.mark.parametrize(("jobs", "offset"), [("1", 0), ("2", 250)])  # between them every 250 KiB
def test_too_little_memory_to_start_exits_4(files: Path, jobs: str, offset: int) -> None:
    # Wherever it runs out above the interpreter's own floor (loading the package or its modules, starting
    # a thread or its first call, reading), it is exit 4 and one line, or the whole output. Below that floor
    # nothing of ours has run; where the floor is not monotonic such a limit is told apart by running the
    # floor's check there. The range reaches past where every thread starts (each stack is 8 MB of address
    # space): a thread refused or unable to run leaves the work to the others, with no word.
    command = f"quillforge batch lores.jsonl --config config.json -o out.jsonl --jobs {jobs}"
    floor = _interpreter_floor_kib(files)
    outcomes = set()
    for limit_kib in range(floor + offset, floor + 36_000, 500):
        (files / "out.jsonl").unlink(missing_ok=True)
        code, out, err = _shell(f"ulimit -v {limit_kib}; {command}", files)
        if code == 0:
            assert (out, err) == ("", ""), limit_kib
            assert (files / "out.jsonl").read_text(encoding="utf-8") == support.candidates(
                [lore_line(i) for i in range(3)]
            )
            outcomes.add(0)
            continue
        if (code != 4 or err.count("\n") != 1) and not _interpreter_starts(limit_kib, files):
            continue
        assert (code, out, "Traceback" in err) == (4, "", False), (limit_kib, err)
        assert err.startswith("quillforge: ") and "out of memory" in err and err.count("\n") == 1, (limit_kib, err)
        outcomes.add(4)
    assert outcomes == {0, 4}  # the package does need more than the bare interpreter, and the range is enough


# fmt: off
CONVENTIONS = [  # (arguments, exit code, what the output holds, what it must not hold)
    (["-V"], 0, f"quillforge {quillforge.version()}\n", None),
    (["batch", "x", "--job", "2"], 2, "unrecognized arguments: --job 2", None),  # no abbreviations
    (["generate", "x", "--see", "2"], 2, "unrecognized arguments: --see 2", None),
    (["generate", "x", "--seed", "-1"], 2, "argument --seed: must be from 0 to 2**64-1, not -1", None),
    (["generate", "x", "--seed", "1.5"], 2, "argument --seed: not a whole number: '1.5'", None),
    (["batch", "x", "--max-candidates", "-1"], 2, "must be from 0 to 2**32-1, not -1", None),
    (["batch", "x", "--seed", "9" * 400], 2, "argument --seed: must be from 0 to 2**64-1, not 999", None),
    (["block", "--help"], 0, "ID the block's id (must not be blank) CONTENT the block's text", "0 success"),
    (["batch", "--help"], 0, "only checked: one candidate is produced per lore", "0 success"),
    (["--help"], 0, "exit codes (of every command): 0 success", None),
    *[(args, 2, "usage: quillforge", "Traceback") for args in [[], ["frobnicate"], ["generate"], ["block", "only-id"],
      ["batch", "x", "--jobs", "-1"], ["generate", "x", "--temperature", "nan"], ["schema", "--model", "Nope"],
      ["demo", "--indent", "99999999999"]]],
]
# fmt: on


# fmt: off
BATCH_LINES = [  # (arguments, read without argparse); either way they must parse alike
    ("batch a.jsonl", True),
    ("batch - --config - --jobs auto --fail-fast --no-progress", True),
    ("batch --jobs=2 a b c -o out --seed 7 --temperature 1.5 --max-candidates 9 --output=o2", True),
    ("batch --config=c.json a --no-progress --config d.json", True),  # the last one given counts
    ("batch a --jobs 2 b", False),  # a second run of inputs: argparse refuses it
    ("batch a --jobs -1", False), ("batch a --jobs", False), ("batch a -oout", False), ("batch a -o=out", False),
    ("batch a --config=", False), ("batch a -- b", False), ("batch a --job 2", False), ("batch -5", False),
    ("batch a --seed 1e3", False), ("batch a --temperature inf", False), ("batch a --fail-fast=1", False),
    ("batch", False), ("batch --help", False), ("generate a", False), ("-V batch a", False),
]
# fmt: on


@pytest.mark.parametrize(("line", "quick"), BATCH_LINES)
def test_plain_batch_lines_parse_as_argparse_parses_them(line: str, quick: bool) -> None:
    argv = line.split()
    parsed = quick_batch(argv)
    assert (parsed is not None) == quick
    if parsed is not None:
        assert vars(parsed) == vars(build_parser().parse_args(argv, SimpleNamespace()))


@pytest.mark.parametrize(("args", "code", "shown", "not_shown"), CONVENTIONS)
def test_command_line_conventions(args: list[str], code: int, shown: str, not_shown: str | None) -> None:
    result = run_cli(*args)
    text = " ".join((result.stdout + result.stderr).split())  # help is wrapped to the width
    assert result.returncode == code and " ".join(shown.split()) in text, text
    assert not_shown is None or not_shown not in text
    assert code == 0 or result.stdout == ""


def test_a_folder_gives_only_its_regular_files(tmp_path: Path) -> None:
    # A pipe in the folder would wait for a writer for ever; named, one is read as a stream.
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.jsonl").write_text(LORE + "\n", encoding="utf-8")
    (tmp_path / "in" / "notes.txt").write_text("not an input", encoding="utf-8")
    os.mkfifo(tmp_path / "in" / "b.jsonl")
    os.symlink("a.jsonl", tmp_path / "in" / "c.jsonl")
    result = run_cli("batch", "in", "-o", "out", cwd=tmp_path, timeout=20)
    assert (result.returncode, sorted(os.listdir(tmp_path / "out"))) == (0, ["a.jsonl", "c.jsonl"])
    writer = subprocess.Popen(["bash", "-c", f"printf '%s\\n' '{LORE}' > in/b.jsonl"], cwd=tmp_path)
    result = run_cli("batch", "in/b.jsonl", cwd=tmp_path, timeout=20)
    assert writer.wait(timeout=20) == 0
    assert (result.returncode, result.stdout) == (0, CANDIDATE + "\n")


@pytest.mark.parametrize(
    ("setup", "command"),
    [  # the same path, a link or a hard link: test_batch; here what only the command can be given
        ("", "quillforge batch - -o lores.jsonl < lores.jsonl"),
        ("mkdir in && cp lores.jsonl in/", "quillforge batch in -o in"),
        ("", "quillforge batch lores.jsonl 1<> lores.jsonl"),
        ("", "quillforge batch lores.jsonl >> lores.jsonl"),
        ("", "quillforge batch - < lores.jsonl >> lores.jsonl"),
    ],
)
def test_the_input_is_never_the_output(files: Path, setup: str, command: str) -> None:
    before = (files / "lores.jsonl").read_bytes()
    assert _shell(setup, files)[0] == 0
    code, out, err = _shell(command, files)
    assert (code, out) == (2, "") and "is also the input" in err
    assert (files / "lores.jsonl").read_bytes() == before


# The output is replaced whole, through a link and keeping its mode; nothing else is left.
ROOT_ONLY = pytest.mark.skipif(os.geteuid() != 0, reason="gives a file away")
# fmt: off
DESTINATIONS = [  # (set-up, the command, a shell check, what the check prints)
    ("mkdir real && echo old > real/out.jsonl && ln -s real/out.jsonl link.jsonl",
     "quillforge batch lores.jsonl -o link.jsonl", "readlink link.jsonl; cmp real/out.jsonl expected && ls real",
     "real/out.jsonl\nout.jsonl\n"),
    ("mkdir real && ln -s real/new.jsonl link.jsonl", "quillforge batch lores.jsonl -o link.jsonl",
     "readlink link.jsonl; cmp real/new.jsonl expected && ls real", "real/new.jsonl\nnew.jsonl\n"),
    ("ln -s /dev/stdout out.jsonl", "quillforge batch lores.jsonl -o out.jsonl > got",
     "readlink out.jsonl; cmp got expected && echo same", "/dev/stdout\nsame\n"),
    ("ln -s /dev/stdout out.jsonl", "quillforge batch lores.jsonl -o out.jsonl | cat > got",
     "readlink out.jsonl; cmp got expected && echo same", "/dev/stdout\nsame\n"),
    ("echo old > out.jsonl && chmod 600 out.jsonl", "quillforge batch lores.jsonl -o out.jsonl",
     "stat -c %a out.jsonl; cmp out.jsonl expected && echo same", "600\nsame\n"),
    ("", "umask 027 && quillforge batch lores.jsonl -o out.jsonl", "stat -c %a out.jsonl", "640\n"),
    pytest.param("echo old > out.jsonl && chown 1234:5678 out.jsonl && chmod 2640 out.jsonl",
                 "quillforge batch lores.jsonl -o out.jsonl", "stat -c '%u:%g %a' out.jsonl", "1234:5678 2640\n",
                 marks=ROOT_ONLY),
]
# fmt: on


@pytest.mark.usefixtures("output_path")
@pytest.mark.parametrize(("setup", "command", "check", "shown"), DESTINATIONS)
def test_batch_destinations(files: Path, setup: str, command: str, check: str, shown: str) -> None:
    lines = (files / "lores.jsonl").read_text(encoding="utf-8").splitlines()
    (files / "expected").write_text(support.candidates(lines))
    assert _shell(setup, files)[0] == 0
    assert _shell(command, files) == (0, "", "")
    assert _shell(check, files) == (0, shown, "")
    assert [path.name for path in files.rglob("*") if path.name.endswith((".tmp", ".partial"))] == []


def test_on_a_terminal_control_characters_are_shown_escaped(tmp_path: Path) -> None:
    title = "T\x1b]0;pwned\x07\r\x9b"
    lore = json.dumps({"id": "l", "title": title, "blocks": [["b", "x"]]})
    (tmp_path / "lore.json").write_text(lore, encoding="utf-8")
    summary = on_a_terminal(["summary", str(tmp_path / "lore.json")], "stdout")
    assert summary == "T\\x1b]0;pwned\\x07\\r\\x9b contains 1 block(s) and 1 word(s).\r\n"
    for command in ("generate", "batch"):
        candidate = on_a_terminal([command, str(tmp_path / "lore.json")], "stdout")
        assert json.loads(candidate)["rationale"] == f"Hybridized 1 block(s) from '{title}' with seed 42."
        assert "\x1b" not in candidate and "\x9b" not in candidate and "\\u009b" in candidate
    # Not on a terminal: the engine's text, byte for byte.
    piped = run_cli("summary", str(tmp_path / "lore.json"))
    assert piped.stdout == quillforge.render_lore_summary_json(lore) + "\n"


# ---------------------------------------------------------------- batch


def test_batch_fail_fast_from_stdin() -> None:
    lines = [lore_line(0), "[]", lore_line(1)]
    result = run_cli("batch", "-", "--fail-fast", stdin="\n".join(lines))
    assert result.returncode == 1
    assert result.stdout == support.candidates(lines[:1])
    assert result.stderr.splitlines() == [
        f"quillforge: <stdin> line 2: {support.EMPTY_ARRAY}",
        "quillforge: <stdin>: 2 lines, 1 written, 1 failed (stopped at the first failure)",
    ]


@pytest.mark.usefixtures("output_path")
def test_batch_fail_fast_keeps_a_partial_and_stops_the_whole_run(tmp_path: Path) -> None:
    good = [lore_line(i) for i in range(3)]
    (tmp_path / "a.jsonl").write_text(f"{good[0]}\n[]\n{good[1]}\n", encoding="utf-8")
    (tmp_path / "b.jsonl").write_text(good[2] + "\n", encoding="utf-8")
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "a.jsonl").write_text("old\n")
    result = run_cli("batch", "a.jsonl", "b.jsonl", "-o", "out", "--fail-fast", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.splitlines()[1:] == [
        "quillforge: a.jsonl: 2 lines, 1 written, 1 failed (stopped at the first failure); "
        "the 1 candidates written are in out/a.jsonl.partial"
    ]
    assert sorted(os.listdir(tmp_path / "out")) == ["a.jsonl", "a.jsonl.partial"]  # b.jsonl was not run
    assert (tmp_path / "out" / "a.jsonl").read_text() == "old\n"
    assert (tmp_path / "out" / "a.jsonl.partial").read_text() == support.candidates(good[:1])


# A stalled reader costs the run 5 s: once is enough.
@pytest.mark.parametrize(
    ("stderr", "to_file"), [("full", True), ("full", False), ("gone", True), ("gone", False), ("stalled", True)]
)
def test_a_standard_error_that_fails_loses_messages_not_the_run(tmp_path: Path, stderr: str, to_file: bool) -> None:
    # More messages than a pipe holds, so that a reader that stopped reading blocks them.
    lines = [lore_line(i) for i in range(3)] + ["[]"] * 2_000
    (tmp_path / "in.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    reader, writer = os.pipe()
    if stderr == "gone":
        os.close(reader)
    elif stderr == "full":
        os.close(reader)
        os.close(writer)
        writer = os.open("/dev/full", os.O_WRONLY)
    output = ["-o", "out.jsonl"] if to_file else []
    try:
        done = subprocess.run(
            [sys.executable, "-m", "quillforge", "batch", "in.jsonl", *output],
            cwd=tmp_path,
            stdout=subprocess.PIPE,
            stderr=writer,
            timeout=60,
        )
    finally:
        os.close(writer)
        if stderr == "stalled":
            os.close(reader)
    written = (tmp_path / "out.jsonl").read_text() if to_file else done.stdout.decode()
    assert (done.returncode, written) == (1, support.candidates(lines[:3]))
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "out.jsonl"] if to_file else ["in.jsonl"]


def _peak_rss_kib(path: Path, jobs: str) -> int:
    code = (
        "import resource, sys\n"
        "from quillforge.cli import main\n"
        f"assert main(['batch', {str(path)!r}, '-o', '/dev/null', '--jobs', {jobs!r}]) == 0\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)\n"
    )
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(completed.stderr.split()[-1])


@pytest.mark.parametrize("length", [1, 60_000])
def test_batch_memory_does_not_grow_with_the_file(tmp_path: Path, length: int) -> None:
    line = json.dumps({"id": "l", "title": "t", "blocks": [["b", "w " * length]]})
    small, large = tmp_path / "small.jsonl", tmp_path / "large.jsonl"
    small.write_text((line + "\n") * max(1, 40_000 // length), encoding="utf-8")
    large.write_text((line + "\n") * max(1, 24_000_000 // len(line)), encoding="utf-8")  # about 24 MB
    growth_kib = _peak_rss_kib(large, "2") - _peak_rss_kib(small, "2")
    assert growth_kib < 12 * 1024, f"peak RSS grew by {growth_kib} KiB"


def _fed_slowly(fifo: Path, lines: list[str]) -> threading.Thread:
    """Writes half of `lines` into `fifo`, the rest a second later: a run long enough for a progress line."""

    def feed() -> None:
        deadline = time.monotonic() + 20
        while True:  # until the command opens its end (or the test is long over)
            try:
                descriptor = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError:
                if time.monotonic() > deadline:
                    return
                time.sleep(0.01)
        os.set_blocking(descriptor, True)
        with open(descriptor, "w", encoding="utf-8") as pipe:
            half = len(lines) // 2
            pipe.write("".join(line + "\n" for line in lines[:half]))
            pipe.flush()
            time.sleep(1)
            pipe.write("".join(line + "\n" for line in lines[half:]))

    thread = threading.Thread(target=feed)
    thread.start()
    return thread


BATCH_ON_A_TERMINAL = [  # (file name, TERM, columns, what goes to the terminal, output)
    ("in\x1b]0;title\x07\x9b.jsonl", "xterm", 200, ["stderr"], os.devnull),
    ("in" + "x" * 100 + ".jsonl", "dumb", 50, ["stderr"], os.devnull),
    ("in.jsonl", "xterm", 80, ["stderr", "stdout"], None),  # the candidates would tear the line apart
]


@pytest.mark.parametrize(("name", "term", "columns", "streams", "output"), BATCH_ON_A_TERMINAL)
def test_batch_progress_line(
    tmp_path: Path, name: str, term: str, columns: int, streams: list[str], output: str | None
) -> None:
    lines = [lore_line(i) for i in range(300)]
    os.mkfifo(tmp_path / name)
    feeder = _fed_slowly(tmp_path / name, lines)
    command = ["batch", str(tmp_path / name), *(["-o", output] if output else [])]
    drawn = on_a_terminal(command, *streams, columns=columns, env={"TERM": term})
    feeder.join()
    if output is None:
        assert drawn == support.candidates(lines).replace("\n", "\r\n")
        return
    rows = drawn.replace("\r\n", "\r").replace("\x1b[K", "").split("\r")
    assert "300 lines, 0 failed" in rows[-2] and "lines/s" in rows[-2] and rows[-1] == ""
    assert max(len(row) for row in rows) < columns
    assert ("\x1b[K" in drawn) == (term != "dumb") and "\x1b" not in drawn.replace("\x1b[K", "")
    assert "\x9b" not in drawn and (term == "dumb" or "in\\x1b]0;title\\x07\\x9b.jsonl" in drawn)


def test_batch_draws_no_progress_for_a_small_file_or_off_a_terminal(tmp_path: Path) -> None:
    path = tmp_path / "lores.jsonl"
    path.write_text("\n".join(lore_line(i) for i in range(5)) + "\n", encoding="utf-8")
    assert on_a_terminal(["batch", str(path), "-o", os.devnull], "stderr") == ""
    piped = run_cli("batch", str(path), "-o", os.devnull)
    assert (piped.returncode, piped.stderr) == (0, "")


def test_main_leaves_a_scripts_standard_input_and_signal_handlers(
    monkeypatch: pytest.MonkeyPatch, tmp_path: Path
) -> None:
    # main() may be called from a script that goes on using its standard input and its own handlers.
    stdin = io.TextIOWrapper(io.BytesIO((lore_line(0) + "\n").encode()))
    monkeypatch.setattr(sys, "stdin", stdin)
    handlers = [signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGTERM)]
    assert main(["batch", "-", "-o", str(tmp_path / "out.jsonl")]) == 0
    assert not stdin.closed
    assert [signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGTERM)] == handlers
    assert (tmp_path / "out.jsonl").read_text() == support.candidates([lore_line(0)])
