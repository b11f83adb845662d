"""Checks the simulated gateways' serial bursts where a server delivers them
(MQTT topics trm/<id>/port<p>/rx): each burst is "#<id>/<port>/<seq>/<len>:"
and filler bytes 'a' + (seq + i) % 26, numbered from 0 per gateway and
port; a gap in the numbers is a lost burst, anything else a misframed one."""

import json
import re
import threading

from trmkit.procs import LineProcess

HEAD = re.compile(r"#([0-9.]+)/([12])/(\d+)/(\d+):")
TOPIC = re.compile(r"trm/([^/]+)/port([12])/rx$")
STATUS = re.compile(r"trm/([0-9.]+)/status$")


def check_payload(topic, payload):
    """(id, port, seq) of a sound burst, or None."""
    t = TOPIC.match(topic)
    m = HEAD.match(payload)
    if not t or not m or t.group(1) != m.group(1) or t.group(2) != m.group(2):
        return None
    seq, length = int(m.group(3)), int(m.group(4))
    fill = payload[m.end():]
    if len(payload) != length:
        return None
    want = "".join(chr(ord("a") + (seq + i) % 26) for i in range(len(fill)))
    return (m.group(1), int(m.group(2)), seq) if fill == want else None


class BurstChecker:
    """Subscribes with mosquitto_sub and judges every burst as it comes."""

    def __init__(self, port, topics, cwd, log_dir, status_topic=None):
        argv = ["mosquitto_sub", "-h", "127.0.0.1", "-p", port, "-v", "-q", "1"]
        for t in topics + ([status_topic] if status_topic else []):
            argv += ["-t", t]
        self.online = {}  # gateway ID: online in its last status
        self.proc = LineProcess("bursts", argv, cwd, log_dir=log_dir)
        self.next_seq = {}
        self.received = self.misframed = self.lost = self.repeated = 0
        self.done = 0
        self.lock = threading.Lock()

    def poll(self):
        """Judges the lines that came since the last call; the totals."""
        lines = self.proc.lines[self.done:]
        self.done += len(lines)
        with self.lock:
            for line in lines:
                topic, _, payload = line.partition(" ")
                if topic.endswith("/status"):
                    self.status(topic, payload)
                    continue
                got = check_payload(topic, payload)
                self.received += 1
                if got is None:
                    self.misframed += 1
                    continue
                key, seq = got[:2], got[2]
                want = self.next_seq.get(key, 0)
                if seq < want:
                    self.repeated += 1
                else:
                    self.lost += seq - want
                    self.next_seq[key] = seq + 1
            return {"received": self.received, "misframed": self.misframed, "lost": self.lost,
                    "repeated": self.repeated}

    def status(self, topic, payload):
        t = STATUS.match(topic)
        try:
            if t:
                self.online[t.group(1)] = json.loads(payload).get("online") is True
        except ValueError:
            pass

    def statuses_online(self):
        """Gateways whose last status on the broker says online."""
        self.poll()
        return sum(1 for v in self.online.values() if v)

    def stop(self):
        self.proc.stop()
