"""Fixtures shared by the test modules."""

from __future__ import annotations

import pytest


@pytest.fixture(params=["unnamed", "named"])
def output_path(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> str:
    """An output test on each way of making the temporary file: unnamed (O_TMPFILE), and named, as on a
    file system without unnamed files. Commands the test starts inherit the switch."""
    if request.param == "named":
        monkeypatch.setenv("QUILLFORGE_NO_O_TMPFILE", "1")
    else:
        monkeypatch.delenv("QUILLFORGE_NO_O_TMPFILE", raising=False)
    return str(request.param)
