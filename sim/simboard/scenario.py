"""The fixed scenario of the simulated board (--script): every step a person
would watch for in the demo, each checked, with generous time limits."""

import re
import time

from trmkit.wait import poll_until
from . import linkproxy

CONNECT_S = 60        # generous: under qemu every program is emulated
STEP_S = 30


class Steps:
    def __init__(self, log):
        self.log = log
        self.results = []

    def check(self, name, ok, detail=""):
        self.results.append((name, bool(ok)))
        self.log("script", "%s: %s%s" % ("PASS" if ok else "FAIL", name,
                                         " (%s)" % (detail,) if detail else ""))
        return ok

    def summary(self):
        passed = sum(1 for _, ok in self.results if ok)
        failed = len(self.results) - passed
        self.log("script", "%d passed, %d failed" % (passed, failed))
        return 0 if failed == 0 else 1


def online(board, timeout, since):
    """The server's line for the gateway's init packet, seen after `since`."""
    return board.events.wait(board.server.source, board.server.online, timeout, since)


def csq(board):
    """@CSQ's reply as (signal, network), or None."""
    m = re.match(r"^!CSQ;(\d+);(\d+)$", board.server.ask("@CSQ", STEP_S) or "")
    return m and (m.group(1), m.group(2))


def run(board, log):
    s = Steps(log)
    ev = board.events

    m = online(board, CONNECT_S, 0)
    s.check("the gateway connects and its init packet is decoded", m,
            m.group(0)[:100] if m else "")
    if board.keys:
        secure_link(s, board)

    copies = board.server.heartbeat_copies(STEP_S + 10)
    s.check("heartbeat bursts arrive", copies == 84, "%s copies" % copies)

    info = poll_until(lambda: _modem_info(board, r"csqvalue=23"), STEP_S, step=0.1)
    s.check("celmon writes the modem status", info, (info or "").strip())
    want_net = "0" if board.ppp0 == "up" else "1"
    time.sleep(2.5)  # the daemon re-reads the file every 2 s
    got = csq(board)
    s.check("the modem status reaches the daemon (@CSQ)", got == ("71", want_net),
            got and ";".join(got))

    regs, err = _read_retry(board)
    s.check("a Modbus read of the field device through the bridge", regs is not None,
            "registers 0..3 = %s" % regs if regs is not None else err)
    if regs is not None:
        err = board.modbus_write(5, 4242)
        regs2, err2 = board.modbus_read(5, 1)
        s.check("a Modbus write reaches the field device", err is None and regs2 == [4242],
                "read back %s" % (regs2 if regs2 is not None else err2))

    replies = [board.server.ask(c, STEP_S) for c in ("@ALIAS=SIMBRD", "@ALIAS")]
    s.check("a configuration command round trip", replies == ["!ALIAS;OK", "!ALIAS;SIMBRD"],
            replies)

    period = poll_until(lambda: _period_between(board, 300, 800), STEP_S, step=0.1)
    s.check("LED 1 blinks at its connected rate (500 ms)", period,
            "%.0f ms" % (board.view.led_period_ms() or 0))

    snap = board.view.snapshot()
    before = snap["services"]
    time.sleep(1.0)
    after = board.view.snapshot()["services"]
    s.check("the watchdog is enabled and serviced", snap["control"] == 0x95 and after > before,
            "control 0x%02X, %d services in 1 s" % (snap["control"], after - before))

    # The link fails and comes back: the gateway reconnects by itself.
    mark = ev.mark()
    board.set_link(linkproxy.DOWN)
    period = poll_until(lambda: _period_between(board, 1500, 2600), STEP_S + 10, step=0.1)
    s.check("without a server LED 1 blinks at 2 s", period,
            "%.0f ms" % (board.view.led_period_ms() or 0))
    board.set_link(linkproxy.UP)
    m = online(board, CONNECT_S, mark)
    s.check("the gateway reconnects when the server is back", m)
    if board.keys:
        m = ev.wait("qysc", r"^--> tls: handshake done, resumed", STEP_S, mark)
        s.check("the reconnect resumes the TLS session", m, m.group(0)[:60] if m else "")

    # The PPP link goes away: celmon notices, the daemon reports it.
    if board.ppp0 == "up":
        board.set_ppp0(False)
        info = poll_until(lambda: _modem_info(board, r"ppp0=0"), STEP_S, step=0.1)
        s.check("celmon sees ppp0 gone", info)
        time.sleep(2.5)
        got = csq(board)
        s.check("the daemon reports the interface down (@CSQ ...;1)", got and got[1] == "1",
                got and ";".join(got))
        board.set_ppp0(True)

    # The modem is unplugged: celmon skips its cycles and keeps the file.
    mark = ev.mark()
    board.modem_plug(False)
    m = ev.wait("celmon", r"Couldn't Open MODEM PORT=22", STEP_S, mark)
    s.check("celmon notices the modem unplugged", m)
    board.modem_plug(True)
    m = ev.wait("celmon", r"^open file success", STEP_S, ev.mark())
    s.check("celmon polls again once the modem is back", m)

    # A reboot asked by the server: the reply goes out, the watchdog is no
    # longer serviced, and the board resets and comes up again.
    mark = ev.mark()
    reply = board.server.ask("@REBOOT", STEP_S)
    s.check("the reboot command is answered", reply == "!REBOOT;OK", reply)
    m = ev.wait("board", r"^reset: watchdog not serviced", STEP_S, mark)
    s.check("the watchdog resets the board", m)
    m = online(board, CONNECT_S, mark)
    s.check("the gateway comes up again after the reset", m)

    return s.summary()


def secure_link(s, board):
    """The link is TLS: the daemon's handshake, and the hub has bound the
    gateway's factory key to its ID."""
    m = board.events.wait("qysc", r"^--> tls: handshake done, full, (\S+)", STEP_S, 0)
    s.check("the link is TLS (the daemon's handshake)", m, m.group(1) if m else "none seen")
    key = (board.server.gateway() or {}).get("key", {})
    s.check("the hub binds the gateway's factory key at once",
            (key.get("state"), key.get("tls"), key.get("fingerprint")) ==
            ("bound", True, board.keys.gateway_fp), key.get("fingerprint"))


def _modem_info(board, pattern):
    try:
        with open(board.board("/quarne/modemInfo.txt")) as f:
            text = f.read()
    except OSError:
        return None
    return text if re.search(pattern, text) else None


def _period_between(board, low, high):
    period = board.view.led_period_ms()
    return period if period and low <= period <= high else None


def _read_retry(board):
    err = None
    for _ in range(5):
        regs, err = board.modbus_read(0, 4)
        if regs is not None:
            return regs, None
        time.sleep(1)
    return None, err
