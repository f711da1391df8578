"""The `quillforge` command's entry point, outside the package.

Loading the package (its native module first) is most of the memory the
command needs to start, and running out there must still end as the command's
own "out of memory" (exit 4, one line), never a traceback: only code that is
already loaded can say that, so this module is the one loaded first and it
imports nothing that the interpreter has not loaded already."""

import errno
import os

EXIT_MEMORY = 4


def _out_of_memory(error: BaseException) -> bool:
    if isinstance(error, MemoryError):
        return True
    if isinstance(error, OSError):  # reading a folder of modules, for one
        return error.errno == errno.ENOMEM
    if isinstance(error, ImportError):  # no room to map a compiled module
        return "failed to map segment" in str(error) or "Cannot allocate memory" in str(error)
    # The importer itself, when an allocation fails, can return an error
    # without setting one (seen on CPython 3.13 near its own floor).
    return isinstance(error, SystemError) and "without exception set" in str(error)


def main() -> int:
    try:
        from quillforge._console import main as run_command
    except KeyboardInterrupt:
        return 130  # 128 + SIGINT, quietly, as once the command has started
    except (MemoryError, OSError, ImportError, SystemError) as error:
        if not _out_of_memory(error):
            raise
        try:  # noqa: SIM105 - no module more is loaded here (contextlib), out of memory
            os.write(2, b"quillforge: out of memory\n")
        except OSError:
            pass
        return EXIT_MEMORY
    return run_command()
