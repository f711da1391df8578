"""Threads: how many calls per second two threads make against one, on 1 MB
lores, with a control beside them.

    python bench/threads.py [--lib PATH] [--seconds 2]

The control is hashlib.sha256 over 10 MB in each thread, which releases the
interpreter lock too: on an idle 2-core machine it scales by about 2, and when
the machine is busy (or its scheduler groups our threads on one core) it shows
how much scaling there was to be had. Used by run.py; runnable alone.
"""

from __future__ import annotations

import argparse
import hashlib
import threading
import time
from collections.abc import Callable
from typing import Any

import harness
from harness import EXAMPLE_CONFIG


def calls_per_second(call: Callable[[], object], threads: int, seconds: float) -> float:
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop_at = 0.0

    def work(index: int) -> None:
        start.wait()
        while time.perf_counter() < stop_at:
            call()
            counts[index] += 1

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    began = time.perf_counter()
    stop_at = began + seconds
    start.wait()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - began)


def measure(limits: harness.Limits, seconds: float) -> list[dict[str, Any]]:
    import quillforge

    generate = quillforge.generate_candidate_json
    summary = quillforge.render_lore_summary_json
    blob = b"x" * (10 << 20)
    cases: list[tuple[str, Callable[[], object]]] = []
    for flavour in ("ascii", "mixed"):
        text = limits.workload(flavour, 1 << 20)[0].decode()
        cases.append((f"generate_candidate_json, {flavour} 1 MB", lambda t=text: generate(t, EXAMPLE_CONFIG)))
        cases.append((f"render_lore_summary_json, {flavour} 1 MB", lambda t=text: summary(t)))
    cases.append(("control: hashlib.sha256 over 10 MB", lambda: hashlib.sha256(blob).digest()))
    rows = []
    for name, call in cases:
        call()
        one, two = [], []
        for _ in range(3):  # alternated, so that a busy moment falls on both alike
            one.append(calls_per_second(call, 1, seconds / 3))
            two.append(calls_per_second(call, 2, seconds / 3))
        rows.append({"name": name, "one": sum(one) / 3, "two": sum(two) / 3})
    return rows


def report(rows: list[dict[str, Any]]) -> str:
    lines = [
        "### Two threads against one (calls per second, 1 MB lores)\n",
        "| call | 1 thread | 2 threads | ratio |",
        "|---|---:|---:|---:|",
    ]
    for row in rows:
        lines.append(f"| {row['name']} | {row['one']:,.1f} | {row['two']:,.1f} | {row['two'] / row['one']:.2f} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib", help="path to libqf_benchlib.so (default: the newest under build/)")
    parser.add_argument("--seconds", type=float, default=6.0)
    args = parser.parse_args()
    print(report(measure(harness.Limits(harness.find_lib(args.lib)), args.seconds)))


if __name__ == "__main__":
    main()
