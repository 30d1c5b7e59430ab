"""A browser on "another machine": run inside a network namespace, it opens the
host's page in headless chromium and answers requests from the test.

    ip netns exec NS python remote_page.py '{"url": ..., "args": [...], "players": [...]}'

It prints one JSON line per reply on stdout.  The first says the page is up
(``{"ready": true, "secure": ..., "worklet": ...}``) or why not
(``{"error": ...}``).  Then each line the test writes on stdin is a request:

* ``{"eval": "js function source", "arg": ...}``: the function's result,
  ``{"result": ...}`` (or ``{"error": ...}``);
* ``{"errors": true}``: page errors and console errors seen so far;
* ``{"open": {"url": ..., ...}}``: another page in a fresh context, the last closed (replies as the first line);
* ``{"close": true}``: the page and its context closed (the browser stays);
* ``{"quit": true}``: close the browser and exit.
"""

from __future__ import annotations

import json
import shutil
import sys


def reply(obj) -> None:
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


def open_page(browser, config: dict, errors: list[str]):
    """A fresh context and page on config["url"], its players up; returns (context, page, the reply)."""
    errors.clear()
    context = browser.new_context(ignore_https_errors=bool(config.get("ignore_https_errors")))
    page = context.new_page()
    page.on("pageerror", lambda e: errors.append(f"pageerror: {e}"))
    page.on("console", lambda m: m.type == "error" and errors.append(f"console: {m.text}"))
    try:
        page.goto(config["url"], timeout=20_000)
        page.wait_for_function("() => window.vtReady === true", timeout=20_000)
        for cid in config.get("players", []):
            page.wait_for_function("cid => !!(window.vtPlayers && window.vtPlayers[cid])", arg=cid, timeout=10_000)
        return context, page, {"ready": True, "location": page.evaluate("() => location.href"),
                               "secure": page.evaluate("() => window.isSecureContext"),
                               "worklet": page.evaluate("() => typeof AudioWorkletNode !== 'undefined'")}
    except Exception as exc:  # noqa: BLE001 - reported to the test
        return context, page, {"error": f"{type(exc).__name__}: {exc}", "errors": list(errors)}


def main() -> int:
    config = json.loads(sys.argv[1])
    from playwright.sync_api import sync_playwright

    errors: list[str] = []
    with sync_playwright() as pw:
        browser = pw.chromium.launch(executable_path=shutil.which("chromium"), args=config["args"])
        try:
            context, page, ready = open_page(browser, config, errors)
            reply(ready)
            for line in sys.stdin:
                request = json.loads(line)
                if request.get("quit"):
                    break
                if request.get("errors"):
                    reply({"result": errors})
                elif "open" in request or "close" in request:
                    context.close()
                    context, page, ready = open_page(browser, request["open"], errors) if "open" in request \
                        else (context, page, {"result": True})
                    reply(ready)
                else:
                    try:
                        reply({"result": page.evaluate(request["eval"], request.get("arg"))})
                    except Exception as exc:  # noqa: BLE001 - reported to the test
                        reply({"error": f"{type(exc).__name__}: {exc}"})
        finally:
            browser.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
