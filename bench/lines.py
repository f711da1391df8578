"""A corpus of small lores through the native JSON Lines path, against the limits.

    cmake -S . -B build/bench-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQF_BUILD_BENCHMARKS=ON
    cmake --build build/bench-release --target qf_benchlib
    .venv/bin/python -m pip install '.[dask]'
    .venv/bin/python bench/lines.py [--lines 200000] [--rounds 3] [--rss-bytes 1e9]

On 200,000 small lores (one to three blocks of short mixed ASCII and non-ASCII
text, 0.3% bad lines, 0.2% blank ones), in lines per second of wall time, best
of the rounds, the ways alternated: `batch.generate_file` in this process
(into an open file: no fsync, as the command into its standard output), a
plain `map(generate_candidate_json, lines)` over ready strs, the seeded FNV-1a
chain over exactly the bytes the candidate hashes read (libqf_benchlib, the
bound of the engine), the block entry alone on the blocks in memory, the command
with --jobs 1 and --jobs 2 (a fresh process each, start-up included), and
`dask.generate_files` on a local cluster of two single-threaded workers,
started before the timings, and the bare interpreter's start-up. Then the
bounds that start-up and the second core set (the file API's CPU with jobs=1
against its answering thread's), and the peak RSS of the
command on a file of about 1 GB (the same lines repeated). Every output is
checked byte for byte against the file API's. Prints the CPU and the load
average before and after, since other work on the machine moves the figures.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from itertools import repeat
from pathlib import Path
from resource import RUSAGE_SELF, getrusage

import harness
from harness import EXAMPLE_CONFIG as CONFIG

from quillforge import generate_candidate_json
from quillforge._lines import generate_candidates
from quillforge.batch import CHUNK_BYTES, generate_file
from quillforge.dask import generate_files

LIBRARY = harness.ROOT / "build" / "bench-release" / "bench" / "libqf_benchlib.so"
WORDS = ["tide", "quay", "gull", "caf\u00e9", "na\u00efve", "\u00e9t\u00e9", "\u2014", "\U0001f600", "over", "the"]


def lore(i: int) -> tuple[str, bytes]:
    """Line `i` of the corpus and the bytes its candidate's hash reads (none
    for a blank or bad line): every 500th line blank, every 333rd bad."""
    if i % 500 == 499:
        return " " * (i % 3), b""
    blocks = [
        {"id": f"b{j}", "content": " ".join(WORDS[(i + j + k) % len(WORDS)] for k in range(4 + (i + j) % 8))}
        for j in range(1 + i % 3)
    ]
    record = {"id": f"Lore {i}", "title": f"T{i}", "blocks": blocks}
    text = json.dumps(record, ensure_ascii=i % 2 == 0)
    if i % 333 == 332:
        return text[: len(text) // 2], b""
    hashed = record["id"] + record["title"] + "".join(block["id"] + block["content"] for block in blocks)
    return text, hashed.encode()


def process_cpu() -> float:
    usage = getrusage(RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def bare_interpreter() -> None:
    subprocess.run([sys.executable, "-c", "pass"], check=True)


def plain_loop(texts: list[str]) -> None:
    """map() over the calls, going on after each failed line."""
    answers: list[str] = []
    results = map(generate_candidate_json, texts, repeat(CONFIG))
    while True:
        try:
            answers.extend(results)
            break
        except ValueError:
            continue


def command(source: Path, out: Path, jobs: int, code: int = 1) -> None:
    with open(out, "wb") as stdout:
        done = subprocess.run(
            [sys.executable, "-m", "quillforge", "batch", str(source), "--jobs", str(jobs)],
            stdout=stdout,
            stderr=subprocess.DEVNULL,
            check=False,
        )
    if done.returncode != code:  # 1: the bad lines, reported
        raise SystemExit(f"quillforge batch exited with {done.returncode}")


def peak_rss_mb(source: Path, jobs: int) -> float:
    done = subprocess.run(
        [sys.executable, "-c", harness.PEAK_OF_THE_COMMAND, "batch", str(source), "--jobs", str(jobs)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        check=False,
    )
    if done.returncode not in (0, 1):  # 1: the bad lines
        raise SystemExit(f"quillforge batch exited with {done.returncode}")
    return int(done.stderr.split()[-1]) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--lines", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rss-bytes", type=float, default=1e9)
    parser.add_argument("--library", type=Path, default=LIBRARY, help="libqf_benchlib.so (the FNV-1a chain)")
    args = parser.parse_args()
    limits = harness.Limits(args.library)

    print(f"CPU: {harness.cpu_name()}\nbefore: {harness.uptime()}")
    rows = [lore(i) for i in range(args.lines)]
    texts = [text for text, _ in rows if text.strip()]
    hashed = b"".join(bytes_ for _, bytes_ in rows)
    with tempfile.TemporaryDirectory(prefix="quillforge-lines-") as scratch, contextlib.ExitStack() as stack:
        root = Path(scratch)
        source = root / "lores.jsonl"
        source.write_text("".join(text + "\n" for text, _ in rows), encoding="utf-8")
        size = source.stat().st_size
        empty = root / "empty.jsonl"
        empty.touch()
        client = harness.dask_cluster(stack, 2)

        def chain(_: Path) -> None:
            limits.fnv1a(hashed)

        data = source.read_bytes()
        blocks = []
        while data:  # blocks of whole lines, as the batch reads them
            cut = data.find(b"\n", CHUNK_BYTES)
            cut = len(data) if cut < 0 else cut + 1
            blocks.append(data[:cut])
            data = data[cut:]

        def entry(_: Path) -> None:
            for block in blocks:
                generate_candidates(block, CONFIG)

        cpu_one: list[tuple[float, float]] = []  # jobs=1: CPU of the thread that answers, of the process

        def api(jobs: int) -> Callable[[Path], None]:
            def run(out: Path) -> None:
                with open(out / source.name, "wb") as stream:
                    thread, process = time.thread_time(), process_cpu()
                    generate_file(source, stream, CONFIG, jobs=jobs)
                    if jobs == 1:
                        cpu_one.append((time.thread_time() - thread, process_cpu() - process))

            return run

        ways: dict[str, Callable[[Path], None]] = {
            "file API: `batch.generate_file`": api(1),
            "file API, jobs=2": api(2),
            "plain loop: `map(generate_candidate_json, lines)`": lambda _: plain_loop(texts),
            "seeded FNV-1a chain over the hashed bytes": chain,
            "the block entry alone, on the blocks in memory": entry,
            "`quillforge batch --jobs 1`": lambda out: command(source, out / source.name, 1),
            "`quillforge batch --jobs 2`": lambda out: command(source, out / source.name, 2),
            "`dask.generate_files`, 2 local workers": lambda out: generate_files([source], CONFIG, out, client=client),
            "the command's start-up (an empty input)": lambda out: command(empty, out / "empty.jsonl", 1, 0),
            "the bare interpreter (`python -c pass`)": lambda _: bare_interpreter(),
        }
        best = dict.fromkeys(ways, float("inf"))
        reference: bytes | None = None
        for round_ in range(args.rounds):
            for number, (name, run) in enumerate(ways.items()):
                out = root / f"out-{round_}-{number}"
                out.mkdir()
                start = time.perf_counter()
                run(out)
                best[name] = min(best[name], time.perf_counter() - start)
                written = out / source.name
                if written.exists():
                    reference = reference if reference is not None else written.read_bytes()
                    if written.read_bytes() != reference:
                        raise SystemExit(f"{name}: output differs from the file API's")
                    written.unlink()

        big = root / "big.jsonl"
        with open(big, "wb") as file:
            data = source.read_bytes()
            for _ in range(max(1, round(args.rss_bytes / len(data)))):
                file.write(data)
        big_size = big.stat().st_size
        peaks = {jobs: peak_rss_mb(big, jobs) for jobs in (1, 2)}
    print(f"after:  {harness.uptime()}")

    rate = {name: args.lines / seconds for name, seconds in best.items()}
    api_name = "file API: `batch.generate_file`"
    api, loop = rate[api_name], rate["plain loop: `map(generate_candidate_json, lines)`"]
    chain_rate = rate["seeded FNV-1a chain over the hashed bytes"]
    one, two = rate["`quillforge batch --jobs 1`"], rate["`quillforge batch --jobs 2`"]
    start_up = best["the command's start-up (an empty input)"]
    one_s, two_s = best["`quillforge batch --jobs 1`"], best["`quillforge batch --jobs 2`"]
    print(
        f"\n{args.lines:,} lines ({size / 1e6:.1f} MB of JSON Lines, {len(hashed) / 1e6:.1f} MB hashed),"
        f" best of {args.rounds} rounds; outputs identical\n"
    )
    print("| way | lines/s | vs the chain |")
    print("|---|---:|---:|")
    for name in ways:
        if name.startswith(("the command's start-up", "the bare interpreter")):
            print(f"| {name} | {best[name] * 1000:.0f} ms | |")
        else:
            print(f"| {name} | {rate[name]:,.0f} | {rate[name] / chain_rate:.2f} |")
    print(f"\nPeak RSS of `quillforge batch` on {big_size / 1e9:.2f} GB: {peaks[1]:.0f} MB (--jobs 1),")
    print(f"{peaks[2]:.0f} MB (--jobs 2)\n")
    # The bounds that start-up and the second core set, whatever the run does.
    bare = best["the bare interpreter (`python -c pass`)"]
    api_s = best[api_name]
    thread, process = min(cpu_one, key=lambda pair: pair[1])
    print(f"With its start-up the command reaches at most {api_s / (api_s + start_up):.2f} of the file API;")
    print(f"with no more than the bare interpreter's, {api_s / (api_s + bare):.2f}. The file API with jobs=1 keeps")
    print(f"{process / thread:.2f} cores busy (its writer thread beside the engine), so two threads on two cores")
    print(f"reach at most {2 * thread / process:.2f}x; the command with its start-up at most")
    print(f"{one_s / (start_up + (one_s - start_up) * process / thread / 2):.2f}x.\n")
    check = harness.check
    without = "start-up taken out"
    checks = [
        check("file_api_vs_loop", api / loop),
        check("file_api_vs_chain", api / chain_rate),
        check("command_vs_file_api", one / api),
        check("command_jobs2", two / one),
        check("command_vs_file_api", best[api_name] / (one_s - start_up), without),
        check("command_jobs2", (one_s - start_up) / (two_s - start_up), without),
        check("command_peak_rss", max(peaks.values())),
    ]
    print(harness.targets_table(checks))


if __name__ == "__main__":
    main()
