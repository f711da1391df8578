"""The `quillforge` command.

Exit codes: 0 success; 1 the engine rejected the input (its message on
standard error, nothing on standard output); 2 the command line or one of
its files could not be used.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from importlib import resources
from typing import BinaryIO, NoReturn

from quillforge import _batch
from quillforge._native import (
    create_block_json,
    generate_candidate_json,
    render_lore_summary_json,
    schema_bundle_json,
    version,
)
from quillforge._pretty import indent_json

PROG = "quillforge"
DEFAULT_TEMPERATURE = 0.7
DEFAULT_MAX_CANDIDATES = 3
DEFAULT_SEED = 42
MAX_SEED = 2**64 - 1


class UsageError(Exception):
    """The command line or a file it names cannot be used (exit code 2)."""


@contextmanager
def _input_errors(path: str) -> Iterator[None]:
    """Turns the ways a named input can fail into one-line usage errors."""
    try:
        yield
    except FileNotFoundError:
        raise UsageError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise UsageError(f"{path}: is a directory") from None
    except PermissionError:
        raise UsageError(f"{path}: permission denied") from None
    except OSError as error:
        raise UsageError(f"{path}: cannot read ({error.strerror})") from None


def _read_bytes(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    with _input_errors(path), open(path, "rb") as file:
        return file.read()


def _decode(data: bytes, path: str) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        name = "standard input" if path == "-" else path
        raise UsageError(
            f"{name}: not valid UTF-8 (byte 0x{data[error.start]:02x} at offset {error.start})"
        ) from None


def read_text(path: str) -> str:
    """The whole UTF-8 text of a file, or of standard input for "-"."""
    return _decode(_read_bytes(path), path)


def _open_input(path: str) -> tuple[BinaryIO, int | None]:
    if path == "-":
        return sys.stdin.buffer, None
    with _input_errors(path):
        if os.path.isdir(path):
            raise IsADirectoryError(path)
        stream = open(path, "rb")
    try:
        size = os.fstat(stream.fileno()).st_size
    except OSError:
        size = None
    return stream, size


def _write(text: str) -> None:
    sys.stdout.buffer.write(text.encode("utf-8") + b"\n")


def _write_json(text: str, indent: int | None) -> None:
    _write(text if indent is None else indent_json(text, indent))


def _config_json(args: argparse.Namespace) -> str:
    flags = (args.temperature, args.max_candidates, args.seed)
    if args.config is not None:
        if any(flag is not None for flag in flags):
            raise UsageError("--config cannot be combined with --temperature, --max-candidates or --seed")
        return read_text(args.config)
    temperature = DEFAULT_TEMPERATURE if args.temperature is None else args.temperature
    max_candidates = DEFAULT_MAX_CANDIDATES if args.max_candidates is None else args.max_candidates
    seed = DEFAULT_SEED if args.seed is None else args.seed
    return json.dumps({"temperature": temperature, "max_candidates": max_candidates, "seed": seed},
                      separators=(",", ":"))


def _cmd_demo(args: argparse.Namespace) -> int:
    data = resources.files("quillforge") / "data"
    lore_json = (data / "example_lore.json").read_text(encoding="utf-8")
    config_json = (data / "example_config.json").read_text(encoding="utf-8")
    _write_json(generate_candidate_json(lore_json, config_json), args.indent)
    _write(render_lore_summary_json(lore_json))
    return 0


def _cmd_generate(args: argparse.Namespace) -> int:
    lore_json = read_text(args.lore)
    config_json = _config_json(args)
    _write_json(generate_candidate_json(lore_json, config_json), args.indent)
    return 0


def _cmd_summary(args: argparse.Namespace) -> int:
    _write(render_lore_summary_json(read_text(args.lore)))
    return 0


def _cmd_block(args: argparse.Namespace) -> int:
    _write_json(create_block_json(args.id, args.content), args.indent)
    return 0


def _cmd_schema(args: argparse.Namespace) -> int:
    bundle = schema_bundle_json()
    if args.model is None:
        _write_json(bundle, args.indent)
        return 0
    document = json.loads(bundle)["models"][args.model]
    _write_json(json.dumps(document, separators=(",", ":"), ensure_ascii=False), args.indent)
    return 0


def _cmd_version(args: argparse.Namespace) -> int:
    _write(version())
    return 0


def _cmd_batch(args: argparse.Namespace) -> int:
    config_json = _config_json(args)
    # A bad config would fail every line: check it once, up front, on a minimal lore.
    generate_candidate_json('{"id":"probe","title":"probe","blocks":[{"id":"b","content":"c"}]}', config_json)
    stream, size = _open_input(args.lores)
    source = "standard input" if args.lores == "-" else args.lores
    try:
        out: BinaryIO
        if args.output is None:
            out = sys.stdout.buffer
        else:
            try:
                out = open(args.output, "wb")
            except OSError as error:
                raise UsageError(f"{args.output}: cannot write ({error.strerror})") from None
        try:
            result = _batch.run_batch(
                stream,
                out,
                sys.stderr,
                config_json=config_json,
                source=source,
                jobs=args.jobs,
                fail_fast=args.fail_fast,
                progress=_batch.stderr_progress(size),
            )
        finally:
            if out is not sys.stdout.buffer:
                out.close()
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
    if result.failed:
        stopped = " (stopped at the first failure)" if result.stopped_early else ""
        print(f"{PROG}: {result.failed} line(s) failed, {result.written} written{stopped}", file=sys.stderr)
        return 1
    return 0


def _positive_int(text: str) -> int:
    value = _int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def _seed(text: str) -> int:
    value = _int(text)
    if not 0 <= value <= MAX_SEED:
        raise argparse.ArgumentTypeError(f"must be from 0 to {MAX_SEED}, not {value}")
    return value


def _count(text: str) -> int:
    value = _int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    return value


def _temperature(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be finite, not {text}")
    return value


def _add_indent(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--indent", type=_count, metavar="N",
                        help="pretty-print JSON with N spaces per level (default: the engine's compact text)")


def _add_config(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("generation settings (a config file, or the three values)")
    group.add_argument("--config", metavar="FILE", help="a LabConfig JSON file, or - for standard input")
    group.add_argument("--temperature", type=_temperature, metavar="T",
                       help=f"0.0 to 2.0 (default {DEFAULT_TEMPERATURE})")
    group.add_argument("--max-candidates", type=_count, metavar="N",
                       help=f"1 to 1000 (default {DEFAULT_MAX_CANDIDATES})")
    group.add_argument("--seed", type=_seed, metavar="N", help=f"0 to 2**64-1 (default {DEFAULT_SEED})")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="A small, exact, fast narrative engine: JSON lores in, deterministic candidates and summaries out.",
        epilog="Exit codes: 0 success, 1 the engine rejected the input, 2 a usage or file error.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, handler: Callable[[argparse.Namespace], int], help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(handler=handler)
        return sub

    demo = command("demo", _cmd_demo, "generate a candidate and a summary for the built-in example lore")
    _add_indent(demo)

    generate = command("generate", _cmd_generate, "generate the hybrid candidate of a lore")
    generate.add_argument("lore", metavar="LORE", help="a NarrativeLore JSON file, or - for standard input")
    _add_config(generate)
    _add_indent(generate)

    summary = command("summary", _cmd_summary, "summarise a lore in one sentence")
    summary.add_argument("lore", metavar="LORE", help="a NarrativeLore JSON file, or - for standard input")

    block = command("block", _cmd_block, "validate a block and print its JSON")
    block.add_argument("id", metavar="ID")
    block.add_argument("content", metavar="CONTENT")
    _add_indent(block)

    schema = command("schema", _cmd_schema, "print the schema bundle, or the JSON Schema of one record")
    schema.add_argument("--model", choices=["NarrativeBlock", "NarrativeLore", "LabConfig", "HybridCandidate"])
    _add_indent(schema)

    command("version", _cmd_version, "print the engine's version")

    batch = command("batch", _cmd_batch, "one candidate per lore line of a JSON Lines file, in input order")
    batch.add_argument("lores", metavar="LORES.jsonl", help="one lore per line, or - for standard input")
    _add_config(batch)
    batch.add_argument("--jobs", type=_positive_int, default=1, metavar="N",
                       help="worker processes (default 1)")
    batch.add_argument("-o", "--output", metavar="OUT.jsonl", help="write candidates here (default: standard output)")
    batch.add_argument("--fail-fast", action="store_true", help="stop at the first line that fails")
    return parser


def _fail(message: str, code: int) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return code


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = args.handler
    try:
        code = handler(args)
        sys.stdout.flush()
        return code
    except UsageError as error:
        return _fail(str(error), 2)
    except ValueError as error:
        return _fail(str(error), 1)
    except BrokenPipeError:
        _silence_stdout()
    except KeyboardInterrupt:
        return 130


def _silence_stdout() -> NoReturn:
    # The reader went away: send what is left nowhere, quietly.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    sys.exit(1)
