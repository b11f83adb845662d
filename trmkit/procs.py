"""Programs a test, a benchmark or a simulation starts: each in a session
of its own (its PID is its process group), ended by that PID, never by a
name: the signal asked for (SIGTERM by default), then SIGKILL after a
grace. Readiness is waited for, never slept for: a line of output
(Process.wait_for, LineProcess.wait_line, FileProcess.wait_text) or a port
(wait_port).

  Process       output read from a non-blocking pipe when the caller asks
                (end-to-end tests: one thread, everything polled)
  LineProcess   output read line by line by a thread: kept, logged to a
                file, handed to a callback (benchmarks, the simulated board)
  FileProcess   output straight to a file, nothing to drain while it runs
"""

import ctypes
import fcntl
import os
import re
import select
import signal
import subprocess
import sys
import threading
import time

from .ports import accepts
from .wait import wait_until

PR_SET_PDEATHSIG = 1
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # the repository's


def module_argv(module, *args):
    """The command that runs a module of this repository in a child Python
    (python3 -m bench.feeder ...); start it with module_env()."""
    return [sys.executable, "-m", module] + [str(a) for a in args]


def module_env(env=None):
    """`env` (by default this process's) with the repository's root first
    on PYTHONPATH: a child finds trmkit and the packages from any folder."""
    env = dict(os.environ if env is None else env)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (ROOT, env.get("PYTHONPATH")) if p)
    return env


def die_with_parent():
    """Child side of a start: the program ends when the process that
    started it does, even when that one is killed outright. The kernel
    sends the signal when the starting THREAD ends: start programs from a
    thread that lives as long as they should."""
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def spawn(argv, cwd=None, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
          stderr=subprocess.STDOUT, env=None, **kw):
    """subprocess.Popen in a new session, ending with its starter."""
    return subprocess.Popen([str(a) for a in argv], cwd=cwd, stdin=stdin, stdout=stdout,
                            stderr=stderr, env=env, start_new_session=True,
                            preexec_fn=die_with_parent, **kw)


def signal_pid(proc, sig, group=True):
    """Sends `sig` to the started process (and its group); gone is fine."""
    try:
        if group:
            os.killpg(proc.pid, sig)
        else:
            os.kill(proc.pid, sig)
    except ProcessLookupError:
        pass


def end(proc, sig=signal.SIGTERM, grace=10.0, group=True):
    """Ends a started process by its PID: `sig`, then SIGKILL when it has
    not ended within `grace` seconds; its exit status."""
    if proc.poll() is None:
        signal_pid(proc, sig, group)
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            signal_pid(proc, signal.SIGKILL, group)
            proc.wait(timeout=10)
    return proc.returncode


def children(pid):
    """The PIDs whose parent is `pid` now (from /proc)."""
    out = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        out.append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    return out


def wait_port(port, host="127.0.0.1", timeout=30.0, proc=None, what=None):
    """Waits until host:port accepts a connection; a process `proc` that
    ends meanwhile ends the wait with an error."""
    def up():
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("%s ended (status %s) before %s:%d accepted"
                               % (what or proc.args[0], proc.returncode, host, port))
        return accepts(port, host)
    wait_until(up, timeout, step=0.05, what="%s on %s:%d" % (what or "a listener", host, port))


class Process:
    """A program started by a test; its output collected from a pipe as
    the test polls for it."""

    def __init__(self, argv, cwd, stdin=subprocess.DEVNULL, env=None):
        self.argv = [str(a) for a in argv]
        self.proc = spawn(self.argv, cwd, stdin=stdin, env=env)
        self.pid = self.proc.pid
        fl = fcntl.fcntl(self.proc.stdout, fcntl.F_GETFL)
        fcntl.fcntl(self.proc.stdout, fcntl.F_SETFL, fl | os.O_NONBLOCK)
        self.output = b""
        self._seen = 0

    def poll_output(self, timeout=0.0):
        r, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if r:
            try:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
            except BlockingIOError:
                chunk = b""
            self.output += chunk
            return bool(chunk)
        return False

    def wait_for(self, pattern, timeout=10.0, after_last=True):
        """Waits until `pattern` (bytes regex) appears in the output after the
        last match; returns the match. Raises AssertionError on time-out."""
        if isinstance(pattern, str):
            pattern = pattern.encode()
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            start = self._seen if after_last else 0
            m = rx.search(self.output, start)
            if m:
                self._seen = m.end()
                return m
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out waiting for %r; output so far:\n%s"
                                     % (pattern, self.output.decode(errors="replace")[-3000:]))
            if not self.poll_output(min(left, 0.05)) and self.proc.poll() is not None:
                # drain what is left, then give up on a dead process
                while self.poll_output(0):
                    pass
                m = rx.search(self.output, self._seen if after_last else 0)
                if m:
                    self._seen = m.end()
                    return m
                raise AssertionError("process %s ended (status %s) before %r; output:\n%s"
                                     % (self.argv, self.proc.returncode, pattern,
                                        self.output.decode(errors="replace")[-3000:]))

    def collect(self, seconds):
        end_at = time.monotonic() + seconds
        while time.monotonic() < end_at:
            self.poll_output(max(0.0, min(0.05, end_at - time.monotonic())))
        return self.output

    def wait_exit(self, timeout=10.0):
        end_at = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < end_at:
            self.poll_output(0.05)
        while self.poll_output(0):
            pass
        if self.proc.poll() is None:
            raise AssertionError("process %s still running after %ss" % (self.argv, timeout))
        return self.proc.returncode

    def kill(self, timeout=30.0):
        """Ends it at once, as a crash or a power cut would (SIGKILL to its
        group, by its PID); its output stays readable."""
        return end(self.proc, signal.SIGKILL, timeout)

    def stop(self, sig=signal.SIGKILL, grace=10.0):
        """Ends the process (by its PID) and its process group, at once
        unless another signal is asked for; again is harmless."""
        if self.proc.stdout.closed:
            return
        end(self.proc, sig, grace)
        while self.poll_output(0):
            pass
        self.proc.stdout.close()


class LineProcess:
    """A program whose output a thread reads line by line: every line kept
    in .lines, written to the file `log` (when given, appended), and handed
    to on_line(self, line) (when given); log_dir: the log is <log_dir>/<name>.log.
    stop() sends SIGTERM, then SIGKILL after `grace` seconds; group=False
    signals the PID alone."""

    def __init__(self, name, argv, cwd=None, log=None, on_line=None, stdin=False, env=None,
                 grace=20.0, group=True, log_dir=None):
        self.name, self.on_line, self.grace, self.group = name, on_line, grace, group
        self.argv = [str(a) for a in argv]
        log = os.path.join(log_dir, name + ".log") if log_dir else log
        self.log = open(log, "ab") if log else None
        self.proc = spawn(self.argv, cwd, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                          env=env)
        self.pid = self.proc.pid
        self.lines = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, name=name, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in iter(self.proc.stdout.readline, b""):
            if self.log:
                self.log.write(raw)
                self.log.flush()
            line = raw.decode(errors="replace").rstrip("\r\n").replace("\r", "")
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()
            if self.on_line:
                self.on_line(self, line)

    def send(self, line):
        """One line to its standard input; a program that has gone is fine."""
        try:
            self.proc.stdin.write(line.encode() + b"\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError, AttributeError):
            pass

    def wait_line(self, pred, timeout, start=0):
        """The first line from index start on with pred(line) true; its index and text."""
        end_at = time.monotonic() + timeout
        with self.cond:
            i = start
            while True:
                while i < len(self.lines):
                    if pred(self.lines[i]):
                        return i, self.lines[i]
                    i += 1
                left = end_at - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self.reader.is_alive()):
                    raise TimeoutError("%s: no such line within %.0fs; last: %s"
                                       % (self.name, timeout, self.lines[-5:]))
                self.cond.wait(min(left, 0.2))

    def alive(self):
        return self.proc.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout=None):
        """Ends the program by its PID (SIGKILL after the grace); its status."""
        status = end(self.proc, sig, self.grace if timeout is None else timeout, self.group)
        self.reader.join(timeout=5)
        if not self.reader.is_alive():  # else a child of its own still holds the pipe
            for stream in (self.proc.stdout, self.proc.stdin, self.log):
                if stream:
                    stream.close()
        return status


class FileProcess:
    """A program whose output goes straight to the file `log` (nothing to
    drain while it runs); stopped by its PID with SIGKILL."""

    def __init__(self, argv, cwd, log):
        self.log = log
        with open(log, "wb") as out:
            self.proc = spawn(argv, cwd, stdout=out)
        self.pid = self.proc.pid

    def text(self):
        with open(self.log, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_text(self, needle, timeout):
        def seen():
            if needle in self.text():
                return True
            if self.proc.poll() is not None:
                raise RuntimeError("%s ended before %r; output:\n%s"
                                   % (self.proc.args[0], needle, self.text()[-2000:]))
            return False
        wait_until(seen, timeout, step=0.02, what="%r from %s" % (needle, self.proc.args[0]))

    def stop(self, sig=signal.SIGKILL, grace=10.0):
        return end(self.proc, sig, grace, group=False)
