"""The emulated cellular path (trm-cellpath) between two network namespaces
that the caller made: starts the relay, gives the two TUN devices their
addresses and makes them behave like a board's ppp0 (MTU 1500 or the
profile's, no segmentation offload: the kernel hands the device one MSS at
a time and a socket never queues a segment larger than that), and drives
its outage switch and counters.

  daemon side  10.232.0.2/24 on cpg<pid>
  server side  10.232.0.1/24 on cps<pid>
"""

import os
import queue
import subprocess
import threading

from .procs import spawn

GW_ADDR, SRV_ADDR = "10.232.0.2", "10.232.0.1"
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def binary():
    tools = os.environ.get("TRM_TOOLS_BIN") or os.path.join(REPO, "build", "host-release", "tools")
    return os.path.join(tools, "trm-cellpath")


def _run(*argv):
    subprocess.run(list(argv), check=True, capture_output=True, text=True)


def _fields(words):
    out = {}
    for w in words:
        k, _, v = w.partition("=")
        try:
            out[k] = float(v) if "." in v or "e" in v else int(v)
        except ValueError:
            out[k] = v
    return out


class CellPath:
    def __init__(self, gw_ns, srv_ns, profile, seed=None, exe=None, cc="reno"):
        self.gw_ns, self.srv_ns, self.cc = gw_ns, srv_ns, cc
        self.gw_dev, self.srv_dev = ("cpg%d" % os.getpid())[:15], ("cps%d" % os.getpid())[:15]
        argv = [exe or binary(), "--gw", "/run/netns/%s:%s" % (gw_ns, self.gw_dev),
                "--srv", "/run/netns/%s:%s" % (srv_ns, self.srv_dev), "--profile", profile]
        if seed is not None:
            argv += ["--seed", str(seed)]
        self.proc = spawn(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._reader, daemon=True).start()
        self.seed, self.profile = None, {}
        self._started()
        self.mtu = self.profile["mtu"]
        self._device(gw_ns, self.gw_dev, GW_ADDR)
        self._device(srv_ns, self.srv_dev, SRV_ADDR)

    def _reader(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def _wait(self, prefix, timeout=5.0):
        while True:
            line = self.lines.get(timeout=timeout)
            if line is None:
                raise RuntimeError("trm-cellpath ended: %s" % self.proc.stderr.read().strip())
            if line.startswith(prefix):
                return line

    def _started(self):
        self.seed = int(self._wait("seed ").split()[1])
        self.profile = _fields(self._wait("profile ").split()[1:])
        self._wait("ready")

    def _device(self, ns, dev, addr):
        """Like ppp0: no IPv6 chatter, the MTU, one MSS per segment. TCP in
        the namespace backs off on loss as the boards' kernels do: Reno
        unless told otherwise (their CUBIC is not allowed in a namespace
        here, and at these window sizes it acts like Reno; the host's own
        default may be BBR, which random loss hardly slows)."""
        m = str(self.mtu)
        _run("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv4.tcp_congestion_control=" + self.cc)
        _run("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv6.conf.%s.disable_ipv6=1" % dev)
        _run("ip", "-n", ns, "addr", "add", addr + "/24", "dev", dev)
        _run("ip", "-n", ns, "link", "set", dev, "mtu", m, "gso_max_segs", "1",
             "gso_max_size", m, "up")

    def outage(self, on):
        """Switches the outage; returns once the relay has taken it."""
        self.proc.stdin.write("outage %s\n" % ("on" if on else "off"))
        self.proc.stdin.flush()
        self._wait("ok outage %s" % ("on" if on else "off"))

    def stats(self):
        self.proc.stdin.write("stats\n")
        self.proc.stdin.flush()
        return self._parse(self._wait("stats now"))

    @staticmethod
    def _parse(line):
        words = line.split()
        i = words.index("down")
        return {"up": _fields(words[3:i]), "down": _fields(words[i + 1:])}

    def close(self):
        """Ends the relay (its devices go with it); its final counters."""
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
                final = self._parse(self._wait("stats final"))
                self.proc.wait(timeout=5)
                return final
            except (OSError, RuntimeError, queue.Empty, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        return None
