"""The hub side of bench.tls_handshake: makes the certificates and a
sandbox for qysc_tlsbench, then serves TLS 1.2 connections (client
certificate required, tickets issued) until it is told to stop (a file
"stop" in the sandbox) or 10 minutes have passed. Prints "port N" once
listening and "reused R of C" at the end.

    python3 -m bench.board.tls_hub <sandbox-dir>"""

import os
import socket
import sys
import time

from trmkit.tlspeer import HUB_NAME, Pki


def layout(root, pki, port):
    q = os.path.join(root, "board", "quarne", "qysc")
    os.makedirs(os.path.join(q, "tls"), exist_ok=True)
    files = {"qyserver.ini": "ServerIP=127.0.0.1\r\nServerPort=%d\r\n" % port,
             "tls.ini": "enable=1\r\nca=/quarne/qysc/hubca.pem\r\nname=%s\r\nhandshake_ms=120000\r\n" % HUB_NAME,
             "hubca.pem": open(pki.ca).read(),
             "tls/gateway.key": open(pki.path("gw.key")).read(),
             "tls/gateway.crt": open(pki.path("gw.crt")).read()}
    for name, text in files.items():
        with open(os.path.join(q, name), "w") as f:
            f.write(text)
    os.chmod(os.path.join(q, "tls", "gateway.key"), 0o600)


def main():
    root = sys.argv[1]
    pki = Pki(os.path.join(root, "pki"))
    pki.make_ca("factory")
    pki.issue("gw", "factory", "127.0.0.101")
    ctx = pki.hub_context()
    ls = socket.socket()
    ls.bind(("127.0.0.1", 0))
    ls.listen(8)
    layout(root, pki, ls.getsockname()[1])
    print("port", ls.getsockname()[1], flush=True)
    ls.settimeout(1.0)
    count = reused = 0
    end = time.monotonic() + 600
    while time.monotonic() < end and not os.path.exists(os.path.join(root, "stop")):
        try:
            s, _ = ls.accept()
        except socket.timeout:
            continue
        s.settimeout(120)
        try:
            with ctx.wrap_socket(s, server_side=True) as t:
                count += 1
                reused += t.session_reused
                t.recv(1)
        except OSError:
            s.close()
    print("reused %d of %d" % (reused, count), flush=True)


if __name__ == "__main__":
    main()
