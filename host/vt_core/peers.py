"""Who is on the other end of a connection: what a browser session is bound to.

A connection from another machine is known by its address.  One from this
machine (a loopback address, or the address the connection came in on) is
known by the local user owning the connecting socket, which the kernel tells
(Linux: sock_diag, else the ``/proc/net/tcp*`` tables), read only from a
live, established socket: one its owner has closed reads as root's, so an
owner that cannot be read that way leaves the peer unknown (``None``).  Where
the system tells no owners at all (not Linux), a local peer is
``("local", None)``.

Behind a reverse proxy the user names (``trusted_proxies``), the client is
the address the proxy says it forwarded, in ``X-Forwarded-For`` or
``Forwarded``: walked from the right, the first address that is not itself a
trusted proxy, as the well-known Python servers read it.  The identity then
holds the proxy's own too, so a local user sending forged headers straight
to the server is not the proxy.  A trusted proxy's request whose header
cannot be read, or that carries both headers (a proxy rewrites one and
passes the client's other on), leaves the client unknown.

Nothing here decides anything: ``vt_core.access`` seals sessions to these
identities and compares them.
"""

from __future__ import annotations

import ipaddress
import logging
import os
import re
import socket
import struct
import weakref
from typing import Any, Callable, Iterable, Optional

__all__ = ["Identity", "PeerIdentities", "forwarded_client", "identity_of", "socket_owner", "proxy_networks"]

#: ``("remote", address)``, ``("local", uid or None)``, ``("via", proxy identity, client address)``;
#: None when it cannot be told.
Identity = Optional[tuple]

log = logging.getLogger("vt_core.server")

#: Whether this system tells the owner of a socket at all.
_TELLS_OWNERS = hasattr(socket, "AF_NETLINK") or os.path.exists("/proc/net/tcp")


def proxy_networks(entries: Iterable[str]) -> "tuple[ipaddress.IPv4Network | ipaddress.IPv6Network, ...]":
    """``trusted_proxies`` as networks: addresses (``"127.0.0.1"``) or networks (``"10.0.0.0/8"``)."""
    if isinstance(entries, str):
        raise TypeError("trusted_proxies takes a list of addresses, not one str")
    found = []
    for entry in entries:
        try:
            found.append(ipaddress.ip_network(entry.strip(), strict=False))
        except (AttributeError, ValueError):
            raise ValueError(f"trusted_proxies entry {entry!r} is not an IP address or network") from None
    return tuple(found)


class PeerIdentities:
    """The identity of each request's peer (see the module docstring), looked up once per connection.

    ``trusted_proxies``: addresses or networks of the reverse proxies whose
    forwarded headers name the client.  Call from the event loop (the cache
    is not locked).
    """

    def __init__(self, trusted_proxies: Iterable[str] = (), direct: "Callable[[Any], Identity] | None" = None) -> None:
        self.proxies = proxy_networks(trusted_proxies)
        self._direct = direct or identity_of
        self._untrusted_said = False
        self._known: "weakref.WeakKeyDictionary[Any, Identity]" = weakref.WeakKeyDictionary()

    def __call__(self, request: Any) -> Identity:
        transport = request.transport
        if transport is None:
            return identity_of(None)
        if transport in self._known:
            found = self._known[transport]
        else:
            found = self._known[transport] = self._direct(transport)
        if found is None:
            return found
        peer = transport.get_extra_info("peername")
        if not isinstance(peer, tuple) or not self._trusted(_ip(str(peer[0]))):
            if not self._untrusted_said and ("X-Forwarded-For" in request.headers or "Forwarded" in request.headers):
                self._untrusted_said = True
                log.warning("requests come forwarded from %s, which is not in trusted_proxies: the sessions of "
                            "every client behind a proxy there are sealed to the proxy alone "
                            "(start(trusted_proxies=[...]) names it)", peer[0] if isinstance(peer, tuple) else peer)
            return found
        try:
            client = forwarded_client(request.headers, self._trusted)
        except ValueError:
            return None
        return found if client is None else ("via", found, client)

    def _trusted(self, ip: "ipaddress.IPv4Address | ipaddress.IPv6Address | None") -> bool:
        return ip is not None and any(ip in network for network in self.proxies)


_FORWARDED_FOR = re.compile(r'(?:^|;)\s*for\s*=\s*("[^"]*"|[^;,\s]*)', re.IGNORECASE)


def _forwarded_address(text: str) -> "ipaddress.IPv4Address | ipaddress.IPv6Address":
    """The address of one ``X-Forwarded-For`` entry or ``Forwarded`` ``for=`` value (a port may follow)."""
    text = text.strip().strip('"')
    if text.startswith("["):
        text = text[1 : text.find("]")]
    elif text.count(":") == 1:
        text = text.split(":", 1)[0]
    ip = _ip(text)
    if ip is None:
        raise ValueError(f"not an address: {text!r}")
    return ip


def forwarded_client(headers: Any, trusted: "Callable[[Any], bool]") -> "str | None":
    """The client address a trusted proxy's forwarded header names (None: the request has none).

    Raises ValueError for a header that names no address, or for both headers at once.
    """
    chain, legacy = headers.getall("Forwarded", []), headers.getall("X-Forwarded-For", [])
    if chain and legacy:
        raise ValueError("both Forwarded and X-Forwarded-For")
    if chain:
        entries = [_FORWARDED_FOR.search(element) for text in chain for element in text.split(",")]
        if not all(entries):
            raise ValueError("a Forwarded element without for=")
        hops = [_forwarded_address(m.group(1)) for m in entries if m]
    elif legacy:
        hops = [_forwarded_address(entry) for text in legacy for entry in text.split(",")]
    else:
        return None
    for ip in reversed(hops):
        if not trusted(ip):
            return str(ip)
    return str(hops[0])


def _ip(address: str) -> "ipaddress.IPv4Address | ipaddress.IPv6Address | None":
    try:
        ip = ipaddress.ip_address(address.split("%", 1)[0])
    except ValueError:
        return None
    if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped is not None:
        return ip.ipv4_mapped
    return ip


def identity_of(transport: Any) -> Identity:
    """The identity of the peer of ``transport`` (see the module docstring)."""
    peer = transport.get_extra_info("peername") if transport is not None else None
    local = transport.get_extra_info("sockname") if transport is not None else None
    if not isinstance(peer, tuple) or not isinstance(local, tuple):
        return ("local", None)  # not an IP socket
    peer_ip, local_ip = _ip(str(peer[0])), _ip(str(local[0]))
    if peer_ip is None:
        return ("remote", str(peer[0]))
    if peer_ip.is_loopback or peer_ip == local_ip:
        owner = socket_owner(str(peer[0]), int(peer[1]), str(local[0]), int(local[1]))
        return ("local", owner) if owner is not None or not _TELLS_OWNERS else None
    return ("remote", str(peer_ip))


_NETLINK_INET_DIAG = 4
_SOCK_DIAG_BY_FAMILY = 20
_NLMSG_ERROR = 2
_NO_COOKIE = 0xFFFFFFFF
_DIAG_REQUEST = struct.Struct("=IHHII BBBxI HH16s16sIII")  # nlmsghdr + inet_diag_req_v2
_STATE_AT = 16 + 1  # nlmsghdr, then inet_diag_msg: family, state
_UID_AT = 16 + 4 + 48 + 12  # ... retrans, sockid, expires/rqueue/wqueue, then uid and inode
_ESTABLISHED = 1


def _forms(address: str) -> "list[tuple[int, bytes]]":
    """``(family, 16-byte address)`` of each socket family a connection from ``address`` may use."""
    ip = _ip(address)
    if ip is None:
        return []
    if isinstance(ip, ipaddress.IPv4Address):
        mapped = b"\0" * 10 + b"\xff\xff" + ip.packed
        return [(socket.AF_INET, ip.packed + b"\0" * 12), (socket.AF_INET6, mapped)]
    return [(socket.AF_INET6, ip.packed)]


def _owner_by_netlink(peer: "tuple[str, int]", local: "tuple[str, int]") -> "int | None":
    """Ask the kernel (sock_diag) for the owner of the one TCP socket ``peer`` -> ``local``, if live."""
    local_forms = dict(_forms(local[0]))
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, _NETLINK_INET_DIAG) as nl:
        nl.settimeout(1.0)
        for family, src in _forms(peer[0]):
            dst = local_forms.get(family)
            if dst is None:
                continue
            request = _DIAG_REQUEST.pack(_DIAG_REQUEST.size, _SOCK_DIAG_BY_FAMILY, 1, 1, 0,
                                         family, socket.IPPROTO_TCP, 0, 1 << _ESTABLISHED,
                                         socket.htons(peer[1]), socket.htons(local[1]), src, dst, 0,
                                         _NO_COOKIE, _NO_COOKIE)
            nl.send(request)
            answer = nl.recv(65536)
            if len(answer) >= _UID_AT + 8 and struct.unpack_from("=H", answer, 4)[0] != _NLMSG_ERROR:
                uid, inode = struct.unpack_from("=II", answer, _UID_AT)
                # a socket its owner closed is an orphan: no inode, and "root" as its uid
                return uid if answer[_STATE_AT] == _ESTABLISHED and inode else None
    return None


def _proc_address(address: str, port: int) -> "list[tuple[str, str]]":
    """``(file, "ADDR:PORT")`` as ``/proc/net/tcp*`` writes a socket's address."""
    found = []
    for family, packed in _forms(address):
        words = struct.unpack("=4I", packed)
        if family == socket.AF_INET:
            found.append(("/proc/net/tcp", f"{words[0]:08X}:{port:04X}"))
        else:
            found.append(("/proc/net/tcp6", "".join(f"{w:08X}" for w in words) + f":{port:04X}"))
    return found


def _owner_by_proc(peer: "tuple[str, int]", local: "tuple[str, int]") -> "int | None":
    """The same from ``/proc/net/tcp*`` (slow on a machine with many sockets)."""
    ours = dict(_proc_address(*local))
    for path, theirs in _proc_address(*peer):
        if path not in ours:
            continue
        try:
            with open(path) as table:
                next(table, None)
                for line in table:
                    fields = line.split()
                    if len(fields) > 9 and fields[1] == theirs and fields[2] == ours[path]:
                        live = fields[3] == f"{_ESTABLISHED:02X}" and fields[9] != "0"
                        return int(fields[7]) if live else None
        except (OSError, ValueError):
            continue
    return None


def socket_owner(peer_host: str, peer_port: int, local_host: str, local_port: int) -> "int | None":
    """The uid owning the live local socket at ``peer`` connected to ``local`` (None when unknown).

    Linux only: through sock_diag, else ``/proc/net/tcp*``.  A socket that is
    not established, or has no owner left (closed), is unknown.
    """
    peer, local = (peer_host, peer_port), (local_host, local_port)
    try:
        return _owner_by_netlink(peer, local)
    except (OSError, AttributeError, struct.error):  # no netlink here (or not Linux)
        return _owner_by_proc(peer, local)
