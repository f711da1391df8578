"""The batch command: one candidate per lore line of JSON Lines files, each
input's output kept whole or as a `.partial`, with its progress line."""

from __future__ import annotations

import os
import stat
import sys

from quillforge import _stderr, batch
from quillforge._console import Terminated, ignore_stop_signals, stop_code
from quillforge._output import AtomicOutput, regular_file
from quillforge._terminal import for_terminal
from quillforge.cli._inputs import Config, Input, input_name, one_stdin, reading, rejected, settings, stdin
from quillforge.cli._outputs import (
    EXIT_OK,
    EXIT_OUTPUT,
    EXIT_REJECTED,
    Failure,
    Interrupted,
    say,
    stdout,
    usage,
    writing,
)

TYPE_CHECKING = False  # typing.TYPE_CHECKING without loading typing
if TYPE_CHECKING:
    from types import SimpleNamespace
    from typing import BinaryIO

    from quillforge._progress import ProgressLine


class _Job:  # not a dataclass: that module alone costs milliseconds at start
    __slots__ = ("destination", "source")

    def __init__(self, source: str, destination: str | None) -> None:
        self.source = source  # a path, or "-"
        self.destination = destination  # a path; None for standard output


def _batch_inputs(paths: list[str]) -> list[str]:
    if len(paths) == 1 and paths[0] != "-" and os.path.isdir(paths[0]):
        folder = paths[0]
        with reading(folder):
            # Only regular files (or links to them): opening a pipe or a device found
            # there could wait for ever. Named on the command line, one is read as a stream.
            found = sorted(
                entry.path for entry in os.scandir(folder) if entry.name.endswith(".jsonl") and entry.is_file()
            )
        if not found:
            raise usage(f"{folder}: holds no .jsonl file")
        return found
    if "-" in paths and len(paths) > 1:
        raise usage("standard input can only be the sole input")
    return paths


def _identity(path: str | None) -> tuple[int, int] | None:
    """The regular file that an input ("-": standard input) or a destination
    (None: standard output) is, if it is one."""
    if path == "-":
        return None if sys.stdin is None else regular_file(sys.stdin)
    return regular_file(stdout() if path is None else path)


def _batch_jobs(inputs: list[str], output: str | None) -> list[_Job]:
    to_stdout = output is None or output == "-"
    if to_stdout:
        if len(inputs) > 1:
            raise usage("several inputs need an output folder: -o FOLDER")
        source = _identity(inputs[0])
        if source is not None and source == _identity(None):  # `1<> in.jsonl`, `>> in.jsonl`
            raise usage(f"standard output: is also the input {input_name(inputs[0])}; choose another output")
        return [_Job(inputs[0], None)]
    assert output is not None
    if len(inputs) == 1 and not os.path.isdir(output) and not output.endswith(os.sep):
        jobs = [_Job(inputs[0], output)]
    else:
        if "-" in inputs:
            raise usage("standard input needs an output file, not a folder")
        names = [os.path.basename(path) for path in inputs]
        if len(set(names)) != len(names):
            raise usage("two inputs have the same file name; their outputs would collide")
        jobs = [_Job(path, os.path.join(output, name)) for path, name in zip(inputs, names, strict=False)]
    for job in jobs:
        assert job.destination is not None
        source = _identity(job.source)
        if source is not None and source == _identity(job.destination):
            raise usage(f"{job.destination}: is also the input {input_name(job.source)}; choose another output")
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
    from quillforge._progress import ProgressLine  # only on a terminal

    return ProgressLine(_stderr.write, name, _input_size(stream), width=_columns, dumb=dumb)


def _run_batch_job(job: _Job, config: Config, args: SimpleNamespace) -> tuple[batch.FileReport, str | None]:
    """Runs one job; returns its report and the partial file kept when --fail-fast stopped it."""
    name = input_name(job.source)
    report = batch.FileReport()
    with reading(name):
        stream = stdin() if job.source == "-" else open(job.source, "rb")  # noqa: SIM115
    source = Input(stream, name)
    progress = None if args.no_progress else _progress(name, stream, job.destination)

    def on_error(error: batch.LineError) -> None:
        if progress is not None:
            progress.clear()
        say(source.message(error))

    def run_into(out: BinaryIO) -> None:
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
        with writing(destination):  # the name the user gave, never a temporary's
            if job.destination is None:
                out = stdout()
                run_into(for_terminal(out))
                out.flush()
            else:
                with AtomicOutput(job.destination) as atomic:
                    try:
                        run_into(atomic.stream)
                        if report.stopped_early:  # a run cut short at a failed line is not the output
                            partial = atomic.keep_partial()
                        else:
                            atomic.commit()
                    except (KeyboardInterrupt, Terminated) as stop:
                        ignore_stop_signals()
                        if atomic.done:  # the signal came as the output was put in place
                            message = f"interrupted: the output of {name} is complete in {job.destination}"
                        else:
                            message = _stopped(name, report, atomic.keep_partial())
                        raise Interrupted(message, stop_code(stop)) from None
                    except Failure as failure:
                        if failure.code != EXIT_OUTPUT:  # what was read is good; what was written may not be
                            partial = atomic.keep_partial()
                            if partial is not None:
                                failure.args = (
                                    f"{failure}; the candidates up to line {report.last_line} are in {partial}",
                                )
                        raise
    except (KeyboardInterrupt, Terminated) as stop:
        ignore_stop_signals()
        raise Interrupted(_stopped(name, report, None), stop_code(stop)) from None
    finally:
        if progress is not None:
            progress.finish()
        if job.source != "-":
            stream.close()
    return report, partial


def _stopped(name: str, report: batch.FileReport, partial: str | None) -> str:
    where = f"after line {report.last_line} of {name}" if report.last_line else f"before the first line of {name}"
    kept = f"; the {report.written:,} candidates written are in {partial}" if partial else ""
    return f"interrupted: the output stops {where}{kept}"


def run(args: SimpleNamespace) -> int:
    one_stdin(*args.lores, args.config)
    inputs = _batch_inputs(args.lores)
    jobs = _batch_jobs(inputs, args.output)
    config = settings(args)
    try:
        batch.check_config(config.text)
    except ValueError as error:
        raise rejected(config.name, error, config.text) from None
    for job in jobs:
        if job.destination is not None and len(jobs) > 1:
            with writing(os.path.dirname(job.destination)):
                os.makedirs(os.path.dirname(job.destination), exist_ok=True)
    code = EXIT_OK
    for job in jobs:
        try:
            report, partial = _run_batch_job(job, config, args)
        except Failure as failure:
            say(str(failure))
            code = max(code, failure.code)
            if args.fail_fast:
                break
            continue
        if report.failed or len(jobs) > 1:
            stopped = " (stopped at the first failure)" if report.stopped_early else ""
            kept = f"; the {report.written:,} candidates written are in {partial}" if partial else ""
            say(
                f"{input_name(job.source)}: {report.lines:,} lines, {report.written:,} written, "
                f"{report.failed:,} failed{stopped}{kept}"
            )
        if report.failed:
            code = max(code, EXIT_REJECTED)
        if report.stopped_early:  # --fail-fast stops the whole run
            break
    return code
