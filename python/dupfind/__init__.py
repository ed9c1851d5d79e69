"""Find files with identical content, through the brennic-filedup-find library.

A scan runs on a thread of the library's own::

    import dupfind

    result = dupfind.scan(["/data/photos"], min_size=4096)
    for group in result.groups:
        print(group.size, group.files)

or, without blocking::

    s = dupfind.Scan(["/data"])
    while not s.wait(timeout=0.5):
        print(s.progress)
    result = s.result()

Removing a copy goes through the library's guards (no "..", no symbolic
link, a regular file, inside the root of a scan started in this process)::

    dupfind.delete_file(result.groups[0].files[1])

The library serves at most 32 scans per process.
"""

from __future__ import annotations

import ctypes
import json
import os
import time
from dataclasses import dataclass, field
from typing import Callable, Iterable, Optional, Tuple, Union

from ._native import LIBRARY_ENV, LibraryNotFound, last_error, load_library

__all__ = [
    "DeleteRefused",
    "DupfindError",
    "Group",
    "LIBRARY_ENV",
    "LibraryNotFound",
    "Result",
    "Scan",
    "ScanCancelled",
    "Skipped",
    "delete_file",
    "scan",
]

__version__ = "1.0.0"

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_DONE = 100
_POLL_SECONDS = 0.01


class DupfindError(Exception):
    """The library reported a failure. ``str(error)`` and ``error.message``
    are the library's text, unchanged (for example "dirs_json empty")."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class ScanCancelled(DupfindError):
    """The scan ended because it was cancelled (message "cancelled")."""


class DeleteRefused(DupfindError):
    """The library refused a removal (for example "refused: symlink")."""


@dataclass(frozen=True)
class Group:
    """Files with identical content."""

    hash: str
    """64-bit content fingerprint as 16 lower-case hexadecimal digits."""
    size: int
    """Size in bytes of each file."""
    files: Tuple[str, ...]
    """Paths exactly as the library reported them; the first is the one the
    library compared the others with."""


@dataclass(frozen=True)
class Skipped:
    """An entry that the scan passed over."""

    path: str
    reason: str
    """A reason code such as "symlink", "below_min_size" or "root_missing"."""


@dataclass(frozen=True)
class Result:
    """The outcome of a finished scan."""

    groups: Tuple[Group, ...]
    wasted_bytes: int
    """Bytes taken by the redundant copies (all files of a group but one)."""
    scanned_files: int
    """Number of files the scan considered."""
    skipped: Tuple[Skipped, ...]
    text: str = field(default="", repr=False, compare=False)
    """The library's results text, unchanged."""


def _no_nul(what: str, value: Union[str, bytes]) -> None:
    # The library reads NUL-terminated strings: a NUL would silently cut the
    # text short there, so that "a.jpg\0.bak" names a.jpg.
    if ("\0" if isinstance(value, str) else b"\0") in value:
        raise ValueError(f"{what} holds a NUL character: {value!r}")


def _fs_text(what: str, path: PathArg) -> str:
    # Bytes paths keep their exact bytes through the JSON request: undecodable
    # bytes become surrogates here and are turned back when encoding.
    text = os.fsdecode(os.fspath(path))
    _no_nul(what, text)
    return text


def _request(
    roots: Union[PathArg, Iterable[PathArg]],
    min_size: int,
    follow_symlinks: bool,
    max_files: int,
    exclude: Union[str, Iterable[str]],
) -> Tuple[bytes, bytes]:
    if isinstance(roots, (str, bytes, os.PathLike)):
        roots = [roots]
    if isinstance(exclude, (str, bytes, os.PathLike)):
        exclude = [exclude]
    for name, value in (("min_size", min_size), ("max_files", max_files)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if not -(2**63) <= value < 2**63:
            # The library would read a wider number as a real and ignore it.
            raise ValueError(f"{name} is out of the signed 64-bit range")
    options = {
        "min_size": min_size,
        "follow_symlinks": bool(follow_symlinks),
        "max_files": max_files,
        "exclude": [_fs_text("an exclude entry", e) for e in exclude],
    }
    dirs = [_fs_text("a root", r) for r in roots]

    def encode(value: object) -> bytes:
        return json.dumps(value, ensure_ascii=False).encode("utf-8", "surrogateescape")

    return encode(dirs), encode(options)


def _parse_result(text: str) -> Result:
    try:
        doc = json.loads(text)
        return Result(
            groups=tuple(
                Group(hash=g["hash"], size=int(g["size"]), files=tuple(g["files"])) for g in doc["groups"]
            ),
            wasted_bytes=int(doc["wasted_bytes"]),
            scanned_files=int(doc["scanned_files"]),
            skipped=tuple(Skipped(path=s["path"], reason=s["reason"]) for s in doc["skipped"]),
            text=text,
        )
    except (ValueError, KeyError, TypeError) as e:
        raise DupfindError(f"unexpected results text: {e}") from e


class Scan:
    """A scan running on the library's worker thread.

    Starting it returns at once; ``progress`` reads 0 to 100 (1 while the
    trees are walked, 40 to 95 while files are compared, 96 while the
    results are written, 100 when they are ready) or -1 when the scan failed
    or was cancelled.

    Raises:
        DupfindError: the library did not accept the request (its text, for
            example "dirs_json empty" or "too many concurrent scans").
        LibraryNotFound: the library could not be loaded.
        ValueError: a root or an exclude entry holds a NUL character (the
            library is not called).
    """

    def __init__(
        self,
        roots: Union[PathArg, Iterable[PathArg]],
        *,
        min_size: int = 1,
        follow_symlinks: bool = False,
        max_files: int = 0,
        exclude: Union[str, Iterable[str]] = (),
    ) -> None:
        dirs, options = _request(roots, min_size, follow_symlinks, max_files, exclude)
        self._lib = load_library()
        scan_id = self._lib.dupfind_scan_start(dirs, options)
        if scan_id < 0:
            raise DupfindError(last_error(self._lib))
        self._id: int = scan_id
        self._result: Optional[Result] = None

    @property
    def id(self) -> int:
        """The library's id of this scan."""
        return self._id

    def _poll(self) -> Tuple[int, str]:
        # The error text belongs to the calling thread, so it is read right
        # after the call that set it, on the same thread.
        value = self._lib.dupfind_scan_progress(self._id)
        return value, (last_error(self._lib) if value < 0 else "")

    @property
    def progress(self) -> int:
        """The current progress: 0 to 100, or -1 when failed or cancelled."""
        return self._poll()[0]

    @property
    def done(self) -> bool:
        """True once the scan has finished, failed or been cancelled."""
        value = self.progress
        return value == _DONE or value < 0

    def cancel(self) -> None:
        """Asks the scan to stop. The scan honours the request at its next
        checkpoint; one that is nearly done may still finish normally."""
        if self._lib.dupfind_cancel(self._id) < 0:
            raise DupfindError(last_error(self._lib))

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until the scan has ended, for at most ``timeout`` seconds
        (``None``: no limit). Returns True when it has ended."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if self.done:
                return True
            if deadline is not None and time.monotonic() >= deadline:
                return False
            time.sleep(_POLL_SECONDS)

    def result(self, timeout: Optional[float] = None) -> Result:
        """Waits for the scan (see ``wait``) and returns its result.

        Raises:
            TimeoutError: the scan did not end within ``timeout`` seconds.
            ScanCancelled: the scan was cancelled.
            DupfindError: the scan failed (the library's text, for example
                "walk failed").
        """
        if self._result is not None:
            return self._result
        if not self.wait(timeout):
            raise TimeoutError(f"scan {self._id} still running after {timeout} s")
        value, error = self._poll()
        if value < 0:
            raise (ScanCancelled if error == "cancelled" else DupfindError)(error)
        ptr = self._lib.dupfind_scan_results(self._id)
        if not ptr:
            raise DupfindError(last_error(self._lib))
        try:
            raw = ctypes.string_at(ptr)
        finally:
            self._lib.dupfind_free_string(ptr)
        self._result = _parse_result(raw.decode("utf-8", "surrogateescape"))
        return self._result

    def __repr__(self) -> str:
        return f"<dupfind.Scan id={self._id} progress={self.progress}>"


def scan(
    roots: Union[PathArg, Iterable[PathArg]],
    *,
    min_size: int = 1,
    follow_symlinks: bool = False,
    max_files: int = 0,
    exclude: Union[str, Iterable[str]] = (),
    progress: Optional[Callable[[int], None]] = None,
) -> Result:
    """Scans the directory trees below ``roots`` and returns the result.

    Args:
        roots: one path or several; a root that does not exist is reported
            in ``Result.skipped`` as "root_missing".
        min_size: smallest file size considered, in bytes (0 admits empty
            files).
        follow_symlinks: follow symbolic links below the roots.
        max_files: stop collecting after this many files (0: no limit).
        exclude: substrings; an entry whose path contains one is skipped.
        progress: called with each new progress value, on this thread.

    If ``progress`` raises, or the wait is interrupted (KeyboardInterrupt),
    the scan is cancelled and the exception propagates.

    Raises:
        DupfindError, ScanCancelled, LibraryNotFound: see ``Scan``.
    """
    s = Scan(roots, min_size=min_size, follow_symlinks=follow_symlinks, max_files=max_files, exclude=exclude)
    last = None
    try:
        while True:
            value = s.progress
            if progress is not None and value != last:
                progress(value)
                last = value
            if value == _DONE or value < 0:
                break
            time.sleep(_POLL_SECONDS)
    except BaseException:
        s.cancel()
        raise
    return s.result()


def delete_file(path: PathArg) -> None:
    """Removes one regular file inside the root of a scan started in this
    process. Returns normally when the file was removed.

    Raises:
        DeleteRefused: the library refused (its text, for example
            "refused: symlink" or "refused: outside scanned roots").
        DupfindError: the removal failed (its text, for example
            "path not found" or "unlink failed").
        ValueError: the path holds a NUL character (the library is not
            called).
    """
    raw = os.fsencode(path)
    _no_nul("the path", raw)
    lib = load_library()
    rc = lib.dupfind_delete_file(raw)
    if rc == 1:
        return
    message = last_error(lib)
    raise (DeleteRefused if rc == 0 else DupfindError)(message)
