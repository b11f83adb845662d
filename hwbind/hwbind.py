"""Watchdog and status LEDs of the TRM-310 from Python, through libhwbind.so.

    import hwbind
    hw = hwbind.HwBind()          # finds libhwbind.so (see find_library)
    hw.wdt_init()
    hw.wdt_enable(5000)           # then hw.wdt_refresh() at least every 5 s
    hw.led_init()
    hw.led_set(1, 1)              # LED 1 on; hw.led_set(1, 0) turns it off

Unlike the bare entry points, which fail silently, the wrapper raises:
OSError when a register window cannot be opened (no access to /dev/mem),
RuntimeError for a call before its init, ValueError for an LED number
outside 1..4 or a number that does not fit a C int. The library's own
operations (SetLED, Refresh_WDT, ...) stay reachable through `hw.lib`.
"""

import ctypes
import os

LIBRARY_NAME = "libhwbind.so"
_GPIO_WINDOW = 0
_WDT_WINDOW = 1
_INT_MIN, _INT_MAX = -2 ** 31, 2 ** 31 - 1


class MappingTable(ctypes.Structure):
    """One register window entry of the library (quarne_mapping_table)."""
    _fields_ = [("pa_base", ctypes.c_long),   # off_t: 32 bits on the board
                ("size", ctypes.c_uint),
                ("mmio_fd", ctypes.c_int),
                ("va_base", ctypes.c_void_p)]


def find_library(path=None):
    """Path of the library: `path` if given, else libhwbind.so beside this
    module, else in the installed layout (<prefix>/lib/python3/dist-packages/
    holds this module, <prefix>/lib/ the library), else the bare name for the
    dynamic loader's own search (LD_LIBRARY_PATH, ld.so.conf)."""
    if path:
        return path
    here = os.path.dirname(os.path.abspath(__file__))
    for candidate in (os.path.join(here, LIBRARY_NAME),
                      os.path.join(here, "..", "..", LIBRARY_NAME)):
        if os.path.isfile(candidate):
            return os.path.normpath(candidate)
    return LIBRARY_NAME


def _c_int(name, value):
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError("%s must be an integer, not %r" % (name, value))
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError("%s out of range: %d" % (name, value))
    return value


class HwBind:
    """The nine entry points of libhwbind.so as methods."""

    def __init__(self, path=None):
        self.path = find_library(path)
        self.lib = ctypes.CDLL(self.path)
        for name in ("py_wdt_init", "py_wdt_disable", "py_wdt_refresh", "py_wdt_reset",
                     "py_wdt_exit", "py_led_init", "py_led_exit"):
            fn = getattr(self.lib, name)
            fn.argtypes, fn.restype = [], None
        self.lib.py_wdt_enable.argtypes, self.lib.py_wdt_enable.restype = [ctypes.c_int], None
        self.lib.py_led_set.argtypes = [ctypes.c_int, ctypes.c_int]
        self.lib.py_led_set.restype = None
        self._windows = (MappingTable * 3).in_dll(self.lib, "quarne_mapping_table")

    def _is_open(self, kind):
        return bool(self._windows[kind].va_base)

    def _require(self, kind, what):
        if not self._is_open(kind):
            raise RuntimeError("%s not initialised: call %s_init() first" % (what, what))

    def _open(self, kind, what, init):
        init()
        if not self._is_open(kind):
            raise OSError("%s: cannot open the register window (no access to /dev/mem?)" % what)

    # --- watchdog ----------------------------------------------------------
    def wdt_init(self):
        self._open(_WDT_WINDOW, "wdt", self.lib.py_wdt_init)

    def wdt_enable(self, ms):
        """Starts the watchdog with a timeout of `ms` milliseconds (1000..5400;
        longer is cut to 5400, shorter keeps the timeout already set)."""
        ms = _c_int("ms", ms)
        self._require(_WDT_WINDOW, "wdt")
        self.lib.py_wdt_enable(ms)

    def wdt_disable(self):
        self._require(_WDT_WINDOW, "wdt")
        self.lib.py_wdt_disable()

    def wdt_refresh(self):
        self._require(_WDT_WINDOW, "wdt")
        self.lib.py_wdt_refresh()

    def wdt_reset(self):
        """Makes the watchdog reset (reboot) the board."""
        self._require(_WDT_WINDOW, "wdt")
        self.lib.py_wdt_reset()

    def wdt_exit(self):
        """Closes the window; a running watchdog keeps running."""
        self.lib.py_wdt_exit()

    # --- LEDs --------------------------------------------------------------
    def led_init(self):
        self._open(_GPIO_WINDOW, "led", self.lib.py_led_init)

    def led_set(self, no, lvl):
        """LED `no` (1..4) on for lvl 1, off for any other value."""
        no = _c_int("no", no)
        lvl = _c_int("lvl", lvl)
        if not 1 <= no <= 4:
            raise ValueError("LED number must be 1..4, not %d" % no)
        self._require(_GPIO_WINDOW, "led")
        self.lib.py_led_set(no, lvl)

    def led_exit(self):
        self.lib.py_led_exit()
