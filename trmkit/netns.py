"""Network namespaces of a run's own (NetNs: made and removed by name,
entered by the calling thread), whether this machine allows them
(forbidden), and a path between the daemon and the server that can go
silent (Path).

Three paths:
  lo    daemon and server in one namespace on its loopback (MTU 65536)
  veth  daemon and server in two namespaces joined by a veth pair with
        MTU 1500 and 4 Mbit/s each way, a cellular-sized path: a server
        packet longer than the MSS (1448 bytes) reaches the daemon as two
        segments some milliseconds apart, as over a cellular link
  cell  two namespaces joined by the emulated cellular path (sim/cellpath):
        a profile's delay, jitter, rates, bearer buffer and loss, TUN
        devices that send one MSS at a time like a board's ppp0, and an
        outage switch of its own (outage())

A silent path drops every TCP segment of the server port in the input hook
of each end's namespace (nftables), so the sender's own transmit succeeds
and the segment vanishes on the way, as when a cell or a NAT drops a flow:
no FIN, no RST, no error. Nothing here touches the host's own network.
"""

import contextlib
import ctypes
import os
import re
import shutil
import subprocess
import uuid

from . import cellpath

CLONE_NEWNET = 0x40000000
PREFIX = "trmfault-"
RATE = "4mbit"
_libc = ctypes.CDLL(None, use_errno=True)
_home = None


def _run(*argv, check=True, stdin=None):
    return subprocess.run(list(argv), check=check, capture_output=True, text=True, input=stdin)


def forbidden(nft=True, cell=False):
    """Why this machine cannot make network namespaces (with nftables in
    them, when nft; with the emulated cellular path between them, when
    cell: TUN devices and the relay built), or None."""
    if os.geteuid() != 0:
        return "network namespaces need root"
    if cell and not os.path.exists("/dev/net/tun"):
        return "no /dev/net/tun"
    if cell and not os.access(cellpath.binary(), os.X_OK):
        return "no %s (build the host preset)" % cellpath.binary()
    for tool in ("ip", "nft") if nft else ("ip",):
        if shutil.which(tool) is None:
            return "'%s' is not installed (tools/install-deps.sh)" % tool
    try:
        probe = NetNs("probe")
    except subprocess.CalledProcessError as e:
        return "namespaces cannot be created here: %s" % e.stderr.strip()
    except OSError as e:
        return "namespaces cannot be created here: %s" % e
    try:
        if nft:
            probe.nft("add table inet probe")
    except subprocess.CalledProcessError as e:
        return "nftables does not work in a namespace here: %s" % e.stderr.strip()
    finally:
        probe.close()
    return None


def remove_stale(prefix=PREFIX):
    """Namespaces left by earlier runs whose process is gone (a run killed
    outright cannot clean up)."""
    for line in _run("ip", "netns", "list", check=False).stdout.splitlines():
        m = re.match(r"(%s(\d+)-[\w-]+)" % re.escape(prefix), line)
        if m and not os.path.exists("/proc/%s" % m.group(2)):
            _run("ip", "netns", "del", m.group(1), check=False)


class NetNs:
    """A network namespace named <prefix><pid>-<tag>-<6 hex digits> (its
    own even beside another machine's process of the same PID), its
    loopback up; removed by that name in close()."""

    def __init__(self, tag, prefix=PREFIX):
        self.name = "%s%d-%s-%s" % (prefix, os.getpid(), tag, uuid.uuid4().hex[:6])
        _run("ip", "netns", "add", self.name)
        self.ip("link", "set", "lo", "up")

    def ip(self, *args):
        _run("ip", "-n", self.name, *args)

    def nft(self, script):
        _run("ip", "netns", "exec", self.name, "nft", "-f", "-", stdin=script + "\n")

    def prefix(self):
        """The command prefix that runs a program inside."""
        return ["ip", "netns", "exec", self.name]

    @contextlib.contextmanager
    def entered(self):
        """The calling thread inside this namespace: sockets made and
        programs started meanwhile belong to it."""
        global _home
        if _home is None:
            _home = os.open("/proc/self/ns/net", os.O_RDONLY)
        fd = os.open("/run/netns/" + self.name, os.O_RDONLY)
        try:
            if _libc.setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns " + self.name)
            yield self
        finally:
            _libc.setns(_home, CLONE_NEWNET)
            os.close(fd)

    def close(self):
        _run("ip", "netns", "del", self.name, check=False)


class Path:
    """Where the daemon and the server live, and the switch that silences
    the path between them."""

    def __init__(self, kind, profile=None, tag=None, seed=None, cc="reno"):
        self.kind, self.profile, self.seed, self.cc = kind, profile, seed, cc
        self.spaces, self.cell = [], None
        tag = tag or kind
        self.daemon_ns = self._ns(tag + "-gw")
        {"lo": self._loopback, "veth": self._veth, "cell": self._cellular}[kind](tag)
        for ns in self.spaces:
            ns.nft("add table inet trmfault\n"
                   "add chain inet trmfault input { type filter hook input priority 0; }")
        self.silent = False

    def _loopback(self, tag):
        self.server_ns, self.server_addr, self.mtu = self.daemon_ns, "127.0.0.1", 65536

    def _veth(self, tag):
        self.server_ns, self.server_addr, self.mtu = self._ns(tag + "-srv"), "10.231.0.1", 1500
        a, b = "tfg%d" % os.getpid(), "tfs%d" % os.getpid()
        _run("ip", "link", "add", a[:15], "mtu", "1500", "netns", self.daemon_ns.name,
             "type", "veth", "peer", "name", b[:15], "mtu", "1500", "netns", self.server_ns.name)
        self.daemon_ns.ip("addr", "add", "10.231.0.2/24", "dev", a[:15])
        self.server_ns.ip("addr", "add", "10.231.0.1/24", "dev", b[:15])
        self.daemon_ns.ip("link", "set", a[:15], "up")
        self.server_ns.ip("link", "set", b[:15], "up")
        for ns, dev in ((self.daemon_ns, a[:15]), (self.server_ns, b[:15])):
            _run("tc", "-n", ns.name, "qdisc", "add", "dev", dev, "root", "tbf", "rate",
                 RATE, "burst", "1600", "latency", "200ms")

    def _cellular(self, tag):
        self.server_ns = self._ns(tag + "-srv")
        self.cell = cellpath.CellPath(self.daemon_ns.name, self.server_ns.name, self.profile or "",
                                      seed=self.seed, cc=self.cc)
        self.server_addr, self.mtu = cellpath.SRV_ADDR, self.cell.mtu

    def _ns(self, tag):
        ns = NetNs(tag)
        self.spaces.append(ns)
        return ns

    def drop(self, port):
        """Silences the path: segments from and to the server port vanish."""
        self.server_ns.nft("add rule inet trmfault input tcp dport %d drop" % port)
        self.daemon_ns.nft("add rule inet trmfault input tcp sport %d drop" % port)
        self.silent = True

    def restore(self):
        for ns in self.spaces:
            ns.nft("flush chain inet trmfault input")
        self.silent = False

    def outage(self, on):
        """The cellular path's own switch: every packet dropped while on."""
        self.cell.outage(on)
        self.silent = on

    def counters(self):
        """The relay's counters (cell path), or None."""
        return self.cell.stats() if self.cell else None

    def close(self):
        """Removes the path; the relay's final counters (cell path), or None."""
        final = self.cell.close() if self.cell else None
        self.cell = None
        for ns in self.spaces:
            ns.close()
        self.spaces = []
        return final
