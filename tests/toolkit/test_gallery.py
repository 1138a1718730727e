"""The gallery page in a real browser: headless Chromium driven by Playwright."""

import os
import shutil

import pytest

from vornkit.survey import survey

RULES = ["{{x,y},{y,z}} -> {{x,y},{y,w},{w,z}}", "{{x,y},{y,z}} -> {{x,z}}",
         "{{x,y},{z,y}} -> {{x,w},{y,w},{z,w}}", "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w}}",
         "{{x,y},{y,x}} -> {{x,x},{y,y},{x,y}}"]


def _browser_path():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


@pytest.fixture(scope="module")
def page():
    if os.environ.get("VORN_SANITIZED"):
        # The sanitizer runtimes preloaded into this process would be preloaded into the browser too.
        pytest.skip("Chromium does not start with the sanitizer runtimes preloaded")
    sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright is not installed (pip install playwright)")
    path = _browser_path()
    if path is None:
        pytest.skip("no Chromium on this machine (apt-get install chromium)")
    with sync_api.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=path, args=["--no-sandbox"])
        try:
            yield browser.new_page(viewport={"width": 1500, "height": 900})
        finally:
            browser.close()


def _column(page, key):
    return page.eval_on_selector_all(f'#survey tbody td[data-key="{key}"]', "cells => cells.map(c => c.textContent)")


def test_the_gallery_loads_offline_sorts_and_filters(page, tmp_path):
    out = tmp_path / "gallery"
    result = survey(RULES, "{{1,2},{2,3},{3,4},{4,1}}", 2000, 2, workers=2, out=out, progress=False)
    assert result.ok
    requests = []
    page.on("request", lambda r: requests.append(r.url))
    page.goto((out / "index.html").as_uri())
    page.wait_for_function("Array.from(document.images).every(i => i.complete)")
    widths = page.eval_on_selector_all("#survey img", "imgs => imgs.map(i => i.naturalWidth)")
    assert len(widths) == 2 * len(RULES) and all(w > 0 for w in widths)
    assert all(url.startswith("file://") for url in requests)  # nothing from the network

    # Sorting by a numeric column orders the rows by its values, missing values last; again: descending.
    page.click('#survey th[data-key="edges"]')
    edges = [float(t) for t in _column(page, "edges")]
    assert edges == sorted(edges) and len(edges) == len(RULES)
    page.click('#survey th[data-key="edges"]')
    assert [float(t) for t in _column(page, "edges")] == sorted(edges, reverse=True)
    page.click('#survey th[data-key="dimension"]')
    dims = _column(page, "dimension")
    known = [float(t) for t in dims if t]
    assert known == sorted(known) and dims[:len(known)] == [t for t in dims if t]

    # Filters: text anywhere in a column, numeric ranges.
    page.fill('#survey input[data-key="class"]', "terminates")
    assert _column(page, "class") == ["terminates"]
    page.fill('#survey input[data-key="class"]', "")
    page.fill('#survey input[data-key="edges"]', ">1000")
    expected = sorted(r["edges"] for r in result.records if r["edges"] > 1000)
    assert sorted(float(t) for t in _column(page, "edges")) == expected
    page.fill('#survey input[data-key="edges"]', "")

    # Each rule links to its full record.
    href = page.get_attribute("#survey td.rule a", "href")
    assert os.path.exists(out / href)
    page.screenshot(path=str(tmp_path / "gallery.png"))
    assert (tmp_path / "gallery.png").stat().st_size > 10_000
