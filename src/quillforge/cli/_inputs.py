"""The command's inputs: files and standard input whose read errors end the
command with one-line messages, the generation settings, and the engine's
errors attributed to the input they come from."""

from __future__ import annotations

import sys
from contextlib import contextmanager

from quillforge.cli._outputs import EXIT_MEMORY, EXIT_REJECTED, Failure, usage
from quillforge.cli._parser import DEFAULT_MAX_CANDIDATES, DEFAULT_SEED, DEFAULT_TEMPERATURE

TYPE_CHECKING = False  # typing.TYPE_CHECKING without loading typing
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from types import SimpleNamespace
    from typing import BinaryIO

    from quillforge.batch import LineError

STDIN_NAME = "<stdin>"


def input_name(path: str) -> str:
    return STDIN_NAME if path == "-" else path


@contextmanager
def reading(name: str) -> Iterator[None]:
    """Turns the ways an input can fail into one-line messages."""
    try:
        yield
    except FileNotFoundError:
        raise usage(f"{name}: no such file") from None
    except IsADirectoryError:
        raise usage(f"{name}: is a directory") from None
    except PermissionError:
        raise usage(f"{name}: permission denied") from None
    except MemoryError:
        raise Failure(f"{name}: out of memory while reading it", EXIT_MEMORY) from None
    except OSError as error:
        raise usage(f"{name}: cannot read ({error.strerror})") from None


def stdin() -> BinaryIO:
    if sys.stdin is None:
        raise usage(f"{STDIN_NAME}: cannot read (standard input is closed)")
    return sys.stdin.buffer


def _decode(data: bytes, name: str) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise usage(f"{name}: not valid UTF-8 (byte 0x{data[error.start]:02x} at offset {error.start})") from None


def read_text(path: str) -> str:
    """The whole UTF-8 text of a file, or of standard input for "-"."""
    shown = input_name(path)
    with reading(shown):
        if path == "-":
            data = stdin().read()
        else:
            with open(path, "rb") as file:
                data = file.read()
    return _decode(data, shown)


class Input:
    """A binary input whose read errors end the command with one-line messages."""

    def __init__(self, stream: BinaryIO, name: str) -> None:
        self.stream = stream
        self.name = name
        self.starts_with_bom = False  # for the hint on line 1's error
        self._first = True

    def _seen(self, data: bytes) -> bytes:
        if self._first and data:
            self._first = False
            self.starts_with_bom = data.startswith(BOM_BYTES)
        return data

    def read(self, size: int = -1, /) -> bytes:
        with reading(self.name):
            return self._seen(self.stream.read(size))

    def read1(self, size: int = -1, /) -> bytes:
        read1: Callable[[int], bytes] = getattr(self.stream, "read1", self.stream.read)
        with reading(self.name):
            return self._seen(read1(size))

    def readinto(self, buffer: bytearray, /) -> int:
        """As a file's: the batch reads into buffers it keeps, rather than into a new bytes object each time."""
        return self._into(buffer, "readinto")

    def readinto1(self, buffer: bytearray, /) -> int:
        return self._into(buffer, "readinto1")

    def _into(self, buffer: bytearray, method: str) -> int:
        read_into: Callable[[bytearray], int] | None = getattr(self.stream, method, None)
        with reading(self.name):
            if read_into is None:  # a stream of the caller's with only read()
                data = self.stream.read(len(buffer))
                buffer[: len(data)] = data
                size = len(data)
            else:
                size = read_into(buffer) or 0
        if self._first:
            self._seen(bytes(buffer[: min(size, len(BOM_BYTES))]))
        return size

    def readline(self, size: int = -1, /) -> bytes:
        with reading(self.name):
            return self._seen(self.stream.readline(size))

    def message(self, error: LineError) -> str:
        """A failed line's message for the user."""
        return f"{self.name} line {error.line}: {with_hint(error.message, error.line == 1 and self.starts_with_bom)}"

    def seekable(self) -> bool:
        return self.stream.seekable()


# ---------------------------------------------------------------- the engine, with its inputs named


BOM = "\ufeff"
BOM_BYTES = BOM.encode()
BOM_HINT = "the input starts with a UTF-8 byte-order mark, which JSON does not allow: save it without one"


def with_hint(message: str, starts_with_bom: bool) -> str:
    """The engine's message, and after it what the user can do about it."""
    if starts_with_bom and message.endswith(" at line 1 column 1"):
        return f"{message} ({BOM_HINT})"
    return message


def rejected(source: str | None, error: ValueError, text: str = "") -> Failure:
    message = with_hint(str(error), text.startswith(BOM))
    return Failure(f"{source}: {message}" if source else message, EXIT_REJECTED)


class Config:  # neither a dataclass nor a NamedTuple: their modules cost milliseconds at start
    __slots__ = ("name", "text")

    def __init__(self, text: str, name: str) -> None:
        self.text = text
        self.name = name  # what an error in it is attributed to


def settings(args: SimpleNamespace) -> Config:
    flags = {"--temperature": args.temperature, "--max-candidates": args.max_candidates, "--seed": args.seed}
    given = {flag: value for flag, value in flags.items() if value is not None}
    if args.config is not None:
        if given:
            raise usage("--config cannot be combined with --temperature, --max-candidates or --seed")
        return Config(read_text(args.config), input_name(args.config))
    values = {
        "temperature": DEFAULT_TEMPERATURE if args.temperature is None else args.temperature,
        "max_candidates": DEFAULT_MAX_CANDIDATES if args.max_candidates is None else args.max_candidates,
        "seed": DEFAULT_SEED if args.seed is None else args.seed,
    }
    shown = " ".join(f"{flag} {value}" for flag, value in given.items()) or "the default settings"
    # What json.dumps writes for these finite numbers (repr), without loading json and re: they cost start-up time.
    return Config("{" + ",".join(f'"{name}":{value!r}' for name, value in values.items()) + "}", shown)


def one_stdin(*paths: str | None) -> None:
    if sum(path == "-" for path in paths) > 1:
        raise usage("standard input can be read only once: give a file for all but one input")


def _blame(error: ValueError, lore_name: str, config: Config) -> str:
    """Which input a failed generation comes from, as the engine's error says."""
    return config.name if getattr(error, "input", None) == "config" else lore_name
