"""Many JSON Lines files at once, on a Dask cluster.

``generate_files`` writes, for each input, the file that ``quillforge batch
INPUTS -o OUTPUT_DIR`` writes: the candidates of the good lines, one per line,
in input order, under the input's file name. The work is cut into shards (byte
ranges of a file that start and end at line boundaries); each shard is one
task: a worker answers the shard's bytes in one call of the command's native
entry (``quillforge._lines``), with the interpreter lock released, and writes
the shard's candidates to a part file. The process that
calls ``generate_files`` then joins each input's parts, in order, into its
output.

    >>> from quillforge.dask import generate_files
    >>> summary = generate_files("lores/*.jsonl", config_json, "out")  # doctest: +SKIP
    >>> for done in summary.inputs:  # doctest: +SKIP
    ...     print(done.source, done.lines, done.written, done.failed)

The workers must see the inputs and `output_dir` under the same paths as the
caller (one machine, or a shared file system), and run the same quillforge as
the caller: a run on workers of another version is refused before any work.
Needs the ``dask`` extra (``pip install 'quillforge[dask]'``, or the clone's or
wheel's path followed by ``[dask]``). Without a client, worker processes are
started that import the calling script again, so a script must keep its work
under ``if __name__ == "__main__":``.

A task writes its part through a temporary file that is renamed into place, and
a shard's part is the same bytes whoever writes it. So when a worker dies mid-task
and Dask runs the task again elsewhere (up to its
``distributed.scheduler.allowed-failures`` times), the part holds the shard once:
no line is lost or written twice. The outputs are replaced atomically too, and
the parts are removed once joined, or when the run fails or is stopped, even by
SIGKILL (a watchdog process removes them); a run also removes the parts that an
earlier run killed before that left in its output folder.
"""

from __future__ import annotations

import ast
import contextlib
import functools
import glob
import importlib.metadata
import os
import shutil
import stat
import sys
import tempfile
import uuid
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from types import FrameType
from typing import BinaryIO, NamedTuple

# distributed is typed, but some of its entry points (LocalCluster, Client,
# default_client, cancel) carry no annotations: their calls are marked below.
try:
    import dask.config
    import distributed
except ImportError as missing:  # pragma: no cover - depends on the installation
    raise ImportError(
        "quillforge.dask needs the dask extra: install quillforge again with [dask] after its name or path"
    ) from missing

from quillforge import _native
from quillforge._lines import generate_candidates
from quillforge._output import AtomicOutput
from quillforge._parts import PartsFolder
from quillforge.batch import LineError, check_config, usable_jobs

__all__ = ["SHARD_BYTES", "InputSummary", "Summary", "generate_files"]

# A file longer than this is cut into shards of about this many bytes: big
# enough that a task's overhead (a few milliseconds) is lost in its work, small
# enough that two workers share even a single file evenly.
SHARD_BYTES = 2 << 20
_SCAN_BYTES = 64 << 10

StrPath = str | os.PathLike[str]


@dataclass(frozen=True, slots=True)
class InputSummary:
    """What was done with one input: the counts that ``quillforge batch`` reports for it."""

    source: str
    destination: str
    lines: int  # non-blank lines answered (written or failed)
    written: int
    failed: int
    errors: list[LineError] = field(default_factory=list)  # numbered as the input's lines


@dataclass(frozen=True, slots=True)
class Summary:
    """One `InputSummary` per input, in the order of the inputs."""

    inputs: list[InputSummary]

    @property
    def lines(self) -> int:
        return sum(done.lines for done in self.inputs)

    @property
    def written(self) -> int:
        return sum(done.written for done in self.inputs)

    @property
    def failed(self) -> int:
        return sum(done.failed for done in self.inputs)


class _ShardResult(NamedTuple):
    """A task's answer. `errors` are numbered from the shard's first line; the
    caller renumbers them, knowing from `read` how many lines the shards before
    held."""

    read: int  # lines in the shard, blank ones included
    lines: int
    written: int
    errors: list[LineError]


# ---------------------------------------------------------------- versions


@functools.cache
def _package_version() -> str | None:
    try:
        return importlib.metadata.version("quillforge")
    except importlib.metadata.PackageNotFoundError:
        return None  # imported from a source tree


def _versions() -> tuple[str, str | None]:
    """This process's quillforge: the engine's version and the installed package's."""
    return _native.version(), _package_version()


def _describe(versions: tuple[str, str | None]) -> str:
    engine, package = versions
    return f"module {engine}, package {package or 'not installed'}"


def _check_versions(client: distributed.Client) -> tuple[str, str | None]:
    """Refuses workers whose quillforge is not the caller's: their candidates could differ."""
    here = _versions()
    there = client.run(_versions)
    odd = sorted((worker, tuple(versions)) for worker, versions in there.items() if tuple(versions) != here)
    if odd:
        workers = "; ".join(f"worker {worker} runs {_describe(versions)}" for worker, versions in odd)
        raise RuntimeError(
            f"quillforge differs between the workers and this process ({_describe(here)}): {workers}. "
            "Install the same quillforge everywhere."
        )
    return here


# ---------------------------------------------------------------- the task


def _run_shard(
    source: str, start: int, end: int, config_json: str, part: str, versions: tuple[str, str | None]
) -> _ShardResult:
    """Answers the lines of `source` in bytes [start, end) and writes their
    candidates to `part`, replacing it whole: a rerun writes the same bytes."""
    if _versions() != versions:  # a worker that joined after the check
        raise RuntimeError(
            f"quillforge differs: this worker runs {_describe(_versions())}, the caller {_describe(versions)}"
        )
    with open(source, "rb") as file:
        file.seek(start)
        data = file.read(end - start)
    if len(data) != end - start:
        raise OSError(f"{source}: shorter than when the run started")
    # The command's own native entry on the shard's bytes, in one call with the
    # interpreter lock released: the same lines, answers and written bytes,
    # numbered from the shard's first line.
    output, read, written, failures = generate_candidates(data, config_json)
    del data
    errors = [LineError(number, message) for number, message in failures]
    # Written beside the part and renamed over it, but not flushed to disk: a
    # part lives only until the join, and the joined output is.
    descriptor, temporary = tempfile.mkstemp(dir=os.path.dirname(part), prefix=os.path.basename(part) + ".")
    try:
        with open(descriptor, "wb") as out:
            out.write(output)
        os.replace(temporary, part)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    return _ShardResult(read, written + len(errors), written, errors)


# ---------------------------------------------------------------- planning


def _sources(inputs: StrPath | Iterable[StrPath]) -> list[str]:
    if isinstance(inputs, os.PathLike):
        return [os.fspath(inputs)]
    if isinstance(inputs, str):
        # A name that exists is taken as it is, even with "[", "*" or "?" in it.
        if os.path.lexists(inputs) or not glob.has_magic(inputs):
            return [inputs]
        found = sorted(glob.glob(inputs))
        if not found:
            raise FileNotFoundError(f"{inputs}: no file matches")
        return found
    return [os.fspath(path) for path in inputs]


def _next_line_start(file: BinaryIO, position: int, size: int) -> int:
    """The first offset at or after `position` (> 0) that starts a line, or `size`."""
    if position >= size:
        return size
    file.seek(position - 1)
    while block := file.read(_SCAN_BYTES):
        found = block.find(b"\n")
        if found >= 0:
            return min(file.tell() - len(block) + found + 1, size)
    return size


def _shard_ranges(source: str, shard_bytes: int) -> list[tuple[int, int]]:
    with open(source, "rb") as file:
        info = os.fstat(file.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise OSError(f"{source}: not a regular file")
        ranges = []
        start = 0
        while start < info.st_size:
            end = _next_line_start(file, start + shard_bytes, info.st_size)
            ranges.append((start, end))
            start = end
    return ranges


def _destinations(sources: list[str], output_dir: str) -> list[str]:
    names = [os.path.basename(source) for source in sources]
    if len(set(names)) != len(names):
        raise ValueError("two inputs have the same file name; their outputs would collide")
    destinations = [os.path.join(output_dir, name) for name in names]
    for source, destination in zip(sources, destinations, strict=True):
        with contextlib.suppress(FileNotFoundError):
            if os.path.samefile(source, destination):
                raise ValueError(f"{destination}: is also the input {source}; choose another output")
    return destinations


# ---------------------------------------------------------------- the run


@contextlib.contextmanager
def _connected(client: distributed.Client | None) -> Iterator[distributed.Client]:
    """The client given, else the current one, else a local cluster of one
    single-threaded worker process per core, closed on the way out."""
    if client is None:
        with contextlib.suppress(ValueError):
            client = distributed.default_client()  # type: ignore[no-untyped-call]
    if client is not None:
        yield client
        return
    _refuse_unguarded_main()
    with (
        distributed.LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=usable_jobs(0),
            threads_per_worker=1,  # a shard is one native call: one core per worker process
            processes=True,
            host="127.0.0.1",
            # No dashboard. The scheduler's small HTTP server (health, metrics)
            # still starts: on loopback at a free port, not on 8787, which
            # another cluster on the machine may hold.
            dashboard_address=None,
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        ) as cluster,
        distributed.Client(cluster, set_as_default=False) as own,  # type: ignore[no-untyped-call]
    ):
        yield own


def _is_main_test(test: ast.expr) -> bool:
    """`__name__ == "__main__"`, either way round."""
    if not (isinstance(test, ast.Compare) and len(test.ops) == 1 and isinstance(test.ops[0], ast.Eq)):
        return False
    sides = {ast.unparse(test.left), ast.unparse(test.comparators[0])}
    return sides == {"__name__", "'__main__'"}


def _refuse_unguarded_main() -> None:
    """Worker processes are spawned, and each imports the main script again: a
    call from the script's top level outside `if __name__ == "__main__":` would
    run again in every one of them and fail there with a screenful of
    tracebacks ending in "Nanny failed to start". Says what to add instead."""
    if dask.config.get("distributed.worker.multiprocessing-method", default="spawn") == "fork":
        return
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if main is None or not path:
        return  # an interactive session: nothing is imported again
    frame: FrameType | None = sys._getframe(1)
    while frame is not None and not (frame.f_globals is vars(main) and frame.f_code.co_name == "<module>"):
        frame = frame.f_back
    if frame is None:
        return  # not called while the script's top level runs
    line = frame.f_lineno
    try:
        with open(path, "rb") as file:
            tree = ast.parse(file.read())
    except (OSError, SyntaxError, ValueError):
        return
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and _is_main_test(node.test) and node.lineno <= line <= (node.end_lineno or 0):
            return
    raise RuntimeError(
        f"{path}, line {line}: quillforge.dask starts worker processes, which import this script again and "
        'would run this line too; put the script\'s work under `if __name__ == "__main__":`'
    )


def generate_files(
    inputs: StrPath | Iterable[StrPath],
    config_json: str,
    output_dir: StrPath,
    *,
    client: distributed.Client | None = None,
    shard_bytes: int = SHARD_BYTES,
) -> Summary:
    """Writes one output per input into `output_dir`, with the input's file name
    and the bytes that ``quillforge batch INPUTS -o OUTPUT_DIR`` writes.

    `inputs` is a list of paths, or one path, or a str glob pattern (its matches
    taken in sorted order); a path that exists is taken as it is, even with glob
    characters in its name. Files longer than `shard_bytes` are cut into shards at
    line boundaries, each a task of its own. `client` is the Dask client to run
    on; without one, the current client is used, or a local cluster is started
    for the run and closed after it.

    Lines that fail are not written: they are counted in the summary, with their
    messages and input line numbers, and raise nothing. Raises the engine's
    ValueError up front when the configuration would fail every line,
    ValueError when two inputs share a file name or an output is its input,
    OSError when a file cannot be used, and RuntimeError when a worker runs
    another quillforge version than the caller, or when a script would start a
    local cluster from its top level outside ``if __name__ == "__main__":``.
    """
    if shard_bytes < 1:
        raise ValueError("shard_bytes must be at least 1")
    check_config(config_json)
    sources = _sources(inputs)
    folder = os.fspath(output_dir)
    destinations = _destinations(sources, folder)
    plans = [_shard_ranges(source, shard_bytes) for source in sources]
    os.makedirs(folder, exist_ok=True)

    run = uuid.uuid4().hex
    with contextlib.ExitStack() as stack:
        dask_client = stack.enter_context(_connected(client))
        versions = _check_versions(dask_client)
        parts_dir = stack.enter_context(PartsFolder(folder))
        futures: list[list[distributed.Future[_ShardResult]]] = []
        try:
            for i, (source, ranges) in enumerate(zip(sources, plans, strict=True)):
                futures.append(
                    [
                        dask_client.submit(
                            _run_shard,
                            os.path.abspath(source),
                            start,
                            end,
                            config_json,
                            _part(parts_dir, i, j),
                            versions,
                            key=f"quillforge-shard-{run}-{i}-{j}",
                        )
                        for j, (start, end) in enumerate(ranges)
                    ]
                )
            summaries = []
            for i, (source, destination) in enumerate(zip(sources, destinations, strict=True)):
                # Each part is copied as soon as it and those before it are done,
                # while the workers go on with the rest.
                results: list[_ShardResult] = []
                with AtomicOutput(destination) as output:
                    for j, future in enumerate(futures[i]):
                        results.append(future.result())
                        part = _part(parts_dir, i, j)
                        with open(part, "rb") as file:
                            shutil.copyfileobj(file, output.stream, 1 << 20)
                        os.unlink(part)
                    output.commit()
                futures[i] = []  # let the cluster forget them
                summaries.append(_summarise(source, destination, results))
        finally:
            pending = [future for shards in futures for future in shards]
            if pending:
                dask_client.cancel(pending)  # type: ignore[no-untyped-call]
    return Summary(summaries)


def _part(parts_dir: str, input_index: int, shard_index: int) -> str:
    return os.path.join(parts_dir, f"{input_index:06d}-{shard_index:06d}.part")


def _summarise(source: str, destination: str, results: list[_ShardResult]) -> InputSummary:
    errors: list[LineError] = []
    before = 0  # lines in the shards already seen
    for result in results:
        errors.extend(LineError(before + error.line, error.message) for error in result.errors)
        before += result.read
    return InputSummary(
        source=source,
        destination=destination,
        lines=sum(result.lines for result in results),
        written=sum(result.written for result in results),
        failed=len(errors),
        errors=errors,
    )
