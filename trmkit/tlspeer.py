"""The hub's end of the secure gateway link, for end-to-end tests.

Pki makes EC P-256 keys and certificates with openssl(1) in a folder of its
own: a CA for hubs, a hub certificate it signs (CN and DNS name `hub.test`),
a factory CA with gateway pairs, and whatever a test needs to be wrong.
TlsGatewayServer is GatewayServer with TLS 1.2 on every accepted
connection: ECDHE-ECDSA with AEAD suites, a client certificate required,
session tickets issued (OpenSSL's default), one SSLContext for all accepts
so tickets from one connection resume the next. board_files gives a
daemon's sandbox the gateway pair, the hub CA and a tls.ini that turns the
secure link on."""

import hashlib
import os
import socket
import ssl
import subprocess

from .gwserver import GatewayServer, Link

SUITES = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384"
HUB_NAME = "hub.test"
TLS_INI = "/quarne/qysc/tls.ini"
HUB_CA = "/quarne/qysc/hubca.pem"
GW_PAIR = "/quarne/qysc/tls/gateway."


def openssl(*args, cwd=None):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


class Pki:
    def __init__(self, folder):
        self.dir = folder
        os.makedirs(folder, exist_ok=True)
        self.ca = self.make_ca("hubca")
        self.hub = self.issue("hub", "hubca", HUB_NAME)

    def path(self, name):
        return os.path.join(self.dir, name)

    def hub_context(self, client_ca="factory"):
        """The hub's context: its pair, clients signed by the CA `client_ca`."""
        return server_context(self.hub, self.path("hub.key"), self.path(client_ca + ".crt"))

    def key(self, name):
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-out", self.path(name + ".key"))
        return self.path(name + ".key")

    def make_ca(self, name):
        self.key(name)
        openssl("req", "-new", "-x509", "-key", self.path(name + ".key"), "-subj", "/CN=" + name,
                "-days", "3650", "-out", self.path(name + ".crt"))
        return self.path(name + ".crt")

    def issue(self, name, ca, cn, days=365):
        """A pair for `name` (CN and DNS name cn) signed by the CA `ca`."""
        self.key(name)
        openssl("req", "-new", "-key", self.path(name + ".key"), "-subj", "/CN=" + cn,
                "-out", self.path(name + ".csr"))
        ext = self.path(name + ".ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth,clientAuth\n" % cn)
        args = ["x509", "-req", "-in", self.path(name + ".csr"), "-CA", self.path(ca + ".crt"),
                "-CAkey", self.path(ca + ".key"), "-CAcreateserial", "-extfile", ext,
                "-out", self.path(name + ".crt"), "-days", str(days)]
        openssl(*args)
        return self.path(name + ".crt")

    def expired(self, name, ca, cn):
        """A pair whose certificate ended long ago (signed with a fixed past window)."""
        self.key(name)
        openssl("req", "-new", "-key", self.path(name + ".key"), "-subj", "/CN=" + cn,
                "-out", self.path(name + ".csr"))
        openssl("x509", "-req", "-in", self.path(name + ".csr"), "-CA", self.path(ca + ".crt"),
                "-CAkey", self.path(ca + ".key"), "-CAcreateserial", "-not_before", "20100101000000Z",
                "-not_after", "20110101000000Z", "-out", self.path(name + ".crt"))
        return self.path(name + ".crt")


def spki_sha256(cert_path):
    """SHA-256 of a certificate's SubjectPublicKeyInfo DER, lower-case hex."""
    pub = subprocess.run(["openssl", "x509", "-in", cert_path, "-pubkey", "-noout"],
                         check=True, capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=pub,
                         check=True, capture_output=True).stdout
    return hashlib.sha256(der).hexdigest()


def board_files(sb, pki, pair="gw"):
    """The secure link on in the sandbox `sb`: the pair `pair` of `pki` as
    the gateway's, the hub checked by its CA and name."""
    for board_path, path in ((GW_PAIR + "key", pki.path(pair + ".key")),
                             (GW_PAIR + "crt", pki.path(pair + ".crt")), (HUB_CA, pki.ca)):
        with open(path, "rb") as f:
            sb.write_file(board_path, f.read())
    os.chmod(sb.board(GW_PAIR + "key"), 0o600)
    sb.write_file(TLS_INI, "enable=1\r\nca=%s\r\nname=%s\r\n" % (HUB_CA, HUB_NAME))


def server_context(cert, key, client_ca):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    ctx.set_ciphers(SUITES)
    ctx.set_ecdh_curve("prime256v1")
    ctx.load_cert_chain(cert, key)
    ctx.verify_mode = ssl.CERT_REQUIRED
    ctx.load_verify_locations(client_ca)
    return ctx


class TlsGatewayServer(GatewayServer):
    """Accepts the daemon over TLS. handshake_error holds the last failed
    handshake's exception (the daemon refused, or was refused)."""

    def __init__(self, context, **kw):
        super().__init__(**kw)
        self.context = context
        self.handshake_error = None
        self.raw_bytes = []   # per accepted connection: bytes on the wire in, out (from ssl)

    def accept(self, timeout=15.0):
        self.sock.settimeout(timeout)
        try:
            s, _ = self.sock.accept()
        except socket.timeout:
            raise AssertionError("the daemon did not connect within %.1fs" % timeout)
        s.settimeout(timeout)
        try:
            t = self.context.wrap_socket(s, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.handshake_error = e
            s.close()
            raise
        link = Link(t, self.table)
        link.tls = t
        self.links.append(link)
        return link

    def refused_handshake(self, timeout=15.0):
        """Accepts one connection whose handshake must fail; its exception."""
        try:
            link = self.accept(timeout)
        except (ssl.SSLError, OSError) as e:
            return e
        link.close()
        raise AssertionError("the handshake succeeded")
