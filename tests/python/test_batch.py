"""The public batch API: the same answers as line-by-line calls, numbered as the input is."""

from __future__ import annotations

import contextlib
import errno
import io
import json
import os
import resource
import signal
import subprocess
import sys
import threading
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import SimpleNamespace

import pytest

import quillforge
from quillforge import batch
from quillforge._lines import generate_candidates
from quillforge.batch import (
    Candidate,
    FileReport,
    LineError,
    SameFileError,
    generate_file,
    generate_lines,
    run_file,
)

from support import CONFIG, EMPTY_ARRAY, LORE, UNDER_ASAN, candidates, corpus, line_by_line, lore_line, lore_lines

UNENDED = '{"id":"x"\r'  # a lone "\r" at the very end is JSON white space, counted by the engine
ENGINE_ON_UNENDED = "serialization failed: EOF while parsing an object at line 1 column 10"


def _expected(line: str) -> str:
    return quillforge.generate_candidate_json(line, CONFIG)


@pytest.mark.parametrize("as_bytes", [False, True])
def test_lines_give_results_in_order_numbered_as_the_input(as_bytes: bool) -> None:
    good = [lore_line(i) for i in range(3)]
    # The fourth item, a line feed inside, is one lore still.
    lines = [good[0] + "\n", "  \t\r\n", '{"id":"x",\r\n', good[1].replace(",", ",\n", 1) + "\r\n", "\n",
             '{"id":"x"\n', good[2], UNENDED]  # fmt: skip
    items = [line.encode() for line in lines] if as_bytes else lines
    assert list(generate_lines(items, CONFIG, first_line=10)) == [
        Candidate(10, _expected(good[0])),
        # A line's end is not part of its text: the error is at the end of what precedes it.
        LineError(12, "serialization failed: EOF while parsing a value at line 1 column 10"),
        Candidate(13, _expected(good[1])),
        LineError(15, "serialization failed: EOF while parsing an object at line 1 column 9"),
        Candidate(16, _expected(good[2])),
        LineError(17, ENGINE_ON_UNENDED),
    ]


@pytest.mark.parametrize(
    "data",
    [b"\n" + UNENDED.encode(), b"\xff\n" + UNENDED.encode(), b"\r\n\n" + UNENDED.encode(), b"\n\n" + UNENDED.encode()],
)
def test_a_lone_carriage_return_at_the_end_of_a_file_is_text(data: bytes) -> None:
    # After a blank line, a CRLF line, bytes that are not UTF-8: "\r" always takes the line-by-line path.
    report = generate_file(io.BytesIO(data), io.BytesIO(), CONFIG)
    assert report.errors[-1] == LineError(data.count(b"\n") + 1, ENGINE_ON_UNENDED)


@pytest.mark.parametrize(
    ("lines", "expected"),
    [
        ("[]", r"not a single str: pass \[text\] for one lore, or io\.StringIO\(text\)"),
        (b"[]", r"not a single bytes: .* io\.BytesIO"),
        ([LORE, None], "^line 2: expected str or bytes, not NoneType$"),
    ],
)
def test_lines_of_the_wrong_type_are_refused_clearly(lines: object, expected: str) -> None:
    with pytest.raises(TypeError, match=expected):
        list(generate_lines(lines, CONFIG))  # type: ignore[arg-type]


def test_bytes_like_lines_are_bytes() -> None:
    results = list(generate_lines([bytearray(LORE.encode() + b"\r\n"), memoryview(UNENDED.encode())], CONFIG))
    assert results == [Candidate(1, _expected(LORE)), LineError(2, ENGINE_ON_UNENDED)]


def test_a_configuration_that_fails_every_line_is_refused_up_front(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match=r"^serialization failed: missing field `seed`"):
        generate_file(io.BytesIO(), tmp_path / "out.jsonl", '{"temperature":0.7,"max_candidates":3}')
    assert not (tmp_path / "out.jsonl").exists()


@pytest.mark.usefixtures("output_path")
def test_a_file_into_a_file(tmp_path: Path) -> None:
    lines = [lore_line(0), "[]", lore_line(1)]
    (tmp_path / "in.jsonl").write_text("\n".join(lines), encoding="utf-8")
    report = generate_file(tmp_path / "in.jsonl", tmp_path / "out.jsonl", CONFIG)
    assert (tmp_path / "out.jsonl").read_text(encoding="utf-8") == candidates(lines[::2])
    assert (report.lines, report.written, report.failed, report.last_line, report.stopped_early) == (3, 2, 1, 3, False)
    assert report.errors == [LineError(2, EMPTY_ARRAY)]
    # A run stopped at a failed line leaves the destination as it was, and keeps the candidates before it.
    (tmp_path / "out.jsonl").write_text("old\n")
    report = generate_file(tmp_path / "in.jsonl", tmp_path / "out.jsonl", CONFIG, fail_fast=True)
    assert (report.written, report.stopped_early) == (1, True)
    assert (tmp_path / "out.jsonl").read_text() == "old\n"
    assert (tmp_path / "out.jsonl.partial").read_text(encoding="utf-8") == candidates(lines[:1])
    out = io.BytesIO()
    seen: list[LineError] = []
    report = generate_file(io.BytesIO("\n".join(lines).encode()), out, CONFIG, fail_fast=True, on_error=seen.append)
    assert out.getvalue().decode() == candidates(lines[:1])
    assert (report.lines, report.written, report.failed, report.stopped_early, report.errors) == (2, 1, 1, True, [])
    assert [error.line for error in seen] == [2]


# Reads much shorter than lines, and a little longer: lines (and "\r\n", and
# characters) cut between reads; a file object (read into kept buffers, output
# written from them) and plain read() and write().
@pytest.mark.parametrize("read_size", [61, 4093])
@pytest.mark.parametrize("files", [True, False])
def test_lines_cut_between_reads_are_answered_whole(
    read_size: int, files: bool, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(batch, "CHUNK_BYTES", read_size)
    data = corpus(read_size, 300, long_bytes=3000)
    output, lines, written, failures = line_by_line(data, CONFIG)
    stopped, stopped_lines, *_ = generate_candidates(data, CONFIG, stop_at_failure=True)
    for jobs, fail_fast in [(1, False), (2, False), (2, True)]:
        # Else a source with read and readline only, as the command's input is, and a destination
        # that keeps what it is given, as it is given.
        stream, parts = io.BytesIO(data), []
        source = stream if files else SimpleNamespace(read=stream.read, readline=stream.readline)
        out = io.BytesIO() if files else SimpleNamespace(write=lambda part, kept=parts: kept.append(part) or len(part))
        report = run_file(source, out, CONFIG, FileReport(), jobs=jobs, fail_fast=fail_fast)  # type: ignore[arg-type]
        got = out.getvalue() if isinstance(out, io.BytesIO) else b"".join(parts)
        if fail_fast:
            assert (got, report.last_line, report.stopped_early) == (stopped, stopped_lines, True)
        else:
            assert (got, report.last_line, report.written) == (output, lines, written)
            assert report.errors == [LineError(*failure) for failure in failures]


# A file of a small lore and one of 40 MB, with memory enough to read them but
# not to answer their block: MemoryError, and no output file, not even a temporary one.
OUT_OF_MEMORY = """
import os, resource, sys
from quillforge.batch import generate_file
folder, config = sys.argv[1:3]
with open(os.path.join(folder, "in.jsonl"), "wb") as file:
    file.write(b'{"id":"l","title":"T","blocks":[["b","h"]]}\\n')
    file.write(b'{"id":"l","title":"T","blocks":[["b","' + b"h" * 40_000_000 + b'"]]}\\n')
size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + 100_000_000, resource.RLIM_INFINITY))
try:
    generate_file(os.path.join(folder, "in.jsonl"), os.path.join(folder, "out.jsonl"), config)
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif(UNDER_ASAN, reason="limits the address space (ASan needs more)")
def test_out_of_memory_writes_nothing(tmp_path: Path) -> None:
    completed = subprocess.run(
        [sys.executable, "-c", OUT_OF_MEMORY, str(tmp_path), CONFIG],
        capture_output=True,
        text=True,
        timeout=60,
        check=True,
    )
    assert completed.stdout == "MemoryError\n"
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl"]


@pytest.mark.parametrize("kind", ["the path", "a link to it", "a hard link", "a file appending to it", "run_file"])
def test_the_input_is_never_the_output(tmp_path: Path, kind: str) -> None:
    path = tmp_path / "in.jsonl"
    path.write_text(lore_line(0) + "\n", encoding="utf-8")
    (tmp_path / "link").symlink_to(path)
    os.link(path, tmp_path / "hard")
    with path.open("rb") as source, path.open("ab") as appending:
        calls = {
            "the path": lambda: generate_file(str(path), str(path), CONFIG),
            "a link to it": lambda: generate_file(path, tmp_path / "link", CONFIG),
            "a hard link": lambda: generate_file(tmp_path / "hard", path, CONFIG),
            "a file appending to it": lambda: generate_file(source, appending, CONFIG),
            "run_file": lambda: run_file(source, appending, CONFIG, FileReport()),
        }
        with pytest.raises(SameFileError, match=r"is also the input$"):
            calls[kind]()
    assert path.read_text(encoding="utf-8") == lore_line(0) + "\n"
    assert sorted(os.listdir(tmp_path)) == ["hard", "in.jsonl", "link"]


@pytest.mark.usefixtures("output_path")
def test_threads_writing_one_destination_all_succeed_and_the_last_commit_wins(tmp_path: Path) -> None:
    source, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    source.write_text("\n".join(lore_line(i) for i in range(20)) + "\n", encoding="utf-8")
    configs = [json.dumps({"temperature": 0.7, "max_candidates": 3, "seed": seed}) for seed in range(4)]
    with ThreadPoolExecutor(8) as pool:
        reports = list(pool.map(lambda i: generate_file(source, out, configs[i % 4]), range(400)))
    assert all(report.written == 20 for report in reports)
    wholes = set()
    for config in configs:
        generate_file(source, tmp_path / "whole", config)
        wholes.add((tmp_path / "whole").read_bytes())
    assert out.read_bytes() in wholes
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "out.jsonl", "whole"]


@pytest.mark.usefixtures("output_path")
def test_a_rerun_removes_the_temporaries_of_killed_writers(tmp_path: Path) -> None:
    dead = subprocess.Popen(["true"])
    dead.wait()
    left = f".out.jsonl.{dead.pid}.0f1e2d3c.tmp"  # a killed commit's name for the output
    alive = f".out.jsonl.{os.getppid()}.0f1e2d3c.tmp"  # a writer still at work
    for name in (left, alive, "out.jsonl.partial"):
        (tmp_path / name).write_text("x")
    (tmp_path / "in.jsonl").write_text(lore_line(0) + "\n", encoding="utf-8")
    generate_file(tmp_path / "in.jsonl", tmp_path / "out.jsonl", CONFIG)
    # The partial of an earlier run goes too: the output is now whole.
    assert sorted(os.listdir(tmp_path)) == sorted([alive, "in.jsonl", "out.jsonl"])


@pytest.mark.usefixtures("output_path")
@pytest.mark.parametrize(
    ("destination", "error"), [("missing/out.jsonl", FileNotFoundError), ("in.jsonl/out.jsonl", NotADirectoryError)]
)
def test_an_output_that_cannot_be_made_is_named_as_given(
    tmp_path: Path, destination: str, error: type[OSError]
) -> None:
    (tmp_path / "in.jsonl").write_text(lore_line(0) + "\n", encoding="utf-8")
    with pytest.raises(error) as raised:
        generate_file(tmp_path / "in.jsonl", tmp_path / destination, CONFIG)
    assert raised.value.filename == str(tmp_path / destination)  # not a temporary's name


def _failing(*args: object, **kwargs: object) -> None:
    raise OSError(errno.EIO, "input/output error")


# A write that fails at each stage of the output, by the real condition where one can be set here:
# the error reaches the caller, the destination keeps its old text and no temporary is left.
@pytest.mark.parametrize("stage", ["a full device", "a size limit", "fsync", "link", "replace"])
def test_a_write_that_fails_leaves_the_destination_as_it_was(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, output_path: str, stage: str
) -> None:
    if (output_path, stage) == ("named", "link"):
        pytest.skip("a named temporary is not linked")
    (tmp_path / "in.jsonl").write_text(lore_lines(200), encoding="utf-8")
    out = tmp_path / "out.jsonl"
    out.write_text("old\n")
    expected = errno.EIO
    if stage == "a full device":
        out, expected = Path("/dev/full"), errno.ENOSPC
    elif stage == "a size limit":  # the kernel refuses to grow the temporary past it (EFBIG)
        limits = resource.getrlimit(resource.RLIMIT_FSIZE)
        previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, limits[1]))
        expected = errno.EFBIG
    else:
        monkeypatch.setattr(os, stage, _failing)
    try:
        with pytest.raises(OSError) as raised:
            generate_file(tmp_path / "in.jsonl", out, CONFIG)
    finally:
        if stage == "a size limit":
            resource.setrlimit(resource.RLIMIT_FSIZE, limits)
            signal.signal(signal.SIGXFSZ, previous)
    assert raised.value.errno == expected
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "out.jsonl"]
    assert (tmp_path / "out.jsonl").read_text() == "old\n"


# Pending blocks are dropped, not answered, once the run ends early: the consumer
# stops, or the input raises an interrupt between blocks. Each line is a block here.
@pytest.mark.parametrize("end", ["the consumer stops", "an interrupt from the input"])
def test_a_run_that_ends_early_cancels_its_pending_blocks(monkeypatch: pytest.MonkeyPatch, end: str) -> None:
    answered: list[int] = []
    pulled = 0
    answer = quillforge.batch._answer
    shut = threading.Event()  # every block but the first is held until the run has ended

    def held(chunk: batch._Chunk, *args: object) -> object:
        if chunk.numbers != [1]:
            shut.wait(timeout=10)
        answered.append(1)
        return answer(chunk, *args)  # type: ignore[arg-type]

    def lines() -> Iterator[str]:
        nonlocal pulled
        for i in range(100):
            if end == "an interrupt from the input" and i == 5:  # once the first is out
                raise KeyboardInterrupt
            pulled += 1
            yield lore_line(i)

    class Shut(batch._Workers):
        def shutdown(self) -> None:
            super().shutdown()
            shut.set()

    monkeypatch.setattr(batch, "_Workers", Shut)
    monkeypatch.setattr(quillforge.batch, "CHUNK_BYTES", 1)
    monkeypatch.setattr(quillforge.batch, "_answer", held)
    pools = _recorded_pools(monkeypatch)
    results = generate_lines(lines(), CONFIG, jobs=2)
    if end == "the consumer stops":
        assert next(results) == Candidate(1, _expected(lore_line(0)))
        results.close()  # type: ignore[attr-defined]
    else:
        with pytest.raises(KeyboardInterrupt):
            list(results)
    # The two blocks in hand when it ended are finished, not cut off; those waiting are dropped.
    assert all(pool.ended.acquire(timeout=5) for pool in pools for _ in range(pool.started))
    assert 0 < len(answered) <= 3 < pulled, (len(answered), pulled)


def _recorded_pools(monkeypatch: pytest.MonkeyPatch) -> list[batch._Workers]:
    pools: list[batch._Workers] = []

    class Recorded(batch._Workers):
        def __init__(self, count: int) -> None:
            super().__init__(count)
            pools.append(self)

    monkeypatch.setattr(batch, "_Workers", Recorded)
    return pools


@pytest.mark.parametrize("how", ["refused", "never runs"])
@pytest.mark.parametrize("starts", [0, 1, 3])  # the writer's thread first, then the workers'
def test_threads_that_cannot_start_leave_the_run_whole(
    monkeypatch: pytest.MonkeyPatch, tmp_path: Path, how: str, starts: int
) -> None:
    # The interpreter may refuse a thread, or start one whose first Python call fails (no memory for its
    # frame) with no word to its starter: either way the caller does the work, and nothing waits on it.
    real, calls = batch._thread.start_new_thread, []

    def start(function: object, args: tuple[object, ...]) -> int:
        calls.append(function)
        if len(calls) <= starts:
            return real(function, args)
        if how == "refused":
            raise RuntimeError("can't start new thread")
        return 0

    monkeypatch.setattr(batch, "_thread", SimpleNamespace(start_new_thread=start))
    monkeypatch.setattr(batch, "CHUNK_BYTES", 64)
    pools = _recorded_pools(monkeypatch)
    lines = [lore_line(i) for i in range(40)]
    (tmp_path / "in.jsonl").write_text("\n".join(lines), encoding="utf-8")
    reports: list[FileReport] = []
    run = threading.Thread(  # a hang fails the test rather than the whole run
        target=lambda: reports.append(generate_file(tmp_path / "in.jsonl", tmp_path / "out.jsonl", CONFIG, jobs=4)),
        daemon=True,
    )
    run.start()
    run.join(timeout=30)
    assert not run.is_alive() and len(reports) == 1
    report = reports[0]
    assert (tmp_path / "out.jsonl").read_text(encoding="utf-8") == candidates(lines)
    assert (report.lines, report.written, report.last_line) == (40, 40, 40)
    # Those that started real threads end: the ones told to stop are not left waiting for work.
    real_workers = max(starts - 1, 0) if how == "never runs" else pools[0].started
    assert all(pools[0].ended.acquire(timeout=5) for _ in range(real_workers))


class _Scarce(MemoryError):
    pass


@pytest.mark.parametrize(
    ("error", "shown"),
    [(MemoryError(), False), (_Scarce(), False), (ValueError("x"), True)]
    # Called by hand with what the interpreter never gives: passed on whole, never read as its report.
    + [(report, True) for report in [42, (), (MemoryError(),)]],
)
def test_the_commands_unraisable_hook_drops_only_memory_errors(
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str], error: object, shown: bool
) -> None:
    if not isinstance(error, BaseException):
        passed: list[object] = []
        monkeypatch.setattr(sys, "__unraisablehook__", passed.append)
        assert quillforge._lines.unraisable_hook(error) is None and passed == [error]
        for failure in [MemoryError(), ValueError("its own fault")]:  # no memory to show it: dropped; else raised

            def fallback(_: object, failure: BaseException = failure) -> None:
                raise failure

            monkeypatch.setattr(sys, "__unraisablehook__", fallback)
            with pytest.raises(ValueError) if isinstance(failure, ValueError) else contextlib.nullcontext():
                assert quillforge._lines.unraisable_hook(error) is None
        monkeypatch.delattr(sys, "__unraisablehook__")  # none to pass it to: dropped
        assert quillforge._lines.unraisable_hook(error) is None
        return

    class Dying:
        def __del__(self) -> None:
            raise error

    monkeypatch.setattr(sys, "unraisablehook", quillforge._lines.unraisable_hook)
    Dying()
    err = capsys.readouterr().err
    if shown:
        assert err.startswith("Exception ignored") and err.endswith("ValueError: x\n"), err
    else:
        assert err == ""
