"""Headless Chromium driven through its DevTools protocol on a pipe, for
the hub's page tests and the pages benchmark: requests on its descriptor 3,
answers and events on 4, each a JSON text ended by a NUL byte."""

import json
import os
import shutil
import signal
import subprocess
import tempfile

from .procs import end, spawn
from .wait import wait_until

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe"]


class Browser:
    """Chromium on `url`, attached to its page; with a test case, stopped
    by the case's cleanup (else by close())."""

    def __init__(self, url, case=None, timeout=30.0):
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="hub-chromium-")
        to_r, self.to_w = os.pipe()
        self.from_r, from_w = os.pipe()
        shell = 'exec "$0" "$@" 3<&%d 4>&%d' % (to_r, from_w)
        self.p = spawn(["bash", "-c", shell, CHROMIUM] + FLAGS + ["--user-data-dir=" + self.profile, url],
                       stdout=subprocess.DEVNULL, pass_fds=(to_r, from_w))
        os.close(to_r)
        os.close(from_w)
        if case is not None:
            case.addCleanup(self.close)
        self.buf, self.next_id = b"", 0
        try:
            page = wait_until(lambda: next((t for t in self.call("Target.getTargets")["targetInfos"]
                                            if t["type"] == "page"), None), timeout, what="the page target")
            self.session = self.call("Target.attachToTarget", targetId=page["targetId"], flatten=True)["sessionId"]
        except BaseException:
            if case is None:
                self.close()
            raise

    def call(self, method, session=None, **params):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self.to_w, json.dumps(msg).encode() + b"\0")
        while True:
            while b"\0" not in self.buf:
                chunk = os.read(self.from_r, 65536)
                if not chunk:
                    raise AssertionError("chromium went away")
                self.buf += chunk
            text, self.buf = self.buf.split(b"\0", 1)
            reply = json.loads(text)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise AssertionError(reply["error"])
                return reply["result"]

    def eval(self, expression):
        r = self.call("Runtime.evaluate", self.session, expression=expression, returnByValue=True)
        return r["result"].get("value")

    def close(self):
        """Ends Chromium (its process group, by its PID) and removes its profile."""
        if self.to_w is None:
            return
        end(self.p, signal.SIGKILL, self.timeout)
        os.close(self.to_w)
        os.close(self.from_r)
        self.to_w = None
        shutil.rmtree(self.profile, True)
