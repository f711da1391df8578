"""The native engine: five functions, every argument and every result a ``str``.

Records go in and come out as JSON text; nothing else crosses between Python
and the engine. Every function is pure: equal arguments give byte-identical
results, with no state kept between calls.

Errors, in the order a call checks for them:

- ``TypeError`` for wrong arguments: a missing, repeated or unexpected one, or
  one that is not a ``str`` ("argument 'id': 'int' object cannot be converted
  to 'PyString'"). A ``str`` subclass is accepted.
- ``UnicodeEncodeError`` (the interpreter's own) for a ``str`` holding a lone
  surrogate.
- ``ValueError`` for input the engine rejects. Its message is one of two forms:
  "serialization failed: {problem} at line {line} column {column}" when a JSON
  text does not decode into its record (the column counts bytes of UTF-8, and
  only a line feed starts a line), and "validation failed: {rule}" when a
  decoded record breaks a rule. The same facts come as attributes, so that
  nothing needs to read them from the message: ``kind`` ("serialization" or
  "validation"); ``input``, the argument at fault ("lore", "config", or
  "block" for the two texts of ``create_block_json``); ``line`` and
  ``column``, the numbers the message ends with, or ``None`` for a broken rule.
- ``MemoryError`` when the process runs out of memory.
- ``PanicException``, a ``BaseException`` (so ``except Exception`` does not
  catch it), for an internal fault of the engine; there should be none.
"""

__all__ = [
    "create_block_json",
    "generate_candidate_json",
    "render_lore_summary_json",
    "schema_bundle_json",
    "version",
]

def create_block_json(id: str, content: str) -> str:
    """Validate a block and return its compact JSON text.

    Both texts are kept exactly as given: nothing is trimmed, and non-ASCII text
    stays raw UTF-8 in the result; quotes, backslashes and control characters
    are escaped.

    >>> create_block_json("b1", 'say "hi"')
    '{"id":"b1","content":"say \\\\"hi\\\\""}'

    Raises:
        TypeError: an argument is missing, repeated, unexpected or not a str.
        UnicodeEncodeError: a str holds a lone surrogate.
        ValueError: "validation failed: NarrativeBlock.id must not be empty"
            when `id` is blank (empty, or only spaces, tabs, line feeds, form
            feeds and carriage returns), then "validation failed:
            NarrativeBlock.content must not be empty" when `content` is.
    """

def generate_candidate_json(lore_json: str, config_json: str) -> str:
    """Merge a lore's blocks into one hybrid candidate and return its JSON text.

    `lore_json` is a NarrativeLore, `config_json` a LabConfig, each in object
    form (``{"temperature":0.7,"max_candidates":3,"seed":42}``) or array form
    (``[0.7,3,42]``, the fields in declared order). The result is
    ``{"id":...,"block":{"id":...,"content":...},"score":...,"rationale":...}``:

    - ``id``: "candidate-{slug}-{seed}", the slug being the lore's id with ASCII
      letters lowered, ASCII digits kept and every other run of characters one
      hyphen, none at either end;
    - ``block.id``: the lore's id followed by ":hybrid";
    - ``block.content``: each block's content trimmed of Unicode whitespace,
      joined by single spaces;
    - ``score``: from 0.0 to 1.0, six decimal places; from the seeded FNV-1a
      hash of the lore's texts (see the README for the formula);
    - ``rationale``: "Hybridized {blocks} block(s) from '{title}' with seed {seed}."

    ``max_candidates`` is validated (1 to 1000) but one candidate is produced.

    Raises:
        TypeError: an argument is missing, repeated, unexpected or not a str.
        UnicodeEncodeError: a str holds a lone surrogate.
        ValueError: the first failure, in this order: "serialization failed:
            ..." for the lore text, then for the configuration text; then
            "validation failed: ..." for the lore ("NarrativeLore.id must not be
            empty", "NarrativeLore.title must not be empty",
            "NarrativeLore.blocks must contain at least one block",
            "NarrativeBlock.id must not be empty", "NarrativeBlock.content must
            not be empty"), then for the configuration ("LabConfig.temperature
            must be finite", "LabConfig.temperature must be between 0.0 and
            2.0", "LabConfig.max_candidates must be between 1 and 1000").
    """

def render_lore_summary_json(lore_json: str) -> str:
    """Describe a lore in one sentence: "{title} contains {blocks} block(s) and {words} word(s)."

    The result is plain text, not JSON. The title is taken as it is; a word is a
    run of characters that are not Unicode whitespace, counted over all the
    blocks' contents.

    Raises:
        TypeError: the argument is missing, repeated, unexpected or not a str.
        UnicodeEncodeError: the str holds a lone surrogate.
        ValueError: "serialization failed: ..." when the text does not decode
            into a NarrativeLore, else the first broken rule of the lore, as
            for generate_candidate_json.
    """

def schema_bundle_json() -> str:
    """Return one JSON document describing the records.

    It holds "$schema", "package", "version", "model_order" (the four record
    names), "field_order" (each record's fields in declared order) and "models"
    (a JSON Schema draft-07 document per record). The same text on every call.

    Raises:
        TypeError: any argument is given.
    """

def version() -> str:
    """Return the engine's version, "MAJOR.MINOR.PATCH": the package's release.

    Raises:
        TypeError: any argument is given.
    """
