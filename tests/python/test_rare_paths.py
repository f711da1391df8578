"""The package's rarer paths, each reached by its real condition: a stream that is
not a file, a standard error or output that fails or is a terminal, a folder
that goes away or cannot be removed (a late task's write made deterministic),
too many open files, a worker on another version, a watchdog that is fed data."""

from __future__ import annotations

import ast
import errno
import functools
import io
import os
import pty
import resource
import subprocess
import sys
import tempfile
import threading
import time
import types
from collections.abc import Callable
from pathlib import Path

import pytest

from quillforge import _console, _lines, _native, _output, _parts, _progress, _stderr, _terminal, batch
from quillforge._native import generate_candidate_json
from quillforge.cli import _inputs, _outputs

from support import CONFIG, lore_line, run_cli


def _in_thread(call: Callable[[], object]) -> object:
    out = []
    thread = threading.Thread(target=lambda: out.append(call()))
    thread.start()
    thread.join()
    return out[0]


@pytest.mark.parametrize(
    ("error", "memory"),
    [(MemoryError(), True), (OSError(errno.ENOMEM, "Cannot allocate memory"), True), (OSError(errno.EIO, "I/O"), False),
     (ImportError("_native.so: failed to map segment from shared object"), True), (ImportError("No module"), False),
     (ImportError("_lines.so: cannot allocate address lookup data: Cannot allocate memory"), True),
     (RuntimeError("can't start new thread"), True), (RuntimeError("can't start the engine"), False),
     (ValueError("can't start new thread"), False)],
)  # fmt: skip
def test_out_of_memory_is_told_from_other_errors(error: BaseException, memory: bool) -> None:
    assert _console.out_of_memory(error) is memory


def test_signal_handlers_are_left_alone_outside_the_main_thread() -> None:
    before = _console.saved_stop_handlers()
    assert _in_thread(_console.saved_stop_handlers) == []
    _in_thread(_console.handle_stop_signals)
    _in_thread(_console.ignore_stop_signals)
    _console.restore_handlers([(sig, None) for sig, _ in before])  # set outside Python: kept
    assert _console.saved_stop_handlers() == before


@pytest.mark.parametrize("kind", ["none", "not a file", "closed"])
def test_standard_error_that_is_no_file(monkeypatch: pytest.MonkeyPatch, kind: str) -> None:
    stream = None if kind == "none" else io.StringIO()
    if kind == "closed":
        stream.close()
    monkeypatch.setattr(sys, "stderr", stream)
    _stderr.write("a line\n")  # never raises
    _outputs.say("a message")
    assert _stderr.is_terminal() is False
    assert kind != "not a file" or stream.getvalue() == "a line\nquillforge: a message\n"


def _pty() -> tuple[int, int]:
    controller, terminal = pty.openpty()
    if not os.isatty(terminal):
        pytest.skip("here a pseudo-terminal is not a terminal")
    return controller, terminal


def test_messages_and_json_bound_for_a_terminal_show_controls_escaped(monkeypatch: pytest.MonkeyPatch) -> None:
    controller, terminal = _pty()
    with open(terminal, "w", closefd=True) as text, open(os.dup(terminal), "wb") as binary:
        monkeypatch.setattr(sys, "stderr", text)
        _outputs.say("title \x1b]0;x\x07 here")
        shown = _terminal.for_terminal(binary)
        shown.write(b'{"\x7f\xc2\x85"}\n')
        shown.flush()
    drawn = b""
    while b"}" not in drawn and (chunk := os.read(controller, 4096)):
        drawn += chunk
    os.close(controller)
    assert drawn == b'quillforge: title \\x1b]0;x\\x07 here\r\n{"\\u007f\\u0085"}\r\n'
    assert _terminal.for_terminal(binary) is binary  # closed: no terminal


def test_standard_output_that_is_not_the_processes_own(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(sys, "stdout", None)
    with pytest.raises(_outputs.Failure, match="standard output is closed"):
        _outputs.stdout()
    replaced = io.TextIOWrapper(io.BytesIO())
    monkeypatch.setattr(sys, "stdout", replaced)
    assert _outputs.stdout() is replaced.buffer
    monkeypatch.setattr(sys, "__stdout__", replaced)  # its own, but with no descriptor
    assert _outputs.stdout() is replaced.buffer
    _outputs.silence_stdout()  # nothing to point at the null device: no error


@pytest.mark.parametrize(
    ("raised", "expected"),
    [(BrokenPipeError(errno.EPIPE, "Broken pipe"), BrokenPipeError), (OSError(errno.EIO, "I/O"), _outputs.Failure)],
)
def test_a_broken_pipe_passes_a_write_failure_ends_the_command(raised: OSError, expected: type) -> None:
    with pytest.raises(expected) as caught, _outputs.writing("output"):
        raise raised
    if expected is _outputs.Failure:
        assert (str(caught.value), caught.value.code) == ("cannot write output: I/O", _outputs.EXIT_OUTPUT)


def test_help_into_a_closed_pipe_exits_as_if_by_sigpipe() -> None:
    reader, writer = os.pipe()
    os.close(reader)
    try:
        buffered = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
        command = [sys.executable, "-m", "quillforge", "--help"]
        completed = subprocess.run(command, stdout=writer, env=buffered, timeout=60)
    finally:
        os.close(writer)
    assert completed.returncode == _outputs.EXIT_BROKEN_PIPE


@pytest.mark.parametrize("method", ["read", "read1", "readline", "readinto"])
def test_an_input_reads_any_stream_and_names_its_failures(method: str) -> None:
    data = b"\xef\xbb\xbf{}\nrest\n"
    read_only = types.SimpleNamespace(read=io.BytesIO(data).read)  # a caller's stream with only read()
    for stream in [io.BufferedReader(io.BytesIO(data)), *[read_only] * (method != "readline")]:
        source = _inputs.Input(stream, "in.jsonl")  # type: ignore[arg-type]
        if method == "readinto":
            buffer = bytearray(5)
            assert (source.readinto(buffer), bytes(buffer)) == (5, data[:5])
        else:
            assert getattr(source, method)(5) == data[:5]
        assert source.starts_with_bom
    with open("/proc/self/mem", "rb") as memory:  # each read fails
        failing = _inputs.Input(memory, "in.jsonl")
        with pytest.raises(_outputs.Failure, match=r"^in\.jsonl: cannot read \(Input/output error\)$"):
            getattr(failing, method)(*[bytearray(4)] if method == "readinto" else [])


def test_lines_that_cannot_be_one_line_of_a_block() -> None:
    class Text(str):
        pass

    got = list(batch.generate_lines([b"\xff\n{}", Text(lore_line(0)), b"", "\ud800"], CONFIG))
    assert got == [
        batch.LineError(1, "not valid UTF-8 (byte 0xff at offset 0)"),
        batch.Candidate(2, generate_candidate_json(lore_line(0), CONFIG)),
        batch.LineError(4, got[2].message),
    ]
    assert "surrogate" in got[2].message
    report = batch.FileReport(lines=2, errors=[got[0]])
    assert report == batch.FileReport(lines=2, errors=[got[0]]) and report != batch.FileReport(lines=2)
    assert report != "FileReport" and repr(report).startswith("FileReport(lines=2, written=0,")


@pytest.mark.parametrize(
    ("elapsed", "total", "read", "dumb", "shown"),
    [
        (10.2, 1000, 500, False, "[##########          ]  50.0%  3 lines, 1 failed  0 lines/s  0:10 left"),
        (3600.2, 1000, 500, True, "[##########          ]  50.0%  3 lines, 1 failed  0 lines/s  1:00:00 left"),
        (10.2, None, 2_500_000, True, "2.5 MB  3 lines, 1 failed  0 lines/s"),
        (10.2, 1000, 1500, True, "[####################] 100.0%  3 lines, 1 failed  0 lines/s"),  # it grew
    ],
)
def test_progress_line_figures_and_clearing(
    elapsed: float, total: int | None, read: int, dumb: bool, shown: str
) -> None:
    text = "in\\x1b.jsonl  " + shown
    for width in (200, len(text) + 1):  # the second: the name just fits, the last column left free
        drawn: list[str] = []
        line = _progress.ProgressLine(drawn.append, "in\x1b.jsonl", total, width=lambda w=width: w, dumb=dumb)
        line.started = time.monotonic() - elapsed  # a run that began that long ago
        line.update(read, batch.FileReport(lines=3, failed=1))
        line.clear()
        line.clear()  # nothing shown: nothing written
        cleared = "\r" + " " * len(text) + "\r" if dumb else "\r\x1b[K"
        assert drawn == ["\r" + ("" if dumb else "\x1b[K") + text, cleared]


def test_an_output_named_by_descriptor_or_through_a_link_to_a_deleted_file(tmp_path: Path) -> None:
    with tempfile.TemporaryFile(dir=tmp_path) as hidden:
        assert _output.regular_file(hidden.fileno()) == _output.regular_file(hidden)
        (tmp_path / "out").symlink_to(f"/proc/self/fd/{hidden.fileno()}")
        with _output.AtomicOutput(str(tmp_path / "out")) as output:
            output.stream.write(b"x\n")
            output.commit()
        hidden.seek(0)
        assert hidden.read() == b"x\n"  # written in place: it has no name to be replaced under
    assert sorted(os.listdir(tmp_path)) == ["out"]


def test_a_temporary_name_already_taken_is_passed_over(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delenv("QUILLFORGE_NO_O_TMPFILE", raising=False)  # names are drawn for the unnamed file only
    taken = tmp_path / f".out.{os.getpid()}.00000000.tmp"
    taken.write_bytes(b"not ours")
    draws = iter([b"\0" * 4, b"\1" * 4])
    monkeypatch.setattr(os, "urandom", lambda size: next(draws, b"\2" * size))
    with _output.AtomicOutput(str(tmp_path / "out")) as output:
        output.stream.write(b"x\n")
        output.commit()
    assert (tmp_path / "out").read_bytes() == b"x\n" and taken.read_bytes() == b"not ours"


def test_a_commit_or_a_keep_cut_short(tmp_path: Path, output_path: str) -> None:
    folder = tmp_path / "f"
    folder.mkdir()
    with _output.AtomicOutput(str(folder / "out")) as output:
        output.stream.write(b"x\n")
        (folder / "out").mkdir()  # made a folder by someone else meanwhile
        (folder / "out" / "in it").touch()
        with pytest.raises(IsADirectoryError):
            output.commit()
    assert not output.done and os.listdir(folder) == ["out"]  # the temporary went
    with _output.AtomicOutput(str(tmp_path / "out")) as output:
        output.stream.write(b"x\n")
        output.commit()
        assert output.keep_partial() is None and output.done
    with _output.AtomicOutput(str(folder / "other")) as output:
        output.stream.write(b"x\n")
        folder.rename(tmp_path / "moved")
        assert output.keep_partial() is None  # nowhere to name it
        with pytest.raises(FileNotFoundError):
            output.commit()
    assert not output.done and "other" not in os.listdir(tmp_path / "moved")


@pytest.mark.usefixtures("output_path")
def test_keep_partial_when_there_is_nothing_to_keep(tmp_path: Path) -> None:
    assert _output.AtomicOutput(str(tmp_path / "out")).keep_partial() is None  # never opened
    with _output.AtomicOutput(str(tmp_path / "out")) as output:
        assert output.keep_partial() is None  # nothing written
    controller, terminal = _pty()
    with _output.AtomicOutput(os.ttyname(terminal)) as output:  # a device: written directly
        assert output.keep_partial() is None
    os.close(terminal)
    os.close(controller)
    assert os.listdir(tmp_path) == []


def test_a_batch_that_fails_to_read_keeps_nothing_written(tmp_path: Path) -> None:
    completed = run_cli("batch", "/proc/self/mem", "-o", str(tmp_path / "out"))  # the first read fails
    assert (completed.returncode, completed.stderr) == (
        2,
        "quillforge: /proc/self/mem: cannot read (Input/output error)\n",
    )
    completed = run_cli("batch", "missing", "also-missing", "-o", str(tmp_path / "o"), "--fail-fast")
    assert (completed.returncode, completed.stderr) == (2, "quillforge: missing: no such file\n")
    assert os.listdir(tmp_path) == ["o"] and os.listdir(tmp_path / "o") == []


def _racing_rmdir(monkeypatch: pytest.MonkeyPatch, target: Path, times: int) -> None:
    """Each of the first `times` removals of `target` meets a file that a late task just wrote."""
    real = os.rmdir
    left = [times]

    def rmdir(path: str, *args: object, **kwargs: object) -> None:
        if os.fspath(path) == str(target) and left[0] > 0:
            left[0] -= 1
            (target / f"late-{left[0]}").touch()
        real(path, *args, **kwargs)  # type: ignore[arg-type]

    monkeypatch.setattr(os, "rmdir", rmdir)
    monkeypatch.setattr(_parts.time, "sleep", lambda seconds: None)


@pytest.mark.parametrize(("late_tasks", "removed"), [(1, True), (1000, False)])
def test_a_folder_written_into_while_removed(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, late_tasks: int, removed: bool
) -> None:
    target = tmp_path / "parts"
    target.mkdir()
    _racing_rmdir(monkeypatch, target, late_tasks)
    _parts.remove(str(target))  # retries, and gives up without raising
    assert target.exists() is not removed


def test_stale_parts_folders_taken_only_when_unlocked(tmp_path: Path) -> None:
    _parts.remove_stale(str(tmp_path / "missing"))
    (tmp_path / "a file").touch()
    _parts.remove_stale(str(tmp_path / "a file"))
    for name in ["other", ".quillforge-a.parts", ".quillforge-b.parts", ".quillforge-c.parts/.lock"]:
        (tmp_path / name).mkdir(parents=True)
    (tmp_path / ".quillforge-a.parts").rmdir()
    (tmp_path / ".quillforge-a.parts").touch()  # a file of that name: not a run's
    _parts.remove_stale(str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == [".quillforge-a.parts", ".quillforge-c.parts", "a file", "other"]


@pytest.mark.parametrize("cause", ["no interpreter to start", "too many open files"])
def test_a_run_goes_on_without_a_watchdog(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, cause: str) -> None:
    limits = resource.getrlimit(resource.RLIMIT_NOFILE)
    if cause == "no interpreter to start":
        monkeypatch.setattr(sys, "executable", "")
    else:
        free = os.dup(0)
        os.close(free)
        resource.setrlimit(resource.RLIMIT_NOFILE, (free + 1, limits[1]))  # room for the lock, not for a pipe
    try:
        with _parts.PartsFolder(str(tmp_path)) as path:
            resource.setrlimit(resource.RLIMIT_NOFILE, limits)
            assert os.path.isdir(path)
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, limits)
    assert os.listdir(tmp_path) == []


def test_the_watchdog_removes_the_folder_at_the_end_of_its_input_not_before(tmp_path: Path) -> None:
    watched = tmp_path / ".quillforge-x.parts"
    watched.mkdir()
    watchdog = subprocess.Popen([sys.executable, "-m", "quillforge._parts", str(watched)], stdin=subprocess.PIPE)
    assert watchdog.stdin is not None
    watchdog.stdin.write(b"anything" * 1000)
    watchdog.stdin.flush()
    time.sleep(0.3)
    assert watched.is_dir() and watchdog.poll() is None
    watchdog.stdin.close()
    assert watchdog.wait(timeout=60) == 0 and not watched.exists()


@pytest.fixture
def dask_module() -> types.ModuleType:
    pytest.importorskip("distributed")
    from quillforge import dask

    return dask


def test_a_shard_refused_or_failed(dask_module: types.ModuleType, tmp_path: Path) -> None:
    run_shard, versions = dask_module._run_shard, dask_module._versions()
    source = tmp_path / "in.jsonl"
    source.write_text(lore_line(0) + "\n", encoding="utf-8")
    size = source.stat().st_size
    (tmp_path / "part").mkdir()
    (tmp_path / "part" / "x").touch()
    rows = [
        ((0, size, ("0.0", None)), RuntimeError, "quillforge differs: this worker runs"),
        ((0, size + 1, versions), OSError, "shorter than when the run started"),
        ((0, size, versions), IsADirectoryError, "part"),  # the part cannot be put in place
    ]
    for (start, end, given), error, message in rows:
        with pytest.raises(error, match=message):
            run_shard(str(source), start, end, CONFIG, str(tmp_path / "part"), given)
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "part"]  # no temporary left
    with pytest.raises(OSError, match="not a regular file"):
        dask_module._shard_ranges("/dev/zero", 10)  # read, never written
    with pytest.raises(ValueError, match="shard_bytes must be at least 1"):
        dask_module.generate_files([str(source)], CONFIG, str(tmp_path), shard_bytes=0)


@pytest.mark.parametrize(
    ("test", "main"),
    [('__name__ == "__main__"', True), ('"__main__" == __name__', True), ('__name__ != "__main__"', False),
     ('__name__ == "main"', False), ('0 < __name__ == "__main__"', False), ("__name__", False)],
)  # fmt: skip
def test_the_main_guard_is_recognised(dask_module: types.ModuleType, test: str, main: bool) -> None:
    assert dask_module._is_main_test(ast.parse(test, mode="eval").body) is main


def test_no_script_to_guard(dask_module: types.ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
    import dask

    # Each returns rather than raise RuntimeError.
    assert _in_thread(dask_module._refuse_unguarded_main) is None  # not called from the script's top level
    with dask.config.set({"distributed.worker.multiprocessing-method": "fork"}):
        assert dask_module._refuse_unguarded_main() is None  # forked workers import nothing again
    monkeypatch.setitem(sys.modules, "__main__", types.ModuleType("__main__"))  # an interactive session
    assert dask_module._refuse_unguarded_main() is None


class _Unprintable(str):
    def __str__(self) -> str:
        raise RuntimeError("no text")


def test_a_keyword_that_cannot_be_shown_is_named_by_its_type(monkeypatch: pytest.MonkeyPatch) -> None:
    reported: list[object] = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(
        TypeError,
        match=r"^create_block_json\(\) got an unexpected keyword argument '<unprintable _Unprintable object>'$",
    ):
        _native.create_block_json("b", **{_Unprintable("x"): "y"})
    assert [type(report.exc_value) for report in reported] == [RuntimeError]  # type: ignore[attr-defined]


_EMPTY_LORE = b'{"id": "x", "title": "t", "blocks": []}\n'  # a failed rule: no column


# Arguments made before the interpreter's allocator is set to fail: only the call runs under it.
_NO_MEMORY_CALLS = [
    (_native.generate_candidate_json, lore_line(3), CONFIG),
    (_native.generate_candidate_json, "{", CONFIG),
    (_native.generate_candidate_json, lore_line(0), '{"model": 1}'),
    (_native.create_block_json, "b\u00e9", "x\U0001f600"),
    (_native.create_block_json, "", "x"),
    (_native.render_lore_summary_json, lore_line(5)),
    (_native.schema_bundle_json,),
    (_native.generate_candidate_json, 1, CONFIG),  # its type's name made for the message
    (_native.generate_candidate_json, "\ud800", CONFIG),
    (functools.partial(_native.create_block_json, **{"\udc80": "x"}), "b"),  # a name shown with U+FFFD
    (_native.create_block_json, "b", "x" * 5000),  # written into a str, then cut to length
    (_native.create_block_json, "b", "\u00e9\U0001f600" * 2000),  # large, not ASCII
    (_native.generate_candidate_json, lore_line(4).replace("T4", "\u00e9" * 5000), CONFIG),
    (_native.generate_candidate_json, " " * 5000 + "{", CONFIG),  # an error where the result was to be written
    (functools.partial(_native.create_block_json, **{_Unprintable("x"): "y"}), "b"),
    (_lines.generate_candidates, lore_line(1).encode() + b"\n\xff\n{\n\n", CONFIG),
    (
        functools.partial(_lines.generate_candidates, first_line=7, into=bytearray(100)),
        _EMPTY_LORE + lore_line(2).encode(),
        CONFIG,
    ),
    (
        functools.partial(_lines.generate_candidates, into=bytearray(4096)),
        f"{lore_line(2)}\n{lore_line(5)}".encode(),
        CONFIG,
    ),
    (
        functools.partial(_lines.generate_candidates, first_line=10**6),
        b" " * 300 + b"{\n",
        CONFIG,
    ),  # numbers not cached
    (_native.create_block_json, "b", '"' * 354 + "x" * 4646),  # exactly as long as the str lent for it
    (_native.render_lore_summary_json, lore_line(4).replace("T4", "\u00e9" * 600)),  # a str built from 1,236 bytes
]


@pytest.mark.parametrize(("function", "args"), [(call[0], call[1:]) for call in _NO_MEMORY_CALLS])
def test_each_allocation_failing_in_turn_gives_memory_error_or_the_answer(
    function: Callable[..., object], args: tuple[object, ...], monkeypatch: pytest.MonkeyPatch
) -> None:
    testcapi = pytest.importorskip("_testcapi")
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)  # pytest's would allocate

    def outcome(slot: list[object]) -> object:
        return slot[0] if slot[1] is None else (type(slot[1]), str(slot[1]))

    answer: list[object] = [None, None]
    try:
        answer[0] = function(*args)
    except (ValueError, TypeError) as error:
        answer[1] = error
    for first in range(100):  # more than any of these calls allocates through the interpreter
        slot: list[object] = [None, None]  # filled without allocating while allocations fail
        testcapi.set_nomemory(first, 0)
        try:
            slot[0] = function(*args)
        except (MemoryError, ValueError, TypeError) as error:
            slot[1] = error
        finally:
            testcapi.remove_mem_hooks()
        assert outcome(slot) in (outcome(answer), (MemoryError, "")), first
    assert outcome(slot) == outcome(answer)  # the last run had every allocation it asked for


# Each module is made once per process: a new interpreter calls each one's
# initialiser, with allocations failing from the first, then the second, and so
# on until it returns the module. Called straight (ctypes), not imported: the
# import system's own bookkeeping after a module is made does not survive a
# failed allocation (it crashes in CPython 3.13.0).
_START_UNDER_NO_MEMORY = """
import ctypes, _testcapi
from importlib.machinery import PathFinder
folders = PathFinder.find_spec("quillforge").submodule_search_locations  # not run: it imports _native
for name in ("_native", "_lines"):
    init = getattr(ctypes.PyDLL(PathFinder.find_spec("quillforge." + name, folders).origin), "PyInit_" + name)
    init.restype = ctypes.py_object
    failed = 0
    while True:
        _testcapi.set_nomemory(failed, 0)
        try:
            module = init()
        except MemoryError:
            failed += 1
            continue
        finally:
            _testcapi.remove_mem_hooks()
        break
    print(name, failed > 0, module.__all__, hasattr(module, "LineFailure"))
"""


def test_each_allocation_failing_in_turn_while_the_modules_are_made() -> None:
    pytest.importorskip("_testcapi")
    completed = subprocess.run(
        [sys.executable, "-c", _START_UNDER_NO_MEMORY], capture_output=True, text=True, timeout=120
    )
    assert (completed.returncode, completed.stderr) == (0, "")
    assert completed.stdout.splitlines() == [
        f"_native True {_native.__all__} False",
        "_lines True ['generate_candidates'] True",
    ]
