"""The daemon (its sandbox copy, secure link, acknowledged link as tls.ini
sets it) and the real hub, with the fault relay between them, on a Path of
the run: the daemon in the path's gateway namespace, the relay and the hub
in its server namespace. Numbered streams go both ways on both lines at a
line's rate: into the lines' far ends and out at the hub's raw exposures,
into the exposures and out at the lines. One select loop moves all of it.

Each stream is checked byte by byte against what was fed: a byte that
arrives out of its place counts as lost (a gap, with its offsets),
duplicated or corrupt."""

import json
import os
import re
import select
import socket
import time
import urllib.request

from sim.simboard.secure import Keys
from trmkit import hubconf
from trmkit.procs import LineProcess
from trmkit.sandbox import MODEM, MODEM_OK, Sandbox, emulator, sandbox_bin, tools_bin
from . import streams
from .relay import Relay

GW_ID = "127.0.0.101"     # the daemon's default virtual IP
LINE_RATE = 11520         # bytes a second: 115 200 bit/s, 10 bits a character
# To the lines, half that: the hub spaces its packets to a gateway by its gap
# (50 ms, some 29 kB/s for both lines), and what an outage held back must
# still catch up within the run.
DOWN_SHARE = 0.5
LINES = (1, 2)
UP = {1: streams.UP485, 2: streams.UP232}
DOWN = {1: streams.DOWN485, 2: streams.DOWN232}


class Check:
    """One stream as it arrives: where the next byte should be, and the
    bytes that were not."""

    def __init__(self, sid):
        self.sid, self.got, self.fed = sid, 0, 0
        self.lost = self.dup = self.corrupt = 0
        self.gaps = []            # (from, to) of each run of bytes that never came
        self.held = b""           # a piece too short to place yet

    def take(self, chunk):
        chunk, self.held = self.held + chunk, b""
        while chunk:
            want = streams.data(self.sid, self.got, self.got + len(chunk))
            if chunk == want:
                self.got += len(chunk)
                return
            i = next(k for k in range(len(chunk)) if chunk[k] != want[k])
            self.got += i
            chunk = self._resync(chunk[i:])

    def _resync(self, rest):
        """Places rest by its first whole record (and the bytes before it
        when they are the stream's own); anything else before it is corrupt.
        A piece too short to hold a whole record waits for the next."""
        for j in range(len(rest) - streams.REC + 1):
            rec = streams.decode(rest[j:j + streams.REC]) if rest[j] & 0x80 else None
            if rec is not None and rec[0] == self.sid:
                at = rec[1] * streams.REC
                if at >= j and rest[:j] == streams.data(self.sid, at - j, at):
                    at, j = at - j, 0      # the bytes before it are its stream's too
                self.corrupt += j
                if at > self.got:
                    self.lost += at - self.got
                    self.gaps.append((self.got, at))
                else:
                    self.dup += self.got - at
                self.got = at
                return rest[j:]
        if len(rest) < 2 * streams.REC:
            self.held = rest
        else:
            self.corrupt += len(rest)
        return b""

    def figures(self):
        self.corrupt, self.held = self.corrupt + len(self.held), b""
        return {"fed": self.fed, "got": self.got, "lost": self.lost, "dup": self.dup,
                "corrupt": self.corrupt, "gaps": self.gaps}


class HubRig:
    def __init__(self, path, rng, out, keys_dir, tls_extra="", rate=LINE_RATE):
        self.path, self.rng, self.out, self.rate = path, rng, out, rate
        self.sb = Sandbox(prefix="trmfault-hub-")
        self.sb.make_register_file()
        self.sb.write_file(MODEM, MODEM_OK)
        self.pty = {ln: self.sb.add_pty("/dev/ttyS%d" % ln) for ln in LINES}
        self.keys = Keys(keys_dir, GW_ID)
        self.keys.board_files(self.sb.board)
        with open(self.sb.board("/quarne/qysc/tls.ini"), "a") as f:
            f.write(tls_extra)
        self.hub = self._start_hub()
        self.relay = Relay(path.server_addr, ("127.0.0.1", self.hub_tls), path.server_ns)
        self.sb.write_config(path.server_addr, self.relay.port)
        self.check = {sid: Check(sid) for sid in streams.NAMES}
        self.started, self.feeding = None, False
        self.clients = {}
        self.daemon = None

    # --- the programs -----------------------------------------------------------
    def _start_hub(self):
        conf = hubconf.write(os.path.join(self.sb.dir, "hub.toml"), hub={"id": "faults"},
                             gateways=self.keys.hub_gateways(), security={"allow_ids": ["*"]},
                             registry={"path": os.path.join(self.sb.dir, "registry.db")},
                             http={"listen": "127.0.0.1:0"},
                             exposure=[{"gateway": GW_ID, "port": ln, "kind": "raw",
                                        "listen": "127.0.0.1:0"} for ln in LINES])
        with self.path.server_ns.entered():
            hub = LineProcess("trm-hub", [tools_bin("trm-hub"), "-c", conf, "--no-mqtt"],
                              cwd=self.sb.dir, log=os.path.join(self.out, "hub.log"))
        _, line = hub.wait_line(lambda s: " listening gateways=" in s, 30)
        self.http = int(re.search(r"http=\S+:(\d+)", line).group(1))
        self.hub_tls = int(re.search(r"tls=\S+:(\d+)", line).group(1))
        self.exp_port = {}
        for ln in LINES:
            _, line = hub.wait_line(lambda s, n=ln: re.search(r"exposure \S+ port%d raw on " % n, s), 10, 0)
            self.exp_port[ln] = int(line.rsplit(":", 1)[1])
        return hub

    def start_daemon(self):
        with self.path.daemon_ns.entered():
            self.daemon = LineProcess("qysc", emulator() + [sandbox_bin("qysc")], cwd=self.sb.dir,
                                      log=os.path.join(self.out, "qysc-hub.log"))

    def api(self, path):
        with self.path.server_ns.entered():
            with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.http, path), timeout=10) as r:
                return json.loads(r.read().decode())

    def gateway(self):
        try:
            return self.api("/api/gateways/" + GW_ID)
        except OSError:
            return {}

    def connect_clients(self):
        """One client on each exposure (in the hub's namespace)."""
        for ln in LINES:
            with self.path.server_ns.entered():
                s = socket.create_connection(("127.0.0.1", self.exp_port[ln]), timeout=5)
            s.setblocking(False)
            self.clients[ln] = s

    # --- traffic ----------------------------------------------------------------
    def feed(self, on):
        """Starts or stops the numbered streams (both ways, both lines)."""
        now = time.monotonic()
        if on and not self.feeding:
            self.started = now - max(self.check[UP[ln]].fed for ln in LINES) / self.rate
        self.feeding = on

    def _due(self, sid, now):
        c = self.check[sid]
        rate = self.rate * (DOWN_SHARE if sid in DOWN.values() else 1.0)
        return max(0, min(4096, int((now - self.started) * rate) - c.fed)) if self.feeding else 0

    def _put(self, sid, write):
        c = self.check[sid]
        n = self._due(sid, time.monotonic())
        if n == 0:
            return
        try:
            c.fed += write(streams.data(sid, c.fed, c.fed + n))
        except (BlockingIOError, InterruptedError):
            pass

    def pump(self, timeout=0.01):
        now = time.monotonic()
        rl, wl = self.relay.watch(now)
        lines = [self.pty[ln].master for ln in LINES]
        socks = list(self.clients.values())
        r, w, _ = select.select(rl + lines + socks, wl, [], timeout)
        self.relay.ready(r, w, time.monotonic())
        for ln in LINES:
            if self.pty[ln].master in r:
                self._drain(self.pty[ln].master, DOWN[ln], os.read)
            if ln in self.clients and self.clients[ln] in r:
                self._drain(self.clients[ln], UP[ln], lambda s, n: s.recv(n))
            self._put(UP[ln], self.pty[ln].write_some)
            if ln in self.clients:
                self._put(DOWN[ln], self.clients[ln].send)

    def _drain(self, fd, sid, read):
        try:
            data = read(fd, 65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if data:
            self.check[sid].take(data)

    def run_for(self, seconds, until=None):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if until is not None and until():
                return True
            self.pump()
        return until is not None and until()

    def all_through(self):
        return all(c.got >= c.fed for c in self.check.values())

    # --- the end ----------------------------------------------------------------
    def close(self):
        for s in self.clients.values():
            s.close()
        self.relay.shut()
        for p in (self.daemon, self.hub):
            if p is not None:
                p.stop()
        self.sb.close()
