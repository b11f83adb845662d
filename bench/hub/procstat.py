"""CPU and memory of a running process, from /proc (Linux)."""

import os
import time

TICK = os.sysconf("SC_CLK_TCK")


class ProcStat:
    def __init__(self, pid):
        self.pid = pid
        self.t0 = time.monotonic()
        self.cpu0 = self.cpu_s()
        self.mark()

    def cpu_s(self):
        """User + system CPU seconds so far (0 once the process is gone)."""
        try:
            with open("/proc/%d/stat" % self.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            return 0.0
        return (int(fields[11]) + int(fields[12])) / TICK  # utime, stime

    def status(self, key):
        try:
            with open("/proc/%d/status" % self.pid) as f:
                for line in f:
                    if line.startswith(key + ":"):
                        return int(line.split()[1])  # kB
        except OSError:
            pass
        return 0

    def rss_mb(self):
        return round(self.status("VmRSS") / 1024.0, 1)

    def peak_rss_mb(self):
        return round(self.status("VmHWM") / 1024.0, 1)

    def mark(self):
        self.tm, self.cpum = time.monotonic(), self.cpu_s()

    def cpu_pct_since_mark(self):
        """Share of one core since mark(), in percent."""
        dt = time.monotonic() - self.tm
        return round(100.0 * (self.cpu_s() - self.cpum) / dt, 1) if dt > 0 else 0.0

    def cpu_pct_since_start(self):
        dt = time.monotonic() - self.t0
        return round(100.0 * (self.cpu_s() - self.cpu0) / dt, 1) if dt > 0 else 0.0
