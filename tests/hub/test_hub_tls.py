"""End-to-end: the hub's TLS listener for gateways, facing an attacker.
Keys made by tools/trm-pki.sh in the sandbox; gateways are openssl
s_client, gnutls-cli and trmkit's fake gateway over Python's ssl module,
speaking the packet format.

A factory key naming its ID is served at once, through OpenSSL and GnuTLS
alike (GnuTLS offering TLS 1.1, or CBC ciphers only, is refused); an
unknown key is held pending until admitted (and then resumes its session);
a key not the ID's, a packet declaring another ID, an ID of the secure
link on the plain port, a revoked key (off within a second, and after a
restart) are refused.
On the ports themselves: plain bytes on the TLS port, TLS on the plain
port, a key of another CA where only the factory's is let in, a handshake
cut half-way or trickled byte by byte, a flood of handshakes. Every refusal
is counted by reason and logged without key material. A scan by testssl.sh
finds no protocol below TLS 1.2 and no weak cipher. The fleet simulator's
gateways, each with a factory key of its own, come online, are served,
and resume their sessions; against a hub of another key they refuse it."""

import json
import os
import re
import shutil
import socket
import ssl
import struct
import subprocess
import time
import unittest

from hubcase import TIMEOUT, Fleet, Hub, HubCase, Keys, tls_scan
from trmkit import gnutls
from trmkit.fakegw import FakeGateway, heartbeat_packet, init_packet, scramble, tls_context
from trmkit.wait import wait_until

FACTORY, STRANGER, OTHER, GNUTLS = "10.20.30.41", "10.20.30.42", "10.20.30.43", "10.20.30.44"


def refused(hub, reason):
    _, text = hub.api("GET", "/metrics")
    m = re.search(r'^trm_hub_tls_refused_total\{reason="%s"\} (\S+)$' % reason, text, re.M)
    return float(m.group(1)) if m else None


def client_hello():
    """A real ClientHello's bytes, as a TLS client's first flight."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    obj = ctx.wrap_bio(incoming, outgoing)
    try:
        obj.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


class RawBursts:
    """The fleet's numbered bursts as a client of the hub's raw exposure
    reads them: their numbers in the order they came, each burst checked whole."""

    def __init__(self, case, hub):
        _, exps = hub.api("GET", "/api/exposures")
        listen = wait_until(lambda: hub.api("GET", "/api/exposures")[1][0]["listen"], TIMEOUT, what="the exposure")
        self.sock = socket.create_connection(("127.0.0.1", int(listen.split(":")[1])), timeout=TIMEOUT)
        case.addCleanup(self.sock.close)
        self.buf, self.seqs = b"", []

    def wait(self, n, seconds=TIMEOUT):
        """The numbers once n bursts came (and a little more, to see duplicates)."""
        end = time.monotonic() + seconds
        while len(self.seqs) < n and time.monotonic() < end:
            self.read(0.2)
        self.read(0.3)
        return self.seqs

    def read(self, seconds):
        self.sock.settimeout(seconds)
        try:
            self.buf += self.sock.recv(65536)
        except socket.timeout:
            pass
        while (m := re.match(rb"#[\d.]+/\d+/(\d+)/(\d+):", self.buf)) and len(self.buf) >= int(m.group(2)):
            seq, length = int(m.group(1)), int(m.group(2))
            filler = bytes(ord("a") + (seq + i) % 26 for i in range(length - m.end()))
            assert self.buf[m.end():length] == filler, "burst %d torn" % seq
            self.seqs.append(seq)
            self.buf = self.buf[length:]
        assert not self.buf or self.buf.startswith(b"#"), self.buf[:40]


def closed_within(sock, seconds):
    """True when the peer closes the socket within `seconds` (what it
    sends until then is read and dropped)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        sock.settimeout(max(0.01, end - time.monotonic()))
        try:
            if sock.recv(4096) == b"":
                return True
        except (ConnectionResetError, ssl.SSLError):
            return True
        except socket.timeout:
            return False
    return False


class Tls(HubCase):
    def setUp(self):
        super().setUp()
        if not shutil.which("openssl"):
            self.skipTest("no openssl")
        self.keys = Keys(os.path.join(self.sb.dir, "pki"))

    def fake(self, hub, gw_id, cert, key, ctx=None):
        g = FakeGateway(hub.tls_port, ip=gw_id.encode(),
                        tls=ctx or tls_context(cert, key, self.keys.path("hub/hub.crt")))
        self.addCleanup(g.close)
        return g

    def s_client(self, hub, cert, key):
        argv = ["openssl", "s_client", "-connect", "127.0.0.1:%d" % hub.tls_port, "-cert", cert, "-key", key,
                "-CAfile", self.keys.path("hub/hub.crt"), "-verify_return_error", "-quiet", "-nocommands"]
        return self.sb.start_host(argv, stdin=subprocess.PIPE)

    def gnutls_gateway(self, hub):
        """gnutls-cli with a factory key: served and listed; offering TLS 1.1
        or only CBC ciphers: refused by the hub."""
        gnutls.need(self)
        crt, key, fp = self.keys.gateway("gnutls", GNUTLS, ca="ca")
        ca = self.keys.path("hub/hub.crt")
        gw = self.sb.start_host(gnutls.cli(hub.tls_port, ca, crt, key), stdin=subprocess.PIPE)
        gw.proc.stdin.write(scramble(init_packet(ip=GNUTLS.encode())))
        gw.proc.stdin.flush()
        g = hub.wait_state("online", GNUTLS)
        self.assertEqual((g["key"]["state"], g["key"]["fingerprint"], g["key"]["tls"]), ("bound", fp, True))
        listed = hub.api("GET", "/api/gateways?state=online")[1]["gateways"]
        self.assertIn(GNUTLS, [x["id"] for x in listed])
        gw.proc.stdin.close()
        gw.wait_exit(TIMEOUT)
        before = refused(hub, "handshake")
        for name, priority in gnutls.WEAK.items():
            status, out = gnutls.talk(gnutls.cli(hub.tls_port, ca, crt, key, priority), timeout=TIMEOUT)
            self.assertNotEqual(status, 0, name)
            self.assertNotIn(gnutls.DONE, out, name)
        wait_until(lambda: refused(hub, "handshake") == before + 2, TIMEOUT, what="GnuTLS's weak offers refused")

    def test_keys_bound_pending_admitted_refused_and_revoked(self):
        db = os.path.join(self.sb.dir, "registry.db")
        holds = "[security]\nrefused_hold_s = 1\nrefused_hold_max_s = 2\n"  # short, to keep the test short
        hub = Hub(self, "--no-mqtt", "--db", db, *self.keys.hub_args(), config=holds)
        f_crt, f_key, f_fp = self.keys.gateway("factory", FACTORY, ca="ca")
        s_crt, s_key, s_fp = self.keys.gateway("stranger", STRANGER)

        # The factory CA's key naming its ID: served at once.
        sc = self.s_client(hub, f_crt, f_key)
        sc.proc.stdin.write(scramble(init_packet(ip=FACTORY.encode())))
        sc.proc.stdin.flush()
        g = hub.wait_state("online", FACTORY)
        self.assertEqual((g["key"]["state"], g["key"]["fingerprint"], g["key"]["tls"]), ("bound", f_fp, True))
        self.assertEqual((g["ack"]["on"], g["ack"]["links"]), (False, 0))  # it offered no extension: the plain link
        with self.subTest("gnutls-cli"):
            self.gnutls_gateway(hub)

        # An unknown key: held, its fingerprint shown, no commands; admitted, served.
        ctx = tls_context(s_crt, s_key, self.keys.path("hub/hub.crt"))
        stranger = self.fake(hub, STRANGER, s_crt, s_key, ctx)
        g = hub.wait_state("held", STRANGER)
        self.assertEqual((g["key"]["state"], g["key"]["pending"], g["key"]["fingerprint"]), ("pending", s_fp, ""))
        self.assertEqual(hub.api("POST", "/api/gateways/%s/cfg" % STRANGER, "@CSQ")[0], 403)
        status, g = hub.api("POST", "/api/gateways/%s/admit" % STRANGER)
        self.assertEqual((status, g["state"], g["key"]["fingerprint"]), (200, "online", s_fp))
        self.assertEqual(hub.metric('trm_hub_tls_handshakes_total{kind="resumed"}'), 0)
        session = wait_until(lambda: (t := stranger.sock.session) is not None and t.has_ticket and t,
                             TIMEOUT, what="a session ticket")
        stranger.close()
        raw = socket.create_connection(("127.0.0.1", hub.tls_port), timeout=TIMEOUT)
        resumed = ctx.wrap_socket(raw, session=session)
        self.addCleanup(resumed.close)
        self.assertTrue(resumed.session_reused)
        resumed.sendall(scramble(init_packet(ip=STRANGER.encode())))
        wait_until(lambda: hub.metric("trm_hub_tls_handshakes_total") >= 3, what="the resumed handshake")
        self.assertEqual(hub.wait_state("online", STRANGER)["key"]["fingerprint"], s_fp)

        # Another CA's key naming an ID: not the factory's, so only pending.
        o_crt, o_key, o_fp = self.keys.gateway("other", OTHER, ca="otherca")
        self.fake(hub, OTHER, o_crt, o_key)
        self.assertEqual(hub.wait_state("held", OTHER)["key"]["pending"], o_fp)

        # A key bound to one ID declaring another; a new key for a served ID; a
        # served key whose packets turn to another ID; the secure link's ID on
        # the plain port.
        liar = self.fake(hub, FACTORY, s_crt, s_key)
        self.assertFalse(liar.closed.wait(0.5), "held open and silent before the close")
        self.assertTrue(liar.closed.wait(TIMEOUT))
        i_crt, i_key, _ = self.keys.gateway("impostor", FACTORY)  # a new key may not displace the served one
        self.assertTrue(self.fake(hub, FACTORY, i_crt, i_key).closed.wait(TIMEOUT))
        resumed.sendall(scramble(heartbeat_packet(ip=FACTORY.encode())))
        self.assertTrue(closed_within(resumed, TIMEOUT))
        plain = FakeGateway(hub.port, ip=FACTORY.encode())
        self.addCleanup(plain.close)
        self.assertTrue(plain.closed.wait(TIMEOUT))
        self.assertEqual(hub.gateway(FACTORY)["state"], "online")  # the real one served throughout
        self.assertEqual([refused(hub, r) for r in ("other_id", "key_mismatch", "id_changed", "plain_after_tls")],
                         [1, 1, 1, 1])
        self.assertEqual(hub.metric("trm_hub_refused_held_total"), 3)  # all but the served link's

        # Revoked while connected: off within a second, refused after, and
        # after a restart; the revocation is in the audit log.
        started = time.monotonic()
        status, g = hub.api("POST", "/api/gateways/%s/revoke" % FACTORY)
        self.assertEqual((status, g["key"]["state"], g["key"]["revoked"]), (200, "revoked", [f_fp]))
        sc.wait_exit(1.0)
        sc.proc.stdin.close()
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertEqual(hub.api("POST", "/api/gateways/%s/revoke" % FACTORY)[0], 409)
        audited = "/api/gateways/%s/revoke" % FACTORY  # the audit's writer is a thread of its own
        wait_until(lambda: audited in json.dumps(hub.api("GET", "/api/audit?gateway=" + FACTORY)[1]), TIMEOUT,
                   what="the revocation in the audit log")
        self.assertEqual(hub.terminate(), 0)
        hub = Hub(self, "--no-mqtt", "--db", db, *self.keys.hub_args(), name="hub2", config=holds)
        self.assertTrue(self.fake(hub, FACTORY, f_crt, f_key).closed.wait(TIMEOUT))
        self.assertEqual(refused(hub, "revoked"), 1)
        self.assertEqual(hub.gateway(STRANGER)["key"]["fingerprint"], s_fp)
        for p in self.sb.procs:
            p.collect(0.1)
            self.assertNotIn(b"PRIVATE KEY", p.output)
        self.assertIn(b"refused: key %s was revoked" % f_fp.encode(), hub.proc.output)

    def test_a_fleet_with_factory_keys_is_served_and_resumes(self):
        hub = Hub(self, "--no-mqtt", *self.keys.hub_args())
        ca = self.keys.path("ca")
        tls = ["--tls-ca-key", ca + "/ca.key", "--tls-ca-cert", ca + "/ca.crt", "--reconnect-delay", "100"]
        fleet = Fleet(self, hub.tls_port, 4, *tls, "--tls-pin", self.keys.pki("pin", "hub/hub.crt"),
                      first="10.20.31.1")
        wait_until(lambda: hub.api("GET", "/api/gateways?limit=1")[1]["online"] == 4, what="4 gateways online")
        g = hub.gateway("10.20.31.4")
        self.assertEqual((g["key"]["state"], g["key"]["tls"]), ("bound", True))
        status, r = hub.api("POST", "/api/gateways/10.20.31.2/cfg", "@CSQ")
        self.assertEqual((status, r["replies"]), (200, ["!CSQ;71;0"]))
        # A link dropped comes back on its kept session.
        self.assertTrue(fleet.ask("drop 3").startswith("ok"))
        wait_until(lambda: hub.metric('trm_hub_tls_handshakes_total{kind="resumed"}') == 1, what="a resumed handshake")
        wait_until(lambda: fleet.figures()["up"] == 4, what="the dropped one back")
        self.assertEqual(hub.metric('trm_hub_tls_handshakes_total{kind="full"}'), 4)
        self.assertEqual({k: fleet.figures()["tls"][k] for k in ("full", "resumed", "failed")},
                         {"full": 4, "resumed": 1, "failed": 0})
        # A hub whose key is not the pinned one is refused by every gateway.
        wrong = Fleet(self, hub.tls_port, 2, *tls, "--tls-pin", "ab" * 32, first="10.20.32.1")
        wrong.proc.wait_for(rb"TLS handshake failed: the hub's key is not the one pinned", TIMEOUT)
        self.assertEqual(wrong.figures()["up"], 0)

    def test_the_acknowledged_link_loses_nothing_across_breaks(self):
        ack_id, plain_id = "10.20.33.1", "10.20.34.1"
        config = '[[exposure]]\ngateway = "%s"\nport = 2\nkind = "raw"\nlisten = "127.0.0.1:0"\n' % ack_id
        hub = Hub(self, "--no-mqtt", *self.keys.hub_args(), config=config)
        ca = self.keys.path("ca")
        tls = ["--tls-ca-key", ca + "/ca.key", "--tls-ca-cert", ca + "/ca.crt", "--reconnect-delay", "50",
               "--tls-pin", self.keys.pki("pin", "hub/hub.crt")]
        fleet = Fleet(self, hub.tls_port, 1, *tls, "--ack-retain-kb", "8", first=ack_id)
        hub.wait_state("online", ack_id)
        raw = RawBursts(self, hub)
        # To the gateway's line while it reads nothing: the first break below cuts them in flight.
        self.assertTrue(fleet.ask("stall 0 30").startswith("ok"))
        raw.sock.sendall(bytes(range(256)) * 12)
        time.sleep(1.0)  # the hub has sent them (a gap of 20 ms between packets)

        # Links broken under the bursts, bursts made while down: all arrive, once, in order.
        for k in range(40):  # bounded: 40 bursts, 8 breaks
            self.assertTrue(fleet.ask("burst 0 2 100").startswith("ok"))
            if k % 5 == 4:
                self.assertTrue(fleet.ask("drop 0").startswith("ok"))
            elif k % 5 == 0 and k:  # one burst made while it was down
                fleet.ask("stop 0")
                wait_until(lambda: "state=up" in fleet.ask("show 0"), TIMEOUT, what="the link back")
        self.assertEqual(raw.wait(40), list(range(40)))
        acked = lambda: (a := fleet.figures()["ack"])["retained_bytes"] == 0 and a
        a = wait_until(acked, TIMEOUT, what="every byte acknowledged")
        self.assertEqual((a["links"], a["lost_bytes_to_hub"], a["lost_bytes_from_hub"], a["refused"]), (9, 0, 0, 0))
        wait_until(lambda: fleet.figures()["port2_recorded_bytes"] == 3072, TIMEOUT, what="the hub's bytes, once")
        g = wait_until(lambda: (a := hub.gateway(ack_id)["ack"])["retained"] == 0 and a, TIMEOUT, what="acknowledged")
        self.assertEqual((g["on"], g["links"], g["lost_in"]["bytes"], g["lost_out"]["bytes"]), (True, 9, [0, 0], [0, 0]))
        self.assertGreaterEqual(g["resent"], 3072)  # cut in flight, some of them more than once: taken once

        # An outage past the gateway's 8 KiB: the oldest bytes go, counted alike on both ends and shown.
        # The hub keeps what its raw client writes meanwhile for the next link.
        self.assertTrue(fleet.ask("down 0").startswith("ok"))
        hub.wait_state("offline", ack_id)
        raw.sock.sendall(bytes(range(256)) * 8)
        for _ in range(40):
            self.assertTrue(fleet.ask("burst 0 2 300").startswith("ok"))
        self.assertTrue(fleet.ask("up 0").startswith("ok"))
        a = wait_until(acked, TIMEOUT, what="the rest acknowledged")
        lost = a["lost_bytes_to_hub"]
        wait_until(lambda: fleet.figures()["port2_recorded_bytes"] == 3072 + 2048, TIMEOUT,
                   what="the bytes written while it was away, once")
        self.assertEqual((lost, lost % 300, a["evicted_bytes"]), (a["evicted_bytes"], 0, lost))
        self.assertGreater(lost, 0)
        g = hub.gateway(ack_id)["ack"]
        self.assertEqual((g["lost_in"]["bytes"], g["lost_out"]["bytes"]), ([0, lost], [0, 0]))
        self.assertEqual(g["lost_in"]["last_gap"][1], [4000, 4000 + lost])
        self.assertEqual(raw.wait(80 - lost // 300), list(range(40)) + list(range(40 + lost // 300, 80)))
        self.assertEqual(hub.metric('trm_hub_ack_lost_bytes_total{direction="from_gateway"}'), lost)
        hub.proc.collect(0.1)
        self.assertIn(b"gateway %s line 2: %d bytes from it lost (offsets 4000..%d)" % (
            ack_id.encode(), lost, 4000 + lost), hub.proc.output)

        # A hub restart: what it acknowledged is not sent again.
        port, resent = hub.tls_port, a["resent_bytes"]
        self.assertEqual(hub.terminate(), 0)
        args = self.keys.hub_args()
        args[1] = "127.0.0.1:%d" % port
        hub = Hub(self, "--no-mqtt", *args, config=config, name="hub2")
        hub.wait_state("online", ack_id)
        raw = RawBursts(self, hub)
        self.assertTrue(fleet.ask("burst 0 2 300").startswith("ok"))
        self.assertEqual(raw.wait(1), [80])
        self.assertEqual(fleet.figures()["ack"]["resent_bytes"], resent)

        # Forged and malformed messages drop the link, counted and logged.
        f_crt, f_key, _ = self.keys.gateway("factory", FACTORY, ca="ca")
        ctx = tls_context(f_crt, f_key, self.keys.path("hub/hub.crt"))
        ctx.set_alpn_protocols(["trm-ack/1"])
        g = self.fake(hub, FACTORY, f_crt, f_key, ctx)
        port_, hello = g.wait_sections(1)[0]
        self.assertEqual((port_, len(hello), hello[0]), (259, 41, 1))
        g.send_section(259, b"\x02" + bytes(10))
        self.assertTrue(g.closed.wait(TIMEOUT))
        g = self.fake(hub, FACTORY, f_crt, f_key, ctx)
        hub_gen = g.wait_sections(1)[0][1][1:5]
        g.send_section(259, b"\x01" + struct.pack("<IQQ", 5, 0, 0) + hub_gen + bytes(16))
        g.send_section(259, b"\x02" + bytes(20) + hub_gen + struct.pack("<QQ", 0, 10 ** 6))
        self.assertTrue(g.closed.wait(TIMEOUT))
        wait_until(lambda: hub.metric("trm_hub_ack_refused_total") == 2, TIMEOUT, what="2 refusals")
        hub.proc.collect(0.1)
        for why in (b"a message that does not parse (11 bytes)", b"an acknowledgement of bytes never sent"):
            self.assertIn(b"gateway %s acknowledged link refused: %s" % (FACTORY.encode(), why), hub.proc.output)

        # --no-ack, or a hub with ack = false: the plain protocol.
        Fleet(self, hub.tls_port, 1, *tls, "--no-ack", first=plain_id)
        self.assertEqual(hub.wait_state("online", plain_id)["ack"]["on"], False)
        self.assertEqual(hub.metric("trm_hub_ack_links_total"), 3)  # the fleet's and the two fakes'
        hub = Hub(self, "--no-mqtt", *self.keys.hub_args(), config="[gateways]\nack = false\n", name="hub3")
        fleet = Fleet(self, hub.tls_port, 1, *tls, first=plain_id)
        self.assertEqual(hub.wait_state("online", plain_id)["ack"]["on"], False)
        self.assertEqual(fleet.figures()["ack"]["links"], 0)

    def test_the_ports_refuse_what_is_not_theirs(self):
        config = """
[gateways]
tls_ca_only = true
tls_handshake_s = 2
[security]
connect_rate = 2.0
connect_burst = 8
"""
        hub = Hub(self, "--no-mqtt", *self.keys.hub_args(), config=config)
        hello = client_hello()
        # Plain bytes on the TLS port; TLS on the plain port.
        s = socket.create_connection(("127.0.0.1", hub.tls_port), timeout=TIMEOUT)
        self.addCleanup(s.close)
        s.sendall(b"GET / HTTP/1.0\r\n\r\n")
        self.assertTrue(closed_within(s, TIMEOUT))
        s = socket.create_connection(("127.0.0.1", hub.port), timeout=TIMEOUT)
        self.addCleanup(s.close)
        s.sendall(hello)
        self.assertTrue(closed_within(s, TIMEOUT))
        # Another CA's key where only the factory's is let in.
        o_crt, o_key, _ = self.keys.gateway("other", OTHER, ca="otherca")
        try:  # TLS 1.3: the client is done before the hub judges its certificate
            g = FakeGateway(hub.tls_port, ip=OTHER.encode(), tls=tls_context(o_crt, o_key))
            self.addCleanup(g.close)
            self.assertTrue(g.closed.wait(TIMEOUT))
        except OSError:
            pass  # refused before its first packet went
        # A handshake cut half-way; a whole ClientHello whose client left at
        # once is not answered; one trickled a byte at a time.
        s = socket.create_connection(("127.0.0.1", hub.tls_port), timeout=TIMEOUT)
        s.sendall(hello[:len(hello) // 2])
        s.close()
        s = socket.create_connection(("127.0.0.1", hub.tls_port), timeout=TIMEOUT)
        self.addCleanup(s.close)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)  # the hello and the FIN in one segment
        s.sendall(hello)
        s.shutdown(socket.SHUT_WR)
        try:
            answer = s.recv(4096)
        except ConnectionResetError:
            answer = b""
        self.assertEqual(answer, b"")
        s = socket.create_connection(("127.0.0.1", hub.tls_port), timeout=TIMEOUT)
        self.addCleanup(s.close)
        started, ended = time.monotonic(), None
        for b in hello[:300]:  # bounded: 300 bytes, 30 s at most
            try:
                s.sendall(bytes([b]))
            except OSError:
                break
            if closed_within(s, 0.1):
                ended = time.monotonic() - started
                break
        self.assertIsNotNone(ended, "a trickled handshake was let live")
        self.assertGreaterEqual(ended, 1.5)
        self.assertLess(ended, 4.0)  # its 2 s, and the second its check waits at most
        for reason, n in (("plain_on_tls", 1), ("tls_on_plain", 1), ("wrong_ca", 1), ("handshake_cut", 2),
                          ("handshake_timeout", 1)):
            wait_until(lambda: refused(hub, reason) == n, TIMEOUT, what="%d refusals %s" % (n, reason))
        # A flood of handshakes from one address: the bucket's worth gets in.
        flood = []
        for _ in range(30):
            flood.append(socket.create_connection(("127.0.0.1", hub.tls_port), timeout=TIMEOUT))
            self.addCleanup(flood[-1].close)
        wait_until(lambda: refused(hub, "rate") >= 15, TIMEOUT, what="handshakes refused over the rate")
        hub.proc.collect(0.1)
        self.assertIn(b"TLS connection from 127.0.0.1 refused: over the connection rate", hub.proc.output)

    def test_a_scan_finds_nothing_below_tls_1_2_and_no_weak_cipher(self):
        hub = Hub(self, "--no-mqtt", "--connect-rate", "0", "--listen", "off", *self.keys.hub_args())
        self.assertEqual(hub.port, 0)  # TLS only: no plain port
        tls_scan(self, hub.tls_port)

if __name__ == "__main__":
    unittest.main()
