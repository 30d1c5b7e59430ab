"""A second machine for the tests: a network namespace joined to this one by a
veth pair, with chromium running inside it.

    this machine (host side)              the other machine (namespace)
    <prefix>a  10.218.N.1/24  <-- veth -->  <prefix>b  10.218.N.2/24

The host binds 10.218.N.1 (or every address) and the browser in the namespace
opens it there: the page is then on another machine's address, as it is for a
user on the LAN (not a secure context over plain HTTP).  The link can be
slowed down (``tc ... tbf`` on the host side).  Creating namespaces needs root
(CI runs as root); elsewhere these tests skip and say why, and under CI
(CI=true) that is a failure.
"""

from __future__ import annotations

import json
import os
import queue
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import pytest


from browser.conftest import AUTOPLAY_ARG, CHROMIUM_ARGS  # noqa: E402

HERE = Path(__file__).resolve().parent
#: Names of this suite's namespaces and devices start with this (devices get at most 15 characters).
PREFIX = os.environ.get("VT_NET_PREFIX", "vt18n")
WAIT = 30.0


def unavailable(reason: str):
    if os.environ.get("CI") == "true":
        pytest.fail(f"cross-machine tests cannot run under CI: {reason}")
    pytest.skip(reason)


def _ip(*args: str, ns: "str | None" = None, check: bool = True) -> subprocess.CompletedProcess:
    cmd = (["ip", "netns", "exec", ns] if ns else []) + list(args)
    return subprocess.run(cmd, check=check, capture_output=True, text=True, timeout=30)


def _free_subnet() -> int:
    routes = subprocess.run(["ip", "-4", "route", "show", "table", "all"], capture_output=True, text=True).stdout
    for n in [os.getpid() % 200 + 20, *range(20, 250)]:
        if f"10.218.{n}." not in routes:
            return n
    raise RuntimeError("no free 10.218.N.0/24 subnet")


class OtherMachine:
    """A namespace with a veth link to this machine (see the module docstring)."""

    def __init__(self) -> None:
        tag = f"{os.getpid() % 100000}"
        self.ns = f"{PREFIX}{tag}"
        self.host_dev, self.peer_dev = f"{PREFIX}{tag}a", f"{PREFIX}{tag}b"
        n = _free_subnet()
        self.host_ip, self.peer_ip = f"10.218.{n}.1", f"10.218.{n}.2"
        self.shaped = False

    def create(self) -> "OtherMachine":
        self.destroy()  # leftovers of a killed run with this pid
        _ip("ip", "netns", "add", self.ns)
        try:
            _ip("ip", "link", "add", self.host_dev, "type", "veth", "peer", "name", self.peer_dev)
            _ip("ip", "link", "set", self.peer_dev, "netns", self.ns)
            # No IPv6 link-local addresses: their arrival a moment after the link
            # comes up is a network change to chromium, which fails the loads
            # going on (ERR_NETWORK_CHANGED).
            for dev, ns in ((self.host_dev, None), (self.peer_dev, self.ns)):
                _ip("ip", "link", "set", dev, "addrgenmode", "none", ns=ns)
            _ip("ip", "addr", "add", f"{self.host_ip}/24", "dev", self.host_dev)
            _ip("ip", "link", "set", self.host_dev, "up")
            _ip("ip", "addr", "add", f"{self.peer_ip}/24", "dev", self.peer_dev, ns=self.ns)
            _ip("ip", "link", "set", self.peer_dev, "up", ns=self.ns)
            _ip("ip", "link", "set", "lo", "up", ns=self.ns)
        except BaseException:
            self.destroy()
            raise
        return self

    def destroy(self) -> None:
        _ip("ip", "link", "del", self.host_dev, check=False)  # takes its peer with it
        _ip("ip", "netns", "del", self.ns, check=False)

    def shape(self, rate: str, burst: str = "32kb", latency: str = "2s") -> None:
        """Slow what this machine sends to the other one down to ``rate`` (e.g. "1mbit")."""
        _ip("tc", "qdisc", "replace", "dev", self.host_dev, "root", "tbf", "rate", rate, "burst", burst,
            "latency", latency)
        self.shaped = True

    def unshape(self) -> None:
        if self.shaped:
            _ip("tc", "qdisc", "del", "dev", self.host_dev, "root", check=False)
            self.shaped = False

    def set_link(self, state: str) -> None:
        """Take this machine's side of the link ``"down"`` or bring it ``"up"``."""
        _ip("ip", "link", "set", self.host_dev, state)

    def run(self, *cmd: str, **kw) -> subprocess.CompletedProcess:
        return subprocess.run(["ip", "netns", "exec", self.ns, *cmd], capture_output=True, text=True,
                              timeout=30, **kw)


@pytest.fixture(scope="session")
def other_machine():
    if sys.platform != "linux":
        unavailable("network namespaces are Linux only")
    if os.geteuid() != 0:
        unavailable("creating a network namespace needs root (CI runs these as root)")
    if shutil.which("ip") is None:
        unavailable("the ip command is missing (apt-get install iproute2)")
    probe = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True)
    if probe.returncode != 0:
        unavailable(f"ip netns does not work here: {probe.stderr.strip()}")
    machine = OtherMachine()
    try:
        machine.create()
    except subprocess.CalledProcessError as exc:
        machine.destroy()
        unavailable(f"could not make a namespace and veth pair: {exc.stderr.strip()}")
    try:
        yield machine
    finally:
        machine.destroy()


@pytest.fixture
def link(other_machine):
    """The other machine, its link restored to full speed after the test."""
    yield other_machine
    other_machine.unshape()


class RemotePage:
    """Chromium in the other machine on one URL, driven through remote_page.py; open() moves it to another."""

    def __init__(self, machine: OtherMachine, url: str, players: "list[str]", ignore_https_errors: bool) -> None:
        config = {"url": url, "players": players, "args": CHROMIUM_ARGS + [AUTOPLAY_ARG],
                  "ignore_https_errors": ignore_https_errors}
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", machine.ns, sys.executable, str(HERE / "remote_page.py"), json.dumps(config)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
        )
        self.lines: "queue.Queue[str]" = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self._ready(url)

    def open(self, url: str, players: "list[str]", ignore_https_errors: bool) -> "RemotePage":
        """A fresh page on url (a new context: nothing kept of the last one), in the same browser."""
        config = {"url": url, "players": players, "ignore_https_errors": ignore_https_errors}
        self.proc.stdin.write(json.dumps({"open": config}) + "\n")  # type: ignore[union-attr]
        return self._ready(url)

    def _ready(self, url: str) -> "RemotePage":
        if "error" in (info := self._reply()):
            raise AssertionError(f"the remote page did not open {url}: {info}")
        self.info = info
        return self

    def _read(self) -> None:
        for line in self.proc.stdout:  # type: ignore[union-attr]
            self.lines.put(line)
        self.lines.put("")

    def _reply(self, timeout: float = 60.0) -> dict:
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("the remote page did not answer") from None
        if not line:
            raise AssertionError(f"the remote page exited: {self.proc.stderr.read()[-3000:]}")  # type: ignore
        return json.loads(line)

    def evaluate(self, source: str, arg=None):
        self.proc.stdin.write(json.dumps({"eval": source, "arg": arg}) + "\n")  # type: ignore[union-attr]
        answer = self._reply()
        if "error" in answer:
            raise AssertionError(answer["error"])
        return answer["result"]

    def stats(self, cid: str) -> dict:
        return self.evaluate("cid => window.vtPlayers[cid].stats()", cid)

    def close_page(self) -> None:  # (the browser stays)
        self.proc.stdin.write('{"close": true}\n')  # type: ignore[union-attr]
        self._reply()

    def errors(self) -> "list[str]":
        self.proc.stdin.write('{"errors": true}\n')  # type: ignore[union-attr]
        return self._reply()["result"]

    def close(self) -> None:
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write('{"quit": true}\n')  # type: ignore[union-attr]
                self.proc.stdin.flush()  # type: ignore[union-attr]
                self.proc.wait(20)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


@pytest.fixture(scope="session")
def remote_browser(other_machine):
    """[the other machine's browser], started by the first page opened (each test's page is a new context of it)."""
    one: list[RemotePage] = []
    yield one
    for b in one:
        b.close()


@pytest.fixture
def remote_page(other_machine, remote_browser):
    """remote_page(url, players=[cid], ignore_https_errors=False): a page opened from the other machine."""

    def open_page(url: str, players: "list[str]" = (), ignore_https_errors: bool = False) -> RemotePage:
        if remote_browser and remote_browser[0].proc.poll() is None:
            return remote_browser[0].open(url, list(players), ignore_https_errors)
        remote_browser[:] = [RemotePage(other_machine, url, list(players), ignore_https_errors)]
        return remote_browser[0]

    try:
        from playwright.sync_api import sync_playwright  # noqa: F401
    except ImportError:
        unavailable("playwright for Python is not installed (pip install playwright)")
    if shutil.which("chromium") is None:
        unavailable("chromium is not installed (apt-get install chromium)")
    yield open_page
    if remote_browser and remote_browser[0].proc.poll() is None:
        remote_browser[0].close_page()
