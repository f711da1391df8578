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

import _thread
import contextlib
import io
import os
import queue
import threading
from collections import deque, namedtuple
from collections.abc import Callable, Generator, Iterable, Iterator

from quillforge._lines import generate_candidates
from quillforge._native import generate_candidate_json
from quillforge._output import AtomicOutput, refuse_same_file

TYPE_CHECKING = False  # typing.TYPE_CHECKING without loading typing
if TYPE_CHECKING:
    from typing import BinaryIO, NamedTuple, Protocol

    from quillforge._output import SameFileError
else:
    # typing alone costs the command more start-up time than the rest of this
    # module. A NamedTuple class is made here as typing makes it (by
    # collections.namedtuple, from the class's annotated fields); a Protocol is
    # documentation only.

    class _NamedTupleType(type):
        def __new__(cls, name, bases, namespace):
            if not bases:  # NamedTuple itself
                return super().__new__(cls, name, bases, namespace)
            made = namedtuple(name, namespace["__annotations__"], module=namespace["__module__"])
            made.__doc__ = namespace.get("__doc__")
            made.__annotations__ = namespace["__annotations__"]
            return made

    class NamedTuple(metaclass=_NamedTupleType):
        pass

    Protocol = object


def __getattr__(name: str) -> type[OSError]:
    if name == "SameFileError":  # made on first use, see _output
        from quillforge import _output

        return _output.SameFileError
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


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
# Chunks in flight per worker: enough to keep each busy, few enough that memory
# stays bounded by the window, whatever the file's size.
CHUNKS_PER_JOB = 2

# A blank line holds nothing but ASCII white space as Python counts it
# (string.whitespace, what bytes.strip() removes), the set the native entry
# uses too; the engine's own blank test leaves out "\v".
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


class FileReport:
    """What one run over a file did; a new one counts nothing (zeros, False, no errors)."""

    # Not a dataclass: that module alone costs the command milliseconds at start.
    __slots__ = ("lines", "written", "failed", "last_line", "stopped_early", "errors")  # noqa: RUF023  # repr's order
    lines: int  # non-blank lines read and answered (written or failed)
    written: int  # candidates written
    failed: int
    last_line: int  # the input line after which the output stops
    stopped_early: bool  # fail_fast stopped at a failed line
    errors: list[LineError]

    def __init__(
        self,
        lines: int = 0,
        written: int = 0,
        failed: int = 0,
        last_line: int = 0,
        stopped_early: bool = False,
        errors: list[LineError] | None = None,
    ) -> None:
        self.lines = lines
        self.written = written
        self.failed = failed
        self.last_line = last_line
        self.stopped_early = stopped_early
        self.errors = [] if errors is None else errors

    def _fields(self) -> list[object]:
        return [getattr(self, name) for name in self.__slots__]

    def __repr__(self) -> str:
        shown = ", ".join(f"{name}={value!r}" for name, value in zip(self.__slots__, self._fields(), strict=True))
        return f"FileReport({shown})"

    def __eq__(self, other: object) -> bool:
        return self._fields() == other._fields() if isinstance(other, FileReport) else NotImplemented

    __hash__ = None  # type: ignore[assignment]  # mutable


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

# A chunk of lines is the unit of work: a block of whole lines that the
# native entry answers in one call, splitting, testing and answering its lines
# with the interpreter lock released, so that blocks run in parallel on threads.


class _Chunk:
    __slots__ = ("block", "buffer", "buffers", "first", "head", "lines", "numbers", "own", "read")

    def __init__(
        self,
        block: bytes | memoryview,
        read: int,
        head: bytes = b"",
        buffer: bytearray | None = None,
        buffers: _Buffers | None = None,
        numbers: list[int] | None = None,
        own: list[LineResult] | None = None,
    ) -> None:
        self.block = block  # its lines, each ended by "\n" but perhaps the last
        self.read = read  # input consumed up to its end
        # A file's chunk: the line that the read before cut, joined (its lines come
        # first), and the kept buffer that `block` is a view of, given back once answered.
        self.head = head
        self.buffer = buffer
        self.buffers = buffers
        # The number of its first line and its lines (blank ones included), known
        # once the chunks before it are answered: counting them here would cost
        # more than answering them.
        self.first = 0
        self.lines = 0
        # generate_lines only: the numbers of the block's non-blank lines, and the
        # results of items that could not be lines of a block, found one by one.
        self.numbers = numbers
        self.own = own

    @property
    def last(self) -> int:
        return self.first + self.lines - 1


class _Answers:
    __slots__ = ("buffer", "buffers", "errors", "lines", "output", "stop", "written")

    def __init__(
        self,
        output: bytes | memoryview,
        written: int,
        errors: list[LineError],
        stop: int | None,
        lines: int,
        buffer: bytearray | None = None,
        buffers: _Buffers | None = None,
    ) -> None:
        self.output = output  # the candidates, each followed by "\n", in line order
        self.written = written  # candidates in it
        self.errors = errors  # in line order
        self.stop = stop  # with fail_fast: the line of the first error, which ends the run
        self.lines = lines  # lines read, blank ones included
        self.buffer = buffer  # the kept buffer that `output` is a view of, given back once written
        self.buffers = buffers


class _Buffers:
    """Buffers of one size kept from one chunk to the next, so that each chunk's
    input and output land on pages already mapped, and nothing is copied to make
    a bytes object of them. As many exist as chunks are in flight at once."""

    def __init__(self, size: int) -> None:
        self.size = size
        self.free: list[bytearray] = []

    def take(self) -> bytearray:
        try:
            return self.free.pop()
        except IndexError:
            return bytearray(self.size)

    def give(self, buffer: bytearray) -> None:
        self.free.append(buffer)


# The output of a chunk of small lores is a little larger than its input, and
# the engine writes with room for a lore and 512 bytes past its end; an output
# that does not fit comes back as bytes.
_OUTPUT_BYTES = CHUNK_BYTES + CHUNK_BYTES // 2


class Readable(Protocol):
    """What the batch reads a file through: a binary file, or anything with these."""

    def read(self, size: int = -1, /) -> bytes: ...
    def readline(self, size: int = -1, /) -> bytes: ...


def _chunks_of_stream(stream: Readable, buffers: _Buffers | None = None) -> Iterator[_Chunk]:
    """The stream's lines in chunks of whole lines. A chunk is what one read
    gave, up to its last line end; the line that read cut is joined to the next
    read's first line as that chunk's head, so only that line is copied. With
    `buffers`, a stream that has readinto reads into kept buffers."""
    # From a pipe, what has arrived: its lines are answered as they come.
    seekable = getattr(stream, "seekable", None)
    piped = not (seekable is None or seekable())
    take = getattr(stream, "read1", stream.read) if piped else stream.read
    read_into = None if buffers is None else getattr(stream, "readinto1" if piped else "readinto", None)
    pool = None if read_into is None else buffers
    cut: list[bytes] = []  # the line that the reads so far cut, in pieces
    read = 0
    while True:
        buffer: bytearray | None = None
        if read_into is not None and pool is not None:
            buffer = pool.take()
            size = read_into(buffer)
            data: bytes | bytearray = buffer
        else:
            data = take(CHUNK_BYTES)
            size = len(data)
        if not size:
            break
        read += size
        view = memoryview(data)[:size]
        last = data.rfind(b"\n", 0, size)
        if last < 0:  # a line longer than a read
            cut.append(bytes(view))
            if buffer is not None and pool is not None:
                pool.give(buffer)
            continue
        head = b""
        start = 0
        if cut:
            start = data.find(b"\n", 0, size) + 1
            head = b"".join([*cut, view[:start]])
        cut = [bytes(view[last + 1 :])] if last + 1 < size else []
        yield _Chunk(view[start : last + 1], read - (size - last - 1), head, buffer, pool)
    if cut:
        yield _Chunk(b"", read, b"".join(cut))


# How text is cut into lines, for files and for the items of generate_lines alike:
# - a line ends at "\n", or at "\r\n": the "\r" goes with the "\n";
# - any other "\r" (a lone one, even at the very end of the input) is part of the
#   line's text, where JSON takes it as white space, so error columns count it as
#   the engine does;
# - a line of nothing but _BLANK characters (none at all included) is blank: it
#   gives no result but is counted, so line numbers stay those of the input.
# An item of generate_lines is one line: a trailing "\n" or "\r\n" is its end,
# any other "\n" in it is part of its text.
# The native entry applies these rules to the lines of a block.


def _apart(number: int, raw: bytes | str, config_json: str) -> LineResult | None:
    """The result of an item that cannot be one line of a block, as the item's own."""
    if isinstance(raw, bytes):
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            return _not_utf8(number, raw, error)
    else:
        text = raw
    if text.endswith("\n"):
        text = text[:-2] if text.endswith("\r\n") else text[:-1]
    if not text.strip(_BLANK):
        return None
    try:
        return Candidate(number, generate_candidate_json(text, config_json))
    except ValueError as error:  # the engine's message; a lone surrogate's UnicodeEncodeError too
        return LineError(number, str(error))


def _chunks_of_lines(lines: Iterable[bytes | str], first_line: int, config_json: str) -> Iterator[_Chunk]:
    """Items as the lines of blocks. An item that cannot be one line of a block
    (a line feed inside it, a lone surrogate) stands in its block as an empty
    line and is answered apart."""
    parts: list[bytes] = []
    numbers: list[int] = []
    own: list[LineResult] = []
    size = read = 0
    number = first_line
    for raw in lines:
        if type(raw) is not str and type(raw) is not bytes:
            raw = _as_line(raw, number)
        line: bytes | None
        if isinstance(raw, str):
            try:
                line = raw.encode("utf-8")
            except UnicodeEncodeError:
                line = None
        else:
            line = raw
        if line is not None and line.endswith(b"\n"):
            line = line[:-2] if line.endswith(b"\r\n") else line[:-1]
        if line is None or b"\n" in line:
            if (result := _apart(number, raw, config_json)) is not None:
                own.append(result)
            line = b""
        elif line.strip():  # bytes: _BLANK
            numbers.append(number)
            if line.endswith(b"\r"):  # text: a "\r" before the block's "\n" would end the line
                line += b"\r"
        parts.append(line)
        size += len(line) + 1
        number += 1
        if size >= CHUNK_BYTES:
            read += size
            yield _lines_chunk(parts, numbers, own, read)
            parts, numbers, own, size = [], [], [], 0
    if parts:
        yield _lines_chunk(parts, numbers, own, read + size)


def _as_line(raw: object, number: int) -> bytes | str:
    if isinstance(raw, str):
        return raw
    if isinstance(raw, (bytes, bytearray, memoryview)):
        return bytes(raw)
    raise TypeError(f"line {number}: expected str or bytes, not {type(raw).__name__}")


def _lines_chunk(parts: list[bytes], numbers: list[int], own: list[LineResult], read: int) -> _Chunk:
    parts.append(b"")  # each item is one line of the block
    return _Chunk(b"\n".join(parts), read, numbers=numbers, own=own)


def _not_utf8(number: int, raw: bytes, error: UnicodeDecodeError) -> LineError:
    return LineError(number, f"not valid UTF-8 (byte 0x{raw[error.start]:02x} at offset {error.start})")


def _answer(chunk: _Chunk, config_json: str, stop_at_failure: bool, outputs: _Buffers | None) -> _Answers:
    """The chunk's answers, its lines numbered from 1. With `outputs`, the
    candidates are written into a kept buffer, whose view the answers hold."""
    buffer = None if outputs is None else outputs.take()
    size = lines = written = 0
    spilled: list[bytes] = []  # output that did not fit the buffer, after its first `size` bytes
    errors: list[LineError] = []
    for block in (chunk.head, chunk.block) if chunk.head else (chunk.block,):
        into = None if buffer is None or spilled else memoryview(buffer)[size:]
        output, count, done, failures = generate_candidates(
            block, config_json, first_line=lines + 1, stop_at_failure=stop_at_failure, into=into
        )
        if isinstance(output, int):
            size += output
        else:
            spilled.append(output)
        lines += count
        written += done
        errors.extend(LineError(number, message) for number, message in failures)
        if stop_at_failure and errors:
            break
    if chunk.buffer is not None and chunk.buffers is not None:
        chunk.block = b""
        chunk.buffers.give(chunk.buffer)
        chunk.buffer = None
    stop = errors[0].line if stop_at_failure and errors else None
    if buffer is None:
        return _Answers(b"".join(spilled), written, errors, stop, lines)
    if spilled:
        joined = b"".join([memoryview(buffer)[:size], *spilled])
        assert outputs is not None
        outputs.give(buffer)
        return _Answers(joined, written, errors, stop, lines)
    return _Answers(memoryview(buffer)[:size], written, errors, stop, lines, buffer, outputs)


def _numbered(chunk: _Chunk, answers: _Answers, first: int) -> tuple[_Chunk, _Answers]:
    """The chunk and its answers, its first line being line `first` of the input."""
    chunk.first, chunk.lines = first, answers.lines
    if first != 1 and answers.errors:
        answers.errors = [LineError(error.line + first - 1, error.message) for error in answers.errors]
        answers.stop = None if answers.stop is None else answers.stop + first - 1
    return chunk, answers


def _answered(
    chunks: Iterator[_Chunk],
    config_json: str,
    jobs: int,
    stop_at_failure: bool = False,
    first_line: int = 1,
    outputs: _Buffers | None = None,
) -> Generator[tuple[_Chunk, _Answers]]:
    """Each chunk with its answers, in input order, numbered from `first_line`.
    With several jobs, chunks are answered on worker threads, a bounded window
    of them in flight."""
    workers = usable_jobs(jobs)
    if workers == 1:
        for chunk in chunks:
            answers = _answer(chunk, config_json, stop_at_failure, outputs)
            yield _numbered(chunk, answers, first_line)
            first_line += answers.lines
        return
    pool = _Workers(workers)
    pending: deque[tuple[_Chunk, _Task]] = deque()
    try:
        for chunk in chunks:
            pending.append((chunk, pool.submit(_answer, chunk, config_json, stop_at_failure, outputs)))
            while len(pending) > workers * CHUNKS_PER_JOB or (pending and pending[0][1].done()):
                ready, task = pending[0]
                answers = task.result()
                pending.popleft()  # only now: an interrupt while waiting leaves it to be waited for
                yield _numbered(ready, answers, first_line)
                first_line += answers.lines
        while pending:
            ready, task = pending[0]
            answers = task.result()
            pending.popleft()
            yield _numbered(ready, answers, first_line)
            first_line += answers.lines
    finally:
        # Whatever ends the run (the consumer stopping, an interrupt), nothing
        # waits for work that is no longer wanted; but a call under way is let
        # finish: the interpreter does not wait for these threads at exit, and
        # one ended inside the engine would end the process with it.
        pool.shutdown()
        under_way = [task for _, task in pending if not task.cancel()]  # all cancelled before any wait
        for task in under_way:
            task.finished.wait()


class _Task:
    """One call, run by whichever comes first: a worker, or the caller that
    wants its result. A caller never waits on a thread that may not have
    started (the interpreter can fail to start one with no word to its starter)."""

    __slots__ = ("args", "claim", "error", "finished", "function", "value")

    def __init__(self, function: Callable[..., _Answers], args: tuple[object, ...]) -> None:
        self.function, self.args = function, args
        self.claim = threading.Lock()  # held by the one that runs it
        self.finished = threading.Event()
        self.value: _Answers | None = None
        self.error: BaseException | None = None

    def done(self) -> bool:
        return self.finished.is_set()

    def run(self) -> None:
        try:
            self.value = self.function(*self.args)
        except BaseException as error:  # raised where the result is asked for
            self.error = error
        finally:
            self.finished.set()

    def cancel(self) -> bool:
        """Whether it had not started, and now never will."""
        return self.claim.acquire(blocking=False)

    def result(self) -> _Answers:
        if self.claim.acquire(blocking=False):
            self.run()
        else:
            self.finished.wait()
        if self.error is not None:
            raise self.error
        assert self.value is not None
        return self.value


class _Workers:
    """Threads that run the calls submitted, first come first served. Not
    concurrent.futures: its import (logging, re, traceback) costs the command
    about as much start-up as a second core saves on a file of 40 MB; and
    a worker that could not start only means less help, never a wait."""

    def __init__(self, count: int) -> None:
        self._tasks: queue.SimpleQueue[_Task | None] = queue.SimpleQueue()
        self.ended = threading.Semaphore(0)  # released by each worker as it ends
        self.started = 0
        for _ in range(count):
            try:
                _thread.start_new_thread(self._work, ())
            except (RuntimeError, MemoryError):  # no room for another thread
                break
            self.started += 1

    def submit(self, function: Callable[..., _Answers], *args: object) -> _Task:
        task = _Task(function, args)
        self._tasks.put(task)
        return task

    def _work(self) -> None:
        try:
            while (task := self._tasks.get()) is not None:
                if task.claim.acquire(blocking=False):
                    task.run()
        finally:
            self.ended.release()

    def shutdown(self) -> None:
        """The threads end once the queue is empty (the caller drops what it no longer wants)."""
        for _ in range(self.started):
            self._tasks.put(None)


def generate_lines(
    lines: Iterable[bytes | str], config_json: str, *, jobs: int = 1, first_line: int = 1
) -> Iterator[LineResult]:
    """One result per non-blank line, in input order.

    `lines` holds one lore per item (str, or bytes in UTF-8; bytearray and
    memoryview are taken as bytes), with or without its line end; `first_line`
    is the number of the first item. A single str or bytes is refused with
    TypeError rather than read a character at a time: pass ``[text]`` for one
    lore, ``io.StringIO(text)`` for a text of many lines. `jobs` worker
    threads (0: one per core) answer blocks of lines in parallel. Stopping the
    iteration stops the work.
    """
    if isinstance(lines, (str, bytes, bytearray, memoryview)):
        kind = type(lines).__name__
        raise TypeError(
            f"generate_lines takes an iterable of lines, not a single {kind}: pass [text] for one lore, "
            f"or io.{'StringIO' if kind == 'str' else 'BytesIO'}(text) to read a text of many lines"
        )
    return _generate_lines(lines, config_json, jobs, first_line)


def _generate_lines(lines: Iterable[bytes | str], config_json: str, jobs: int, first_line: int) -> Iterator[LineResult]:
    chunks = _chunks_of_lines(lines, first_line, config_json)
    for chunk, answers in _answered(chunks, config_json, jobs, first_line=first_line):
        assert chunk.numbers is not None and chunk.own is not None
        candidates = iter(str(answers.output, "utf-8").split("\n"))
        failed = {error.line: error for error in answers.errors}
        own = {result.line: result for result in chunk.own}
        for number in sorted(chunk.numbers + list(own)) if own else chunk.numbers:
            result = own.get(number) or failed.get(number)
            yield result if result is not None else Candidate(number, next(candidates))


# ---------------------------------------------------------------- files


ProgressCallback = Callable[[int, FileReport], None]  # (input bytes read, report so far)
ErrorCallback = Callable[[LineError], None]


class _Writer:
    """Writes the answered chunks in order and counts them in the report.

    A signal handler raises only in the main thread, so a chunk written by the
    writer's thread is never cut short by one, and the report always says
    exactly where the output ends: after an interruption the main thread lets
    that thread finish the chunk in hand, then reads the report. Where the
    thread could not start, the caller writes instead; which of them writes is
    decided once, by who takes `owner` first."""

    def __init__(
        self,
        out: BinaryIO,
        report: FileReport,
        on_error: ErrorCallback | None,
        on_progress: ProgressCallback | None,
    ) -> None:
        self.out = out
        self.report = report
        self.on_error = on_error
        self.on_progress = on_progress
        self.chunks: queue.Queue[tuple[_Chunk, _Answers] | None] = queue.Queue(maxsize=2)
        self.stopping = threading.Event()
        self.failure: BaseException | None = None
        self.owner = threading.Lock()
        self.inline = False  # the caller took the writing over
        self.ended = threading.Event()

    def start(self) -> None:
        with contextlib.suppress(RuntimeError, MemoryError):  # no room for a thread: the caller writes
            _thread.start_new_thread(self._run, ())

    def _run(self) -> None:
        if self.owner.acquire(blocking=False):
            try:
                while not self.stopping.is_set():
                    item = self.chunks.get()
                    if item is None:
                        return
                    self._write(*item)
            except BaseException as failure:  # handed to the main thread
                self.failure = failure
            finally:
                self.ended.set()

    def _write(self, chunk: _Chunk, answers: _Answers) -> None:
        if answers.output:
            self.out.write(answers.output)
        if answers.buffer is not None and answers.buffers is not None:
            answers.output = b""
            answers.buffers.give(answers.buffer)
        report = self.report
        report.lines += answers.written + len(answers.errors)
        report.written += answers.written
        report.failed += len(answers.errors)
        report.last_line = chunk.last if answers.stop is None else answers.stop
        for error in answers.errors:
            if self.on_error is None:
                report.errors.append(error)
            else:
                self.on_error(error)
        if self.on_progress is not None:
            self.on_progress(chunk.read, report)

    def _take_over(self) -> bool:
        """Whether the caller writes from now on: it does once the thread has not
        begun by the time the caller would otherwise wait for it."""
        if not self.inline and self.owner.acquire(blocking=False):
            self.inline = True
            while True:  # what was queued for the thread, in order
                try:
                    item = self.chunks.get_nowait()
                except queue.Empty:
                    break
                if item is not None:
                    self._write(*item)
        return self.inline

    def put(self, item: tuple[_Chunk, _Answers] | None) -> None:
        while True:
            self.raise_failure()
            if self.inline:
                if item is not None:
                    self._write(*item)
                return
            try:
                self.chunks.put(item, timeout=0.05)
                return
            except queue.Full:
                self._take_over()

    def raise_failure(self) -> None:
        if self.failure is not None:
            raise self.failure

    def finish(self) -> None:
        if not self._take_over():
            self.put(None)
            self.ended.wait()
        self.raise_failure()

    def abandon(self) -> None:
        """Stops after the chunk in hand; waits a little for it (a reader that
        stopped reading could hold it for ever)."""
        self.stopping.set()
        if self.inline or self.owner.acquire(blocking=False):
            self.inline = True  # nothing more is written, by either
            return
        with contextlib.suppress(queue.Full):
            self.chunks.put_nowait(None)
        self.ended.wait(timeout=2.0)


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
    chunks = _chunks_of_stream(source, _Buffers(CHUNK_BYTES))
    # A file object writes or copies the bytes it is given before write returns,
    # so the candidates can be handed to it in a buffer that is then reused.
    outputs = _Buffers(_OUTPUT_BYTES) if isinstance(out, io.IOBase) else None
    writer = _Writer(out, report, on_error, on_progress)
    writer.start()
    try:
        with contextlib.closing(_answered(chunks, config_json, jobs, fail_fast, outputs=outputs)) as answered:
            for chunk, answers in answered:
                writer.put((chunk, answers))
                if answers.stop is not None:
                    report.stopped_early = True
                    break
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
