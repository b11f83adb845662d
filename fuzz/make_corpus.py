#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

The seeds are the worked examples of our packet, file and answer formats
and the cases of the unit tests, laid out in each target's input format
(see the comment at the top of each fuzz/<target>_fuzz.cpp). Packets are
plain: the targets scramble them with the build's table, so the seeds hold
for any table. Run it again after changing a format; it rewrites only the
files it makes.
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- server link packets (plain bytes)
def prefix(ptype, ip=b"", signal=0):
    return bytes([2, 0, 0, ptype, len(ip)]) + ip + bytes([signal])


def finish(p):
    return p[:1] + struct.pack("<H", len(p)) + p[3:]


def sections(secs, ip=b"", ptype=1):
    p = prefix(ptype, ip) + bytes([len(secs)])
    for port, data in secs:
        p += struct.pack("<HH", port, len(data)) + data
    return finish(p)


def init_packet(ip=b"127.0.0.101", alias=b"KX-7700", signal=71):
    body = bytes([1, 0]) + bytes([7]) + b"TRM-310" + bytes([len(alias)]) + alias
    body += bytes([5]) + b"V1.01" + bytes([2]) + struct.pack("<H", 10) + bytes([10])
    body += struct.pack("<H", 50) + bytes(8)
    return finish(prefix(0, ip, signal) + body)


def heartbeat(ip=b"127.0.0.101", signal=71):
    return finish(prefix(2, ip, signal))


# The packet descriptions of the targets' built mode (fuzzkit::append_packets).
PORT_SEL = {1: 0, 2: 1, 256: 2, 257: 3, 258: 4}


def built(ptype, ip=b"", signal=0, secs=(), body=b"", extra=False, copies=1):
    h = ptype | len(ip) << 2 | (0x40 if extra else 0) | (0x80 if copies > 1 else 0)
    out = bytes([h]) + (bytes([copies - 1]) if copies > 1 else b"") + ip + bytes([signal])
    if ptype != 1:
        return out + bytes([len(body)]) + body
    out += bytes([len(secs)])
    for port, data in secs:
        sel = PORT_SEL.get(port, 7) | (8 if len(data) > 255 else 0)
        out += bytes([sel]) + (struct.pack("<H", port) if sel & 7 == 7 else b"")
        out += struct.pack("<H", len(data)) if sel & 8 else bytes([len(data)])
        out += data
    return out


QYCOM = b"00\r01\r02115200\r0318N1\r0627E2\r16\r1\r16\r2\r241\r25S\r25E\r281\r10\r13\r26I\r99\r"
QYIO = (b"@SIP=10.0.0.1\r@SIP\r@SPORT=11001\r@SPORT\r@HEARTBEAT=30\r@HEARTBEAT\r"
        b"@VIP=10.1.2.3\r@VIP\r@ALIAS=PUMP7\r@ALIAS\r@CSQ\r@FWVER\r@COMDATA1\r@COMDATA2\r")
QYIO2 = (b"@TIMEINTERVAL=100\r@TIMEINTERVAL\r@UARTDATAMAX=500\r@UARTDATAMAX\r"
         b"@ISTCP2RTU1=1\r@ISTCP2RTU1\r@ISTCP2RTU2=0\r@ISTCP2RTU2\r@SAVE\r@RELINK\r@REBOOT\r")
MODBUS_READ = bytes.fromhex("00010000000601030000000A")  # read 10 holding registers of unit 1


def daemon_stream():
    t = "daemon_stream"
    whole = lambda flags, *pkts: bytes([flags, 0]) + b"".join(pkts)
    write(t, "verify_challenge", whole(0, sections([(258, b"\x01\x02")])))
    write(t, "lines", whole(0, sections([(1, b"abc"), (2, b"xyz"), (99, b"zz"), (1, b"d")])))
    write(t, "virtual_com", whole(0, sections([(256, QYCOM)])))
    write(t, "virtual_com_echo", whole(0x04, sections([(256, b"241\r00\r01\r240\r00\r")])))
    write(t, "configuration", whole(0, sections([(257, QYIO)]), sections([(257, QYIO2)])))
    write(t, "replies_queued", whole(0x08, *[sections([(257, b"@SIP\r@CSQ\r")])] * 9))
    write(t, "bridge_read", whole(0x11, sections([(1, MODBUS_READ)])))
    write(t, "bridge_both_damaged", whole(0x33, sections([(1, MODBUS_READ), (2, MODBUS_READ)])))
    write(t, "device_plain", whole(0x10, sections([(1, b"\x01\x03\x02\x00\x2a\x39\x9b")])))
    write(t, "ip15_type2", whole(0, sections([(1, b"ok")], ip=b"111111111111111", ptype=2)))
    write(t, "bad_headers", whole(0, b"\x03" + sections([(1, b"V3")])[1:], sections([(1, b"IP")], ip=b"1" * 16)))
    write(t, "mixed_cut", bytes([0x01, 7]) + sections([(256, b"00\r")]) + sections([(258, b"\x05\x07")])
          + sections([(1, MODBUS_READ)]) + heartbeat())
    write(t, "one_byte_reads", bytes([0, 1]) + sections([(257, b"@CSQ\r")]))
    write(t, "built_commands", bytes([0x40, 0]) + built(1, secs=[(256, QYCOM), (257, QYIO)])
          + built(1, secs=[(257, QYIO2), (258, b"\x03\x04")]))
    write(t, "built_full_rings", bytes([0x48, 0]) + built(1, secs=[(256, b"00\r" * 17), (257, b"@CSQ\r" * 17)]))
    write(t, "built_bridge", bytes([0x53, 0]) + built(1, b"10.0.0.1", secs=[(1, MODBUS_READ), (2, MODBUS_READ), (77, b"x")])
          + built(2, copies=3) + built(1, secs=[(1, MODBUS_READ)], extra=True))


def config_file():
    t = "config_file"
    with open(os.path.join(HERE, "..", "config", "qyserver.ini"), "rb") as f:
        write(t, "sample", f.read())
    saved = (b"ServerIP=192.168.10.20\r\nServerPort=11000\r\nVirtualIP=127.0.0.101\r\n"
             b"ModuleAlias=KX-7700\r\nHeartbeatTime=10\r\nTimeInterval=50\r\nUartDataMax=1000\r\nDebug=0\r\n")
    write(t, "saved", saved)
    write(t, "all_keys", saved + b"Baudrate1=9600\r\nBaudrate2=19200\r\nFormat1=8N1\r\nFormat2=7E2\r\n"
          b"IsTCP2RTU1=1\r\nIsTCP2RTU2=0\r\n")
    write(t, "edges", b"ServerPort=70000\nTimeInterval=0\nUartDataMax=5000\nFormat1=8\nModuleAlias=\n"
          b" ServerIP=10.0.0.1\nserverip=10.0.0.2\nHeartbeatTime=-1\nDebug=99999999999\n")
    write(t, "long_lines", b"VirtualIP=" + b"9" * 40 + b"\r\nModuleAlias=" + b"A" * 86 + b"ServerIP=10.9.8.7\r\n"
          b"ServerIP=\r\n\r\nHeartbeatTime=5")


def modem_info():
    t = "modem_info"
    write(t, "cycle", b"cpintype=READY\r\ncregvalue=1\r\ncsqvalue=23\r\nppp0=1\r\n")
    write(t, "no_answer", b"cpintype=\r\ncregvalue=-1\r\ncsqvalue=-1\r\nppp0=0\r\n")
    write(t, "edges", b"csqvalue=32\r\ncregvalue=5\r\ncsqvalue=33\r\ncregvalue=6\r\ncsqvalue=99\r\nppp0=")
    write(t, "partial", b"cpintype=SIM PIN\r\ncregval")


def name_lookup():
    t = "name_lookup"
    qname = b"\x06server\x07example\x00"
    question = qname + struct.pack(">HH", 1, 1)
    head = lambda flags, an: struct.pack(">HHHHHH", 0x1234, flags, 1, an, 0, 0)
    a_record = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 300, 4) + bytes([192, 0, 2, 1])
    cname = b"\xc0\x0c" + struct.pack(">HHIH", 5, 1, 300, 6) + b"\x03gw1\xc0\x13"
    write(t, "answer_a", b"\x00\x12\x34" + head(0x8180, 1) + question + a_record)
    write(t, "answer_cname_then_a", b"\x00\x12\x34" + head(0x8180, 2) + question + cname + a_record)
    write(t, "answer_no_such_name", b"\x00\x12\x34" + head(0x8183, 0) + question)
    write(t, "hosts", b"\x01127.0.0.1 localhost\n# gateway server\n192.0.2.7\tserver.example srv  # lab\n"
          b"::1 localhost ip6-localhost\n")
    write(t, "resolv", b"\x02# generated\nsearch example\nnameserver fe80::1\nnameserver 192.0.2.53\n")
    write(t, "query_names", b"\x03server.example.")


def celmon_reply():
    t = "celmon_reply"

    def query(answer_pieces, stale=b"", fail=False):
        out = bytes([len(stale)]) + stale + bytes([len(answer_pieces) | (8 if fail else 0)])
        for delay, data in answer_pieces:
            out += bytes([delay, len(data)]) + data
        return out

    ok = lambda s: b"\r\n" + s + b"\r\n\r\nOK\r\n"
    write(t, "cycle", query([(0, ok(b"+CPIN: READY"))]) + query([(0, ok(b"+CREG: 0,5"))])
          + query([(0, ok(b"+CSQ: 23,99"))]))
    write(t, "echo_and_pieces", query([(0, b"AT+CPIN?\r"), (2, ok(b"+CPIN: SIM PIN"))])
          + query([(1, b"AT+CREG?\r\r\n+CREG: 1"), (3, b"\r\n\r\nOK\r\n")])
          + query([(0, b"AT+CSQ\r"), (1, b"\r\n+CSQ: 99,99\r\n"), (2, b"\r\nOK\r\n")]))
    write(t, "errors", query([(0, b"\r\n+CME ERROR: 10\r\n")]) + query([(0, b"\r\nERROR\r\n")])
          + query([], fail=True))
    write(t, "stale_and_late", query([(0, ok(b"+CPIN: READY"))], stale=ok(b"+CSQ: 5,0"))
          + query([(200, ok(b"+CREG: 0,1"))]) + query([(0, b"\r\n+CSQ: " + b"9" * 120 + b"\r\n")]))


def simgate_answer():
    t = "simgate_answer"

    def run(pin, answers, flags=0):
        out = bytes([flags, len(pin)]) + pin
        for answer, late in answers:
            out += bytes([len(answer)]) + answer + bytes([len(late)]) + late
        return out

    OK = b"\r\nOK\r\n"
    write(t, "pin_accepted", run(b"1234", [(OK, b""), (b"\r\n+CPIN: SIM PIN\r\n" + OK, b""), (OK, b"")]))
    write(t, "ready", run(b"1234", [(OK, b""), (b"\r\n+CPIN: READY\r\n" + OK, b"")]))
    write(t, "puk", run(b"1234", [(OK, b""), (b"\r\n+CPIN: SIM PUK\r\n" + OK, b"")]))
    write(t, "slow_first_rate", run(b"0000", [(b"", OK), (OK, b""), (b"AT+CPIN?\r\r\n+CPIN: SIM PIN\r\n" + OK, b""),
                                              (b"\r\n+CME ERROR: 16\r\n", b"")]))
    write(t, "bad_pins", run(b"12;4", [(OK, b""), (b"\r\n+CPIN: SIM PIN\r\n" + OK, b"")]))
    write(t, "no_port", run(b"1234", [], flags=1))


def discovery():
    t = "discovery"
    addrs = bytes([192, 0, 2, 50]) + struct.pack(">H", 5000) + bytes([192, 0, 2, 10, 255, 255, 255, 0])
    addrs += bytes.fromhex("020000123456")
    write(t, "search", addrs + b"QUARNE4410K search")
    write(t, "one_byte", addrs + b"\x00")
    write(t, "long", bytes(6) + bytes([255] * 8) + bytes([0xAB] * 6) + b"x" * 300)


def console_stream():
    t = "console_stream"
    write(t, "init_heartbeats", bytes([0]) + init_packet() + heartbeat() * 84 + heartbeat(signal=3))
    verify = sections([(258, struct.pack("<i", 11))], ip=b"127.0.0.101")
    write(t, "verify_and_data", bytes([1]) + init_packet() + verify
          + sections([(1, b"\x01\x02\x03"), (256, b"OK\r"), (257, b"!SIP;OK\r\n!SPORT;OK\r\n")], ip=b"127.0.0.101"))
    write(t, "malformed", bytes([4]) + bytes([3, 6, 0, 1, 0, 0]) + init_packet()[:30]
          + sections([(1, b"AB")])[:-1] + heartbeat())
    ip = b"127.0.0.101"
    write(t, "built_packets", bytes([0x03]) + built(0, ip, 71, body=init_packet()[17:])
          + built(2, ip, 71, copies=84) + built(1, ip, 71, secs=[(258, struct.pack("<i", 11))])
          + built(1, ip, 71, secs=[(1, b"\x01\x02\x03"), (256, b"OK\r"), (257, b"!SIP;OK\r\n"), (9, b"")])
          + built(1, ip, 71, secs=[(2, bytes(300))], extra=True) + built(2, ip, 3, body=b"x"))


def console_modbus():
    t = "console_modbus"
    send = lambda client, data: bytes([0 | (client << 3), len(data)]) + data
    answer = lambda payload: bytes([1, len(payload)]) + payload
    wait = lambda ms: bytes([3, ms // 4])
    read = lambda client: bytes([5 | (client << 3)])
    write(t, "read_answered", send(0, MODBUS_READ) + answer(b"\x02\x00\x2a") + read(0))
    write(t, "time_out", send(0, MODBUS_READ) + wait(400) + read(0))
    write(t, "split_and_queued", send(0, MODBUS_READ[:5]) + send(0, MODBUS_READ[5:]) + send(1, MODBUS_READ)
          + answer(b"\x02\x00\x01") + answer(b"\x02\x00\x02") + read(0) + read(1))
    write(t, "gateway_gone", send(2, MODBUS_READ) + bytes([6]) + read(2) + send(2, MODBUS_READ) + bytes([2 | 8, 3]) + b"abc")
    write(t, "bad_header", send(0, bytes.fromhex("000100010006010300000001")) + send(1, bytes.fromhex("0001000000ff")))


def hub_tls_files():
    """Test keys made here with openssl for this corpus alone (no deployment's
    keys): a factory CA, a gateway certificate naming its ID by CN, DNS and
    IP names, the chain in one file, the same in DER, keys fit and unfit."""
    t = "hub_tls_files"
    with tempfile.TemporaryDirectory() as d:
        def ssl(*args, stdin=None):
            return subprocess.run(["openssl", *args], cwd=d, input=stdin, check=True,
                                  capture_output=True).stdout

        def ec(name, curve="P-256"):
            ssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + curve, "-out", name)

        ec("ca.key")
        ssl("req", "-new", "-x509", "-key", "ca.key", "-subj", "/CN=corpus CA", "-days", "3650", "-out", "ca.crt")
        ec("gw.key")
        with open(os.path.join(d, "ext"), "w") as f:
            f.write("subjectAltName=DNS:gw7.test,IP:10.0.0.7\nextendedKeyUsage=clientAuth\n")
        ssl("req", "-new", "-key", "gw.key", "-subj", "/CN=10.0.0.7", "-out", "gw.csr")
        ssl("x509", "-req", "-in", "gw.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
            "-extfile", "ext", "-days", "365", "-out", "gw.crt")
        ec("p384.key", "P-384")
        ssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out", "rsa.key")
        read = lambda name: open(os.path.join(d, name), "rb").read()
        write(t, "chain", b"\x00" + b"10.0.0.7\n" + read("gw.crt") + read("ca.crt"))
        write(t, "der_ip", b"\x01" + b"10.0.0.7\n" + ssl("x509", "-in", "gw.crt", "-outform", "DER"))
        write(t, "der_dns", b"\x01" + b"gw7.test\n" + ssl("x509", "-in", "ca.crt", "-outform", "DER"))
        for name in ("gw", "p384", "rsa"):
            write(t, "key_" + name, b"\x02\n" + read(name + ".key"))
    write(t, "settings", b"\x03\n" + b'tls_listen = "127.0.0.1:11443"\ntls_cert = "/x/hub.crt"\n'
          b'tls_key = "/x/hub.key"\ntls_ca = "/x/ca.crt"\ntls_ca_only = true\ntls_handshake_s = 10\n'
          b'tls_session_hours = 24\ntls_ticket_keys = "/x/tickets"\ntls_required_ids = ["10.0.0.*"]\n'
          b'listen = "off"\n')
    write(t, "fingerprint", b"\x04\n" + b"0123456789ABCDEFabcdef" * 2 + b"0123456789abcdef0123")
    write(t, "secret", b"\x04\n" + b"f" * 64 + b"\r\n")


def rfc2217_stream():
    """A client opening a port as pyserial does, data with 0xFF, the
    settings, controls, masks, purges and polls; and broken streams."""
    t = "rfc2217_stream"
    iac = lambda *b: bytes([255] + list(b))
    sub = lambda cmd, value=b"": iac(250, 44, cmd) + value.replace(b"\xff", b"\xff\xff") + iac(240)
    opening = iac(253, 1) + iac(251, 3) + iac(253, 3) + iac(251, 44) + iac(253, 44) + iac(251, 0) + iac(253, 0)
    settings = sub(1, struct.pack(">I", 9600)) + sub(2, b"\x07") + sub(3, b"\x03") + sub(4, b"\x01")
    controls = b"".join(sub(5, bytes([v])) for v in (1, 8, 11, 0, 4, 7, 10, 13, 19, 20))
    write(t, "pyserial_open", b"\x01" + opening + settings + controls + sub(12, b"\x01") + sub(12, b"\x02"))
    write(t, "data_with_iac", b"\x07" + iac(251, 44) + b"abc\xff\xff\x00\r\n" + iac(241) + b"\xff\xff" * 40)
    write(t, "masks_polls_signature", b"\x03" + sub(11, b"\xff") + sub(10, b"\x00") + sub(7) + sub(6) + sub(0)
          + sub(0, b"client pc") + sub(8) + sub(9) + sub(1, b"\x00\x00\x00\x00"))
    write(t, "broken", b"\x05" + iac(250, 44, 0) + b"x" * 80 + iac(240) + iac(250, 44, 1) + iac(7) + b"z"
          + iac(250, 44) + iac(240) + iac(251) + iac(254, 200) + iac(252, 44) + iac(254, 44) + iac(250))


if __name__ == "__main__":
    for make in (daemon_stream, config_file, modem_info, name_lookup, celmon_reply, simgate_answer, discovery,
                 console_stream, console_modbus, hub_tls_files, rfc2217_stream):
        make()
    sys.exit(0)
