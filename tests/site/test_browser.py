"""The built site as a reader meets it: a headless Chromium opens the pages
over HTTP (as a web server serves them), the MA page shows its chart, and the
search finds BARSLAST.

Needs the site built (``python docs/site/build.py``, into build/site, or the
folder ZELVO_SITE names), Chromium and its driver (Debian: ``apt-get install
chromium chromium-driver``) and selenium (the ``docs`` extra).  Without them
the tests are skipped, unless ZELVO_REQUIRE_BROWSER=1, as in CI, where a
missing piece fails them.  The screenshots go to build/site-check/.
"""
from __future__ import annotations

import functools
import http.server
import os
import shutil
import threading
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SITE = Path(os.environ.get("ZELVO_SITE", ROOT / "build" / "site"))
SHOTS = ROOT / "build" / "site-check"
REQUIRED = os.environ.get("ZELVO_REQUIRE_BROWSER") == "1"


def _missing(why: str):
    if REQUIRED:
        pytest.fail(f"ZELVO_REQUIRE_BROWSER=1 and {why}")
    pytest.skip(why)


def _program(*names: str) -> str | None:
    return next((p for p in map(shutil.which, names) if p), None)


@pytest.fixture(scope="module")
def site_url():
    if not (SITE / "index.html").is_file():
        _missing(f"no built site in {SITE} (python docs/site/build.py builds it)")
    handler = functools.partial(_QuietHandler, directory=str(SITE))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def browser():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        _missing("selenium is not installed (python3 -m pip install '.[docs]')")
    chromium = _program("chromium", "chromium-browser", "google-chrome")
    driver = _program("chromedriver")
    if not chromium or not driver:
        _missing("Chromium or chromedriver is not installed "
                 "(apt-get install chromium chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,3000", "--hide-scrollbars"):
        options.add_argument(arg)
    # The driver is named, so selenium looks for nothing to download.
    b = webdriver.Chrome(service=Service(executable_path=driver), options=options)
    b.set_page_load_timeout(60)
    yield b
    b.quit()


def _wait(browser, condition, what: str, seconds: float = 30):
    from selenium.webdriver.support.ui import WebDriverWait
    try:
        return WebDriverWait(browser, seconds).until(lambda b: condition(b))
    except Exception as e:
        SHOTS.mkdir(parents=True, exist_ok=True)
        browser.save_screenshot(str(SHOTS / "failure.png"))
        raise AssertionError(f"{what} (screenshot: {SHOTS / 'failure.png'})") from e


# Draws the image on a canvas and counts the distinct colours of a sample of
# its pixels: a blank or broken chart has one or two.
_COLOURS = """
const img = arguments[0];
const c = document.createElement('canvas');
c.width = img.naturalWidth; c.height = img.naturalHeight;
const ctx = c.getContext('2d');
ctx.drawImage(img, 0, 0);
const d = ctx.getImageData(0, 0, c.width, c.height).data;
const seen = new Set();
for (let i = 0; i < d.length; i += 4 * 7) seen.add(d[i] + ',' + d[i+1] + ',' + d[i+2]);
return seen.size;
"""


def test_ma_page_shows_its_chart(browser, site_url):
    from selenium.webdriver.common.by import By
    browser.get(f"{site_url}/functions/MA/")
    assert browser.title.startswith("MA ")
    heading = browser.find_element(By.TAG_NAME, "h1").text
    assert heading == "MA"
    img = _wait(browser, lambda b: next(
        (i for i in b.find_elements(By.CSS_SELECTOR, "article img")
         if b.execute_script("return arguments[0].complete && arguments[0].naturalWidth > 0", i)),
        None), "the MA page shows no loaded chart")
    assert img.get_attribute("alt") == "MA over the sample bars"
    width = browser.execute_script("return arguments[0].naturalWidth", img)
    assert width >= 600
    assert browser.execute_script(_COLOURS, img) > 20       # lines, labels, axes
    assert "zv_ma(pcalc_ctx_t ctx" in browser.page_source   # the C prototype
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", img)
    browser.save_screenshot(str(SHOTS / "ma.png"))
    img.screenshot(str(SHOTS / "ma-chart.png"))


def test_search_finds_barslast(browser, site_url):
    from selenium.webdriver.common.by import By
    browser.get(f"{site_url}/")
    box = _wait(browser, lambda b: next(
        (e for e in b.find_elements(By.CSS_SELECTOR, "input.md-search__input")
         if e.is_displayed()), None), "no search box")

    def hits(b):
        links = [a.get_attribute("href") or "" for a in
                 b.find_elements(By.CSS_SELECTOR, ".md-search-result a")]
        return [h for h in links if "/functions/BARSLAST/" in h] or None

    # A query typed before the search index has loaded in its worker may find
    # nothing, on a busy machine: type it again until the index answers.
    for attempt in range(3):
        box.click()
        box.clear()
        box.send_keys("BARSLAST")
        try:
            found = _wait(browser, hits, "the search for BARSLAST found no link to its page",
                          seconds=10 if attempt < 2 else 30)
            break
        except AssertionError:
            if attempt == 2:
                raise
    assert found[0].startswith(site_url)
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(SHOTS / "search.png"))
