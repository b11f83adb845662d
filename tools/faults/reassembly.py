"""Server packets the way TCP may deliver them: one packet written in two
pieces at every cut point, two to four packets in one write, and a run of
packets cut anywhere. Each packet must be acted on exactly once: its data
on its line once, one reply per command, one answer per challenge."""

from trmkit.gwserver import PORT_QYIO
from .account import Snapshot
from .episodes import ensure_online

PIECE_GAP = 0.025   # between two writes, so the daemon reads them apart


def shapes(rig):
    """(name, length, maker) of the packets swept; a maker gives a plain
    packet and its probe."""
    def data(records):
        def make():
            make.n += 1
            return rig.data_packet(1 + make.n % 2, records)
        make.n = 0
        return make

    def command():
        plain, pid = rig.cmds.command(PORT_QYIO, b"@CSQ\r", rb"!CSQ;\d+;\d\r\n")
        return plain, ("cmd", pid)

    def challenge():
        plain, pid = rig.cmds.challenge(rig.rng)
        return plain, ("cmd", pid)

    return [("data 16 B", 16, data(1)), ("challenge 13 B", 13, challenge),
            ("command 16 B", 16, command), ("data 1496 B", 1496, data(297))]


def _cuts(length, quick, rng):
    if not quick:
        return range(1, length)
    return sorted({1, 2, 3, 4, 5, 6, length // 2, length - 1, rng.randint(1, length - 1)})


class Sweep:
    def __init__(self, rig, quick, rng):
        self.rig, self.quick, self.rng = rig, quick, rng
        self.rows = []

    def run(self):
        link = ensure_online(self.rig)
        for name, length, make in shapes(self.rig):
            self._row("split " + name, link, lambda: [
                self._split(link, make, cut) for cut in _cuts(length, self.quick, self.rng)])
        count = 6 if self.quick else 40
        for n in (2, 3, 4):
            self._row("%d in one write" % n, link,
                      lambda: [self._joined(link, n, False) for _ in range(count)])
        self._row("run cut anywhere", link, lambda: [
            self._joined(link, self.rng.randint(2, 4), True) for _ in range(count)])
        return self.rows

    def _row(self, name, link, send):
        """Sends one row's packets, drains, counts them."""
        snap = Snapshot(self.rig)
        probes = sum(send(), [])
        self.rig.run_for(1.0, lambda: snap.complete(probes))
        r = snap.result(probes)
        self.rows.append({"case": name, "packets": r["probes"]["sent"],
                          "acted": r["probes"]["acted"], "dropped": r["probes"]["dropped"],
                          "partial": r["probes"]["partial"],
                          "dup": sum(d["dup"] for d in r["down"].values()) + r["unexpected_replies"],
                          "link_up": link.state == "open"})

    def _send(self, link, raw, memos):
        link.send_raw(raw, memos)
        self.rig.run_for(PIECE_GAP)

    def _split(self, link, make, cut):
        plain, memo = make()
        raw = link.codec.scramble(plain)
        self._send(link, raw[:cut], None)
        self._send(link, raw[cut:], [memo] if memo[0] == "data" else [])
        return [memo]
    def _joined(self, link, n, cut_anywhere):
        """n packets back to back: data for both lines, commands, at most one
        challenge; in one write, or cut once at a random byte."""
        made = []
        for i in range(n):
            kind = self.rng.choice(("data", "command", "challenge" if i == 0 else "data"))
            if kind == "data":
                made.append(self.rig.data_packet(self.rng.choice((1, 2)), self.rng.randint(1, 60)))
            elif kind == "command":
                plain, pid = self.rig.cmds.command(PORT_QYIO, b"@FWVER\r", rb"!FWVER;V1\.01\r\n")
                made.append((plain, ("cmd", pid)))
            else:
                plain, pid = self.rig.cmds.challenge(self.rng)
                made.append((plain, ("cmd", pid)))
        raw = b"".join(link.codec.scramble(p) for p, _ in made)
        memos = [m for _, m in made if m[0] == "data"]
        if cut_anywhere:
            cut = self.rng.randint(1, len(raw) - 1)
            self._send(link, raw[:cut], None)
            self._send(link, raw[cut:], memos)
        else:
            self._send(link, raw, memos)
        return [m for _, m in made]

