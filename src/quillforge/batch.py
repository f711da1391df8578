"""Many lores at once: one candidate per line of JSON Lines text.

Each line of the input holds one lore's JSON text (object or array form). Every
non-blank line gives one result, in input order: the candidate's JSON text, or
the error that the line met. Blank lines (nothing but ASCII whitespace) are
skipped but still counted, so line numbers are those of the input. A line's end
(``\\n`` or ``\\r\\n``) is not part of the lore's text: an error position never
counts it; a lone ``\\r`` is text (JSON white space), even at the end of the input.

>>> from quillforge.batch import generate_lines
>>> config = '{"temperature":0.7,"max_candidates":3,"seed":42}'
>>> lines = ['{"id":"l","title":"T","blocks":[["b","hi"]]}', "", '{"id":"l"}']
>>> for result in generate_lines(lines, config):
...     print(type(result).__name__, result.line)
Candidate 1
LineError 3
>>> result.message
'serialization failed: missing field `title` at line 1 column 10'

``generate_file`` does the same from a file into a file, writing one candidate
per line; it is what ``quillforge batch`` runs.
"""

from __future__ import annotations

import contextlib
import os
import queue
import threading
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from itertools import repeat
from typing import BinaryIO, NamedTuple, Protocol

from quillforge._native import generate_candidate_json
from quillforge._output import AtomicOutput, SameFileError, refuse_same_file

__all__ = [
    "Candidate",
    "FileReport",
    "LineError",
    "LineResult",
    "Readable",
    "SameFileError",
    "check_config",
    "generate_file",
    "generate_lines",
    "run_file",
    "usable_jobs",
]

# A chunk of lines is the unit of work, of writing and of progress: about this
# many bytes, or one line when a line is longer.
CHUNK_BYTES = 1 << 20
# The module releases the interpreter lock only for lores this long or longer;
# shorter ones gain nothing from another thread, so they are run in the
# consuming thread and never queued.
THREADED_LINE_BYTES = 32 << 10
# Chunks in flight per worker: enough to keep each busy, few enough that memory
# stays bounded by the window, whatever the file's size.
CHUNKS_PER_JOB = 2

_BLANK = " \t\n\r\x0b\x0c"
_PROBE_LORE = '{"id":"probe","title":"probe","blocks":[{"id":"b","content":"c"}]}'


class Candidate(NamedTuple):
    """A line that gave a candidate: its 1-based line number and the candidate's JSON text."""

    line: int
    text: str


class LineError(NamedTuple):
    """A line that gave no candidate: its 1-based line number and why.

    ``message`` is the engine's own text ("serialization failed: ..." or
    "validation failed: ..."), or "not valid UTF-8 (...)" for a line of bytes
    that is not UTF-8.
    """

    line: int
    message: str


LineResult = Candidate | LineError


@dataclass(slots=True)
class FileReport:
    """What one run over a file did."""

    lines: int = 0  # non-blank lines read and answered (written or failed)
    written: int = 0  # candidates written
    failed: int = 0
    last_line: int = 0  # the input line after which the output stops
    stopped_early: bool = False  # fail_fast stopped at a failed line
    errors: list[LineError] = field(default_factory=list)


def check_config(config_json: str) -> None:
    """Raises the engine's ValueError when `config_json` would fail every line.

    A configuration that does not decode, or breaks a rule, makes every lore
    fail; checking it once spares a message per line.
    """
    generate_candidate_json(_PROBE_LORE, config_json)


def usable_jobs(jobs: int) -> int:
    """The number of worker threads worth starting for `jobs` (0: one per usable core)."""
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        cores = os.cpu_count() or 1
    return cores if jobs <= 0 else max(1, min(jobs, cores))


# ---------------------------------------------------------------- lines to results

# A chunk of lines is the unit of work: its text is decoded, split and answered
# by a few calls that each run over the whole chunk, so the batch adds little to
# the engine's own time per line.


@dataclass(slots=True)
class _Chunk:
    first: int  # the number of its first line
    last: int  # the number of its last line
    texts: list[str]  # its non-blank lines, without their ends
    numbers: list[int] | None  # their line numbers; None when they are first, first + 1, ...
    unreadable: list[LineError]  # its lines that are not UTF-8
    size: int  # bytes or characters of its lines
    read: int  # input consumed up to its end

    def number(self, index: int) -> int:
        return self.first + index if self.numbers is None else self.numbers[index]


def _not_utf8(number: int, raw: bytes, error: UnicodeDecodeError) -> LineError:
    return LineError(number, f"not valid UTF-8 (byte 0x{raw[error.start]:02x} at offset {error.start})")


# How text is cut into lines, for files and for the items of generate_lines alike:
# - a line ends at "\n", or at "\r\n": the "\r" goes with the "\n";
# - any other "\r" (a lone one, even at the very end of the input) is part of the
#   line's text, where JSON takes it as white space, so error columns count it as
#   the engine does;
# - a line of nothing but _BLANK characters (none at all included) is blank: it
#   gives no result but is counted, so line numbers stay those of the input.
# An item of generate_lines is one line: a trailing "\n" or "\r\n" is its end,
# any other "\n" in it is part of its text.


def _split_at_ends(block: str) -> list[str]:
    """The lines of a block of text, without their ends."""
    lines = block.split("\n")
    unended = lines.pop()  # what follows the last "\n": a line without an end, or nothing
    if "\r" in block:  # much faster to ask than to replace
        lines = [line[:-1] if line.endswith("\r") else line for line in lines]
    if unended:
        lines.append(unended)
    return lines


def _split_bytes_at_ends(block: bytes) -> list[bytes]:
    lines = block.split(b"\n")
    unended = lines.pop()
    if b"\r" in block:
        lines = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    if unended:
        lines.append(unended)
    return lines


def _line_by_line(raws: Sequence[bytes | str], first: int, size: int, read: int, *, ended: bool = False) -> _Chunk:
    """A chunk whose lines need looking at one by one: blank lines, bytes that
    may not be UTF-8, items of generate_lines. Each of `raws` holds its line
    end if it had one, or with `ended` has had it taken off already."""
    texts: list[str] = []
    numbers: list[int] = []
    unreadable: list[LineError] = []
    for number, raw in enumerate(raws, start=first):
        if isinstance(raw, bytes):
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                unreadable.append(_not_utf8(number, raw, error))
                continue
        else:
            text = raw
        if not ended and text.endswith("\n"):
            text = text[:-2] if text.endswith("\r\n") else text[:-1]
        if text.strip(_BLANK):
            texts.append(text)
            numbers.append(number)
    return _Chunk(first, first + len(raws) - 1, texts, numbers, unreadable, size, read)


def _chunk_of_block(block: bytes, first: int, read: int) -> _Chunk:
    """The chunk of a block of whole lines read from a file (its last line may
    have no end, at the end of the file)."""
    try:
        text = block.decode("utf-8")
    except UnicodeDecodeError:
        return _line_by_line(_split_bytes_at_ends(block), first, len(block), read, ended=True)
    lines = _split_at_ends(text)
    # A blank line is empty or starts with whitespace, so it sorts before "!":
    # found at C speed.
    if min(lines, default="") < "!":
        return _line_by_line(lines, first, len(block), read, ended=True)
    return _Chunk(first, first + len(lines) - 1, lines, None, [], len(block), read)


class Readable(Protocol):
    """What the batch reads a file through: a binary file, or anything with these."""

    def read(self, size: int = -1, /) -> bytes: ...
    def readline(self, size: int = -1, /) -> bytes: ...


def _chunks_of_stream(stream: Readable, first_line: int) -> Iterator[_Chunk]:
    read = 0
    # From a pipe, what has arrived: its lines are answered as they come.
    seekable = getattr(stream, "seekable", None)
    take = stream.read if seekable is None or seekable() else getattr(stream, "read1", stream.read)
    while block := take(CHUNK_BYTES):
        if not block.endswith(b"\n"):
            block += stream.readline()  # the rest of its last line
        read += len(block)
        chunk = _chunk_of_block(block, first_line, read)
        first_line = chunk.last + 1
        yield chunk


def _as_line(raw: object, number: int) -> bytes | str:
    if isinstance(raw, str):
        return raw
    if isinstance(raw, (bytes, bytearray, memoryview)):
        return bytes(raw)
    raise TypeError(f"line {number}: expected str or bytes, not {type(raw).__name__}")


def _chunks_of_lines(lines: Iterable[bytes | str], first_line: int) -> Iterator[_Chunk]:
    raws: list[bytes | str] = []
    size = read = 0
    for raw in lines:
        if type(raw) is not str and type(raw) is not bytes:
            raw = _as_line(raw, first_line + len(raws))
        raws.append(raw)
        size += len(raw)
        if size >= CHUNK_BYTES:
            read += size
            yield _line_by_line(raws, first_line, size, read)
            first_line += len(raws)
            raws, size = [], 0
    if raws:
        yield _line_by_line(raws, first_line, size, read + size)


@dataclass(slots=True)
class _Answers:
    texts: list[str]  # the candidates, in line order
    errors: list[LineError]  # in line order
    stop: int | None = None  # with fail_fast: the line of the first error, which ends the run


def _answer(chunk: _Chunk, config_json: str) -> _Answers:
    answers: list[str | LineError] = []
    results = map(generate_candidate_json, chunk.texts, repeat(config_json))
    while True:
        try:
            answers.extend(results)  # on a failure the list keeps the answers before it
            break
        except ValueError as error:  # the engine's message; a lone surrogate's UnicodeEncodeError too
            answers.append(LineError(chunk.number(len(answers)), str(error)))
    errors = [answer for answer in answers if type(answer) is LineError]
    if not errors and not chunk.unreadable:
        return _Answers(answers, [])  # type: ignore[arg-type]
    texts = [answer for answer in answers if type(answer) is str]
    return _Answers(texts, sorted(errors + chunk.unreadable))


def _done(value: _Answers) -> Future[_Answers]:
    future: Future[_Answers] = Future()
    future.set_result(value)
    return future


def _answered(chunks: Iterator[_Chunk], config_json: str, jobs: int) -> Generator[tuple[_Chunk, _Answers]]:
    """Each chunk with its answers, in input order. With several jobs, chunks of
    long lines go to worker threads while short ones are answered here."""
    workers = usable_jobs(jobs)
    if workers == 1:
        for chunk in chunks:
            yield chunk, _answer(chunk, config_json)
        return
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="quillforge-batch")
    pending: deque[tuple[_Chunk, Future[_Answers]]] = deque()
    try:
        for chunk in chunks:
            if chunk.size >= THREADED_LINE_BYTES * len(chunk.texts):
                pending.append((chunk, pool.submit(_answer, chunk, config_json)))
            else:
                pending.append((chunk, _done(_answer(chunk, config_json))))
            while len(pending) > workers * CHUNKS_PER_JOB or (pending and pending[0][1].done()):
                ready, future = pending.popleft()
                yield ready, future.result()
        while pending:
            ready, future = pending.popleft()
            yield ready, future.result()
    finally:
        # Whatever ends the run (the consumer stopping, an interrupt), nothing
        # waits for work that is no longer wanted.
        pool.shutdown(wait=False, cancel_futures=True)


def generate_lines(
    lines: Iterable[bytes | str], config_json: str, *, jobs: int = 1, first_line: int = 1
) -> Iterator[LineResult]:
    """One result per non-blank line, in input order.

    `lines` holds one lore per item (str, or bytes in UTF-8; bytearray and
    memoryview are taken as bytes), with or without its line end; `first_line`
    is the number of the first item. A single str or bytes is refused with
    TypeError rather than read a character at a time: pass ``[text]`` for one
    lore, ``io.StringIO(text)`` for a text of many lines. `jobs` worker
    threads (0: one per core) answer long lines (32 KB and more) in parallel;
    shorter lines are answered in the calling thread, where more threads would
    only wait for the interpreter lock. Stopping the iteration stops the work.
    """
    if isinstance(lines, (str, bytes, bytearray, memoryview)):
        kind = type(lines).__name__
        raise TypeError(
            f"generate_lines takes an iterable of lines, not a single {kind}: pass [text] for one lore, "
            f"or io.{'StringIO' if kind == 'str' else 'BytesIO'}(text) to read a text of many lines"
        )
    return _generate_lines(lines, config_json, jobs, first_line)


def _generate_lines(lines: Iterable[bytes | str], config_json: str, jobs: int, first_line: int) -> Iterator[LineResult]:
    for chunk, answers in _answered(_chunks_of_lines(lines, first_line), config_json, jobs):
        numbers = [chunk.number(index) for index in range(len(chunk.texts))]
        numbers.extend(error.line for error in chunk.unreadable)
        candidates = iter(answers.texts)
        errors = {error.line: error for error in answers.errors}
        for number in sorted(numbers):
            error = errors.get(number)
            yield error if error is not None else Candidate(number, next(candidates))


# ---------------------------------------------------------------- files


ProgressCallback = Callable[[int, FileReport], None]  # (input bytes read, report so far)
ErrorCallback = Callable[[LineError], None]


class _Writer(threading.Thread):
    """Writes the answered chunks in order and counts them in the report.

    A signal handler raises only in the main thread, so a chunk written here is
    never cut short by one, and the report always says exactly where the output
    ends: after an interruption the main thread lets this thread finish the
    chunk in hand, then reads the report."""

    def __init__(
        self,
        out: BinaryIO,
        report: FileReport,
        on_error: ErrorCallback | None,
        on_progress: ProgressCallback | None,
    ) -> None:
        super().__init__(name="quillforge-writer", daemon=True)
        self.out = out
        self.report = report
        self.on_error = on_error
        self.on_progress = on_progress
        self.chunks: queue.Queue[tuple[_Chunk, _Answers] | None] = queue.Queue(maxsize=2)
        self.stopping = threading.Event()
        self.failure: BaseException | None = None

    def run(self) -> None:
        try:
            while not self.stopping.is_set():
                item = self.chunks.get()
                if item is None:
                    return
                self._write(*item)
        except BaseException as failure:  # handed to the main thread
            self.failure = failure

    def _write(self, chunk: _Chunk, answers: _Answers) -> None:
        if answers.texts:
            answers.texts.append("")
            self.out.write("\n".join(answers.texts).encode("utf-8"))
            answers.texts.pop()
        report = self.report
        report.lines += len(answers.texts) + len(answers.errors)
        report.written += len(answers.texts)
        report.failed += len(answers.errors)
        report.last_line = chunk.last if answers.stop is None else answers.stop
        for error in answers.errors:
            if self.on_error is None:
                report.errors.append(error)
            else:
                self.on_error(error)
        if self.on_progress is not None:
            self.on_progress(chunk.read, report)

    def put(self, item: tuple[_Chunk, _Answers] | None) -> None:
        while True:
            self.raise_failure()
            try:
                self.chunks.put(item, timeout=0.05)
                return
            except queue.Full:
                continue

    def raise_failure(self) -> None:
        if self.failure is not None:
            raise self.failure

    def finish(self) -> None:
        self.put(None)
        self.join()
        self.raise_failure()

    def abandon(self) -> None:
        """Stops after the chunk in hand; waits a little for it (a reader that
        stopped reading could hold it for ever)."""
        self.stopping.set()
        with contextlib.suppress(queue.Full):
            self.chunks.put_nowait(None)
        self.join(timeout=2.0)


def _up_to_first_error(chunk: _Chunk, answers: _Answers) -> _Answers:
    """With fail_fast: the answers of the lines up to the first that failed."""
    stop = answers.errors[0].line
    before = sum(1 for index in range(len(chunk.texts)) if chunk.number(index) < stop)
    good_before = before - sum(1 for error in chunk.unreadable if error.line < stop)
    return _Answers(answers.texts[:good_before], answers.errors[:1], stop)


def run_file(
    source: Readable,
    out: BinaryIO,
    config_json: str,
    report: FileReport,
    *,
    jobs: int = 1,
    fail_fast: bool = False,
    on_error: ErrorCallback | None = None,
    on_progress: ProgressCallback | None = None,
) -> FileReport:
    """The loop behind `generate_file` and the command line: answers the lines of
    `source` (a binary file) and writes the candidates to `out`, a
    chunk at a time, keeping `report` up to date after each chunk written, so
    that a caller that is interrupted knows where the output stops. `on_error`
    and `on_progress` are called from the thread that writes. Raises
    SameFileError when `out` is the file `source` reads.
    """
    refuse_same_file(source, out)
    chunks = _chunks_of_stream(source, 1)
    writer = _Writer(out, report, on_error, on_progress)
    writer.start()
    try:
        with contextlib.closing(_answered(chunks, config_json, jobs)) as answered:
            for chunk, answers in answered:
                if fail_fast and answers.errors:
                    writer.put((chunk, _up_to_first_error(chunk, answers)))
                    report.stopped_early = True
                    break
                writer.put((chunk, answers))
    except BaseException:
        writer.abandon()
        raise
    writer.finish()
    return report


def generate_file(
    source: str | os.PathLike[str] | BinaryIO,
    destination: str | os.PathLike[str] | BinaryIO,
    config_json: str,
    *,
    jobs: int = 1,
    fail_fast: bool = False,
    on_error: ErrorCallback | None = None,
    on_progress: ProgressCallback | None = None,
) -> FileReport:
    """Writes one candidate per line of `source` into `destination`, in input order.

    `source` and `destination` are paths or binary files. A destination path is
    written through a temporary file in its folder and replaced only when the
    run succeeds, so it never holds half a run; a symbolic link is written
    through to what it names, and an existing file keeps its mode. Lines that
    fail are not written: each goes to `on_error`, or into the report's
    `errors` when there is none. `fail_fast` stops at the first failed line;
    a destination path is then left as it was, and the candidates before that
    line are kept in the destination + ".partial". Raises SameFileError (an
    OSError) up front when the destination is the source file, the engine's
    ValueError when the configuration would fail every line, OSError when a
    file cannot be used.
    """
    refuse_same_file(source, destination)
    check_config(config_json)
    report = FileReport()
    with contextlib.ExitStack() as stack:
        lines: BinaryIO = stack.enter_context(open(source, "rb")) if isinstance(source, (str, os.PathLike)) else source
        if isinstance(destination, (str, os.PathLike)):
            atomic = stack.enter_context(AtomicOutput(os.fspath(destination)))
            out = atomic.stream
        else:
            atomic, out = None, destination
        run_file(
            lines, out, config_json, report, jobs=jobs, fail_fast=fail_fast, on_error=on_error, on_progress=on_progress
        )
        if atomic is not None:
            if report.stopped_early:
                atomic.keep_partial()
            else:
                atomic.commit()
    return report
