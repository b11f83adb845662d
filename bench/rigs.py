"""The three forwarders under test, each on its own fresh pseudo-terminals.

Every rig offers the same face to the measurements:
  ptys[line]          the far end of line 1 and 2 (sandbox.Pty: master
                      non-blocking, slave held open), or None for a line
                      whose far end is a device path (Modbus slave)
  recv(timeout)       [(line, bytes, t_ns)] that reached the server side
  send(line, data)    bytes from the server side to a line
  pids                the processes whose cost is counted
  disconnect()        no server connection from now on
  close()

The daemon (sandbox copy) is the client of our link server (gwserver),
over the plain link or, given a Pki, the secure one (tlspeer);
ser2net and socat serve raw TCP on loopback and the bench connects to them.
"""

import contextlib
import os
import select
import shutil
import socket
import sys
import tempfile
import time

from trmkit.gwserver import GatewayServer, TYPE_DATA
from trmkit.ports import free_port, listening
from trmkit.procs import FileProcess
from trmkit.sandbox import MODEM, MODEM_OK, Pty, Sandbox
from trmkit.tlspeer import TlsGatewayServer, board_files
from trmkit.wait import wait_path, wait_until
from . import resources

HERE = os.path.dirname(os.path.abspath(__file__))
RTU_SLAVE = os.path.join(HERE, "..", "tests", "e2e", "rtu_slave.py")


def now_ns():
    return time.monotonic_ns()


class Loopback:
    """Where a rig's two ends live when no path is given: both on this
    machine's loopback. A path (overpath.Path) offers the same face."""

    server_addr = device_addr = "127.0.0.1"

    @contextlib.contextmanager
    def server_side(self):
        yield self

    device_side = server_side


def connect(port, addr="127.0.0.1", timeout=10.0):
    end = time.monotonic() + timeout
    while True:
        try:
            s = socket.create_connection((addr, port), timeout=1.0)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.setblocking(False)
            return s
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.02)


class FieldDevice:
    """A pymodbus RTU slave on the far end of a socat pseudo-terminal pair;
    `near` is the path the forwarder opens."""

    def __init__(self, workdir, near, base):
        far = os.path.join(workdir, "field")
        self.socat = FileProcess(["socat", "pty,raw,echo=0,link=" + near, "pty,raw,echo=0,link=" + far],
                           workdir, os.path.join(workdir, "field-socat.log"))
        wait_path(near)
        wait_path(far)
        self.slave = FileProcess(["/usr/bin/python3", RTU_SLAVE, far, base], workdir,
                                 os.path.join(workdir, "field-slave.log"))
        self.slave.wait_text("ready", 20)

    def stop(self):
        self.slave.stop()
        self.socat.stop()


class Rig:
    name = "?"
    gap_ms = 0

    def __init__(self):
        self.ptys, self.field, self.procs = {}, None, []

    @property
    def pids(self):
        return [p.pid for p in self.procs if p.proc.poll() is None]

    def close(self):
        for p in self.procs:
            p.stop()
        if self.field:
            self.field.stop()
        for t in self.ptys.values():
            t.close()


class DaemonRig(Rig):
    """The daemon's sandbox copy, connected to our link server.
    modbus: line 1 bridged (IsTCP2RTU1=1) to a pymodbus RTU slave.
    preload: (shim library, counter file) to count heap calls.
    tls: a tlspeer.Pki with the factory pair "gw": the link in TLS.
    prefix: the command the daemon runs under (an emulator, a counter)."""

    name = "qysc"

    def __init__(self, qysc, table, gap_ms=50, modbus=False, preload=None, label=None, path=None,
                 tls=None, prefix=(), timeout=20.0):
        super().__init__()
        self.path = path or Loopback()
        self.gap_ms = gap_ms
        self.label = label or "qysc"
        self.sb = Sandbox(prefix="trm310-bench-")
        self.sb.make_register_file()
        self.sb.write_file(MODEM, MODEM_OK)
        if modbus:
            self.field = FieldDevice(self.sb.dir, self.sb.board("/dev/ttyS1"), 1000)
        else:
            self.ptys[1] = self.sb.add_pty("/dev/ttyS1")
        self.ptys[2] = self.sb.add_pty("/dev/ttyS2")
        with self.path.server_side():
            self.server = self._server(table, tls)
        if tls is not None:
            board_files(self.sb, tls)
        # heartbeats far apart, so none falls into a measurement
        self.sb.write_config(self.path.server_addr, self.server.port, HeartbeatTime=3600,
                             TimeInterval=gap_ms, IsTCP2RTU1=1 if modbus else 0)
        argv = list(prefix) + [qysc]
        if preload:
            argv = ["env", "LD_PRELOAD=" + preload[0], "TRM_ALLOC_COUNT_FILE=" + preload[1]] + argv
        with self.path.device_side():
            self.procs.append(FileProcess(argv, self.sb.dir, os.path.join(self.sb.dir, "qysc.log")))
        self.link = self.server.accept(timeout)
        self.link.next_packet(timeout=timeout)  # init
        self.init_ns = now_ns()
        # the daemon empties the serial queues after the init packet; a
        # verify round trip makes sure that has happened
        self.link.challenge(0, 1)
        self.link.next_packet(timeout=timeout, skip_heartbeats=True)
        self.counter = preload[1] if preload else None
        self.heap_at_start = resources.read_alloc(self.counter) if preload else None
        self.heap_calls = None

    def _server(self, table, pki):
        if pki is None:
            return GatewayServer(table=table, addr=self.path.server_addr)
        return TlsGatewayServer(pki.hub_context(), table=table, addr=self.path.server_addr)

    def heap(self):
        """Heap calls since the link came up (None without the counter)."""
        now = resources.read_alloc(self.counter) if self.counter else None
        if now is None or self.heap_at_start is None:
            return None
        return {k: now[k] - self.heap_at_start[k] for k in now}

    def recv(self, timeout):
        if self.link.closed:
            time.sleep(timeout)
            return []
        out = []
        for p in self.link.read_packets(timeout):
            if p.type == TYPE_DATA:
                t = now_ns()
                out.extend((port, data, t) for port, data in p.sections if port in (1, 2))
        return out

    def send(self, line, data):
        self.link.send_sections([(line, data)])

    def disconnect(self):
        self.server.close()

    def close(self):
        self.heap_calls = self.heap()
        self.server.close()
        super().close()
        self.sb.close()


class TcpRig(Rig):
    """A forwarder that serves each line as raw TCP on loopback (or on the
    device side of a path, the bench connecting from its server side)."""

    def __init__(self, modbus=False, path=None, lines=(1, 2)):
        super().__init__()
        self.path = path or Loopback()
        self.dir = tempfile.mkdtemp(prefix="trm310-bench-%s-" % self.name)
        self.paths = {}
        if modbus:
            self.paths[1] = os.path.join(self.dir, "line1")
            self.field = FieldDevice(self.dir, self.paths[1], 1000)
        else:
            self.ptys[1] = Pty(os.path.join(self.dir, "line1"))
            self.paths[1] = self.ptys[1].name
        if 2 in lines:
            self.ptys[2] = Pty(os.path.join(self.dir, "line2"))
            self.paths[2] = self.ptys[2].name
        self.ports = {line: free_port() for line in self.paths}
        with self.path.device_side():
            self.start()
        with self.path.server_side():
            self.socks = {line: connect(port, self.path.device_addr)
                          for line, port in self.ports.items()}
        for line, t in self.ptys.items():   # the device is open once a byte goes through
            self.probe(line, t)

    def probe(self, line, t):
        t.write(b"probe")
        got, end = b"", time.monotonic() + 10
        while len(got) < 5 and time.monotonic() < end:
            for ln, data, _ in self.recv(0.05):
                got += data
        if got != b"probe":
            raise RuntimeError("%s: line %d does not forward (%r)" % (self.name, line, got))

    def recv(self, timeout):
        socks = list(self.socks.values())
        if not socks:
            time.sleep(timeout)
            return []
        ready, _, _ = select.select(socks, [], [], timeout)
        out = []
        for line, s in self.socks.items():
            if s in ready:
                try:
                    data = s.recv(262144)
                except BlockingIOError:
                    continue
                if data:
                    out.append((line, data, now_ns()))
        return out

    def send(self, line, data):
        s = self.socks[line]
        s.setblocking(True)
        s.sendall(data)
        s.setblocking(False)

    def disconnect(self):
        for s in self.socks.values():
            s.close()
        self.socks = {}

    def close(self):
        for s in self.socks.values():
            s.close()
        super().close()
        shutil.rmtree(self.dir, ignore_errors=True)


class Ser2netRig(TcpRig):
    """ser2net with its default settings: one raw TCP accepter per line.
    command: how to run it (default the host's ser2net)."""

    name = "ser2net"
    label = "ser2net"

    def __init__(self, command=("ser2net",), **kw):
        self.command = list(command)
        super().__init__(**kw)

    def start(self):
        cfg = os.path.join(self.dir, "ser2net.yaml")
        with open(cfg, "w") as f:
            f.write("%YAML 1.1\n---\n")
            for line, path in self.paths.items():
                f.write("connection: &line%d\n    accepter: tcp,127.0.0.1,%d\n"
                        "    connector: serialdev,%s,115200n81,local\n\n"
                        % (line, self.ports[line], path))
        self.procs.append(FileProcess(self.command + ["-n", "-d", "-c", cfg, "-P", os.path.join(self.dir, "pid")],
                                self.dir, os.path.join(self.dir, "ser2net.log")))


class SocatRig(TcpRig):
    """One socat per line: TCP listener to the pseudo-terminal, raw."""

    name = "socat"
    label = "socat"

    def start(self):
        for line, path in self.paths.items():
            self.procs.append(FileProcess(["socat", "TCP-LISTEN:%d,bind=%s,reuseaddr" % (self.ports[line], self.path.device_addr),
                                     "FILE:%s,raw,echo=0" % path],
                                    self.dir, os.path.join(self.dir, "socat%d.log" % line)))

    def disconnect(self):
        # a socat without fork ends with its connection: listeners anew
        super().disconnect()
        for p in self.procs:
            p.stop()
        self.procs = []
        with self.path.device_side():
            self.start()
        for port in self.ports.values():
            wait_until(lambda: listening(port), 10, step=0.02, what="socat listening on %d" % port)


def is_installed(program):
    return any(os.access(os.path.join(d, program), os.X_OK)
               for d in os.environ.get("PATH", "/usr/bin").split(os.pathsep))


if __name__ == "__main__":
    sys.exit("a module of bench.py")
