"""`quillforge batch --jobs 2` stopped by a signal: it exits at once with the
signal's code, says after which line the output stops, keeps exactly those
candidates, and leaves no process or file behind."""

from __future__ import annotations

import contextlib
import io
import os
import pty
import random
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import quillforge
from quillforge.batch import generate_file

from support import CONFIG, lore_line

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="reads /proc")

STOPPED = re.compile(
    r"quillforge: interrupted: the output stops after line (\d+) of \S+(; the ([\d,]+) candidates "
    r"written are in (\S+))?\n"
)
LINES = 300_000  # long enough that a run is still going when the signal comes
Lores = tuple[Path, list[str]]  # the input file, and the candidate of each of its lines


@pytest.fixture(scope="module")
def lores(tmp_path_factory: pytest.TempPathFactory) -> Lores:
    lines = [lore_line(i) for i in range(LINES)]
    path = tmp_path_factory.mktemp("signals") / "lores.jsonl"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path, [quillforge.generate_candidate_json(line, CONFIG) for line in lines]


def _default_signals() -> None:
    # A shell's background job starts with SIGINT ignored and nohup ignores SIGHUP; the
    # command keeps an ignored signal ignored, as programs do, so give it the defaults.
    for signum in (signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


def _start(*args: str, stdin: int | None = None) -> subprocess.Popen[bytes]:
    return subprocess.Popen(
        [sys.executable, "-m", "quillforge", "batch", *args, "--jobs", "2"],
        stdin=stdin,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        start_new_session=True,
        bufsize=0,
        preexec_fn=_default_signals,
    )


def _fed(process: subprocess.Popen[bytes], path: Path) -> threading.Thread:
    """Writes all but the last line of `path` into the process's standard input and
    keeps it open: however fast the run, it is still going when the signal comes."""
    data = path.read_bytes()

    def feed() -> None:
        assert process.stdin is not None
        with contextlib.suppress(OSError, ValueError):  # the process went, or its pipe was closed
            process.stdin.write(data[: data.rfind(b"\n", 0, len(data) - 1) + 1])

    thread = threading.Thread(target=feed, daemon=True)
    thread.start()
    return thread


def _stop(process: subprocess.Popen[bytes], signum: int) -> tuple[float, bytes, str]:
    """Signals the whole process group; returns the seconds it took to exit and its output."""
    sent = time.monotonic()
    os.killpg(process.pid, signum)
    out, err = process.communicate(timeout=30)
    took = time.monotonic() - sent
    with pytest.raises(ProcessLookupError):  # nothing of the group is left
        os.killpg(process.pid, 0)
    return took, out, (err or b"").decode()


def _until_under_way(process: subprocess.Popen[bytes]) -> None:
    """Waits until the process has written a megabyte (or ended)."""
    while process.poll() is None:
        with open(f"/proc/{process.pid}/io") as io:
            if int(re.search(r"^wchar: (\d+)", io.read(), re.M).group(1)) >= 1_000_000:  # type: ignore[union-attr]
                return
        time.sleep(0.005)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_stopped_batch_to_stdout_ends_after_the_line_it_names(lores: Lores, signum: int) -> None:
    path, expected = lores
    process = _start(str(path))
    assert process.stdout is not None
    received = b""
    while len(received) < 200_000:  # the run is under way (unbuffered: communicate() reads the rest)
        received += process.stdout.read(200_000 - len(received)) or b""
    took, rest, err = _stop(process, signum)
    stopped = STOPPED.fullmatch(err)
    assert stopped and process.returncode == 128 + signum, (process.returncode, err)
    assert took < 5
    assert (received + rest).decode().splitlines() == expected[: int(stopped.group(1))]


@pytest.mark.usefixtures("output_path")
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_stopped_batch_keeps_a_partial_file_that_says_so(lores: Lores, tmp_path: Path, signum: int) -> None:
    path, expected = lores
    out = tmp_path / "out.jsonl"
    process = _start("-", "-o", str(out), stdin=subprocess.PIPE)
    _fed(process, path)
    _until_under_way(process)
    took, _, err = _stop(process, signum)
    stopped = STOPPED.fullmatch(err)
    assert stopped and stopped.group(4) == f"{out}.partial" and process.returncode == 128 + signum, err
    assert took < 5
    kept = (tmp_path / "out.jsonl.partial").read_text(encoding="utf-8").splitlines()
    assert kept == expected[: int(stopped.group(1))] and len(kept) == int(stopped.group(3).replace(",", ""))
    assert sorted(os.listdir(tmp_path)) == ["out.jsonl.partial"]


def test_a_killed_batch_leaves_no_file_a_rerun_would_not_sweep(lores: Lores, tmp_path: Path, output_path: str) -> None:
    path, _ = lores
    process = _start("-", "-o", str(tmp_path / "out.jsonl"), stdin=subprocess.PIPE)
    _fed(process, path)
    _until_under_way(process)
    _stop(process, signal.SIGKILL)
    # Only a named temporary outlives its process; the next output into the folder removes it.
    assert len(os.listdir(tmp_path)) == (output_path == "named")
    generate_file(io.BytesIO(lore_line(0).encode()), tmp_path / "next.jsonl", CONFIG)
    assert os.listdir(tmp_path) == ["next.jsonl"]


# The command, with a stop arriving right after one step of the commit: as a
# signal to the process, or as a handler raising there (as one does when another
# thread took the signal).
STOP_AFTER = """
import os, signal, sys
from quillforge.cli import main
step, how = sys.argv[1], sys.argv[2]
original = getattr(os, step)
def then_stop(*args, **kwargs):
    result = original(*args, **kwargs)
    setattr(os, step, original)
    if how == "raise":
        raise KeyboardInterrupt
    os.kill(os.getpid(), getattr(signal, how))
    return result
setattr(os, step, then_stop)
sys.exit(main(sys.argv[3:]))
"""


@pytest.mark.parametrize("how", ["SIGINT", "SIGTERM", "SIGHUP", "raise"])
@pytest.mark.parametrize("step", ["link", "replace"])
def test_a_stop_during_the_commit_leaves_the_whole_output_and_nothing_else(
    lores: Lores, tmp_path: Path, step: str, how: str, output_path: str
) -> None:
    if (output_path, step) == ("named", "link"):
        pytest.skip("a named temporary is not linked, only replaced")
    path, expected = lores
    out = tmp_path / "out.jsonl"
    out.write_text("old\n")
    done = subprocess.run(
        [sys.executable, "-c", STOP_AFTER, step, how, "batch", str(path), "-o", str(out)],
        capture_output=True,
        timeout=120,
        preexec_fn=_default_signals,
    )
    signum = signal.SIGINT if how == "raise" else getattr(signal, how)
    if (step, how) == ("link", "raise"):  # before the replace: the old output stays, the new one is kept aside
        stopped = (
            f"the output stops after line {LINES} of {path}; the {LINES:,} candidates written are in {out}.partial"
        )
        files = {"out.jsonl": ["old"], "out.jsonl.partial": expected}
    else:  # a signal waits for the commit to end
        stopped, files = f"the output of {path} is complete in {out}", {"out.jsonl": expected}
    assert (done.returncode, done.stderr.decode()) == (128 + signum, f"quillforge: interrupted: {stopped}\n")
    assert {name: (tmp_path / name).read_text(encoding="utf-8").splitlines() for name in os.listdir(tmp_path)} == files


def _timed_run(*args: str) -> float:
    started = time.monotonic()
    subprocess.run([sys.executable, "-m", "quillforge", *args], capture_output=True, check=True, timeout=120)
    return time.monotonic() - started


@pytest.mark.heavy
def test_soak_signals_at_random_moments_leave_the_old_output_the_new_one_or_a_partial(
    lores: Lores, tmp_path: Path
) -> None:
    path, expected = lores
    new = "".join(line + "\n" for line in expected).encode()
    out = tmp_path / "out.jsonl"
    _timed_run("batch", str(path), "-o", str(out), "--seed", "1")
    old = out.read_bytes()
    # Signals before the command has set its handlers are another matter.
    start_up = 1.5 * _timed_run("version")
    whole = _timed_run("batch", str(path), "-o", str(tmp_path / "new.jsonl"), "--jobs", "2")
    (tmp_path / "new.jsonl").unlink()
    rng = random.Random(7)
    seen = set()
    for run in range(40):
        # Half at any moment, half about when the output is put in place; reruns find what the last one left.
        delay = rng.uniform(start_up, 1.3 * whole) if run % 2 else rng.uniform(0.85, 1.15) * whole
        process = _start(str(path), "-o", str(out))
        time.sleep(delay)
        if process.poll() is None:
            _, _, err = _stop(process, rng.choice([signal.SIGINT, signal.SIGTERM, signal.SIGHUP]))
        else:
            err = process.communicate()[1].decode()
        names = sorted(os.listdir(tmp_path))
        assert set(names) <= {"out.jsonl", "out.jsonl.partial"}, names  # never a temporary
        now = out.read_bytes()
        stopped = STOPPED.fullmatch(err)
        assert "Traceback" not in err and now in (old, new), err
        if now == new:  # done, the signal coming as it was put in place or as the command ended
            assert names == ["out.jsonl"] and (stopped is None or process.returncode == 0), (process.returncode, err)
            seen.add("new")
            out.write_bytes(old)
        elif stopped is not None and stopped.group(4):
            kept = (tmp_path / "out.jsonl.partial").read_text(encoding="utf-8").splitlines()
            assert kept == expected[: int(stopped.group(1))]
            seen.add("partial")
        else:
            assert err == "" or err.startswith("quillforge: interrupted"), (process.returncode, err)  # "": starting
            seen.add("old")
    assert seen >= {"partial", "new"}, seen


def test_a_terminal_that_hangs_up_keeps_the_partial_file(lores: Lores, tmp_path: Path) -> None:
    # The terminal goes away (its other end closed: writes to it fail), then SIGHUP comes.
    path, expected = lores
    controller, terminal = pty.openpty()
    out = tmp_path / "out.jsonl"
    command = [sys.executable, "-m", "quillforge", "batch", "-", "-o", str(out), "--jobs", "2"]
    process = subprocess.Popen(
        command, stdin=subprocess.PIPE, stderr=terminal, start_new_session=True, preexec_fn=_default_signals
    )
    _fed(process, path)
    os.close(terminal)
    try:
        _until_under_way(process)
    finally:
        os.close(controller)
    took, _, _ = _stop(process, signal.SIGHUP)
    assert process.returncode == 128 + signal.SIGHUP and took < 5
    kept = (tmp_path / "out.jsonl.partial").read_text(encoding="utf-8").splitlines()
    assert 0 < len(kept) < LINES and kept == expected[: len(kept)]
    assert sorted(os.listdir(tmp_path)) == ["out.jsonl.partial"]


START = """
import os, signal, sys
class SignalWhileLoading:  # the signal comes while the command's modules load
    def find_spec(self, name, path=None, target=None):
        if name == "quillforge.cli":
            os.kill(os.getpid(), {signum})
sys.meta_path.insert(0, SignalWhileLoading())
from quillforge._console import main
sys.exit(main())
"""


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_at_start_up_ends_the_command_quietly(signum: int) -> None:
    done = subprocess.run(
        [sys.executable, "-c", START.format(signum=int(signum)), "version"],
        capture_output=True,
        timeout=60,
        preexec_fn=_default_signals,
    )
    assert (done.returncode, done.stdout, done.stderr) == (128 + signum, b"", b"")


def test_an_ignored_hangup_stays_ignored(lores: Lores, tmp_path: Path) -> None:
    # As under nohup: the run goes on to the end.
    path, expected = lores

    def ignore_hangups() -> None:
        signal.signal(signal.SIGHUP, signal.SIG_IGN)

    out = tmp_path / "out.jsonl"
    command = [sys.executable, "-m", "quillforge", "batch", str(path), "-o", str(out)]
    process = subprocess.Popen(command, stderr=subprocess.PIPE, start_new_session=True, preexec_fn=ignore_hangups)
    _until_under_way(process)
    process.send_signal(signal.SIGHUP)
    _, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (0, b"")
    assert out.read_text(encoding="utf-8").splitlines() == expected
