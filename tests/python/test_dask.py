"""generate_files on a real two-process Dask cluster writes what `quillforge batch` writes."""

from __future__ import annotations

import contextlib
import fcntl
import os
import random
import re
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")

from quillforge import version  # noqa: E402
from quillforge.batch import generate_file  # noqa: E402
from quillforge.dask import Summary, generate_files  # noqa: E402

from support import CONFIG, candidates, children, lore_line, processes_left, run_cli  # noqa: E402

# One of each kind of line the command must treat alike: good ones (one at the
# end of the file with no line end), bad JSON, a lore that fails validation,
# bytes that are not UTF-8, blank lines, "\r\n" ends and a lone "\r" inside a line.
_MIXED = [lore_line(1).encode() + b"\r\n", b'{"id":"x",\r\n', b"\n", b" \t \r\n",
          b'{"id":" ","title":"t","blocks":[]}\n', b'{"id":"\xff","title":"t","blocks":[]}\n',
          lore_line(2).encode() + b"\r \n",
          b'{"id":"a\rb","title":"t","blocks":[]}\n', lore_line(3).encode() + b"\n"]  # fmt: skip


# The inputs, and what the command writes for them: outputs and standard error.
BatchRun = tuple[list[Path], dict[str, bytes], list[str]]


def _write_inputs(folder: Path) -> list[Path]:
    folder.mkdir()
    inputs = {
        "many.jsonl": b"".join(lore_line(i).encode() + b"\n" for i in range(150)),
        "mixed.jsonl": b"".join(_MIXED * 12) + lore_line(4).encode(),
        "empty.jsonl": b"",
        "one.jsonl": lore_line(5).encode(),
    }
    for name, data in inputs.items():
        (folder / name).write_bytes(data)
    return [folder / name for name in inputs]


def _stderr_of(summary: Summary) -> list[str]:
    """What the command says on standard error about the same run."""
    said = []
    for done in summary.inputs:
        said += [f"quillforge: {done.source} line {error.line}: {error.message}" for error in done.errors]
        said.append(
            f"quillforge: {done.source}: {done.lines:,} lines, {done.written:,} written, {done.failed:,} failed"
        )
    return said


def _files(folder: Path) -> dict[str, bytes]:
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir())}


def _local_cluster() -> distributed.LocalCluster:
    return distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},  # its HTTP server too on loopback, at a free port
    )


@pytest.fixture(scope="module")
def client() -> Iterator[distributed.Client]:
    before = children()
    with _local_cluster() as cluster, distributed.Client(cluster, set_as_default=False) as connected:
        yield connected
    assert not processes_left(before, 10)


@pytest.fixture(scope="module")
def batch_run(tmp_path_factory: pytest.TempPathFactory) -> BatchRun:
    root = tmp_path_factory.mktemp("batch")
    inputs = _write_inputs(root / "in")
    result = run_cli("batch", *map(str, inputs), "-o", str(root / "cli"))
    assert (result.returncode, result.stdout) == (1, "")
    return inputs, _files(root / "cli"), result.stderr.splitlines()


def _lines_in(path: Path) -> int:
    data = path.read_bytes()
    return data.count(b"\n") + (not data.endswith(b"\n") and bool(data))


# From one line per task to one task per file (an empty file needs none); 1000
# bytes puts shard ends inside lines, after a lone "\r" and among blank lines.
@pytest.mark.parametrize("shard_bytes", [1, 1000, 1 << 20])
def test_outputs_and_summary_are_those_of_the_command(
    client: distributed.Client, batch_run: BatchRun, tmp_path: Path, shard_bytes: int
) -> None:
    inputs, expected_files, expected_stderr = batch_run
    with distributed.get_task_stream(client) as tasks:
        summary = generate_files(inputs, CONFIG, tmp_path / "out", client=client, shard_bytes=shard_bytes)
    assert _files(tmp_path / "out") == expected_files  # no part or temporary file beside them
    assert _stderr_of(summary) == expected_stderr
    lines, files = sum(map(_lines_in, inputs)), sum(path.stat().st_size > 0 for path in inputs)
    expected_tasks = {1: range(lines, lines + 1), 1000: range(files + 1, lines), 1 << 20: range(files, files + 1)}
    assert len(tasks.data) in expected_tasks[shard_bytes]


def test_the_current_client_is_used_and_a_glob_names_the_inputs(
    client: distributed.Client, batch_run: BatchRun, tmp_path: Path
) -> None:
    inputs, expected_files, _ = batch_run
    with client.as_current(), distributed.get_task_stream(client) as tasks:
        summary = generate_files(str(inputs[0].parent / "*.jsonl"), CONFIG, tmp_path / "out", shard_bytes=4096)
    assert _files(tmp_path / "out") == expected_files
    assert [Path(done.source).name for done in summary.inputs] == sorted(expected_files)
    assert len(tasks.data) > len(inputs)  # run here, in shards, not on a cluster of its own


def test_without_a_client_a_local_cluster_is_started_and_closed(batch_run: BatchRun, tmp_path: Path) -> None:
    inputs, expected_files, _ = batch_run
    before = children()
    generate_files(inputs, CONFIG, tmp_path / "out")
    assert _files(tmp_path / "out") == expected_files
    assert not processes_left(before, 10)


# fmt: off
REFUSALS = [  # (inputs under the test's folder, config, output folder, exception, message)
    ("*.none", CONFIG, "out", FileNotFoundError, r"\*\.none: no file matches"),
    ("missing.jsonl", CONFIG, "out", FileNotFoundError, "missing.jsonl"),
    ("a/x.jsonl b/x.jsonl", CONFIG, "out", ValueError, "two inputs have the same file name"),
    ("a/x.jsonl", CONFIG, "a", ValueError, "is also the input"),
    ("a/x.jsonl", '{"temperature":3,"max_candidates":3,"seed":1}', "out", ValueError, "^validation failed: LabConfig"),
    ("a/x.jsonl", "{", "out", ValueError, "^serialization failed: EOF while parsing an object"),
]
# fmt: on


@pytest.mark.parametrize(("inputs", "config", "output", "error", "message"), REFUSALS)
def test_refused_up_front_with_nothing_written(
    tmp_path: Path, inputs: str, config: str, output: str, error: type[Exception], message: str
) -> None:
    for name in ("a/x.jsonl", "b/x.jsonl"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text(lore_line(0) + "\n", encoding="utf-8")
    before = sorted(tmp_path.rglob("*"))
    paths = [str(tmp_path / path) for path in inputs.split()]
    with pytest.raises(error, match=message):
        generate_files(paths[0] if len(paths) == 1 else paths, config, tmp_path / output)
    assert sorted(tmp_path.rglob("*")) == before
    assert (tmp_path / "a/x.jsonl").read_text(encoding="utf-8") == lore_line(0) + "\n"


def test_a_worker_killed_mid_run_loses_and_repeats_no_line(tmp_path: Path) -> None:
    source = tmp_path / "big.jsonl"
    source.write_text("".join(lore_line(i) + "\n" for i in range(30_000)), encoding="utf-8")
    generate_file(source, tmp_path / "expected.jsonl", CONFIG)
    before = children()
    with (
        _local_cluster() as cluster,
        distributed.Client(cluster, set_as_default=False) as connected,
        ThreadPoolExecutor(1) as driver,
    ):
        victim, pid = sorted(connected.run(os.getpid).items())[0]
        run = driver.submit(generate_files, [source], CONFIG, tmp_path / "out", client=connected, shard_bytes=64 << 10)
        deadline = time.monotonic() + 60
        while not [key for key in connected.processing().get(victim, []) if "quillforge-shard" in str(key)]:
            assert time.monotonic() < deadline and not run.done(), "the worker never got a shard"
            time.sleep(0.005)
        os.kill(pid, signal.SIGKILL)
        assert not run.done()  # killed while shards were still to run
        summary = run.result(timeout=120)
    assert (tmp_path / "out" / "big.jsonl").read_bytes() == (tmp_path / "expected.jsonl").read_bytes()
    assert (summary.lines, summary.written, summary.failed) == (30_000, 30_000, 0)
    assert os.listdir(tmp_path / "out") == ["big.jsonl"]
    assert not processes_left(before, 10)


@pytest.mark.parametrize("as_given", [str, Path])
def test_an_existing_name_with_glob_characters_is_that_file(
    client: distributed.Client, tmp_path: Path, as_given: type
) -> None:
    (tmp_path / "data[1].jsonl").write_text(lore_line(1) + "\n", encoding="utf-8")
    (tmp_path / "data1.jsonl").write_text(lore_line(2) + "\n", encoding="utf-8")  # what the pattern matches
    summary = generate_files(as_given(tmp_path / "data[1].jsonl"), CONFIG, tmp_path / "out", client=client)
    assert [Path(done.source).name for done in summary.inputs] == ["data[1].jsonl"]
    assert _files(tmp_path / "out") == {"data[1].jsonl": candidates([lore_line(1)]).encode()}


def test_a_worker_with_another_version_is_refused_before_any_work(client: distributed.Client, tmp_path: Path) -> None:
    (tmp_path / "x.jsonl").write_text(lore_line(0) + "\n", encoding="utf-8")
    worker = sorted(client.scheduler_info()["workers"])[0]
    client.run(exec, "import quillforge._native as n; n.kept, n.version = n.version, lambda: '0.1.0'", workers=[worker])
    try:
        with distributed.get_task_stream(client) as tasks, pytest.raises(RuntimeError) as refused:
            generate_files(tmp_path / "x.jsonl", CONFIG, tmp_path / "out", client=client)
    finally:
        client.run(exec, "import quillforge._native as n; n.version = n.kept", workers=[worker])
    assert f"worker {worker} runs module 0.1.0" in str(refused.value)
    assert f"this process (module {version()}" in str(refused.value)
    assert tasks.data == [] and _files(tmp_path / "out") == {}


_UNGUARDED = """\
from quillforge.dask import generate_files

generate_files({source!r}, {config!r}, {out!r})
"""


def test_a_script_without_the_main_guard_is_told_what_to_add(tmp_path: Path) -> None:
    (tmp_path / "x.jsonl").write_text(lore_line(0) + "\n", encoding="utf-8")
    script = tmp_path / "script.py"
    script.write_text(_UNGUARDED.format(source=str(tmp_path / "x.jsonl"), config=CONFIG, out=str(tmp_path / "out")))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert done.stderr.count("Traceback") == 1, done.stderr
    assert f"{script}, line 3: " in done.stderr and 'if __name__ == "__main__":' in done.stderr


def test_the_docs_dask_example_runs_as_a_script(tmp_path: Path) -> None:
    document = Path(__file__).resolve().parents[2] / "docs" / "scale-out.md"
    example = re.search(r"## Dask\n.*?```python\n(.*?)```", document.read_text(encoding="utf-8"), re.DOTALL)
    assert example is not None
    (tmp_path / "lores").mkdir()
    (tmp_path / "lores" / "a.jsonl").write_text(lore_line(0) + "\n{\n", encoding="utf-8")
    (tmp_path / "script.py").write_text(example.group(1), encoding="utf-8")
    done = subprocess.run([sys.executable, "script.py"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.splitlines()[0]) == (0, "lores/a.jsonl 2 1 1"), done.stderr
    assert _files(tmp_path / "out") == {"a.jsonl": candidates([lore_line(0)]).encode()}


# ---------------------------------------------------------------- the caller stopped

_CALLER = """\
import sys

import distributed

from quillforge.dask import generate_files

if __name__ == "__main__":
    with distributed.Client(sys.argv[1]) as client:
        generate_files(sys.argv[2], sys.argv[3], sys.argv[4], client=client, shard_bytes=32 << 10)
"""


@pytest.fixture(scope="module")
def big_input(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, bytes]:
    """A file of many shards, and the output the command writes for it."""
    folder = tmp_path_factory.mktemp("big")
    source = folder / "big.jsonl"
    source.write_text("".join(lore_line(i) + "\n" for i in range(20_000)), encoding="utf-8")
    generate_file(source, folder / "expected.jsonl", CONFIG)
    (folder / "caller.py").write_text(_CALLER, encoding="utf-8")
    return source, (folder / "expected.jsonl").read_bytes()


def _default_signals() -> None:
    # A background job starts with SIGINT ignored; the caller should get Ctrl-C as at a terminal.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def _stopped_run(
    client: distributed.Client, big_input: tuple[Path, bytes], out: Path, signum: int, when: str | float
) -> tuple[int, str]:
    """Runs the caller and signals its process group once a part is written (`when` "part") or after
    `when` seconds (signal 0: lets it finish); returns its exit code and standard error once the
    output folder holds no hidden entry."""
    source, _ = big_input
    caller = subprocess.Popen(
        [sys.executable, str(source.with_name("caller.py")), client.scheduler.address, str(source), CONFIG, str(out)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        start_new_session=True,
        preexec_fn=_default_signals,
    )
    deadline = time.monotonic() + 60
    if when == "part":
        while not list(out.glob(".quillforge-*.parts/*.part")):
            assert caller.poll() is None and time.monotonic() < deadline, "no part was written"
            time.sleep(0.002)
    elif signum:
        time.sleep(float(when))
    if signum:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(caller.pid, signum)
    _, err = caller.communicate(timeout=60)
    while [name for name in os.listdir(out) if name.startswith(".")] if out.exists() else []:
        assert time.monotonic() < deadline, f"left behind: {os.listdir(out)}"
        time.sleep(0.01)
    return caller.returncode, err.decode()


def _no_stray_file(out: Path, expected: bytes) -> None:
    left = _files(out) if out.exists() else {}
    assert left in ({}, {"big.jsonl": expected}), sorted(left)


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGKILL])
def test_a_caller_stopped_mid_run_leaves_no_parts(
    client: distributed.Client, big_input: tuple[Path, bytes], tmp_path: Path, signum: int
) -> None:
    code, err = _stopped_run(client, big_input, tmp_path / "out", signum, "part")
    assert code == -signum, err
    _no_stray_file(tmp_path / "out", big_input[1])


@pytest.mark.heavy
def test_soak_callers_stopped_at_random_moments_leave_no_stray_file(
    client: distributed.Client, big_input: tuple[Path, bytes], tmp_path: Path
) -> None:
    started = time.monotonic()
    assert _stopped_run(client, big_input, tmp_path / "whole", 0, 0)[0] == 0  # signal 0: no signal at all
    _no_stray_file(tmp_path / "whole", big_input[1])
    whole = time.monotonic() - started
    shuffle = random.Random(1)
    codes = []
    for run in range(20):
        signum = shuffle.choice([signal.SIGINT, signal.SIGTERM, signal.SIGKILL])
        code, err = _stopped_run(client, big_input, tmp_path / f"out{run}", signum, shuffle.uniform(0, whole))
        assert code in (0, -signum), (run, signum, err)
        _no_stray_file(tmp_path / f"out{run}", big_input[1])
        codes.append(code)
    assert codes.count(0) < len(codes) / 2  # most runs were stopped


# (what an earlier run left in the output folder, whether a run removes it)
LEFT_BEHIND = [
    ({".lock": b"", "000000-000000.part": b"x"}, True),  # its caller was killed
    ({"000000-000000.part": b"x"}, True),  # an older version's, with no lock file
    ({".lock": b"held", "000000-000000.part": b"x"}, False),  # a living run's
]


@pytest.mark.parametrize(("files", "removed"), LEFT_BEHIND)
def test_a_run_removes_the_parts_an_earlier_killed_run_left(
    client: distributed.Client, tmp_path: Path, files: dict[str, bytes], removed: bool
) -> None:
    (tmp_path / "x.jsonl").write_text(lore_line(0) + "\n", encoding="utf-8")
    left = tmp_path / "out" / ".quillforge-earlier.parts"
    left.mkdir(parents=True)
    for name, data in files.items():
        (left / name).write_bytes(data)
    with open(left / ".lock") if b"held" in files.get(".lock", b"") else contextlib.nullcontext() as lock:
        if lock is not None:
            fcntl.flock(lock, fcntl.LOCK_EX)
        generate_files(tmp_path / "x.jsonl", CONFIG, tmp_path / "out", client=client)
    assert sorted(os.listdir(tmp_path / "out")) == [*([] if removed else [left.name]), "x.jsonl"]
