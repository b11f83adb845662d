"""End-to-end with a real broker (mosquitto, started by PID on a free
loopback port) and the real daemon: the retained status, serial bytes both
ways, configuration, virtual COM and verify through topics, the broker going
away and coming back; and a cluster of two hubs behind a TCP load balancer
(played by the test) sharing one broker while the gateway moves between
them and one of them dies."""

import json
import select
import socket
import threading
import time
import unittest

from hubcase import GW_ID, TIMEOUT, Hub, HubCase
from trmkit.wait import wait_until

T = "trm/" + GW_ID + "/"


def online_at(hub_id):
    return lambda p: json.loads(p).get("online") is True and json.loads(p).get("hub") == hub_id


class Balancer:
    """A TCP relay to one hub at a time. cut() drops the gateway's side of
    every relayed connection but leaves the hub's side open, as a cellular
    drop does: the hub sees nothing."""

    def __init__(self, target):
        self.target, self.pairs, self.stopped = target, [], False
        self.lock, self.held = threading.Lock(), []
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopped:
            with self.lock:
                socks = [self.sock] + [s for p in self.pairs for s in p if s.fileno() >= 0]
            ready, _, _ = select.select(socks, [], [], 0.05)
            with self.lock:
                self._serve(ready)

    def _serve(self, ready):
        for s in ready:
            if s is self.sock:
                gw, _ = self.sock.accept()
                try:
                    self.pairs.append((gw, socket.create_connection(("127.0.0.1", self.target))))
                except OSError:
                    gw.close()
                continue
            for a, b in self.pairs:
                if s.fileno() < 0 or (s is not a and s is not b):
                    continue
                try:
                    data = s.recv(65536)
                    (b if s is a else a).sendall(data)
                except OSError:
                    data = b""
                if not data:
                    a.close()
                    b.close()

    def cut(self):
        with self.lock:
            for gw, hub_side in self.pairs:
                gw.close()
                self.held.append(hub_side)
            self.pairs = []

    def close(self):
        self.stopped = True
        self.thread.join(5)
        for s in [self.sock] + self.held + [s for p in self.pairs for s in p]:
            s.close()


class Broker(HubCase):
    def test_status_bytes_and_commands_through_topics_while_the_broker_comes_and_goes(self):
        broker = self.need_broker()
        sub = broker.subscribe("trm/#")
        rs232 = self.sb.add_pty("/dev/ttyS2")
        hub = Hub(self, "--mqtt", "127.0.0.1:%d" % broker.port, "--admit-all", "--hub-id", "hub-a")
        sub.wait("trm/hub/hub-a/status", lambda p: json.loads(p)["online"])
        self.start_daemon(hub.port)
        status = json.loads(sub.wait(T + "status", online_at("hub-a")))
        self.assertEqual((status["alias"], status["version"], status["signal"], status["network"]),
                         ("KX-7700", "V1.01", 71, 0))
        self.log(rb"--> socket write: init data")

        rs232.write(b"burst\x00\xff")
        self.assertEqual(sub.wait(T + "port2/rx"), b"burst\x00\xff")
        broker.publish(T + "port2/tx", b"to\x00line")
        self.assertEqual(rs232.read(TIMEOUT, want=7), b"to\x00line")
        broker.publish(T + "cfg", "@CSQ")
        self.assertEqual(sub.wait(T + "cfg/reply"), b"!CSQ;71;0\r\n")
        broker.publish(T + "vcom", "00")
        self.assertEqual(sub.wait(T + "vcom/reply"), b"OK\r")
        broker.publish(T + "verify", "3 4")
        reply = json.loads(sub.wait(T + "verify/reply"))
        self.assertEqual((reply["answer"], reply["match"]), (5 * 3 * 4 + 3 * 4 * 4 - 11, True))

        # The broker goes away: bursts wait (bounded), and everything comes
        # back once it is there again, the retained status included.
        broker.stop()
        wait_until(lambda: hub.metric("trm_hub_mqtt_connected") == 0, what="the hub to notice")
        rs232.write(b"while away")
        wait_until(lambda: hub.metric("trm_hub_mqtt_queued") == 1, what="the burst to wait")
        broker.start()
        sub2 = broker.subscribe("trm/#")
        self.assertEqual(sub2.wait(T + "port2/rx", timeout=60), b"while away")
        self.assertTrue(json.loads(sub2.wait(T + "status"))["online"])

        self.kill_daemon()
        self.daemon = None
        sub2.wait(T + "status", lambda p: json.loads(p)["online"] is False)
        self.assertEqual(hub.terminate(), 0)
        sub2.wait("trm/hub/hub-a/status", lambda p: not json.loads(p)["online"])

    def test_two_hubs_one_broker_and_a_gateway_that_moves(self):
        broker = self.need_broker()
        sub = broker.subscribe(T + "#", "trm/hub/+/status")
        mqtt = ("--mqtt", "127.0.0.1:%d" % broker.port, "--admit-all")
        hub_a = Hub(self, *mqtt, "--hub-id", "hub-a", name="a")
        hub_b = Hub(self, *mqtt, "--hub-id", "hub-b", name="b")
        lb = Balancer(hub_a.port)
        self.addCleanup(lb.close)
        self.start_daemon(lb.port)
        sub.wait(T + "status", online_at("hub-a"))

        # A cellular drop hub-a does not see; the balancer sends the
        # gateway's next connection to hub-b.
        lb.target = hub_b.port
        lb.cut()
        sub.wait(T + "status", online_at("hub-b"))
        hub_a.proc.wait_for(rb"gateway %s is held by hub hub-b now" % GW_ID.encode(), TIMEOUT)
        time.sleep(0.5)  # a quiet span: no stray offline from hub-a may follow
        after = [json.loads(p) for _, _, p in sub.messages(T + "status")]
        after = after[next(i for i, s in enumerate(after) if s["hub"] == "hub-b" and s["online"]):]
        self.assertTrue(all(s["online"] and s["hub"] == "hub-b" for s in after), after)
        self.assertEqual(hub_a.gateway()["state"], "offline")

        # A command published once is carried out once, by the holder.
        broker.publish(T + "vcom", "00")
        sub.wait(T + "vcom/reply")
        time.sleep(0.5)  # a quiet span: a second reply (from hub-a) must not follow
        self.assertEqual([p for _, _, p in sub.messages(T + "vcom/reply")], [b"OK\r"])

        # The holder dies: its will tells, and the other hub clears the
        # status it left behind.
        hub_b.proc.kill()
        sub.wait(T + "status", lambda p: json.loads(p).get("cleared_by") == "hub-a")
        self.assertFalse(sub.status(T + "status")["online"])


if __name__ == "__main__":
    unittest.main()
