"""The worked example and the 10 MB generate in the interpreter that runs it,
against the seeded FNV-1a chain, as one JSON line; with --table, the lines that
several interpreters wrote, as a table per interpreter.

    python bench/interpreters.py --lib PATH [--budget SECONDS]
    python bench/interpreters.py --table RESULTS.jsonl

`./dev bench-interpreters` runs it in rounds, each interpreter with its own
wheel in turn, so that a slow moment of a shared machine falls on all alike.
The chain and the call are timed in alternation in one process, so the ratio
(the chain's time over the call's, as bench/run.py computes it) is what
compares across interpreters; the absolute figures move with the machine.
"""

from __future__ import annotations

import argparse
import json
import platform
import statistics
import sys
from collections import defaultdict
from pathlib import Path


def measure(lib: Path, budget: float) -> dict[str, object]:
    import harness
    from harness import EXAMPLE_CONFIG, EXAMPLE_LORE, MB, Limits, LimitSampler, Sampler, interleaved

    import quillforge

    limits = Limits(lib)
    generate = quillforge.generate_candidate_json
    worked = Sampler("f(l, c)", {"f": generate, "l": EXAMPLE_LORE, "c": EXAMPLE_CONFIG})
    example = interleaved({"example": worked}, budget)
    result: dict[str, object] = {
        "python": platform.python_version(),
        "executable": sys.executable,
        "module": quillforge._native.__file__,
        "example_ns": example["example"] * 1e9,
    }
    for flavour in harness.FLAVOURS:
        raw, hashed = limits.workload(flavour, 10 * MB)
        text = raw.decode()
        seconds = interleaved(
            {
                "generate": Sampler("f(t, c)", {"f": generate, "t": text, "c": EXAMPLE_CONFIG}),
                "chain": LimitSampler(lambda r, h=hashed: limits.lib.qf_bench_fnv1a(h, len(h), 42, r), len(hashed)),
            },
            budget,
        )
        result[flavour] = {
            "generate_mbps": len(raw) / seconds["generate"] / 1e6,
            "chain_mbps": len(raw) / seconds["chain"] / 1e6,
            "ratio": seconds["chain"] / seconds["generate"],
        }
    return result


def table(lines: list[dict]) -> str:
    """A table per interpreter (medians over its rounds), then how far each is
    behind the best on every figure."""
    by_python: dict[str, list[dict]] = defaultdict(list)
    for line in lines:
        by_python[f"{line['python']} ({line['label']})"].append(line)
    medians: dict[str, dict[str, float]] = {}
    for name, runs in by_python.items():
        figures = {"example_ns": statistics.median(r["example_ns"] for r in runs)}
        for flavour in ("ascii", "mixed"):
            for key in ("generate_mbps", "chain_mbps", "ratio"):
                figures[f"{flavour}_{key}"] = statistics.median(r[flavour][key] for r in runs)
        medians[name] = figures
    out = []
    for name, m in medians.items():
        out += [
            f"CPython {name}, median of {len(by_python[name])} rounds",
            "",
            "| figure | ascii 10 MB | mixed 10 MB |",
            "|---|---:|---:|",
            f"| generate_candidate_json, MB/s | {m['ascii_generate_mbps']:,.0f} | {m['mixed_generate_mbps']:,.0f} |",
            f"| seeded FNV-1a chain, MB/s | {m['ascii_chain_mbps']:,.0f} | {m['mixed_chain_mbps']:,.0f} |",
            f"| generate vs the chain | {m['ascii_ratio']:.2f} | {m['mixed_ratio']:.2f} |",
            f"| worked example, ns per call | {m['example_ns']:,.0f} | |",
            "",
        ]
    best_ratio = {f: max(m[f"{f}_ratio"] for m in medians.values()) for f in ("ascii", "mixed")}
    best_example = min(m["example_ns"] for m in medians.values())
    out += ["| interpreter | behind the best: ascii ratio | mixed ratio | worked example |", "|---|---:|---:|---:|"]
    for name, m in medians.items():
        behind = [1 - m[f"{f}_ratio"] / best_ratio[f] for f in ("ascii", "mixed")]
        behind.append(1 - best_example / m["example_ns"])
        out.append(f"| {name} | " + " | ".join(f"{b:.1%}" for b in behind) + " |")
    return "\n".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib", type=Path, help="libqf_benchlib.so (the FNV-1a chain)")
    parser.add_argument("--budget", type=float, default=1.0, help="seconds of samples per figure")
    parser.add_argument("--label", default="", help="where the interpreter comes from, for the table")
    parser.add_argument("--table", type=Path, help="print the tables of a file of result lines instead")
    args = parser.parse_args()
    if args.table:
        print(table([json.loads(line) for line in args.table.read_text().splitlines() if line.startswith("{")]))
        return 0
    if not args.lib:
        parser.error("--lib is needed to measure")
    print(json.dumps({"label": args.label, **measure(args.lib, args.budget)}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
