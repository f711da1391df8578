#!/usr/bin/env python3
"""Runs pytest against the installed quillforge, after making sure that it is
the installed wheel that this interpreter imports (not a source tree that
happens to be on the path).

    python -P run_installed_tests.py --tag TAG [pytest arguments]

The check and the tests share one process, so the module checked is the module
tested.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import sys
import sysconfig
from pathlib import Path


def installed_wheel_problems(module_file: str, site_packages: str, wheel_metadata: str, tag: str) -> list[str]:
    """Why the imported module is not the installed wheel with this platform tag."""
    problems = []
    if Path(site_packages).resolve() not in Path(module_file).resolve().parents:
        problems.append(f"quillforge._native comes from {module_file}, not from {site_packages}")
    tags = [line.split(":", 1)[1].strip() for line in wheel_metadata.splitlines() if line.startswith("Tag:")]
    if not any(found.endswith("-" + tag) for found in tags):
        problems.append(f"the installed distribution's tags are {tags}, none for {tag}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tag", required=True, help="the platform tag the installed wheel must carry")
    args, pytest_args = parser.parse_known_args()

    import quillforge._native

    problems = installed_wheel_problems(
        quillforge._native.__file__,
        sysconfig.get_path("platlib"),
        importlib.metadata.distribution("quillforge").read_text("WHEEL") or "",
        args.tag,
    )
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return 1
    print(f"testing the installed wheel: {quillforge._native.__file__}")

    import pytest

    return pytest.main(pytest_args)


if __name__ == "__main__":
    sys.exit(main())
