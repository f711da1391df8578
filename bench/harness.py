"""What every benchmark runner here shares: the limits library, the samplers,
the machine's description, the worked example and the targets.

Each runner imports it as `import harness` (the runners are scripts in this
folder, which Python puts first on the path), never one runner from another:
a runner started as a script and imported again by another would exist twice,
with two copies of every class.
"""

from __future__ import annotations

import contextlib
import ctypes
import gc
import logging
import os
import platform
import re
import statistics
import subprocess
import sys
import time
import timeit
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple

if TYPE_CHECKING:
    import distributed

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
KB, MB = 1 << 10, 1 << 20
SIZES = [("1 KB", KB), ("1 MB", MB), ("10 MB", 10 * MB), ("100 MB", 100 * MB)]
FLAVOURS = ["ascii", "mixed"]

# The worked example (as the installed package ships it: `quillforge demo` runs
# it) and the small lores of a batch, as the tests have them.
sys.path.insert(0, str(ROOT / "tests" / "python"))
import support  # noqa: E402

EXAMPLE_LORE, EXAMPLE_CONFIG = support.LORE, support.CONFIG
lore_line, lore_lines = support.lore_line, support.lore_lines


# ---------------------------------------------------------------- the targets

# Every target of the benchmarks, once: what is compared, how, and the bound.
# A runner measures a figure and hands it to `check` under the target's key.


class Target(NamedTuple):
    what: str
    op: str  # ">=", ">", "<=" or "<": the figure against the bound
    bound: float
    unit: str = ""  # after the bound and the figure: "x", " ns", " MB"
    digits: int = 2  # of the figure shown


TARGETS: dict[str, Target] = {
    # bench/run.py: small calls, workloads, memory
    "block_ns": Target('create_block_json("b1", "Hello")', "<=", 80, " ns", 0),
    "block_vs_dumps": Target("create_block_json vs json.dumps", ">=", 25, "x", 1),
    "example_ns": Target("generate_candidate_json(example)", "<=", 300, " ns", 0),
    "example_vs_msgspec": Target("generate_candidate_json(example) vs msgspec's two typed decodes", ">=", 2, "x"),
    "summary_vs_msgspec": Target("summary vs msgspec", ">=", 1.5, "x"),
    "summary_vs_orjson": Target("summary vs orjson", ">=", 3, "x"),
    "generate_vs_chain_ascii": Target("generate vs FNV-1a limit", ">=", 0.9),
    "generate_vs_chain_mixed": Target("generate vs FNV-1a limit", ">=", 0.5),
    "peak_memory": Target("peak memory, generate_candidate_json, times the input", "<=", 1.0, "x"),
    "large_vs_10mb_ascii": Target("generate, 100 MB per byte against 10 MB", ">=", 0.95),
    "large_vs_10mb_mixed": Target("generate, 100 MB per byte against 10 MB", ">=", 0.85),
    # bench/str_from_utf8.py, bench/threads.py, bench/batch_cost.py (run by bench/run.py)
    "str_builder_vs_decode": Target("result str builder vs bytes.decode, mixed 10 MB", ">=", 3, "x"),
    "two_threads": Target("two threads vs one", ">=", 1.8, "x"),
    "batch_cpu_vs_loop": Target("batch --jobs 1 CPU vs a plain loop's", "<=", 1.15, "x"),
    "batch_jobs2_long": Target("batch --jobs 2 vs --jobs 1, 1 MB lores", ">", 1, "x"),
    # bench/run --core (qf_core_bench)
    "engine_vs_chain": Target("engine alone vs the FNV-1a chain", ">=", 0.95),
    "engine_vs_chain_escapes": Target("engine alone vs the FNV-1a chain", ">=", 0.6),
    # bench/lines.py: a corpus of small lores
    "file_api_vs_loop": Target("file API vs the plain loop", ">=", 4, "x"),
    "file_api_vs_chain": Target("file API vs the chain", ">=", 0.35),
    "command_vs_file_api": Target("command --jobs 1 vs the file API", ">=", 0.8),
    "command_jobs2": Target("command --jobs 2 vs --jobs 1", ">=", 1.7, "x"),
    "command_peak_rss": Target("command peak RSS on 1 GB", "<", 100, " MB", 0),
    # bench/scale_out.py
    "dask_two_vs_jobs1": Target("Dask, 2 workers vs --jobs 1", ">=", 1.6, "x"),
    "dask_one_vs_jobs2": Target("Dask, 1 worker vs --jobs 2", ">=", 1, "x"),
}

_MET: dict[str, Callable[[float, float], bool]] = {
    ">=": lambda a, b: a >= b,
    ">": lambda a, b: a > b,
    "<=": lambda a, b: a <= b,
    "<": lambda a, b: a < b,
}


class Check(NamedTuple):
    title: str
    met: bool | None  # None: shown for comparison, not a target
    figure: str


def check(key: str, figure: float, where: str = "") -> Check:
    """The target `key` against a measured figure; `where` names the workload."""
    target = TARGETS[key]
    title = f"{target.what} {target.op} {target.bound:g}{target.unit}" + (f", {where}" if where else "")
    return Check(title, _MET[target.op](figure, target.bound), f"{figure:.{target.digits}f}{target.unit}")


def targets_table(checks: Iterable[Check]) -> str:
    rows = [
        f"| {c.title} | {c.figure} | {'(control)' if c.met is None else 'yes' if c.met else 'NO'} |" for c in checks
    ]
    return "| target | figure | met |\n|---|---:|---|\n" + "\n".join(rows)


# ---------------------------------------------------------------- the limits library


class Limits:
    """The workload generator and the bare loops, from libqf_benchlib.so."""

    def __init__(self, path: Path) -> None:
        lib = ctypes.CDLL(str(path))
        size_p = ctypes.POINTER(ctypes.c_size_t)
        char_pp = ctypes.POINTER(ctypes.c_void_p)
        lib.qf_bench_workload.argtypes = [ctypes.c_int, ctypes.c_size_t, char_pp, size_p, char_pp, size_p]
        lib.qf_bench_workload.restype = ctypes.c_int
        lib.qf_bench_free.argtypes = [ctypes.c_void_p]
        lib.qf_bench_fnv1a.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint64, ctypes.c_int]
        lib.qf_bench_fnv1a.restype = ctypes.c_uint64
        lib.qf_bench_memcpy.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]
        self.lib = lib

    def workload(self, flavour: str, size: int) -> tuple[bytes, bytes]:
        """The lore's JSON text and the bytes the candidate hash reads."""
        text, text_size = ctypes.c_void_p(), ctypes.c_size_t()
        hashed, hashed_size = ctypes.c_void_p(), ctypes.c_size_t()
        if (
            self.lib.qf_bench_workload(
                FLAVOURS.index(flavour),
                size,
                ctypes.byref(text),
                ctypes.byref(text_size),
                ctypes.byref(hashed),
                ctypes.byref(hashed_size),
            )
            != 0
        ):
            raise MemoryError("workload")
        try:
            return ctypes.string_at(text, text_size.value), ctypes.string_at(hashed, hashed_size.value)
        finally:
            self.lib.qf_bench_free(text)
            self.lib.qf_bench_free(hashed)

    def fnv1a(self, data: bytes, rounds: int = 1) -> int:
        """The seeded FNV-1a chain over `data`, `rounds` times."""
        return int(self.lib.qf_bench_fnv1a(data, len(data), 42, rounds))


def find_lib(given: str | Path | None) -> Path:
    if given:
        return Path(given)
    for candidate in sorted(ROOT.glob("build/*/bench/libqf_benchlib.so"), key=lambda p: p.stat().st_mtime):
        found = candidate
    try:
        return found
    except NameError:
        sys.exit("libqf_benchlib.so not found: build with -DQF_BUILD_BENCHMARKS=ON or pass --lib (bench/run does both)")


# ---------------------------------------------------------------- timing


class Sampler:
    """One sample of a statement: `number` calls (at least 20 ms in all) timed
    together, in seconds per call."""

    def __init__(self, stmt: str, namespace: dict[str, Any]) -> None:
        self.timer = timeit.Timer(stmt, globals=namespace)
        gc.collect()
        warm = self.timer.timeit(1)  # also builds what a first call caches
        self.number = max(1, int(0.02 / warm)) if warm < 0.02 else 1

    def __call__(self) -> float:
        seconds = self.timer.timeit(self.number) / self.number
        if self.number == 1:
            gc.collect()
        return seconds


class LimitSampler:
    """One sample of a bare C++ loop that runs `rounds` passes in one call."""

    def __init__(self, run: Callable[[int], Any], size: int) -> None:
        self.run = run
        self.rounds = max(1, (4 * MB) // max(size, 1))

    def __call__(self) -> float:
        start = time.perf_counter()
        self.run(self.rounds)
        return (time.perf_counter() - start) / self.rounds


def interleaved(samplers: dict[Any, Callable[[], float]], budget: float, min_rounds: int = 5) -> dict[Any, float]:
    """Median seconds per call of each sampler, taking one sample of each in
    turn, round after round, so that a slow moment of a shared machine falls on
    all of them alike and the ratios stay fair."""
    samples: dict[Any, list[float]] = {name: [] for name in samplers}
    started = time.perf_counter()
    rounds = 0
    while rounds < min_rounds or (time.perf_counter() - started < budget * len(samplers) and rounds < 200):
        for name, sample in samplers.items():
            samples[name].append(sample())
        rounds += 1
    return {name: statistics.median(values) for name, values in samples.items()}


# ---------------------------------------------------------------- the machine


def dask_cluster(stack: contextlib.ExitStack, workers: int) -> distributed.Client:
    """A client of a local Dask cluster of `workers` single-threaded worker
    processes, on 127.0.0.1 only, both closed with `stack`."""
    import distributed  # only the runners that time Dask need it

    local = stack.enter_context(
        distributed.LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            silence_logs=logging.ERROR,
            dashboard_address=None,
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        )
    )
    return stack.enter_context(distributed.Client(local, set_as_default=False))


def machine() -> str:
    try:
        model = re.search(r"^model name\s*:\s*(.+)$", Path("/proc/cpuinfo").read_text(), re.M).group(1)  # type: ignore[union-attr]
    except (OSError, AttributeError):
        model = platform.processor() or platform.machine()
    return f"{model}, {os.cpu_count()} cores, Python {platform.python_version()}"


def cpu_name() -> str:
    """The CPU as lscpu names it, with the widest vector instructions it has."""
    found = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    fields = dict(line.split(":", 1) for line in found.splitlines() if ":" in line)
    flags = fields.get("Flags", "")
    vectors = "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "SSE2"
    return f"{fields.get('Model name', '?').strip()}, {fields.get('CPU(s)', '?').strip()} CPUs, {vectors}"


def uptime() -> str:
    """The load average: other work on the machine moves the figures."""
    return subprocess.run(["uptime"], capture_output=True, text=True, check=False).stdout.strip()


# Runs `quillforge` (its arguments after -c's) and prints the process's peak RSS
# in KB last on standard error. The peak is read by the command's own process: a
# child's ru_maxrss keeps the high-water mark of the address space it replaced at
# exec, the parent's.
PEAK_OF_THE_COMMAND = """
import sys
from quillforge.cli import main
code = main(sys.argv[1:])
with open("/proc/self/status") as status:
    print(next(line for line in status if line.startswith("VmHWM:")).split()[1], file=sys.stderr)
sys.exit(code)
"""
