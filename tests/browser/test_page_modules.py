"""The page's stream modules on their own in the browser: page/*.test.js under synthetic clocks, no host, no audio."""

from __future__ import annotations

from pathlib import Path

import pytest
import vt_core

pytestmark = pytest.mark.browser
ROOTS = {"static": Path(vt_core.__file__).parent / "static", "page": Path(__file__).parent / "page"}  # the host's, as installed


@pytest.fixture(scope="module")
def modules_page(browser):
    """A page at a made-up origin whose /static/ serves the player's files and /page/ the test modules."""
    context = browser.new_context()
    context.route("http://vt.test/**", lambda route: route.fulfill(path=ROOTS[route.request.url.split("/")[3]]
                                                                    / route.request.url.split("/", 4)[4]))
    page = context.new_page()
    page.goto("http://vt.test/page/check.js")
    yield page
    context.close()


@pytest.mark.parametrize("module", sorted(p.name for p in ROOTS["page"].glob("*.test.js")))
def test_page_module(modules_page, module):
    got = modules_page.evaluate("async (m) => (await import('/page/check.js')).run((await import(`/page/${m}`)).cases)", module)
    assert got["ran"] and not got["failed"], "\n\n".join(": ".join(failure) for failure in got["failed"])
