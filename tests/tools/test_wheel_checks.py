"""The rules that ./dev wheel applies to a built wheel, on inputs made to break them."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))

import check_wheel
import run_installed_tests

SUFFIX = ".cpython-313-x86_64-linux-gnu.so"
INFO = "quillforge-0.2.0.dist-info/"
GOOD_WHEEL = ["quillforge/__init__.py", "quillforge/py.typed", "_quillforge_command.py"]
GOOD_WHEEL += [f"quillforge/{module}{ext}" for module in ("_native", "_lines") for ext in (".pyi", SUFFIX)]
GOOD_WHEEL += [f"{INFO}{name}" for name in ("METADATA", "WHEEL", "RECORD", "entry_points.txt", "licenses/LICENSE")]

# fmt: off
INSTRUCTIONS = [  # (mnemonic, operands, newer than the x86-64 baseline)
    ("movdqu", "(%rdi),%xmm0", False), ("pminub", "%xmm1,%xmm0", False), ("tzcnt", "%rax,%rcx", False),
    ("movq", "%xmm0,%rax", False), ("pshufb", "%xmm1,%xmm0", True), ("pminud", "%xmm1,%xmm0", True),
    ("popcnt", "%rdi,%rax", True), ("shlx", "%rax,%rdi,%rax", True), ("vpxor", "%xmm0,%xmm0,%xmm0", True),
    ("kmovq", "%k1,%rax", True),
]
ARM_INSTRUCTIONS = [  # (mnemonic, operands, newer than ARMv8-A)
    ("ld1", "{v0.16b}, [x0]", False), ("cmeq", "v1.16b, v0.16b, v2.16b", False), ("ldaxr", "w8, [x9]", False),
    ("fcvt", "h0, s0", False), ("fadd", "d0, d0, d1", False), ("casal", "w8, w9, [x10]", True),
    ("ldaddal", "x8, x9, [x10]", True), ("swpb", "w0, w1, [x2]", True), ("crc32cx", "w0, w0, x1", True),
    ("udot", "v0.4s, v1.16b, v2.16b", True), ("ld1b", "{z0.b}, p0/z, [x0]", True), ("fadd", "h0, h1, h2", True),
    ("fmla", "v0.8h, v1.8h, v2.8h", True),
]
WHEEL_CONTENTS = [  # (a change to a good wheel's names, the problems reported)
    (lambda names: names, []),
    (lambda names: [n for n in names if not n.endswith("py.typed")], ["quillforge/py.typed: missing"]),
    (lambda names: [n for n in names if not n.endswith(SUFFIX)],
     [f"quillforge/_native{SUFFIX}: missing", f"quillforge/_lines{SUFFIX}: missing"]),
    (lambda names: [*names, "quillforge/module.cpp"], ["quillforge/module.cpp: build or tool-chain leftover"]),
    (lambda names: [*names, "quillforge/include/c++/v1/vector"],
     ["quillforge/include/c++/v1/vector: build or tool-chain leftover"]),
    (lambda names: [n for n in names if not n.endswith("_lines.pyi")], ["quillforge/_lines.pyi: missing"]),
    (lambda names: [*names, "quillforge/_extra.so"],
     [f"quillforge/_extra.so: not an extension module of quillforge for {SUFFIX}"]),
    (lambda names: [*names, "quillforge/_lines.cpython-313-aarch64-linux-gnu.so"],
     [f"quillforge/_lines.cpython-313-aarch64-linux-gnu.so: not an extension module of quillforge for {SUFFIX}"]),
    (lambda names: [*names, f"quillforge/sub/_lines{SUFFIX}"],
     [f"quillforge/sub/_lines{SUFFIX}: not an extension module of quillforge for {SUFFIX}"]),
    (lambda names: [*names, "tests/test_module.py"], ["tests/test_module.py: outside the package and its dist-info"]),
    (lambda names: [n for n in names if not n.startswith("_quillforge")], ["_quillforge_command.py: missing"]),
    (lambda names: [*names, "_quillforge_other.py"], ["_quillforge_other.py: outside the package and its dist-info"]),
]
# fmt: on


@pytest.mark.parametrize(("mnemonic", "operands", "newer"), INSTRUCTIONS)
def test_instructions_past_baseline(mnemonic: str, operands: str, newer: bool) -> None:
    assert check_wheel.is_newer_than_baseline(mnemonic, operands) is newer


@pytest.mark.parametrize(("mnemonic", "operands", "newer"), ARM_INSTRUCTIONS)
def test_instructions_past_arm_baseline(mnemonic: str, operands: str, newer: bool) -> None:
    assert check_wheel.is_newer_than_arm_baseline(mnemonic, operands) is newer


@pytest.mark.parametrize(
    ("filename", "target"),
    [
        ("quillforge-0.2.0-cp313-cp313-manylinux_2_17_x86_64.whl",
         ("manylinux_2_17_x86_64", "x86_64", ".cpython-313-x86_64-linux-gnu.so")),
        ("quillforge-0.2.0-cp315-cp315-manylinux2014_aarch64.manylinux_2_17_aarch64.whl",
         ("manylinux_2_17_aarch64", "aarch64", ".cpython-315-aarch64-linux-gnu.so")),
        ("quillforge-0.2.0-cp314-cp314-manylinux_2_28_aarch64.whl",
         ("manylinux_2_28_aarch64", "aarch64", ".cpython-314-aarch64-linux-gnu.so")),
        ("quillforge-0.2.0-cp314-cp314-win_amd64.whl", ("win_amd64", "?", ".cpython-314-?-linux-gnu.so")),
    ],
)  # fmt: skip
def test_wheel_target(filename: str, target: tuple[str, str, str]) -> None:
    assert check_wheel.wheel_target(filename) == target


@pytest.mark.parametrize(
    ("module", "exported", "problems"),
    [
        (f"quillforge/_lines{SUFFIX}", ["PyInit__lines"], 0),
        (f"quillforge/_lines{SUFFIX}", ["PyInit__native"], 1),
        (f"quillforge/_native{SUFFIX}", ["PyInit__native", "qf_scan"], 1),
    ],
)
def test_each_module_exports_its_own_init_function_only(module: str, exported: list[str], problems: int) -> None:
    assert len(check_wheel.export_problems(module, exported)) == problems


UNWIND = "libunwind::DwarfInstructions<libunwind::LocalAddressSpace, libunwind::Registers_arm64>::stepWithDwarf"


@pytest.mark.parametrize(
    ("function", "used", "allowed"),
    [(UNWIND, {"stg"}, True), (UNWIND, {"stg", "casal"}, False), ("qf::scan(char const*)", {"stg"}, False)],
)
def test_runtime_code_that_opts_in_at_run_time(function: str, used: set[str], allowed: bool) -> None:
    assert check_wheel.opts_in_at_run_time(function, used) is allowed


def test_functions_past_baseline_are_named_with_what_they_use() -> None:
    disassembly = """
0000000000001000 <qf::scan(char const*, unsigned long)>:
    1000:\tmovdqu (%rdi),%xmm0
    1004:\tlock cmpxchg %rcx,(%rdx)

0000000000001040 <qf::count_avx2(char const*, unsigned long)>:
    1040:\tvmovdqu (%rdi),%ymm0
    1048:\tvzeroupper
"""
    assert check_wheel.functions_past_baseline(disassembly) == {
        "qf::count_avx2(char const*, unsigned long)": {"vmovdqu", "vzeroupper"}
    }


def test_functions_that_opt_in_to_newer_instructions() -> None:
    source = (
        '__attribute__((target("avx2"))) static int count_avx2(const char* p) { return 0; }\n'
        '[[gnu::target("avx2")]] inline auto sum(int x) -> int { return x; }\n'
        'int late(int x) __attribute__((target("sse4.2")));\n'
        '#define QF_AVX2 __attribute__((target("avx2,bmi2")))\n'
        "QF_AVX2 std::size_t measure_avx2(std::string_view s) { return s.size(); }\n"
        "static int plain(int x) { return x; }\n#define QF_HOT __attribute__((hot))\nQF_HOT int hot(int x);"
    )
    assert check_wheel.opted_in_functions({"a.cpp": source}) == {"count_avx2", "sum", "late", "measure_avx2"}


@pytest.mark.parametrize(("change", "problems"), WHEEL_CONTENTS)
def test_wheel_contents(change, problems: list[str]) -> None:
    assert check_wheel.wheel_content_problems(change(list(GOOD_WHEEL)), "0.2.0", SUFFIX) == problems


def test_relative_links() -> None:
    markdown = (
        "see [bench/README.md](bench/README.md), ![plot](bench/results/throughput.png), "
        "[home](https://github.com/quillforge/quillforge/blob/main/bench/README.md), [errors](#errors)"
    )
    assert check_wheel.relative_links(markdown) == ["bench/README.md", "bench/results/throughput.png"]


SITE = "/venv/lib/python3.13/site-packages"
WHEEL = "Wheel-Version: 1.0\nTag: cp313-cp313-manylinux_2_17_x86_64\n"


@pytest.mark.parametrize(
    ("module", "wheel", "problems"),
    [
        (f"{SITE}/quillforge/_native{SUFFIX}", WHEEL, 0),
        (f"/work/src/quillforge/_native{SUFFIX}", WHEEL, 1),
        (f"/build/sanitize/package/quillforge/_native{SUFFIX}", "Tag: cp313-cp313-linux_x86_64\n", 2),
    ],
)
def test_the_installed_wheel_is_what_is_imported(module: str, wheel: str, problems: int) -> None:
    found = run_installed_tests.installed_wheel_problems(module, SITE, wheel, "manylinux_2_17_x86_64")
    assert len(found) == problems, found
