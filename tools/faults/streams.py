"""Numbered byte streams: every byte the suite puts on a line or sends from
the server can be placed exactly, so loss, duplication, reordering and
crossing between the lines are counted byte by byte.

A stream is a run of 5-byte records. Record s of stream `sid`:
  0x80 | sid << 5 | s >> 21 (a sync byte: the only byte with bit 7 set),
  s >> 14, s >> 7, s (7 bits each), and a check byte of s and sid.
Stream ids: 0 RS-485 upwards, 1 RS-232 upwards (line to server), 2 RS-485
downwards, 3 RS-232 downwards (server to line).
"""

import bisect

REC = 5
UP485, UP232, DOWN485, DOWN232 = 0, 1, 2, 3
NAMES = {UP485: "rs485 up", UP232: "rs232 up", DOWN485: "rs485 down", DOWN232: "rs232 down"}
_BLOCK = 4096  # records per cached block


def _check(sid, s):
    return (s * 37 + sid * 11 + 5) & 0x7F


def record(sid, s):
    return bytes((0x80 | sid << 5 | (s >> 21) & 0x1F, (s >> 14) & 0x7F, (s >> 7) & 0x7F,
                  s & 0x7F, _check(sid, s)))


def decode(rec):
    """(sid, s) of a 5-byte record, or None when it is not one."""
    b0 = rec[0]
    if len(rec) < REC or not b0 & 0x80 or any(b & 0x80 for b in rec[1:REC]):
        return None
    sid, s = (b0 >> 5) & 3, (b0 & 0x1F) << 21 | rec[1] << 14 | rec[2] << 7 | rec[3]
    return (sid, s) if rec[4] == _check(sid, s) else None


_cache = {}


def _block(sid, n):
    key = (sid, n)
    if key not in _cache:
        if len(_cache) > 64:
            _cache.clear()
        _cache[key] = b"".join(record(sid, s) for s in range(n * _BLOCK, (n + 1) * _BLOCK))
    return _cache[key]


def data(sid, start, end):
    """Bytes [start, end) of stream sid."""
    out, size = [], _BLOCK * REC
    while start < end:
        n, off = divmod(start, size)
        take = min(end - start, size - off)
        out.append(_block(sid, n)[off:off + take])
        start += take
    return b"".join(out)


class Intervals:
    """Disjoint half-open intervals, merged as they are added."""

    def __init__(self):
        self.starts, self.ends = [], []

    def overlap(self, a, b):
        i, got = max(0, bisect.bisect_right(self.starts, a) - 1), 0
        while i < len(self.starts) and self.starts[i] < b:
            got += max(0, min(b, self.ends[i]) - max(a, self.starts[i]))
            i += 1
        return got

    def add(self, a, b):
        i = bisect.bisect_left(self.starts, a)
        if i > 0 and self.ends[i - 1] >= a:
            i -= 1
        j = i
        while j < len(self.starts) and self.starts[j] <= b:
            a, b = min(a, self.starts[j]), max(b, self.ends[j])
            j += 1
        self.starts[i:j], self.ends[i:j] = [a], [b]

    def highest_below(self, a, b):
        """End of the highest covered byte in [a, b), or a when none is."""
        i = bisect.bisect_left(self.starts, b) - 1
        return max(a, min(b, self.ends[i])) if i >= 0 and self.ends[i] > a else a


class Tracker:
    """What arrived of one stream: where each piece landed, and the faults.
    `fed` is how far the stream has been put on its way (bytes)."""

    def __init__(self, sid):
        self.sid = sid
        self.fed = 0
        self.got = Intervals()
        self.max_end = 0
        self.dup = self.reordered = self.delivered = 0
        self.chunks = []          # (position, time) of each write, for latency
        self.latency_max = 0.0
        self.latencies = []       # (seconds, time) of each piece that arrived
        self.recent = []          # the last placements (when, position, length, how)
        self.anomalies = []       # placements that doubled or reordered bytes, with context

    def fed_at(self, pos, when):
        self.chunks.append((pos, when))

    def place(self, pos, n, when=None, how=""):
        overlap = self.got.overlap(pos, pos + n)
        self.dup += overlap
        if pos < self.max_end:
            self.reordered += n - overlap
        self.recent.append((when, pos, n, how))
        del self.recent[:-24]
        if (overlap or pos < self.max_end) and len(self.anomalies) < 20:
            self.anomalies.append({"pos": pos, "n": n, "max_end": self.max_end,
                                   "recent": list(self.recent)})
        self.got.add(pos, pos + n)
        self.max_end = max(self.max_end, pos + n)
        self.delivered += n - overlap
        if when is not None and self.chunks:
            i = bisect.bisect_right(self.chunks, (pos, float("inf"))) - 1
            if i >= 0:
                self.latency_max = max(self.latency_max, when - self.chunks[i][1])
                self.latencies.append((when - self.chunks[i][1], when))
                if len(self.latencies) > 100000:
                    del self.latencies[:50000]
            if len(self.chunks) > 20000:
                keep = bisect.bisect_left(self.chunks, (self.max_end - 200000, 0.0))
                del self.chunks[:max(0, min(keep, len(self.chunks) - 1000))]

    def missing(self, a, b):
        """(lost inside, lost at the tail) of [a, b): bytes never delivered
        below the highest delivered byte of the range, and above it."""
        top = self.got.highest_below(a, b)
        inside = (top - a) - self.got.overlap(a, top)
        return inside, b - top


def anchor(section):
    """(sid, position) named by a whole record inside the section, when the
    section is that stream's bytes there; else None."""
    for j in range(min(len(section), REC)):
        if section[j] & 0x80:
            got = decode(section[j:j + REC])
            if got is not None:
                sid, pos = got[0], got[1] * REC - j
                if pos >= 0 and data(sid, pos, pos + len(section)) == section:
                    return sid, pos
            return None
    return None


def search(piece, t, prefer=None):
    """Position of a piece too short to name its place, in stream t: at
    `prefer` if it fits there and nothing arrived there yet, else the
    nearest place not yet reached (loss is possible, a byte twice is not),
    else the nearest earlier place."""
    n = len(piece)
    if prefer is not None and prefer >= t.max_end and data(t.sid, prefer, prefer + n) == piece:
        return prefer
    i = data(t.sid, t.max_end, max(t.fed, t.max_end + n)).find(piece)
    if i >= 0:
        return t.max_end + i
    lo = max(0, t.max_end - 20000)
    i = data(t.sid, lo, t.max_end + n - 1).rfind(piece)
    return lo + i if i >= 0 else None


class Placer:
    """Places the sections that arrive for one upward stream. A section
    either continues the stream or holds a whole record that names its
    place. A short piece that does neither is held and joined to the next
    piece of the line (the daemon sends a line's bytes in order, so the two
    are normally adjacent). Bytes of the other line count as crossed, bytes
    of no stream as corrupt."""

    def __init__(self, own, other):
        self.own, self.other = own, other
        self.held = []            # (piece, time) not placed yet, in order
        self.crossed = self.corrupt = 0

    def _where(self, piece):
        t = self.own
        if data(t.sid, t.max_end, t.max_end + len(piece)) == piece:
            return t.max_end
        got = anchor(piece)
        return got[1] if got is not None and got[0] == t.sid else None

    def section(self, piece, when):
        if self.held:
            joined = b"".join(p for p, _ in self.held) + piece
            pos = self._where(joined)
            if pos is not None:
                for p, w in self.held + [(piece, when)]:
                    self.own.place(pos, len(p), w, "joined")
                    pos += len(p)
                self.held = []
                return
            if len(joined) < 2 * REC - 1:
                self.held.append((piece, when))
                return
            self.flush(final=True, prefer_end=False)
        pos = self._where(piece)
        if pos is not None:
            self.own.place(pos, len(piece), when, "placed")
        elif len(piece) < 2 * REC - 1:
            self.held = [(piece, when)]
        else:
            self._foreign(piece)

    def flush(self, final=False, prefer_end=True):
        """Places held pieces: together at the end of what was fed if they
        fit there (the last pieces of a drain); one by one elsewhere only
        when `final`."""
        if not self.held:
            return
        joined = b"".join(p for p, _ in self.held)
        end = self.own.fed - len(joined)
        if prefer_end and data(self.own.sid, end, self.own.fed) == joined and end >= self.own.max_end:
            for p, w in self.held:
                self.own.place(end, len(p), w, "at end")
                end += len(p)
            self.held = []
            return
        if not final:
            return
        for p, w in self.held:
            pos = search(p, self.own)
            if pos is None:
                self._foreign(p)
            else:
                self.own.place(pos, len(p), w, "searched")
        self.held = []

    def _foreign(self, piece):
        got = anchor(piece)
        t = self.other
        if (got is not None and got[0] == t.sid) or \
                piece in data(t.sid, max(0, t.max_end - 20000), t.fed):
            self.crossed += len(piece)
        else:
            self.corrupt += len(piece)


class RecordReader:
    """Cuts a line's output (a plain byte stream) into records."""

    def __init__(self):
        self.buf = b""
        self.corrupt = 0

    def feed(self, chunk):
        self.buf += chunk
        out, i, n = [], 0, len(self.buf)
        while i < n:
            if not self.buf[i] & 0x80:
                self.corrupt += 1
                i += 1
                continue
            if n - i < REC:
                break
            got = decode(self.buf[i:i + REC])
            if got is None:
                self.corrupt += 1
                i += 1
                continue
            out.append(got)
            i += REC
        self.buf = self.buf[i:]
        return out
