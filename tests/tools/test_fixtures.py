"""Copies of the worked example that cannot read the package's data files (the
fuzz targets' seeds, read by C++) hold the same text as those files."""

from __future__ import annotations

from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "src" / "quillforge" / "data" / "examples"


@pytest.mark.parametrize(
    ("copy", "example"),
    [("fuzz/corpus/decode_lore/worked.json", "lore.json"), ("fuzz/corpus/decode_config/object.json", "config.json")],
)
def test_copies_of_the_worked_example_agree(copy: str, example: str) -> None:
    assert (ROOT / copy).read_bytes().strip() == (EXAMPLES / example).read_bytes().strip()
