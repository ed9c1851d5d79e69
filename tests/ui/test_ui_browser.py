# SPDX-License-Identifier: MIT
"""The page in headless Chromium: every group and every thumbnail shows
(decoded by the browser), text is shown as text, a changed keep choice goes
into the plan, and Delete removes exactly the copies the plan named, as the
file system and the page's outcome list show. Screenshots of each state go
to DUPFIND_UI_SCREENSHOTS when it is set."""

import os
import shutil
import time
from pathlib import Path

import pytest

from conftest import start_ui, stop_ui

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.common.action_chains import ActionChains
except ImportError:  # pragma: no cover
    webdriver = None

pytestmark = pytest.mark.skipif(
    webdriver is None or not os.access(CHROMIUM, os.X_OK) or not os.access(DRIVER, os.X_OK),
    reason="needs chromium, chromium-driver and python3-selenium (scripts/setup-debian.sh installs them)")


@pytest.fixture
def browser():
    def make(width=1280, height=900):
        o = Options()
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", f"--window-size={width},{height}",
                  "--disable-extensions", "--no-first-run"):
            o.add_argument(a)
        o.binary_location = CHROMIUM
        d = webdriver.Chrome(service=Service(DRIVER), options=o)
        drivers.append(d)
        return d

    drivers = []
    yield make
    for d in drivers:
        d.quit()


def shot(driver, name):
    folder = os.environ.get("DUPFIND_UI_SCREENSHOTS")
    if folder:
        Path(folder).mkdir(parents=True, exist_ok=True)
        driver.save_screenshot(str(Path(folder) / f"{name}.png"))


def wait_for(driver, script, timeout=30):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for: {script}")


def thumbnails_shown(driver):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('img.thumb'))"
        ".filter(i => i.complete && i.naturalWidth > 0).length")


def test_groups_thumbnails_keep_choice_plan_and_delete(ui, tree, browser):
    d = browser()
    d.get(ui.url)
    wait_for(d, "return !document.getElementById('results').hidden")
    assert "key=" not in d.current_url  # the secret left the address bar
    assert d.execute_script("return document.querySelectorAll('.group').length") == tree.groups
    wait_for(d, f"return Array.from(document.querySelectorAll('img.thumb')).filter(i => i.complete && i.naturalWidth > 0).length == {tree.images}")
    # The text preview is text: the file's <script> is shown, never run.
    wait_for(d, "return Array.from(document.querySelectorAll('pre.text')).some(p => p.textContent.includes('<script>'))")
    assert d.title == "dupfind"
    assert d.execute_script("return document.querySelectorAll('script').length") == 1
    assert d.execute_script("return document.querySelectorAll('pre.text b').length") == 0
    # The SVG and the markup named .png get no preview at all; the sound a player.
    wait_for(d, "return document.querySelectorAll('.file .none').length == 4")
    assert d.execute_script("return document.querySelectorAll('audio[controls]').length") == 2
    shot(d, "groups")

    # The preselected keep is the file below the first DIR; keep the backup's sunset instead.
    sunset = d.execute_script(
        "return Array.from(document.querySelectorAll('.group')).findIndex(s => s.textContent.includes('sunset.png'))")
    group = d.find_elements(By.CSS_SELECTOR, ".group")[sunset]
    radios = group.find_elements(By.CSS_SELECTOR, "input[type=radio]")
    paths = [p.text for p in group.find_elements(By.CSS_SELECTOR, ".path")]
    photos = paths.index(f"{tree.root}/photos/sunset.png")
    backup = paths.index(f"{tree.root}/backup/sunset.png")
    assert radios[photos].is_selected() and not radios[backup].is_selected()
    d.execute_script("arguments[0].scrollIntoView({block: 'center'})", radios[backup])
    radios[backup].click()
    assert "kept" in group.find_elements(By.CSS_SELECTOR, ".file")[backup].get_attribute("class")
    assert "kept" not in group.find_elements(By.CSS_SELECTOR, ".file")[photos].get_attribute("class")

    d.find_element(By.ID, "show-plan").click()
    wait_for(d, "return !document.getElementById('plan').hidden")
    plan = [li.text for li in d.find_elements(By.CSS_SELECTOR, "#plan-files li")]
    assert f"to remove: {tree.root}/photos/sunset.png" in plan
    assert f"to remove: {tree.root}/backup/forest.png" in plan
    assert len([p for p in plan if p.startswith("to remove: ")]) == tree.groups
    assert (tree.root / "photos/sunset.png").exists()  # a plan changes nothing
    shot(d, "plan")

    d.find_element(By.ID, "apply").click()
    wait_for(d, "return !document.getElementById('outcome').hidden")
    outcome = [li.text for li in d.find_elements(By.CSS_SELECTOR, "#outcome-files li")]
    assert f"removed: {tree.root}/photos/sunset.png" in outcome
    assert len([o for o in outcome if o.startswith("removed: ")]) == tree.groups
    # Nothing was left, so the summary counts no problems.
    summary = d.find_element(By.ID, "outcome-summary").text
    assert summary.startswith(f"{tree.groups} files removed, ") and "problem" not in summary, summary
    shot(d, "outcome")
    assert not (tree.root / "photos/sunset.png").exists()
    assert (tree.root / "backup/sunset.png").exists()
    left = sorted(p.relative_to(tree.root).as_posix() for p in tree.root.rglob("*") if p.is_file())
    assert left == ["backup/sunset.png", "photos/chime.wav", "photos/drawing.svg", "photos/fake.png", "photos/forest.png",
                    "photos/notes.txt", "photos/sea.bmp"]

    # Back on the groups, the removed copies are gone from the page.
    d.find_element(By.ID, "again").click()
    wait_for(d, "return !document.getElementById('results').hidden")
    assert d.execute_script("return document.querySelectorAll('.group').length") == 0


def test_the_filter_narrows_the_list_and_the_plan(ui, tree, browser):
    d = browser()
    d.get(ui.url)
    wait_for(d, "return !document.getElementById('results').hidden")
    d.find_element(By.ID, "filter").send_keys("FOREST")
    wait_for(d, "return document.querySelectorAll('.group').length == 1")
    d.find_element(By.ID, "show-plan").click()
    wait_for(d, "return !document.getElementById('plan').hidden")
    plan = [li.text for li in d.find_elements(By.CSS_SELECTOR, "#plan-files li")]
    assert plan == [f"to remove: {tree.root}/backup/forest.png"]
    assert "filter hides" in d.find_element(By.ID, "plan-summary").text


def test_a_rule_keeps_the_files_below_a_folder_in_every_group(ui, tree, browser):
    d = browser()
    d.get(ui.url)
    wait_for(d, "return !document.getElementById('results').hidden")
    d.execute_script("const s = document.getElementById('rule-folder'); s.value = arguments[0];", f"{tree.root}/backup")
    d.find_element(By.ID, "rule-apply").click()
    kept = d.execute_script("return Array.from(document.querySelectorAll('.file.kept .path'), p => p.textContent)")
    assert len(kept) == tree.groups and all(k.startswith(f"{tree.root}/backup/") for k in kept)
    d.find_element(By.ID, "show-plan").click()
    wait_for(d, "return !document.getElementById('plan').hidden")
    plan = [li.text for li in d.find_elements(By.CSS_SELECTOR, "#plan-files li")]
    assert len(plan) == tree.groups and all(p.startswith(f"to remove: {tree.root}/photos/") for p in plan)


def press(d, *keys):
    ActionChains(d).send_keys(*keys).perform()


def tab_to(d, element_id, limit=300):
    for _ in range(limit):
        if d.execute_script("return document.activeElement.id") == element_id:
            return
        press(d, Keys.TAB)
    raise AssertionError(f"Tab never reached #{element_id}")


def test_the_main_flow_with_the_keyboard_alone(ui, tree, browser):
    d = browser()
    d.get(ui.url)
    wait_for(d, "return !document.getElementById('results').hidden")
    # The keep choice of the first group: Tab to its chosen file, an arrow key to the other.
    first = d.execute_script("return document.querySelector('.group input[type=radio]:checked').id")
    paths = d.execute_script("return Array.from(document.querySelector('.group').querySelectorAll('.path'), p => p.textContent)")
    tab_to(d, first)
    press(d, Keys.ARROW_LEFT if first.endswith("-1") else Keys.ARROW_RIGHT)
    changed = d.execute_script("return document.activeElement.id")
    assert changed != first and d.execute_script("return document.activeElement.checked")
    kept = d.execute_script("return document.activeElement.closest('.file').querySelector('.path').textContent")
    tab_to(d, "show-plan")
    press(d, Keys.ENTER)
    wait_for(d, "return !document.getElementById('plan').hidden")
    tab_to(d, "apply")
    press(d, Keys.SPACE)
    wait_for(d, "return !document.getElementById('outcome').hidden")
    done = d.execute_script("return Array.from(document.querySelectorAll('#outcome-files li.done')).length")
    assert done == tree.groups
    [removed] = [p for p in paths if p != kept]
    assert Path(kept).exists() and not Path(removed).exists()


def test_scanning_shows_progress_and_cancel_stops_the_scan(cli, browser, tmp_path):
    # A tree large enough that the scan is still running when the page opens.
    big = Path("/usr/share")
    d = browser()
    u = start_ui(cli, "--min-size", "0", str(big), "/usr/lib")
    try:
        d.get(u.url)
        wait_for(d, "return document.getElementById('status').textContent.startsWith('Scanning')")
        shot(d, "scanning")
        d.find_element(By.ID, "cancel").click()
        wait_for(d, "return document.getElementById('status').textContent == 'The scan was cancelled.'")
        assert d.find_element(By.ID, "cancel").get_attribute("disabled")
    finally:
        stop_ui(u)


def test_the_page_fits_a_phone_width_window(ui, tree, browser):
    d = browser(390, 844)
    d.get(ui.url)
    wait_for(d, "return !document.getElementById('results').hidden")
    wait_for(d, f"return Array.from(document.querySelectorAll('img.thumb')).filter(i => i.complete && i.naturalWidth > 0).length == {tree.images}")
    shot(d, "phone")
    wide = d.execute_script("return Array.from(document.querySelectorAll('body *'))"
                            ".filter(e => e.getBoundingClientRect().right > window.innerWidth + 1)"
                            ".map(e => e.tagName + '#' + e.id + '.' + e.className)")
    assert wide == []


def test_closing_the_last_page_ends_dupfind(ui, browser):
    d = browser()
    d.get(ui.url)
    wait_for(d, "return !document.getElementById('results').hidden")
    d.get("about:blank")  # the page goes, and says so
    assert ui.proc.wait(timeout=30) == 0
    assert "the last page was closed" in ui.proc.stderr.read()
