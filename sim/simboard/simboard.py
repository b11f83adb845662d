"""A simulated TRM-310 on a PC.

Builds a board in a sandbox directory and runs the real programs on it:

  board/dev/ttyS1    RS-485 line: a pseudo-terminal pair to a simulated field
                     device (Modbus RTU slave, fielddev.py)
  board/dev/ttyS2    COM3: a pseudo-terminal whose far end this program holds
  board/dev/ttyUSB2  the modem's AT port: the simulated modem (modem_sim.py)
  board/dev/mem      the register file (LEDs, watchdog)
  board/quarne/      configuration and modem information files

then the server console on loopback (or with --hub the fleet server trm-hub
with a mosquitto broker of its own, over the secure link unless --plain:
secure.py), behind a link relay that can fail on
demand, celmon (in a network namespace that has a ppp0, where the machine
allows it) and qysc: the sandbox copies of the programs, the same code as
built for the board except for where paths lead.

  python3 -m sim.simboard.simboard [--build DIR] [--dir DIR] [--script] [--verbose]
                                   [--hub [--broker H:P] [--plain | --pki DIR]]
                                                               (tools/simboard.sh)

Interactive commands: type "help". --script runs a fixed scenario and exits
0 when every step was seen.
"""

import argparse
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from trmkit.procs import LineProcess
from trmkit.sandbox import CONFIG, daemon_config
from trmkit.wait import wait_path
from . import boardview, linkproxy, secure, servers
from .servers import GATEWAY_ID

HERE = os.path.dirname(os.path.abspath(__file__))

PYTHON = "/usr/bin/python3"
HEARTBEAT_S = 5
MODEM_CSQ = 23            # rssi the simulated modem reports (signal 71 of 100)
FIELD_UNIT = 1
# The PPP interface celmon looks for, in its own network namespace: one end
# of a veth pair named ppp0 (dummy interfaces are not on every kernel).
PPP0_UP = ["ip", "link", "add", "ppp0", "type", "veth", "peer", "name", "ppp0-peer"]
ENDING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def log(source, text):
    """One line of the board's terminal, its source first; a terminal that
    has gone (closed, its reader ended) takes nothing and stops nothing."""
    try:
        sys.stdout.write("%-8s %s\n" % ("[%s]" % source, text))
        sys.stdout.flush()
    except (OSError, ValueError):
        pass


def say(text):
    """Text as it is (help), with log's care for a terminal that has gone."""
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except (OSError, ValueError):
        pass


# What the terminal shows of each program without --verbose: its state
# changes, the commands and their replies, warnings and errors; not what
# it does every few seconds (heartbeats, the modem's AT commands, celmon's
# cycles). A line the same as the last one shown from its program (numbers
# aside) is shown once: a link that keeps failing is one line, not one a
# second. A program not named here shows every line.
SHOWN = {
    "qysc": re.compile(r"net_connect|socket be close|write fail|iWriteFail|tls: (handshake|hub refused|not "
                       r"connecting|the connection|the gateway key|no CA)|unusable|init data|hub's hello"),
    "celmon": re.compile(r"^ppp0=|[Ee]rror|[Ff]ail|[Cc]ouldn't"),
    "modem": re.compile(r"ready|plug|[Ee]rror"),
    "hub": re.compile(r" (warn|error) |gateway \S+ (online|closed|admitted|held|now)|bound|exposure \S+ port\d "
                      r"\S+ on |listening|mqtt|signal"),
    "console": re.compile(r"^(?!gw\d+ heartbeat )"),
    "broker": re.compile(r"[Ee]rror|[Ww]arning(?!: Mosquitto should not be run as root)"),
    "field": re.compile(r"ready|[Ee]rror"),
}
STAMP = re.compile(r"^\d{4}-\d\d-\d\dT[\d:.]+Z (info )?")  # the hub's time stamp, and "info"


class Events:
    """Lines seen so far, for the scenario to wait on."""

    def __init__(self):
        self.lines = []
        self.cond = threading.Condition()

    def add(self, source, line):
        with self.cond:
            self.lines.append((time.monotonic(), source, line))
            self.cond.notify_all()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def wait(self, source, pattern, timeout, since=0):
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        with self.cond:
            i = since
            while True:
                while i < len(self.lines):
                    _, src, line = self.lines[i]
                    i += 1
                    if src == source:
                        m = rx.search(line)
                        if m:
                            return m
                left = end - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)


class Board:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.emulator = shlex.split(args.emulator or "")
        self.dir = args.dir or tempfile.mkdtemp(prefix="trm310-board-")
        self.own_dir = args.dir is None
        self.children = {}
        self.events = Events()
        self.view = None
        self.proxy = None
        self.ppp0 = "none"
        self.log = log
        self.server = None
        self.keys = None
        self.modbus_port = None
        self.com3 = None
        self.lock = threading.Lock()
        self.last_shown = {}

    # --- paths ---------------------------------------------------------------
    def board(self, path):
        return os.path.join(self.dir, "board") + path

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def program(self, name):
        return self.emulator + [os.path.join(self.build, "sandbox", name)]

    def tool(self, name):
        return self.emulator + [os.path.join(self.build, "tools", name)]

    # --- output --------------------------------------------------------------
    def on_line(self, child, line):
        self.events.add(child.name, line)
        if not line.strip():
            return
        if self.args.verbose:
            return log(child.name, line)
        pattern = SHOWN.get(child.name)
        if pattern is not None and not pattern.search(line):
            return
        text = STAMP.sub("", line)
        same = re.sub(r"\d+", "#", text)
        if self.last_shown.get(child.name) != same:
            self.last_shown[child.name] = same
            log(child.name, text)

    def start(self, name, argv, stdin=False):
        child = LineProcess(name, argv, self.dir, on_line=self.on_line, stdin=stdin, grace=3)
        self.children[name] = child
        return child

    # --- building the board --------------------------------------------------
    def check_build(self):
        server = "tools/trm-hub" if self.args.hub else "tools/trm-console"
        missing = [p for p in ("sandbox/qysc", "sandbox/celmon", server, "tools/modem_sim.py")
                   if not os.path.exists(os.path.join(self.build, p))]
        if missing:
            sys.exit("simboard: %s lacks %s; build first: cmake --preset host-release && "
                     "cmake --build --preset host-release" % (self.build, ", ".join(missing)))

    def lay_out(self):
        os.makedirs(self.board("/dev"), exist_ok=True)
        os.makedirs(self.board("/quarne/qysc"), exist_ok=True)
        os.makedirs(os.path.join(self.dir, "sim"), exist_ok=True)
        with open(self.board("/dev/mem"), "wb") as f:
            f.truncate(boardview.GPIO_BASE + 0x00100000)
        log("board", "sandbox %s" % self.dir)

    def start_lines(self):
        # RS-485: two pseudo-terminals wired back to back, one end the board's
        # ttyS1, the other the field device's line.
        self.start("socat", ["socat",
                             "pty,raw,echo=0,link=%s" % self.board("/dev/ttyS1"),
                             "pty,raw,echo=0,link=%s" % os.path.join(self.dir, "sim/rs485")])
        wait_path(self.board("/dev/ttyS1"), step=0.02)
        wait_path(os.path.join(self.dir, "sim/rs485"), step=0.02)
        self.start("field", [PYTHON, os.path.join(HERE, "fielddev.py"), "--port",
                             os.path.join(self.dir, "sim/rs485"), "--unit", str(FIELD_UNIT)])
        # COM3: the far end is ours; what the server sends to port 2 is shown.
        import pty
        import tty
        master, slave = pty.openpty()
        tty.setraw(slave)
        os.symlink(os.ttyname(slave), self.board("/dev/ttyS2"))
        self.com3 = (master, slave)
        threading.Thread(target=self._com3_reader, daemon=True).start()

    def _com3_reader(self):
        master = self.com3[0]
        while True:
            try:
                r, _, _ = select.select([master], [], [], 0.5)
                if r:
                    data = os.read(master, 4096)
                    log("COM3", "line received %d bytes: %r" % (len(data), data))
            except OSError:
                return

    def start_modem(self):
        self.start("modem", [PYTHON, os.path.join(self.build, "tools", "modem_sim.py"),
                             "--link", self.board("/dev/ttyUSB2"), "--rate", "115200",
                             "--sim", "READY", "--creg", "1", "--csq", str(MODEM_CSQ)],
                   stdin=True)
        wait_path(self.board("/dev/ttyUSB2"), step=0.02)
        self.modem_link = os.readlink(self.board("/dev/ttyUSB2"))

    def start_server(self):
        """The console, or the hub over the secure link (keys made on the
        first run) or the plain one; the link relay in front of it."""
        if self.args.hub and not self.args.plain:
            self.keys = secure.Keys(self.args.pki or os.path.join(self.build, "simboard-pki"),
                                    GATEWAY_ID)
            self.keys.board_files(self.board)
        self.server = (servers.Hub(self, self.keys) if self.args.hub else servers.Console(self))
        port = self.server.start()
        self.modbus_port = self.server.modbus_port
        if self.modbus_port is None:
            raise RuntimeError("the %s has no Modbus TCP server for the RS-485 device" % self.server.source)
        self.proxy = linkproxy.LinkProxy(port, log=lambda t: log("link", t))
        for line in self.server.describe(port):
            log("board", line)
        log("board", "the gateway %s dials it through the link relay on 127.0.0.1:%d (server down|stall|up)"
            % (GATEWAY_ID, self.proxy.listen_port))
        log("board", "Modbus TCP for the RS-485 device: 127.0.0.1:%d (read, write; or mbpoll -m tcp -p %d "
            "-a 1 -r 1 -c 4 127.0.0.1)" % (self.modbus_port, self.modbus_port))
        if self.keys:
            log("board", "secure link: keys in %s%s; the hub's pin %s, the gateway's factory "
                "key %s" % (self.keys.dir, " (made now)" if self.keys.made else "",
                            self.keys.hub_pin, self.keys.gateway_fp))

    def write_config(self):
        text = daemon_config("127.0.0.1", self.proxy.listen_port, VirtualIP=GATEWAY_ID,
                             ModuleAlias="KX-7700", HeartbeatTime=HEARTBEAT_S, TimeInterval=50,
                             UartDataMax=1000, Debug=0, Baudrate1=115200, Format1="8N1",
                             Baudrate2=115200, Format2="8N1", IsTCP2RTU1=1)
        with open(self.board(CONFIG), "w") as f:
            f.write(text)

    def start_celmon(self):
        celmon = self.program("celmon")
        if self._namespaces_work():
            script = ("%s && exec %s" % (" ".join(PPP0_UP), " ".join(shlex.quote(a) for a in celmon)))
            self.start("celmon", ["unshare", "--user", "--map-root-user", "--net", "--",
                                  "sh", "-c", script])
            self.ppp0 = "up"
        else:
            log("board", "network namespaces are not available here: celmon runs without "
                "a ppp0 (the modem information file says ppp0=0)")
            self.start("celmon", celmon)

    def _namespaces_work(self):
        try:
            return subprocess.run(["unshare", "--user", "--map-root-user", "--net", "--"] + PPP0_UP,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=10).returncode == 0
        except (OSError, subprocess.TimeoutExpired):
            return False

    def start_gateway(self):
        self.start("qysc", self.program("qysc"))

    def start_view(self):
        def on_event(text):
            log("board", text)
            self.events.add("board", text)

        def on_reset(reason):
            log("board", "BOARD RESET: %s; the programs start again" % reason)
            self.events.add("board", "reset: " + reason)
            self.reboot()

        self.view = boardview.BoardView(self.board("/dev/mem"), on_event, on_reset)

    def boot(self):
        self.check_build()
        self.lay_out()
        self.start_view()
        self.start_lines()
        self.start_modem()
        self.start_server()
        self.write_config()
        self.start_celmon()
        self.start_gateway()

    def reboot(self):
        with self.lock:
            for name in ("qysc", "celmon"):
                child = self.children.pop(name, None)
                if child:
                    child.stop()
            self.view.power_on()
            self.start_celmon()
            self.start_gateway()

    # --- faults and actions --------------------------------------------------
    def set_link(self, state):
        self.proxy.set_state(state)

    def modem_plug(self, plugged):
        link = self.board("/dev/ttyUSB2")
        if plugged and not os.path.lexists(link):
            os.symlink(self.modem_link, link)
        elif not plugged and os.path.lexists(link):
            os.unlink(link)
        log("board", "modem %s" % ("plugged in" if plugged else "unplugged"))

    def set_ppp0(self, up):
        celmon = self.children.get("celmon")
        if self.ppp0 == "none" or celmon is None:
            log("board", "no ppp0 to change here (no network namespace)")
            return
        cmd = PPP0_UP if up else ["ip", "link", "del", "ppp0"]
        rc = subprocess.run(["nsenter", "-t", str(celmon.proc.pid), "--user", "--net",
                             "--preserve-credentials"] + cmd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        if rc == 0:
            self.ppp0 = "up" if up else "down"
        log("board", "ppp0 %s" % (self.ppp0 if rc == 0 else "could not be changed"))

    def modbus_read(self, address=0, count=4):
        if self.modbus_port is None:
            return None, "no Modbus TCP server"
        from pymodbus.client import ModbusTcpClient
        client = ModbusTcpClient("127.0.0.1", port=self.modbus_port, timeout=3)
        try:
            if not client.connect():
                return None, "cannot connect"
            rr = client.read_holding_registers(address, count, slave=FIELD_UNIT)
            if rr.isError():
                return None, str(rr)
            return rr.registers, None
        except Exception as e:  # pymodbus raises several kinds
            return None, str(e)
        finally:
            client.close()

    def modbus_write(self, address, value):
        from pymodbus.client import ModbusTcpClient
        client = ModbusTcpClient("127.0.0.1", port=self.modbus_port, timeout=3)
        try:
            if not client.connect():
                return "cannot connect"
            rr = client.write_register(address, value, slave=FIELD_UNIT)
            return None if not rr.isError() else str(rr)
        except Exception as e:
            return str(e)
        finally:
            client.close()

    def state(self):
        s = self.view.snapshot()
        period = self.view.led_period_ms()
        info = ""
        try:
            with open(self.board("/quarne/modemInfo.txt")) as f:
                info = " ".join(f.read().split())
        except OSError:
            info = "(no modem information file yet)"
        log("board", "LED1 %s, toggling every %s ms; watchdog 0x%02X, %d services, %d resets; "
            "link %s; ppp0 %s" % ("on" if s["led_on"] else "off",
                                  "%.0f" % period if period else "?", s["control"],
                                  s["services"], s["resets"], self.proxy.state, self.ppp0))
        log("board", "modemInfo.txt: %s" % info)

    # --- ending ----------------------------------------------------------------
    def shutdown(self):
        """Every program it started, stopped by its PID, newest first."""
        if self.view:
            self.view.close()
        for name in ("qysc", "celmon", "console", "hub", "broker", "field", "modem", "socat"):
            child = self.children.pop(name, None)
            if child:
                child.stop()
        for name in list(self.children):
            self.children.pop(name).stop()
        if self.proxy:
            self.proxy.close()
        if self.com3:
            for fd in self.com3:
                try:
                    os.close(fd)
                except OSError:
                    pass
        if self.own_dir and not self.args.keep:
            shutil.rmtree(self.dir, ignore_errors=True)


HELP = """commands:
  state                      LED, watchdog, link, ppp0 and the modem information file
  read [ADDR [COUNT]]        read holding registers of the field device through the
                             %(modbus)s, the gateway and its bridge
  write ADDR VALUE           write one holding register the same way
  cfg COMMAND                configuration command, e.g. cfg @CSQ, cfg @ALIAS=PUMP7
  vcom COMMAND               virtual COM command, e.g. vcom 161
                             (%(commands)s)
%(console)s  server down|stall|up       the cellular link: drop it, stall it, bring it back
  modem unplug|replug        remove the modem's device, put it back
  ppp0 down|up               remove or restore the PPP interface celmon sees
  help, quit"""
HELP_CONSOLE = {"modbus": "console's Modbus TCP server",
                "commands": "sent on the console's input; the replies show in its lines",
                "console": "  console LINE               any server console command (see the console's help)\n"}
HELP_HUB = {"modbus": "hub's Modbus TCP exposure of the RS-485 port",
            "commands": "sent through the hub's API, which prints the gateway's replies",
            "console": ""}


def interactive(board):
    log("board", "type 'help' for commands, Ctrl-C or 'quit' to stop")
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        cmd, rest = words[0], words[1:]
        if cmd in ("quit", "exit"):
            return
        elif cmd == "help":
            say(HELP % (HELP_HUB if board.args.hub else HELP_CONSOLE))
        elif cmd == "state":
            board.state()
        elif cmd == "read":
            addr = int(rest[0], 0) if rest else 0
            count = int(rest[1], 0) if len(rest) > 1 else 4
            regs, err = board.modbus_read(addr, count)
            log("modbus", "registers %d..%d = %s" % (addr, addr + count - 1, regs) if regs
                is not None else "read failed: %s" % err)
        elif cmd == "write" and len(rest) == 2:
            err = board.modbus_write(int(rest[0], 0), int(rest[1], 0))
            log("modbus", "written" if err is None else "write failed: %s" % err)
        elif cmd in ("cfg", "vcom") and rest:
            board.server.send(cmd, " ".join(rest))
        elif cmd == "console" and rest and not board.args.hub:
            board.children["console"].send(" ".join(rest))
        elif cmd == "server" and rest and rest[0] in ("down", "stall", "up"):
            board.set_link({"down": linkproxy.DOWN, "stall": linkproxy.STALLED,
                            "up": linkproxy.UP}[rest[0]])
        elif cmd == "modem" and rest and rest[0] in ("unplug", "replug"):
            board.modem_plug(rest[0] == "replug")
        elif cmd == "ppp0" and rest and rest[0] in ("down", "up"):
            board.set_ppp0(rest[0] == "up")
        else:
            log("board", "unknown command; type 'help'")


def main(argv=None):
    ap = argparse.ArgumentParser(description="A simulated TRM-310 board on this PC.")
    ap.add_argument("--build", default=os.path.join(HERE, "..", "..", "build", "host-release"),
                    help="build directory with sandbox/ and tools/ (default build/host-release)")
    ap.add_argument("--dir", help="sandbox directory (default: a new temporary one)")
    ap.add_argument("--keep", action="store_true", help="keep the sandbox directory at the end")
    ap.add_argument("--emulator", default=os.environ.get("TRM_EMULATOR", ""),
                    help="command prefix for board binaries (qemu-arm ... for the cross build)")
    ap.add_argument("--script", action="store_true",
                    help="run the fixed scenario and exit 0 when every step was seen")
    ap.add_argument("--verbose", action="store_true", help="show every program's every line")
    ap.add_argument("--hub", action="store_true",
                    help="the fleet server trm-hub as the server (status page, API, MQTT) "
                         "instead of the console")
    ap.add_argument("--broker", metavar="HOST:PORT",
                    help="with --hub: this MQTT broker (default: a mosquitto of its own)")
    ap.add_argument("--plain", action="store_true",
                    help="with --hub: the plain link instead of the secure one (TLS)")
    ap.add_argument("--pki", metavar="DIR",
                    help="with --hub: the secure link's keys, made there on the first run "
                         "(default <build>/simboard-pki)")
    args = ap.parse_args(argv)

    board = Board(args)
    stop = threading.Event()

    ending = []

    def on_signal(signum, _frame):
        if not ending:
            ending.append(signum)
            raise KeyboardInterrupt

    # Ctrl-C, a kill, a closed terminal (SIGHUP) or a closed input: every
    # program it started is stopped by its PID, the sandbox removed; a
    # second signal meanwhile (a process group's, say) does not cut that short.
    for sig in ENDING:
        signal.signal(sig, on_signal)
    status = 0
    try:
        board.boot()
        if args.script:
            from . import scenario
            status = scenario.run(board, log)
        else:
            interactive(board)
    except KeyboardInterrupt:
        pass
    except (RuntimeError, TimeoutError, OSError) as e:
        log("board", "error: %s" % e)
        status = 1
    finally:
        ending.append(0)
        stop.set()
        board.shutdown()
        log("board", "stopped")
    return status


if __name__ == "__main__":
    sys.exit(main())
