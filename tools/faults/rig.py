"""The real daemon (its sandbox copy) in a namespace of the run, its two
lines as pseudo-terminals, and the server at the other end of a Path: one
event loop moves the traffic, reads the daemon's output and every line, and
counts where each byte went."""

import fcntl
import os
import select
import signal
import time

from trmkit.gwserver import (GatewayServer, TYPE_DATA, TYPE_HEARTBEAT, TYPE_INIT, PORT_RS485,
                             PORT_RS232, build_packet)
from trmkit.sandbox import MODEM, MODEM_OK, Sandbox, WDT_SERVICE_COUNT
from . import streams
from .daemonlog import DaemonLog
from .monitor import Monitor, resources
from .serverlink import ServerLink
from .streams import Intervals, Placer, RecordReader, Tracker
from .traffic import Commands, DownSender, Feeder

F_SETPIPE_SZ = 1031


class Rig:
    def __init__(self, path, rng, logdir, name, config_extra="", rcvbuf=4096):
        self.path, self.rng, self.name = path, rng, name
        self.sb = Sandbox(prefix="trmfault-%s-" % name)
        self.sb.make_register_file()
        self.pty = {1: self.sb.add_pty("/dev/ttyS1"), 2: self.sb.add_pty("/dev/ttyS2")}
        self.sb.write_file(MODEM, MODEM_OK)
        with path.server_ns.entered():
            self.server = GatewayServer(rcvbuf=rcvbuf, addr=path.server_addr)
        self.server.sock.setblocking(False)
        self.config_extra = config_extra
        self.write_config(config_extra)
        self.logfile = open(os.path.join(logdir, "qysc-%s.log" % name), "ab")
        self.log = DaemonLog(self.logfile)
        self.monitor = Monitor(self.sb.board("/dev/mem"), WDT_SERVICE_COUNT)
        self.monitor.start()
        self.t = {sid: Tracker(sid) for sid in streams.NAMES}
        self.accepted = {streams.DOWN485: Intervals(), streams.DOWN232: Intervals()}
        self.forbidden = {streams.DOWN485: Intervals(), streams.DOWN232: Intervals()}
        self.readers = {1: RecordReader(), 2: RecordReader()}
        self.placers = {1: Placer(self.t[0], self.t[1]), 2: Placer(self.t[1], self.t[0])}
        # bytes that arrived in a stream's place but belong to another line
        # (crossed) or to no stream at all (corrupt), by the stream expected
        self.crossed = {sid: 0 for sid in streams.NAMES}
        self.corrupt = {sid: 0 for sid in streams.NAMES}
        self.partial_acted = 0
        self.signals = {}
        self.cmds = Commands()
        self.feed = {ln: Feeder(self.pty[ln].master, self.t[ln - 1], rng) for ln in (1, 2)}
        self.down = DownSender(self, rng)
        self.links, self.open_links, self.link, self.daemon = [], [], None, None
        self.inits = 0
        self.crashes = []
        self.fd_online = []       # open descriptors each time a link came up
        self.hb = 10              # heartbeat period the daemon has now
        self.loop_late = 0.0      # longest this loop was held up (its own lateness)
        self._last_pump = time.monotonic()
        self._next_reap = 0.0

    def write_config(self, extra=""):
        self.sb.write_config(self.path.server_addr, self.server.port, extra)

    # --- the daemon -----------------------------------------------------------
    def start_daemon(self):
        with self.path.daemon_ns.entered():
            self.daemon = self.sb.start("qysc")
        self.out_fd = self.daemon.proc.stdout.fileno()
        try:
            fcntl.fcntl(self.out_fd, F_SETPIPE_SZ, 1 << 20)
        except OSError:
            pass
        self.monitor.attach(self.daemon.pid)

    def kill_daemon(self):
        """Ends the daemon (by its PID); its last output is read first."""
        if self.daemon is None:
            return
        self.monitor.detach()
        try:
            os.killpg(self.daemon.pid, signal.SIGKILL)   # its own group, by its PID
        except ProcessLookupError:
            pass
        self.daemon.proc.wait(timeout=10)
        self._read_output(time.monotonic())
        self.daemon.stop()
        self.sb.procs.remove(self.daemon)
        self.daemon, self.link = None, None

    def alive(self):
        return self.daemon is not None and self.daemon.proc.poll() is None

    def check_alive(self):
        if self.daemon is not None and self.daemon.proc.poll() is not None:
            self._read_output(time.monotonic())
            self.crashes.append({"status": self.daemon.proc.returncode, "log": self.log.tail(20)})
            self.monitor.detach()
            self.sb.procs.remove(self.daemon)
            self.daemon.proc.stdout.close()
            self.daemon = None
            return False
        return self.daemon is not None

    # --- the event loop -------------------------------------------------------
    def pump(self, timeout=0.005):
        links = self.open_links = [ln for ln in self.open_links if ln.state == "open"]
        rl = [self.server.sock] + [self.pty[1].master, self.pty[2].master]
        rl += [ln for ln in links if ln.reading]
        if self.daemon is not None:
            rl.append(self.out_fd)
        wl = [ln for ln in links if ln.outq]
        try:
            r, w, _ = select.select(rl, wl, [], timeout)
        except (ValueError, OSError):
            r, w = [], []
        now = time.monotonic()
        self.loop_late = max(self.loop_late, now - self._last_pump - timeout)
        self._last_pump = now
        if self.daemon is not None and self.out_fd in r:
            self._read_output(now)
        for ln in (1, 2):
            if self.pty[ln].master in r:
                self._read_line(ln, now)
        if self.server.sock in r:
            self._accept(now)
        for link in links:
            if link in r and link.state == "open":
                self.handle(link, link.read(), now)
            if link.outq:
                link.flush()
        for f in self.feed.values():
            f.tick(now)
        self.down.tick(now)
        if now >= self._next_reap:
            self._reap(now)

    def _replace(self, link):
        """A new connection introduced: the ones before it are closed, as
        the fleet server ends a gateway's older connection when a new one
        takes its ID (what the old one still carries, the kernel's late
        retransmissions of a link the daemon gave up, is not taken)."""
        for old in self.open_links:
            if old is not link and old.state == "open":
                old.close()

    def _reap(self, now):
        """Old links the daemon has left behind and that have been silent
        for 30 s are closed (a path that was silenced leaves such ends);
        a dead daemon is noticed."""
        self._next_reap = now + 1.0
        for link in self.open_links:
            if link is not self.link and link.state == "open" and now - link.last_rx > 30:
                link.close()
        self.check_alive()

    def run_for(self, seconds, until=None):
        """Pumps for `seconds`, or until `until()` holds; whether it held."""
        end = time.monotonic() + seconds
        while True:
            if until is not None and until():
                return True
            left = end - time.monotonic()
            if left <= 0:
                return False
            self.pump(min(0.005, left))

    def _read_output(self, now):
        while True:
            try:
                chunk = os.read(self.out_fd, 1 << 20)
            except (BlockingIOError, OSError, ValueError):
                return
            if not chunk:
                return
            self.log.feed(chunk, now)

    def _read_line(self, ln, now):
        try:
            chunk = os.read(self.pty[ln].master, 65536)
        except (BlockingIOError, OSError):
            return
        reader = self.readers[ln]
        bad = reader.corrupt
        for sid, s in reader.feed(chunk):
            if sid != ln + 1:
                self.crossed[ln + 1] += streams.REC
                continue
            if self.forbidden[sid].overlap(s * 5, s * 5 + 5):
                self.partial_acted += streams.REC
            self.t[sid].place(s * streams.REC, streams.REC, now)
        self.corrupt[ln + 1] += reader.corrupt - bad

    def _accept(self, now):
        try:
            sock, _ = self.server.sock.accept()
        except BlockingIOError:
            return
        link = ServerLink(sock, self.server.table, len(self.links) + 1)
        link.on_sent, link.on_torn = self._sent, self._torn
        self.links.append(link)
        self.open_links.append(link)

    # --- what the daemon sends ------------------------------------------------
    def handle(self, link, packets, now):
        for p in packets or ():
            self.signals[p.signal] = self.signals.get(p.signal, 0) + 1
            if p.type == TYPE_INIT:
                link.init_at, link.init = now, p.init
                self._replace(link)
                self.link = link
                self.inits += 1
                self.cmds.new_link()
            elif p.type == TYPE_HEARTBEAT:
                link.heartbeats += 1
            elif p.type == TYPE_DATA:
                for port, data in p.sections:
                    self._section(port, data, now)
            if link.on_packet:
                link.on_packet(link, p)

    def _section(self, port, data, now):
        if port not in (PORT_RS485, PORT_RS232):
            self.cmds.reply(port, data)
            return
        self.placers[port].section(bytes(data), now)
        self._count_foreign()

    def _count_foreign(self):
        for port, p in self.placers.items():
            self.crossed[port - 1], self.corrupt[port - 1] = p.crossed, p.corrupt

    def flush_held(self, final=False):
        """Short pieces still waiting for their place (see Placer)."""
        for p in self.placers.values():
            p.flush(final)
        self._count_foreign()

    def drain_link(self, link):
        self.handle(link, link.drain(), time.monotonic())

    # --- what the server sends ------------------------------------------------
    def data_packet(self, line, records):
        """Plain packet of `records` new records for a line, and its memo."""
        sid = streams.DOWN485 if line == 1 else streams.DOWN232
        t = self.t[sid]
        start, t.fed = t.fed, t.fed + records * streams.REC
        t.fed_at(start, time.monotonic())
        return build_packet([(line, streams.data(sid, start, t.fed))]), ("data", sid, start, t.fed)

    def _sent(self, memo):
        """A write wholly taken by the link: its data count as accepted.
        A memo is one ("data", sid, start, end) or a list of them."""
        for m in memo if isinstance(memo, list) else [memo]:
            if m and m[0] == "data":
                self.accepted[m[1]].add(m[2], m[3])

    def _torn(self, memo):
        """A write cut short by a close: its data must never be acted on."""
        for m in memo if isinstance(memo, list) else [memo]:
            if m and m[0] == "data":
                self.forbidden[m[1]].add(m[2], m[3])

    def send_command(self, link, port, text, pattern):
        plain, pid = self.cmds.command(port, text, pattern)
        link.send_plain(plain)
        return pid

    # --- the link coming up -----------------------------------------------------
    def wait_online(self, timeout=60.0, since=None):
        """Waits for a link whose init packet has come, then one verify
        round trip (so the daemon has emptied the lines' queues); the link,
        or None."""
        since = time.monotonic() if since is None else since
        ok = self.run_for(timeout, lambda: self.link is not None and self.link.init_at is not None
                          and self.link.init_at >= since and self.link.state == "open")
        if not ok:
            return None
        link = self.link
        plain, pid = self.cmds.challenge(self.rng)
        link.send_plain(plain)
        if not self.run_for(10.0, lambda: pid in self.cmds.answered or link.state != "open"):
            return None
        if link.state != "open":
            return None
        self.fd_online.append(self.steady_fds())
        return link

    def steady_fds(self):
        """The daemon's open descriptors, the least of a few looks 10 ms
        apart (it opens the modem file for a moment every 2 s)."""
        seen = []
        for _ in range(4):
            got = resources(self.daemon.pid) if self.daemon else None
            if got:
                seen.append(got[0])
            self.run_for(0.01)
        return min(seen) if seen else None

    def close(self):
        for f in self.feed.values():
            f.stop()
        self.down.stop()
        self.kill_daemon()
        self.monitor.stop()
        for link in self.links:
            link.close()
        self.server.close()
        self.logfile.close()
        self.sb.close()
