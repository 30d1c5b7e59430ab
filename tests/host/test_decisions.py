"""Access decisions and the stream target rule as tables of pure cases: no server, no sockets."""

from __future__ import annotations

import ssl
from unittest import mock

import pytest
from aiohttp.test_utils import make_mocked_request

from vt_core.access import Access
from vt_core.hub import _on_text
from vt_core.peers import PeerIdentities
from vt_core.routes import policy_for
from vt_core.stream_state import PushStreamState

SECRET, PORT = "a-secret-token", 8765
PEERS = {"": ("local", 1000), "other-user": ("local", 1001), "lan": ("remote", "192.0.2.7"), "closed": None}
NAV = {"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "navigate", "Sec-Fetch-Dest": "document"}
EMBED = {"Sec-Fetch-Site": "same-site", "Sec-Fetch-Mode": "no-cors", "Sec-Fetch-Dest": "audio"}
OWN, LH = f"http://127.0.0.1:{PORT}", f"localhost:{PORT}"
PROXIED = {"Host": "proxy.example", "X-Forwarded-Proto": "https"}  # as the proxy passes a browser's request on


def decide(request_line, credential="", headers=()):
    """The refusal of one request, None when admitted; ``credential`` is ``how[@peer presenting it]``.

    A ``bind`` header names the bound host instead of 127.0.0.1.
    """
    how, _, peer = credential.partition("@")
    access = Access(SECRET, ["proxy.example"], ["https://app.example"], peer_of=lambda _request: PEERS[peer])
    headers = dict(headers)
    access.bind(headers.pop("bind", "127.0.0.1"), PORT)
    method, path = request_line.split()
    sent = {"Host": f"127.0.0.1:{PORT}", **headers}
    if how == "token":
        path += f"?token={SECRET}"
    elif how == "bearer":
        sent["Authorization"] = f"Bearer {SECRET}"
    elif how:  # a session opened by the first peer: cookie, tls-cookie, revoked, wrong+cookie, tossed, given
        name, session = access.sessions.cookie_name(how == "tls-cookie"), access.sessions.open(PEERS[""])
        sent["Cookie"] = {"tossed": f"{name}={session}; {name}=junk.junk", "given": f"{name}=junk.junk"}.get(
            how, f"{name}={session}")  # (given: the page hands its session back in the query)
        path += {"wrong+cookie": "?token=wrong-secret", "given": f"?session={session}"}.get(how, "")
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
    ("GET /", "cookie@lan", {}, "open for this peer"), ("GET /", "cookie@closed", {}, "cannot be told"),
    ("GET /", "tossed", {}, None), ("GET /", "given", {}, None), ("GET /", "given@other-user", {}, "for this peer"),
    ("GET /vt/session", "cookie", {}, "cookie alone"), ("GET /vt/session", "cookie", {"X-VT-Page": "1"}, None),
    # a session opens an acting route only with the page's word for it
    ("GET /vt/ws", "cookie", {}, "cookie alone"), ("GET /vt/audio/beep", "cookie", {}, "cookie alone"),
    ("GET /vt/audio/beep", "cookie", {"X-VT-Page": "1"}, None), ("GET /vt/ws", "token", {}, None),
    ("GET /vt/ws", "cookie", {"Sec-Fetch-Site": "same-origin"}, None), ("GET /vt/ws", "cookie", {"Origin": OWN}, None),
    # provenance
    ("GET /vt/ws", "token", {"Origin": "http://evil.test"}, "origin 'http://evil.test'"),
    ("POST /vt/audio/beep", "token", {"Origin": "null"}, "origin 'null'"),  # and another port, another scheme:
    *[("GET /vt/ws", "token", {"Origin": o}, "may not use") for o in (f"http://localhost:{PORT + 1}", "https" + OWN[4:])],
    ("POST /vt/audio/beep", "token", {"Origin": "https://app.example", "Sec-Fetch-Site": "cross-site"}, None),
    # an allowed name's page is the origin the request names (scheme and port included), as the proxy passes it on
    ("POST /vt/audio/beep", "token", {**PROXIED, "Origin": "https://proxy.example"}, None),
    ("POST /vt/audio/beep", "token", {**PROXIED, "Origin": "https://proxy.example", "Sec-Fetch-Site": "cross-site"},
     "another site"),  # ... is not an origin that may act from another site
    *[("GET /vt/ws", "token", {"Host": h, "Origin": o, **xfp}, None if ok else "may not use") for h, o, xfp, ok in (
        ("proxy.example:8765", "http://proxy.example:18082", {}, 0), ("proxy.example", "https://proxy.example", {}, 0),
        ("proxy.example", "http://proxy.example", PROXIED, 0), (f"127.0.0.1:{PORT}", "https://proxy.example", {}, 0),
        (f"proxy.example:{PORT}", f"http://proxy.example:{PORT}", {}, 1), (f"127.0.0.1:{PORT}", OWN[:7] + LH, {}, 0),
        (LH, OWN[:7] + LH, {"bind": "localhost"}, 1))],
    # localhost is a name of the server only when it holds both loopback addresses (else [::1] may be another's)
    *[("GET /", "token", {"Host": f"{name}:{PORT}"}, f"open {OWN}/") for name in ("localhost", "[::1]")],
    *[("GET /vt/files/t/a", "", {"Origin": o}, "may not use") for o in ("http://[::1", "http://[", "http://x]:1")],
    ("GET /", "token", NAV, None), ("POST /", "token", NAV, "another site"),  # a link followed from elsewhere
    ("GET /", "token", EMBED, "another origin"),  # framed or embedded by another port of this host
    ("GET /vt/ws", "token", NAV, "another site"), ("GET /vt/nothing", "token", NAV, "another site"),
    # registered files: the URL is the capability
    ("GET /vt/files/tok/a.wav", "@lan", {}, None), ("GET /vt/files/", "", {}, None),  # (the handler says 404)
    ("GET /vt/files/tok/a.wav", "", NAV, None), ("GET /vt/files/t/a.wav", "", {"Origin": "null"}, "'null'"),
    ("GET /vt/files/tok/a.wav", "", {**EMBED, "Sec-Fetch-Site": "cross-site"}, "another site"),
    # what reveals nothing is anyone's: the icon, the script that lets a page back in
    *[(line, "", {**EMBED, "Sec-Fetch-Site": "cross-site"}, None) for line in ("GET /favicon.ico", "GET /vt/public/recover.js")],
    # every route wants a name of this server (a rebinding page sends its own)
    *[(line, "token", {"Host": host}, None if ok else "is not a name") for line in ("GET /", "GET /vt/files/t/a") for host, ok
      in ((f"127.0.0.1:{PORT}", 1), ("proxy.example:443", 1), ("localhost:1", 0), ("evil.test", 0),
          (f"evil.test:{PORT}", 0), ("[::1", 0), (f"192.0.2.1:{PORT}", 0), ("", 0))],  # (192.0.2.1: we listen on loopback)
])
def test_access_decisions(request_line, credential, headers, refused):
    got = decide(request_line, credential, headers)
    assert got is None if refused is None else got is not None and got.startswith("Forbidden") and refused in got, got


@pytest.mark.parametrize("value, taken", [
    *[(v, False) for v in ("NaN", "-Infinity", "1e999", '"\\ud800"', '{"\\udfff": 1}', '["ok\\ud83d"]')],
    ('"\\ud83d\\ude00"', True), ("[1.5e300]", True),  # a surrogate pair is one character; a large float a float
])
def test_events_are_strict_json(value, taken):
    """What a page sends on its socket is taken as strictly as a POST body."""
    page = mock.Mock()
    _on_text(page, f'{{"type": "event", "id": "c1", "event": "web-audio-play", "payload": {{"v": {value}}}}}')
    assert page.events.put.called is taken


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


VIA, XFF = ("via", ("local", 33)), "X-Forwarded-For"  # a client the proxy (here a local user's) forwarded


@pytest.mark.parametrize("peer, headers, identity", [
    ("127.0.0.1", {}, ("local", 33)), ("127.0.0.1", {XFF: "10.0.0.2"}, (*VIA, "10.0.0.2")),  # the proxy's own; a client
    *[("127.0.0.1", h, (*VIA, "10.0.0.2")) for h in ({XFF: "6.6.6.6, 10.0.0.2"}, {XFF: "10.0.0.2,127.0.0.1"},
                                                     {"Forwarded": "for=6.6.6.6, For=10.0.0.2:80;by=x"})],
    ("127.0.0.1", {"Forwarded": 'for="[2001:db8::1]:4711";proto=https'}, (*VIA, "2001:db8::1")),
    ("192.0.2.9", {XFF: "10.0.0.2"}, ("remote", "192.0.2.9")),  # no proxy the user named
    *[("127.0.0.1", h, None) for h in ({XFF: "junk"}, {"Forwarded": "for=unknown"}, {"Forwarded": "by=x"},
                                       {XFF: "10.0.0.2", "Forwarded": "for=10.0.0.2"})],  # (which one?)
])
def test_forwarded_clients_are_known_only_through_named_proxies(peer, headers, identity):
    transport = mock.Mock()
    transport.get_extra_info.side_effect = {"peername": (peer, 40000)}.get
    ids = PeerIdentities(["127.0.0.0/8"], direct=lambda _t: ("local", 33) if peer == "127.0.0.1" else ("remote", peer))
    assert ids(make_mocked_request("GET", "/", headers=headers, transport=transport)) == identity
