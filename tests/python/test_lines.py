"""quillforge._lines, the block entry under the batch: the answers that calls of
generate_candidate_json give line by line, with the batch's line rules."""

from __future__ import annotations

import string
import subprocess
import sys

import pytest

from quillforge import _lines, _native, batch

from support import BAD_UTF8, CONFIG, UNDER_ASAN, corpus, line_by_line, lore_line, needs_native_machine


def test_failed_lines_carry_what_the_calls_raise() -> None:
    data = corpus(7, 300) + b"\xff{}\n"  # the bad byte first: its offset is 0, not none
    failures = _lines.generate_candidates(data, CONFIG)[3]
    kinds = {failure.kind for failure in failures}
    for failure in failures:
        line = data.split(b"\n")[failure.line - 1].removesuffix(b"\r")
        if failure.kind == "encoding":
            with pytest.raises(UnicodeDecodeError) as bad:
                line.decode()
            assert failure.column == bad.value.start
            continue
        with pytest.raises(ValueError) as raised:
            _native.generate_candidate_json(line.decode(), CONFIG)
        error = raised.value
        assert (failure.kind, failure.column) == (error.kind, error.column)
        assert error.input == "lore" and error.line in (1, None)
    assert kinds == {"serialization", "validation", "encoding"}


SPACES = [*((c, True) for c in string.whitespace), ("\x1c", False), ("\x85", False)]


@pytest.mark.parametrize(("space", "blank"), SPACES)
def test_blank_lines_are_pythons_ascii_white_space(space: str, blank: bool) -> None:
    line = space.encode() * 2
    assert (not line.strip()) == blank
    failures = _lines.generate_candidates(line + b"\n", CONFIG)[3]
    assert [failure.line for failure in failures] == ([] if blank else [1])
    assert [result.line for result in batch.generate_lines([space * 2], CONFIG)] == ([] if blank else [1])


@pytest.mark.parametrize("bad", BAD_UTF8)
def test_not_utf8_is_reported_where_pythons_decoder_stops(bad: bytes) -> None:
    good = lore_line(1).encode()
    for at in (0, 1, 9, 15, 16, 17, 31, len(good) - 1, len(good)):
        line = good[:at] + bad + good[at:]
        assert _lines.generate_candidates(line + b"\r\n", CONFIG) == line_by_line(line, CONFIG)


@pytest.mark.parametrize(
    ("config", "error"),
    [
        ("{", "serialization failed: EOF while parsing an object at line 1 column 1"),
        ('{"temperature":3,"max_candidates":3,"seed":1}',
         "validation failed: LabConfig.temperature must be between 0.0 and 2.0"),
    ],
)  # fmt: skip
def test_a_configuration_error_comes_before_any_line(config: str, error: str) -> None:
    with pytest.raises(ValueError) as raised:
        _lines.generate_candidates(b"\xff\n{\n", config)
    assert str(raised.value) == error
    with pytest.raises(ValueError, match="^" + error.replace(".", r"\.") + "$"):
        _native.generate_candidate_json(lore_line(0), config)


def test_bytes_like_inputs_only() -> None:
    assert _lines.generate_candidates(bytearray(b"\n"), CONFIG) == (b"", 1, 0, [])
    with pytest.raises(TypeError):
        _lines.generate_candidates(lore_line(0), CONFIG)  # type: ignore[arg-type]
    assert _lines.__all__ == ["generate_candidates"]


def test_the_output_goes_into_a_buffer_given_when_it_fits() -> None:
    data = corpus(7, 60)
    output, *rest = _lines.generate_candidates(data, CONFIG)
    room = bytearray(len(output) + len(data) + 512)  # the engine's working room past the end: a lore and 512
    assert _lines.generate_candidates(data, CONFIG, into=room) == (len(output), *rest)
    assert room[: len(output)] == output
    short = bytearray(len(output) - 1)  # does not fit: the output comes back as bytes
    assert _lines.generate_candidates(data, CONFIG, into=memoryview(short)) == (output, *rest)
    with pytest.raises(BufferError):
        _lines.generate_candidates(data, CONFIG, into=bytes(len(output)))


# Run out of memory where the output is first sized (twice the block), and
# where tiny lores' candidates outgrow that and the output moves.
OUT_OF_MEMORY = """
import resource, sys
from quillforge import _lines
config = sys.argv[2]
block = b'{"id":"l","title":"T","blocks":[["b","h"]]}\\n' * 1_000_000
size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + int(sys.argv[1]) * len(block), resource.RLIM_INFINITY))
try:
    _lines.generate_candidates(block, config)
except MemoryError:
    print("MemoryError", _lines.generate_candidates(block[:44], config)[1])
"""


@pytest.mark.skipif(UNDER_ASAN, reason="limits the address space (ASan needs more)")
@needs_native_machine
@pytest.mark.parametrize("room", [1, 3])
def test_out_of_memory_is_a_memory_error(room: int) -> None:
    completed = subprocess.run(
        [sys.executable, "-c", OUT_OF_MEMORY, str(room), CONFIG], capture_output=True, text=True, timeout=60, check=True
    )
    assert completed.stdout == "MemoryError 1\n"
