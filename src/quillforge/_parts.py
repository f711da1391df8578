"""The hidden folder that holds a Dask run's part files, removed however the run ends.

The run holds a lock on the folder's lock file while it lives. A small watchdog
process, started with the folder, removes it once the caller's end of a pipe
closes, which also happens when the caller dies by SIGTERM or SIGKILL. A later
run in the same output folder removes any unlocked folder an earlier one left.

Tasks still running after the caller ends may try to write into the folder:
removal repeats until the folder itself is gone, and a task cannot create it
again (it only creates files in it), so nothing is left after that.

    python -m quillforge._parts FOLDER    the watchdog: removes FOLDER at end of input
"""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from types import TracebackType

try:
    import fcntl
except ImportError:  # pragma: no cover - Windows: no lock, so no folder is taken for stale
    fcntl = None  # type: ignore[assignment]

PREFIX = ".quillforge-"
SUFFIX = ".parts"
_LOCK = ".lock"


def remove(path: str) -> None:
    """Removes the folder, again while a task still writing into it makes it non-empty."""
    for _ in range(200):
        try:
            shutil.rmtree(path)
        except FileNotFoundError:
            return
        except OSError:
            time.sleep(0.01)
        else:
            return
    shutil.rmtree(path, ignore_errors=True)


def remove_stale(folder: str) -> None:
    """Removes the parts folders in `folder` that no living run holds."""
    if fcntl is None:  # pragma: no cover
        return
    try:
        names = os.listdir(folder)
    except (FileNotFoundError, NotADirectoryError):
        return
    for name in names:
        if not (name.startswith(PREFIX) and name.endswith(SUFFIX)):
            continue
        path = os.path.join(folder, name)
        try:
            lock = os.open(os.path.join(path, _LOCK), os.O_RDWR)
        except (FileNotFoundError, NotADirectoryError):
            if os.path.isdir(path):
                remove(path)  # an older version's, or one whose lock was already removed
            continue
        except OSError:
            continue
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            continue  # a living run's
        else:
            remove(path)
        finally:
            os.close(lock)


class PartsFolder:
    """A new, locked parts folder in `folder`, watched, and removed on exit."""

    def __init__(self, folder: str) -> None:
        self.folder = os.path.abspath(folder)
        self.path = ""
        self._lock = -1
        self._watchdog: subprocess.Popen[bytes] | None = None

    def __enter__(self) -> str:
        remove_stale(self.folder)
        # Made under another name and renamed once locked, so that no other
        # run ever sees it unlocked.
        new = tempfile.mkdtemp(prefix=PREFIX, suffix=".new", dir=self.folder)
        try:
            self._lock = os.open(os.path.join(new, _LOCK), os.O_RDWR | os.O_CREAT, 0o600)
            if fcntl is not None:
                fcntl.flock(self._lock, fcntl.LOCK_EX)
            self.path = new.removesuffix(".new") + SUFFIX
            os.rename(new, self.path)
        except BaseException:
            self._close_lock()
            remove(new)
            raise
        try:
            self._watchdog = _start_watchdog(self.path)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self.path

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        try:
            remove(self.path)
        finally:
            self._close_lock()
            if self._watchdog is not None:
                watchdog, self._watchdog = self._watchdog, None
                _stop(watchdog)

    def _close_lock(self) -> None:
        if self._lock >= 0:
            os.close(self._lock)
            self._lock = -1


def _start_watchdog(path: str) -> subprocess.Popen[bytes] | None:
    if not sys.executable:
        return None
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_parent, env.get("PYTHONPATH")]))
    try:
        return subprocess.Popen(
            [sys.executable, "-m", "quillforge._parts", path],
            stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL,
            env=env,
            # Its own session: Ctrl-C and a hang-up reach the caller's group, not it.
            start_new_session=True,
        )
    except OSError:
        return None  # the run goes on; only a kill of the caller would leave the folder


def _stop(watchdog: subprocess.Popen[bytes]) -> None:
    assert watchdog.stdin is not None
    with contextlib.suppress(OSError):
        watchdog.stdin.close()
    try:
        watchdog.wait(timeout=10)
    except subprocess.TimeoutExpired:
        watchdog.kill()
        watchdog.wait()


def _watch(path: str) -> None:
    for name in ("SIGINT", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.SIG_IGN)
    while sys.stdin.buffer.read(4096):
        pass
    remove(path)


if __name__ == "__main__":
    _watch(sys.argv[1])
