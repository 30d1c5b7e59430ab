"""Throughput of the handle's stream_from_url against a bare `requests` read loop.

A local HTTP server (127.0.0.1, a thread of this process) serves one body from memory
with a Content-Length header.  Both sides read it with iter_content(4096):

* bare:  ``for chunk in requests.get(url, stream=True, timeout=300).iter_content(4096): pass``;
* relay with the module's send_binary_message patched to a no-op (the relay's own cost);
* relay with the real host and no bus subscribers (adds the host's publish per frame).

They run in turn in the same process, several rounds, the first of each round rotating;
the figure is the median over rounds of relay time / bare time.  Goal: relay time / bare time <= 1.10.

    PYTHONPATH=python .venv/bin/python bench/bench_relay.py [--mb 100] [--rounds 21]
"""

from __future__ import annotations

import argparse
import statistics
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import requests

GOAL = 1.10


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):  # noqa: N802 - http.server's name
        body = self.server.body
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(memoryview(body))

    def log_message(self, *args):
        pass


def _serve(body: bytes) -> tuple[ThreadingHTTPServer, str]:
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    server.daemon_threads = True
    server.body = body
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/audio"


def run(mb: int = 100, rounds: int = 21) -> dict:
    import vt_core
    from vt_core.bus import bus

    import veltrane.vt_ui.web_audio as wa

    if bus.subscriber_count:
        raise RuntimeError("the bus has subscribers; run this benchmark on its own")
    body = bytes(range(256)) * (mb * 1_000_000 // 256)
    server, url = _serve(body)
    player = wa.web_audio()
    host_send = wa.send_binary_message
    received = 0

    def count(n):
        nonlocal received
        received = n

    def relay_host():
        player.stream_from_url(url)

    def relay_noop():
        wa.send_binary_message = _noop
        try:
            player.stream_from_url(url)
        finally:
            wa.send_binary_message = host_send

    def bare():
        for _chunk in requests.get(url, stream=True, timeout=300).iter_content(4096):
            pass

    variants = {"bare": bare, "relay_host": relay_host, "relay_noop": relay_noop}
    times: dict[str, list[float]] = {name: [] for name in variants}
    try:
        # Warm-up, and a check that the relay really reads the whole body.
        player.stream_from_url(url, push_to_frontend=False, progress_callback=count)
        if received != len(body):
            raise RuntimeError(f"relay read {received} of {len(body)} bytes")
        bare()
        names = list(variants)
        for i in range(rounds):
            for name in names[i % 3 :] + names[: i % 3]:  # rotate who goes first
                t0 = time.perf_counter()
                variants[name]()
                times[name].append(time.perf_counter() - t0)
    finally:
        wa.send_binary_message = host_send
        vt_core.getcm().remove_component(player.id)
        server.shutdown()
        server.server_close()

    median = {name: statistics.median(ts) for name, ts in times.items()}
    best = {name: min(ts) for name, ts in times.items()}
    size_mb = len(body) / 1e6

    def round_ratio(name):
        # Median over rounds of relay time / bare time of the same round: a slow spell of
        # the machine that spans a round slows both sides and cancels out.
        return statistics.median(r / b for r, b in zip(times[name], times["bare"]))

    return {
        "mb": size_mb,
        "rounds": rounds,
        "mb_s": {name: size_mb / t for name, t in median.items()},
        "ratio_noop": round_ratio("relay_noop"),
        "ratio_host": round_ratio("relay_host"),
        # from the fastest round of each side: how far the noise moved the figure
        "best_ratio_noop": best["relay_noop"] / best["bare"],
        "best_ratio_host": best["relay_host"] / best["bare"],
    }


def _noop(data):
    pass


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=100, help="body size in MB (default 100)")
    parser.add_argument("--rounds", type=int, default=21, help="alternating rounds (default 21)")
    args = parser.parse_args(argv)
    r = run(args.mb, args.rounds)

    def verdict(ratio):
        return "ok" if ratio <= GOAL else "OVER GOAL"

    print(f"stream_from_url relay, {r['mb']:.0f} MB body, {r['rounds']} alternating rounds (MB/s of the median round)")
    print(f"  bare requests iter_content(4096)         {r['mb_s']['bare']:7.1f} MB/s")
    print(f"  relay, send_binary_message a no-op       {r['mb_s']['relay_noop']:7.1f} MB/s")
    print(f"  relay, host with no subscribers          {r['mb_s']['relay_host']:7.1f} MB/s")
    print(f"  ratio relay/bare, no-op send             {r['ratio_noop']:7.3f}  "
          f"(goal <= {GOAL:.2f}: {verdict(r['ratio_noop'])}; best rounds {r['best_ratio_noop']:.3f})")
    print(f"  ratio relay/bare, host                   {r['ratio_host']:7.3f}  "
          f"(goal <= {GOAL:.2f}: {verdict(r['ratio_host'])}; best rounds {r['best_ratio_host']:.3f})")
    return r


if __name__ == "__main__":
    main()
