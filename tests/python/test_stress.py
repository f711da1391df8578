"""Threads and size, from Python: many threads calling at once, large calls that let other threads run, and
a 100 MB lore (marked heavy: ./dev check runs it, outside the sanitizer and valgrind stages)."""

import json
import sys
import threading
import time

import pytest

from quillforge import _native

from support import BIND, CONFIG, GENERATE, LORE, RENDER, WHITE_SPACE

heavy = pytest.mark.heavy

CONTENT = "some narrative text " * 4  # long enough to live on the heap


def _calls():
    """(function, args, kwargs) for every function: valid calls and calls that fail in every way they can."""
    return [
        (BIND, ("b1", CONTENT), {}),
        (BIND, (), {"content": "x", "id": "b2"}),
        (BIND, ("b1", " \t"), {}),  # validation
        (BIND, (1, CONTENT), {}),  # not a str
        (BIND, ("b1", "x\ud800"), {}),  # lone surrogate
        (BIND, ("b1",), {"bogus": 1}),  # unexpected keyword
        (GENERATE, (LORE, CONFIG), {}),
        (GENERATE, (), {"config_json": "[2.0,1000,18446744073709551615]", "lore_json": LORE}),
        (GENERATE, (LORE, '{"temperature":0.7,"max_candidates":3}'), {}),  # missing field
        (GENERATE, ('{"id":"l","title":"t","blocks":[]}', CONFIG), {}),  # validation
        (GENERATE, (LORE[:-3], CONFIG), {}),  # EOF
        (GENERATE, (LORE, None), {}),
        (RENDER, (LORE,), {}),
        (RENDER, ('{"id":"l","title":"\\ud800","blocks":[]}',), {}),
        (RENDER, ('{"id":" ","title":"t","blocks":[]}',), {}),
        (RENDER, (LORE, LORE), {}),  # too many arguments
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


def _assert_threads_agree(calls, threads, rounds):
    """Every thread, calling everything `rounds` times at once with the others, gets what one call gets."""
    expected = [_outcome(*call) for call in calls]
    results = [None] * threads
    barrier = threading.Barrier(threads)

    def worker(index):
        barrier.wait()
        results[index] = [[_outcome(*call) for call in calls] for _ in range(rounds)]

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join()
    assert results == [[expected] * rounds] * threads
    return expected


def test_eight_threads_get_identical_results():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        _assert_threads_agree(_calls(), 8, 300)
    finally:
        sys.setswitchinterval(interval)


def _large_calls():
    """Calls on inputs past the size from which the engine runs without the interpreter lock."""
    blocks = [{"id": f"b{i}", "content": f" block {i} " + "word " * 300} for i in range(40)]
    ascii_lore = json.dumps({"id": "Big Lore", "title": "Big", "blocks": blocks}, separators=(",", ":"))
    mixed_lore = ascii_lore.replace("word", "caf\u00e9\U0001f600")
    return [
        (GENERATE, (ascii_lore, CONFIG), {}),
        (GENERATE, (mixed_lore, CONFIG), {}),
        (GENERATE, (json.dumps(json.loads(mixed_lore)), CONFIG), {}),  # ASCII, with escapes of non-ASCII
        (GENERATE, (ascii_lore[:-2], CONFIG), {}),  # EOF at its end
        (RENDER, (mixed_lore,), {}),
        (BIND, ("b", "\u00e9\n" * 20_000), {}),
    ]


def test_threads_get_identical_results_from_large_calls():
    calls = _large_calls()
    assert len(calls[0][1][0]) > 32 << 10
    expected = _assert_threads_agree(calls, 4, 25)
    assert sum(isinstance(outcome, tuple) for outcome in expected) == 1


def test_another_thread_runs_python_while_a_large_call_works():
    lore = json.dumps({"id": "l", "title": "t", "blocks": [["b", "word " * 1_000_000]]})
    steps = 0
    running = True

    def step():
        nonlocal steps
        while running:
            steps += 1
            time.sleep(0)  # gives the lock back at once, so that the call can take it back

    # No forced switches: the other thread can run only when this one gives the lock away.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)
    other = threading.Thread(target=step)
    other.start()
    try:
        time.sleep(0.05)  # the other thread starts, then waits for the lock
        before = steps
        for _ in range(3):
            _native.generate_candidate_json(lore, CONFIG)
        during = steps - before
    finally:
        running = False
        sys.setswitchinterval(interval)
        other.join()
    assert during > 0


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
