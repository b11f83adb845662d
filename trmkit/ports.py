"""TCP ports on loopback: a free one, whether one accepts, whether
something listens on one."""

import random
import socket

_given = set()


def _ephemeral_low():
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        return int(f.read().split()[0])


def free_port(host="127.0.0.1", lasting=False, low=20000):
    """A port nothing is bound to on `host` now (bound, then released).

    lasting: a port below the kernel's ephemeral range that this process
    has not been given before, for a server that binds it again after a
    restart: none of the run's own outgoing connections can take it in
    between, as they could an ephemeral one."""
    if not lasting:
        with socket.socket() as s:
            s.bind((host, 0))
            return s.getsockname()[1]
    high = _ephemeral_low() - 1
    for _ in range(1000):
        port = random.randint(low, high)
        with socket.socket() as s:
            try:
                s.bind((host, port))
            except OSError:
                continue
        if port not in _given:
            _given.add(port)
            return port
    raise RuntimeError("no free port in %d..%d" % (low, high))


def accepts(port, host="127.0.0.1", timeout=1.0):
    """True when a TCP connection to host:port is accepted (it is closed
    at once)."""
    try:
        socket.create_connection((host, port), timeout=timeout).close()
        return True
    except OSError:
        return False


def listening(port):
    """True when an IPv4 socket of this network namespace listens on `port`
    (read from /proc/net/tcp: no connection is made, for a server that
    serves only one)."""
    with open("/proc/net/tcp") as f:
        return any(":%04X 00000000:0000 0A" % port in line for line in f)
