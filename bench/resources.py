"""What a forwarder costs: CPU time, wake-ups, system calls, memory, heap
calls. Everything is read from /proc of the processes the bench started
(summed over their threads), or from strace attached to them."""

import glob
import os
import re
import signal
import struct
import subprocess
import tempfile
import time

WAIT_CALLS = ("poll", "ppoll", "select", "pselect6", "epoll_wait", "epoll_pwait", "epoll_pwait2")


def _tasks(pid):
    return glob.glob("/proc/%d/task/*" % pid)


def cpu_ns(pids):
    """On-CPU time in ns (schedstat: exact, where stat counts whole ticks)."""
    total = 0
    for pid in pids:
        for task in _tasks(pid):
            try:
                with open(task + "/schedstat") as f:
                    total += int(f.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass
    return total


def switches(pids):
    """Voluntary + involuntary context switches: the wake-ups."""
    total = 0
    for pid in pids:
        for task in _tasks(pid):
            try:
                with open(task + "/status") as f:
                    for ln in f:
                        if ln.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                            total += int(ln.split()[1])
            except OSError:
                pass
    return total


class Window:
    """CPU share (% of one core) and wake-ups per second of `pids` between
    start and stop."""

    def __init__(self, pids):
        self.pids = list(pids)
        self.t0, self.c0, self.w0 = time.monotonic_ns(), cpu_ns(self.pids), switches(self.pids)

    def stop(self):
        """The figures from the start until now (the window may go on)."""
        dt, cpu = max(1, time.monotonic_ns() - self.t0), cpu_ns(self.pids) - self.c0
        return {"cpu_pct": 100.0 * cpu / dt, "cpu_s": cpu / 1e9,
                "wakeups_per_s": (switches(self.pids) - self.w0) * 1e9 / dt,
                "seconds": dt / 1e9}


def idle(pids, seconds, tick=None):
    w = Window(pids)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if tick:
            tick(min(0.1, end - time.monotonic()))
        else:
            time.sleep(min(0.1, end - time.monotonic()))
    return w.stop()


def strace_counts(pids, seconds, tick=None):
    """System calls of `pids` over a window: {"total", "per_s", "calls":
    {name: n}, "passes", "per_pass"}; None when strace cannot attach."""
    out = tempfile.NamedTemporaryFile(prefix="trm310-bench-strace-", delete=False).name
    argv = ["strace", "-c", "-f", "-o", out] + [a for pid in pids for a in ("-p", str(pid))]
    try:
        tr = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except OSError:
        return None
    time.sleep(0.3)  # attached
    t0 = time.monotonic()
    end = t0 + seconds
    while time.monotonic() < end:
        (tick or time.sleep)(min(0.1, end - time.monotonic()))
    span = time.monotonic() - t0
    tr.send_signal(signal.SIGINT)
    try:
        tr.wait(timeout=10)
    except subprocess.TimeoutExpired:
        tr.kill()
        tr.wait()
    with open(out) as f:
        text = f.read()
    os.unlink(out)
    if b"attached" not in tr.stderr.read():
        return None  # no permission to trace (an empty summary is no calls)
    calls = {}
    for ln in text.splitlines():
        m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$", ln)
        if m and m.group(2) != "total":
            calls[m.group(2)] = int(m.group(1))
    total = sum(calls.values())
    passes = max((calls.get(c, 0) for c in WAIT_CALLS), default=0)
    return {"total": total, "per_s": total / span, "calls": calls, "passes": passes,
            "per_pass": total / passes if passes else None, "seconds": span}


def memory(pid):
    """RSS and PSS (KiB) now, and the peak RSS (VmHWM)."""
    out = {}
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for ln in f:
                k = ln.split(":")[0]
                if k in ("Rss", "Pss", "Private_Dirty", "Shared_Clean"):
                    out[k.lower() + "_kib"] = int(ln.split()[1])
        with open("/proc/%d/status" % pid) as f:
            for ln in f:
                if ln.startswith("VmHWM"):
                    out["hwm_kib"] = int(ln.split()[1])
    except OSError:
        return None
    return out


def memory_sum(pids):
    parts = [m for m in (memory(p) for p in pids) if m]
    return {k: sum(m.get(k, 0) for m in parts) for k in parts[0]} if parts else None


ALLOC_FIELDS = ("malloc", "calloc", "realloc", "free", "aligned", "total")


def read_alloc(path):
    try:
        with open(path, "rb") as f:
            return dict(zip(ALLOC_FIELDS, struct.unpack("=6Q", f.read(48))))
    except (OSError, struct.error):
        return None


def alloc_shim(build, workdir):
    """The heap-call counter library: the one CMake built beside the
    daemon, else compiled here with cc; None when neither works."""
    built = os.path.join(build, "bench", "libtrm_alloccount.so")
    if os.path.exists(built):
        return built
    out = os.path.join(workdir, "libtrm_alloccount.so")
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "alloccount.c")
    rc = subprocess.call(["cc", "-O2", "-shared", "-fPIC", "-o", out, src],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out if rc == 0 else None


def idle_floor(build, workdir):
    """The idle floor program (bench/idle_floor.c): the one CMake built,
    else compiled here with cc; None when neither works."""
    built = os.path.join(build, "bench", "trm_idle_floor")
    if os.access(built, os.X_OK):
        return built
    out = os.path.join(workdir, "trm_idle_floor")
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "idle_floor.c")
    rc = subprocess.call(["cc", "-O2", "-o", out, src], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out if rc == 0 else None
