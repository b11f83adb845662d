"""libhwbind.so: its exported names, and the library driven from a real
scripting host (Python's ctypes) against the sandbox register file.

Every scenario runs in a Python child process whose working directory is a
fresh sandbox: the window table is per process, a failed mapping ends the
host, and a sanitizer build must preload its runtime into the host.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from trmkit.sandbox import (Sandbox, GPIO_BASE, WINDOW_SIZE, WDT_CONTROL, WDT_SERVICE,
                            emulator)

BOARD_LIB = os.environ.get("TRM_HWBIND_LIB", "")
SANDBOX_LIB = os.environ.get("TRM_HWBIND_SANDBOX_LIB", "")
MODULE_DIR = os.environ.get("TRM_SANDBOX_BIN", "")
CROSS_BUILD = bool(emulator())
SANITIZE = os.environ.get("TRM_SANITIZE") == "1"

GPSR2 = GPIO_BASE + 0x020
GPCR2 = GPIO_BASE + 0x02C

ENTRY_POINTS = {
    "py_wdt_init", "py_wdt_enable", "py_wdt_disable", "py_wdt_refresh", "py_wdt_reset",
    "py_wdt_exit", "py_led_init", "py_led_set", "py_led_exit",
}
LIBRARY_INTERFACE = {
    "mmio_init", "mmio_map", "mmio_destroy",
    "gpio_init", "gpio_exit", "getGPIO", "setOGPIO", "clearOGPIO", "setGPIO",
    "setFunGPIO", "setDirGPIO", "led_init", "led_exit", "SetLED",
    "wdt_init", "wdt_exit", "Enable_WDT", "Disable_WDT", "Refresh_WDT", "Reset_WDT",
    "quarne_mapping_table", "wdt_device", "open_flags",
}

# Start of every host script (its PYTHONPATH the sandbox folder, where the
# Python module is): the sandbox library.
PRELUDE = """
import ctypes, os, sys
lib = ctypes.CDLL(%r)
""" % SANDBOX_LIB


def defined_dynamic_symbols(path):
    nm = os.environ.get("TRM_NM") or "nm"
    out = subprocess.run([nm, "-D", "--defined-only", path], check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


class ExportedNames(unittest.TestCase):
    """Exactly the entry points and the library interface, undecorated."""

    def check_exports(self, path):
        self.assertTrue(os.path.isfile(path), path)
        self.assertEqual(defined_dynamic_symbols(path), ENTRY_POINTS | LIBRARY_INTERFACE)

    def test_board_library_exports_exactly_the_interface(self):
        self.check_exports(BOARD_LIB)

    def test_sandbox_library_exports_the_same_names(self):
        if not SANDBOX_LIB:
            self.skipTest("build without sandbox copies")
        self.check_exports(SANDBOX_LIB)

    def test_library_needs_nothing_but_the_c_library(self):
        if SANITIZE:
            self.skipTest("sanitizer build links the sanitizer runtimes")
        readelf = os.environ.get("TRM_READELF") or "readelf"
        out = subprocess.run([readelf, "-d", BOARD_LIB], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        needed = [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]
        self.assertEqual(needed, ["libc.so.6"])


class HostCase(unittest.TestCase):
    """A sandbox with a register file, and a way to run host scripts in it."""

    def setUp(self):
        if CROSS_BUILD:
            self.skipTest("cross build: an ARM library cannot be loaded into the build "
                          "host's Python; exported names checked with nm here, and the "
                          "library is driven under the emulator by hwbind_dlopen_test")
        if not SANDBOX_LIB:
            self.skipTest("build without sandbox copies")
        self.sb = Sandbox(prefix="trm310-hwbind-")
        self.addCleanup(self.sb.close)
        self.sb.make_register_file()

    def host(self, code, timeout=30.0):
        """Runs `code` after PRELUDE in a Python child; returns (status, output)."""
        env = ["/usr/bin/env", "PYTHONPATH=" + MODULE_DIR]
        preload = os.environ.get("TRM_HWBIND_PRELOAD", "")
        if preload:
            env += ["LD_PRELOAD=" + preload, "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"]
        p = self.sb.start_host(env + [sys.executable, "-c", PRELUDE + code])
        status = p.wait_exit(timeout)
        return status, p.output.decode(errors="replace")

    def host_ok(self, code):
        status, out = self.host(code)
        self.assertEqual(status, 0, out)
        return out

    def gpio_window(self):
        with open(self.sb.board("/dev/mem"), "rb") as f:
            f.seek(GPIO_BASE)
            return f.read(WINDOW_SIZE)


class WatchdogEntryPoints(HostCase):
    def test_enable_writes_timeout_code_then_enable_bit_and_exit_leaves_it_running(self):
        self.sb.write8(WDT_CONTROL, 0xFF)  # every bit of the old byte must go
        self.host_ok("lib.py_wdt_init(); lib.py_wdt_enable(5000); lib.py_wdt_exit()")
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0x95)
        self.assertEqual(self.sb.wdt_services(), 0)
        # disable clears only the enable bit: the code written was 0x15
        self.host_ok("lib.py_wdt_init(); lib.py_wdt_disable(); lib.py_wdt_exit()")
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0x15)

    def test_long_and_short_timeouts(self):
        self.host_ok("lib.py_wdt_init(); lib.py_wdt_enable(60000)")
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0x97)
        self.sb.write8(WDT_CONTROL, 0x05)
        self.host_ok("lib.py_wdt_init(); lib.py_wdt_enable(500)")
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0x85)  # code kept, started

    def test_refresh_services_once_per_call_and_reset_writes_one(self):
        self.host_ok("lib.py_wdt_init()\nfor _ in range(3): lib.py_wdt_refresh()")
        self.assertEqual(self.sb.wdt_services(), 3)
        self.assertEqual(self.sb.read8(WDT_SERVICE), 0)
        self.host_ok("lib.py_wdt_init(); lib.py_wdt_reset()")
        self.assertEqual(self.sb.read8(WDT_SERVICE), 1)

    def test_calls_before_init_do_nothing_and_the_host_goes_on(self):
        out = self.host("lib.py_wdt_refresh(); lib.py_wdt_enable(5000); lib.py_wdt_disable()\n"
                        "lib.py_wdt_reset(); lib.py_wdt_exit(); lib.py_led_set(1, 1)\n"
                        "print('host alive')")
        self.assertEqual(out, (0, "host alive\n"))
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0)
        self.assertEqual(self.sb.read8(WDT_SERVICE), 0)
        self.assertEqual(self.sb.wdt_services(), 0)

    def test_repeated_init_keeps_one_descriptor_and_reopens_after_exit(self):
        out = self.host_ok(
            "def mem_fds():\n"
            "    links = []\n"
            "    for fd in os.listdir('/proc/self/fd'):\n"
            "        try: links.append(os.readlink('/proc/self/fd/' + fd))\n"
            "        except OSError: pass  # the descriptor listdir itself used\n"
            "    return sum(link.endswith('/board/dev/mem') for link in links)\n"
            "for _ in range(3): lib.py_wdt_init(); lib.py_led_init()\n"
            "print('open', mem_fds())\n"
            "lib.py_wdt_exit(); lib.py_led_exit(); print('closed', mem_fds())\n"
            "lib.py_wdt_init(); lib.py_wdt_enable(5000); print('again', mem_fds())\n")
        self.assertEqual(out, "open 2\nclosed 0\nagain 1\n")
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0x95)


class LedEntryPoints(HostCase):
    def test_led_one_on_drives_line_84_low_and_off_drives_it_high(self):
        self.host_ok("lib.py_led_init(); lib.py_led_set(1, 1); lib.py_led_exit()")
        self.assertEqual(self.sb.read32(GPCR2), 0x00100000)
        self.assertEqual(self.sb.read32(GPSR2), 0)
        self.host_ok("lib.py_led_init(); lib.py_led_set(1, 0)")
        self.assertEqual(self.sb.read32(GPSR2), 0x00100000)

    def test_led_numbers_outside_one_to_four_change_nothing(self):
        before = self.gpio_window()
        out = self.host_ok("lib.py_led_init()\n"
                           "for no in (0, 5, -1, 1 << 20): lib.py_led_set(no, 1)\n"
                           "print(lib.SetLED(0, 1), lib.SetLED(5, 1))")
        self.assertEqual(out, "-1 -1\n")  # the library's own result, for hosts that need it
        self.assertEqual(self.gpio_window(), before)


class FailingRegisterWindows(HostCase):
    def test_without_memory_device_every_call_is_quiet(self):
        os.unlink(self.sb.board("/dev/mem"))
        out = self.host("lib.py_wdt_init(); lib.py_wdt_enable(5000); lib.py_wdt_refresh()\n"
                        "lib.py_wdt_reset(); lib.py_wdt_exit()\n"
                        "lib.py_led_init(); lib.py_led_set(1, 1); lib.py_led_exit()\n"
                        "print('host alive')")
        self.assertEqual(out, (0, "host alive\n"))
        self.assertFalse(os.path.exists(self.sb.board("/dev/mem")))

    def test_unmappable_memory_device_ends_the_host_with_the_mapping_error(self):
        os.unlink(self.sb.board("/dev/mem"))
        os.mkfifo(self.sb.board("/dev/mem"))
        status, out = self.host("lib.py_wdt_init()\nprint('not reached')")
        self.assertEqual(status, 1)
        self.assertRegex(out, r"^Error at line \d+, file src/sys/mmio\.cpp \(\d+\) \[.+\]\n$")


class ExportedObjects(HostCase):
    def test_window_table_device_record_and_open_flags(self):
        out = self.host_ok(
            "class Dev(ctypes.Structure):\n"
            "    _fields_ = [('name', ctypes.c_char_p), ('access_type', ctypes.c_int),\n"
            "                ('fd', ctypes.c_int), ('type', ctypes.c_int),\n"
            "                ('user_data', ctypes.c_void_p)] + \\\n"
            "               [(s, ctypes.CFUNCTYPE(ctypes.c_int)) for s in\n"
            "                ('open', 'connect', 'disconnect', 'config', 'write', 'read', 'close')]\n"
            "import hwbind\n"
            "table = (hwbind.MappingTable * 3).in_dll(lib, 'quarne_mapping_table')\n"
            "print([hex(w.pa_base) for w in table], [hex(w.size) for w in table],\n"
            "      [w.mmio_fd for w in table])\n"
            "dev = Dev.in_dll(lib, 'wdt_device')\n"
            "print(dev.name.decode(), dev.access_type, dev.fd, dev.type, dev.user_data,\n"
            "      [bool(getattr(dev, s)) for s in ('open', 'write', 'read', 'close')])\n"
            "print(dev.read())\n"
            "lib.py_wdt_init(); lib.py_wdt_enable(5000); print(dev.read())\n"
            "lib.py_wdt_disable(); print(dev.read())\n"
            "print(ctypes.c_int.in_dll(lib, 'open_flags').value)\n")
        self.assertEqual(out.splitlines(), [
            "['0x40e00000', '0x17000000', '0x40a00000'] "
            "['0x100000', '0x100000', '0x100000'] [-1, -1, -1]",
            "watchdog 0 0 1 None [False, False, True, False]",
            "-1", "1", "0", "-1"])


class PythonModule(HostCase):
    """hwbind.py, the wrapper shipped beside the library."""

    def test_wrapper_finds_the_library_beside_it_and_drives_the_board(self):
        out = self.host_ok(
            "import hwbind\n"
            "hw = hwbind.HwBind()\n"
            "print(os.path.basename(hw.path), os.path.dirname(hw.path) == %r)\n"
            "hw.wdt_init(); hw.wdt_enable(5000); hw.wdt_refresh(); hw.wdt_refresh()\n"
            "hw.led_init(); hw.led_set(1, 1); hw.wdt_exit(); hw.led_exit()\n" % MODULE_DIR)
        self.assertEqual(out, "libhwbind.so True\n")
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0x95)
        self.assertEqual(self.sb.wdt_services(), 2)
        self.assertEqual(self.sb.read32(GPCR2), 0x00100000)

    def test_wrapper_raises_where_the_entry_points_fail_silently(self):
        before = self.gpio_window()
        out = self.host_ok(
            "import hwbind\n"
            "hw = hwbind.HwBind()\n"
            "def attempt(call):\n"
            "    try:\n"
            "        call(); print('ok')\n"
            "    except Exception as e:\n"
            "        print(type(e).__name__)\n"
            "attempt(hw.wdt_refresh)\n"
            "attempt(lambda: hw.led_set(1, 1))\n"
            "hw.led_init()\n"
            "attempt(lambda: hw.led_set(5, 1))\n"
            "attempt(lambda: hw.led_set(0, 1))\n"
            "attempt(lambda: hw.led_set(1, 2 ** 40))\n"
            "attempt(lambda: hw.led_set('1', 1))\n"
            "hw.wdt_init()\n"
            "attempt(lambda: hw.wdt_enable(2 ** 32 + 5000))\n"
            "attempt(lambda: hw.wdt_enable(5000.0))\n")
        self.assertEqual(out.split(), ["RuntimeError"] * 2 + ["ValueError"] * 6)
        self.assertEqual(self.gpio_window(), before)
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0)

    def test_wrapper_init_raises_without_memory_device(self):
        os.unlink(self.sb.board("/dev/mem"))
        status, out = self.host("import hwbind\nhwbind.HwBind().wdt_init()")
        self.assertNotEqual(status, 0)
        self.assertIn("OSError: wdt: cannot open the register window", out)


class ModuleLookup(unittest.TestCase):
    """Where the module looks for the library (no loading: runs in every build)."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trm310-hwbind-lookup-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "hwbind", "hwbind.py")
        found = importlib.util.spec_from_file_location("hwbind", source)
        self.hwbind = importlib.util.module_from_spec(found)
        found.loader.exec_module(self.hwbind)

    def test_explicit_path_then_installed_layout_then_loader_search(self):
        find = self.hwbind.find_library
        self.assertEqual(find("/opt/x/libhwbind.so"), "/opt/x/libhwbind.so")
        self.assertEqual(find(), "libhwbind.so")  # source tree: no library beside it
        prefix_lib = os.path.join(self.dir, "lib")
        site = os.path.join(prefix_lib, "python3", "dist-packages")
        os.makedirs(site)
        shutil.copy(self.hwbind.__file__, site)
        open(os.path.join(prefix_lib, "libhwbind.so"), "wb").close()
        out = subprocess.run(
            [sys.executable, "-c", "import hwbind; print(hwbind.find_library())"],
            env=dict(os.environ, PYTHONPATH=site), check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
        self.assertEqual(out.strip(), os.path.join(prefix_lib, "libhwbind.so"))


if __name__ == "__main__":
    unittest.main()
