"""End-to-end: the daemon's secure link (tls.ini) against a TLS 1.2 hub
made with Python's ssl module and against openssl s_server and
gnutls-serv: the link's traffic inside TLS, resumption, the key made at
first start, and the hubs the daemon must refuse."""

import os
import re
import shutil
import socket
import stat
import subprocess
import tempfile
import threading
import time

from qysc_case import DaemonCase
from trmkit import gnutls
from trmkit.gwserver import PORT_QYIO, PORT_RS485
from trmkit.ports import listening
from trmkit.sandbox import emulator, sandbox_bin
from trmkit.tlspeer import HUB_NAME, Pki, TlsGatewayServer, server_context, spki_sha256
from trmkit.wait import wait_until

TLS_DIR = "/quarne/qysc/tls"
TLS_INI = "/quarne/qysc/tls.ini"
HUB_CA = "/quarne/qysc/hubca.pem"
GNUTLS_PORT = 11443  # in a network namespace of the test's own: always free


class TlsCase(DaemonCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="qysc-tls-")
        cls.pki = Pki(cls.tmp)
        cls.pki.make_ca("factory")
        cls.pki.issue("gw", "factory", "127.0.0.101")
        cls.pki.make_ca("otherca")
        cls.pki.issue("forged", "otherca", HUB_NAME)   # right name, wrong CA
        cls.pki.issue("rekeyed", "hubca", HUB_NAME)    # right CA, not the pinned key

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.hub = TlsGatewayServer(self.hub_context("hub"))
        self.addCleanup(self.hub.close)

    def hub_context(self, name, client_ca=None):
        p = self.pki
        return server_context(p.path(name + ".crt"), p.path(name + ".key"),
                              client_ca or p.path("factory.crt"))

    def factory_pair(self):
        for ext in ("key", "crt"):
            with open(self.pki.path("gw." + ext)) as f:
                self.sb.write_file("%s/gateway.%s" % (TLS_DIR, ext), f.read())

    def start_tls(self, ini, extra=""):
        with open(self.pki.ca) as f:
            self.sb.write_file(HUB_CA, f.read())
        self.sb.write_file(TLS_INI, ini)
        self.start(extra, port=self.hub.port)

    def hub_pin(self):
        return spki_sha256(self.pki.hub)


class SecureLink(TlsCase):
    def test_the_link_inside_tls_both_ways_then_resumed(self):
        self.factory_pair()
        self.start_tls("enable=1\r\nca=%s\r\nname=%s\r\n" % (HUB_CA, HUB_NAME), "HeartbeatTime=1\r\n")
        link = self.hub.accept(20)
        self.assertFalse(link.tls.session_reused)
        self.assertEqual(link.tls.version(), "TLSv1.2")
        self.assertEqual(link.tls.cipher()[0], "ECDHE-ECDSA-AES128-GCM-SHA256")
        out = self.log(rb"--> tls: handshake done, full, [^\r]*, (\d+) round trips")
        self.assertLessEqual(int(out.group(1)), 2)
        fp = self.daemon.wait_for(rb"fingerprint ([0-9a-f]{64})\r\n", after_last=False).group(1).decode()
        self.assertEqual(fp, spki_sha256(self.pki.path("gw.crt")))
        self.assertEqual(link.next_packet().type, 0)
        link.challenge(1, 2)
        self.assertEqual(link.next_packet(skip_heartbeats=True).section(258), b"\x0b\x00\x00\x00")
        link.send_sections([(PORT_RS485, b"to the line"), (PORT_QYIO, b"@FWVER\r")])
        self.assertEqual(self.rs485.read(5, want=11), b"to the line")
        self.assertEqual(link.next_packet(skip_heartbeats=True).section(PORT_QYIO), b"!FWVER;V1.01\r\n")
        self.rs485.write(b"from the line")
        self.assertEqual(link.next_packet(skip_heartbeats=True).section(PORT_RS485), b"from the line")
        self.assertEqual(link.next_packet(timeout=5).type, 2)  # heartbeats go on
        # A new connection resumes the session in one round trip.
        link.close()
        self.log(rb"recv --> return 0 --> socket be close, re-connect\r\n")
        again = self.hub.accept(20)
        self.assertTrue(again.tls.session_reused)
        self.log(rb"--> tls: handshake done, resumed, [^\r]*, 1 round trips")
        self.assertEqual(again.next_packet().type, 0)
        self.assertNotIn(b"still held", self.daemon.output)
        self.assertNotIn(b"PRIVATE KEY", self.daemon.output)

    def test_first_start_makes_the_key_and_a_pin_alone_checks_the_hub(self):
        self.start_tls("enable=1\r\npin=%s\r\n" % self.hub_pin().upper())
        self.log(rb"-- tls: making the gateway key /quarne/qysc/tls/gateway.key\r\n")
        self.log(rb"self-signed, CN=127.0.0.101\r\n")
        fp = self.log(rb"fingerprint ([0-9a-f]{64})\r\n").group(1).decode()
        key, crt = (self.sb.board("%s/gateway.%s" % (TLS_DIR, e)) for e in ("key", "crt"))
        self.assertEqual(stat.S_IMODE(os.stat(key).st_mode), 0o600)
        self.assertEqual(fp, spki_sha256(crt))
        subject = subprocess.run(["openssl", "x509", "-in", crt, "-noout", "-subject"],
                                 capture_output=True, text=True, check=True).stdout
        self.assertIn("CN = 127.0.0.101", subject)
        self.hub.context = self.hub_context("hub", client_ca=crt)  # the hub learns the key
        link = self.hub.accept(20)
        self.assertEqual(link.next_packet().type, 0)
        self.assertNotIn(b"PRIVATE KEY", self.daemon.output)


class Refusals(TlsCase):
    def accept_plain(self):
        self.hub.sock.settimeout(20)
        s, _ = self.hub.sock.accept()
        self.addCleanup(s.close)
        return s

    def test_forged_rekeyed_plain_and_stalled_hubs_are_refused(self):
        self.factory_pair()
        self.start_tls("enable=1\r\nca=%s\r\npin=%s\r\nname=%s\r\nhandshake_ms=2000\r\n"
                       % (HUB_CA, self.hub_pin(), HUB_NAME))
        self.hub.context = self.hub_context("forged")
        self.hub.refused_handshake()
        self.log(rb"--> tls: hub refused: its certificate does not chain to the CA, refusals 1\r\n")
        self.hub.context = self.hub_context("rekeyed")
        self.hub.refused_handshake()
        self.log(rb"--> tls: hub refused: its key is not the pinned one, refusals 1\r\n")
        # A hub speaking the plain link only: its packet is no TLS record.
        s = self.accept_plain()
        s.sendall(bytes(range(2, 60)))
        self.log(rb"--> tls: handshake failed: [^\r]*, failures 1\r\n")
        # A hub that takes the ClientHello and says nothing.
        s = self.accept_plain()
        started = time.monotonic()
        self.log(rb"--> tls: handshake not done within 2000 ms, time-outs 1\r\n", timeout=6)
        self.assertLess(time.monotonic() - started, 3.5)
        self.assertNotIn(b"socket write", self.daemon.output)  # nothing of the link's own went out
        # The right hub after all of that.
        self.hub.context = self.hub_context("hub")
        self.assertEqual(self.hub.accept(20).next_packet().type, 0)
        self.assertNotIn(b"still held", self.daemon.output)

    def test_tls_on_without_a_check_of_the_hub_never_connects(self):
        self.factory_pair()
        self.start_tls("enable=1\r\npin=12ab\r\n")
        self.log(rb"is on but unusable: pin= is not 64 hex digits; the link stays down\r\n")
        self.log(rb"--> tls: not connecting: [^\r]*, refusals 2\r\n", timeout=8)
        self.hub.sock.settimeout(0.5)
        self.assertRaises(socket.timeout, self.hub.sock.accept)


class OtherServers(TlsCase):
    def test_openssl_s_server_then_gnutls_serv_requiring_a_client_certificate(self):
        self.factory_pair()
        p = self.pki
        argv = ["openssl", "s_server", "-accept", "127.0.0.1:%d" % self.hub.port, "-tls1_2",
                "-cert", p.path("hub.crt"), "-key", p.path("hub.key"), "-Verify", "1",
                "-CAfile", p.path("factory.crt"), "-naccept", "1", "-quiet"]
        self.hub.close()  # s_server takes the port
        server = self.sb.start_host(argv, stdin=subprocess.PIPE)
        wait_until(lambda: listening(self.hub.port), 10, what="openssl s_server listening")
        self.start_tls("enable=1\r\nca=%s\r\nname=%s\r\n" % (HUB_CA, HUB_NAME))
        self.log(rb"--> tls: handshake done, full, TLS-ECDHE-ECDSA-WITH-AES-128-GCM-SHA256")
        self.log(rb"--> socket write: init data, result = (\d+)")
        server.wait_for(rb"[\s\S]{10}", timeout=10)  # the init packet, scrambled
        server.proc.stdin.close()
        server.stop()
        self.daemon.stop()
        with self.subTest("gnutls-serv"):
            self.gnutls_serv_as_the_hub()

    def gnutls_serv_as_the_hub(self):
        """gnutls-serv, which listens on every address, in a network
        namespace of the test's own, the daemon there too: a server whose
        key is not the pinned one is refused; with the hub's key the mutual
        handshake completes (TLS 1.2, ECDHE-ECDSA, an AEAD), the server
        finds the factory key and the daemon sends its init packet."""
        gnutls.need(self, "gnutls-serv")
        net, p = gnutls.OwnNetwork(self, self.sb), self.pki

        def serve(name):
            server = net.start(gnutls.serv(GNUTLS_PORT, p.path(name + ".crt"), p.path(name + ".key"),
                                           p.path("factory.crt")))
            server.wait_for(rb"Echo Server listening on IPv4", 10)
            return server

        server = serve("rekeyed")
        self.sb.write_file(TLS_INI, "enable=1\r\nca=%s\r\npin=%s\r\nname=%s\r\n"
                           % (HUB_CA, self.hub_pin(), HUB_NAME))
        self.config(port=GNUTLS_PORT)
        self.daemon = net.start(emulator() + [sandbox_bin("qysc")])
        self.log(rb"--> tls: hub refused: its key is not the pinned one, refusals 1\r\n", timeout=20)
        server.stop()
        server = serve("hub")
        self.log(rb"--> tls: handshake done, full, TLS-ECDHE-ECDSA-WITH-AES-128-GCM-SHA256", timeout=30)
        self.log(rb"--> socket write: init data, result = (\d+)")
        server.wait_for(rb"- Status: The certificate is trusted", 10)  # the factory's, checked
        server.wait_for(rb"- Given server name\[1\]: " + HUB_NAME.encode(), 10)
        server.wait_for(rb"Public Key ID:\s+sha1:\S+\s+sha256:" + spki_sha256(p.path("gw.crt")).encode(), 10)
        server.wait_for(rb"- Version: TLS1\.2\s+- Key Exchange: ECDHE-ECDSA[\s\S]*- MAC: AEAD", 10)
        self.assertNotIn(b"PRIVATE KEY", self.daemon.output)


class Reconnects(TlsCase):
    def test_a_thousand_reconnects_give_all_memory_back(self):
        """The daemon's TLS code in a loop (the bench tool): every drop gives
        the arena back whole, and its high water after 1000 connections is
        that after 10."""
        self.factory_pair()
        with open(self.pki.ca) as f:
            self.sb.write_file(HUB_CA, f.read())
        self.sb.write_file(TLS_INI, "enable=1\r\nca=%s\r\nname=%s\r\n" % (HUB_CA, HUB_NAME))
        self.config(port=self.hub.port)
        reused, stop = [], threading.Event()

        def serve():
            self.hub.sock.settimeout(0.5)
            while not stop.is_set():
                try:
                    s, _ = self.hub.sock.accept()
                except OSError:
                    continue
                s.settimeout(5)
                try:
                    with self.hub.context.wrap_socket(s, server_side=True) as t:
                        reused.append(t.session_reused)
                        t.recv(1)  # until the daemon's side drops it
                except OSError:
                    s.close()

        server = threading.Thread(target=serve)
        server.start()
        try:
            bench = self.sb.start_tool("qysc_tlsbench", 1000)
            self.assertEqual(bench.wait_exit(timeout=240), 0, bench.output[-2000:])
        finally:
            stop.set()
            server.join()
        out = bench.output.decode()
        ten = re.search(r"after 10: .*high water (\d+),", out).group(1)
        end = re.search(r"at the end: 1000 handshakes \((\d+) resumed\), arena high water (\d+), "
                        r"peak \d+, in use 0 in 0 blocks, failed 0", out)
        self.assertIsNotNone(end, out[-1500:])
        self.assertEqual(end.group(2), ten)
        self.assertEqual(int(end.group(1)), 999)
        self.assertEqual(reused.count(True), 999)
