# SPDX-License-Identifier: MIT
"""Loading of the shared library and the prototypes of its seven functions."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Iterator, Optional

#: Environment variable naming the library file to load; it wins over every
#: other place.
LIBRARY_ENV = "DUPFIND_LIBRARY"

_LIBRARY_NAME = "brennic-filedup-find"
if sys.platform == "win32":
    # Loaded by name: from the interpreter's directory, the system's, or one
    # added with os.add_dll_directory (Python does not search PATH for it).
    # A Windows build puts the DLL in its bin/ directory.
    _LIBRARY_FILE = _LIBRARY_NAME + ".dll"
    _SONAME = _LIBRARY_FILE
    _BUILD_SUBDIRS = ("bin", "")
else:
    _LIBRARY_FILE = "lib" + _LIBRARY_NAME + ".so"
    _SONAME = _LIBRARY_FILE + ".1"
    _BUILD_SUBDIRS = ("",)

_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None


class LibraryNotFound(OSError):
    """The shared library could not be found or loaded."""


def _is_instrumented(path: Path) -> bool:
    """True for a sanitizer build, which cannot be loaded into a plain
    interpreter (its runtime would end the process instead of failing)."""
    try:
        data = path.read_bytes()
    except OSError:
        return True
    return any(name in data for name in (b"libasan.so", b"libtsan.so", b"libubsan.so"))


def _checkout_libraries() -> Iterator[Path]:
    """Libraries built in the source checkout that holds this package, newest
    first. An installed package is not in a checkout and gets none: a
    ``build*`` directory that merely happens to lie near site-packages must
    never be loaded."""
    package = Path(__file__).resolve().parent
    repo = package.parent.parent
    if not ((package.parent / "pyproject.toml").is_file() and (repo / "include" / "dupfind.h").is_file()):
        return
    found = []
    for build_dir in repo.glob("build*"):
        for sub in _BUILD_SUBDIRS:
            lib = build_dir / sub / _LIBRARY_FILE
            if lib.is_file():
                found.append(lib)
    found.sort(key=lambda p: p.stat().st_mtime, reverse=True)
    for lib in found:
        if not _is_instrumented(lib):
            yield lib


def _candidates() -> Iterator[str]:
    # The library that the package's install built and carries comes first:
    # it is the one this code was installed with, whatever else the machine
    # has. Then the installed library comes before a checkout's build, so
    # that a source tree on sys.path does not shadow what `cmake --install`
    # put in place.
    bundled = Path(__file__).resolve().parent / _LIBRARY_FILE
    if bundled.is_file():
        yield str(bundled)
    seen = set()
    for name in (_SONAME, ctypes.util.find_library(_LIBRARY_NAME)):
        if name and name not in seen:
            seen.add(name)
            yield name  # by the loader (LD_LIBRARY_PATH, ld.so.cache); on Windows find_library searches PATH
    yield from (str(p) for p in _checkout_libraries())


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    c_int, c_char_p, c_void_p = ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p
    lib.dupfind_scan_start.argtypes = [c_char_p, c_char_p]
    lib.dupfind_scan_start.restype = c_int
    lib.dupfind_scan_progress.argtypes = [c_int]
    lib.dupfind_scan_progress.restype = c_int
    # A void pointer, not c_char_p: the string must be handed back to
    # dupfind_free_string, so ctypes must not convert it away.
    lib.dupfind_scan_results.argtypes = [c_int]
    lib.dupfind_scan_results.restype = c_void_p
    lib.dupfind_cancel.argtypes = [c_int]
    lib.dupfind_cancel.restype = c_int
    lib.dupfind_last_error.argtypes = []
    lib.dupfind_last_error.restype = c_char_p
    lib.dupfind_free_string.argtypes = [c_void_p]
    lib.dupfind_free_string.restype = None
    lib.dupfind_delete_file.argtypes = [c_char_p]
    lib.dupfind_delete_file.restype = c_int
    return lib


def load_library() -> ctypes.CDLL:
    """Loads the library once per process and returns it.

    The file named by ``DUPFIND_LIBRARY`` is used when that variable is set
    (and only that file). Otherwise the library inside this package, which
    ``pip install ./python`` builds and puts there; then the installed
    library, as the dynamic
    loader and ``ctypes.util.find_library`` find it (after ``cmake --install``
    and ``ldconfig``, or through ``LD_LIBRARY_PATH``). Only when this package
    is imported from a source checkout, and nothing is installed, the newest
    library built in one of the checkout's ``build*`` directories. On Windows
    the file is ``brennic-filedup-find.dll``, found by name or on ``PATH``
    (written for Windows, not tested there).

    Raises:
        LibraryNotFound: no candidate could be loaded.
    """
    global _lib
    with _lock:
        if _lib is not None:
            return _lib
        explicit = os.environ.get(LIBRARY_ENV)
        if explicit:
            try:
                _lib = _declare(ctypes.CDLL(explicit))
            except OSError as e:
                raise LibraryNotFound(f"cannot load {explicit} (from {LIBRARY_ENV}): {e}") from e
            return _lib
        errors = []
        for candidate in _candidates():
            try:
                _lib = _declare(ctypes.CDLL(candidate))
                return _lib
            except OSError as e:
                errors.append(f"{candidate}: {e}")
        raise LibraryNotFound(
            f"the {_LIBRARY_NAME} library was not found; build or install it, or set "
            f"{LIBRARY_ENV} to its file ({'; '.join(errors)})"
        )


def last_error(lib: ctypes.CDLL) -> str:
    """The calling thread's error text, exactly as the library wrote it."""
    raw: Optional[bytes] = lib.dupfind_last_error()
    return raw.decode("utf-8", "replace") if raw else ""
