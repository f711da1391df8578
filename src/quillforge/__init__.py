"""quillforge: a small, exact, fast narrative engine.

Every function takes and returns ``str``: JSON texts in, JSON text (or a
summary sentence) out. Bad input raises ``ValueError`` with a fixed message;
wrong arguments raise ``TypeError``.
"""

from quillforge._native import (
    create_block_json,
    generate_candidate_json,
    render_lore_summary_json,
    schema_bundle_json,
    version,
)

__all__ = [
    "create_block_json",
    "generate_candidate_json",
    "render_lore_summary_json",
    "schema_bundle_json",
    "version",
]
__version__ = version()
