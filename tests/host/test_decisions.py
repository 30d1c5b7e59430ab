"""Access decisions and the stream target rule as tables of pure cases: no server, no sockets."""

from __future__ import annotations

import ssl

import pytest
from aiohttp.test_utils import make_mocked_request

from vt_core.access import Access
from vt_core.routes import policy_for
from vt_core.stream_state import PushStreamState

SECRET, PORT = "a-secret-token", 8765
PEERS = {"": ("local", 1000), "other-user": ("local", 1001), "lan": ("remote", "192.0.2.7")}
NAV = {"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "navigate", "Sec-Fetch-Dest": "document"}
EMBED = {"Sec-Fetch-Site": "same-site", "Sec-Fetch-Mode": "no-cors", "Sec-Fetch-Dest": "audio"}
OWN = f"http://localhost:{PORT}"


def decide(request_line, credential="", headers=()):
    """The refusal of one request, None when admitted; ``credential`` is ``how[@peer presenting it]``."""
    how, _, peer = credential.partition("@")
    access = Access(SECRET, ["proxy.example"], ["https://app.example"], peer_of=lambda _request: PEERS[peer])
    access.bind("127.0.0.1", PORT)
    method, path = request_line.split()
    sent = {"Host": f"127.0.0.1:{PORT}", **headers}
    if how == "token":
        path += f"?token={SECRET}"
    elif how == "bearer":
        sent["Authorization"] = f"Bearer {SECRET}"
    elif how:  # a session opened by the first peer: cookie, tls-cookie, revoked, wrong+cookie
        sent["Cookie"] = f"{access.sessions.cookie_name(how == 'tls-cookie')}={access.sessions.open(PEERS[''])}"
        path += "?token=wrong-secret" if how == "wrong+cookie" else ""
        if how == "revoked":
            access.revoke_sessions()
    request = make_mocked_request(method, path, headers=sent, sslcontext=ssl.create_default_context() if "tls" in how else None)
    refused = access.refusal(request, policy_for(request.path))
    return None if refused is None else f"{refused.reason}: {refused.text}"


@pytest.mark.parametrize("request_line, credential, headers, refused", [
    # the secret, and sessions (a wrong secret is not saved by a good cookie)
    ("GET /", "", {}, "no secret"), ("GET /", "token", {}, None), ("GET /vt/static/app.js", "bearer", {}, None),
    ("GET /vt/static/app.js", "", {}, "no secret"), ("GET /vt/nothing", "", {}, "no secret"),
    ("GET /", "wrong+cookie", {}, "wrong secret"), ("GET /", "cookie", {}, None), ("GET /", "tls-cookie", {}, None),
    ("GET /", "revoked", {}, "or revoked"), ("GET /", "cookie@other-user", {}, "open for this peer"),
    ("GET /", "cookie@lan", {}, "open for this peer"),
    # a session opens an acting route only with the page's word for it
    ("GET /vt/ws", "cookie", {}, "cookie alone"), ("GET /vt/audio/beep", "cookie", {}, "cookie alone"),
    ("GET /vt/audio/beep", "cookie", {"X-VT-Page": "1"}, None), ("GET /vt/ws", "token", {}, None),
    ("GET /vt/ws", "cookie", {"Sec-Fetch-Site": "same-origin"}, None), ("GET /vt/ws", "cookie", {"Origin": OWN}, None),
    # provenance
    ("GET /vt/ws", "token", {"Origin": "http://evil.test"}, "origin 'http://evil.test'"),
    ("POST /vt/audio/beep", "token", {"Origin": "null"}, "origin 'null'"),  # and another port, another scheme:
    *[("GET /vt/ws", "token", {"Origin": o}, "may not use") for o in (f"http://localhost:{PORT + 1}", "https" + OWN[4:])],
    ("POST /vt/audio/beep", "token", {"Origin": "https://app.example", "Sec-Fetch-Site": "cross-site"}, None),
    ("POST /vt/audio/beep", "token", {"Origin": "https://proxy.example"}, None),  # an added host name ...
    ("POST /vt/audio/beep", "token", {"Origin": "https://proxy.example", "Sec-Fetch-Site": "cross-site"},
     "another site"),  # ... is not an origin that may act from another site
    ("GET /", "token", NAV, None), ("POST /", "token", NAV, "another site"),  # a link followed from elsewhere
    ("GET /", "token", EMBED, "another origin"),  # framed or embedded by another port of this host
    ("GET /vt/ws", "token", NAV, "another site"), ("GET /vt/nothing", "token", NAV, "another site"),
    # registered files: the URL is the capability
    ("GET /vt/files/tok/a.wav", "@lan", {}, None), ("GET /vt/files/", "", {}, None),  # (the handler says 404)
    ("GET /vt/files/tok/a.wav", "", NAV, None), ("GET /vt/files/t/a.wav", "", {"Origin": "null"}, "'null'"),
    ("GET /vt/files/tok/a.wav", "", {**EMBED, "Sec-Fetch-Site": "cross-site"}, "another site"),
    # every route wants a name of this server (a rebinding page sends its own)
    *[(line, "token", {"Host": host}, None if ok else "is not a name") for line in ("GET /", "GET /vt/files/t/a") for host, ok
      in ((f"localhost:{PORT}", 1), (f"[::1]:{PORT}", 1), ("proxy.example:443", 1), ("localhost:1", 0), ("evil.test", 0),
          (f"evil.test:{PORT}", 0), ("[::1", 0), (f"192.0.2.1:{PORT}", 0), ("", 0))],  # (192.0.2.1: we listen on loopback)
])
def test_access_decisions(request_line, credential, headers, refused):
    got = decide(request_line, credential, headers)
    assert got is None if refused is None else got is not None and got.startswith("Forbidden") and refused in got, got


def test_the_stream_target_follows_the_bus():
    """The last stream command's player, else the newest player (the end-to-end tests show the rest)."""
    state = PushStreamState([("c1", "web_audio", {}), ("c2", "toggle", {})])
    start_c9 = ("message", "call_method", {"cid": "c9", "action": "start_stream", "url": "u"})
    for message, target, moved in [
        (("add", "c3", "toggle", {}), "c1", False), (start_c9, "c1", False),  # no player: still the newest one
        (("add", "c9", "web_audio", {}), "c9", True), (("remove", "c9"), "c1", True),  # ... until it is one
        (("binary", b"\0\0"), "c1", False), (("remove", "c1"), None, True),
    ]:
        assert (state.observe(message), state.target) == (moved, target), message
