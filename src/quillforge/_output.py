"""An output file that holds a whole run or nothing."""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from types import TracebackType
from typing import BinaryIO


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class AtomicOutput:
    """Writes `path` through a temporary file in the same folder, moved into
    place by `commit()`. A run that does not commit leaves `path` as it was: on
    Linux the temporary file has no name until it is committed, so even a killed
    process leaves nothing behind. `keep_partial()` keeps what was written under
    `path` + ".partial" instead. A destination that exists and is not a regular
    file (a device, a pipe) is written directly."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.folder = os.path.dirname(os.path.abspath(path))
        self._direct = False
        self._unnamed = False
        self._temporary: str | None = None
        self._stream: BinaryIO | None = None
        self._done = False

    @property
    def stream(self) -> BinaryIO:
        assert self._stream is not None, "used outside its with block"
        return self._stream

    def __enter__(self) -> AtomicOutput:
        try:
            self._direct = not stat.S_ISREG(os.stat(self.path).st_mode)
        except FileNotFoundError:
            self._direct = False
        if self._direct:
            self._stream = open(self.path, "wb")
            return self
        descriptor = self._open_unnamed()
        if descriptor is None:
            descriptor, self._temporary = tempfile.mkstemp(
                dir=self.folder, prefix=f".{os.path.basename(self.path)}.", suffix=".tmp"
            )
            os.fchmod(descriptor, 0o666 & ~_umask())
        self._stream = os.fdopen(descriptor, "wb")
        return self

    def _open_unnamed(self) -> int | None:
        flag = getattr(os, "O_TMPFILE", 0)
        if not flag:
            return None
        try:
            descriptor = os.open(self.folder, flag | os.O_WRONLY | os.O_CLOEXEC, 0o666)
        except OSError:  # a file system without unnamed files
            return None
        self._unnamed = True
        return descriptor

    def _name_it(self, final: str) -> None:
        """Flushes the file to disk and gives it the name `final`."""
        stream = self.stream
        stream.flush()
        if not self._direct:
            os.fsync(stream.fileno())
        if self._unnamed:
            self._temporary = f"{final}.{os.getpid()}.tmp"
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self._temporary)
            self._link(stream.fileno(), self._temporary)
        if self._temporary is not None:
            os.replace(self._temporary, final)
            self._temporary = None
        self._done = True

    def _link(self, descriptor: int, name: str) -> None:
        # Only linkat follows the /proc link to the unnamed file; os.link takes
        # that path when it is given a folder descriptor.
        folder = os.open(os.path.dirname(os.path.abspath(name)), os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.link(f"/proc/self/fd/{descriptor}", os.path.basename(name), dst_dir_fd=folder, follow_symlinks=True)
        finally:
            os.close(folder)

    def commit(self) -> None:
        """Moves the finished file into place."""
        self._name_it(self.path)

    def keep_partial(self) -> str | None:
        """Keeps what was written as `path` + ".partial" and returns that name,
        or None when nothing was written (or the destination is not a file)."""
        if self._direct or self._done or self._stream is None:
            return None
        try:
            self._stream.flush()
            if self._stream.tell() == 0:
                return None
            partial = self.path + ".partial"
            self._name_it(partial)
            return partial
        except OSError:
            return None

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        if self._stream is not None:
            with contextlib.suppress(OSError):
                self._stream.close()
        if self._temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(self._temporary)
