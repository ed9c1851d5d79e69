# SPDX-License-Identifier: MIT
"""The page's acts go through the tool's decision and execution: a copy
changed since the scan is left with the reason, a hard link replaces a copy
by another name of the kept file, reference files stay whatever the page
asks, and the outcome names every file."""

import json
import os

import pytest

from conftest import start_ui, stop_ui
from test_ui_security import post, request, wait_ready


def groups(ui):
    return json.loads(request(ui, "GET", "/api/groups")[2])["groups"]


def index_of(group, suffix):
    return next(f["index"] for f in group["files"] if f["path"].endswith(suffix))


def group_named(ui, name):
    return next(g for g in groups(ui) if g["files"][0]["path"].endswith("/" + name))


def outcomes(resp):
    code, _, body = resp
    assert code == 200, body
    return {f["path"].rsplit("/t/", 1)[1]: (f["outcome"], f["note"]) for f in json.loads(body)["files"]}


def test_a_copy_changed_since_the_scan_is_left_with_the_reason(ui, tree):
    wait_ready(ui)
    g = group_named(ui, "notes.txt")
    keep = index_of(g, "photos/notes.txt")
    # Same size, other bytes: only a comparison right before the act can tell.
    copy = tree.root / "backup/notes.txt"
    copy.write_bytes(copy.read_bytes().upper())
    plan = {"action": "delete", "groups": [{"group": g["index"], "keep": [keep]}]}
    assert outcomes(post(ui, "/api/plan", plan))["backup/notes.txt"][0] == "act"
    out = outcomes(post(ui, "/api/apply", plan))
    assert out["photos/notes.txt"][0] == "keep"
    outcome, note = out["backup/notes.txt"]
    assert outcome == "left" and "differs" in note, note
    assert copy.exists()


def test_hard_link_replaces_the_copy_by_a_name_of_the_kept_file(ui, tree):
    wait_ready(ui)
    g = group_named(ui, "sea.bmp")
    keep = index_of(g, "backup/sea.bmp")
    out = outcomes(post(ui, "/api/apply", {"action": "link", "groups": [{"group": g["index"], "keep": [keep]}]}))
    assert out["photos/sea.bmp"] == ("done", "")
    assert os.path.samefile(tree.root / "photos/sea.bmp", tree.root / "backup/sea.bmp")


def test_reference_files_stay_whatever_the_page_keeps(cli, tree):
    ui = start_ui(cli, "--reference", str(tree.root / "photos"), str(tree.root / "backup"))
    try:
        wait_ready(ui)
        g = group_named(ui, "forest.png")
        assert [f["reference"] for f in g["files"]].count(True) == 1
        # The page asks to keep the backup's copy: the reference file stays all the same.
        keep = index_of(g, "backup/forest.png")
        out = outcomes(post(ui, "/api/apply", {"action": "delete", "groups": [{"group": g["index"], "keep": [keep]}]}))
        assert out["photos/forest.png"][0] == "keep" and out["backup/forest.png"][0] == "keep"
        assert (tree.root / "photos/forest.png").exists() and (tree.root / "backup/forest.png").exists()
    finally:
        stop_ui(ui)


def test_a_group_below_one_dir_has_no_preselected_keep_without_keep(cli, tree):
    ui = start_ui(cli, str(tree.root))
    try:
        wait_ready(ui)
        assert all(g["keep"] == [] for g in groups(ui))
    finally:
        stop_ui(ui)


def test_the_last_page_saying_bye_ends_dupfind(ui):
    wait_ready(ui)
    assert request(ui, "GET", "/api/state?page=p1")[0] == 200
    assert post(ui, "/api/bye", '{ "page" : "p1" }')[0] == 200
    assert ui.proc.wait(timeout=30) == 0
    assert "the last page was closed" in ui.proc.stderr.read()
