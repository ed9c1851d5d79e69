"""The arguments the binding refuses before the library is called. A
stand-in records any request that reaches it, so no scan is started."""

from __future__ import annotations

import pytest

import dupfind


class RecordingLibrary:
    """Takes the place of the loaded library: records each request and
    refuses it, as the real one refuses an empty root list."""

    def __init__(self) -> None:
        self.requests: list = []

    def dupfind_scan_start(self, dirs: bytes, options: bytes) -> int:
        self.requests.append((dirs, options))
        return -1

    def dupfind_last_error(self) -> bytes:
        return b"dirs_json empty"


@pytest.fixture
def library(monkeypatch) -> RecordingLibrary:
    lib = RecordingLibrary()
    monkeypatch.setattr(dupfind, "load_library", lambda: lib)
    return lib


@pytest.mark.parametrize(
    "kwargs, error",
    [
        # Sizes and counts: whole numbers, 0 or more, within what the
        # library reads as an integer.
        ({"min_size": -5}, ValueError),
        ({"max_files": -1}, ValueError),
        ({"min_size": 2**63}, ValueError),
        ({"min_size": "1"}, TypeError),
        ({"max_files": 1.5}, TypeError),
        ({"min_size": True}, TypeError),
        # Roots and patterns: paths only.
        ({"roots": None}, TypeError),
        ({"roots": 7}, TypeError),
        ({"roots": [None]}, TypeError),
        ({"roots": ["/ok", 3.5]}, TypeError),
        ({"exclude": [1]}, TypeError),
        ({"path_type": bytes}, TypeError),
        ({"path_type": "str"}, TypeError),
    ],
)
def test_bad_arguments_raise_before_the_library_is_called(library, kwargs, error):
    kwargs = dict(kwargs)
    roots = kwargs.pop("roots", "/data")
    with pytest.raises(error):
        dupfind.scan(roots, **kwargs)
    assert library.requests == []
