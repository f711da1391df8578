"""One candidate per lore line, in input order, with bounded memory.

Lines are read lazily and handed out in chunks; with several jobs at most a
few chunks per worker are in flight, so memory does not grow with the file.
The module holds the interpreter lock for each call, so parallel work needs
processes, not threads."""

from __future__ import annotations

import sys
import time
from collections import deque
from collections.abc import Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from dataclasses import dataclass
from typing import BinaryIO, TextIO

from quillforge._native import generate_candidate_json

CHUNK_LINES = 256
CHUNKS_PER_JOB = 4

# (line number, raw line) in; (line number, candidate or None, error or None) out.
Line = tuple[int, bytes]
Outcome = tuple[int, str | None, str | None]


def run_chunk(chunk: list[Line], config_json: str, source: str) -> list[Outcome]:
    outcomes: list[Outcome] = []
    for number, raw in chunk:
        try:
            lore_json = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            outcomes.append((number, None, f"{source}: line {number} is not valid UTF-8 ({error.reason})"))
            continue
        try:
            outcomes.append((number, generate_candidate_json(lore_json, config_json), None))
        except ValueError as error:
            outcomes.append((number, None, f"line {number}: {error}"))
    return outcomes


def _chunks(stream: BinaryIO, progress: Progress) -> Iterator[list[Line]]:
    chunk: list[Line] = []
    for number, raw in enumerate(stream, start=1):
        progress.advance(len(raw))
        if not raw.strip():
            continue  # blank lines carry no lore
        # The line end separates lores; it is not part of the text, so error
        # positions stay on line 1.
        chunk.append((number, raw.removesuffix(b"\n").removesuffix(b"\r")))
        if len(chunk) == CHUNK_LINES:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


def _serial(chunks: Iterable[list[Line]], config_json: str, source: str) -> Iterator[list[Outcome]]:
    for chunk in chunks:
        yield run_chunk(chunk, config_json, source)


def _parallel(chunks: Iterable[list[Line]], config_json: str, source: str, jobs: int) -> Iterator[list[Outcome]]:
    with ProcessPoolExecutor(max_workers=jobs) as pool:
        pending: deque[Future[list[Outcome]]] = deque()
        for chunk in chunks:
            pending.append(pool.submit(run_chunk, chunk, config_json, source))
            if len(pending) >= jobs * CHUNKS_PER_JOB:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()


@dataclass
class Progress:
    """A one-line progress display on standard error, when it is a terminal."""

    total_bytes: int | None
    stream: TextIO | None
    done_bytes: int = 0
    lines: int = 0
    failed: int = 0
    _last_draw: float = 0.0

    def advance(self, size: int) -> None:
        self.done_bytes += size

    def record(self, ok: bool) -> None:
        self.lines += 1
        self.failed += not ok
        now = time.monotonic()
        if self.stream is not None and now - self._last_draw > 0.1:
            self._last_draw = now
            self.draw()

    def draw(self) -> None:
        if self.stream is None:
            return
        if self.total_bytes:
            share = min(self.done_bytes / self.total_bytes, 1.0)
            bar = "#" * int(share * 30)
            head = f"[{bar:<30}] {share:6.1%}"
        else:
            head = f"{self.done_bytes / 1e6:,.1f} MB read"
        self.stream.write(f"\r{head}  {self.lines:,} lines, {self.failed:,} failed")
        self.stream.flush()

    def clear(self) -> None:
        """Wipes the progress line so that a message can take its place."""
        if self.stream is not None:
            self.stream.write("\r\033[K")

    def finish(self) -> None:
        if self.stream is not None:
            self.draw()
            self.stream.write("\n")
            self.stream.flush()


@dataclass
class BatchResult:
    written: int = 0
    failed: int = 0
    stopped_early: bool = False


def run_batch(
    stream: BinaryIO,
    out: BinaryIO,
    errors: TextIO,
    *,
    config_json: str,
    source: str,
    jobs: int,
    fail_fast: bool,
    progress: Progress,
) -> BatchResult:
    """Writes one candidate line per good input line and reports the others."""
    result = BatchResult()
    chunks = _chunks(stream, progress)
    if jobs > 1:
        batches = _parallel(chunks, config_json, source, jobs)
    else:
        batches = _serial(chunks, config_json, source)
    try:
        for outcomes in batches:
            for _number, candidate, error in outcomes:
                progress.record(error is None)
                if candidate is not None:
                    out.write(candidate.encode("utf-8"))
                    out.write(b"\n")
                    result.written += 1
                    continue
                result.failed += 1
                progress.clear()
                errors.write(f"{error}\n")
                if fail_fast:
                    result.stopped_early = True
                    return result
    finally:
        closer = getattr(batches, "close", None)
        if closer is not None:
            closer()
        progress.finish()
    return result


def stderr_progress(total_bytes: int | None) -> Progress:
    return Progress(total_bytes, sys.stderr if sys.stderr.isatty() else None)
