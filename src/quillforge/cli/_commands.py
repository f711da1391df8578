"""The commands that answer one input: demo, generate, summary, block, schema, version."""

from __future__ import annotations

import contextlib
import os
from types import SimpleNamespace

from quillforge._native import (
    create_block_json,
    generate_candidate_json,
    render_lore_summary_json,
    schema_bundle_json,
    version,
)
from quillforge.cli._inputs import _blame, input_name, one_stdin, read_text, reading, rejected, settings
from quillforge.cli._outputs import EXIT_OK, EXIT_OUTPUT, Failure, emit, usage, writing

EXAMPLES = ("lore.json", "config.json", "lores.jsonl")  # the files the README's examples use


def _example(name: str) -> bytes:
    from importlib import resources  # loads much; only the demo needs it

    return (resources.files("quillforge") / "data" / "examples" / name).read_bytes()


def _write_examples(folder: str) -> int:
    """Copies the example files into `folder`; one that is there with other bytes is not replaced."""
    copies = [(os.path.join(folder, name), _example(name)) for name in EXAMPLES]
    for path, example in copies:
        with reading(path), contextlib.suppress(FileNotFoundError), open(path, "rb") as there:
            if there.read() != example:
                raise Failure(f"{path}: exists and is not the example; not replaced", EXIT_OUTPUT)
    for path, example in copies:
        with writing(path):
            os.makedirs(folder, exist_ok=True)
            with open(path, "wb") as file:
                file.write(example)
        emit(path, plain=True)
    return EXIT_OK


def demo(args: SimpleNamespace) -> int:
    if args.write_examples is not None:
        return _write_examples(args.write_examples)
    lore_json = _example("lore.json").decode("utf-8")
    config_json = _example("config.json").decode("utf-8")
    emit(generate_candidate_json(lore_json, config_json), indent=args.indent)
    emit(render_lore_summary_json(lore_json), plain=True)
    return EXIT_OK


def generate(args: SimpleNamespace) -> int:
    one_stdin(args.lore, args.config)
    lore_json = read_text(args.lore)
    config = settings(args)
    try:
        candidate = generate_candidate_json(lore_json, config.text)
    except ValueError as error:
        source = _blame(error, input_name(args.lore), config)
        raise rejected(source, error, config.text if source == config.name else lore_json) from None
    emit(candidate, indent=args.indent)
    return EXIT_OK


def summary(args: SimpleNamespace) -> int:
    lore_json = read_text(args.lore)
    try:
        text = render_lore_summary_json(lore_json)
    except ValueError as error:
        raise rejected(input_name(args.lore), error, lore_json) from None
    emit(text, plain=True)
    return EXIT_OK


def _argument_text(text: str, what: str) -> str:
    # The shell hands over bytes; those that are not UTF-8 arrive as lone surrogates.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise usage(f"{what} is not valid UTF-8") from None
    return text


def block(args: SimpleNamespace) -> int:
    try:
        text = create_block_json(_argument_text(args.id, "ID"), _argument_text(args.content, "CONTENT"))
    except ValueError as error:
        raise rejected(None, error) from None
    emit(text, indent=args.indent)
    return EXIT_OK


def schema(args: SimpleNamespace) -> int:
    bundle = schema_bundle_json()
    if args.model is not None:
        import json  # only here: most commands never need it

        bundle = json.dumps(json.loads(bundle)["models"][args.model], separators=(",", ":"), ensure_ascii=False)
    emit(bundle, indent=args.indent)
    return EXIT_OK


def show_version(args: SimpleNamespace) -> int:
    emit(version(), plain=True)
    return EXIT_OK
