"""The cluster under benchmark: one PostgreSQL of the run's own (or a
SQLite file per hub), one mosquitto, N hubs, HAProxy in front of them for
the gateways that move, and the fleet simulators. Everything is started in
its own session and stopped by its PID in close(), also after a failure."""

import json
import os
import signal
import socket
import time
import urllib.request

from trmkit import hubconf
from trmkit.mosquitto import Mosquitto
from trmkit.pgserver import PgServer
from trmkit.ports import free_port
from trmkit.procs import LineProcess
from trmkit.wait import wait_until
from .procs import Fleet
from .cluster_scale import prefill
from .procstat import ProcStat
from .servers import parse_prometheus


class Hub:
    """One trm-hub: its configuration, process, API and metrics."""

    def __init__(self, rig, idx, registry):
        self.rig, self.idx, self.name = rig, idx, "hub-%d" % (idx + 1)
        self.gw_port, self.http_port = free_port(lasting=True), free_port(lasting=True)
        self.registry, self.proc, self.stat, self.starts, self.start_s = registry, None, None, 0, None
        self.config = hubconf.write(
            os.path.join(rig.work, self.name + ".toml"),
            hub={"id": self.name, "log_level": "warn"},
            gateways={"listen": "127.0.0.1:%d" % self.gw_port, "gap_ms": 0, "max_known": rig.max_known()},
            registry=registry,
            security={"allow_ids": ["10.*"], "connect_rate": 0},
            http={"listen": "127.0.0.1:%d" % self.http_port},
            mqtt={"host": "127.0.0.1", "port": rig.mqtt_port})

    def start(self):
        """Started; start_s: how long it took to say it listens (the registry loaded)."""
        self.starts += 1
        t0 = time.monotonic()
        self.proc = self.rig.keep(LineProcess("%s-%d" % (self.name, self.starts), [self.rig.bin("trm-hub"), "-c", self.config],
                                              self.rig.work, log_dir=self.rig.work))
        self.proc.wait_line(lambda l: "listening gateways=" in l, 600)
        self.start_s = round(time.monotonic() - t0, 2)
        self.stat = ProcStat(self.proc.pid)

    def addr(self):
        return "127.0.0.1:%d" % self.gw_port

    def api(self, method, path, body=None, timeout=20):
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.http_port, path), data=data, method=method)
        if data is not None:
            req.add_header("Content-Type", "application/json")
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return json.loads(r.read())

    def metrics(self):
        """{name: sum over its series} of /metrics."""
        return self.metric_series(sums=True)

    def metric_series(self, sums=False):
        """{'name{labels}': value} of /metrics."""
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % self.http_port, timeout=60) as r:
            return parse_prometheus(r.read().decode())[1 if sums else 0]


class Rig:
    def __init__(self, args, work):
        self.args, self.work = args, work
        self.tools = os.path.join(os.path.abspath(args.build), "tools")
        self.procs, self.hubs, self.fleets = [], [], {}
        self.pg, self.haproxy, self.mqtt_port = None, None, free_port(lasting=True)

    def bin(self, name):
        return os.path.join(self.tools, name)

    def max_known(self):
        """The default, or room for a prefilled registry and the fleet (the cap is per hub)."""
        a = self.args
        return max(100000, -(-(a.prefill + a.hubs * a.per_hub) // a.hubs) + 1000)

    def keep(self, proc):
        self.procs.append(proc)
        return proc

    def start(self):
        self.keep(Mosquitto(self.work, self.mqtt_port, log=os.path.join(self.work, "mosquitto.log")))
        if self.args.registry == "postgresql":
            self.pg = PgServer()
            self.pg.create_db("trm")
        for i in range(self.args.hubs):
            reg = ({"url": self.pg.conninfo("trm"), "wait_s": 60} if self.pg else
                   {"path": os.path.join(self.work, "hub-%d.db" % (i + 1))})
            self.hubs.append(Hub(self, i, reg))
        if self.pg and self.args.prefill:  # the schema made by a first start, then the rows
            self.hubs[0].start()
            self.hubs[0].proc.stop()
            prefill(self.pg, self.args.prefill)
        for h in self.hubs:
            h.start()
        self.start_haproxy()

    def start_haproxy(self):
        """A frontend per hub: its primary server is that hub, the others
        its backups; taking the primary to maintenance moves its gateways."""
        self.ha_sock = os.path.join(self.work, "haproxy.sock")
        self.ha_ports = [free_port(lasting=True) for _ in self.hubs]
        lines = ["global", "    maxconn 9000", "    stats socket %s mode 600 level admin" % self.ha_sock,
                 "defaults", "    mode tcp", "    timeout connect 5s", "    timeout client 5m",
                 "    timeout server 5m", "    timeout check 2s"]
        for i, port in enumerate(self.ha_ports):
            lines += ["frontend via-%d" % (i + 1), "    bind 127.0.0.1:%d" % port,
                      "    default_backend to-%d" % (i + 1), "backend to-%d" % (i + 1),
                      "    balance roundrobin", "    option allbackups"]
            for j, h in enumerate(self.hubs):
                lines.append("    server %s %s check inter 2s fall 2 rise 2 on-marked-down shutdown-sessions%s"
                             % (h.name, h.addr(), "" if j == i else " backup"))
        cfg = os.path.join(self.work, "haproxy.cfg")
        with open(cfg, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.haproxy = self.keep(LineProcess("haproxy", ["haproxy", "-f", cfg, "-db"], self.work, log_dir=self.work))
        wait_until(lambda: os.path.exists(self.ha_sock), 30, step=0.1, what="HAProxy's stats socket")

    def haproxy_cmd(self, command):
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(10)
            s.connect(self.ha_sock)
            s.sendall(command.encode() + b"\n")
            out = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return out.decode()
                out += chunk

    def start_fleet(self, name, servers, n, first_id, source_base):
        a = self.args
        extra = ["--first-id", first_id, "--source-base", source_base, "--stats", "0",
                 "--heartbeat", a.heartbeat, "--burst-fraction", a.burst_fraction, "--reconnect-delay", 500,
                 "--connect-rate", a.connect_rate]
        fleet = Fleet(self.bin("trm-fleet"), servers, n, self.work, self.work, extra, name=name)
        self.fleets[name] = self.keep(fleet)
        return fleet

    def stop_fleet(self, name):
        self.fleets.pop(name).stop()

    def close(self):
        """Stops everything it started, by PID, newest first."""
        for p in reversed(self.procs):
            try:
                p.stop(signal.SIGTERM, timeout=30)
            except Exception as e:  # keep stopping the others
                print("cluster: stopping %s: %s" % (p.name, e))
        if self.pg:
            self.pg.close()
