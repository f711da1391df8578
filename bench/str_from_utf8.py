"""The result str builder against CPython's UTF-8 decoder, in one process.

    python bench/str_from_utf8.py [--lib PATH] [--strlib PATH] [--quick]

On the mixed 10 MB lore text and the ASCII 10 MB and 100 MB ones (bench/workload.cpp), times the
builder that the binding's to_str calls (libqf_strlib.so through ctypes.PyDLL), bytes.decode('utf-8')
and PyUnicode_FromStringAndSize (ctypes.pythonapi): calls alternated, medians, MB/s of UTF-8 input,
ratios, and minor page faults per call. Then each implementation on the mixed text, what validation
costs, and the small sizes that set the builder's threshold. run.py calls `measure` and adds the
tables to its results.
"""

import argparse
import ctypes
import gc
import resource
import statistics
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

from harness import MB, Limits, Sampler, find_lib, interleaved, machine

ISAS = ["portable", "sse2", "avx2", "avx512"]


class StrLib:
    """The builder from libqf_strlib.so; PyDLL keeps the GIL held during the calls."""

    def __init__(self, path: Path) -> None:
        lib = ctypes.PyDLL(str(path))
        lib.qf_bench_str_from_utf8.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        lib.qf_bench_str_from_utf8.restype = ctypes.py_object
        lib.qf_bench_build_str.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]
        lib.qf_bench_build_str.restype = ctypes.py_object
        lib.qf_bench_str_loop.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int]
        lib.qf_bench_str_loop.restype = ctypes.c_double
        lib.qf_bench_measure_loop.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int]
        lib.qf_bench_measure_loop.restype = ctypes.c_double
        lib.qf_bench_str_kernels.restype = ctypes.c_char_p
        self.lib = lib
        self.kernels = lib.qf_bench_str_kernels().decode()


def find_strlib(given: str | None, benchlib: Path) -> Path:
    return Path(given) if given else benchlib.with_name("libqf_strlib.so")


def minor_faults(call: Callable[[], Any], calls: int) -> float:
    """Minor page faults per call, the result dropped after each."""
    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        call()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / calls


def char_prefix(data: bytes, size: int) -> bytes:
    """The longest prefix of at most `size` bytes that ends on a character boundary."""
    end = min(size, len(data))
    while end < len(data) and end > 0 and data[end] & 0xC0 == 0x80:
        end -= 1
    return data[:end]


def measure(limits: Limits, strlib: StrLib, quick: bool, budget: float) -> dict[str, Any]:
    mixed = limits.workload("mixed", 10 * MB)[0]
    ascii10 = limits.workload("ascii", 10 * MB)[0]
    texts = [("mixed 10 MB", mixed), ("ascii 10 MB", ascii10)]
    if not quick:
        texts.append(("ascii 100 MB", limits.workload("ascii", 100 * MB)[0]))
    api = ctypes.pythonapi.PyUnicode_FromStringAndSize
    api.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t]
    api.restype = ctypes.py_object
    lib = strlib.lib

    rows = []
    for label, data in texts:
        if lib.qf_bench_str_from_utf8(data, len(data)) != data.decode():
            raise AssertionError(f"the builder's str differs from bytes.decode on {label}")
        ns = {"data": data, "size": len(data), "ours": lib.qf_bench_str_from_utf8, "api": api}
        calls = {
            "bytes.decode": "data.decode('utf-8')",
            "PyUnicode_FromStringAndSize": "api(data, size)",
            "str_from_utf8": "ours(data, size)",
        }
        seconds = interleaved(
            {name: Sampler(stmt, ns) for name, stmt in calls.items()},
            budget,
            min_rounds=5 if len(data) > 50 * MB else 11,
        )
        faults = {
            "bytes.decode": minor_faults(lambda data=data: data.decode("utf-8"), 5),
            "PyUnicode_FromStringAndSize": minor_faults(lambda data=data: api(data, len(data)), 5),
            "str_from_utf8": minor_faults(lambda data=data: lib.qf_bench_str_from_utf8(data, len(data)), 5),
        }
        rows.append(
            {"text": label, "bytes": len(data), "chars": len(data.decode()), "seconds": seconds, "faults": faults}
        )
        print(f"  measured {label}", file=sys.stderr, flush=True)

    # Each implementation of the two passes on the mixed text (no threshold).
    isa_calls = {}
    for index, name in enumerate(ISAS):
        if lib.qf_bench_build_str(mixed, len(mixed), index) is not None:
            isa_calls[name] = Sampler(
                f"build(data, size, {index})", {"build": lib.qf_bench_build_str, "data": mixed, "size": len(mixed)}
            )
    isa_calls["bytes.decode"] = Sampler("data.decode('utf-8')", {"data": mixed})
    isas = interleaved(isa_calls, budget, min_rounds=7)

    # What validating costs: the first pass as it is, against the same pass
    # counting and taking the maximum only (a bench-only loop), both in
    # nanoseconds per call timed inside the library; and the whole build. Only
    # the mixed text: an ASCII one is copied in one checked pass, unmeasured.
    validation = []
    for label, data in texts[:1]:
        rounds = 20
        samples: dict[str, list[float]] = {"measure": [], "count only": [], "build": []}
        for _ in range(9 if quick else 21):
            samples["measure"].append(lib.qf_bench_measure_loop(data, len(data), 0, rounds))
            samples["count only"].append(lib.qf_bench_measure_loop(data, len(data), 1, rounds))
            samples["build"].append(lib.qf_bench_str_loop(data, len(data), 1, rounds // 4))
        validation.append(
            {
                "text": label,
                "bytes": len(data),
                "ns": {name: statistics.median(values) for name, values in samples.items()},
            }
        )

    # Small sizes: CPython's decoder against the two passes, timed in the
    # library so that the ctypes call does not drown them.
    threshold = []
    for label, source in (("ascii", ascii10), ("mixed", mixed)):
        for size in (32, 64, 128, 256, 512, 1024, 2048, 4096, 16384, 65536):
            data = char_prefix(source, size)
            rounds = max(50, 2_000_000 // size)
            samples = {0: [], 1: []}
            for _ in range(9 if quick else 21):
                for which in (0, 1):
                    samples[which].append(lib.qf_bench_str_loop(data, len(data), which, rounds))
            threshold.append(
                {
                    "text": label,
                    "bytes": len(data),
                    "cpython_ns": statistics.median(samples[0]),
                    "ours_ns": statistics.median(samples[1]),
                }
            )
    return {
        "kernels": strlib.kernels,
        "rows": rows,
        "isas": isas,
        "mixed_bytes": len(mixed),
        "validation": validation,
        "threshold": threshold,
    }


def report(result: dict[str, Any]) -> str:
    lines = [
        f"### Result str from UTF-8 (builder: {result['kernels']})\n",
        "Throughput in MB/s of UTF-8 input; ratios are times (higher: the builder is faster); "
        "faults are minor page faults per call.\n",
        "| text | bytes | chars | bytes.decode | PyUnicode_FromStringAndSize | str_from_utf8 | vs decode | "
        "vs FromStringAndSize | faults decode | faults FromStringAndSize | faults ours |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for row in result["rows"]:
        s, f = row["seconds"], row["faults"]
        rate = {name: row["bytes"] / value / 1e6 for name, value in s.items()}
        lines.append(
            f"| {row['text']} | {row['bytes']:,} | {row['chars']:,} | {rate['bytes.decode']:,.0f} | "
            f"{rate['PyUnicode_FromStringAndSize']:,.0f} | {rate['str_from_utf8']:,.0f} | "
            f"{s['bytes.decode'] / s['str_from_utf8']:.2f}x | "
            f"{s['PyUnicode_FromStringAndSize'] / s['str_from_utf8']:.2f}x | "
            f"{f['bytes.decode']:,.0f} | {f['PyUnicode_FromStringAndSize']:,.0f} | {f['str_from_utf8']:,.0f} |"
        )
    isas = result["isas"]
    lines += [
        "\nEach implementation on the mixed 10 MB text (no threshold), against bytes.decode:\n",
        "| implementation | ms | MB/s | vs decode |",
        "|---|---:|---:|---:|",
    ]
    for name, seconds in isas.items():
        lines.append(
            f"| {name} | {seconds * 1e3:.2f} | {result['mixed_bytes'] / seconds / 1e6:,.0f} | "
            f"{isas['bytes.decode'] / seconds:.2f}x |"
        )
    lines += [
        "\nThe first pass with validation against the same pass counting only, and the whole build (ms per call):\n",
        "| text | measure | count only | validation's share | whole build | measure / build |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for row in result["validation"]:
        ns = row["ns"]
        lines.append(
            f"| {row['text']} | {ns['measure'] / 1e6:.3f} | {ns['count only'] / 1e6:.3f} | "
            f"{(ns['measure'] - ns['count only']) / ns['build']:.1%} of the build | "
            f"{ns['build'] / 1e6:.3f} | {ns['measure'] / ns['build']:.1%} |"
        )
    lines += [
        "\nSmall texts: PyUnicode_FromStringAndSize against the two passes (ns per call):\n",
        "| text | bytes | CPython | two passes | CPython / two passes |",
        "|---|---:|---:|---:|---:|",
    ]
    for row in result["threshold"]:
        lines.append(
            f"| {row['text']} | {row['bytes']:,} | {row['cpython_ns']:,.0f} | {row['ours_ns']:,.0f} | "
            f"{row['cpython_ns'] / row['ours_ns']:.2f} |"
        )
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib", help="path to libqf_benchlib.so (default: the newest under build/)")
    parser.add_argument("--strlib", help="path to libqf_strlib.so (default: beside libqf_benchlib.so)")
    parser.add_argument("--quick", action="store_true", help="skip 100 MB, shorter budgets")
    args = parser.parse_args()
    benchlib = find_lib(args.lib)
    print(f"machine: {machine()}", file=sys.stderr)
    result = measure(
        Limits(benchlib), StrLib(find_strlib(args.strlib, benchlib)), args.quick, 0.3 if args.quick else 1.0
    )
    print(report(result))


if __name__ == "__main__":
    main()
