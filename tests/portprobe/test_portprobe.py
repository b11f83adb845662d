"""portprobe on the sandbox's COM3 (//dev//ttyS2): with a simulated loopback
plug, a plug that loses a byte, no plug, and no device."""

import os
import re
import sys
import unittest

from trmkit.sandbox import Sandbox

PLUG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "loopback_plug.py")
DEVICE = "/dev/ttyS2"
BLOCK = 1000

HEAD = b"COM3 Test\r\nopen COM3 port\r\n"


def pattern(block):
    return bytes((block + j) % 255 for j in range(BLOCK))


class PortprobeCase(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox(prefix="trm310-portprobe-")
        self.addCleanup(self.sb.close)
        self.record = os.path.join(self.sb.dir, "line.bin")

    def plug(self, *options):
        p = self.sb.start_host([sys.executable, PLUG, self.sb.board(DEVICE),
                                "--record", self.record] + list(options))
        p.wait_for(r"plug ready\n")
        return p

    def run_probe(self):
        p = self.sb.start("portprobe")
        status = p.wait_exit(60)
        return status, p.output

    def received_by_plug(self, plug, expected):
        """Waits until the plug has seen `expected` bytes; returns the stream."""
        plug.wait_for(r"rx %d\n" % expected)
        with open(self.record, "rb") as f:
            return f.read()


class WithLoopbackPlug(PortprobeCase):
    def test_five_blocks_come_back_and_the_test_passes(self):
        plug = self.plug()
        self.assertEqual(self.run_probe(), (0, HEAD + b"COM3 Test success\n"))
        stream = self.received_by_plug(plug, 5 * BLOCK)
        self.assertEqual(stream, b"".join(pattern(k) for k in range(5)))
        self.assertEqual(stream[:3], b"\x00\x01\x02")
        self.assertEqual(stream[255:258], b"\x00\x01\x02")  # 255 never sent
        self.assertEqual(stream[BLOCK:BLOCK + 2], b"\x01\x02")
        plug.collect(0.2)
        self.assertEqual(re.findall(rb"rx (\d+)\n", plug.output)[-1], b"5000")

    def test_a_byte_lost_in_block_three_fails_after_blocks_zero_to_two_pass(self):
        plug = self.plug("--drop", str(3 * BLOCK + 500))
        self.assertEqual(self.run_probe(), (1, HEAD + b"COM3 Test fail\n"))
        # block 3 was sent only because 0 to 2 passed; block 4 never was
        self.assertEqual(self.received_by_plug(plug, 4 * BLOCK),
                         b"".join(pattern(k) for k in range(4)))
        plug.collect(0.2)
        self.assertEqual(re.findall(rb"rx (\d+)\n", plug.output)[-1], b"4000")


class WithoutPlug(PortprobeCase):
    def test_nothing_comes_back_and_the_first_block_fails(self):
        line = self.sb.add_pty(DEVICE)
        self.assertEqual(self.run_probe(), (1, HEAD + b"COM3 Test fail\n"))
        self.assertEqual(line.read(timeout=0.5), pattern(0))

    def test_missing_device_is_reported_with_status_zero(self):
        self.assertEqual(self.run_probe(),
                         (0, b"COM3 Test\r\nCouldn't Open COM3=2,Error Code=2\r\n"))

    def test_device_that_is_not_a_terminal_is_reported_with_its_code(self):
        self.sb.write_file(DEVICE, b"")
        status, out = self.run_probe()
        self.assertEqual(status, 0)
        self.assertEqual(out, b"COM3 Test\r\nAPI:tcgetattr() error\r\n"
                              b"Couldn't Open COM3=2,Error Code=-2\r\n")


if __name__ == "__main__":
    unittest.main()
