"""Who is on the other end of a connection: what a browser session is bound to.

A connection from another machine is known by its address.  One from this
machine (a loopback address, or the address the connection came in on) is
known by the local user owning the connecting socket, which the kernel tells
(Linux: sock_diag, else the ``/proc/net/tcp*`` tables; elsewhere it stays
unknown, ``None``).

Nothing here decides anything: ``vt_core.access`` seals sessions to these
identities and compares them.
"""

from __future__ import annotations

import ipaddress
import socket
import struct
import weakref
from typing import Any

__all__ = ["Identity", "PeerIdentities", "identity_of", "socket_owner"]

#: ``("remote", address)`` or ``("local", uid or None)``.
Identity = tuple


class PeerIdentities:
    """``identity_of`` each request's connection, looked up once per connection.

    Call from the event loop (the cache is not locked).
    """

    def __init__(self) -> None:
        self._known: "weakref.WeakKeyDictionary[Any, Identity]" = weakref.WeakKeyDictionary()

    def __call__(self, request: Any) -> Identity:
        transport = request.transport
        if transport is None:
            return identity_of(None)
        found = self._known.get(transport)
        if found is None:
            found = self._known[transport] = identity_of(transport)
        return found


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
        return ("local", socket_owner(str(peer[0]), int(peer[1]), str(local[0]), int(local[1])))
    return ("remote", str(peer_ip))


_NETLINK_INET_DIAG = 4
_SOCK_DIAG_BY_FAMILY = 20
_NLMSG_ERROR = 2
_NO_COOKIE = 0xFFFFFFFF
_DIAG_REQUEST = struct.Struct("=IHHII BBBxI HH16s16sIII")  # nlmsghdr + inet_diag_req_v2
_UID_AT = 16 + 4 + 48 + 12  # nlmsghdr, then inet_diag_msg: family..retrans, sockid, expires/rqueue/wqueue


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
    """Ask the kernel (sock_diag) for the owner of the one TCP socket ``peer`` -> ``local``."""
    local_forms = dict(_forms(local[0]))
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, _NETLINK_INET_DIAG) as nl:
        nl.settimeout(1.0)
        for family, src in _forms(peer[0]):
            dst = local_forms.get(family)
            if dst is None:
                continue
            request = _DIAG_REQUEST.pack(_DIAG_REQUEST.size, _SOCK_DIAG_BY_FAMILY, 1, 1, 0,
                                         family, socket.IPPROTO_TCP, 0, 0xFFFFFFFF,
                                         socket.htons(peer[1]), socket.htons(local[1]), src, dst, 0,
                                         _NO_COOKIE, _NO_COOKIE)
            nl.send(request)
            answer = nl.recv(65536)
            if len(answer) >= _UID_AT + 4 and struct.unpack_from("=H", answer, 4)[0] != _NLMSG_ERROR:
                return struct.unpack_from("=I", answer, _UID_AT)[0]
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
                    if len(fields) > 7 and fields[1] == theirs and fields[2] == ours[path]:
                        return int(fields[7])
        except (OSError, ValueError):
            continue
    return None


def socket_owner(peer_host: str, peer_port: int, local_host: str, local_port: int) -> "int | None":
    """The uid owning the local socket at ``peer`` connected to ``local`` (None when unknown).

    Linux only: through sock_diag, else ``/proc/net/tcp*``.
    """
    peer, local = (peer_host, peer_port), (local_host, local_port)
    try:
        return _owner_by_netlink(peer, local)
    except (OSError, AttributeError, struct.error):  # no netlink here (or not Linux)
        return _owner_by_proc(peer, local)
