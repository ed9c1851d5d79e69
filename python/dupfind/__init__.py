# SPDX-License-Identifier: MIT
"""Find files with identical content, through the brennic-filedup-find library.

A scan runs on a thread of the library's own::

    import dupfind

    result = dupfind.scan(["/data/photos"], min_size=4096)
    for group in result:
        print(group.size, group.files)

or, without blocking (leaving the ``with`` block cancels a scan still
running and waits for its end)::

    with dupfind.Scan(["/data"]) as s:
        while not s.wait(timeout=0.5):
            print(s.progress)
        result = s.result()

Paths come back as ``str``; pass ``path_type=pathlib.Path`` to get
``pathlib.Path`` objects instead.

Removing a copy goes through the library's guards (no "..", no symbolic
link, a regular file, inside the root of a scan started in this process)::

    dupfind.delete_file(result.groups[0].files[1])

The library allows 32 scan starts per process, for the life of the process:
a started scan keeps its slot even after it has finished, and its results
stay fetchable. ``scans_left()`` tells how many starts remain; once none do,
starting a scan raises ``ScanLimitReached``, and only a new process can scan
again.
"""

from __future__ import annotations

import ctypes
import errno
import json
import os
import re
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path, PurePath
from typing import (
    Any,
    Callable,
    Dict,
    Generic,
    Iterable,
    Iterator,
    List,
    Optional,
    Tuple,
    Type,
    TypeVar,
    Union,
    overload,
)

from ._native import LIBRARY_ENV, LibraryNotFound, last_error, load_library

__all__ = [
    "DeleteRefused",
    "DupfindError",
    "Group",
    "LIBRARY_ENV",
    "LibraryNotFound",
    "PathNotFound",
    "Result",
    "SCAN_LIMIT",
    "Scan",
    "ScanCancelled",
    "ScanLimitReached",
    "Skipped",
    "delete_file",
    "scan",
    "scans_left",
]

# The library's version (DUPFIND_VERSION_STRING in dupfind.h); the version
# test keeps the two equal.
__version__ = "1.1.0"

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

#: The type of the paths in a result: ``str`` or ``pathlib.Path``.
P = TypeVar("P", str, Path)

#: Scan starts the library allows per process (per load of the library,
#: which stays loaded until the process ends).
SCAN_LIMIT = 32

_DONE = 100
_POLL_SECONDS = 0.01
_INT64_MAX = 2**63 - 1

# Scans this binding started successfully in this process. The library has no
# query for its own count, so this is what scans_left() is based on.
_count_lock = threading.Lock()
_started = 0
_limit_reached = False


class DupfindError(Exception):
    """The library reported a failure. ``str(error)`` and ``error.message``
    are the library's text, unchanged (for example "dirs_json empty"), except
    for ``ScanLimitReached``, whose text explains the limit."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        return self.message


class ScanCancelled(DupfindError):
    """The scan ended because it was cancelled (message "cancelled")."""


class ScanLimitReached(DupfindError):
    """This process has used all the scan starts the library allows
    (``SCAN_LIMIT``). Scans already started are not affected; only a new
    process can start more."""


class _FileError(DupfindError):
    # An error that is also a built-in OSError subclass, so that code written
    # for Python's own file functions (`except FileNotFoundError`) handles it,
    # while str() stays the library's text rather than "[Errno 2] ...".
    _errno = 0

    def __init__(self, message: str, filename: Any = None) -> None:
        super().__init__(message)
        self.errno = self._errno
        self.strerror = message
        self.filename = filename

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self.message, self.filename))


class PathNotFound(_FileError, FileNotFoundError):
    """The path to delete does not exist (message "path not found"). Also a
    ``FileNotFoundError``, with ``errno`` ENOENT and ``filename`` the path
    given."""

    _errno = errno.ENOENT


class DeleteRefused(_FileError, PermissionError):
    """The library refused a removal (for example "refused: symlink" or
    "refused: outside scanned roots"). Also a ``PermissionError``, with
    ``errno`` EPERM and ``filename`` the path given."""

    _errno = errno.EPERM


@dataclass(frozen=True)
class Group(Generic[P]):
    """Files with identical content."""

    hash: str
    """64-bit content fingerprint as 16 lower-case hexadecimal digits."""
    size: int
    """Size in bytes of each file."""
    files: Tuple[P, ...]
    """Paths exactly as the library reported them; the first is the one the
    library compared the others with."""
    same_file: Tuple[Tuple[P, ...], ...] = ()
    """The names in ``files`` gathered by the file they name (same device
    and inode), in the order of ``files``: one tuple per distinct file. With
    ``hard_links=False`` (the default) every tuple holds one name; a name
    that cannot be examined any more counts as a file of its own."""
    wasted_bytes: int = 0
    """Bytes the redundant copies take: ``size`` times the number of
    distinct files less one, so names of one file count once (a group of
    two hard links to one file wastes nothing), as the ``dupfind`` tool
    counts."""


@dataclass(frozen=True)
class Skipped(Generic[P]):
    """An entry that the scan passed over."""

    path: P
    reason: str
    """The library's reason code, one of "root_missing", "name_too_long",
    "not_directory", "symlink", "symlink_stat_failed", "symlink_loop",
    "already_scanned", "below_min_size", "above_max_size", "exclude",
    "exclude_glob", "hidden", "other_file_system", "max_depth",
    "newer_than", "older_than", "not_included", "lstat_failed", "not_regular", "opendir_failed", "invalid_utf8",
    "read_failed", "max_files_reached", "cache_ignored", "cache_not_written"
    (include/dupfind.h says when each applies)."""


@dataclass(frozen=True)
class Result(Generic[P]):
    """The outcome of a finished scan.

    Iterating over a result yields its groups, and ``len(result)`` is their
    number (so a result without duplicates is false in a boolean context).
    """

    groups: Tuple[Group[P], ...]
    wasted_bytes: int
    """Bytes taken by the redundant copies (all files of a group but one)."""
    scanned_files: int
    """Number of files the scan considered."""
    skipped: Tuple[Skipped[P], ...]
    text: str = field(default="", repr=False, compare=False)
    """The library's results text, unchanged."""

    def __iter__(self) -> Iterator[Group[P]]:
        return iter(self.groups)

    def __len__(self) -> int:
        return len(self.groups)


def scans_left() -> int:
    """How many more scans this process can start: ``SCAN_LIMIT`` less the
    scans this binding started successfully (a request the library refused
    takes no slot). Scans started in the same process by other code that
    calls the library directly are not seen, so the true number can be
    lower; it is 0 once the library has refused a start for the limit."""
    with _count_lock:
        return 0 if _limit_reached else max(SCAN_LIMIT - _started, 0)


def _no_nul(what: str, value: Union[str, bytes]) -> None:
    # The library reads NUL-terminated strings: a NUL would silently cut the
    # text short there, so that "a.jpg\0.bak" names a.jpg.
    if (isinstance(value, str) and "\0" in value) or (isinstance(value, bytes) and b"\0" in value):
        raise ValueError(f"{what} holds a NUL character: {value!r}")


def _fs_text(what: str, path: Any) -> str:
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"{what} must be a str, bytes or os.PathLike, not {type(path).__name__}")
    # Bytes paths keep their exact bytes through the JSON request: undecodable
    # bytes become surrogates here and are turned back when encoding.
    text = os.fsdecode(os.fspath(path))
    _no_nul(what, text)
    return text


def _texts(what: str, values: Any) -> List[str]:
    # A single string is one value, not a sequence of one-letter ones.
    if isinstance(values, (str, bytes, os.PathLike)):
        values = [values]
    try:
        items = iter(values)
    except TypeError:
        raise TypeError(f"{what} must be a path or an iterable of paths, not {type(values).__name__}") from None
    return [_fs_text(f"an entry of {what}", v) for v in items]


def _int(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must be 0 or more, not {value}")
    if value > _INT64_MAX:
        # The library would read a wider number as a real and ignore it.
        raise ValueError(f"{name} is out of the signed 64-bit range")
    return value


def _size(name: str, value: Any) -> int:
    """A size as an int of bytes, or as the tool takes it: digits, then
    optionally K, M, G or T (binary units, any case, optionally followed by
    B or iB) or B alone; "1M" is 1048576."""
    if not isinstance(value, str):
        return _int(name, value)
    m = re.fullmatch(r"([0-9]+)(?:([KMGTkmgt])(?:[Bb]|[Ii][Bb])?|[Bb])?", value)
    if m is None:
        raise ValueError(f"{name} must be a size such as 4096, '4K' or '1M', not {value!r}")
    n = int(m.group(1)) << (10 * ("KMGT".index(m.group(2).upper()) + 1) if m.group(2) else 0)
    if n > _INT64_MAX:
        raise ValueError(f"{name} is out of the signed 64-bit range")
    return n


def _bool(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def _check_path_type(path_type: Any) -> None:
    if not (path_type is str or (isinstance(path_type, type) and issubclass(path_type, PurePath))):
        raise TypeError(f"path_type must be str or pathlib.Path, not {path_type!r}")


def _request(
    roots: Any,
    *,
    min_size: Union[int, str] = 1,
    follow_symlinks: bool = False,
    max_files: int = 0,
    exclude_text: Any = (),
    hard_links: bool = False,
    max_size: Union[None, int, str] = None,
    exclude: Any = None,
    skip_hidden: Optional[bool] = None,
    one_file_system: Optional[bool] = None,
    max_depth: Optional[int] = None,
    cache: Optional[PathArg] = None,
) -> Tuple[bytes, bytes]:
    """The two texts for dupfind_scan_start. Every argument is checked here,
    so that a bad one raises before the library is called."""
    dirs = _texts("roots", roots)
    options: Dict[str, Any] = {
        "min_size": _size("min_size", min_size),
        "follow_symlinks": bool(follow_symlinks),
        "max_files": _int("max_files", max_files),
        "exclude": _texts("exclude_text", exclude_text),
        "hard_links": _bool("hard_links", hard_links),
    }
    # Sent only when given, so that a request without them stays what it has
    # always been; a library that does not know a key ignores it.
    if max_size is not None:
        options["max_size"] = _size("max_size", max_size)
    if exclude is not None:
        options["exclude_glob"] = _texts("exclude", exclude)
    if skip_hidden is not None:
        options["skip_hidden"] = _bool("skip_hidden", skip_hidden)
    if one_file_system is not None:
        options["one_file_system"] = _bool("one_file_system", one_file_system)
    if max_depth is not None:
        options["max_depth"] = _int("max_depth", max_depth)
        if max_depth < 1:
            raise ValueError("max_depth must be 1 or more (1: the root's own entries), not 0")
    if cache is not None:
        options["cache"] = _fs_text("cache", cache)
        if not options["cache"]:
            raise ValueError("cache must name a file, not be empty")

    def encode(value: object) -> bytes:
        return json.dumps(value, ensure_ascii=False).encode("utf-8", "surrogateescape")

    return encode(dirs), encode(options)


def _parse_document(text: str) -> Dict[str, Any]:
    try:
        doc = json.loads(text)
        if not isinstance(doc, dict):
            raise TypeError("not an object")
        return doc
    except (ValueError, TypeError) as e:
        raise DupfindError(f"unexpected results text: {e}") from e


def _group(hash_: str, size: int, names: List[str], path_type: Callable[[str], Any]) -> Group[Any]:
    by_file: Dict[Any, List[Any]] = {}
    for i, name in enumerate(names):
        try:
            st = os.stat(name, follow_symlinks=False)
            key: Any = (st.st_dev, st.st_ino)
        except (OSError, ValueError):
            key = i  # gone or unreadable: a file of its own
        by_file.setdefault(key, []).append(path_type(name))
    same_file = tuple(tuple(v) for v in by_file.values())
    return Group(
        hash=hash_,
        size=size,
        files=tuple(path_type(f) for f in names),
        same_file=same_file,
        wasted_bytes=size * max(len(same_file) - 1, 0),
    )


def _build_result(doc: Dict[str, Any], text: str, path_type: Callable[[str], Any]) -> Result[Any]:
    try:
        return Result(
            groups=tuple(
                _group(g["hash"], int(g["size"]), [str(f) for f in g["files"]], path_type)
                for g in doc["groups"]
            ),
            wasted_bytes=int(doc["wasted_bytes"]),
            scanned_files=int(doc["scanned_files"]),
            skipped=tuple(Skipped(path=path_type(s["path"]), reason=s["reason"]) for s in doc["skipped"]),
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

    A ``Scan`` is a context manager: leaving the ``with`` block, normally or
    by an exception, cancels the scan if it is still running and waits until
    it has ended. A finished scan's result stays available after the block.

    Each start uses one of the ``SCAN_LIMIT`` (32) scans the library allows
    per process, for the life of the process, whether the scan finishes,
    fails or is cancelled; see ``scans_left()``.

    A ``Scan`` belongs to the process that started it. In a child made by
    ``os.fork()`` (or a ``multiprocessing`` fork worker) the library's
    threads do not exist, so every method of an inherited ``Scan`` raises
    ``DupfindError`` at once instead of waiting for ever; the child can
    start scans of its own.

    The options are those of ``scan()``.

    Raises:
        ScanLimitReached: this process has already started all the scans the
            library allows.
        DupfindError: the library did not accept the request (its text, for
            example "dirs_json empty" or "no valid directories").
        LibraryNotFound: the library could not be loaded.
        TypeError, ValueError: an argument of the wrong type or value (a
            negative size, a root that is not a path, a NUL character in a
            root or a pattern); the library is not called.
    """

    def __init__(
        self,
        roots: Union[PathArg, Iterable[PathArg]],
        *,
        min_size: Union[int, str] = 1,
        follow_symlinks: bool = False,
        max_files: int = 0,
        exclude_text: Union[PathArg, Iterable[PathArg]] = (),
        hard_links: bool = False,
        max_size: Union[None, int, str] = None,
        exclude: Union[None, PathArg, Iterable[PathArg]] = None,
        skip_hidden: Optional[bool] = None,
        one_file_system: Optional[bool] = None,
        max_depth: Optional[int] = None,
        cache: Optional[PathArg] = None,
    ) -> None:
        global _started, _limit_reached
        dirs, options = _request(
            roots,
            min_size=min_size,
            follow_symlinks=follow_symlinks,
            max_files=max_files,
            exclude_text=exclude_text,
            hard_links=hard_links,
            max_size=max_size,
            exclude=exclude,
            skip_hidden=skip_hidden,
            one_file_system=one_file_system,
            max_depth=max_depth,
            cache=cache,
        )
        self._lib = load_library()
        scan_id = self._lib.dupfind_scan_start(dirs, options)
        if scan_id < 0:
            message = last_error(self._lib)
            if message == "too many concurrent scans":
                # The library's word for it: its 32 slots are all taken. But
                # a slot is never given back, so what has run out is this
                # process's allowance, not the number of running scans.
                with _count_lock:
                    _limit_reached = True
                raise ScanLimitReached(
                    f"this process has started all {SCAN_LIMIT} scans the library allows per process; "
                    "start a new process to scan again"
                )
            raise DupfindError(message)
        with _count_lock:
            _started += 1
        self._id: int = scan_id
        self._pid = os.getpid()
        self._doc: Optional[Tuple[Dict[str, Any], str]] = None
        self._results: Dict[Any, Result[Any]] = {}

    @property
    def id(self) -> int:
        """The library's id of this scan."""
        return self._id

    def _check_process(self) -> None:
        # A child made by fork() inherits the scan's record but not the
        # library's threads: a scan still running there would never end, and
        # a wait for it would never return. No use of it in a child is sound.
        if os.getpid() != self._pid:
            raise DupfindError(
                f"scan {self._id} was started by process {self._pid} and cannot be used in process "
                f"{os.getpid()}, a child made by fork(): the library's threads do not exist there; "
                "start a new Scan in this process instead"
            )

    def _poll(self) -> Tuple[int, str]:
        self._check_process()
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
        self._check_process()
        if self._lib.dupfind_cancel(self._id) < 0:
            raise DupfindError(last_error(self._lib))

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until the scan has ended, for at most ``timeout`` seconds
        (``None``: no limit). Returns True when it has ended."""
        self._check_process()
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if self.done:
                return True
            if deadline is not None and time.monotonic() >= deadline:
                return False
            time.sleep(_POLL_SECONDS)

    @overload
    def result(self, timeout: Optional[float] = None, *, path_type: Type[str] = str) -> Result[str]: ...

    @overload
    def result(self, timeout: Optional[float] = None, *, path_type: Type[Path]) -> Result[Path]: ...

    def result(self, timeout: Optional[float] = None, *, path_type: Any = str) -> Result[Any]:
        """Waits for the scan (see ``wait``) and returns its result, with the
        paths as ``path_type`` (``str`` or ``pathlib.Path``). Asking again
        returns the same object.

        Raises:
            TimeoutError: the scan did not end within ``timeout`` seconds.
            ScanCancelled: the scan was cancelled.
            DupfindError: the scan failed (the library's text, for example
                "walk failed").
            TypeError: ``path_type`` is neither ``str`` nor a ``pathlib``
                path class.
        """
        self._check_process()
        _check_path_type(path_type)
        cached = self._results.get(path_type)
        if cached is not None:
            return cached
        if self._doc is None:
            self._doc = self._fetch(timeout)
        result = _build_result(self._doc[0], self._doc[1], path_type)
        self._results[path_type] = result
        return result

    def _fetch(self, timeout: Optional[float]) -> Tuple[Dict[str, Any], str]:
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
        text = raw.decode("utf-8", "surrogateescape")
        return _parse_document(text), text

    def __enter__(self) -> "Scan":
        self._check_process()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._check_process()
        # A scan left running would go on reading files for nobody; the
        # wait makes the end of the block the end of the scan.
        if not self.done:
            self.cancel()
        self.wait()

    def __repr__(self) -> str:
        # Shown in tracebacks and debuggers, so it never raises.
        if os.getpid() != self._pid:
            return f"<dupfind.Scan id={self._id} of process {self._pid}, unusable after fork>"
        return f"<dupfind.Scan id={self._id} progress={self.progress}>"


@overload
def scan(
    roots: Union[PathArg, Iterable[PathArg]],
    *,
    min_size: Union[int, str] = 1,
    follow_symlinks: bool = False,
    max_files: int = 0,
    exclude_text: Union[PathArg, Iterable[PathArg]] = (),
    progress: Optional[Callable[[int], None]] = None,
    hard_links: bool = False,
    max_size: Union[None, int, str] = None,
    exclude: Union[None, PathArg, Iterable[PathArg]] = None,
    skip_hidden: Optional[bool] = None,
    one_file_system: Optional[bool] = None,
    max_depth: Optional[int] = None,
    cache: Optional[PathArg] = None,
    path_type: Type[str] = str,
) -> Result[str]: ...


@overload
def scan(
    roots: Union[PathArg, Iterable[PathArg]],
    *,
    min_size: Union[int, str] = 1,
    follow_symlinks: bool = False,
    max_files: int = 0,
    exclude_text: Union[PathArg, Iterable[PathArg]] = (),
    progress: Optional[Callable[[int], None]] = None,
    hard_links: bool = False,
    max_size: Union[None, int, str] = None,
    exclude: Union[None, PathArg, Iterable[PathArg]] = None,
    skip_hidden: Optional[bool] = None,
    one_file_system: Optional[bool] = None,
    max_depth: Optional[int] = None,
    cache: Optional[PathArg] = None,
    path_type: Type[Path],
) -> Result[Path]: ...


def scan(
    roots: Union[PathArg, Iterable[PathArg]],
    *,
    min_size: Union[int, str] = 1,
    follow_symlinks: bool = False,
    max_files: int = 0,
    exclude_text: Union[PathArg, Iterable[PathArg]] = (),
    progress: Optional[Callable[[int], None]] = None,
    hard_links: bool = False,
    max_size: Union[None, int, str] = None,
    exclude: Union[None, PathArg, Iterable[PathArg]] = None,
    skip_hidden: Optional[bool] = None,
    one_file_system: Optional[bool] = None,
    max_depth: Optional[int] = None,
    cache: Optional[PathArg] = None,
    path_type: Any = str,
) -> Result[Any]:
    """Scans the directory trees below ``roots`` and returns the result.

    The options are those of the ``dupfind`` tool. The ones that default to
    ``None`` are sent to the library only when given; a library that does
    not support one yet ignores it.

    Args:
        roots: one path or several (str, bytes or os.PathLike); a root that
            does not exist is reported in ``Result.skipped`` as
            "root_missing".
        min_size: smallest file size collected: an int of bytes, or a text
            as the tool takes it ("4K", "1M": K, M, G and T are binary
            units, 1M = 1048576); 0 admits empty files.
        follow_symlinks: follow symbolic links below the roots.
        max_files: stop collecting after this many files (0: no limit).
        exclude: one shell-style pattern or several, as the tool's
            ``--exclude`` (``*``, ``?``,
            ``[...]`` with classes such as ``[[:digit:]]``, and ``**`` as a
            whole component for any number of directories). A pattern
            without ``/`` is matched against an entry's name (``"*.iso"``,
            ``"node_modules"``), one with ``/`` against its path relative to
            its root (``"photos/*/thumbs"``, ``"**/.git"``; a leading ``/``
            or ``./`` anchors it there; the root's own name is not part of
            that path). A trailing ``/`` makes a pattern match directories
            only (``"cache/"``). A matching entry is skipped as
            "exclude_glob", a matching directory is not entered. A pattern
            the matcher cannot mean (empty, an unclosed ``[``, ``**``
            inside a name as in ``"a**b"``, a ``.`` or ``..`` component)
            makes the library refuse the request: ``DupfindError``
            "invalid options_json".
        exclude_text: one substring or several, as the tool's
            ``--exclude-text``; an entry whose path contains one is skipped
            as "exclude" (case-sensitive). Before this binding followed the
            tool's names, ``exclude`` took these substrings and
            ``exclude_glob`` the patterns: ``exclude_glob`` is gone (passing
            it raises TypeError) and ``exclude`` now takes patterns.
        progress: called with each new progress value, on this thread.
        hard_links: with False (the default, as the tool), of several names
            of one file (hard links) only the first met is collected; with
            True every name is, and ``Group.same_file`` tells which names
            are one file.
        max_size: largest file size collected, an int or a text like
            ``min_size``; a larger file is skipped as "above_max_size".
        skip_hidden: with True, skip hidden entries (names that begin with a
            dot).
        one_file_system: with True, do not descend into a directory on
            another file system than its root's.
        max_depth: how many levels of entries below each root are
            collected, as ``find -maxdepth`` counts them: 1 takes only the
            root's own entries, 2 also those of its subdirectories, and so
            on (1 or more). A directory not entered is skipped as
            "max_depth".
        cache: the path of a cache file, read before the files are compared
            and written after, so that a rescan reads only the files changed
            since; the groups are those of a scan without it. A cache that
            cannot be trusted is skipped as "cache_ignored", one that could
            not be updated as "cache_not_written" (include/dupfind.h says
            which files are cached).
        path_type: ``str`` (the default) or ``pathlib.Path``: the type of the
            paths in the result.

    If ``progress`` raises, or the wait is interrupted (KeyboardInterrupt),
    the scan is cancelled and the exception propagates.

    Every call starts one of the 32 scans the library allows per process;
    see ``scans_left()``.

    Raises:
        ScanLimitReached, DupfindError, ScanCancelled, LibraryNotFound,
        TypeError, ValueError: see ``Scan``.
    """
    _check_path_type(path_type)
    s = Scan(
        roots,
        min_size=min_size,
        follow_symlinks=follow_symlinks,
        max_files=max_files,
        exclude_text=exclude_text,
        hard_links=hard_links,
        max_size=max_size,
        exclude=exclude,
        skip_hidden=skip_hidden,
        one_file_system=one_file_system,
        max_depth=max_depth,
        cache=cache,
    )
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
    return s.result(path_type=path_type)


def delete_file(path: PathArg) -> None:
    """Removes one regular file inside the root of a scan started in this
    process. A file that was itself a root is removed only while its name
    still leads to the file that scan was given; another file renamed over
    it is refused ("refused: outside scanned roots"). Returns normally when
    the file was removed.

    Raises:
        PathNotFound: the path does not exist (also a ``FileNotFoundError``).
        DeleteRefused: the library refused (also a ``PermissionError``; its
            text, for example "refused: symlink" or "refused: outside scanned
            roots").
        DupfindError: the removal failed (its text, "unlink failed" and the
            system's reason, as in "unlink failed: Permission denied").
        TypeError: the path is not a str, bytes or os.PathLike.
        ValueError: the path is empty or holds a NUL character (the library
            is not called).
    """
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be a str, bytes or os.PathLike, not {type(path).__name__}")
    raw = os.fsencode(path)
    if not raw:
        raise ValueError("the path is empty")
    _no_nul("the path", raw)
    lib = load_library()
    rc = lib.dupfind_delete_file(raw)
    if rc == 1:
        return
    message = last_error(lib)
    filename = os.fspath(path)
    if rc == 0:
        raise DeleteRefused(message, filename)
    if message == "path not found":
        raise PathNotFound(message, filename)
    raise DupfindError(message)
