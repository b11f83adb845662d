"""The daemon's two files under fire.

Modem information file: two complete files, different in every line, are
renamed over it in a tight loop while the daemon re-reads it every 2 s and
the server asks "@CSQ" ten times a second; every reply (and the signal
byte of every packet) must come from one file or the other.

Configuration file: "@SAVE" commands with changing settings, and the daemon
killed (SIGKILL) at random moments, again and again; after each kill the
file must be exactly the one before or one of those being saved, and the
next start must read it (its alias shows in the init packet) whatever
temporary file the kill left behind."""

import os
import re
import threading
import time

from trmkit.gwserver import PORT_QYIO, build_packet
from trmkit.sandbox import CONFIG, MODEM, MODEM_OK, daemon_config
from .account import Snapshot
from .episodes import ensure_online

FILE_A = ("cpintype=READY\r\ncregvalue=1\r\ncsqvalue=10\r\nppp0=1\r\n", b"!CSQ;31;0\r\n", 31)
FILE_B = ("cpintype=SIM PIN\r\ncregvalue=5\r\ncsqvalue=20\r\nppp0=0\r\n", b"!CSQ;62;1\r\n", 62)


def modem_replace(rig, seconds, rng):
    link = ensure_online(rig)
    rig.monitor.set_label("modemfile")
    path = rig.sb.board(MODEM)
    stop, renames = threading.Event(), [0]

    def writer():
        while not stop.is_set():
            text = (FILE_A, FILE_B)[renames[0] % 2][0]
            with open(path + ".new", "w") as f:
                f.write(text)
            os.rename(path + ".new", path)
            renames[0] += 1
            time.sleep(0.0005)

    rig.cmds.kept, before = [], dict(rig.signals)
    snap, probes = Snapshot(rig), []
    th = threading.Thread(target=writer, name="renamer", daemon=True)
    th.start()
    t0 = time.monotonic()
    try:
        while time.monotonic() - t0 < seconds and link.state == "open":
            probes.append(("cmd", rig.send_command(link, PORT_QYIO, b"@CSQ\r", rb"!CSQ;.*\r\n")))
            rig.run_for(0.1)
    finally:
        stop.set()
        th.join()
    rig.run_for(3.0, lambda: snap.complete(probes))
    replies = [ln for port, ln in rig.cmds.kept if ln.startswith(b"!CSQ")]
    rig.cmds.kept = None
    rig.sb.write_file(MODEM, MODEM_OK)
    seen = {ln.decode().strip(): replies.count(ln) for ln in set(replies)}
    signals = {k: v - before.get(k, 0) for k, v in rig.signals.items() if v > before.get(k, 0)}
    good = {FILE_A[1], FILE_B[1], b"!CSQ;71;0\r\n"}   # the last, or the file from before
    return {"seconds": seconds, "renames": renames[0], "csq_asked": len(probes),
            "csq_replies": len(replies), "replies": seen,
            "mixed": sum(1 for ln in replies if ln not in good),
            "signal_bytes": signals,
            "odd_signals": sum(v for k, v in signals.items()
                               if k not in (FILE_A[2], FILE_B[2], 71))}


# What the daemon prints while it saves (the file's lines follow the first).
SAVE_LINES = (b"open file success for saving", b"ServerIP=", b"ServerPort=", b"VirtualIP=",
              b"ModuleAlias=", b"HeartbeatTime=", b"TimeInterval=", b"UartDataMax=", b"Debug=")


def saved_text(server_addr, port, s):
    return daemon_config(server_addr, port, VirtualIP=s["vip"], ModuleAlias=s["alias"], HeartbeatTime=s["hb"],
                         TimeInterval=s["ti"], UartDataMax=s["udm"], Debug=0).encode()


def _settings(rng, n):
    return {"vip": "10.%d.%d.%d" % (n % 250, rng.randrange(250), rng.randrange(250)),
            "alias": "K%06d" % (n % 1000000), "hb": rng.randint(5, 60),
            "ti": rng.randint(1, 5000), "udm": rng.randint(10, 1000)}


def _commands(s):
    return ("@VIP=%s\r@ALIAS=%s\r@HEARTBEAT=%d\r@TIMEINTERVAL=%d\r@UARTDATAMAX=%d\r@SAVE\r" % (
        s["vip"], s["alias"], s["hb"], s["ti"], s["udm"])).encode()


def _alias_of(text):
    m = re.search(rb"^ModuleAlias=(.*)\r\n", text, re.M)
    return m.group(1) if m else b"KX-7700"


def save_kill(rig, rounds, rng):
    """rig: a rig whose daemon is not running yet."""
    r = {"kills": 0, "old": 0, "new": 0, "broken": 0, "tmp_left": 0, "mid_save": 0,
         "start_read_wrong": 0, "not_online": 0, "broken_files": []}
    cfg, number = rig.sb.board(CONFIG), 0
    for i in range(rounds):
        before = open(cfg, "rb").read()
        t = time.monotonic()
        rig.start_daemon()
        link = rig.wait_online(20.0, since=t)
        if link is None:
            r["not_online"] += 1
            rig.kill_daemon()
            continue
        if link.init["alias"] != _alias_of(before):
            r["start_read_wrong"] += 1
        saves = []
        for _ in range(rng.randint(1, 4)):
            number += 1
            saves.append(_settings(rng, number))
        out_before = rig.log.count.get("save_start", 0)
        link.send_plain(build_packet([(PORT_QYIO, b"".join(_commands(s) for s in saves))]))
        if i % 2:
            rig.run_for(rng.uniform(0.0, 0.03))
        else:
            k = rng.randint(1, len(saves))
            rig.run_for(2.0, lambda: rig.log.count.get("save_start", 0) - out_before >= k)
        rig.kill_daemon()
        r["kills"] += 1
        r["mid_save"] += rig.log.lines[-1][1].startswith(SAVE_LINES)
        after = open(cfg, "rb").read()
        new = [saved_text(rig.path.server_addr, rig.server.port, s) for s in saves]
        kind = "old" if after == before else "new" if after in new else "broken"
        r[kind] += 1
        if kind == "broken":
            r["broken_files"].append(after.decode(errors="replace"))
        r["tmp_left"] += os.path.exists(cfg + ".tmp")
    r.update(_final_save(rig, rng))
    return r


def _final_save(rig, rng):
    """One more start and a save that finishes: the stale temporary file
    must not stand in its way, and none is left after it."""
    before = open(rig.sb.board(CONFIG), "rb").read()
    t = time.monotonic()
    rig.start_daemon()
    link = rig.wait_online(20.0, since=t)
    if link is None:
        return {"final_start_alias_ok": False, "final_save_ok": False, "final_tmp_left": None}
    s = _settings(rng, 999999)
    rig.cmds.kept = []
    link.send_plain(build_packet([(PORT_QYIO, _commands(s))]))
    rig.run_for(5.0, lambda: any(ln.startswith(b"!SAVE;") for _, ln in rig.cmds.kept))
    replies = b"".join(ln for _, ln in rig.cmds.kept)
    rig.cmds.kept = None
    after = open(rig.sb.board(CONFIG), "rb").read()
    rig.kill_daemon()
    return {"final_start_alias_ok": link.init["alias"] == _alias_of(before),
            "final_save_ok": b"!SAVE;OK" in replies and
            after == saved_text(rig.path.server_addr, rig.server.port, s),
            "final_tmp_left": os.path.exists(rig.sb.board(CONFIG) + ".tmp")}
