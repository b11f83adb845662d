"""Common set-up of the hub's end-to-end tests: trm-hub started by PID in a
sandbox directory (its registry and configuration there), a mosquitto
broker of the test's own on a free loopback port, MQTT through the broker's
own command-line clients, the real gateway daemon (sandbox copy) from
trmkit's GatewayCase, keys made by tools/trm-pki.sh, and a testssl.sh scan
of a TLS port."""

import contextlib
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import urllib.error
import urllib.request

from trmkit.gwcase import GatewayCase, TIMEOUT
from trmkit.mosquitto import Mosquitto
from trmkit.sandbox import tools_bin
from trmkit.wait import wait_until

GW_ID = "127.0.0.101"  # the daemon's default virtual IP
SLAVE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "rtu_slave.py")
PKI = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "trm-pki.sh")


class Keys:
    """A factory CA, another CA, the hub's key (self-signed, for
    127.0.0.1), and gateway keys and Modbus clients' keys by name."""

    def __init__(self, folder):
        self.dir = folder
        self.pki("ca", "ca")
        self.pki("ca", "otherca", "--name", "Someone else's CA")
        self.pki("hub", "hub", "--name", "127.0.0.1")

    def pki(self, what, sub, *args):
        out = subprocess.run([PKI, what, os.path.join(self.dir, sub)] + list(args), check=True,
                             capture_output=True, text=True, timeout=TIMEOUT).stdout
        return out.rsplit(" ", 1)[-1].strip()

    def gateway(self, name, gw_id, ca=None):
        """(cert, key, fingerprint) of a gateway key naming gw_id."""
        fp = self.pki("gateway", name, "--id", gw_id, *(["--ca", os.path.join(self.dir, ca)] if ca else []))
        return os.path.join(self.dir, name, "gateway.crt"), os.path.join(self.dir, name, "gateway.key"), fp

    def modbus(self, name, role, ca="ca"):
        """(cert, key) of a Modbus/TCP Security client carrying role."""
        self.pki("modbus", name, "--name", name, "--role", role, "--ca", self.path(ca))
        return self.path(name + "/client.crt"), self.path(name + "/client.key")

    def path(self, name):
        return os.path.join(self.dir, *name.split("/"))

    def hub_args(self, ca="ca"):
        return ["--tls-listen", "127.0.0.1:0", "--tls-cert", self.path("hub/hub.crt"),
                "--tls-key", self.path("hub/hub.key"), "--tls-ca", self.path(ca + "/ca.crt")]


def tls_scan(case, port):
    """testssl.sh on a TLS port of the hub: no protocol below TLS 1.2, no
    weak cipher, TLS 1.2 offered (skipped where it is not installed)."""
    scanner = shutil.which("testssl") or shutil.which("testssl.sh")
    if not scanner:
        case.skipTest("testssl.sh is not installed (tools/install-deps.sh installs it)")
    report = os.path.join(case.sb.dir, "scan-%d.json" % port)
    subprocess.run([scanner, "--quiet", "--color", "0", "--warnings", "off", "--jsonfile", report, "-p", "-s",
                    "127.0.0.1:%d" % port], capture_output=True, timeout=180, check=False)
    with open(report) as f:
        found = {e["id"]: e["finding"] for e in json.load(f)}
    for name in ("SSLv2", "SSLv3", "TLS1", "TLS1_1", "cipherlist_NULL", "cipherlist_aNULL", "cipherlist_EXPORT",
                 "cipherlist_LOW", "cipherlist_3DES_IDEA", "cipherlist_AVERAGE"):
        case.assertIn("not offered", found.get(name, "missing"), name)
    case.assertTrue(found["TLS1_2"].startswith("offered"), found["TLS1_2"])


class Hub:
    """trm-hub in the sandbox; the API at .http, gateways at .port, both on
    .addr; with ns (a tools/faults NetNs) the hub runs in that namespace and
    the API is asked from inside it; with ca (a CA's certificate file) the
    API is asked over HTTPS, the hub's certificate checked against it."""

    def __init__(self, case, *args, config=None, token=None, name="hub", addr="127.0.0.1", ns=None, ca=None):
        self.case, self.token, self.addr = case, token, addr
        self.tls = ssl.create_default_context(cafile=ca) if ca else None
        self.enter = ns.entered if ns is not None else contextlib.nullcontext
        argv = [tools_bin("trm-hub"), "--listen", addr + ":0", "--http", addr + ":0",
                "--gap", "20", "--log-level", "debug"]
        if config is not None:
            path = os.path.join(case.sb.dir, name + ".toml")
            with open(path, "w") as f:
                f.write(config)
            argv += ["-c", path]
        with self.enter():
            self.proc = case.sb.start_host(argv + [str(a) for a in args])
        a = re.escape(addr).encode()
        m = self.proc.wait_for(rb"listening gateways=(?:%s:(\d+)|off) http=%s:(\d+) \S+(?: tls=%s:(\d+))?\n"
                               % (a, a, a), TIMEOUT)
        self.port, self.http = int(m.group(1) or 0), int(m.group(2))
        self.tls_port = int(m.group(3) or 0)  # the secure link's port (0: none)

    def api(self, method, path, body=None, token=None):
        """(status, decoded JSON or text) of one API request."""
        data = body if isinstance(body, (bytes, type(None))) else (
            body.encode() if isinstance(body, str) else json.dumps(body).encode())
        scheme = "https" if self.tls else "http"
        req = urllib.request.Request("%s://%s:%d%s" % (scheme, self.addr, self.http, path), data=data, method=method)
        tok = token or self.token
        if tok:
            req.add_header("Authorization", "Bearer " + tok)
        try:
            with self.enter(), urllib.request.urlopen(req, timeout=TIMEOUT, context=self.tls) as r:
                status, text = r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            status, text = e.code, e.read().decode()
        try:
            return status, json.loads(text)
        except ValueError:
            return status, text

    def gateway(self, gw_id=GW_ID):
        status, g = self.api("GET", "/api/gateways/" + gw_id)
        return g if status == 200 else None

    def wait_state(self, state, gw_id=GW_ID):
        return wait_until(lambda: (self.gateway(gw_id) or {}).get("state") == state and self.gateway(gw_id),
                          TIMEOUT, what="gateway %s %s" % (gw_id, state))

    def metric(self, name):
        _, text = self.api("GET", "/metrics")
        return sum(float(v) for v in re.findall(r"^%s(?:\{[^}]*\})? (\S+)$" % re.escape(name), text, re.M))

    def terminate(self):
        """SIGTERM (an orderly stop) by PID; returns the exit status."""
        os.kill(self.proc.pid, signal.SIGTERM)
        return self.proc.wait_exit(TIMEOUT)


FLEET_FIRST = "10.7.0.1"  # the simulated fleet's first gateway ID


class Fleet:
    """trm-fleet against the hub (its gateways numbered from `first`),
    driven through its control socket."""

    def __init__(self, case, port, n, *extra, first=FLEET_FIRST):
        self.proc = case.sb.start_host([tools_bin("trm-fleet"), "--server", "127.0.0.1:%d" % port, "-n", str(n),
                                        "--first-id", first, "--control", "0", "--stats", "0",
                                        "--init-delay", "50", "--seed", "3"] + list(extra), stdin=subprocess.PIPE)
        m = self.proc.wait_for(rb"fleet gateways=%d .* control=(\d+)\n" % n, TIMEOUT)
        self.sock = socket.create_connection(("127.0.0.1", int(m.group(1))), timeout=TIMEOUT)
        case.addCleanup(self.sock.close)
        self.buf = b""

    def ask(self, line):
        self.sock.sendall(line.encode() + b"\n")
        while b"\n" not in self.buf:
            self.buf += self.sock.recv(4096)
        answer, self.buf = self.buf.split(b"\n", 1)
        return answer.decode()

    def counts(self):
        return dict(re.findall(r"(\S+)=(\d+)", self.ask("command-counts")))

    def figures(self):
        return json.loads(self.ask("json"))


class Broker(Mosquitto):
    """The test's mosquitto (in its sandbox folder, stopped by its cleanup),
    and MQTT through the broker's own command-line clients; stop() ends it
    at once, as a crash would."""

    def __init__(self, case):
        self.case = case
        super().__init__(case.sb.dir, timeout=TIMEOUT)
        case.addCleanup(self.stop)

    def stop(self, sig=signal.SIGKILL, timeout=None):
        return super().stop(sig, timeout)

    def publish(self, topic, payload):
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-t", topic, "-s"],
                       input=payload if isinstance(payload, bytes) else payload.encode(),
                       check=True, timeout=TIMEOUT)

    def subscribe(self, *topics):
        """A subscriber printing retain flag, topic and hex payload per line."""
        argv = ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-v", "-F", "%r %t %x"]
        for t in topics:
            argv += ["-t", t]
        return Subscriber(self.case.sb.start_host(argv))


class Subscriber:
    def __init__(self, proc):
        self.proc = proc

    def messages(self, topic=None):
        """[(retained, topic, payload bytes)] received so far."""
        self.proc.collect(0.05)
        out = []
        for line in self.proc.output.decode(errors="replace").splitlines():
            parts = line.split(" ", 2)
            if len(parts) >= 2 and (topic is None or parts[1] == topic):
                out.append((parts[0] == "1", parts[1], bytes.fromhex(parts[2] if len(parts) > 2 else "")))
        return out

    def wait(self, topic, pred=lambda p: True, timeout=TIMEOUT):
        """The first payload on topic that pred accepts."""
        return wait_until(lambda: next((p for _, t, p in self.messages(topic) if pred(p)), None), timeout,
                          what="a message on %s" % topic)

    def status(self, topic):
        """The last status JSON on topic."""
        msgs = self.messages(topic)
        return json.loads(msgs[-1][2]) if msgs else None


class HubCase(GatewayCase):
    def setUp(self):
        super().setUp()
        if not os.path.exists(tools_bin("trm-hub")):
            self.skipTest("trm-hub not built")

    def rtu_slave(self):
        """A pymodbus RTU slave (registers 1000 + address) on the daemon's
        RS-485 line."""
        return self.line_peer([sys.executable, SLAVE, "{line}", 1000])

    def line_peer(self, argv):
        """A program at the far end of the daemon's RS-485 line ({line} in
        argv: the device it opens): socat joins the line's pty to one the
        program opens; ready once it prints "ready "."""
        self.need("socat")
        near, far = self.sb.board("/dev/ttyS1"), os.path.join(self.sb.dir, "line1")
        self.sb.start_host(["socat", "pty,raw,echo=0,link=" + near, "pty,raw,echo=0,link=" + far])
        self.wait_file(near)
        self.wait_file(far)
        peer = self.sb.start_host([far if a == "{line}" else a for a in argv])
        peer.wait_for(rb"ready ", TIMEOUT)
        return peer

    def need_broker(self):
        self.need("mosquitto", "mosquitto_sub", "mosquitto_pub")
        return Broker(self)
