"""Memory stays flat over many calls, failing ones included."""

import gc
import os
import tracemalloc

import pytest

from quillforge import _native

PAGE = os.sysconf("SC_PAGE_SIZE")


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def _mixed_calls(count):
    """`count` calls of create_block_json, half of them failing."""
    create = _native.create_block_json
    content = "some narrative text " * 4  # long enough to live on the heap
    bad = [
        lambda: create(1, content),
        lambda: create("b1", " \t"),
        lambda: create("b1", "x\ud800"),
        lambda: create("b1"),
    ]
    for i in range(count // 2):
        create("b%d" % (i & 1023), content)
        try:
            bad[i & 3]()
        except (TypeError, ValueError):
            pass


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads RSS from /proc")
def test_a_million_calls_half_failing_keep_memory_flat():
    _mixed_calls(200_000)  # warm-up: allocator pools and caches settle
    gc.collect()
    before = _rss_bytes()
    _mixed_calls(1_000_000)
    gc.collect()
    growth = _rss_bytes() - before
    # A leak of even 8 bytes per failing call would add 4 MB.
    assert growth < 1 << 20, f"RSS grew by {growth} bytes"


def test_python_allocations_are_released():
    _mixed_calls(20_000)
    tracemalloc.start()
    try:
        _mixed_calls(100_000)
        gc.collect()
        current, _peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert current < 64 << 10, f"{current} bytes still allocated"
