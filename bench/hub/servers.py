"""The server under benchmark, behind one small interface: start, stop,
where the gateways connect, Modbus TCP exposures of gateways' port 1, its
counters, and its registry.

HubServer is driven entirely by a profile (JSON, see hub-profile.json):
command line, configuration file (its sections, written as TOML by
trmkit.hubconf), metric names, API addresses. Placeholders {name} in the
profile's strings are replaced by the run's values: build, hub_build,
workdir, config, db, gw_port, http_port, mqtt_port (and, in an exposure's
table, id and tcp_port); a string that is one placeholder alone takes the
value as it is (a port stays a number).

ConsoleServer runs trm-console (8 gateways, 4 Modbus exposures) so the
driver can be tried end to end before the hub exists.
"""

import json
import os
import re
import signal
import urllib.request

from trmkit import hubconf
from trmkit.ports import free_port
from trmkit.procs import LineProcess
from trmkit.wait import wait_until

PLACEHOLDER = re.compile(r"\{([a-z_]+)\}")


def fill(text, values):
    """Replaces {name} for the names in values; other braces stay (TOML, JSON)."""
    return PLACEHOLDER.sub(lambda m: str(values[m.group(1)]) if m.group(1) in values else m.group(0), text)


def fill_all(obj, values):
    if isinstance(obj, str):
        whole = PLACEHOLDER.fullmatch(obj)
        if whole and whole.group(1) in values:
            return values[whole.group(1)]
        return fill(obj, values)
    if isinstance(obj, list):
        return [fill_all(o, values) for o in obj]
    if isinstance(obj, dict):
        return {k: fill_all(v, values) for k, v in obj.items()}
    return obj


def parse_prometheus(text):
    """{'name{labels}': value} and {'name': sum over its series}."""
    series, sums = {}, {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        parts = line.rsplit(None, 1)
        if len(parts) != 2:
            continue
        key = parts[0].replace(" ", "")
        try:
            value = float(parts[1])
        except ValueError:
            continue
        series[key] = value
        name = key.split("{", 1)[0]
        sums[name] = sums.get(name, 0.0) + value
    return series, sums


class HubServer:
    name = "hub"

    def __init__(self, profile_path, build, hub_build, workdir, log_dir):
        with open(profile_path) as f:
            self.profile = json.load(f)
        self.workdir, self.log_dir = workdir, log_dir
        self.max_gateways = self.profile.get("max_gateways", 60000)
        self.max_exposures = self.profile.get("max_exposures", 1000)
        self.values = {"build": build, "hub_build": hub_build, "workdir": workdir, "gw_port": free_port(lasting=True), "http_port": free_port(lasting=True),
                       "mqtt_port": None, "db": os.path.join(workdir, "registry.db"),
                       "config": os.path.join(workdir, self.profile.get("config_name", "hub.conf"))}
        self.exposures = []  # (id, tcp_port)
        self.proc = None
        self.starts = 0

    def needs_broker(self):
        return "{mqtt_port}" in json.dumps(self.profile)

    def set_broker(self, port):
        self.values["mqtt_port"] = port

    def plan_exposures(self, ids):
        """Modbus TCP exposures of port 1 of these gateways (before start)."""
        self.exposures = [(gw, free_port(lasting=True)) for gw in ids]
        return [("127.0.0.1", p) for _, p in self.exposures]

    def write_config(self):
        """The profile's "config" sections, and an [[exposure]] table from
        "exposure_config" for each exposure planned."""
        sections = fill_all(self.profile.get("config", {}), self.values)
        table = self.profile.get("exposure_config")
        if table and self.exposures:
            sections["exposure"] = [fill_all(table, dict(self.values, id=gw, tcp_port=port))
                                    for gw, port in self.exposures]
        hubconf.write(self.values["config"], **sections)

    def start(self):
        if self.starts == 0:
            self.write_config()
        self.starts += 1
        argv = fill_all(self.profile["command"], self.values)
        self.proc = LineProcess("hub-%d" % self.starts, argv, self.workdir, log_dir=self.log_dir)
        wait_until(self.ready, 60, step=0.2, what="the hub to answer %s" % self.profile["ready_url"])
        expose = self.profile.get("expose")
        if expose and not self.profile.get("exposure_config"):
            for gw, port in self.exposures:
                self.http(expose["method"], fill(expose["url"], self.values),
                          fill_all(expose.get("body"), dict(self.values, id=gw, tcp_port=port)))

    def ready(self):
        if not self.proc.alive():
            raise RuntimeError("the hub ended at start: see %s" % self.proc.log.name)
        try:
            self.http("GET", fill(self.profile["ready_url"], self.values))
            return True
        except OSError:
            return False

    def stop(self, sig=signal.SIGTERM):
        return self.proc.stop(sig) if self.proc else None

    @property
    def pid(self):
        return self.proc.pid

    def gateway_addr(self):
        return "127.0.0.1:%d" % self.values["gw_port"]

    def http(self, method, url, body=None):
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(url, data=data, method=method)
        if data is not None:
            req.add_header("Content-Type", "application/json")
        if self.profile.get("token"):
            req.add_header("Authorization", "Bearer " + self.profile["token"])
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.read()

    def counters(self):
        """The profile's counters by our names; None for one the hub lacks."""
        text = self.http("GET", fill(self.profile["metrics_url"], self.values)).decode()
        series, sums = parse_prometheus(text)
        out = {}
        for ours, theirs in self.profile.get("counters", {}).items():
            key = theirs.replace(" ", "")
            out[ours] = series.get(key) if "{" in key else sums.get(key)
        return out

    def registry(self):
        """{id: record} of every gateway the hub has on record."""
        field = self.profile.get("gateway_id_field", "id")
        out, url = {}, fill(self.profile["gateways_url"], self.values)
        while True:  # a paged list (offset) is followed to its end
            body = json.loads(self.http("GET", url + ("&" if "?" in url else "?") + "offset=%d" % len(out)))
            rows = body.get(self.profile.get("gateways_list_field", "gateways"), []) if isinstance(body, dict) else body
            out.update((g[field], g) for g in rows)
            if not rows or not isinstance(body, dict) or len(out) >= body.get("matched", 0):
                return out

    def status_topic(self):
        return self.profile.get("status_topic")

    def burst_topics(self):
        return self.profile.get("burst_topics", [])


class ConsoleServer:
    """trm-console as a stand-in server: its printed lines are its counters."""

    name = "console"
    max_gateways = 8
    max_exposures = 4

    def __init__(self, build, workdir, log_dir):
        self.binary = os.path.join(build, "tools", "trm-console")
        self.workdir, self.log_dir = workdir, log_dir
        self.port = free_port(lasting=True)
        self.tcp_ports = []
        self.proc = None
        self.starts = 0
        self.base = {}

    def needs_broker(self):
        return False

    def plan_exposures(self, ids):
        # The console exposes gateway slots, not IDs: the first gateways to connect.
        self.tcp_ports = [free_port(lasting=True) for _ in ids[:self.max_exposures]]
        return [("127.0.0.1", p) for p in self.tcp_ports]

    def start(self):
        self.starts += 1
        argv = [self.binary, "-p", self.port, "-g", "0", "-k"]
        for slot, port in enumerate(self.tcp_ports, 1):
            argv += ["-m", "%d:1:%d" % (slot, port)]
        self.proc = LineProcess("console-%d" % self.starts, argv, self.workdir, log_dir=self.log_dir, stdin=True)
        self.proc.wait_line(lambda l: l.startswith("listening addr="), 30)

    def stop(self, sig=signal.SIGTERM):
        return self.proc.stop(sig) if self.proc else None

    @property
    def pid(self):
        return self.proc.pid

    def gateway_addr(self):
        return "127.0.0.1:%d" % self.port

    def counters(self):
        lines = list(self.proc.lines)
        rx = sum(int(m.group(1)) for m in (re.search(r" heartbeat copies=(\d+)", l) for l in lines) if m)
        rx += sum(1 for l in lines if re.match(r"gw\d+ (init|data) ", l))
        opened = sum(1 for l in lines if re.match(r"gw\d+ connected", l))
        closed = sum(1 for l in lines if re.match(r"gw\d+ closed", l))
        return {"rx_packets": rx, "malformed": sum(1 for l in lines if " malformed: " in l),
                "online": opened - closed,
                "port1_rx": sum(1 for l in lines if re.match(r"gw\d+ port1 len=\d+ text=\"#", l)),
                "port2_rx": sum(1 for l in lines if re.match(r"gw\d+ port2 len=\d+ text=\"#", l))}

    def registry(self):
        return None

    def burst_topics(self):
        return []
