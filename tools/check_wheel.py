#!/usr/bin/env python3
"""Checks a built manylinux wheel (x86-64 or aarch64) and the sdist before
anyone installs them.

    check_wheel.py WHEEL SDIST --module-build BUILD_FOLDER

Runs auditwheel, twine and check-wheel-contents (from this interpreter's
environment), then checks what those do not: the wheel holds the package, its
extension modules and the command's entry module and nothing else, each module
exports only its own init function and needs no C++ runtime, its machine code
is baseline for its architecture (x86-64 with SSE2, ARMv8-A) outside the functions that opt in with
a target attribute, and the long description has no relative links (dead on a
package index). BUILD_FOLDER holds the unstripped modules of the build tree,
whose symbols name the functions; their code must be the code that the wheel
ships. The wheel's platform tag says which architecture and interpreter it is
for. Exits 1 on the first failed group of checks.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
TOOLS = Path(sys.executable).parent
PACKAGE = "quillforge"
# The command's entry point, the one module outside the package.
COMMAND_MODULE = "_quillforge_command.py"
REQUIRED = ("__init__.py", "py.typed", "_native.pyi", "_lines.pyi")
ARCHITECTURES = ("x86_64", "aarch64")
# Build and tool-chain leftovers that have no business in an installed package.
FORBIDDEN_SUFFIXES = {
    ".c",
    ".cc",
    ".cpp",
    ".cxx",
    ".h",
    ".hh",
    ".hpp",
    ".inc",
    ".in",
    ".a",
    ".o",
    ".obj",
    ".lib",
    ".cmake",
    ".pyc",
    ".map",
    ".ninja",
    ".log",
}
FORBIDDEN_PARTS = {"__pycache__", "CMakeFiles", "CMakeLists.txt", "tests", "include", "zig"}
# The libraries every manylinux system has; the C++ runtime is not one of them
# here on purpose: the module carries its own, statically.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1"}
LOADERS = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1"}
# The binutils that read each architecture's code (the host's own for x86-64).
BINUTILS_PREFIX = {"x86_64": "", "aarch64": "aarch64-linux-gnu-"}

# Instructions past baseline x86-64 (SSE2): SSE3 to SSE4.2, POPCNT, LZCNT,
# BMI1/2, MOVBE, ADX. AVX and later are recognised by their VEX/EVEX "v" forms
# and their registers. TZCNT is left out: it is REP BSF, which baseline code
# uses on purpose (older CPUs run it as BSF).
NEWER_WORDS = """
    addsubpd addsubps haddpd haddps hsubpd hsubps lddqu movddup movshdup movsldup
    pshufb palignr pabsb pabsw pabsd phaddw phaddd phaddsw phsubw phsubd phsubsw pmaddubsw pmulhrsw
    psignb psignw psignd
    blendpd blendps blendvpd blendvps pblendw pblendvb ptest pminsb pminsd pminuw pminud pmaxsb pmaxsd
    pmaxuw pmaxud pmovsxbw pmovsxbd pmovsxbq pmovsxwd pmovsxwq pmovsxdq pmovzxbw pmovzxbd pmovzxbq
    pmovzxwd pmovzxwq pmovzxdq pinsrb pinsrd pinsrq pextrb pextrd pextrq pmulld pmuldq pcmpeqq packusdw
    roundsd roundss roundpd roundps dppd dpps insertps extractps mpsadbw phminposuw movntdqa
    pcmpestri pcmpestrm pcmpistri pcmpistrm pcmpgtq crc32 crc32b crc32w crc32l crc32q
    popcnt lzcnt andn bextr blsi blsmsk blsr bzhi mulx pdep pext rorx sarx shlx shrx movbe adcx adox
"""
NEWER = set(NEWER_WORDS.split())
WIDE_REGISTER = re.compile(r"%(?:[yz]mm\d+|k[0-7])\b")
# System instructions that also start with "v" but are not vector code.
NOT_VECTOR = {
    "verr",
    "verw",
    "vmcall",
    "vmlaunch",
    "vmresume",
    "vmxoff",
    "vmxon",
    "vmread",
    "vmwrite",
    "vmptrld",
    "vmptrst",
    "vmclear",
    "vmfunc",
}
INSTRUCTION = re.compile(
    r"^\s*[0-9a-f]+:\t(?:(?:data16|lock|rep[nez]*|notrack|bnd|cs|ds|ss|es|fs|gs)\s+)*"
    r"([a-z][a-z0-9.]*)\s*(.*)$"
)
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")


def is_newer_than_baseline(mnemonic: str, operands: str) -> bool:
    """Whether one disassembled instruction (AT&T syntax) needs more than SSE2."""
    base = mnemonic.split(".")[0]
    if base in NEWER or WIDE_REGISTER.search(operands):
        return True
    return base.startswith("v") and base not in NOT_VECTOR


# Instructions past ARMv8-A with Advanced SIMD (which every ARMv8-A core has):
# CRC32, the crypto, dot-product, matrix and BF16 extensions, RCpc, JSCVT,
# FRINTnn, MTE and pointer authentication outside the hint space; the LSE
# atomics by their families, SVE by its registers, FP16 arithmetic by its
# half-precision operands (conversions to and from half are baseline).
NEWER_ARM_WORDS = """
    crc32b crc32h crc32w crc32x crc32cb crc32ch crc32cw crc32cx
    aese aesd aesmc aesimc sha1c sha1h sha1m sha1p sha1su0 sha1su1 sha256h sha256h2 sha256su0 sha256su1
    sha512h sha512h2 sha512su0 sha512su1 sm3ss1 sm3tt1a sm3tt1b sm3tt2a sm3tt2b sm3partw1 sm3partw2 sm4e sm4ekey
    eor3 rax1 xar bcax sdot udot usdot sudot smmla ummla usmmla bfdot bfmmla bfmlalb bfmlalt bfcvt bfcvtn bfcvtn2
    ldapr ldaprb ldaprh ldapur ldapurb ldapurh ldapursb ldapursh ldapursw fjcvtzs frint32x frint32z frint64x frint64z
    irg gmi stg stzg st2g stz2g ldg subp subps pacia pacib pacda pacdb autia autib autda autdb
    retaa retab braa brab blraa blrab ldraa ldrab
"""
NEWER_ARM = set(NEWER_ARM_WORDS.split())
LSE_ATOMIC = re.compile(
    r"(?:casp?|swp|ld(?:add|clr|eor|set|smax|smin|umax|umin)|st(?:add|clr|eor|set|smax|smin|umax|umin))(?:a|al|l)?[bh]?"
)
SVE_REGISTER = re.compile(r"\b[zp]\d+(?:\.[bhsdq])?\b")
HALF_OPERAND = re.compile(r"\bh\d+\b|\.\d*h\b")


def is_newer_than_arm_baseline(mnemonic: str, operands: str) -> bool:
    """Whether one disassembled instruction needs more than ARMv8-A."""
    if mnemonic in NEWER_ARM or LSE_ATOMIC.fullmatch(mnemonic) or SVE_REGISTER.search(operands):
        return True
    return mnemonic.startswith("f") and not mnemonic.startswith("fcvt") and bool(HALF_OPERAND.search(operands))


BASELINE = {"x86_64": is_newer_than_baseline, "aarch64": is_newer_than_arm_baseline}

# Tool-chain runtime code (zig's static libc++ and libunwind) that opts in at
# run time: the unwinder writes memory tags (MTE) only for a frame whose unwind
# entry says it is tagged, which only code built for MTE has.
RUNTIME_OPT_INS = {"libunwind::DwarfInstructions<": {"stg"}}


def opts_in_at_run_time(function: str, used: set[str]) -> bool:
    return any(function.startswith(prefix) and used <= allowed for prefix, allowed in RUNTIME_OPT_INS.items())


def functions_past_baseline(disassembly: str, architecture: str = "x86_64") -> dict[str, set[str]]:
    """Function name -> the newer-than-baseline mnemonics it uses, from objdump -d -C."""
    newer = BASELINE[architecture]
    found: dict[str, set[str]] = {}
    function = "?"
    for line in disassembly.splitlines():
        start = FUNCTION.match(line)
        if start:
            function = start.group(1)
            continue
        instruction = INSTRUCTION.match(line)
        if instruction and newer(*instruction.groups()):
            found.setdefault(function, set()).add(instruction.group(1))
    return found


TARGET_ATTRIBUTE = re.compile(r"__attribute__\s*\(\(\s*target(?:_clones)?\s*\(|\[\[\s*gnu::target(?:_clones)?\s*\(")
MACRO = re.compile(r"^\s*#\s*define\s+([A-Za-z_]\w*)\s+(.*)$", re.MULTILINE)
IDENTIFIER = re.compile(r"[A-Za-z_]\w*")


def opted_in_functions(sources: dict[str, str]) -> set[str]:
    """Names of the functions that ask for newer instructions with a target
    attribute, written out or through a macro that expands to one."""
    markers = [TARGET_ATTRIBUTE]
    for text in sources.values():
        for name, body in MACRO.findall(text):
            if TARGET_ATTRIBUTE.search(body):
                markers.append(re.compile(rf"\b{name}\b"))
    names: set[str] = set()
    for text in sources.values():
        code = MACRO.sub("", text)
        for marker in markers:
            for match in marker.finditer(code):
                names.update(_declared_name(code, match.start(), match.end()))
    return names


def _declared_name(code: str, start: int, end: int) -> list[str]:
    """The function that the attribute (or macro) between start and end
    belongs to: the declarator after it (`ATTR int f(...)`), else the one
    before it (`int f(...) ATTR;`)."""
    head = re.match(r"[^;{}()]*?([A-Za-z_]\w*)\s*\(", code[_attribute_end(code, start, end) :])
    if head:
        return [head.group(1)]
    before = code[:start].rstrip()
    depth = 0
    for i in range(len(before) - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(before[i], 0)
        if depth == 0:
            return IDENTIFIER.findall(before[:i])[-1:] if before.endswith(")") else []
    return []


def _attribute_end(code: str, start: int, end: int) -> int:
    """Where a written-out attribute starting at start closes; a macro's name ends at end."""
    if code.startswith("[[", start):
        return code.index("]]", end) + 2
    if not code.startswith("__attribute__", start):
        return end
    depth = 0
    for i in range(code.index("(", start), len(code)):
        depth += {"(": 1, ")": -1}.get(code[i], 0)
        if depth == 0:
            return i + 1
    return len(code)


def wheel_content_problems(names: list[str], version: str, ext_suffix: str) -> list[str]:
    """What is missing from or does not belong in a wheel holding these files."""
    problems = []
    info = f"{PACKAGE}-{version}.dist-info/"
    module = re.compile(rf"{PACKAGE}/_?[a-z][a-z0-9_]*{re.escape(ext_suffix)}")
    for name in names:
        parts = name.split("/")
        if not (name.startswith(PACKAGE + "/") or name.startswith(info) or name == COMMAND_MODULE):
            problems.append(f"{name}: outside the package and its dist-info")
        elif FORBIDDEN_PARTS.intersection(parts) or Path(name).suffix in FORBIDDEN_SUFFIXES:
            problems.append(f"{name}: build or tool-chain leftover")
        elif name.endswith((".so", ".pyd", ".dylib")) and not module.fullmatch(name):
            problems.append(f"{name}: not an extension module of {PACKAGE} for {ext_suffix}")
    required = [f"{PACKAGE}/{name}" for name in REQUIRED]
    required += [
        f"{PACKAGE}/_native{ext_suffix}",
        f"{PACKAGE}/_lines{ext_suffix}",
        f"{info}licenses/LICENSE",
        f"{info}METADATA",
        f"{info}entry_points.txt",
        COMMAND_MODULE,
    ]
    for name in required:
        if name not in names:
            problems.append(f"{name}: missing")
    return problems


def wheel_target(filename: str) -> tuple[str, str, str]:
    """(platform tag, architecture, extension suffix) of a CPython wheel's file name."""
    python, _abi, platforms = Path(filename).stem.split("-")[2:5]
    tags = platforms.split(".")
    platform = next((tag for tag in tags if tag.startswith("manylinux_2_17_")), tags[0])
    architecture = next((arch for arch in ARCHITECTURES if platform.endswith("_" + arch)), "?")
    return platform, architecture, f".cpython-{python.removeprefix('cp')}-{architecture}-linux-gnu.so"


def export_problems(module: str, exported: list[str]) -> list[str]:
    """A module exports its own init function and nothing else."""
    name = module.split("/")[-1].split(".")[0]
    return [] if exported == [f"PyInit_{name}"] else [f"{module} exports {exported}, not PyInit_{name} alone"]


MARKDOWN_LINK = re.compile(r"\]\(\s*<?([^)\s>]+)")


def relative_links(markdown: str) -> list[str]:
    """Links that resolve only next to the source (not on the package index)."""
    return [link for link in MARKDOWN_LINK.findall(markdown) if not re.match(r"(https?:|mailto:|#)", link)]


def run(*command: str | Path) -> str:
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(map(str, command))} failed:\n{result.stdout}{result.stderr}")
    return result.stdout + result.stderr


def text_section(library: Path, binutils: str) -> bytes:
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "text"
        run(binutils + "objcopy", "-O", "binary", "--only-section=.text", library, out)
        return out.read_bytes()


def report(title: str, problems: list[str]) -> None:
    if problems:
        print(f"FAILED  {title}")
        for problem in problems:
            print(f"    {problem}")
        sys.exit(1)
    print(f"ok      {title}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("wheel", type=Path)
    parser.add_argument("sdist", type=Path)
    parser.add_argument("--module-build", type=Path, required=True, help="the build tree's folder of the modules")
    args = parser.parse_args()
    target_tag, architecture, ext_suffix = wheel_target(args.wheel.name)
    if architecture == "?" or not target_tag.startswith("manylinux_2_17_"):
        sys.exit(f"{args.wheel.name}: not a manylinux_2_17 wheel for {' or '.join(ARCHITECTURES)}")
    binutils = BINUTILS_PREFIX[architecture]

    shown = run(TOOLS / "auditwheel", "show", args.wheel)
    print(shown.strip() + "\n")
    tag = re.search(r'platform\s+tag:\s+"([^"]+)"', " ".join(shown.split()))
    report(
        f"auditwheel: consistent with {target_tag}",
        [] if tag and tag.group(1) == target_tag else [f"auditwheel says {tag.group(1) if tag else '?'}"],
    )
    run(TOOLS / "twine", "check", "--strict", args.wheel, args.sdist)
    report("twine check --strict (wheel and sdist)", [])
    # W102: the extension module is built, so it is not in the package's source tree.
    run(
        TOOLS / "check-wheel-contents",
        "--no-config",
        "--toplevel",
        f"{PACKAGE},{COMMAND_MODULE}",
        "--package",
        ROOT / "src" / PACKAGE,
        "--package",
        ROOT / "src" / COMMAND_MODULE,
        "--ignore",
        "W102",
        args.wheel,
    )
    report("check-wheel-contents", [])

    with zipfile.ZipFile(args.wheel) as wheel:
        names = [name for name in wheel.namelist() if not name.endswith("/")]
        version = args.wheel.name.split("-")[1]
        info = f"{PACKAGE}-{version}.dist-info/"
        metadata = wheel.read(info + "METADATA").decode()
        report(
            f"wheel contents: {len(names)} files, the package, its stubs and py.typed, its modules, no leftovers",
            wheel_content_problems(names, version, ext_suffix),
        )
        modules = [name for name in names if name.endswith(ext_suffix)]
        with tempfile.TemporaryDirectory() as scratch:
            shipped = {name: Path(wheel.extract(name, scratch)) for name in modules}
            exports = {
                name: [
                    line.split()[0]
                    for line in run(binutils + "nm", "-D", "--defined-only", "--format=posix", path).splitlines()
                ]
                for name, path in shipped.items()
            }
            needed = {
                name: re.findall(r"\(NEEDED\).*\[(.+)\]", run("readelf", "-d", path)) for name, path in shipped.items()
            }
            texts = {name: text_section(path, binutils) for name, path in shipped.items()}
    header, _, description = metadata.partition("\n\n")
    fields = dict(line.split(": ", 1) for line in header.splitlines() if ": " in line)
    report(
        "metadata 2.4 with a license expression; no relative link in the long description",
        [
            f"{key}: {fields.get(key)!r}, expected {want!r}"
            for key, want in (("Metadata-Version", "2.4"), ("License-Expression", "MIT"), ("License-File", "LICENSE"))
            if fields.get(key) != want
        ]
        + [f"relative link in the long description: {link}" for link in relative_links(description)],
    )
    report(
        "exports: each module its own PyInit function only (nm -D)",
        [problem for name, exported in exports.items() for problem in export_problems(name, exported)],
    )
    allowed_libraries = SYSTEM_LIBRARIES | {LOADERS[architecture]}
    report(
        "needs only the system's C libraries (readelf -d), no C++ runtime",
        [
            f"{name} needs {library}"
            for name, libraries in needed.items()
            for library in libraries
            if library not in allowed_libraries
        ],
    )

    built = {name: args.module_build / Path(name).name for name in modules}
    report(
        "the build tree's modules have the code the wheel ships (.text identical)",
        [
            f"{path} differs or is missing"
            for name, path in built.items()
            if not path.exists() or text_section(path, binutils) != texts[name]
        ],
    )
    sources = {
        str(path): path.read_text(encoding="utf-8", errors="replace")
        for folder in ("src", "include")
        for path in (ROOT / folder).rglob("*.[ch]pp")
    }
    allowed = opted_in_functions(sources)
    past: dict[str, set[str]] = {}
    for path in built.values():
        disassembly = run(binutils + "objdump", "-d", "-C", "--no-show-raw-insn", path)
        past.update(functions_past_baseline(disassembly, architecture))
    strays = {
        function: used
        for function, used in past.items()
        if not any(re.search(rf"\b{re.escape(name)}\b", function) for name in allowed)
        and not opts_in_at_run_time(function, used)
    }
    report(
        f"baseline {architecture}: {len(past)} function(s) use newer instructions, all of them opted in "
        f"({', '.join(sorted(allowed)) or 'none in the sources'})",
        [f"{function}: {' '.join(sorted(used))}" for function, used in sorted(strays.items())],
    )


if __name__ == "__main__":
    main()
