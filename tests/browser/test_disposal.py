"""A removed player costs nothing: 300 players created and removed leave the page
as it was (DOM nodes, listeners, audio nodes), measured through the DevTools
protocol. The renderer's idle CPU before and after is printed (a figure, not
an assertion: timing goals live in bench/)."""

from __future__ import annotations

import time

import pytest

import vt_core

from .probes import sine, write_wav

pytestmark = pytest.mark.browser

FILE_PLAYERS = 150
PUSH_PLAYERS = 150


class Census:
    """Counts of one page through CDP: DOM nodes, JS listeners, live audio nodes by type."""

    def __init__(self, page, browser) -> None:
        self.page = page
        self.cdp = page.context.new_cdp_session(page)
        self.browser_cdp = browser.new_browser_cdp_session()
        self.audio_nodes: dict[str, str] = {}  # node id -> type, while alive
        self.cdp.on("WebAudio.audioNodeCreated", lambda e: self.audio_nodes.__setitem__(e["node"]["nodeId"], e["node"]["nodeType"]))
        self.cdp.on("WebAudio.audioNodeWillBeDestroyed", lambda e: self.audio_nodes.pop(e["nodeId"], None))
        self.cdp.send("WebAudio.enable")

    def settle(self) -> None:
        for _ in range(3):
            self.cdp.send("HeapProfiler.collectGarbage")
            self.page.wait_for_timeout(300)

    def counts(self) -> dict:
        self.settle()
        dom = self.cdp.send("Memory.getDOMCounters")
        kinds: dict[str, int] = {}
        for kind in self.audio_nodes.values():
            kinds[kind] = kinds.get(kind, 0) + 1
        return {"nodes": dom["nodes"], "listeners": dom["jsEventListeners"], "audioNodes": len(self.audio_nodes), "kinds": kinds}

    def idle_cpu(self, seconds: float = 1.0) -> float:
        """Share of one core the page's renderer used over an idle window."""

        def renderer_cpu() -> float:
            info = self.browser_cdp.send("SystemInfo.getProcessInfo")["processInfo"]
            return sum(p["cpuTime"] for p in info if p["type"] == "renderer")

        t0, c0 = time.monotonic(), renderer_cpu()
        time.sleep(seconds)
        return (renderer_cpu() - c0) / (time.monotonic() - t0)


def run_players(page, wa, census: Census, path: str, burst: bytes) -> float:
    """Create FILE_PLAYERS file and PUSH_PLAYERS push players, make them work, remove them all; returns the
    renderer's CPU over the second that follows (Census.idle_cpu)."""
    players = [wa.web_audio(src=path, show_wave=i % 2 == 0, minimal=i % 3 == 0, label=f"file {i}") for i in range(FILE_PLAYERS)]
    players += [wa.web_audio(show_wave=True, label=f"push {i}") for i in range(PUSH_PLAYERS)]
    page.player(players[-1].id, timeout=30_000)
    for p in players[FILE_PLAYERS:]:  # each push player gets a stream of its own
        p.close_stream()
        p.send_audio_metadata(24000, 1)
        p.stream_binary(burst)
    for p in players[: FILE_PLAYERS // 10]:
        p.play()
    page.wait_stats(players[-1].id, lambda s: s["framesPlayed"] > 0, timeout=30)
    manager = vt_core.getcm()
    for p in players:
        manager.remove_component(p.id)
    page.page.wait_for_function("() => Object.keys(window.vtPlayers).length === 0", timeout=30_000)
    return census.idle_cpu()  # (and the page finishes what removing them left to do)


def test_300_removed_players_leave_nothing_behind(browser, open_page, wa, tmp_path):
    path = tmp_path / "short.wav"
    write_wav(path, 0.5)
    burst = sine(440, 0.2, 24000, channels=1).tobytes()
    page = open_page().open()
    census = Census(page.page, browser)
    cpu_before = census.idle_cpu()  # (the page settles meanwhile)
    before = census.counts()
    cpu_first = run_players(page, wa, census, str(path), burst)
    first = census.counts()
    cpu_second = run_players(page, wa, census, str(path), burst)
    second = census.counts()

    def show(key):
        return f"{before[key]} -> {first[key]} -> {second[key]}"

    print(
        f"\ntwice {FILE_PLAYERS} file + {PUSH_PLAYERS} push players created and removed: "
        f"DOM nodes {show('nodes')}, listeners {show('listeners')}, audio nodes {show('audioNodes')} "
        f"(left: {second['kinds']}), renderer CPU at rest {cpu_before:.1%} -> {cpu_first:.1%} -> {cpu_second:.1%} of a core"
    )
    # what the browser never frees waits for the next players: a second round adds nothing
    left = dict(first["kinds"])
    spare = left.pop("MediaElementAudioSource", 0)
    taps = left.pop("Analyser", 0)  # each waiting pair keeps its tap (a player's own analyser would be one more)
    assert spare <= FILE_PLAYERS + 1 and taps <= spare and not left, first["kinds"]  # and the routing probe's
    assert first["nodes"] <= before["nodes"] + 2 * spare + 10, (before, first)  # an <audio> and its shadow root
    assert first["listeners"] <= before["listeners"] + 5, (before, first)
    assert second["kinds"] == first["kinds"], (first, second)
    assert second["nodes"] <= first["nodes"] + 10 and second["listeners"] <= first["listeners"] + 5, (first, second)
    assert not page.errors, page.errors
