"""Times the wheel's module (zig, glibc 2.17, baseline x86-64) against the local
build (g++, this machine) on the benchmark workloads, in one process.

    python bench/wheel_vs_local.py --wheel DIST.whl [--lib libqf_benchlib.so] [--quick]

The local module is the installed quillforge (./dev test or pip install . builds
it with g++). The wheel's module is loaded from the wheel under another package
name: its init function is PyInit__native whatever the name, and its state lives
in its own .so file, so the two do not meet. Each call is checked to give the
same text from both before it is timed; the two are timed in alternation
(harness.interleaved), so a slow moment of a shared machine falls on
both alike. `./dev bench-wheel` builds what this needs and runs it.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import os
import statistics
import sys
import tempfile
import zipfile
from pathlib import Path
from types import ModuleType

import harness
from harness import EXAMPLE_CONFIG, EXAMPLE_LORE, FLAVOURS, MB, SIZES, Limits, Sampler, find_lib, interleaved


def load_module(path: Path, package: str) -> ModuleType:
    name = f"{package}._native"
    loader = importlib.machinery.ExtensionFileLoader(name, str(path))
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location(name, path, loader=loader))
    loader.exec_module(module)
    return module


def extract_module(wheel: Path, into: Path) -> Path:
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [n for n in archive.namelist() if n.startswith("quillforge/_native.") and n.endswith(".so")]
        return Path(archive.extract(name, into))


def calls(text: str) -> dict[str, tuple[str, tuple[str, ...]]]:
    """Benchmark name -> (function name, arguments)."""
    return {
        "generate_candidate_json": ("generate_candidate_json", (text, EXAMPLE_CONFIG)),
        "render_lore_summary_json": ("render_lore_summary_json", (text,)),
    }


def compare(
    modules: dict[str, ModuleType], rows: list[tuple[str, str, tuple[str, ...]]], budget: float
) -> list[tuple[str, float, float]]:
    """Seconds per call for each module on each row, the modules alternated."""
    for label, function, args in rows:
        results = {build: getattr(module, function)(*args) for build, module in modules.items()}
        if len(set(results.values())) != 1:
            sys.exit(f"{label}: the builds disagree")
    samplers = {
        (label, build): Sampler("f(*args)", {"f": getattr(module, function), "args": args})
        for label, function, args in rows
        for build, module in modules.items()
    }
    seconds = interleaved(samplers, budget)
    return [(label, seconds[(label, "local")], seconds[(label, "wheel")]) for label, _, _ in rows]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wheel", type=Path, required=True, help="the manylinux wheel (dist/)")
    parser.add_argument("--lib", help="libqf_benchlib.so, for the workloads (default: the newest under build/)")
    parser.add_argument("--quick", action="store_true", help="up to 1 MB only, shorter budgets")
    args = parser.parse_args()

    import quillforge._native as local

    with tempfile.TemporaryDirectory() as scratch:
        wheel_so = extract_module(args.wheel, Path(scratch))
        modules = {"local": local, "wheel": load_module(wheel_so, "quillforge_wheel")}
        print(f"local: {Path(local.__file__)}")
        print(f"wheel: {args.wheel.name}")
        print(f"before: {harness.uptime()}\n")
        budget = 0.3 if args.quick else 1.0

        small = [
            ("version()", "version", ()),
            ("schema_bundle_json()", "schema_bundle_json", ()),
            ('create_block_json("b1", "Hello")', "create_block_json", ("b1", "Hello")),
            ("generate_candidate_json(example)", "generate_candidate_json", (EXAMPLE_LORE, EXAMPLE_CONFIG)),
            ("render_lore_summary_json(example)", "render_lore_summary_json", (EXAMPLE_LORE,)),
        ]
        table = compare(modules, small, budget)
        limits = Limits(find_lib(args.lib))
        for flavour in FLAVOURS:
            for label, size in SIZES:
                if size > (MB if args.quick else 10 * MB):
                    continue
                text = limits.workload(flavour, size)[0].decode()
                rows = [
                    (f"{name}, {flavour} {label}", function, call_args)
                    for name, (function, call_args) in calls(text).items()
                ]
                table += compare(modules, rows, budget)
                print(f"  measured {flavour} {label}", file=sys.stderr, flush=True)

    print("| call | local g++ | wheel zig | wheel / local (time) |")
    print("|---|---:|---:|---:|")
    for label, local_s, wheel_s in table:
        print(f"| {label} | {format_time(local_s)} | {format_time(wheel_s)} | {wheel_s / local_s:.2f} |")
    ratios = [wheel_s / local_s for _, local_s, wheel_s in table]
    print(f"\ngeometric mean of wheel / local: {statistics.geometric_mean(ratios):.3f} over {len(ratios)} calls")
    print(f"after: {harness.uptime()}")
    print(f"machine: {harness.machine()}, pid {os.getpid()}")


def format_time(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:,.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:,.1f} us"
    return f"{seconds * 1e3:,.2f} ms"


if __name__ == "__main__":
    main()
