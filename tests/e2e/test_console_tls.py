"""End-to-end: the server console's gateway port over TLS. The real daemon
commissioned against it (the console's pin from its first line into the
daemon's tls.ini, the daemon's key shown in the connect line, the link's
traffic both ways inside TLS), and the peers it must refuse, each with a
line of its own: no client certificate, a certificate of another CA,
plain bytes, a handshake that never comes."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import time

from trmkit.fakegw import init_packet, scramble
from trmkit.gwcase import GatewayCase, TIMEOUT
from trmkit.tlspeer import Pki, TLS_INI, board_files, spki_sha256


class ConsoleTlsCase(GatewayCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="console-tls-")
        cls.pki = Pki(cls.tmp)           # hubca and hub: the console's pair
        cls.pki.make_ca("factory")
        cls.pki.issue("gw", "factory", "127.0.0.101")
        cls.pki.make_ca("otherca")
        cls.pki.issue("stranger", "otherca", "127.0.0.101")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        super().setUp()
        if not os.path.exists(os.path.join(os.environ.get("TRM_TOOLS_BIN", ""), "trm-console")):
            self.skipTest("trm-console not built")

    def console(self, *extra):
        p = self.pki
        self.con = self.sb.start_tool("trm-console", "-p", "0", "--tls-cert", p.path("hub.crt"),
                                      "--tls-key", p.path("hub.key"), *extra, stdin=subprocess.PIPE)
        m = self.con.wait_for(rb"listening addr=127\.0\.0\.1 port=(\d+) tls=(\S+) pin=([0-9a-f]{64})\n",
                              TIMEOUT)
        self.port = int(m.group(1))
        self.assertEqual(m.group(3).decode(), spki_sha256(p.path("hub.crt")))
        return m.group(2)

    def cmd(self, line):
        self.con.proc.stdin.write(line.encode() + b"\n")
        self.con.proc.stdin.flush()

    def expect(self, pattern, timeout=TIMEOUT):
        return self.con.wait_for(pattern, timeout, after_last=False)

    def s_client(self, *args):
        """openssl s_client against the console, its input held open."""
        argv = ["openssl", "s_client", "-connect", "127.0.0.1:%d" % self.port, "-quiet", *args]
        return self.sb.start_host(argv, stdin=subprocess.PIPE)


class Commissioning(ConsoleTlsCase):
    def test_the_daemon_pins_the_console_and_the_link_runs_inside_tls(self):
        self.assertEqual(self.console(), b"any-key")
        pin = self.con.output.split(b"pin=")[1][:64].decode()
        rs485 = self.sb.add_pty("/dev/ttyS1")
        self.sb.add_pty("/dev/ttyS2")
        board_files(self.sb, self.pki)
        self.sb.write_file(TLS_INI, "enable=1\r\npin=%s\r\n" % pin)
        self.start_daemon(self.port)
        m = self.expect(rb"gw1 connected from=127\.0\.0\.1:\d+ key=([0-9a-f]{64})\n")
        self.assertEqual(m.group(1).decode(), spki_sha256(self.pki.path("gw.crt")))
        self.expect(rb'gw1 init ip="127\.0\.0\.101" ')
        self.cmd("cfg 1 FWVER")
        self.expect(rb'gw1 port257 len=14 text="!FWVER;V1\.01\\r\\n"\n')
        self.cmd("hex 1 1 74 6f 20 74 68 65 20 6c 69 6e 65")
        self.assertEqual(rs485.read(TIMEOUT, want=11), b"to the line")
        rs485.write(b"from the line")
        self.expect(rb'gw1 port1 len=13 text="from the line"')
        self.log(rb"--> tls: handshake done, full, ")
        for out in (self.con.output, self.daemon.output):
            self.assertNotIn(b"PRIVATE KEY", out)


class Refusals(ConsoleTlsCase):
    def test_attackers_are_refused_each_with_its_reason(self):
        self.assertEqual(self.console("--tls-ca", self.pki.path("factory.crt")), b"ca")
        p = self.pki
        refused = rb"refused gateway from=127\.0\.0\.1:\d+: "
        self.s_client()
        self.expect(refused + rb"TLS: no client certificate\n")
        self.s_client("-tls1_2", "-cert", p.path("stranger.crt"), "-key", p.path("stranger.key"))
        self.expect(refused + rb"TLS: client certificate not signed by the --tls-ca CA \([^)\n]+\)\n")
        plain = socket.create_connection(("127.0.0.1", self.port))
        self.addCleanup(plain.close)
        plain.sendall(b"\x02\x11\x00\x00\x00" + bytes(12))
        self.expect(refused + rb"plain bytes on the TLS port\n")
        # A peer that connects and never says anything holds its slot only so long.
        started = time.monotonic()
        silent = socket.create_connection(("127.0.0.1", self.port))
        self.addCleanup(silent.close)
        self.expect(refused + rb"TLS handshake not done within 10 s\n", timeout=20)
        self.assertGreater(time.monotonic() - started, 9)
        silent.settimeout(5)
        self.assertEqual(silent.recv(1), b"")  # closed
        # The right gateway after all of that; the others never were gateways.
        gw = self.s_client("-cert", p.path("gw.crt"), "-key", p.path("gw.key"))
        self.expect(rb"gw1 connected from=127\.0\.0\.1:\d+ key=%s\n" % spki_sha256(p.path("gw.crt")).encode())
        gw.proc.stdin.write(scramble(init_packet()))
        gw.proc.stdin.flush()
        self.expect(rb"gw1 init ")
        self.cmd("text 1 1 hello")
        self.expect(rb"gw1 sent port1 len=5\n")
        self.cmd("list")
        self.expect(rb"gateways=1\ntls refused=4\n")
        self.assertEqual(len(re.findall(rb"gw\d connected", self.con.output)), 1)
        self.assertNotIn(b"PRIVATE KEY", self.con.output)
