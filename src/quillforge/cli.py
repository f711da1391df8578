"""The `quillforge` command."""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import signal
import stat
import sys
import threading
import traceback
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from importlib import resources
from typing import BinaryIO, TextIO

from quillforge import _stderr, batch
from quillforge._console import Terminated, handle_stop_signals, ignore_stop_signals, out_of_memory
from quillforge._native import (
    create_block_json,
    generate_candidate_json,
    render_lore_summary_json,
    schema_bundle_json,
    version,
)
from quillforge._output import AtomicOutput, DescriptorWriter, regular_file
from quillforge._pretty import indent_json
from quillforge._progress import ProgressLine
from quillforge._terminal import for_terminal, json_for_terminal, plain_for_terminal

PROG = "quillforge"
STDIN_NAME = "<stdin>"
DEFAULT_TEMPERATURE = 0.7
DEFAULT_MAX_CANDIDATES = 3
DEFAULT_SEED = 42
MAX_SEED = 2**64 - 1
MAX_INDENT = 16

EXIT_OK = 0
EXIT_REJECTED = 1
EXIT_USAGE = 2
EXIT_OUTPUT = 3
EXIT_MEMORY = 4
EXIT_INTERNAL = 70
EXIT_BROKEN_PIPE = 128 + 13  # as if killed by SIGPIPE

EXIT_CODES = """exit codes (of every command):
  0    success
  1    the engine rejected an input (its message on standard error)
  2    usage error: the command line, or an input that cannot be used
  3    the output could not be written
  4    out of memory
  70   internal error (a bug: please report it with the traceback shown)
  129, 130, 143
       stopped by SIGHUP, SIGINT (Ctrl-C) or SIGTERM (128 + the signal's number)
  141  the reader of standard output went away (a broken pipe)"""


class Failure(Exception):
    """Ends the command with a one-line message and an exit code."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


def _usage(message: str) -> Failure:
    return Failure(message, EXIT_USAGE)


# ---------------------------------------------------------------- inputs


def _name(path: str) -> str:
    return STDIN_NAME if path == "-" else path


@contextmanager
def _reading(name: str) -> Iterator[None]:
    """Turns the ways an input can fail into one-line messages."""
    try:
        yield
    except FileNotFoundError:
        raise _usage(f"{name}: no such file") from None
    except IsADirectoryError:
        raise _usage(f"{name}: is a directory") from None
    except PermissionError:
        raise _usage(f"{name}: permission denied") from None
    except MemoryError:
        raise Failure(f"{name}: out of memory while reading it", EXIT_MEMORY) from None
    except OSError as error:
        raise _usage(f"{name}: cannot read ({error.strerror})") from None


def _stdin() -> BinaryIO:
    if sys.stdin is None:
        raise _usage(f"{STDIN_NAME}: cannot read (standard input is closed)")
    return sys.stdin.buffer


def _decode(data: bytes, name: str) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise _usage(f"{name}: not valid UTF-8 (byte 0x{data[error.start]:02x} at offset {error.start})") from None


def read_text(path: str) -> str:
    """The whole UTF-8 text of a file, or of standard input for "-"."""
    name = _name(path)
    with _reading(name):
        if path == "-":
            data = _stdin().read()
        else:
            with open(path, "rb") as file:
                data = file.read()
    return _decode(data, name)


class _Input:
    """A binary input whose read errors end the command with one-line messages."""

    def __init__(self, stream: BinaryIO, name: str) -> None:
        self.stream = stream
        self.name = name
        self.starts_with_bom = False  # for the hint on line 1's error
        self._first = True

    def _seen(self, data: bytes) -> bytes:
        if self._first and data:
            self._first = False
            self.starts_with_bom = data.startswith(BOM.encode())
        return data

    def read(self, size: int = -1, /) -> bytes:
        with _reading(self.name):
            return self._seen(self.stream.read(size))

    def read1(self, size: int = -1, /) -> bytes:
        read1: Callable[[int], bytes] = getattr(self.stream, "read1", self.stream.read)
        with _reading(self.name):
            return self._seen(read1(size))

    def readline(self, size: int = -1, /) -> bytes:
        with _reading(self.name):
            return self._seen(self.stream.readline(size))

    def message(self, error: batch.LineError) -> str:
        """A failed line's message for the user."""
        return f"{self.name} line {error.line}: {_with_hint(error.message, error.line == 1 and self.starts_with_bom)}"

    def seekable(self) -> bool:
        return self.stream.seekable()


# ---------------------------------------------------------------- output


def _stdout() -> BinaryIO:
    stream: TextIO | None = sys.stdout
    if stream is None:
        raise Failure("cannot write output: standard output is closed", EXIT_OUTPUT)
    original = stream is sys.__stdout__  # not one that a caller of main() put there
    if original:
        # Past its buffer: bytes that a failed write left there would make the
        # interpreter's own flush at exit fail again (and exit 120).
        try:
            return DescriptorWriter(stream.fileno()).as_binary()
        except (OSError, ValueError):
            pass
    return stream.buffer


@contextmanager
def _writing(name: str) -> Iterator[None]:
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        raise Failure(f"cannot write {name}: {error.strerror}", EXIT_OUTPUT) from None


def _emit(text: str, *, plain: bool = False, indent: int | None = None) -> None:
    """Writes one result and a line feed to standard output."""
    out = _stdout()
    if indent is not None:
        text = indent_json(text, indent)
    if out.isatty():
        text = plain_for_terminal(text) if plain else json_for_terminal(text)
    with _writing("output"):
        out.write(text.encode("utf-8") + b"\n")
        out.flush()


def _say(message: str) -> None:
    """A line on standard error, prefixed with the program's name. A standard
    error that fails loses the line, never the run."""
    line = f"{PROG}: {message}"
    if _stderr.is_terminal():
        line = plain_for_terminal(line)
    _stderr.write(line + "\n")


# ---------------------------------------------------------------- the engine, with its inputs named


BOM = "\ufeff"
BOM_HINT = "the input starts with a UTF-8 byte-order mark, which JSON does not allow: save it without one"


def _with_hint(message: str, starts_with_bom: bool) -> str:
    """The engine's message, and after it what the user can do about it."""
    if starts_with_bom and message.endswith(" at line 1 column 1"):
        return f"{message} ({BOM_HINT})"
    return message


def _rejected(source: str | None, error: ValueError, text: str = "") -> Failure:
    message = _with_hint(str(error), text.startswith(BOM))
    return Failure(f"{source}: {message}" if source else message, EXIT_REJECTED)


@dataclass(frozen=True)
class Config:
    text: str
    name: str  # what an error in it is attributed to


def _config(args: argparse.Namespace) -> Config:
    flags = {"--temperature": args.temperature, "--max-candidates": args.max_candidates, "--seed": args.seed}
    given = {flag: value for flag, value in flags.items() if value is not None}
    if args.config is not None:
        if given:
            raise _usage("--config cannot be combined with --temperature, --max-candidates or --seed")
        return Config(read_text(args.config), _name(args.config))
    values = {
        "temperature": DEFAULT_TEMPERATURE if args.temperature is None else args.temperature,
        "max_candidates": DEFAULT_MAX_CANDIDATES if args.max_candidates is None else args.max_candidates,
        "seed": DEFAULT_SEED if args.seed is None else args.seed,
    }
    name = " ".join(f"{flag} {value}" for flag, value in given.items()) or "the default settings"
    return Config(json.dumps(values, separators=(",", ":")), name)


def _one_stdin(*paths: str | None) -> None:
    if sum(path == "-" for path in paths) > 1:
        raise _usage("standard input can be read only once: give a file for all but one input")


def _blame(error: ValueError, lore_name: str, config: Config) -> str:
    """Which input a failed generation comes from, as the engine's error says."""
    return config.name if getattr(error, "input", None) == "config" else lore_name


# ---------------------------------------------------------------- commands


EXAMPLES = ("lore.json", "config.json", "lores.jsonl")  # the files the README's examples use


def _write_examples(folder: str) -> int:
    """Copies the example files into `folder`; one that is there with other bytes is not replaced."""
    data = resources.files("quillforge") / "data" / "examples"
    copies = [(os.path.join(folder, name), (data / name).read_bytes()) for name in EXAMPLES]
    for path, example in copies:
        with _reading(path), contextlib.suppress(FileNotFoundError), open(path, "rb") as there:
            if there.read() != example:
                raise Failure(f"{path}: exists and is not the example; not replaced", EXIT_OUTPUT)
    for path, example in copies:
        with _writing(path):
            os.makedirs(folder, exist_ok=True)
            with open(path, "wb") as file:
                file.write(example)
        _emit(path, plain=True)
    return EXIT_OK


def _cmd_demo(args: argparse.Namespace) -> int:
    if args.write_examples is not None:
        return _write_examples(args.write_examples)
    data = resources.files("quillforge") / "data" / "examples"
    lore_json = (data / "lore.json").read_text(encoding="utf-8")
    config_json = (data / "config.json").read_text(encoding="utf-8")
    _emit(generate_candidate_json(lore_json, config_json), indent=args.indent)
    _emit(render_lore_summary_json(lore_json), plain=True)
    return EXIT_OK


def _cmd_generate(args: argparse.Namespace) -> int:
    _one_stdin(args.lore, args.config)
    lore_json = read_text(args.lore)
    config = _config(args)
    try:
        candidate = generate_candidate_json(lore_json, config.text)
    except ValueError as error:
        source = _blame(error, _name(args.lore), config)
        raise _rejected(source, error, config.text if source == config.name else lore_json) from None
    _emit(candidate, indent=args.indent)
    return EXIT_OK


def _cmd_summary(args: argparse.Namespace) -> int:
    lore_json = read_text(args.lore)
    try:
        summary = render_lore_summary_json(lore_json)
    except ValueError as error:
        raise _rejected(_name(args.lore), error, lore_json) from None
    _emit(summary, plain=True)
    return EXIT_OK


def _argument_text(text: str, what: str) -> str:
    # The shell hands over bytes; those that are not UTF-8 arrive as lone surrogates.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise _usage(f"{what} is not valid UTF-8") from None
    return text


def _cmd_block(args: argparse.Namespace) -> int:
    try:
        block = create_block_json(_argument_text(args.id, "ID"), _argument_text(args.content, "CONTENT"))
    except ValueError as error:
        raise _rejected(None, error) from None
    _emit(block, indent=args.indent)
    return EXIT_OK


def _schema_bundle() -> dict[str, object]:
    bundle: dict[str, object] = json.loads(schema_bundle_json())
    return bundle


def _cmd_schema(args: argparse.Namespace) -> int:
    bundle = schema_bundle_json()
    if args.model is not None:
        models = _schema_bundle()["models"]
        assert isinstance(models, dict)
        bundle = json.dumps(models[args.model], separators=(",", ":"), ensure_ascii=False)
    _emit(bundle, indent=args.indent)
    return EXIT_OK


def _cmd_version(args: argparse.Namespace) -> int:
    _emit(version(), plain=True)
    return EXIT_OK


# ---------------------------------------------------------------- batch


@dataclass(frozen=True)
class _Job:
    source: str  # a path, or "-"
    destination: str | None  # a path; None for standard output


def _batch_inputs(paths: list[str]) -> list[str]:
    if len(paths) == 1 and paths[0] != "-" and os.path.isdir(paths[0]):
        folder = paths[0]
        with _reading(folder):
            # Only regular files (or links to them): opening a pipe or a device found
            # there could wait for ever. Named on the command line, one is read as a stream.
            found = sorted(
                entry.path for entry in os.scandir(folder) if entry.name.endswith(".jsonl") and entry.is_file()
            )
        if not found:
            raise _usage(f"{folder}: holds no .jsonl file")
        return found
    if "-" in paths and len(paths) > 1:
        raise _usage("standard input can only be the sole input")
    return paths


def _identity(path: str | None) -> tuple[int, int] | None:
    """The regular file that an input ("-": standard input) or a destination
    (None: standard output) is, if it is one."""
    if path == "-":
        return None if sys.stdin is None else regular_file(sys.stdin)
    return regular_file(_stdout() if path is None else path)


def _batch_jobs(inputs: list[str], output: str | None) -> list[_Job]:
    to_stdout = output is None or output == "-"
    if to_stdout:
        if len(inputs) > 1:
            raise _usage("several inputs need an output folder: -o FOLDER")
        source = _identity(inputs[0])
        if source is not None and source == _identity(None):  # `1<> in.jsonl`, `>> in.jsonl`
            raise _usage(f"standard output: is also the input {_name(inputs[0])}; choose another output")
        return [_Job(inputs[0], None)]
    assert output is not None
    if len(inputs) == 1 and not os.path.isdir(output) and not output.endswith(os.sep):
        jobs = [_Job(inputs[0], output)]
    else:
        if "-" in inputs:
            raise _usage("standard input needs an output file, not a folder")
        names = [os.path.basename(path) for path in inputs]
        if len(set(names)) != len(names):
            raise _usage("two inputs have the same file name; their outputs would collide")
        jobs = [_Job(path, os.path.join(output, name)) for path, name in zip(inputs, names, strict=False)]
    for job in jobs:
        assert job.destination is not None
        source = _identity(job.source)
        if source is not None and source == _identity(job.destination):
            raise _usage(f"{job.destination}: is also the input {_name(job.source)}; choose another output")
    return jobs


def _input_size(stream: BinaryIO) -> int | None:
    try:
        info = os.fstat(stream.fileno())
    except (OSError, ValueError):
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def _terminal_device(info: os.stat_result | None) -> int | None:
    return info.st_rdev if info is not None and stat.S_ISCHR(info.st_mode) else None


def _stat(path: str | None, stream: object) -> os.stat_result | None:
    """What `path` names, or when it is None what the open `stream` is."""
    try:
        return os.stat(path if path is not None else stream.fileno())  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        return None


def _columns() -> int:
    try:
        return os.get_terminal_size(sys.stderr.fileno()).columns or 80
    except (AttributeError, OSError, ValueError):
        return 80


def _progress(name: str, stream: BinaryIO, destination: str | None) -> ProgressLine | None:
    """A progress line on standard error when it is a terminal that the
    candidates do not also go to (they would tear the line apart)."""
    if not _stderr.is_terminal():
        return None
    output = _terminal_device(_stat(destination, sys.stdout))
    if output is not None and output == _terminal_device(_stat(None, sys.stderr)):
        return None
    dumb = os.environ.get("TERM", "") in ("", "dumb")
    return ProgressLine(_stderr.write, name, _input_size(stream), width=_columns, dumb=dumb)


class _Interrupted(Exception):
    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


def _run_batch_job(job: _Job, config: Config, args: argparse.Namespace) -> tuple[batch.FileReport, str | None]:
    """Runs one job; returns its report and the partial file kept when --fail-fast stopped it."""
    name = _name(job.source)
    report = batch.FileReport()
    with _reading(name):
        stream = _stdin() if job.source == "-" else open(job.source, "rb")  # noqa: SIM115
    source = _Input(stream, name)
    progress = None if args.no_progress else _progress(name, stream, job.destination)

    def on_error(error: batch.LineError) -> None:
        if progress is not None:
            progress.clear()
        _say(source.message(error))

    def run(out: BinaryIO) -> None:
        batch.run_file(
            source,
            out,
            config.text,
            report,
            jobs=args.jobs,
            fail_fast=args.fail_fast,
            on_error=on_error,
            on_progress=None if progress is None else progress.update,
        )

    destination = "output" if job.destination is None else job.destination
    partial = None
    try:
        with _writing(destination):  # the name the user gave, never a temporary's
            if job.destination is None:
                out = _stdout()
                run(for_terminal(out))
                out.flush()
            else:
                with AtomicOutput(job.destination) as atomic:
                    try:
                        run(atomic.stream)
                        if report.stopped_early:  # a run cut short at a failed line is not the output
                            partial = atomic.keep_partial()
                        else:
                            atomic.commit()
                    except (KeyboardInterrupt, Terminated) as stop:
                        _ignore_stop_signals()
                        if atomic.done:  # the signal came as the output was put in place
                            message = f"interrupted: the output of {name} is complete in {job.destination}"
                        else:
                            message = _stopped(name, report, atomic.keep_partial())
                        raise _Interrupted(message, _signal_code(stop)) from None
                    except Failure as failure:
                        if failure.code != EXIT_OUTPUT:  # what was read is good; what was written may not be
                            partial = atomic.keep_partial()
                            if partial is not None:
                                failure.args = (
                                    f"{failure}; the candidates up to line {report.last_line} are in {partial}",
                                )
                        raise
    except (KeyboardInterrupt, Terminated) as stop:
        _ignore_stop_signals()
        raise _Interrupted(_stopped(name, report, None), _signal_code(stop)) from None
    finally:
        if progress is not None:
            progress.finish()
        if job.source != "-":
            stream.close()
    return report, partial


def _signal_code(stop: KeyboardInterrupt | Terminated) -> int:
    return 128 + (stop.signum if isinstance(stop, Terminated) else signal.SIGINT)


def _stopped(name: str, report: batch.FileReport, partial: str | None) -> str:
    where = f"after line {report.last_line} of {name}" if report.last_line else f"before the first line of {name}"
    kept = f"; the {report.written:,} candidates written are in {partial}" if partial else ""
    return f"interrupted: the output stops {where}{kept}"


def _cmd_batch(args: argparse.Namespace) -> int:
    _one_stdin(*args.lores, args.config)
    inputs = _batch_inputs(args.lores)
    jobs = _batch_jobs(inputs, args.output)
    config = _config(args)
    try:
        batch.check_config(config.text)
    except ValueError as error:
        raise _rejected(config.name, error, config.text) from None
    for job in jobs:
        if job.destination is not None and len(jobs) > 1:
            with _writing(os.path.dirname(job.destination)):
                os.makedirs(os.path.dirname(job.destination), exist_ok=True)
    code = EXIT_OK
    for job in jobs:
        try:
            report, partial = _run_batch_job(job, config, args)
        except Failure as failure:
            _say(str(failure))
            code = max(code, failure.code)
            if args.fail_fast:
                break
            continue
        if report.failed or len(jobs) > 1:
            stopped = " (stopped at the first failure)" if report.stopped_early else ""
            kept = f"; the {report.written:,} candidates written are in {partial}" if partial else ""
            _say(
                f"{_name(job.source)}: {report.lines:,} lines, {report.written:,} written, "
                f"{report.failed:,} failed{stopped}{kept}"
            )
        if report.failed:
            code = max(code, EXIT_REJECTED)
        if report.stopped_early:  # --fail-fast stops the whole run
            break
    return code


# ---------------------------------------------------------------- the parser


def _bound(value: float) -> str:
    """A range's end as a user would type it: 2**64-1, not 1.84467e+19."""
    if isinstance(value, int) and value >= 2**32 - 1 and (value + 1).bit_count() == 1:
        return f"2**{(value + 1).bit_length() - 1}-1"
    return str(value)


def _number(parse: Callable[[str], float], low: float, high: float, what: str) -> Callable[[str], float]:
    def convert(text: str) -> float:
        try:
            value = parse(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {what}: {text!r}") from None
        if not math.isfinite(value):
            raise argparse.ArgumentTypeError(f"not a finite number: {text}")
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {_bound(low)} to {_bound(high)}, not {text}")
        return value

    return convert


def _jobs(text: str) -> int:
    if text == "auto":
        return 0
    return int(_number(int, 0, 1 << 16, "a whole number or auto")(text))


def _add_indent(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--indent",
        type=_number(int, 0, MAX_INDENT, "a whole number"),
        metavar="N",
        help=f"lay JSON out with N spaces per level, 0 to {MAX_INDENT} (default: the engine's compact text)",
    )


def _add_config(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("generation settings (a config file, or the three values)")
    group.add_argument("--config", metavar="FILE", help="a LabConfig JSON file, or - for standard input")
    # The engine checks the ranges of the first two; these bounds only keep the numbers representable.
    group.add_argument(
        "--temperature",
        type=_number(float, -math.inf, math.inf, "a number"),
        metavar="T",
        help=f"0.0 to 2.0 (default {DEFAULT_TEMPERATURE})",
    )
    group.add_argument(
        "--max-candidates",
        type=_number(int, 0, 2**32 - 1, "a whole number"),
        metavar="N",
        help=f"1 to 1000 (default {DEFAULT_MAX_CANDIDATES}); only checked: one candidate is produced per lore",
    )
    group.add_argument(
        "--seed",
        type=_number(int, 0, MAX_SEED, "a whole number"),
        metavar="N",
        help=f"0 to {_bound(MAX_SEED)} (default {DEFAULT_SEED})",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="A small, exact, fast narrative engine: JSON lores in, deterministic candidates and summaries out.",
        epilog=EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,  # a shortened option would change meaning when a longer one is added
    )
    parser.add_argument("-V", "--version", action="version", version=f"{PROG} {version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, handler: Callable[[argparse.Namespace], int], help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name, help=help, description=help, epilog=f"exit codes: see {PROG} --help", allow_abbrev=False
        )
        sub.set_defaults(handler=handler)
        return sub

    demo = command("demo", _cmd_demo, "generate a candidate and a summary for the built-in example lore")
    _add_indent(demo)
    demo.add_argument(
        "--write-examples",
        metavar="DIR",
        help="instead, write the README's example files (lore.json, config.json, lores.jsonl) into DIR",
    )

    generate = command("generate", _cmd_generate, "generate the hybrid candidate of a lore")
    generate.add_argument("lore", metavar="LORE", help="a NarrativeLore JSON file, or - for standard input")
    _add_config(generate)
    _add_indent(generate)

    summary = command("summary", _cmd_summary, "summarise a lore in one sentence")
    summary.add_argument("lore", metavar="LORE", help="a NarrativeLore JSON file, or - for standard input")

    block = command("block", _cmd_block, "validate a block and print its JSON")
    block.add_argument("id", metavar="ID", help="the block's id (must not be blank)")
    block.add_argument("content", metavar="CONTENT", help="the block's text (must not be blank)")
    _add_indent(block)

    schema = command("schema", _cmd_schema, "print the schema bundle, or the JSON Schema of one record")
    model_order = _schema_bundle()["model_order"]
    assert isinstance(model_order, list)
    schema.add_argument("--model", choices=model_order)
    _add_indent(schema)

    command("version", _cmd_version, "print the engine's version")

    run = command("batch", _cmd_batch, "one candidate per lore line of JSON Lines files, in input order")
    run.add_argument(
        "lores",
        nargs="+",
        metavar="LORES",
        help="JSON Lines files (one lore per line), a folder of .jsonl files, or - for standard input",
    )
    _add_config(run)
    run.add_argument(
        "--jobs",
        type=_jobs,
        default=1,
        metavar="N",
        help="worker threads that answer blocks of lines, 0 or auto for one per core (default 1)",
    )
    run.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="output file, or a folder for one output per input with its name (default, or -: standard output)",
    )
    run.add_argument("--fail-fast", action="store_true", help="stop at the first line that fails")
    run.add_argument("--no-progress", action="store_true", help="no progress line (there is none unless on a terminal)")
    return parser


# ---------------------------------------------------------------- main


_ignore_stop_signals = ignore_stop_signals


def _stop_handlers() -> list[tuple[int, object]]:
    if threading.current_thread() is not threading.main_thread():
        return []
    signums = [getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)]
    return [(signum, signal.getsignal(signum)) for signum in signums]


def _silence_stdout() -> None:
    # The reader went away: what is left goes nowhere, and exit does not complain.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, AttributeError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: sys.argv[1:]) and returns its exit
    code; the caller's signal handlers are as they were when it returns."""
    saved = _stop_handlers()
    handle_stop_signals()
    try:
        return _run(argv)
    finally:
        for signum, handler in saved:
            if handler is not None:
                signal.signal(signum, handler)  # type: ignore[arg-type]


def _parse(argv: Sequence[str] | None) -> argparse.Namespace | int:
    """The parsed arguments, or the exit code once --help, --version or a usage
    error has been printed."""
    try:
        return build_parser().parse_args(argv)
    except SystemExit as done:
        code = done.code if isinstance(done.code, int) else EXIT_USAGE
    # argparse prints through sys.stdout's buffer: what a full or closed output
    # left there must not make the interpreter's flush at exit fail again.
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as error:
        _silence_stdout()
        _say(f"cannot write output: {error.strerror}")
        return EXIT_OUTPUT
    return code


def _run(argv: Sequence[str] | None) -> int:
    try:
        args = _parse(argv)
        if isinstance(args, int):
            return args
        handler: Callable[[argparse.Namespace], int] = args.handler
        return handler(args)
    except Failure as failure:
        _say(str(failure))
        return failure.code
    except _Interrupted as stopped:
        _say(str(stopped))
        return stopped.code
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        _say("interrupted")
        return 128 + signal.SIGINT
    except Terminated as stop:
        _say("interrupted")
        return 128 + stop.signum
    except MemoryError:
        _say("out of memory")
        return EXIT_MEMORY
    except Exception as error:
        if out_of_memory(error):
            _say("out of memory" if isinstance(error, OSError) else f"out of memory: {error}")
            return EXIT_MEMORY
        _stderr.write(traceback.format_exc())
        _say("internal error: this is a bug in quillforge; please report it with the traceback above")
        return EXIT_INTERNAL
