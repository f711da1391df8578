"""Soak test of `quillforge batch --jobs 2` under signals.

    python tools/soak_batch.py [--runs 20] [--lines 200000] [--seed 1]

Makes a JSON Lines file, runs the batch once without interruption for the
reference output, then RUNS times stops a run at a random moment with SIGINT,
SIGTERM or SIGKILL (sent to the whole process group) and checks that: it exits
within 10 s (else: a hang), nothing of its process group is left (else: an
orphan), nothing on standard error is a traceback, and the output is either
absent or complete and equal to the reference, while a partial file, when one is
kept, is exactly the first lines of the reference, as many as the message says.
Prints one line per run and a summary; exits 1 if any check failed.
"""

from __future__ import annotations

import argparse
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The small lores of a batch, as the tests make them.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from support import lore_lines

STOPPED = re.compile(
    r"quillforge: interrupted: the output stops (?:after line (\d+)|before the first line) of \S+"
    r"(?:; the ([\d,]+) candidates written are in (\S+))?\n"
)


def batch(source: Path, out: Path) -> subprocess.Popen[bytes]:
    return subprocess.Popen(
        [sys.executable, "-m", "quillforge", "batch", str(source), "-o", str(out), "--jobs", "2"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )


def group_alive(pgid: int) -> bool:
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return False
    return True


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--lines", type=int, default=200_000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    folder = Path(tempfile.mkdtemp(prefix="quillforge-soak-"))
    source = folder / "lores.jsonl"
    source.write_text(lore_lines(args.lines), encoding="utf-8")
    reference_path = folder / "reference.jsonl"
    started = time.monotonic()
    reference_run = batch(source, reference_path)
    reference_run.communicate()
    full_time = time.monotonic() - started
    reference = reference_path.read_bytes()
    print(f"{args.lines:,} lines, {source.stat().st_size / 1e6:.1f} MB; an uninterrupted run takes {full_time:.2f} s")

    counts = {"hang": 0, "orphan": 0, "traceback": 0, "bad output": 0}
    outcomes = {"absent": 0, "complete": 0, "partial": 0}
    exit_times = []
    for run in range(args.runs):
        work = folder / f"run{run}"
        work.mkdir()
        out = work / "out.jsonl"
        signum = rng.choice([signal.SIGINT, signal.SIGTERM, signal.SIGKILL])
        delay = rng.uniform(0.05, full_time * 1.1)
        process = batch(source, out)
        time.sleep(delay)
        sent = time.monotonic()
        os.killpg(process.pid, signum)
        try:
            _, err_bytes = process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            counts["hang"] += 1
            os.killpg(process.pid, signal.SIGKILL)
            _, err_bytes = process.communicate()
        exit_times.append(time.monotonic() - sent)
        time.sleep(0.05)
        if group_alive(process.pid):
            counts["orphan"] += 1
            os.killpg(process.pid, signal.SIGKILL)
        err = err_bytes.decode(errors="replace")
        if "Traceback" in err:
            counts["traceback"] += 1
        files = sorted(os.listdir(work))
        problem = ""
        if files == ["out.jsonl"]:
            outcome = "complete"
            if out.read_bytes() != reference:
                problem = "output differs from the reference"
        elif files == []:
            outcome = "absent"
        elif files == ["out.jsonl.partial"]:
            outcome = "partial"
            kept = (work / "out.jsonl.partial").read_bytes()
            stopped = STOPPED.fullmatch(err)
            lines = kept.count(b"\n")
            if not reference.startswith(kept) or not kept.endswith(b"\n"):
                problem = "partial file is not a prefix of whole lines"
            elif (
                stopped is None
                or int(stopped.group(1) or 0) != lines
                or int((stopped.group(2) or "0").replace(",", "")) != lines
            ):
                problem = f"message does not match the partial file ({lines} lines): {err.strip()!r}"
        else:
            outcome = "?"
            problem = f"unexpected files {files}"
        if problem:
            counts["bad output"] += 1
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        print(
            f"run {run + 1:2d}: {signal.Signals(signum).name:7s} after {delay:5.2f} s -> exit {process.returncode:4d} "
            f"in {exit_times[-1]:.3f} s, output {outcome}{'  PROBLEM: ' + problem if problem else ''}"
        )
    print(
        f"\n{args.runs} runs: {counts['hang']} hangs, {counts['orphan']} orphans, {counts['traceback']} tracebacks, "
        f"{counts['bad output']} bad outputs; outputs {outcomes}; slowest exit after the signal "
        f"{max(exit_times):.3f} s"
    )
    return 1 if any(counts.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
