"""Lines per second of a batch of small lores, one process against a Dask cluster.

    .venv/bin/python -m pip install '.[dask]'
    .venv/bin/python bench/scale_out.py [--lines 200000] [--rounds 3]

Times, on the same JSON Lines file: the command (`quillforge batch`, a fresh
process each time, with --jobs 1 and --jobs 2), the public API in this process
(`quillforge.batch.generate_file`), and `quillforge.dask.generate_files` on a
local cluster of two single-threaded worker processes and of one, each started
before its timings. The rounds alternate the ways; each figure is the best round
(the machine may be shared), in lines per second of wall time, and in lines per
second of CPU time summed over every process involved. Every output is checked byte for byte against the
command's. Prints the load average before and after, since other work on the
machine moves the figures.
"""

from __future__ import annotations

import argparse
import contextlib
import multiprocessing
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import harness
import psutil
from harness import EXAMPLE_CONFIG as CONFIG
from harness import lore_line

from quillforge import generate_candidate_json
from quillforge.batch import generate_file
from quillforge.dask import generate_files

_TEXTS: list[str] = []


def _prepare(lines: int) -> None:
    _TEXTS[:] = [lore_line(i) for i in range(lines)]


def calls(lines: int) -> tuple[float, float]:
    """When this process started and ended `lines` bare calls (on the monotonic
    clock, which all processes share)."""
    start = time.monotonic()
    for text in _TEXTS[:lines]:
        generate_candidate_json(text, CONFIG)
    return start, time.monotonic()


def parallel_ceiling(lines: int) -> float:
    """How much faster two processes make the calls than one, right now (best
    of three each): the most that two workers can gain on this machine while
    it is shared."""
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(2, mp_context=context, initializer=_prepare, initargs=(lines,)) as pool:
        list(pool.map(calls, [1000, 1000]))  # both processes started, their texts made
        alone = together = float("inf")
        for _ in range(3):
            start, end = pool.submit(calls, lines).result()
            alone = min(alone, end - start)
            spans = list(pool.map(calls, [lines // 2, lines - lines // 2]))
            together = min(together, max(end for _, end in spans) - min(start for start, _ in spans))
    return alone / together


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--lines", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    print(f"before: {harness.uptime()}")
    ceilings = [parallel_ceiling(args.lines)]
    with tempfile.TemporaryDirectory(prefix="quillforge-scale-out-") as scratch, contextlib.ExitStack() as stack:
        root = Path(scratch)
        source = root / "lores.jsonl"
        with open(source, "w", encoding="utf-8") as file:
            for i in range(args.lines):
                file.write(lore_line(i) + "\n")
        size = source.stat().st_size

        def command(jobs: int) -> Callable[[Path], None]:
            def run(out: Path) -> None:
                subprocess.run(
                    [sys.executable, "-m", "quillforge", "batch", str(source), "-o", str(out), "--jobs", str(jobs)],
                    check=True,
                )

            return run

        def api(out: Path) -> None:
            generate_file(source, out / source.name, CONFIG)

        clients = {workers: harness.dask_cluster(stack, workers) for workers in (2, 1)}

        def on_cluster(workers: int) -> Callable[[Path], None]:
            def run(out: Path) -> None:
                generate_files([source], CONFIG, out, client=clients[workers])

            return run

        ways: dict[str, Callable[[Path], None]] = {
            "quillforge batch --jobs 1": command(1),
            "quillforge batch --jobs 2": command(2),
            "batch.generate_file, one process": api,
            "dask.generate_files, 2 workers": on_cluster(2),
            "dask.generate_files, 1 worker": on_cluster(1),
        }
        # CPU time of every process a way uses: this one (the driver and the
        # schedulers), the command's, and the workers'. Unlike wall time, it
        # hardly moves when other work shares the cores.
        workers = [psutil.Process(pid) for client in clients.values() for pid in client.run(os.getpid).values()]

        def cpu_seconds() -> float:
            times = os.times()
            mine = times.user + times.system + times.children_user + times.children_system
            return mine + sum(worker.cpu_times().user + worker.cpu_times().system for worker in workers)

        best = dict.fromkeys(ways, float("inf"))
        cpu = dict.fromkeys(ways, float("inf"))
        reference: bytes | None = None
        for round_ in range(args.rounds):
            for number, (name, run) in enumerate(ways.items()):
                out = root / f"out-{round_}-{number}"
                out.mkdir()  # a folder, so that the command names its output after the input
                start, start_cpu = time.perf_counter(), cpu_seconds()
                run(out)
                best[name] = min(best[name], time.perf_counter() - start)
                cpu[name] = min(cpu[name], cpu_seconds() - start_cpu)
                written = (out / source.name).read_bytes()
                reference = reference if reference is not None else written
                if written != reference:
                    raise SystemExit(f"{name}: output differs from the command's")
                (out / source.name).unlink()

    ceilings.append(parallel_ceiling(args.lines))
    print(f"after:  {harness.uptime()}")
    print(f"\n{args.lines:,} lines ({size / 1e6:.1f} MB), best of {args.rounds} rounds; outputs identical\n")
    base = args.lines / best["quillforge batch --jobs 1"]
    print("| way | lines/s | vs --jobs 1 | CPU s, all processes | lines per CPU s |")
    print("|---|---:|---:|---:|---:|")
    for name, seconds in best.items():
        rate = args.lines / seconds
        print(f"| {name} | {rate:,.0f} | {rate / base:.2f}x | {cpu[name]:.2f} | {args.lines / cpu[name]:,.0f} |")
    rate = {name: args.lines / seconds for name, seconds in best.items()}
    two, one = rate["dask.generate_files, 2 workers"], rate["dask.generate_files, 1 worker"]
    checks = [
        harness.check("dask_two_vs_jobs1", two / rate["quillforge batch --jobs 1"]),
        harness.check("dask_one_vs_jobs2", one / rate["quillforge batch --jobs 2"]),
    ]
    print("\n" + harness.targets_table(checks))
    bound = args.lines / (cpu["dask.generate_files, 2 workers"] / 2)
    print(
        f"\nThe 2-worker run took {cpu['dask.generate_files, 2 workers']:.2f} CPU s in all: with both cores free it"
        f" could not beat {bound:,.0f} lines/s, {bound / rate['quillforge batch --jobs 1']:.2f}x --jobs 1."
    )
    print(
        f"Two processes ran the bare calls {ceilings[0]:.2f}x (before the rounds) and {ceilings[1]:.2f}x (after)"
        " as fast as one: the most that two workers could gain on this machine then."
    )


if __name__ == "__main__":
    main()
