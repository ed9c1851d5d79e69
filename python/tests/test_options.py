# SPDX-License-Identifier: MIT
"""The request the binding sends to dupfind_scan_start, and the arguments it
refuses before the library is called. A stand-in records the request, so no
scan is started."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

import dupfind

# The options text of a request that gives none of the optional keys: one
# name per file, as the tool collects them.
DEFAULT_OPTIONS = b'{"min_size": 1, "follow_symlinks": false, "max_files": 0, "exclude": [], "hard_links": false}'


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


def sent(library: RecordingLibrary, roots, **kwargs):
    """The two texts that dupfind.scan(roots, **kwargs) hands the library."""
    with pytest.raises(dupfind.DupfindError, match="dirs_json empty"):
        dupfind.scan(roots, **kwargs)
    (request,) = library.requests
    return request


def test_a_request_without_optional_keys_is_unchanged(library):
    assert sent(library, "/data") == (b'["/data"]', DEFAULT_OPTIONS)


@pytest.mark.parametrize(
    "kwargs, added",
    [
        ({"hard_links": True}, {"hard_links": True}),
        # 0 is a value to send, not the same as leaving the key out.
        ({"max_size": 0}, {"max_size": 0}),
        ({"max_size": 2**63 - 1}, {"max_size": 2**63 - 1}),
        # exclude takes the tool's patterns, exclude_text its substrings.
        ({"exclude": "*.tmp"}, {"exclude_glob": ["*.tmp"]}),
        ({"exclude": ["*.tmp", b".#*", Path("cache*")]}, {"exclude_glob": ["*.tmp", ".#*", "cache*"]}),
        ({"exclude": []}, {"exclude_glob": []}),
        ({"exclude_text": ".git"}, {"exclude": [".git"]}),
        # Sizes as the tool takes them: binary units, any case, B or iB.
        ({"min_size": "1M"}, {"min_size": 1 << 20}),
        ({"min_size": "4k", "max_size": "2GiB"}, {"min_size": 4096, "max_size": 2 << 30}),
        ({"max_size": "10b"}, {"max_size": 10}),
        ({"max_size": "3T"}, {"max_size": 3 << 40}),
        ({"max_size": "0"}, {"max_size": 0}),
        ({"skip_hidden": True}, {"skip_hidden": True}),
        ({"one_file_system": False}, {"one_file_system": False}),
        ({"max_depth": 1}, {"max_depth": 1}),
        ({"cache": "/c/f"}, {"cache": "/c/f"}),
        ({"cache": Path("/c/f")}, {"cache": "/c/f"}),
        ({"cache": b"/c/f"}, {"cache": "/c/f"}),
        (
            {"hard_links": True, "max_size": 10, "skip_hidden": True, "one_file_system": True, "max_depth": 3},
            {"hard_links": True, "max_size": 10, "skip_hidden": True, "one_file_system": True, "max_depth": 3},
        ),
    ],
)
def test_optional_keys_are_sent_only_when_given(library, kwargs, added):
    dirs, options = sent(library, ["/a", "/b"], **{"min_size": 0, "exclude_text": "x", **kwargs})
    assert json.loads(dirs) == ["/a", "/b"]
    assert json.loads(options) == {
        "min_size": 0, "follow_symlinks": False, "max_files": 0, "exclude": ["x"], "hard_links": False, **added}


@pytest.mark.parametrize(
    "kwargs, error",
    [
        # Sizes and counts: whole numbers, 0 or more, within what the
        # library reads as an integer.
        ({"min_size": -5}, ValueError),
        ({"max_files": -1}, ValueError),
        ({"max_size": -1}, ValueError),
        ({"max_depth": -1}, ValueError),
        ({"max_depth": 0}, ValueError),  # levels count from 1, the root's own entries
        ({"min_size": 2**63}, ValueError),
        # Sizes as text: what the tool's --min-size refuses.
        ({"min_size": ""}, ValueError),
        ({"min_size": "1.5M"}, ValueError),
        ({"min_size": "1X"}, ValueError),
        ({"min_size": "M"}, ValueError),
        ({"max_size": "1MM"}, ValueError),
        ({"max_size": "-1"}, ValueError),
        ({"max_size": "8388608T"}, ValueError),
        ({"min_size": 1.5}, TypeError),
        ({"max_files": 1.5}, TypeError),
        ({"min_size": True}, TypeError),
        ({"max_size": 1.0}, TypeError),
        ({"max_depth": False}, TypeError),
        # Switches: True or False, not anything truthy.
        ({"hard_links": "no"}, TypeError),
        ({"hard_links": 0}, TypeError),
        ({"skip_hidden": 1}, TypeError),
        ({"one_file_system": "yes"}, TypeError),
        # Roots and patterns: paths only.
        ({"roots": None}, TypeError),
        ({"roots": 7}, TypeError),
        ({"roots": [None]}, TypeError),
        ({"roots": ["/ok", 3.5]}, TypeError),
        ({"exclude_text": [1]}, TypeError),
        ({"exclude": [None]}, TypeError),
        ({"exclude": ["a\0b"]}, ValueError),
        ({"cache": 5}, TypeError),
        ({"cache": ["/c/f"]}, TypeError),
        ({"cache": ""}, ValueError),
        ({"cache": "/c\0f"}, ValueError),
        # The old name of the patterns is gone, not quietly taken.
        ({"exclude_glob": ["*.tmp"]}, TypeError),
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
