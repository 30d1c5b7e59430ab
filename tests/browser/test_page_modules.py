"""The page's stream modules on their own in the browser: page/*.test.js under synthetic clocks, no host, no audio."""

from __future__ import annotations

from pathlib import Path

import pytest

pytestmark = pytest.mark.browser

ROOTS = {"static": Path(__file__).resolve().parents[2] / "host" / "vt_core" / "static", "page": Path(__file__).parent / "page"}
MODULES = sorted(p.name for p in ROOTS["page"].glob("*.test.js"))
RUN = "async (m) => (await import('/page/check.js')).run((await import(`/page/${m}`)).cases)"


@pytest.fixture(scope="module")
def modules_page(browser):
    """A page at a made-up origin whose /static/ is the player's files and /page/ the test modules."""
    context = browser.new_context()

    def serve(route) -> None:
        root, name = route.request.url.split("/", 4)[3:]
        route.fulfill(path=ROOTS[root] / name)

    context.route("http://vt.test/**", serve)
    page = context.new_page()
    page.goto("http://vt.test/page/check.js")
    yield page
    context.close()


@pytest.mark.parametrize("module", MODULES)
def test_page_module(modules_page, module):
    got = modules_page.evaluate(RUN, module)
    assert got["ran"] and not got["failed"], "\n\n".join(": ".join(failure) for failure in got["failed"])
