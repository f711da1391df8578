"""Times quillforge against what a Python user would otherwise use, and against
this machine's limits, in one process.

    python bench/run.py [--lib PATH] [--quick] [--out DIR]

Each figure is the median of many timed repetitions after a warm-up (timeit's
loop, garbage collection off while timing). Throughput is the UTF-8 size of the
lore text over the time of one call, in MB/s (10^6 bytes). The bare FNV-1a loop
and memcpy are timed through ctypes on the same workload in the same process;
their throughput is expressed over the same lore text size, so every ratio
compares times. Peak memory of the 100 MB workloads is measured in a fresh
subprocess per measurement (see `probe_memory`).
"""

import argparse
import ctypes
import gc
import json
import os
import re
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Annotated, Any

import harness
from harness import (
    EXAMPLE_CONFIG,
    EXAMPLE_LORE,
    FLAVOURS,
    MB,
    SIZES,
    Limits,
    LimitSampler,
    Sampler,
    check,
    find_lib,
    interleaved,
    machine,
)

HERE = harness.HERE


# ---------------------------------------------------------------- the peers


def peer_decoders() -> dict[str, Callable[[str], Any]]:
    """Each peer reading a lore text, as a user of that library would."""
    import msgspec
    import orjson
    import pydantic

    class MsBlock(msgspec.Struct):
        id: str
        content: str

    class MsLore(msgspec.Struct):
        id: str
        title: str
        blocks: list[MsBlock]

    class PyBlock(pydantic.BaseModel):
        id: str
        content: str

    class PyLore(pydantic.BaseModel):
        id: str
        title: str
        blocks: list[PyBlock]

    lore_decoder = msgspec.json.Decoder(MsLore)
    return {
        "json.loads": json.loads,
        "orjson.loads": orjson.loads,
        "msgspec (typed)": lore_decoder.decode,
        "pydantic v2": PyLore.model_validate_json,
    }


def msgspec_config_decoder() -> Callable[[str], Any]:
    import msgspec

    class MsConfig(msgspec.Struct):
        temperature: float
        max_candidates: Annotated[int, msgspec.Meta(ge=0, le=2**32 - 1)]
        seed: Annotated[int, msgspec.Meta(ge=0)]  # msgspec bounds stop at int64; its ints reach uint64

    return msgspec.json.Decoder(MsConfig).decode


# ---------------------------------------------------------------- memory


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as status:
        return int(re.search(rf"^{field}:\s+(\d+) kB", status.read(), re.M).group(1)) * 1024


def probe_memory(lib_path: str, name: str, flavour: str, size: int) -> dict[str, int]:
    """Runs in a fresh interpreter. Builds the input str and frees everything
    else. The kernel's VmHWM misses buffers that are unmapped before it is read,
    so the heap is made to keep what it takes instead: free heap pages are given
    back (malloc_trim), then malloc stops using mmap and stops returning memory
    (mallopt), and the RSS after the call, the result still held, is the peak of
    the memory the call had in use at once. Reported above the RSS just before
    the call; for a non-ASCII str it includes the UTF-8 copy that CPython caches
    inside the str object."""
    import quillforge

    interpreter = _status_kb("VmRSS")
    raw, hashed = Limits(Path(lib_path)).workload(flavour, size)
    text = raw.decode()
    utf8_size, str_size = len(raw), sys.getsizeof(text)  # before the call caches a UTF-8 copy in it
    del raw, hashed
    functions: dict[str, Callable[[str], Any]] = {
        "generate_candidate_json": lambda t: quillforge.generate_candidate_json(t, EXAMPLE_CONFIG),
        "render_lore_summary_json": quillforge.render_lore_summary_json,
    }
    if name not in functions:
        functions.update(peer_decoders())
    function = functions[name]
    gc.collect()
    gc.disable()
    libc = ctypes.CDLL(None)
    libc.malloc_trim(0)
    libc.mallopt(-4, 0)  # M_MMAP_MAX: no mmap'd chunks
    libc.mallopt(-1, 2**31 - 1)  # M_TRIM_THRESHOLD: keep freed memory
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = _status_kb("VmRSS")
    result = function(text)
    peak = max(_status_kb("VmRSS"), _status_kb("VmHWM"))
    return {
        "utf8_size": utf8_size,
        "str_size": str_size,
        "input_rss": before - interpreter,
        "peak_above_input": peak - before,
        "result_size": sys.getsizeof(result) if isinstance(result, str) else -1,
    }


def measure_memory(lib: Path, name: str, flavour: str, size: int) -> dict[str, int]:
    out = subprocess.run(
        [sys.executable, __file__, "--lib", str(lib), "--probe", name, flavour, str(size)],
        check=True,
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONHASHSEED": "0"},
    ).stdout
    return json.loads(out)


# ---------------------------------------------------------------- the run


def small_texts(budget: float) -> list[dict[str, Any]]:
    import quillforge

    decode_config = msgspec_config_decoder()
    decode_lore = peer_decoders()["msgspec (typed)"]
    # Every callable is bound to a name first, so that no attribute lookup is timed.
    ns: dict[str, Any] = {
        "version": quillforge.version,
        "schema_bundle_json": quillforge.schema_bundle_json,
        "create_block_json": quillforge.create_block_json,
        "dumps": json.dumps,
        "compact": (",", ":"),
        "generate": quillforge.generate_candidate_json,
        "summary": quillforge.render_lore_summary_json,
        "lore": EXAMPLE_LORE,
        "config": EXAMPLE_CONFIG,
        "ms_lore": decode_lore,
        "ms_config": decode_config,
        "block": {"id": "b1", "content": "Hello"},
    }
    rows = [
        ("version()", "version()"),
        ("schema_bundle_json()", "schema_bundle_json()"),
        ('create_block_json("b1", "Hello")', 'create_block_json("b1", "Hello")'),
        ("json.dumps(block, separators=(',', ':'))", "dumps(block, separators=compact)"),
        ("generate_candidate_json(example)", "generate(lore, config)"),
        ("msgspec decode of the example's two texts", "ms_lore(lore); ms_config(config)"),
        ("render_lore_summary_json(example)", "summary(lore)"),
    ]
    seconds = interleaved({name: Sampler(stmt, ns) for name, stmt in rows}, budget, min_rounds=15)
    return [{"name": name, "seconds": seconds[name]} for name, _ in rows]


def workloads(limits: Limits, lib: Path, quick: bool, budget: float) -> list[dict[str, Any]]:
    import quillforge

    peers = peer_decoders()
    results = []
    for flavour in FLAVOURS:
        for label, size in SIZES:
            if quick and size > 10 * MB:
                continue
            raw, hashed = limits.workload(flavour, size)
            text = raw.decode()
            row: dict[str, Any] = {"flavour": flavour, "label": label, "bytes": len(raw), "seconds": {}}
            # Each sampler's first call also builds the UTF-8 copy that CPython keeps inside a non-ASCII str.
            samplers: dict[str, Callable[[], float]] = {
                "generate_candidate_json": Sampler(
                    "f(text, config)", {"f": quillforge.generate_candidate_json, "text": text, "config": EXAMPLE_CONFIG}
                ),
                "render_lore_summary_json": Sampler(
                    "f(text)", {"f": quillforge.render_lore_summary_json, "text": text}
                ),
            }
            for name, decode in peers.items():
                samplers[name] = Sampler("f(text)", {"f": decode, "text": text})
            target = ctypes.create_string_buffer(len(raw))
            samplers["FNV-1a limit"] = LimitSampler(
                lambda r, hashed=hashed: limits.lib.qf_bench_fnv1a(hashed, len(hashed), 42, r), len(hashed)
            )
            samplers["memcpy"] = LimitSampler(
                lambda r, target=target, raw=raw: limits.lib.qf_bench_memcpy(target, raw, len(raw), r), len(raw)
            )
            row["seconds"] = interleaved(samplers, budget, min_rounds=3 if size >= 100 * MB else 5)
            row["hashed_bytes"] = len(hashed)
            if size == 100 * MB:
                row["memory"] = {
                    name: measure_memory(lib, name, flavour, size)
                    for name in (
                        "generate_candidate_json",
                        "render_lore_summary_json",
                        "orjson.loads",
                        "msgspec (typed)",
                    )
                }
            results.append(row)
            del raw, hashed, text, target
            gc.collect()
            print(f"  measured {flavour} {label}", file=sys.stderr, flush=True)
    return results


COLUMNS = [
    "generate_candidate_json",
    "render_lore_summary_json",
    "json.loads",
    "orjson.loads",
    "msgspec (typed)",
    "pydantic v2",
    "FNV-1a limit",
    "memcpy",
]


def mbps(row: dict[str, Any], name: str) -> float:
    return row["bytes"] / row["seconds"][name] / 1e6


def report(small: list[dict[str, Any]], rows: list[dict[str, Any]]) -> tuple[str, list[harness.Check]]:
    lines = []
    lines.append("### Small texts (time per call)\n")
    lines.append("| call | time |")
    lines.append("|---|---:|")
    for entry in small:
        lines.append(f"| `{entry['name']}` | {entry['seconds'] * 1e9:,.0f} ns |")
    lines.append("\n### Workloads (throughput in MB/s of lore text)\n")
    short = ["generate", "summary", "json", "orjson", "msgspec", "pydantic", "FNV-1a", "memcpy"]
    lines.append("| workload | bytes | " + " | ".join(short) + " |")
    lines.append("|---|---:|" + "---:|" * len(short))
    for row in rows:
        cells = [f"{mbps(row, name):,.0f}" for name in COLUMNS]
        lines.append(f"| {row['flavour']} {row['label']} | {row['bytes']:,} | " + " | ".join(cells) + " |")
    memory_rows = [row for row in rows if "memory" in row]
    if memory_rows:
        lines.append(
            "\n### Peak memory, 100 MB workloads (above the RSS just before the call; fresh process, see "
            "`probe_memory`)\n"
        )
        lines.append("| workload | call | UTF-8 input | input str object | peak above | peak / UTF-8 input |")
        lines.append("|---|---|---:|---:|---:|---:|")
        for row in memory_rows:
            for name, m in row["memory"].items():
                lines.append(
                    f"| {row['flavour']} | {name} | {m['utf8_size'] / 1e6:,.0f} MB | "
                    f"{m['str_size'] / 1e6:,.0f} MB | {m['peak_above_input'] / 1e6:,.0f} MB | "
                    f"{m['peak_above_input'] / m['utf8_size']:.2f} |"
                )

    by_name = {entry["name"]: entry["seconds"] for entry in small}
    block = by_name['create_block_json("b1", "Hello")']
    example = by_name["generate_candidate_json(example)"]
    checks = [
        check("block_ns", block * 1e9),
        check("block_vs_dumps", by_name["json.dumps(block, separators=(',', ':'))"] / block),
        check("example_ns", example * 1e9),
        check("example_vs_msgspec", by_name["msgspec decode of the example's two texts"] / example),
    ]
    for row in rows:
        where = f"{row['flavour']} {row['label']}"
        if row["label"] == "10 MB":
            summary = mbps(row, "render_lore_summary_json")
            checks.append(check("summary_vs_msgspec", summary / mbps(row, "msgspec (typed)"), where))
            checks.append(check("summary_vs_orjson", summary / mbps(row, "orjson.loads"), where))
            ratio = mbps(row, "generate_candidate_json") / mbps(row, "FNV-1a limit")
            checks.append(check(f"generate_vs_chain_{row['flavour']}", ratio, where))
        if "memory" in row and row["flavour"] == "ascii":
            m = row["memory"]["generate_candidate_json"]
            checks.append(check("peak_memory", m["peak_above_input"] / m["utf8_size"], where))
    for flavour in FLAVOURS:
        ends = {row["label"]: row for row in rows if row["flavour"] == flavour}
        if "10 MB" in ends and "100 MB" in ends:
            ratio = mbps(ends["100 MB"], "generate_candidate_json") / mbps(ends["10 MB"], "generate_candidate_json")
            checks.append(check(f"large_vs_10mb_{flavour}", ratio, flavour))
    return "\n".join(lines), checks


FLAVOUR_NAMES = {"0": "ascii", "1": "mixed", "2": "escape-heavy"}


def engine_alone(path: Path) -> dict[str, float]:
    """EngineVsChain's ratios at 10 MB from qf_core_bench's JSON output, when bench/run --core made it."""
    if not path.exists():
        return {}
    ratios = {}
    for entry in json.loads(path.read_text())["benchmarks"]:
        name = entry["name"]
        if name.startswith("BM_EngineVsChain/") and "bytes:10485760" in name:
            flavour = FLAVOUR_NAMES.get(re.search(r"flavour:(\d)", name).group(1), name)
            ratios[f"10 MB {flavour}"] = entry["ratio"]
    return ratios


def plot(rows: list[dict[str, Any]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(15, 5.5), sharey=True)
    for ax, flavour in zip(axes, FLAVOURS, strict=True):
        mine = [row for row in rows if row["flavour"] == flavour]
        for name in COLUMNS:
            style = "--" if name in ("FNV-1a limit", "memcpy") else "-"
            width = 2.5 if name in ("generate_candidate_json", "render_lore_summary_json") else 1.2
            ax.plot(
                [row["bytes"] for row in mine],
                [mbps(row, name) for row in mine],
                style,
                marker="o",
                linewidth=width,
                label=name,
            )
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(f"{flavour} lore texts")
        ax.set_xlabel("lore text size (bytes)")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("throughput (MB/s of lore text)")
    axes[1].legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), fontsize=8)
    fig.suptitle(f"quillforge vs peers and limits ({machine()})")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib", help="path to libqf_benchlib.so (default: the newest under build/)")
    parser.add_argument("--quick", action="store_true", help="skip the 100 MB workloads, shorter budgets")
    parser.add_argument("--out", default=str(HERE / "results"), help="where the table, JSON and plot go")
    parser.add_argument("--strlib", help="path to libqf_strlib.so (default: beside libqf_benchlib.so)")
    parser.add_argument("--probe", nargs=3, metavar=("NAME", "FLAVOUR", "SIZE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    lib = find_lib(args.lib)
    if args.probe:
        name, flavour, size = args.probe
        print(json.dumps(probe_memory(str(lib), name, flavour, int(size))))
        return

    import quillforge

    print(f"machine: {machine()}", file=sys.stderr)
    print(f"quillforge {quillforge.version()} from {Path(quillforge.__file__).parent}", file=sys.stderr)
    budget = 0.3 if args.quick else 1.0
    small = small_texts(budget)
    rows = workloads(Limits(lib), lib, args.quick, budget)
    text, checks = report(small, rows)
    # The result str builder against CPython's decoder (bench/str_from_utf8.py).
    import batch_cost
    import str_from_utf8
    import threads

    strs = str_from_utf8.measure(
        Limits(lib), str_from_utf8.StrLib(str_from_utf8.find_strlib(args.strlib, lib)), args.quick, budget
    )
    text += "\n\n" + str_from_utf8.report(strs)
    mixed = next(row for row in strs["rows"] if row["text"] == "mixed 10 MB")["seconds"]
    checks.append(check("str_builder_vs_decode", mixed["bytes.decode"] / mixed["str_from_utf8"]))
    # Threads (bench/threads.py): two against one on 1 MB lores, beside a control.
    scaling = threads.measure(Limits(lib), 3.0 if args.quick else 6.0)
    text += "\n\n" + threads.report(scaling)
    for row in scaling:
        if row["name"].startswith("generate_candidate_json"):
            checks.append(check("two_threads", row["two"] / row["one"], row["name"]))
    control = next(row for row in scaling if row["name"].startswith("control"))
    checks.append(
        harness.Check(
            "sha256 over 10 MB, two threads against one (not a target)", None, f"{control['two'] / control['one']:.2f}x"
        )
    )
    # The batch's own cost and --jobs (bench/batch_cost.py).
    batch = batch_cost.measure(50_000 if args.quick else 200_000)
    text += "\n\n" + batch_cost.report(batch)
    checks.append(check("batch_cpu_vs_loop", batch["cpu"]["batch"] / batch["cpu"]["loop"]))
    jobs = batch["1 MB"]["jobs"]
    checks.append(check("batch_jobs2_long", jobs["1"]["seconds"] / jobs["2"]["seconds"]))
    # The engine alone against the bare chain (qf_core_bench, run by bench/run --core).
    core = engine_alone(HERE / "results" / "core.json")
    for name, ratio in core.items():
        checks.append(
            check("engine_vs_chain_escapes" if name.endswith("escape-heavy") else "engine_vs_chain", ratio, name)
        )
    text += "\n\n### Targets\n\n" + harness.targets_table(checks)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "latest.md").write_text(f"Machine: {machine()}\n\n{text}\n")
    (out / "latest.json").write_text(
        json.dumps({"machine": machine(), "small": small, "workloads": rows, "str_from_utf8": strs}, indent=1)
    )
    plot(rows, out / "throughput.png")
    print(f"Machine: {machine()}\n")
    print(text)
    targets = [c for c in checks if c.met is not None]
    print(f"\n{sum(c.met for c in targets)} of {len(targets)} targets met; results in {out.resolve()}")


if __name__ == "__main__":
    main()
