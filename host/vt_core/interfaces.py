"""This machine's addresses and names, and listening sockets that share one port.

A server bound to a wildcard (``""``, ``0.0.0.0``, ``::``) is reachable at
every address of the machine; :func:`local_addresses` lists them so the server
can print URLs another machine can open, and :func:`local_names` gives the
names the machine answers to, which a wildcard bind accepts in ``Host``.

:func:`bind_sockets` binds one listening socket per address family of a host
(a wildcard or a name such as ``localhost`` resolves to several) on one port,
also when the port is picked by the system; :func:`loopback_names` says
which loopback names the sockets then hold.
"""

from __future__ import annotations

import errno
import ipaddress
import socket
import struct
import sys
from typing import Iterable

#: Wildcard hosts: bound, they listen on every address of the machine.
WILDCARD_HOSTS = ("", "0.0.0.0", "::", "[::]")

_SIOCGIFADDR = 0x8915  # Linux ioctl: an interface's IPv4 address


def _ipv4_addresses() -> list[tuple[str, str]]:
    """(interface, IPv4 address) of the machine's interfaces (Linux; empty elsewhere)."""
    if not sys.platform.startswith("linux"):
        return []
    import fcntl

    found: list[tuple[str, str]] = []
    try:
        names = [name for _, name in socket.if_nameindex()]
    except OSError:
        return []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for name in names:
            try:
                packed = fcntl.ioctl(s.fileno(), _SIOCGIFADDR, struct.pack("256s", name.encode()[:15]))
            except OSError:  # no IPv4 address on this interface
                continue
            found.append((name, socket.inet_ntoa(packed[20:24])))
    return found


def _ipv6_addresses() -> list[tuple[str, str]]:
    """(interface, IPv6 address) of the machine's interfaces, from /proc (Linux; empty elsewhere)."""
    try:
        with open("/proc/net/if_inet6") as f:
            lines = f.read().split()
    except OSError:
        return []
    found = []
    for i in range(0, len(lines) - 5, 6):
        raw = lines[i]
        if len(raw) == 32:
            found.append((lines[i + 5], str(ipaddress.IPv6Address(bytes.fromhex(raw)))))
    return found


def _default_route_interfaces() -> set[str]:
    """Interfaces that carry a default route (Linux; empty elsewhere): their addresses come first."""
    found = set()
    try:
        with open("/proc/net/route") as f:
            for line in f.read().splitlines()[1:]:
                fields = line.split()
                if len(fields) > 7 and fields[1] == "00000000" and fields[7] == "00000000":
                    found.add(fields[0])
    except OSError:
        pass
    try:
        with open("/proc/net/ipv6_route") as f:
            for line in f.read().splitlines():
                fields = line.split()
                if len(fields) == 10 and fields[0] == "0" * 32 and fields[1] == "00" and fields[9] != "lo":
                    found.add(fields[9])
    except OSError:
        pass
    return found


def _resolved_addresses() -> list[str]:
    """Addresses the machine's own name resolves to (a portable fallback)."""
    try:
        infos = socket.getaddrinfo(socket.gethostname(), None, type=socket.SOCK_STREAM)
    except OSError:
        return []
    return [info[4][0] for info in infos]


def local_addresses(family: "int | None" = None) -> list[str]:
    """This machine's addresses other machines can reach, best first.

    Loopback and link-local addresses (which need a zone to be used) are left
    out; IPv4 comes before IPv6, and within a family the addresses of the
    interface with the default route come first.  ``family``
    (``socket.AF_INET`` or ``AF_INET6``) keeps one family only.
    """
    seen: list[ipaddress.IPv4Address | ipaddress.IPv6Address] = []
    found = _ipv4_addresses() + _ipv6_addresses()
    routed = _default_route_interfaces()
    found.sort(key=lambda pair: pair[0] not in routed)  # stable: interface order otherwise
    # (a name lookup only where the system cannot list its interfaces: it may wait for DNS)
    for text in [addr for _, addr in found] or _resolved_addresses():
        try:
            addr = ipaddress.ip_address(text.split("%", 1)[0])
        except ValueError:
            continue
        if addr.is_loopback or addr.is_link_local or addr.is_unspecified or addr.is_multicast:
            continue
        if isinstance(addr, ipaddress.IPv6Address) and addr.ipv4_mapped is not None:
            continue
        if addr not in seen:
            seen.append(addr)
    if family == socket.AF_INET:
        seen = [a for a in seen if a.version == 4]
    elif family == socket.AF_INET6:
        seen = [a for a in seen if a.version == 6]
    seen.sort(key=lambda a: a.version)  # stable: the interfaces' order within a family
    return [str(a) for a in seen]


def local_names() -> set[str]:
    """The names this machine answers to (lower case): its host name, its short name, ``<short>.local``.

    No name lookup (which may wait for DNS): the names the system itself holds.
    """
    try:
        host = socket.gethostname()
    except OSError:
        return set()
    short = host.split(".", 1)[0]
    names = {host, short, short + ".local"} if short else set()
    return {n.lower().rstrip(".") for n in names if n and n.lower() != "localhost"}


def has_ipv6_loopback() -> bool:
    """Whether this machine has an IPv6 loopback address (where anyone may listen on ``[::1]``)."""
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def loopback_names(addresses: Iterable[str], ipv6: bool = True) -> set[str]:
    """The loopback names (``127.0.0.1``, ``[::1]``, ``localhost``) a server bound to ``addresses`` holds.

    ``localhost`` only with both loopback addresses: browsers take it for
    ``[::1]`` as well as ``127.0.0.1`` (whatever the resolver says) and try
    ``[::1]`` first, where another user may listen.  ``ipv6``: whether the
    machine has an IPv6 loopback (without one, ``127.0.0.1`` is all of it).
    """
    held = set()
    for address in addresses:
        address = address.strip("[]").split("%", 1)[0].lower()
        if address in ("", "0.0.0.0", "127.0.0.1", "localhost"):
            held.add("127.0.0.1")
        if address in ("", "::", "::1", "localhost"):
            held.add("[::1]")
    if "127.0.0.1" in held and ("[::1]" in held or not ipv6):
        held.add("localhost")
    return held


def _bind_addresses(host: str, port: int) -> list[tuple[int, tuple]]:
    """(family, sockaddr) to bind for ``host``: one per distinct address it resolves to.

    ``localhost`` is both loopback addresses, as browsers take it, whatever
    the resolver here says (see :func:`loopback_names`).
    """
    name = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    if name.lower().rstrip(".") == "localhost":
        return [(socket.AF_INET, ("127.0.0.1", port)), (socket.AF_INET6, ("::1", port, 0, 0))]
    infos = socket.getaddrinfo(name or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    out: list[tuple[int, tuple]] = []
    seen = set()
    for family, _, _, _, sockaddr in infos:
        if family not in (socket.AF_INET, socket.AF_INET6):
            continue
        key = (family, sockaddr[0])
        if key not in seen:
            seen.add(key)
            out.append((family, sockaddr))
    if not out:
        raise OSError(errno.EADDRNOTAVAIL, f"no address to bind for {host!r}")
    return out


def _listener(family: int, sockaddr: tuple, port: int) -> socket.socket:
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)  # IPv4 gets its own socket
        sock.bind((sockaddr[0], port, *sockaddr[2:]))
    except BaseException:
        sock.close()
        raise
    return sock


def bind_sockets(host: str, port: int, attempts: int = 32) -> list[socket.socket]:
    """Bound (not yet listening) sockets for every address of ``host``, all on one port.

    With ``port=0`` the first socket gets a free port from the system and the
    others take the same one; when it is taken in another family, all are
    closed and a new port is tried (up to ``attempts`` times).  An address
    family the machine cannot use (no IPv6) is skipped when another one was
    bound.
    """
    addresses = _bind_addresses(host, port)
    for attempt in range(max(1, attempts)):
        socks: list[socket.socket] = []
        chosen = port
        try:
            for family, sockaddr in addresses:
                try:
                    sock = _listener(family, sockaddr, chosen)
                except OSError as exc:
                    if exc.errno in (errno.EAFNOSUPPORT, errno.EADDRNOTAVAIL) and len(addresses) > 1:
                        continue  # e.g. IPv6 turned off: serve the other families
                    raise
                socks.append(sock)
                chosen = sock.getsockname()[1]
            if not socks:
                raise OSError(errno.EADDRNOTAVAIL, f"no address of {host!r} could be bound")
            return socks
        except OSError as exc:
            for sock in socks:
                sock.close()
            if port == 0 and exc.errno == errno.EADDRINUSE and attempt + 1 < attempts:
                continue  # the port the first family got is taken in another: pick again
            raise
    raise AssertionError("unreachable")


def url_host(address: str) -> str:
    """An address as it appears in a URL (IPv6 in brackets)."""
    return f"[{address}]" if ":" in address and not address.startswith("[") else address


def display_host(host: str) -> str:
    """A bound ``host`` as it appears in a URL (IPv6 in brackets; wildcards as loopback)."""
    if host in ("", "0.0.0.0"):
        return "127.0.0.1"
    if host in ("::", "[::]"):
        return "[::1]"
    return url_host(host)

