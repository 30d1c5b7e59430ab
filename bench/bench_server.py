"""The embedded host's web server under abuse and load: three figures.

1. **Event flood.**  A callback that sleeps 5 s; one client (a raw socket in a
   child process) sends 3,000 events of 32 KiB.  Reported: the server
   process's RSS growth while the flood is queued, and the events queued /
   dropped.
2. **Abandoned slow streams.**  A generator that yields every 4 s; 40 clients
   ask for it (GET and POST alternately) and go away at once.  Reported: the time
   a fast endpoint takes beside them, as a ratio to its time on an idle server.
3. **Event-loop lag.**  Two CPU-bound Python threads in the host process, a
   thread pushing 48 kHz stereo int16 in 10 ms chunks at real-time pace, one
   browser (a child process reading the WebSocket).  A probe on the server's
   loop sleeps 10 ms at a time; its lateness is the lag.  Reported: p50,
   p99 and max, beside the same run with nothing pushed (the lag the busy
   threads alone cause), and the loop's turns per second (each turn waits
   for the interpreter lock once more).  Goal: p99 < 100 ms.  The machine's other load
   shows in every figure: the load average is printed with them.

    PYTHONPATH=python .venv/bin/python bench/bench_server.py [--seconds 10]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import socket
import statistics
import subprocess
import sys
import threading
import time

LAG_GOAL_MS = 100.0

# A child process that plays a browser: opens the WebSocket and either reads
# everything (argv[4] == "read") or sends N events of S bytes and waits.
_CLIENT = r"""
import base64, os, socket, sys, json
port, token, cid, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
sock = socket.create_connection(("127.0.0.1", port))
key = base64.b64encode(os.urandom(16)).decode()
target = "/vt/ws" + (f"?token={token}" if token else "")
sock.sendall((f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
              f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
if mode == "read":
    while sock.recv(1 << 20):
        pass
else:
    count, size = int(sys.argv[5]), int(sys.argv[6])
    payload = json.dumps({"type": "event", "id": cid, "event": "flood", "payload": {"pad": "x" * size}}).encode()
    n = len(payload)
    head = bytes([0x81, 0x80 | 127]) + n.to_bytes(8, "big") if n >= 65536 else bytes([0x81, 0x80 | 126]) + n.to_bytes(2, "big")
    frame = head + b"\0\0\0\0" + payload
    for _ in range(count):
        sock.sendall(frame)
    print("sent", flush=True)
    sys.stdin.read()
"""


def _rss_mib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS")


def _client(srv, cid: str, mode: str, *args) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", _CLIENT, str(srv.port), getattr(srv, "token", ""), cid, mode,
                             *map(str, args)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def event_flood(count: int = 3000, size: int = 32 * 1024) -> dict:
    from vt_core import server
    from vt_core.manager import getcm

    calls = []
    cid = getcm().add_component("toggle", {}, {"flood": lambda payload: (calls.append(1), time.sleep(5))})
    with server.start() as srv:
        before = _rss_mib()
        child = _client(srv, cid, "flood", count, size)
        child.stdout.readline()  # all sent
        time.sleep(0.5)
        after = _rss_mib()
        queued = getattr(srv, "pending_events", None)
        dropped = getattr(srv, "dropped_events", None)
        child.stdin.close()
        child.wait()
    getcm().remove_component(cid)
    return {"rss_before_mib": round(before, 1), "rss_growth_mib": round(after - before, 1),
            "queued": queued, "dropped": dropped}


def _http_time(port: int, target: str, token: str) -> float:
    started = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port)) as sock:
        auth = f"Authorization: token {token}\r\n" if token else ""
        sock.sendall(f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{auth}Connection: close\r\n\r\n".encode())
        while sock.recv(65536):
            pass
    return time.perf_counter() - started


def abandoned_streams(clients: int = 40, rounds: int = 5) -> dict:
    from vt_core import server

    started = []

    def slow(params):
        started.append(1)
        while True:
            time.sleep(4)
            yield b"\0\0" * 512

    server.register_audio("slow", slow)
    server.register_audio("fast", lambda params: iter([b"\1\0" * 512]), wav_header=False)
    try:
        with server.start() as srv:
            token = getattr(srv, "token", "")
            idle = statistics.median(_http_time(srv.port, "/vt/audio/fast", token) for _ in range(rounds))
            for i in range(clients):  # ask and go away at once
                with socket.create_connection(("127.0.0.1", srv.port)) as sock:
                    body = b"{}" if i % 2 else b""
                    sock.sendall(f"{'POST' if i % 2 else 'GET'} /vt/audio/slow?token={token} HTTP/1.1\r\n"
                                 f"Host: 127.0.0.1:{srv.port}\r\nContent-Type: application/json\r\n"
                                 f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
            time.sleep(0.5)  # the server has taken them in
            busy = _http_time(srv.port, "/vt/audio/fast", token)  # the first request after them
    finally:
        server.unregister_audio("slow")
        server.unregister_audio("fast")
    return {"idle_ms": round(idle * 1000, 2), "beside_slow_ms": round(busy * 1000, 2),
            "ratio": round(busy / idle, 2), "generators_started": len(started)}


def loop_lag(seconds: float = 10.0, spinners: int = 2, push_audio: bool = True) -> dict:
    import vt_core
    from vt_core import server

    stop = threading.Event()

    def spin():
        n = 0
        while not stop.is_set():
            n += 1

    def push():
        chunk = bytes(480 * 4)  # 10 ms of 48 kHz stereo int16
        vt_core.send_message("audio_metadata", {"sample_rate": 48000, "channels": 2})
        start = time.perf_counter()
        i = 0
        while not stop.is_set():
            vt_core.send_binary_message(chunk)
            i += 1
            delay = start + i * 0.01 - time.perf_counter()
            if delay > 0:
                time.sleep(delay)

    lags: list[float] = []

    async def probe():
        while not stop.is_set():
            t = time.perf_counter()
            await asyncio.sleep(0.01)
            lags.append(time.perf_counter() - t - 0.01)

    with server.start() as srv:
        child = _client(srv, "-", "read")
        while srv.client_count < 1:
            time.sleep(0.01)
        threads = [threading.Thread(target=spin, daemon=True) for _ in range(spinners)]
        if push_audio:
            threads.append(threading.Thread(target=push, daemon=True))
        for t in threads:
            t.start()
        selector = srv._loop._selector  # count the loop's turns: each one lets the busy threads in
        turns = [0]
        select = selector.select

        def counted_select(timeout=None):
            turns[0] += 1
            return select(timeout)

        selector.select = counted_select
        future = asyncio.run_coroutine_threadsafe(probe(), srv._loop)
        time.sleep(seconds)
        stop.set()
        future.result(30)
        for t in threads:
            t.join()
        child.kill()
        child.wait()
    lags.sort()
    ms = [x * 1000 for x in lags]
    return {"loop_turns_per_s": round(turns[0] / seconds), "samples": len(ms), "p50_ms": round(ms[len(ms) // 2], 1), "p99_ms": round(ms[int(len(ms) * 0.99)], 1),
            "max_ms": round(ms[-1], 1)}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0, help="length of the event-loop lag run")
    args = parser.parse_args(argv)
    flood = event_flood()
    print("event flood (3000 x 32 KiB, callback sleeping 5 s):", json.dumps(flood), flush=True)
    streams = abandoned_streams()
    print("fast endpoint beside 40 abandoned slow streams:", json.dumps(streams), flush=True)
    quiet = loop_lag(args.seconds, push_audio=False)
    print("event-loop lag, 2 spinning threads, nothing pushed:", json.dumps(quiet), flush=True)
    lag = loop_lag(args.seconds)
    print("event-loop lag, 2 spinning threads + 48 kHz stereo push:", json.dumps(lag), flush=True)
    ok = lag["p99_ms"] < LAG_GOAL_MS
    print(f"loop-lag p99 {lag['p99_ms']} ms ({lag['p99_ms'] / max(quiet['p99_ms'], 0.1):.2f} x the p99 with nothing "
          f"pushed); goal < {LAG_GOAL_MS:.0f} ms: {'met' if ok else 'NOT MET'} (load average {_load()})")
    return 0


def _load() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


if __name__ == "__main__":
    sys.exit(main())
