"""Access decisions and the stream target rule as tables of pure cases: no server, no sockets.

Each access case is a request as a browser or a program sends it, to a path
(the route table gives its policy), and what the decision must be: admitted
(None) or refused, for a reason that names what was wrong.
"""

from __future__ import annotations

import ssl

import pytest
from aiohttp.test_utils import make_mocked_request

from vt_core.access import Access
from vt_core.routes import FILE_CSP, PAGE_CSP, policy_for
from vt_core.stream_state import PushStreamState

SECRET, PORT = "a-secret-token", 8765
OWN = f"http://127.0.0.1:{PORT}"
ME, OTHER_USER, LAN = ("local", 1000), ("local", 1001), ("remote", "192.0.2.7")
SAME_ORIGIN = {"Sec-Fetch-Site": "same-origin"}
NAVIGATION = {"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "navigate", "Sec-Fetch-Dest": "document"}
EMBEDDED = {"Sec-Fetch-Site": "same-site", "Sec-Fetch-Mode": "no-cors", "Sec-Fetch-Dest": "audio"}


def decide(path, credential=None, headers=(), method="GET", host=f"127.0.0.1:{PORT}", peer=ME, token=SECRET):
    """The decision on one request; ``credential``: how it presents itself (see the table)."""
    access = Access(token, ["proxy.example"], ["https://app.example"], peer_of=lambda _request: peer)
    access.bind("127.0.0.1", PORT)
    sent = {"Host": host, **dict(headers)}
    if credential == "token":
        path += ("&" if "?" in path else "?") + f"token={SECRET}"
    elif credential == "header":
        sent["Authorization"] = f"Bearer {SECRET}"
    elif credential == "wrong+cookie":
        path += "?token=wrong-secret"
        sent["Cookie"] = f"vt-session-{PORT}={access.sessions.open(ME)}"
    elif credential in ("cookie", "revoked", "tls-cookie"):
        secure = credential == "tls-cookie"
        sent["Cookie"] = f"{access.sessions.cookie_name(secure)}={access.sessions.open(ME)}"
        if credential == "revoked":
            access.revoke_sessions()
    request = make_mocked_request(method, path, headers=sent, sslcontext=ssl.create_default_context()
                                  if credential == "tls-cookie" else None)
    refused = access.refusal(request, policy_for(request.path))
    return None if refused is None else f"{refused.reason}: {refused.text}"


ADMITTED = None
CASES = [
    # the secret, and sessions
    ("/", None, {}, "GET", ME, "no secret"),
    ("/", "token", {}, "GET", ME, ADMITTED),
    ("/vt/static/app.js", "header", {}, "GET", ME, ADMITTED),
    ("/vt/static/app.js", None, {}, "GET", ME, "no secret"),
    ("/vt/nothing", None, {}, "GET", ME, "no secret"),  # a path no route names wants the secret
    ("/", "wrong+cookie", {}, "GET", ME, "wrong secret"),  # a wrong secret is not saved by a good cookie
    ("/", "cookie", {}, "GET", ME, ADMITTED),
    ("/", "cookie", {}, "GET", OTHER_USER, "open for this peer"),
    ("/", "cookie", {}, "GET", LAN, "open for this peer"),
    ("/", "revoked", {}, "GET", ME, "or revoked"),
    ("/", "tls-cookie", {}, "GET", ME, ADMITTED),
    # a session opens an acting route only with the page's word for it
    ("/vt/ws", "cookie", {}, "GET", ME, "cookie alone"),
    ("/vt/audio/beep", "cookie", {}, "GET", ME, "cookie alone"),
    ("/vt/audio/beep", "cookie", {"X-VT-Page": "1"}, "GET", ME, ADMITTED),
    ("/vt/ws", "cookie", SAME_ORIGIN, "GET", ME, ADMITTED),
    ("/vt/ws", "cookie", {"Origin": OWN}, "GET", ME, ADMITTED),
    ("/vt/ws", "token", {}, "GET", ME, ADMITTED),
    # provenance
    ("/vt/ws", "token", {"Origin": "http://evil.test"}, "GET", ME, "origin 'http://evil.test'"),
    ("/vt/audio/beep", "token", {"Origin": "null"}, "POST", ME, "origin 'null'"),
    ("/vt/audio/beep", "token", {"Origin": f"http://127.0.0.1:{PORT + 1}"}, "POST", ME, "may not use this server"),
    ("/vt/audio/beep", "token", {"Origin": "https://app.example", "Sec-Fetch-Site": "cross-site"}, "POST", ME,
     ADMITTED),
    ("/vt/audio/beep", "token", {"Origin": "https://proxy.example"}, "POST", ME, ADMITTED),
    ("/vt/audio/beep", "token", {"Origin": "https://proxy.example", "Sec-Fetch-Site": "cross-site"}, "POST", ME,
     "another site"),  # an added host name is not an origin that may act from another site
    ("/", "token", NAVIGATION, "GET", ME, ADMITTED),  # a link followed from another site
    ("/", "token", NAVIGATION, "POST", ME, "another site"),
    ("/", "token", EMBEDDED, "GET", ME, "another origin"),  # framed or embedded by another port of this host
    ("/vt/ws", "token", NAVIGATION, "GET", ME, "another site"),  # acting: never from another site
    # registered files: the URL is the capability
    ("/vt/files/tok/a.wav", None, {}, "GET", LAN, ADMITTED),
    ("/vt/files/", None, {}, "GET", ME, ADMITTED),  # (the handler answers 404)
    ("/vt/files/tok/a.wav", None, NAVIGATION, "GET", ME, ADMITTED),
    ("/vt/files/tok/a.wav", None, {**EMBEDDED, "Sec-Fetch-Site": "cross-site"}, "GET", ME, "another site"),
    ("/vt/files/tok/a.wav", None, {"Origin": "null"}, "GET", ME, "origin 'null'"),
]


@pytest.mark.parametrize("path, credential, headers, method, peer, expected", CASES)
def test_access_decisions(path, credential, headers, method, peer, expected):
    got = decide(path, credential, headers, method, peer=peer)
    if expected is None:
        assert got is None
    else:
        assert got is not None and expected in got and got.startswith("Forbidden"), got


@pytest.mark.parametrize("host, expected", [
    (f"127.0.0.1:{PORT}", ADMITTED), (f"localhost:{PORT}", ADMITTED), (f"[::1]:{PORT}", ADMITTED),
    ("localhost:1", "not a name of this server"), ("evil.test", "not a name"), (f"evil.test:{PORT}", "not a name"),
    ("proxy.example", ADMITTED), ("proxy.example:443", ADMITTED),  # an added name, on any port
    (f"192.0.2.1:{PORT}", "not a name"),  # an address, but the server is bound to loopback only
    ("[::1", "not a name"), ("", "not a name"),
])
def test_every_route_wants_a_name_of_this_server(host, expected):
    for path in ("/", "/vt/files/tok/a.wav"):
        got = decide(path, "token", host=host)
        assert got is None if expected is None else expected in got, (path, host, got)


def test_without_a_secret_only_host_and_provenance_are_checked():
    assert decide("/vt/ws", None, token="") is None
    assert decide("/vt/ws", None, {"Origin": "http://evil.test"}, token="") is not None
    assert decide("/", None, host="evil.test", token="") is not None


def test_route_policies_govern_their_prefix_and_carry_their_headers():
    for path, credential, acting, navigable in [
        ("/", "secret", False, True), ("/index.html", "secret", False, False),
        ("/vt/ws", "secret", True, False), ("/vt/ws/x", "secret", False, False),
        ("/vt/audio/a", "secret", True, False), ("/vt/audio/a/b", "secret", True, False),
        ("/vt/files/t/n", "capability", False, True), ("/vt/files/", "capability", False, True),
        ("/vt/static/app.js", "secret", False, False), ("/vt/filesx", "secret", False, False),
    ]:
        policy = policy_for(path)
        assert (policy.credential, policy.acting, policy.navigable) == (credential, acting, navigable), path
    assert dict(policy_for("/vt/files/t/n").headers) == {"Content-Security-Policy": FILE_CSP}
    assert policy_for("/").headers == () and "frame-ancestors 'self'" in PAGE_CSP


# --------------------------------------------------------------------------
# Where binary frames go: the one rule every page follows

P, T = "web_audio", "toggle"


def start(cid):
    return ("message", "call_method", {"cid": cid, "action": "start_stream", "url": "u"})


def command(cid, method):
    return ("message", "call_method", {"cid": cid, "method": method})


@pytest.mark.parametrize("snapshot, steps", [
    ([], [(("add", "c1", T, {}), None, False), (("add", "c2", P, {}), "c2", True)]),
    ([("c1", P, {}), ("c2", T, {})], [
        (("add", "c3", P, {}), "c3", True),  # the newest player, while no stream command named one
        (command("c1", "close_stream"), "c1", True),
        (("add", "c4", P, {}), "c1", False),  # a stream command's component stays the target
        (command("c4", "play"), "c1", False),  # a player command is not a stream command
        (start("c9"), "c4", True),  # a command for no player: the newest player
        (("add", "c9", P, {}), "c9", True),  # ... until it is one
        (("remove", "c9"), "c4", True),
        (("message", "audio_metadata", {"sample_rate": 8000, "channels": 1}), "c4", False),
        (command("c1", "close_stream"), "c1", True),
        (("remove", "c1"), "c4", True), (("remove", "c4"), "c3", True), (("remove", "c3"), None, True),
        (("binary", b"\0\0"), None, False),
    ]),
])
def test_the_stream_target_follows_the_bus(snapshot, steps):
    state = PushStreamState(snapshot)
    for message, target, moved in steps:
        assert (state.observe(message), state.target) == (moved, target), message
    assert state.metadata == ({"sample_rate": 8000, "channels": 1} if snapshot else None)
