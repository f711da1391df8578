"""The command line: every command, its arguments and their checks. A command's
module is loaded only when it runs, so that the others start fast.

`batch` as scripts run it is read without argparse (`quick_batch`), which with
what it loads costs more start-up than the rest of the command; every other
command line, and any batch one that is not plain (help, a mistake, a rarer
form), goes to argparse, which says what is wrong."""

from __future__ import annotations

from importlib import import_module
from types import SimpleNamespace

from quillforge._native import schema_bundle_json, version
from quillforge.cli._outputs import EXIT_CODES, PROG

TYPE_CHECKING = False  # typing.TYPE_CHECKING without loading typing
if TYPE_CHECKING:
    import argparse
    from collections.abc import Callable, Iterator, Sequence

DEFAULT_TEMPERATURE = 0.7
DEFAULT_MAX_CANDIDATES = 3
DEFAULT_SEED = 42
MAX_SEED = 2**64 - 1
MAX_INDENT = 16
_INF = float("inf")


def _bound(value: float) -> str:
    """A range's end as a user would type it: 2**64-1, not 1.84467e+19."""
    if isinstance(value, int) and value >= 2**32 - 1 and (value + 1).bit_count() == 1:
        return f"2**{(value + 1).bit_length() - 1}-1"
    return str(value)


def _refused(message: str) -> Exception:
    from argparse import ArgumentTypeError  # only for a value refused

    return ArgumentTypeError(message)


def _number(parse: Callable[[str], float], low: float, high: float, what: str) -> Callable[[str], float]:
    def convert(text: str) -> float:
        try:
            value = parse(text)
        except ValueError:
            raise _refused(f"not {what}: {text!r}") from None
        if value - value != 0:  # inf or nan
            raise _refused(f"not a finite number: {text}")
        if not low <= value <= high:
            raise _refused(f"must be from {_bound(low)} to {_bound(high)}, not {text}")
        return value

    return convert


def _jobs(text: str) -> int:
    if text == "auto":
        return 0
    return int(_number(int, 0, 1 << 16, "a whole number or auto")(text))


_TEMPERATURE = _number(float, -_INF, _INF, "a number")
_MAX_CANDIDATES = _number(int, 0, 2**32 - 1, "a whole number")
_SEED = _number(int, 0, MAX_SEED, "a whole number")


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
        type=_TEMPERATURE,
        metavar="T",
        help=f"0.0 to 2.0 (default {DEFAULT_TEMPERATURE})",
    )
    group.add_argument(
        "--max-candidates",
        type=_MAX_CANDIDATES,
        metavar="N",
        help=f"1 to 1000 (default {DEFAULT_MAX_CANDIDATES}); only checked: one candidate is produced per lore",
    )
    group.add_argument(
        "--seed",
        type=_SEED,
        metavar="N",
        help=f"0 to {_bound(MAX_SEED)} (default {DEFAULT_SEED})",
    )


class _Models:
    """The schema's record names for --model's choices, asked of the engine only
    when argparse looks at them (a value to check, a help or error to print)."""

    def _names(self) -> list[str]:
        import json  # only here: most commands never need it

        names: list[str] = json.loads(schema_bundle_json())["model_order"]
        return names

    def __iter__(self) -> Iterator[str]:
        return iter(self._names())

    def __contains__(self, name: object) -> bool:
        return name in self._names()


def build_parser() -> argparse.ArgumentParser:
    import argparse

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="A small, exact, fast narrative engine: JSON lores in, deterministic candidates and summaries out.",
        epilog=EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,  # a shortened option would change meaning when a longer one is added
    )
    parser.add_argument("-V", "--version", action="version", version=f"{PROG} {version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, handler: str, help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name, help=help, description=help, epilog=f"exit codes: see {PROG} --help", allow_abbrev=False
        )
        sub.set_defaults(handler=handler)  # "module:function" in this package, see `handler`
        return sub

    demo = command("demo", "_commands:demo", "generate a candidate and a summary for the built-in example lore")
    _add_indent(demo)
    demo.add_argument(
        "--write-examples",
        metavar="DIR",
        help="instead, write the README's example files (lore.json, config.json, lores.jsonl) into DIR",
    )

    generate = command("generate", "_commands:generate", "generate the hybrid candidate of a lore")
    generate.add_argument("lore", metavar="LORE", help="a NarrativeLore JSON file, or - for standard input")
    _add_config(generate)
    _add_indent(generate)

    summary = command("summary", "_commands:summary", "summarise a lore in one sentence")
    summary.add_argument("lore", metavar="LORE", help="a NarrativeLore JSON file, or - for standard input")

    block = command("block", "_commands:block", "validate a block and print its JSON")
    block.add_argument("id", metavar="ID", help="the block's id (must not be blank)")
    block.add_argument("content", metavar="CONTENT", help="the block's text (must not be blank)")
    _add_indent(block)

    schema = command("schema", "_commands:schema", "print the schema bundle, or the JSON Schema of one record")
    schema.add_argument("--model", choices=_Models())
    _add_indent(schema)

    command("version", "_commands:show_version", "print the engine's version")

    run = command("batch", "_batch:run", "one candidate per lore line of JSON Lines files, in input order")
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


def parse(argv: Sequence[str]) -> SimpleNamespace:
    """The parsed command line; argparse exits (SystemExit) after --help, --version or a mistake."""
    return quick_batch(argv) or build_parser().parse_args(argv, SimpleNamespace())


# batch's options that take a value (as "--opt VALUE" or "--opt=VALUE"), their
# conversions, and its flags, exactly as build_parser declares them.
_BATCH_VALUES: dict[str, tuple[str, Callable[[str], object]]] = {
    "--config": ("config", str),
    "--temperature": ("temperature", _TEMPERATURE),
    "--max-candidates": ("max_candidates", _MAX_CANDIDATES),
    "--seed": ("seed", _SEED),
    "--jobs": ("jobs", _jobs),
    "-o": ("output", str),
    "--output": ("output", str),
}
_BATCH_FLAGS = {"--fail-fast": "fail_fast", "--no-progress": "no_progress"}


def quick_batch(argv: Sequence[str]) -> SimpleNamespace | None:
    """A plain `batch` command line parsed as argparse would, or None for argparse
    to parse. Plain: known options, each value a separate word not starting with
    "-" (but "-" itself) or after "=", and the inputs in one run of words."""
    if len(argv) < 2 or argv[0] != "batch":
        return None
    args = SimpleNamespace(
        command="batch",
        handler="_batch:run",
        lores=[],
        config=None,
        temperature=None,
        max_candidates=None,
        seed=None,
        jobs=1,
        output=None,
        fail_fast=False,
        no_progress=False,
    )
    words = iter(argv[1:])
    runs = 0  # runs of inputs: argparse takes the first, and refuses words of a second
    last_was_input = False
    for word in words:
        if word == "-" or not word.startswith("-"):
            runs += not last_was_input
            last_was_input = True
            args.lores.append(word)
            continue
        last_was_input = False
        if word in _BATCH_FLAGS:
            setattr(args, _BATCH_FLAGS[word], True)
            continue
        option, equals, value = word.partition("=")
        if option not in _BATCH_VALUES or (equals and option == "-o"):
            return None
        if not equals:
            value = next(words, "--")
            if value != "-" and value.startswith("-"):
                return None
        if not value:
            return None
        name, convert = _BATCH_VALUES[option]
        try:
            setattr(args, name, convert(value))
        except Exception:  # argparse says what is wrong with it
            return None
    return args if runs == 1 else None


def handler(args: SimpleNamespace) -> Callable[[SimpleNamespace], int]:
    """The parsed command's function, its module loaded now."""
    module, function = args.handler.split(":")
    run: Callable[[SimpleNamespace], int] = getattr(import_module(f"quillforge.cli.{module}"), function)
    return run
