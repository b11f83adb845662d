"""End-to-end: what trm-hub does facing the internet. An unknown gateway
(the real daemon) is held apart until admitted through the API; a
connection without an init packet is closed, one sending garbage too, while
the admitted gateway is served throughout; a flood of connections from one
address is cut short; an API off loopback needs a token and TLS, and
the HTTPS listener takes neither plain HTTP nor TLS below 1.2 nor a CBC
cipher, from OpenSSL's client or GnuTLS's."""

import os
import socket
import struct
import subprocess
import time
import unittest

from hubcase import GW_ID, TIMEOUT, Hub, HubCase
from trmkit import gnutls
from trmkit.procs import ROOT
from trmkit.sandbox import tools_bin
from trmkit.wait import wait_until

CONFIG = """
[security]
allow_ids = ["10.9.*"]
init_timeout_s = 2
connect_rate = 1.0
connect_burst = 5
[[exposure]]
gateway = "%s"
port = 1
""" % GW_ID


def closed_by_peer(sock):
    sock.settimeout(TIMEOUT)
    try:
        while sock.recv(4096):
            pass
    except ConnectionResetError:
        pass
    return True


class Security(HubCase):
    def test_held_until_admitted_and_bad_peers_dropped(self):
        hub = Hub(self, "--no-mqtt", config=CONFIG)
        self.start_daemon(hub.port)
        hub.wait_state("held")
        status, r = hub.api("POST", "/api/gateways/%s/cfg" % GW_ID, "@CSQ")
        self.assertEqual((status, r["error"]), (403, "gateway held: admit it first"))
        _, exps = hub.api("GET", "/api/exposures")
        mb = socket.create_connection(("127.0.0.1", int(exps[0]["listen"].split(":")[1])), timeout=TIMEOUT)
        self.addCleanup(mb.close)
        mb.sendall(struct.pack(">HHHBBHH", 7, 0, 6, 1, 3, 0, 1))
        self.assertEqual(mb.recv(100), struct.pack(">HHHBBB", 7, 0, 3, 1, 0x83, 0x0A))  # no path to it

        silent = socket.create_connection(("127.0.0.1", hub.port))
        noisy = socket.create_connection(("127.0.0.1", hub.port))
        for s in (silent, noisy):
            self.addCleanup(s.close)
        for _ in range(40):  # each read of garbage is one malformed packet; 8 in a row end it
            try:
                noisy.sendall(b"\x00GET / HTTP/1.0\r\n\r\n" * 4)
            except OSError:
                break
            time.sleep(0.05)  # each write a read of its own, so one malformed packet
        started = time.monotonic()
        self.assertTrue(closed_by_peer(noisy))
        self.assertTrue(closed_by_peer(silent))
        self.assertGreater(time.monotonic() - started, 1.0)  # the silent one had its 2 s
        self.assertEqual(hub.metric("trm_hub_malformed_total"), 8)

        status, g = hub.api("POST", "/api/gateways/%s/admit" % GW_ID)
        self.assertEqual((status, g["state"]), (200, "online"))
        self.assertEqual(hub.api("POST", "/api/gateways/%s/cfg" % GW_ID, "@CSQ")[1]["replies"], ["!CSQ;71;0"])

        # A burst of connections from one address: the first few (the
        # bucket's worth) get in, the rest are closed at once.
        flood = [socket.create_connection(("127.0.0.1", hub.port)) for _ in range(20)]
        for s in flood:
            self.addCleanup(s.close)
        wait_until(lambda: hub.metric("trm_hub_connections_refused_total") >= 15, what="refusals")
        self.assertEqual(hub.gateway()["state"], "online")

    def test_an_api_off_loopback_needs_a_token_and_tls(self):
        for extra, why in (([], b"off loopback: set [http] token"),
                           (["--token", "s3cret"], b"over plain HTTP: its tokens would cross the network in clear")):
            out = subprocess.run([tools_bin("trm-hub"), "--http", "0.0.0.0:0", "--no-mqtt", "--listen", "127.0.0.1:0"]
                                 + extra, capture_output=True, timeout=TIMEOUT)
            self.assertEqual(out.returncode, 2)
            self.assertIn(why, out.stderr)
        hub = Hub(self, "--no-mqtt", "--token", "s3cret")
        self.assertEqual(hub.api("GET", "/api/gateways")[0], 401)
        self.assertEqual(hub.api("GET", "/api/gateways", token="wrong")[0], 401)
        self.assertEqual(hub.api("GET", "/api/gateways", token="s3cret")[0], 200)

    def test_https_serves_and_refuses_plain_and_weak_clients(self):
        pki = os.path.join(self.sb.dir, "pki")
        for argv in (["ca", pki + "/ca"], ["hub", pki + "/hub", "--name", "127.0.0.1", "--ca", pki + "/ca"]):
            subprocess.run([os.path.join(ROOT, "tools", "trm-pki.sh")] + argv, check=True, capture_output=True)
        config = '[http]\ntls_cert = "%s/hub/hub.crt"\ntls_key = "%s/hub/hub.key"\n' % (pki, pki)
        hub = Hub(self, "--no-mqtt", "--token", "s3cret", config=config, token="s3cret", ca=pki + "/ca/ca.crt")
        self.assertEqual(hub.api("GET", "/api/gateways", token="wrong")[0], 401)
        self.assertEqual(hub.api("GET", "/api/gateways")[0], 200)
        with socket.create_connection(("127.0.0.1", hub.http)) as plain:
            plain.sendall(b"GET /api/hub HTTP/1.1\r\nHost: hub\r\nAuthorization: Bearer s3cret\r\n\r\n")
            plain.settimeout(TIMEOUT)
            self.assertNotIn(b"HTTP/1.1", plain.recv(4096))  # a TLS alert, or nothing: never an answer
        # Below TLS 1.2, or a cipher without forward secrecy: no handshake.
        for args in (["-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"], ["-tls1_2", "-cipher", "AES128-SHA256:@SECLEVEL=0"]):
            r = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % hub.http] + args,
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
            self.assertNotIn(b"Cipher is ECDHE", r.stdout)
            self.assertNotEqual(r.returncode, 0)
        wait_until(lambda: hub.metric("trm_hub_https_refused_total") >= 3, what="refusals counted")
        hub.proc.wait_for(rb"a TLS connection from 127.0.0.1 ended before a request: no handshake", TIMEOUT)
        with self.subTest("gnutls-cli"):
            self.gnutls_https(hub, pki + "/ca/ca.crt")

    def gnutls_https(self, hub, ca):
        """GnuTLS as the API's client: TLS 1.3 and TLS 1.2 with an AEAD are
        served; TLS 1.1 or CBC ciphers only are refused and counted."""
        gnutls.need(self)
        ask = b"GET /api/hub HTTP/1.1\r\nHost: hub\r\nAuthorization: Bearer s3cret\r\nConnection: close\r\n\r\n"
        for priority, version in ((None, b"(TLS1.3-"), (gnutls.TLS12_AEAD, b"(TLS1.2-")):
            status, out = gnutls.talk(gnutls.cli(hub.http, ca, priority=priority), ask, timeout=TIMEOUT)
            self.assertIn(b"HTTP/1.1 200", out, priority)
            self.assertIn(b"- Description: " + version, out, priority)
        before = hub.metric("trm_hub_https_refused_total")
        for name, priority in gnutls.WEAK.items():
            status, out = gnutls.talk(gnutls.cli(hub.http, ca, priority=priority), ask, timeout=TIMEOUT)
            self.assertNotEqual(status, 0, name)
            self.assertNotIn(b"HTTP/1.1", out, name)
        wait_until(lambda: hub.metric("trm_hub_https_refused_total") == before + 2, what="GnuTLS's weak offers counted")

    def test_start_is_all_or_nothing(self):
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        conf = os.path.join(self.sb.dir, "taken.toml")
        with open(conf, "w") as f:
            f.write('[[exposure]]\ngateway = "10.9.0.1"\nlisten = "127.0.0.1:%d"\n' % port)
        argv = [tools_bin("trm-hub"), "-c", conf, "--no-mqtt", "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0"]
        out = subprocess.run(argv, capture_output=True, timeout=TIMEOUT)
        self.assertEqual(out.returncode, 1)
        self.assertNotIn(b"listening", out.stdout)  # nothing a supervisor takes for ready
        self.assertIn(b"Z error [[exposure]] 10.9.0.1 port 1, listen 127.0.0.1:%d: Address already in use\n" % port,
                      out.stdout)
        out = subprocess.run(argv + ["--check"], capture_output=True, timeout=TIMEOUT)  # no sockets: cannot know
        self.assertEqual((out.returncode, out.stdout), (0, b"configuration ok\n"))
        self.assertIn(b"warning: [[exposure]] 10.9.0.1 port 1: gateway unknown: no registry is set", out.stderr)
        out = subprocess.run(argv + ["--listen", "0.0.0.0:%d" % port, "--check"], capture_output=True, timeout=TIMEOUT)
        self.assertEqual(out.returncode, 2)
        self.assertIn(b"the address of [gateways] listen 0.0.0.0:%d" % port, out.stderr)


if __name__ == "__main__":
    unittest.main()
