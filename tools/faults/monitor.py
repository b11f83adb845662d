"""A thread that watches a running daemon from outside: the watchdog
service counter of the register file every ~2 ms, and the daemon's open
descriptors and resident memory every second.

Service gaps are bounded from both sides: with samples at t[i] and counter
changes seen at samples k and m (the next change), the daemon went at least
t[m-1] - t[k] and at most t[m] - t[k-1] without a service. The lower bound
is what is judged, so a late sample on a busy machine never makes a gap."""

import os
import struct
import threading
import time

SAMPLE_S = 0.002
RESOURCE_S = 1.0


def resources(pid):
    """(open descriptors, VmRSS in kB) of a process, or None once it is gone."""
    try:
        fds = len(os.listdir("/proc/%d/fd" % pid))
        with open("/proc/%d/status" % pid) as f:
            rss = next(int(ln.split()[1]) for ln in f if ln.startswith("VmRSS:"))
        return fds, rss
    except (OSError, StopIteration):
        return None


class Monitor(threading.Thread):
    def __init__(self, regfile, offset):
        super().__init__(daemon=True, name="monitor")
        self.fd = os.open(regfile, os.O_RDONLY)
        self.offset = offset
        self.lock = threading.Lock()
        self.pid = None
        self.label = "start"
        self.gaps = []            # (lower bound, upper bound, end time, label) over 0.1 s
        self.longest = (0.0, 0.0, None, None)
        self.samples = []         # (time, fds, rss)
        self.late = 0.0           # longest interval between two samples
        self.stopping = False
        self._reset()

    def _reset(self):
        self.prev_t = self.change_t = self.before_change_t = None
        self.count = None

    def attach(self, pid):
        """Starts watching (again) a daemon; the counter history restarts."""
        with self.lock:
            self.pid = pid
            self._reset()

    def detach(self):
        with self.lock:
            self.pid = None

    def set_label(self, label):
        self.label = label

    def _counter(self):
        return struct.unpack("<I", os.pread(self.fd, 4, self.offset))[0]

    def _sample(self, now):
        count = self._counter()
        if self.prev_t is not None:
            self.late = max(self.late, now - self.prev_t)
        if count != self.count:
            if self.change_t is not None:
                lo, hi = self.prev_t - self.change_t, now - self.before_change_t
                if lo > self.longest[0]:
                    self.longest = (lo, hi, now, self.label)
                if lo > 0.1:
                    self.gaps.append((lo, hi, now, self.label))
            self.count, self.change_t, self.before_change_t = count, now, self.prev_t or now
        self.prev_t = now

    def run(self):
        next_res = 0.0
        while not self.stopping:
            now = time.monotonic()
            with self.lock:
                if self.pid is not None:
                    self._sample(now)
                    if now >= next_res:
                        got = resources(self.pid)
                        if got:
                            self.samples.append((now, got[0], got[1]))
                        next_res = now + RESOURCE_S
            time.sleep(SAMPLE_S)

    def open_gap(self):
        """How long the counter has stood still now (lower bound)."""
        with self.lock:
            if self.change_t is None or self.prev_t is None:
                return 0.0
            return self.prev_t - self.change_t

    def stop(self):
        self.stopping = True
        self.join(timeout=2)
        os.close(self.fd)

    def resource_summary(self, since=0.0):
        s = [x for x in self.samples if x[0] >= since]
        if not s:
            return {}
        # first and last as the least of five samples: a file the daemon
        # has open for a moment must not look like growth
        return {"samples": len(s), "fds_first": min(x[1] for x in s[:5]),
                "fds_last": min(x[1] for x in s[-5:]), "fds_max": max(x[1] for x in s),
                "rss_first_kb": s[0][2], "rss_last_kb": s[-1][2],
                "rss_max_kb": max(x[2] for x in s)}
