"""An MQTT broker of a run's own: mosquitto on loopback, its configuration
in the run's folder (anonymous, no persistence), started and stopped by its
PID, ready once its port accepts; stop() and start() keep the port.

Started as root it stays root: mosquitto would otherwise change to its own
user, and a change of user clears the signal that ends a child with the
process that started it (procs.die_with_parent), leaving the broker
orphaned when its starter is killed outright."""

import os
import signal

from .ports import free_port
from .procs import LineProcess, wait_port


class Mosquitto:
    def __init__(self, workdir, port=None, name="mosquitto", log=None, on_line=None,
                 timeout=30.0, start=True):
        self.workdir, self.name, self.log, self.on_line = workdir, name, log, on_line
        self.port = port or free_port(lasting=True)
        self.timeout, self.proc = timeout, None
        self.conf = os.path.join(workdir, "%s.conf" % name)
        with open(self.conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % self.port)
            if os.geteuid() == 0:
                f.write("user root\n")
        if start:
            self.start()

    def start(self):
        self.proc = LineProcess(self.name, ["mosquitto", "-c", self.conf], self.workdir,
                                log=self.log, on_line=self.on_line)
        try:
            wait_port(self.port, timeout=self.timeout, proc=self.proc.proc, what="mosquitto")
        except BaseException:
            self.stop(signal.SIGKILL)
            raise

    def alive(self):
        return self.proc is not None and self.proc.alive()

    def stop(self, sig=signal.SIGTERM, timeout=None):
        """Ends the broker by its PID (SIGKILL: as a crash would); its status."""
        return self.proc.stop(sig, timeout) if self.proc else None
