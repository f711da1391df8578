"""The batch's own cost, and what --jobs buys.

    python bench/batch_cost.py [--lines 200000]

1. CPU time of `quillforge.batch.run_file` (what `quillforge batch --jobs 1`
   runs) against a plain Python loop making the same calls and writing the same
   bytes, on small lores: the batch's overhead over the calls themselves.
2. `quillforge batch` as a command with --jobs 1 and --jobs 2 on long lores
   (1 MB and 400 KB a line): wall time, and the peak memory of the process,
   which the batch bounds by its window of chunks, not by the file.
Used by run.py; runnable alone.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import harness
from harness import EXAMPLE_CONFIG as CONFIG
from harness import lore_lines


def _cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def long_lores(path: Path, count: int, size: int) -> None:
    words = ["the", "tide", "turns", "over", "the", "quay", "and", "the", "gulls", "call"]
    with path.open("w", encoding="utf-8") as out:
        for i in range(count):
            content = " ".join(words[(i + k) % len(words)] for k in range(size // 5))
            out.write(json.dumps({"id": f"L{i}", "title": "t", "blocks": [["b", content]]}) + "\n")


def batch_against_loop(path: Path, rounds: int = 7) -> dict[str, float]:
    from quillforge import batch, generate_candidate_json

    def plain() -> None:
        with path.open("rb") as lines, open(os.devnull, "wb") as out:
            for raw in lines:
                if raw.strip():
                    try:  # noqa: SIM105 (the loop a user would write: no context manager per line)
                        out.write(generate_candidate_json(raw.decode(), CONFIG).encode() + b"\n")
                    except ValueError:
                        pass

    def ours() -> None:
        with path.open("rb") as lines, open(os.devnull, "wb") as out:
            batch.run_file(lines, out, CONFIG, batch.FileReport())

    loop, run = [], []
    for _ in range(rounds):  # alternated; the best of each
        start = _cpu()
        plain()
        loop.append(_cpu() - start)
        start = _cpu()
        ours()
        run.append(_cpu() - start)
    return {"loop": min(loop), "batch": min(run)}


def command(path: Path, jobs: int) -> dict[str, float]:
    """One run of `quillforge batch` in a fresh process: wall time and peak RSS."""
    started = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-c", harness.PEAK_OF_THE_COMMAND, "batch", str(path), "-o", os.devnull, "--jobs", str(jobs)],
        capture_output=True,
        text=True,
    )
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        raise RuntimeError(f"quillforge batch exited with {done.returncode}: {done.stderr}")
    return {"seconds": seconds, "peak_mb": int(done.stderr.split()[-1]) / 1024}


def jobs_on_long_lines(path: Path, rounds: int = 3) -> dict[str, dict[str, float]]:
    runs: dict[int, list[dict[str, float]]] = {1: [], 2: []}
    for _ in range(rounds):
        for jobs in (1, 2):
            runs[jobs].append(command(path, jobs))
    return {
        str(jobs): {"seconds": min(r["seconds"] for r in rs), "peak_mb": max(r["peak_mb"] for r in rs)}
        for jobs, rs in runs.items()
    }


def measure(lines: int) -> dict[str, Any]:
    with tempfile.TemporaryDirectory(prefix="quillforge-bench-") as folder:
        small = Path(folder) / "small.jsonl"
        small.write_text(lore_lines(lines), encoding="utf-8")
        result: dict[str, Any] = {"lines": lines, "cpu": batch_against_loop(small)}
        small.unlink()
        for label, count, size in (("1 MB", 40, 1 << 20), ("400 KB", 200, 400 << 10)):
            long = Path(folder) / "long.jsonl"
            long_lores(long, count, size)
            result[label] = {"bytes": long.stat().st_size, "jobs": jobs_on_long_lines(long)}
            long.unlink()
    return result


def report(result: dict[str, Any]) -> str:
    cpu = result["cpu"]
    lines = [
        f"### The batch's own cost ({result['lines']:,} small lores, CPU seconds, best of 7)\n",
        "| plain Python loop over the calls | `batch.run_file` (`--jobs 1`) | ratio |",
        "|---:|---:|---:|",
        f"| {cpu['loop']:.3f} | {cpu['batch']:.3f} | {cpu['batch'] / cpu['loop']:.2f} |",
        "\n### `quillforge batch` on long lores (best wall time of 3, largest peak RSS)\n",
        "| lores | file | --jobs 1 | --jobs 2 | speed-up | peak RSS, 1 / 2 jobs |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for label in ("1 MB", "400 KB"):
        row = result[label]
        one, two = row["jobs"]["1"], row["jobs"]["2"]
        lines.append(
            f"| {label} | {row['bytes'] / 1e6:,.0f} MB | {one['seconds']:.2f} s | {two['seconds']:.2f} s | "
            f"{one['seconds'] / two['seconds']:.2f} | {one['peak_mb']:,.0f} / {two['peak_mb']:,.0f} MB |"
        )
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=200_000)
    args = parser.parse_args()
    print(report(measure(args.lines)))


if __name__ == "__main__":
    main()
