"""Checks that the emulated cellular path does what its profile says, in
two network namespaces of its own: the ping round trip, the goodput of a
plain TCP bulk transfer each way, random loss, the outage switch, and that
no packet longer than the MTU crosses the relay (nor does a socket with a
small send buffer take more than it holds plus one MSS while the path is
out, as over a board's ppp0).

  python3 -m sim.cellpath.validate [--quick] [--profile P ...] [--seconds S] [--seed N]

Exit status 0 when every figure is within its bound, 1 otherwise, 77 when
this machine cannot make namespaces or TUN devices.
"""

import argparse
import math
import os
import socket
import struct
import sys
import threading
import time

from trmkit import cellpath, netns

PROFILES = ["rtt=50ms,up=2mbit,down=4mbit",
            "rtt=300ms,jitter=30ms,up=1mbit,down=4mbit",
            "rtt=600ms,up=500kbit,down=2mbit,loss=1%"]
QUICK = ["rtt=300ms,jitter=20ms,up=1mbit,down=4mbit,loss=1%"]
SKIP = 77
PORT = 5201
HEADERS = 52          # IP + TCP with timestamps


# --- measures ---------------------------------------------------------------
def _checksum(b):
    s = sum(struct.unpack("!%dH" % (len(b) // 2), b))
    s = (s >> 16) + (s & 0xFFFF)
    return ~(s + (s >> 16)) & 0xFFFF


def ping(gw, count, interval, timeout):
    """Echo round trips (s) from the daemon's side, and how many went
    unanswered; ICMP echo of 56 bytes like ping(8)."""
    with gw.entered():
        s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    ident, rtts, sent = os.getpid() & 0xFFFF, {}, {}
    end = time.monotonic() + count * interval + timeout
    s.settimeout(0.01)
    seq = 0
    next_send = time.monotonic()
    while time.monotonic() < end and (seq < count or len(rtts) < count):
        if seq < count and time.monotonic() >= next_send:
            hdr = struct.pack("!BBHHH", 8, 0, 0, ident, seq) + bytes(56)
            s.sendto(hdr[:2] + struct.pack("!H", _checksum(hdr)) + hdr[4:], (cellpath.SRV_ADDR, 0))
            sent[seq], seq, next_send = time.monotonic(), seq + 1, next_send + interval
        try:
            data = s.recv(2048)
        except socket.timeout:
            continue
        typ, _, _, rid, rseq = struct.unpack("!BBHHH", data[20:28])
        if typ == 0 and rid == ident and rseq in sent and rseq not in rtts:
            rtts[rseq] = time.monotonic() - sent[rseq]
    s.close()
    return list(rtts.values()), count - len(rtts)


def _receiver(lsock, stop):
    conn, _ = lsock.accept()
    conn.settimeout(0.2)
    while not stop.is_set():
        try:
            if not conn.recv(65536):
                break
        except socket.timeout:
            continue
    conn.close()


def _delivered(sock):
    """Bytes the peer has (cumulatively acknowledged or selectively): the
    kernel's count of segments delivered (struct tcp_info, tcpi_delivered)
    times the MSS. Unlike what the reading program gets it does not stall
    behind a lost segment and then jump."""
    info = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 232)
    mss = struct.unpack_from("I", info, 16)[0]
    return struct.unpack_from("I", info, 192)[0] * mss


def bulk(src, dst, dst_addr, seconds, warm):
    """Goodput (bit/s) of one TCP connection sending flat out for `seconds`,
    after `warm` seconds (slow start)."""
    with dst.entered():
        lsock = socket.create_server((dst_addr, PORT))
    stop = threading.Event()
    th = threading.Thread(target=_receiver, args=(lsock, stop))
    th.start()
    with src.entered():
        c = socket.create_connection((dst_addr, PORT), timeout=10)
    t0, chunk, log = time.monotonic(), bytes(16384), []
    c.settimeout(0.05)
    while time.monotonic() - t0 < seconds:
        try:
            c.send(chunk)
        except socket.timeout:
            pass
        log.append((time.monotonic(), _delivered(c)))
    t1 = time.monotonic()
    c.close()
    stop.set()
    th.join(timeout=10)
    lsock.close()
    return _slope(log, t0 + warm, t1)
def _slope(log, a, b, step=0.05):
    """Least-squares slope (bit/s) of a byte count, sampled every `step`
    seconds from a to b."""
    pts, i, total = [], 0, 0
    t = a
    while t <= b:
        while i < len(log) and log[i][0] <= t:
            total = log[i][1]
            i += 1
        pts.append((t, total))
        t += step
    if len(pts) < 2:
        return 0.0
    mt = sum(p[0] for p in pts) / len(pts)
    mn = sum(p[1] for p in pts) / len(pts)
    num = sum((p[0] - mt) * (p[1] - mn) for p in pts)
    return 8 * num / sum((p[0] - mt) ** 2 for p in pts)


def udp_burst(gw, srv, count, size, rate_bps, settle):
    """Datagrams sent from the daemon's side at rate_bps and how many arrived."""
    with srv.entered():
        r = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        r.bind((cellpath.SRV_ADDR, PORT + 1))
    with gw.entered():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    r.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    r.setblocking(False)
    gap, got, t = (size + 28) * 8 / rate_bps, 0, time.monotonic()
    for i in range(count):
        s.sendto(bytes(size), (cellpath.SRV_ADDR, PORT + 1))
        t += gap
        time.sleep(max(0.0, t - time.monotonic()))
    end = time.monotonic() + settle
    while time.monotonic() < end:
        try:
            r.recv(65536)
            got += 1
        except BlockingIOError:
            time.sleep(0.005)
    s.close()
    r.close()
    return got


def stalled_socket(path, gw, srv):
    """Bytes a connected socket with a 4 kB send buffer takes while the
    path is out (nothing acknowledged): with segmentation offload the
    kernel keeps appending to an unsent 64 kB segment past the buffer."""
    with srv.entered():
        lsock = socket.create_server((cellpath.SRV_ADDR, PORT + 2))
    with gw.entered():
        c = socket.socket()
    c.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
    c.connect((cellpath.SRV_ADDR, PORT + 2))
    conn, _ = lsock.accept()
    path.outage(True)
    c.setblocking(False)
    taken = 0
    try:
        while taken < 1 << 20:
            taken += c.send(bytes(100))
    except BlockingIOError:
        pass
    path.outage(False)
    for s in (c, conn, lsock):
        s.close()
    return taken


# --- one profile --------------------------------------------------------------
class Check:
    def __init__(self):
        self.rows, self.failed = [], 0

    def __call__(self, what, ok, figure):
        self.rows.append((what, ok, figure))
        self.failed += not ok
        print("  %-4s %-34s %s" % ("ok" if ok else "MISS", what, figure), flush=True)


def within(got, want, share):
    return want > 0 and abs(got - want) <= share * want


def binomial_ok(lost, n, p):
    """Observed loss inside four standard deviations of the profile's."""
    sd = math.sqrt(max(p * (1 - p), 1e-9) / n)
    return abs(lost / n - p) <= 4 * sd + 0.5 / n


def profile_run(text, a, check):
    gw, srv = netns.NetNs("gw", prefix="trmcp"), netns.NetNs("srv", prefix="trmcp")
    path = None
    try:
        # The bulk transfer measures the path's rate: BBR, which random loss
        # does not hold below it (CUBIC would measure itself, not the path).
        path = cellpath.CellPath(gw.name, srv.name, text, seed=a.seed, cc="bbr")
        pr, mtu = path.profile, path.mtu
        print("\n%s  (seed %d)" % (text, path.seed), flush=True)
        rtt = (pr["delay_up_ns"] + pr["delay_down_ns"]) / 1e9
        air = sum(84 * 8 / pr[k] for k in ("up_bps", "down_bps") if pr[k])
        rtts, unanswered = ping(gw, a.pings, 0.2, rtt + 1.0)
        mean = sum(rtts) / len(rtts) if rtts else 0.0
        check("ping mean RTT within 10 %", within(mean, rtt + air, 0.10),
              "%.1f ms (profile %.1f ms, %d of %d answered)" % (
                  mean * 1e3, (rtt + air) * 1e3, len(rtts), a.pings))
        warm = max(2.0, 6 * rtt)     # past slow start and its overshoot of the buffer
        for way, src, dst, addr in (("up", gw, srv, cellpath.SRV_ADDR),
                                    ("down", srv, gw, cellpath.GW_ADDR)):
            # a packet lost on the way is lost before the bearer: it takes
            # no air time, so only the headers come off the rate
            rate = pr[way + "_bps"]
            want = rate * (mtu - HEADERS) / mtu
            got = bulk(src, dst, addr, a.seconds + warm, warm)
            check("TCP goodput %s within 10 %%" % way, within(got, want, 0.10),
                  "%.0f kbit/s (profile %.0f kbit/s, %.0f after headers)" % (
                      got / 1e3, rate / 1e3, want / 1e3))
            if a.quick:
                break
        n = a.datagrams
        got = udp_burst(gw, srv, n, 100, pr["up_bps"] / 2, rtt + 1.0)
        p = pr["loss_up"]
        check("random loss within 4 sd", binomial_ok(n - got, n, p),
              "%.2f %% of %d datagrams (profile %.2f %%)" % (100.0 * (n - got) / n, n, 100 * p))
        taken = stalled_socket(path, gw, srv)
        check("stalled socket takes <= buffer + 1 MSS", taken <= 8192 + mtu,
              "%d bytes" % taken)
        path.outage(True)
        before = path.stats()
        passed = udp_burst(gw, srv, 50, 100, pr["up_bps"] / 2, rtt + 0.5)
        after = path.stats()
        path.outage(False)
        delivered = sum(after[w]["out"] - before[w]["out"] for w in ("up", "down"))
        check("outage: nothing passes", passed == 0 and delivered == 0,
              "%d datagrams, %d packets delivered" % (passed, delivered))
        final = path.close()
        path = None
        longest = max(final[w]["max_len"] for w in ("up", "down"))
        over = sum(final[w]["over_mtu"] for w in ("up", "down"))
        check("no packet longer than the MTU", over == 0 and longest <= mtu,
              "longest %d bytes (MTU %d), %d packets in, relay %s" % (
                  longest, mtu, final["up"]["in"] + final["down"]["in"],
                  ", ".join("%s lost %d tail %d" % (w, final[w]["lost"], final[w]["tail"])
                            for w in ("up", "down"))))
    finally:
        if path is not None:
            path.close()
        gw.close()
        srv.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="one lossy profile, short (CTest)")
    p.add_argument("--profile", action="append", help="a profile (repeatable)")
    p.add_argument("--seconds", type=float, help="TCP transfer after slow start (default 8, quick 6)")
    p.add_argument("--seed", type=int)
    a = p.parse_args()
    a.seconds = a.seconds or (6.0 if a.quick else 8.0)
    a.pings = 10 if a.quick else 30
    a.datagrams = 800 if a.quick else 2000
    why = netns.forbidden(nft=False, cell=True)
    if why:
        print("SKIP: %s" % why)
        return SKIP
    check = Check()
    for text in a.profile or (QUICK if a.quick else PROFILES):
        profile_run(text, a, check)
    print("\n%d passed, %d failed" % (len(check.rows) - check.failed, check.failed))
    return 1 if check.failed else 0


if __name__ == "__main__":
    sys.exit(main())
