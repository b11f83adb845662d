"""Common set-up of the hub's end-to-end tests: trm-hub started by PID in a
sandbox directory (its registry and configuration there), a mosquitto
broker of the test's own on a free loopback port, MQTT through the broker's
own command-line clients, and the real gateway daemon (sandbox copy) from
tests/e2e's GatewayCase."""

import contextlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "console"))

from e2e_case import GatewayCase, TIMEOUT  # noqa: E402
from sandbox import tools_bin  # noqa: E402

GW_ID = "127.0.0.101"  # the daemon's default virtual IP
SLAVE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "rtu_slave.py")


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def kill(proc):
    """Ends a started program by its PID at once (its output stays readable)."""
    os.killpg(proc.pid, signal.SIGKILL)
    proc.proc.wait(timeout=TIMEOUT)


def wait_until(check, timeout=TIMEOUT, what="condition"):
    """Polls check() until it returns something true; returns that."""
    end = time.monotonic() + timeout
    while True:
        got = check()
        if got:
            return got
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for %s" % what)
        time.sleep(0.05)


class Hub:
    """trm-hub in the sandbox; the API at .http, gateways at .port, both on
    .addr; with ns (a tools/faults NetNs) the hub runs in that namespace and
    the API is asked from inside it."""

    def __init__(self, case, *args, config=None, token=None, name="hub", addr="127.0.0.1", ns=None):
        self.case, self.token, self.addr = case, token, addr
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
        m = self.proc.wait_for(rb"listening gateways=%s:(\d+) http=%s:(\d+)" % (a, a), TIMEOUT)
        self.port, self.http = int(m.group(1)), int(m.group(2))

    def api(self, method, path, body=None, token=None):
        """(status, decoded JSON or text) of one API request."""
        data = body if isinstance(body, (bytes, type(None))) else (
            body.encode() if isinstance(body, str) else json.dumps(body).encode())
        req = urllib.request.Request("http://%s:%d%s" % (self.addr, self.http, path), data=data, method=method)
        tok = token or self.token
        if tok:
            req.add_header("Authorization", "Bearer " + tok)
        try:
            with self.enter(), urllib.request.urlopen(req, timeout=TIMEOUT) as r:
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
                          what="gateway %s %s" % (gw_id, state))

    def metric(self, name):
        _, text = self.api("GET", "/metrics")
        return sum(float(v) for v in re.findall(r"^%s(?:\{[^}]*\})? (\S+)$" % re.escape(name), text, re.M))

    def terminate(self):
        """SIGTERM (an orderly stop) by PID; returns the exit status."""
        os.kill(self.proc.pid, signal.SIGTERM)
        return self.proc.wait_exit(TIMEOUT)


class Broker:
    """mosquitto on a free loopback port; stop() and start() keep the port."""

    def __init__(self, case):
        self.case, self.port = case, free_port()
        self.conf = os.path.join(case.sb.dir, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % self.port)
        self.start()

    def start(self):
        self.proc = self.case.sb.start_host(["mosquitto", "-c", self.conf])
        wait_until(self._accepts, what="mosquitto on port %d" % self.port)

    def _accepts(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stop(self):
        kill(self.proc)

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
                          "a message on %s" % topic)

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
        RS-485 line: socat joins the line's pty to one the slave opens."""
        self.need("socat")
        near, far = self.sb.board("/dev/ttyS1"), os.path.join(self.sb.dir, "line1")
        self.sb.start_host(["socat", "pty,raw,echo=0,link=" + near, "pty,raw,echo=0,link=" + far])
        self.wait_file(near)
        self.wait_file(far)
        slave = self.sb.start_host([sys.executable, SLAVE, far, 1000])
        slave.wait_for(rb"ready ", TIMEOUT)
        return slave

    def need_broker(self):
        self.need("mosquitto", "mosquitto_sub", "mosquitto_pub")
        return Broker(self)
