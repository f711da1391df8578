"""An output file that holds a whole run or nothing, and the checks every writer makes."""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import threading

from quillforge._console import STOP_SIGNALS

TYPE_CHECKING = False  # typing.TYPE_CHECKING without loading typing
if TYPE_CHECKING:
    import signal
    from collections.abc import Iterator
    from types import TracebackType
    from typing import BinaryIO
else:  # the functions under signal's wrapper, which loads enum (a large share of start-up) to name numbers
    import _signal as signal

FileId = tuple[int, int]

# A temporary's name: ".{final}.{pid}.{8 characters}.tmp", the pid of the process that made it.
_LEFTOVER = r"\..+\.(\d+)\.[0-9a-z_]{8}\.tmp"  # compiled on first use: `re` costs start-up
_swept: set[str] = set()
_swept_lock = threading.Lock()


# SameFileError is made on first use: its base's module, shutil, alone costs
# the command more start-up time than the rest of this one.
if TYPE_CHECKING:
    import shutil

    class SameFileError(shutil.SameFileError):
        """The destination is the file being read: writing it would destroy the input."""


def _same_file_error() -> type[OSError]:
    import shutil

    doc = "The destination is the file being read: writing it would destroy the input."
    made = type("SameFileError", (shutil.SameFileError,), {"__doc__": doc, "__module__": __name__})
    found: type[OSError] = globals().setdefault("SameFileError", made)  # one class, whichever thread came first
    return found


def __getattr__(name: str) -> type[OSError]:  # only while SameFileError is not made
    if name == "SameFileError":
        return _same_file_error()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def regular_file(target: object) -> FileId | None:
    """The (device, inode) of a regular file named by a path (links followed), a
    descriptor, or an object with `fileno()`; None for anything else."""
    try:
        if isinstance(target, (str, os.PathLike)):
            info = os.stat(target)
        elif isinstance(target, int):
            info = os.fstat(target)
        else:
            info = os.fstat(target.fileno())  # type: ignore[attr-defined]
    except (OSError, ValueError, AttributeError):  # no file, a closed one, or none at all
        return None
    # Only a regular file is harmed by being written while read (a device or pipe
    # read and written at once is the caller's business).
    return (info.st_dev, info.st_ino) if stat.S_ISREG(info.st_mode) else None


def refuse_same_file(source: object, destination: object) -> None:
    """Raises SameFileError when `destination` (a path or a file) is the regular file `source`."""
    identity = regular_file(source)
    if identity is not None and identity == regular_file(destination):
        name = os.fspath(destination) if isinstance(destination, (str, os.PathLike)) else None
        raise _same_file_error()(f"{name or getattr(destination, 'name', 'the output')}: is also the input")


def _umask() -> int:
    # Read where the system shows it: setting it to read it would race other threads.
    with contextlib.suppress(OSError, ValueError), open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("Umask:"):
                return int(line.split()[1], 8)
    mask = os.umask(0)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Holds the stop signals back from this thread while a commit runs; they
    arrive when it is done. (A handler that another thread's signal sets off can
    still raise here: `_settle` looks at the files to see how far it got.)"""
    try:
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)  # a commit in progress finishes first
    except (AttributeError, OSError, ValueError):  # no signal masks here
        yield
        return
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _sweep_leftovers(folder: str) -> None:
    """Removes the named temporaries that killed processes left in `folder`
    (they are named only for the moment of a commit); once per folder and process."""
    with _swept_lock:
        if folder in _swept:
            return
        _swept.add(folder)
    import re

    with contextlib.suppress(OSError), os.scandir(folder) as entries:
        for entry in entries:
            match = re.fullmatch(_LEFTOVER, entry.name)
            if match is None or int(match.group(1)) == os.getpid():
                continue
            try:
                os.kill(int(match.group(1)), 0)
            except ProcessLookupError:
                with contextlib.suppress(OSError):
                    os.unlink(entry.path)
            except OSError:  # alive, someone else's
                pass


class AtomicOutput:
    """Writes `path` through a temporary file in the same folder, moved into
    place by `commit()`. A run that does not commit leaves `path` as it was: on
    Linux the temporary file has no name until it is committed, so even a killed
    process leaves nothing behind. `keep_partial()` keeps what was written under
    `path` + ".partial" instead. A destination that exists and is not a regular
    file (a device, a pipe) is written directly. A symbolic link is written
    through: what it names is replaced, never the link. An existing file's mode
    (and owner, where allowed) is kept; a new one gets the umask's."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.target = path  # the file replaced: `path`, or what its link names
        self.folder = os.path.dirname(os.path.abspath(path))
        self._direct = False
        self._unnamed = False
        self._temporary: str | None = None
        self._stream: BinaryIO | None = None
        self._named: str | None = None  # the name the file was given, once it has one

    @property
    def stream(self) -> BinaryIO:
        assert self._stream is not None, "used outside its with block"
        return self._stream

    @property
    def done(self) -> bool:
        """Whether the destination holds the whole output."""
        return self._named == self.target

    def __enter__(self) -> AtomicOutput:
        try:
            existing: os.stat_result | None = os.stat(self.path)
        except FileNotFoundError:
            existing = None
        self._direct = existing is not None and not stat.S_ISREG(existing.st_mode)
        if not self._direct and os.path.islink(self.path):
            self.target = os.path.realpath(self.path)
            self.folder = os.path.dirname(self.target)
            if existing is not None and regular_file(self.target) != (existing.st_dev, existing.st_ino):
                self._direct = True  # what the link names has no path of its own (a deleted file)
        if self._direct:
            self._stream = open(self.path, "wb")
            return self
        descriptor = self._open_unnamed()
        if descriptor is None:
            import tempfile  # loads much; only for a file system without unnamed files

            base = os.path.basename(self.target)
            try:
                descriptor, self._temporary = tempfile.mkstemp(
                    dir=self.folder, prefix=f".{base}.{os.getpid()}.", suffix=".tmp"
                )
            except OSError as error:  # named as the caller named it, not as a temporary
                raise type(error)(error.errno, error.strerror, self.path) from None
            if existing is None:
                os.fchmod(descriptor, 0o666 & ~_umask())
        _sweep_leftovers(self.folder)
        self._stream = os.fdopen(descriptor, "wb")
        if existing is not None:
            self._take_over(existing)
        return self

    def _take_over(self, existing: os.stat_result) -> None:
        """Gives the new file the old one's owner and mode."""
        descriptor = self.stream.fileno()
        mine = os.fstat(descriptor)
        if (mine.st_uid, mine.st_gid) != (existing.st_uid, existing.st_gid):
            with contextlib.suppress(OSError):  # only the owner's group, or nothing, may be ours to give
                os.fchown(descriptor, existing.st_uid, existing.st_gid)
        # After the owner: a change of owner clears the set-id bits.
        os.fchmod(descriptor, stat.S_IMODE(existing.st_mode))

    def _open_unnamed(self) -> int | None:
        flag = getattr(os, "O_TMPFILE", 0)
        # QUILLFORGE_NO_O_TMPFILE=1 takes the named path as a system without unnamed files does (tests use it).
        if not flag or os.environ.get("QUILLFORGE_NO_O_TMPFILE") == "1":
            return None
        try:
            descriptor = os.open(self.folder, flag | os.O_WRONLY | os.O_CLOEXEC, 0o666)
        except OSError:  # a file system without unnamed files
            return None
        self._unnamed = True
        return descriptor

    def _name_it(self, final: str, stale: str | None = None) -> None:
        """Flushes the file to disk and gives it the name `final`, then removes
        `stale`, all or (as far as the files are concerned) nothing."""
        stream = self.stream
        if not (self._direct or self._unnamed or self._temporary is not None):
            # Its temporary name was lost (its folder moved, say): nothing can name it now.
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), self.path)
        stream.flush()
        if not self._direct:
            os.fsync(stream.fileno())
        with _signals_held():
            try:
                if self._unnamed:
                    self._link(stream.fileno(), final)
                if self._temporary is not None:
                    os.replace(self._temporary, final)
                    self._temporary = None
                self._named = final
                if stale is not None:
                    with contextlib.suppress(OSError):
                        os.unlink(stale)
            except BaseException:
                self._settle(final)
                raise

    def _link(self, descriptor: int, final: str) -> None:
        # Each write its own name, so that writers of one destination never meet.
        # Only linkat follows the /proc link to the unnamed file; os.link takes
        # that path when it is given a folder descriptor.
        folder = os.open(self.folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            while True:
                name = f".{os.path.basename(final)}.{os.getpid()}.{os.urandom(4).hex()}.tmp"
                self._temporary = os.path.join(self.folder, name)
                try:
                    os.link(f"/proc/self/fd/{descriptor}", name, dst_dir_fd=folder, follow_symlinks=True)
                    return
                except FileExistsError:
                    continue
        finally:
            os.close(folder)

    def _settle(self, final: str) -> None:
        """After a commit was cut short (by an error, or a handler raising between
        two steps): the files say how far it got."""
        ours = os.fstat(self.stream.fileno())

        def is_ours(name: str) -> bool:
            try:
                info = os.lstat(name)
            except OSError:
                return False
            return (info.st_dev, info.st_ino) == (ours.st_dev, ours.st_ino)

        if is_ours(final):
            self._named = final
        if self._temporary is None:
            return
        if not is_ours(self._temporary):  # stopped before the link, or after the replace
            self._temporary = None
        elif self._named is not None:  # the output has its name; the temporary one goes
            with contextlib.suppress(OSError):
                os.unlink(self._temporary)
            self._temporary = None
        else:
            # A file that had a name cannot be given one again once it loses it:
            # the temporary name now holds the output, for keep_partial or __exit__.
            self._unnamed = False

    def commit(self) -> None:
        """Moves the finished file into place (a `.partial` that an earlier run
        kept beside it goes)."""
        self._name_it(self.target, None if self._direct else self.target + ".partial")

    def keep_partial(self) -> str | None:
        """Keeps what was written as the destination + ".partial" and returns that
        name, or None when nothing was written (or the destination is not a file)."""
        if self._named is not None:  # already kept (or committed)
            return None if self._named == self.target else self._named
        if self._direct or self._stream is None:
            return None
        try:
            self._stream.flush()
            if self._stream.tell() == 0:
                return None
            partial = self.target + ".partial"
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
