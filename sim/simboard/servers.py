"""The server end of the simulated board: the server console, or the fleet
server trm-hub with a broker of its own (--hub), over the secure link
unless --plain. Both answer the scenario's questions the same way: the
pattern of the gateway's coming online in their log, a heartbeat burst's
copies, a configuration command's reply."""

import json
import re
import time
import urllib.error
import urllib.request

from trmkit import hubconf
from trmkit.mosquitto import Mosquitto
from trmkit.wait import poll_until

GATEWAY_ID = "127.0.0.101"  # the daemon's virtual IP, its name on the fleet server
CFG_REPLY = r'^gw1 port257 .*text="(.*?)(?:\\r\\n)?"$'


class Console:
    """trm-console on loopback: the plain link, commands on its input."""
    source = "console"
    online = r'^gw1 init .*alias="[^"]*" version="V1\.01"'

    def __init__(self, board):
        self.board = board
        self.modbus_port = None

    def start(self):
        """Starts it; the port gateways connect to."""
        b = self.board
        b.start("console", b.tool("trm-console") + ["-p", "0", "-m", "1:1:0", "-k"], stdin=True)
        m = b.events.wait("console", r"^listening addr=\S+ port=(\d+)", 30)
        if not m:
            raise RuntimeError("the server console did not start")
        mb = b.events.wait("console", r"^modbus gw1 port1 listening addr=\S+ port=(\d+)", 10)
        self.modbus_port = int(mb.group(1)) if mb else None
        return int(m.group(1))

    def describe(self, port):
        """What the banner says of it, a line each."""
        return ["the server console on 127.0.0.1:%d (no status page: tools/simboard.sh --hub has one)" % port]

    def send(self, channel, text):
        """A command to the gateway; its reply shows in the console's lines."""
        self.board.children["console"].send("%s 1 %s" % (channel, text))

    def ask(self, text, timeout):
        """A configuration command's reply, without its line end; None if none came."""
        mark = self.board.events.mark()
        self.send("cfg", text)
        m = self.board.events.wait("console", CFG_REPLY, timeout, mark)
        return m.group(1) if m else None

    def heartbeat_copies(self, timeout):
        m = self.board.events.wait("console", r"^gw1 heartbeat copies=(\d+)", timeout)
        return int(m.group(1)) if m else None


class Hub:
    """trm-hub: the gateway's Modbus exposure, MQTT on a broker, the status
    page and the API on loopback; `keys` (secure.Keys) for the secure link."""
    source = "hub"
    online = r'gateway 127\.0\.0\.101 online from \S+ alias="[^"]*" model="[^"]*" version="V1\.01"'

    def __init__(self, board, keys=None):
        self.board = board
        self.keys = keys
        self.modbus_port = self.http_port = None
        self.broker = None

    def start_broker(self):
        """The embedded broker: mosquitto on a free loopback port."""
        b = self.board
        if b.args.broker:
            host, _, port = b.args.broker.rpartition(":")
            return host or "127.0.0.1", int(port)
        broker = Mosquitto(b.path("sim"), name="broker", on_line=b.on_line, timeout=10)
        b.children["broker"] = broker.proc
        return "127.0.0.1", broker.port

    def start(self):
        b = self.board
        self.broker = self.start_broker()
        gateways = self.keys.hub_gateways() if self.keys else {"listen": "127.0.0.1:0"}
        conf = hubconf.write(b.path("sim", "hub.toml"), hub={"id": "simboard"}, gateways=gateways,
                             registry={"path": b.path("sim", "registry.db")},
                             security={"allow_ids": ["*"]}, http={"listen": "127.0.0.1:0"},
                             mqtt={"host": self.broker[0], "port": self.broker[1]},
                             exposure=[{"gateway": GATEWAY_ID, "port": 1, "kind": "modbus",
                                        "listen": "127.0.0.1:0"}])
        b.start("hub", b.tool("trm-hub") + ["-c", conf])
        m = b.events.wait("hub", r"listening gateways=(?:off|\S+:(\d+)) http=\S+:(\d+) "
                                 r"hub=\S+(?: tls=\S+:(\d+))?", 30)
        if not m:
            raise RuntimeError("the fleet server did not start")
        self.http_port = int(m.group(2))
        self.modbus_port = self.exposure_port()
        return int(m.group(3) if self.keys else m.group(1))

    def exposure_port(self):
        """The port the hub's exposure of the gateway's RS-485 line listens
        on, as its API says (the configuration asks for any free one)."""
        status, body = self.api("GET", "/api/exposures")
        for e in body if status == 200 and isinstance(body, list) else []:
            if e.get("gateway") == GATEWAY_ID and e.get("port") == 1:
                return int(e["listen"].rsplit(":", 1)[1])
        return None

    def describe(self, port):
        """What the banner says of it, a line each."""
        link = "TLS" if self.keys else "plain"
        return ["the fleet server trm-hub: status page http://127.0.0.1:%d/ (the gateway's: /gateway/%s; "
                "API /api/gateways); gateways on its %s port 127.0.0.1:%d" % (self.http_port, GATEWAY_ID, link, port),
                "MQTT broker %s:%d: mosquitto_sub -h %s -p %d -t 'trm/%s/#' -v" % (
                    self.broker[0], self.broker[1], self.broker[0], self.broker[1], GATEWAY_ID)]

    def api(self, method, path, body=None, timeout=10):
        """(status, the answer's JSON or text) of one API call; (None, why) if none."""
        url = "http://127.0.0.1:%d%s" % (self.http_port, path)
        req = urllib.request.Request(url, data=body.encode() if body is not None else None,
                                     method=method)
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                status, text = r.status, r.read().decode(errors="replace")
        except urllib.error.HTTPError as e:
            status, text = e.code, e.read().decode(errors="replace")
        except OSError as e:
            return None, str(e)
        try:
            return status, json.loads(text)
        except ValueError:
            return status, text

    def send(self, channel, text):
        """A command to the gateway through the API; the hub's answer is shown."""
        status, answer = self.api("POST", "/api/gateways/%s/%s" % (GATEWAY_ID, channel), text)
        self.board.log("hub", "%s: %s" % (status, json.dumps(answer) if status else answer))

    def ask(self, text, timeout):
        status, answer = self.api("POST", "/api/gateways/%s/cfg" % GATEWAY_ID, text, timeout)
        if status != 200 or not answer.get("replies"):
            return None
        return answer["replies"][0]

    def heartbeats(self):
        _, text = self.api("GET", "/metrics")
        m = re.search(r'^trm_hub_packets_in_total\{type="heartbeat"\} (\S+)$', str(text), re.M)
        return int(float(m.group(1))) if m else 0

    def heartbeat_copies(self, timeout):
        """The first burst's copies: the count once it stands for a second."""
        if not poll_until(lambda: self.heartbeats() > 0, timeout, step=0.2):
            return None
        seen = self.heartbeats()
        for _ in range(10):  # a burst is over well within that
            time.sleep(1.0)
            now, seen = seen, self.heartbeats()
            if now == seen:
                break
        return seen

    def gateway(self):
        status, g = self.api("GET", "/api/gateways/" + GATEWAY_ID)
        return g if status == 200 else None
