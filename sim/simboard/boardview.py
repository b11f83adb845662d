"""What the simulated board's hardware shows, read from its register file:
status LED 1 (GPIO line 84, lit when low) and the watchdog (control byte,
services counted by the sandbox build, reset requests), with the watchdog's
own behaviour: once enabled, a board that is not serviced within the
timeout is reset.
"""

import mmap
import os
import struct
import threading
import time

GPIO_BASE = 0x40E00000
BOARD_BASE = 0x17000000
GPLR2 = GPIO_BASE + 0x008
LED1_BIT = 1 << 20                    # GPIO line 84
WDT_CONTROL = BOARD_BASE + 0x0000
WDT_SERVICE = BOARD_BASE + 0xF000
WDT_SERVICE_COUNT = BOARD_BASE + 0xF004
WDT_ENABLE = 0x80


def timeout_ms(control):
    """Timeout of a control byte: code c (1..23) stands for (c + 4) x 200 ms."""
    code = control & 0x1F
    if code < 1 or code > 23:
        return None
    return (code + 4) * 200


class BoardView:
    """Polls the register file; calls on_event(text) for what a person
    would notice, and on_reset(reason) when the watchdog resets the board
    (from this object's own thread, which lives as long as the board: the
    programs it starts again die with their starting thread)."""

    def __init__(self, register_file, on_event, on_reset, period=0.02):
        self.path = register_file
        self.on_event = on_event
        self.on_reset = on_reset
        self.period = period
        self.led_on = None
        self.led_changes = []            # monotonic times of LED toggles
        self.control = 0
        self.services = 0
        self.last_service = time.monotonic()
        self.resets = 0
        self.stopping = False
        self.lock = threading.Lock()
        f = open(self.path, "r+b")
        self.map = mmap.mmap(f.fileno(), GPIO_BASE + 0x00100000)
        f.close()
        self.thread = threading.Thread(target=self._run, name="boardview", daemon=True)
        self.thread.start()

    def _u32(self, addr):
        return struct.unpack_from("<I", self.map, addr)[0]

    def _u8(self, addr):
        return self.map[addr]

    def led_period_ms(self):
        """Mean time between the last few LED toggles, or None."""
        with self.lock:
            t = self.led_changes[-6:]
        if len(t) < 3:
            return None
        return 1000.0 * (t[-1] - t[0]) / (len(t) - 1)

    def snapshot(self):
        with self.lock:
            return {"led_on": self.led_on, "led_period_ms": None, "control": self.control,
                    "services": self.services, "resets": self.resets}

    def power_on(self):
        """After a reset: the watchdog is off and the service register clear."""
        with self.lock:
            self.map[WDT_CONTROL] = 0
            self.map[WDT_SERVICE] = 0
            self.last_service = time.monotonic()
            self.control = 0

    def _run(self):
        while not self.stopping:
            self._poll()
            time.sleep(self.period)

    def _poll(self):
        now = time.monotonic()
        led = (self._u32(GPLR2) & LED1_BIT) == 0
        control = self._u8(WDT_CONTROL)
        services = self._u32(WDT_SERVICE_COUNT)
        reset_write = self._u8(WDT_SERVICE) == 1
        reason = None
        with self.lock:
            if led != self.led_on:
                if self.led_on is not None:
                    self.led_changes.append(now)
                    del self.led_changes[:-20]
                self.led_on = led
            if control != self.control:
                self.control = control
                self.on_event("watchdog control register = 0x%02X (%s)" % (
                    control, "enabled, timeout %s ms" % timeout_ms(control)
                    if control & WDT_ENABLE else "disabled"))
            if services != self.services:
                self.services = services
                self.last_service = now
            limit = timeout_ms(control)
            if reset_write:
                reason = "reset requested through the watchdog"
            elif control & WDT_ENABLE and limit and (now - self.last_service) * 1000 > limit:
                reason = "watchdog not serviced for %d ms" % limit
            if reason:
                self.resets += 1
        if reason:
            self.on_reset(reason)  # stops the programs, calls power_on, starts them again

    def close(self):
        self.stopping = True
        self.thread.join(timeout=2)
        self.map.close()
