"""Stress from Python: many calls, many threads, a large lore, deep skipped values, every truncation.

The cases marked `heavy` take seconds each; CI runs them once, in the plain pytest stage, and leaves them out of
the sanitizer and valgrind stages (`-m "not heavy"`).
"""

import contextlib
import gc
import json
import os
import re
import sys
import threading
import tracemalloc

import pytest

from quillforge import _native

heavy = pytest.mark.heavy

LORE = json.dumps(
    {
        "id": "Tide Lore",
        "title": "Tides",
        "blocks": [{"id": "b1", "content": "  hello world "}, {"id": "b2", "content": "second"}],
    },
    separators=(",", ":"),
)
CONFIG = '{"temperature":0.7,"max_candidates":3,"seed":42}'
CONTENT = "some narrative text " * 4  # long enough to live on the heap


def _calls():
    """(function, args, kwargs) for every function: valid calls and calls that fail in every way they can."""
    create = _native.create_block_json
    generate = _native.generate_candidate_json
    summary = _native.render_lore_summary_json
    return [
        (create, ("b1", CONTENT), {}),
        (create, (), {"content": "x", "id": "b2"}),
        (create, ("b1", " \t"), {}),  # validation
        (create, (1, CONTENT), {}),  # not a str
        (create, ("b1", "x\ud800"), {}),  # lone surrogate
        (create, ("b1",), {"bogus": 1}),  # unexpected keyword
        (generate, (LORE, CONFIG), {}),
        (generate, (), {"config_json": "[2.0,1000,18446744073709551615]", "lore_json": LORE}),
        (generate, (LORE, '{"temperature":0.7,"max_candidates":3}'), {}),  # missing field
        (generate, ('{"id":"l","title":"t","blocks":[]}', CONFIG), {}),  # validation
        (generate, (LORE[:-3], CONFIG), {}),  # EOF
        (generate, (LORE, None), {}),
        (summary, (LORE,), {}),
        (summary, ('{"id":"l","title":"\\ud800","blocks":[]}',), {}),
        (summary, ('{"id":" ","title":"t","blocks":[]}',), {}),
        (summary, (LORE, LORE), {}),  # too many arguments
        (_native.schema_bundle_json, (), {}),
        (_native.schema_bundle_json, (1,), {}),  # refused by the interpreter
        (_native.version, (), {}),
        (_native.version, (), {"x": 1}),
    ]


def _outcome(function, args, kwargs):
    try:
        return function(*args, **kwargs)
    except (TypeError, ValueError) as error:  # UnicodeEncodeError is a ValueError
        return type(error).__name__, str(error)


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_every_function_succeeds_and_fails_in_the_mix():
    outcomes = [_outcome(*call) for call in _calls()]
    assert sum(isinstance(outcome, str) for outcome in outcomes) == 7
    assert {outcome[0] for outcome in outcomes if isinstance(outcome, tuple)} == {
        "TypeError",
        "ValueError",
        "UnicodeEncodeError",
    }


def _by_function(calls, rounds):
    """`rounds` calls of every function, each call taking the function's next case in turn."""
    cycles = {}
    for call in calls:
        cycles.setdefault(call[0], []).append(call)
    cycles = list(cycles.values())
    for i in range(rounds):
        for cases in cycles:
            function, args, kwargs = cases[i % len(cases)]
            with contextlib.suppress(TypeError, ValueError):
                function(*args, **kwargs)


@heavy
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads RSS from /proc")
def test_a_million_calls_of_every_function_keep_memory_flat():
    calls = _calls()
    _by_function(calls, 60_000)  # warm-up: allocator pools, caches and interned names settle
    gc.collect()
    tracemalloc.start()
    traced_before, _ = tracemalloc.get_traced_memory()
    rss_before = _rss_bytes()
    _by_function(calls, 1_000_000)
    gc.collect()
    rss_growth = _rss_bytes() - rss_before
    traced_after, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()

    print(
        f"\na million calls of each of the 5 functions: RSS grew by {rss_growth} bytes, "
        f"tracemalloc {traced_before} -> {traced_after} bytes (peak {traced_peak})"
    )
    # A leak of 8 bytes per failing call would add several MB.
    assert rss_growth < 1 << 20, f"RSS grew by {rss_growth} bytes"
    assert traced_after - traced_before < 64 << 10, f"{traced_after - traced_before} bytes still allocated"


def _thread_outcomes(calls, rounds, barrier):
    barrier.wait()
    return [[_outcome(*call) for call in calls] for _ in range(rounds)]


def test_eight_threads_get_identical_results():
    calls = _calls()
    expected = [_outcome(*call) for call in calls]
    rounds = 300
    results = [None] * 8
    barrier = threading.Barrier(8)

    def worker(index):
        results[index] = _thread_outcomes(calls, rounds, barrier)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    for per_thread in results:
        assert per_thread == [expected] * rounds


WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)
# Twelve words with non-ASCII letters, an emoji, Unicode separators, escapes and quotes.
PIECE = 'lorem "ipsum" dolor\tsit amet, café\u2028naïve 😀 x\u3000y\\z \u00a0 é\nend '
PIECE_WORDS = 12


@heavy
def test_a_100_mb_lore():
    blocks = 100
    content = PIECE * (1_000_000 // len(PIECE.encode()) + 1)  # just over 1 MB of UTF-8 per block
    lore = json.dumps(
        {"id": "Big Lore", "title": "Big", "blocks": [{"id": f"b{i}", "content": content} for i in range(blocks)]},
        ensure_ascii=False,
    )
    assert len(lore.encode()) > 100_000_000

    words = blocks * PIECE_WORDS * content.count(PIECE)
    assert _native.render_lore_summary_json(lore) == f"Big contains {blocks} block(s) and {words} word(s)."

    result = _native.generate_candidate_json(lore, CONFIG)
    candidate = json.loads(result)
    assert candidate["id"] == "candidate-big-lore-42"
    assert candidate["block"]["content"] == " ".join([content.strip(WHITE_SPACE)] * blocks)
    assert candidate["rationale"] == "Hybridized 100 block(s) from 'Big' with seed 42."
    assert 0.0 <= candidate["score"] <= 1.0
    assert _native.generate_candidate_json(lore, CONFIG) == result


DEPTH = 1_000_000


@pytest.mark.parametrize(
    ("skipped", "where"),
    [
        ("[" * DEPTH + "]" * DEPTH, "config"),
        ('{"a":' * DEPTH + "null" + "}" * DEPTH, "config"),
        ('[{"a":' * (DEPTH // 2) + '"\\ud800"' + "}]" * (DEPTH // 2), "lore"),
    ],
)
def test_a_skipped_value_a_million_levels_deep(skipped, where):
    if where == "config":
        config = '{"x":' + skipped + "," + CONFIG[1:]
        assert json.loads(_native.generate_candidate_json(LORE, config))["id"] == "candidate-tide-lore-42"
    else:
        lore = LORE[:-1] + ',"x":' + skipped + "}"
        assert _native.render_lore_summary_json(lore) == "Tides contains 2 block(s) and 3 word(s)."
    # Python's own reader recurses: this depth is past what it can take.
    with pytest.raises(RecursionError):
        json.loads(skipped)


@pytest.mark.parametrize(
    ("opened", "message"),
    [
        ("[" * DEPTH, "EOF while parsing a list"),
        ('{"a":' * DEPTH, "EOF while parsing a value"),
        ("[" * DEPTH + "}", "expected value"),  # a "}" where a value must start
    ],
)
def test_an_unclosed_value_a_million_levels_deep_fails_at_its_end(opened, message):
    config = '{"x":' + opened
    with pytest.raises(ValueError) as raised:
        _native.generate_candidate_json(LORE, config)
    assert str(raised.value) == f"serialization failed: {message} at line 1 column {len(config)}"


TRUNCATED = re.compile(
    r"serialization failed: (EOF while parsing (?:a value|a list|an object|a string)|"
    r"invalid number) at line (\d+) column (\d+)"
)

# Both forms, escapes, non-ASCII text, skipped values of every kind, and line breaks.
FULL_LORE = (
    '{\n  "id": "Tide\\u0020Lore", "note": [1, -2.5e+3, {"a": null, "b": [true, false, "\\ud800"]}],\r\n'
    '  "title": "Tid\\u00e9s \\ud83d\\ude00 ü",\n  "blocks": [\n'
    '    {"id": "b1", "content": "  hello world ", "x": 0.5E-7},\n'
    '    ["b2", "sec\\"ond\\n\\/"]\n  ]\n}\n'
)
FULL_CONFIG = "[0.75, 3, 42]"
FULL_CONFIG_OBJECT = '{"temperature": 1.5e-1, "max_candidates": 3, "x": "y", "seed": 42}'


def _end_position(text):
    line = text.count("\n") + 1
    return line, len(text[text.rfind("\n") + 1 :].encode())


@pytest.mark.parametrize("role", ["lore", "config", "config object"])
def test_every_truncation_fails_at_its_end(role):
    """Every proper prefix (at each character offset: a str cannot end inside a character) fails with an
    end-of-text error at the prefix's end; the whole text decodes."""
    full = FULL_LORE if role == "lore" else FULL_CONFIG if role == "config" else FULL_CONFIG_OBJECT

    def call(text):
        if role == "lore":
            return _native.generate_candidate_json(text, CONFIG)
        return _native.generate_candidate_json(FULL_LORE, text)

    whole = json.loads(call(full))
    assert whole["block"]["content"] == 'hello world sec"ond\n/'
    last_ok = len(full.rstrip())  # trailing whitespace may go
    for end in range(last_ok):
        prefix = full[:end]
        with pytest.raises(ValueError) as raised:
            call(prefix)
        match = TRUNCATED.fullmatch(str(raised.value))
        assert match, (prefix, str(raised.value))
        assert (int(match.group(2)), int(match.group(3))) == _end_position(prefix), (prefix, str(raised.value))
    for end in range(last_ok, len(full) + 1):
        assert json.loads(call(full[:end])) == whole
