"""The command's entry point. The command's modules are imported here, inside
the function, so that a Ctrl-C while they load ends the command as quietly as
one while it runs."""

from __future__ import annotations


def main() -> int:
    try:
        from quillforge.cli import main as run_command
    except KeyboardInterrupt:
        return 130
    return run_command()
