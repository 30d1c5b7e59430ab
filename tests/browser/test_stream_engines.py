"""Which stream engine a page uses, picked by the browser's abilities, and what it says when none can run.

A page that is not a secure context (plain HTTP on a name other than localhost)
has no AudioWorklet: its streams play through the main-thread engine.  Here the
browser resolves a made-up name to 127.0.0.1, so the page is insecure while all
traffic stays on loopback.
"""

from __future__ import annotations

import pytest

from vt_core import server as vt_server

from .conftest import Page
from .test_voice import speak, tone

pytestmark = pytest.mark.browser

NAME = "vt-insecure.test"

# The page as an old browser without Web Audio sees it.
NO_WEB_AUDIO = "delete window.AudioContext; delete window.webkitAudioContext;"


@pytest.fixture(scope="module")
def insecure(launch_browser):
    """(browser, server): a chromium that reaches the server by a name that is not a secure context."""
    srv = vt_server.start("127.0.0.1", 0, allowed_hosts=[NAME])
    b = launch_browser(args=[f"--host-resolver-rules=MAP {NAME} 127.0.0.1"])
    yield b, srv
    b.close()
    srv.stop()


def insecure_page(insecure, open_page) -> Page:
    b, srv = insecure
    return open_page(b, srv.url.replace("127.0.0.1", NAME))


def test_a_page_without_audio_worklet_streams_on_the_main_thread(insecure, open_page, wa, events):
    page = insecure_page(insecure, open_page)
    p = wa.web_audio(onended=events.callback("ended"), onerror=events.callback("error"))
    p.on_stream_start(events.callback("start"))
    page.open().player(p.id)
    assert page.page.evaluate("() => [window.isSecureContext, 'audioWorklet' in BaseAudioContext.prototype]") == [False, False]
    rate = 22050
    pcm = tone(1.2, rate)
    speak(p, pcm, rate, 1)
    _, _, started = events.wait("start")
    _, _, ended = events.wait("ended")
    st = page.stats(p.id)
    assert st["engine"] == "scheduled"
    assert started["latencyMs"] >= 0
    assert ended == {"source": "push", "reason": "drained", "lost": 0, "gaps": [], "underruns": 0,
                     "played": pytest.approx(len(pcm) / 2 / rate, abs=0.001)}, (started, st)
    assert "error" not in events.names() and not page.errors, page.errors


@pytest.mark.parametrize("where", ["insecure", "loopback"])
def test_without_web_audio_the_error_says_why_and_what_to_do(insecure, open_page, wa, events, where):
    page = insecure_page(insecure, open_page) if where == "insecure" else open_page()
    page.page.add_init_script(NO_WEB_AUDIO)
    p = wa.web_audio(onerror=events.callback("error"))
    page.open().player(p.id)
    p.send_audio_metadata(16000, 1)
    p.stream_binary(tone(0.2, 16000))
    _, _, err = events.wait("error")
    text = err["error"]
    assert text.startswith("stream playback unavailable: this browser has no Web Audio"), text
    if where == "insecure":
        assert "serve the page over HTTPS or open it on localhost" in text, text
    else:
        assert "HTTPS" not in text and "current browser" in text, text
    assert page.stats(p.id)["engine"] is None


# Count the calls that can block the main thread for a long time in some browsers.
COUNT_BLOCKING_CALLS = """(() => {
  window.__blocking = {getOutputTimestamp: 0, outputLatency: 0};
  window.__outputLatencyAt = []; // epoch ms of each read
  const proto = AudioContext.prototype;
  const ts = proto.getOutputTimestamp;
  proto.getOutputTimestamp = function () { window.__blocking.getOutputTimestamp++; return ts.call(this); };
  const d = Object.getOwnPropertyDescriptor(proto, "outputLatency");
  if (d && d.get) Object.defineProperty(proto, "outputLatency", {
    configurable: true, get() {
      window.__blocking.outputLatency++;
      window.__outputLatencyAt.push(performance.timeOrigin + performance.now());
      return d.get.call(this);
    }});
})();"""


def test_stream_timing_never_asks_the_output_for_its_clock(stream_page, wa, events):
    """Start and end times come from the context clock: no getOutputTimestamp(), outputLatency never while playing."""
    page = stream_page
    page.page.add_init_script(COUNT_BLOCKING_CALLS)
    p = wa.web_audio(onended=events.callback("ended"))
    p.on_stream_start(events.callback("start"))
    page.open().player(p.id)
    rate = 16000
    speak(p, tone(0.6, rate), rate, 1)
    _, _, started = events.wait("start")
    events.wait("ended")
    st = page.stats(p.id)
    assert page.page.evaluate("() => window.__blocking.getOutputTimestamp") == 0
    reads = page.page.evaluate("() => window.__outputLatencyAt")
    assert reads, "the output latency is read while idle"
    assert not [t for t in reads if st["lastStartEpochMs"] - 50 <= t <= st["lastSampleAt"]], (reads, st)
    # still meaningful: the first sample is heard after the first frame came, and the last after the first
    assert 0 <= started["latencyMs"] < 2000
    assert st["lastSampleAt"] - st["lastStartEpochMs"] == pytest.approx(600, abs=60)
