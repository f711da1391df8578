"""What several test modules share: the worked example, the small lores of a
batch, and a way to run the command. The benchmarks and tools/soak_batch.py
make their small lores here too."""

from __future__ import annotations

import fcntl
import json
import os
import pty
import random
import struct
import subprocess
import sys
import termios
import time
from collections.abc import Mapping
from importlib import resources

import pytest

from quillforge import _native
from quillforge._native import generate_candidate_json

# The worked example: its lore and config as the package ships them (what
# `quillforge demo` runs and the benchmarks time), and what the engine answers.
_EXAMPLES = resources.files("quillforge") / "data" / "examples"
LORE = (_EXAMPLES / "lore.json").read_text(encoding="utf-8").strip()
CONFIG = (_EXAMPLES / "config.json").read_text(encoding="utf-8").strip()
CANDIDATE = (
    '{"id":"candidate-tide-lore-42","block":{"id":"Tide Lore:hybrid","content":"hello world second"},'
    '"score":0.121873,"rationale":"Hybridized 2 block(s) from \'Tides\' with seed 42."}'
)
SUMMARY = "Tides contains 2 block(s) and 3 word(s)."
# What the engine says of the line "[]".
EMPTY_ARRAY = "serialization failed: invalid length 0, expected struct NarrativeLore with 3 elements at line 1 column 2"
# Tests that run out of memory by limiting the address space skip under ASan, which reserves far more.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
# ./dev check runs the ARM64 wheels under qemu-user and says so with QF_EMULATED=1.
# The emulator maps the program's memory itself, so ulimit -v and RLIMIT_AS do not
# bound its allocations and no out-of-memory path can be reached there.
needs_native_machine = pytest.mark.skipif(
    os.environ.get("QF_EMULATED") == "1",
    reason="needs a native machine: under qemu-user, address-space limits do not bound the emulated program",
)
# The three functions that take arguments, as the binding tests call them.
BIND, GENERATE, RENDER = _native.create_block_json, _native.generate_candidate_json, _native.render_lore_summary_json
# What trimming removes: the Unicode white space.
WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


def run_cli(
    *args: str,
    stdin: str | bytes = b"",
    env: Mapping[str, str] | None = None,
    timeout: float = 300,
    **options: object,
) -> subprocess.CompletedProcess[str]:
    """`python -m quillforge ARGS`, its output decoded."""
    data = stdin.encode() if isinstance(stdin, str) else stdin
    completed = subprocess.run(
        [sys.executable, "-m", "quillforge", *args],
        input=data,
        capture_output=True,
        timeout=timeout,
        env=None if env is None else {**os.environ, **env},
        **options,  # type: ignore[call-overload]
    )
    return subprocess.CompletedProcess(
        completed.args, completed.returncode, completed.stdout.decode(), completed.stderr.decode()
    )


def lore_line(i: int) -> str:
    """A small lore for line `i` of a batch: non-ASCII text, one to three blocks."""
    blocks = [{"id": f"b{j}", "content": f" line {i} block {j} \u00e9\u2014\U0001f600 "} for j in range(1 + i % 3)]
    return json.dumps({"id": f"Lore {i}", "title": f"T{i}", "blocks": blocks}, ensure_ascii=i % 2 == 0)


def candidates(lines: list[str]) -> str:
    """What a batch of `lines` writes under the example's config, each line ended."""
    return "".join(generate_candidate_json(line, CONFIG) + "\n" for line in lines)


def lore_lines(count: int) -> str:
    """The JSON Lines text of the first `count` small lores, each line ended."""
    return "".join(lore_line(i) + "\n" for i in range(count))


def on_a_terminal(args: list[str], *streams: str, columns: int = 80, env: Mapping[str, str] | None = None) -> str:
    """What `python -m quillforge ARGS` draws when its `streams` ("stdout", "stderr")
    are a terminal `columns` wide; it must exit 0."""
    controller, terminal = pty.openpty()
    if not os.isatty(terminal):
        os.close(controller)
        os.close(terminal)
        # Seen under qemu-user 7 with a newer C library, whose terminal ioctl it lacks (ENOSYS).
        pytest.skip("needs a native machine: here a pseudo-terminal is not a terminal (no tcgetattr)")
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    drawn = b""
    try:
        process = subprocess.Popen(
            [sys.executable, "-m", "quillforge", *args],
            env=None if env is None else {**os.environ, **env},
            **dict.fromkeys(streams, terminal),  # type: ignore[call-overload]
        )
        os.close(terminal)
        while True:  # read as it draws: a full terminal would stop it
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the other end is closed: all is read
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        os.close(controller)
    assert process.wait(timeout=120) == 0
    return drawn.decode()


def children() -> set[int]:
    """The processes this one started, and theirs. The interpreter's multiprocessing resource
    tracker, started with the first spawned worker, serves the whole process and ends with it."""
    psutil = pytest.importorskip("psutil")
    return {
        child.pid
        for child in psutil.Process().children(recursive=True)
        if "multiprocessing.resource_tracker" not in " ".join(child.cmdline())
    }


def processes_left(before: set[int], seconds: float = 20) -> set[int]:
    """The processes started since `before` that are still there after waiting up to `seconds`."""
    deadline = time.monotonic() + seconds
    while (left := children() - before) and time.monotonic() < deadline:
        time.sleep(0.05)
    return left


# Byte sequences that are not UTF-8, one of each kind: a stray continuation,
# bytes no UTF-8 holds, overlong forms, surrogates, past U+10FFFF, cut short.
BAD_UTF8 = [b"\x80", b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xf5\x80\x80\x80", b"\xff", b"\xe0\x80\x80",
            b"\xf0\x8f\xbf\xbf", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xf4\x90\x80\x80", b"\xc2", b"\xe2\x82",
            b"\xf0\x9f\x98", b"\xc2\x7f", b"\xe2\x28\xa1"]  # fmt: skip


def corpus_line(rng: random.Random, long_bytes: int = 0) -> bytes:
    """One line of a JSON Lines corpus, without its end: a lore of some shape, a
    bad one, a blank one, or bytes that are not UTF-8."""
    kind = rng.randrange(14)
    text = "".join(rng.choice('ab \u00e9\u2014\U0001f600\t\\"\u2028') for _ in range(rng.randrange(12)))
    blocks = [{"id": f"b{j}", "content": text * (j + 1)} for j in range(rng.randrange(4))]
    lore = {"id": f"L {text}", "title": f"T{text}", "blocks": blocks}
    if kind == 0:  # fields in another order, array form of the blocks, spaces
        lore = {"blocks": [[b["id"], b["content"]] for b in blocks], "title": lore["title"], "id": lore["id"]}
        return json.dumps(lore, indent=rng.choice([None, 1])).replace("\n", " ").encode()
    if kind == 1:
        return json.dumps([lore["id"], lore["title"], blocks]).encode()
    if kind == 2:  # bad JSON
        return json.dumps(lore).encode()[: rng.randrange(1, 30)]
    if kind == 3:  # a broken rule or a missing field
        return rng.choice([b'{"id":" ","title":"t","blocks":[]}', b'{"id":"l"}', b"[]", b'{"id":"l","title":"t"}'])
    if kind == 4:
        return rng.choice([b"", b" ", b"\t \x0b\x0c", b"\r", b" \r "])
    if kind == 5:  # not UTF-8, somewhere in a lore
        raw = json.dumps(lore, ensure_ascii=False).encode()
        at = rng.randrange(len(raw) + 1)
        return raw[:at] + rng.choice(BAD_UTF8) + raw[at:]
    if kind == 6:  # a lone carriage return inside, or white space around
        return rng.choice([b"\r", b" ", b"\x0b"]) + json.dumps(lore).encode() + rng.choice([b"", b"\r", b" \r"])
    if kind == 7 and long_bytes:
        lore["blocks"] = [{"id": "b", "content": "x\u00e9 " * (long_bytes // 4)}]
    return json.dumps(lore, ensure_ascii=rng.random() < 0.5).encode()


def corpus(seed: int, lines: int, long_bytes: int = 0) -> bytes:
    """A JSON Lines text of that many lines, ends "\\n" or "\\r\\n", maybe no last end."""
    rng = random.Random(seed)
    text = b"".join(corpus_line(rng, long_bytes) + rng.choice([b"\n", b"\n", b"\r\n"]) for _ in range(lines))
    return text[: len(text) - rng.randrange(3)] if rng.random() < 0.5 else text


def line_by_line(block: bytes, config: str, first_line: int = 1) -> tuple[bytes, int, int, list[tuple[int, str]]]:
    """The reference: the batch's rules in Python, one call per line."""
    lines = block.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    out, failures = [], []
    for number, raw in enumerate(lines, start=first_line):
        if number - first_line < len(lines) - 1 or block.endswith(b"\n"):
            raw = raw.removesuffix(b"\r")  # a last line with no "\n" keeps its "\r"
        if not raw.strip(b" \t\n\r\x0b\x0c"):
            continue
        try:
            text = raw.decode()
        except UnicodeDecodeError as error:
            failures.append((number, f"not valid UTF-8 (byte 0x{raw[error.start]:02x} at offset {error.start})"))
            continue
        try:
            out.append(generate_candidate_json(text, config).encode() + b"\n")
        except ValueError as error:
            failures.append((number, str(error)))
    return b"".join(out), len(lines), len(out), failures
