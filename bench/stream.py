"""Numbered byte streams and their reckoning.

Each line's stream is made of 4-byte records that number themselves: a tag
byte (high bit set: 0x80 | line << 3 | record bits 0..2) and three bytes
of 7 bits each (record bits 3..9, 10..16, 17..23). Only tag bytes have the
high bit set, so every record start is recognisable, every tag names its
line, and a 24-bit record number gives every byte of a 64 MiB stream its own
position. The low bits come first, so two records far apart differ early. Whatever a forwarder does to the bytes (drops a burst, repeats
one, swaps two, sends one line's bytes on the other), the receiving end can
put each byte it got back at its place and count what went wrong.
"""

import bisect

RECORD = 4
MAX_RECORDS = 1 << 24
_WINDOW = 1 << 16


def _cycle(values, repeat, count):
    """bytes: each of `values` repeated `repeat` times, cycled to `count`."""
    unit = b"".join(bytes([v]) * repeat for v in values)
    return (unit * (count // len(unit) + 1))[:count]


_cache = {}


def pattern(line, length):
    """The first `length` bytes of line `line`'s stream (1..15)."""
    have = _cache.get(line)
    if have is not None and len(have) >= length:
        return have[:length]
    records = min(MAX_RECORDS, max(1024, length // RECORD + 1, 2 * len(have or b"") // RECORD))
    buf = bytearray(records * RECORD)
    buf[0::4] = _cycle([0x80 | (line << 3) | k for k in range(8)], 1, records)
    buf[1::4] = _cycle(range(128), 1 << 3, records)
    buf[2::4] = _cycle(range(128), 1 << 10, records)
    buf[3::4] = _cycle(range(128), 1 << 17, records)
    _cache[line] = bytes(buf)
    return _cache[line][:length]


def decode(data, i):
    """(line, position) of the record whose tag is data[i], or None when the
    record is not whole there."""
    if i + RECORD > len(data) or data[i] < 0x80:
        return None
    a, b, c = data[i + 1], data[i + 2], data[i + 3]
    if (a | b | c) & 0x80:
        return None
    tag = data[i]
    n = (tag & 7) | a << 3 | b << 10 | c << 17
    return (tag >> 3) & 0x0F, n * RECORD


def _common(a, ai, b, bi):
    """Length of the common run of a[ai:] and b[bi:]."""
    total = 0
    while True:
        k = min(len(a) - ai, len(b) - bi, _WINDOW)
        if k <= 0:
            return total
        if a[ai:ai + k] == b[bi:bi + k]:
            total, ai, bi = total + k, ai + k, bi + k
            if k < _WINDOW:
                return total
            continue
        lo, hi = 0, k  # a[ai:ai+lo] matches, a[ai:ai+hi] does not
        while hi - lo > 1:
            mid = (lo + hi) // 2
            if a[ai:ai + mid] == b[bi:bi + mid]:
                lo = mid
            else:
                hi = mid
        return total + lo


class Placement:
    """Where the received bytes of one line belong.

    runs: (position, length, index in the received bytes) in arrival order;
    crossed: bytes that belong to another line's stream; unplaced: bytes
    that fit no position (damaged, or torn records between two losses)."""

    def __init__(self):
        self.runs = []
        self.crossed = 0
        self.unplaced = 0


def place(line, received, written):
    """Places the bytes `received` (one line, in arrival order) in the
    stream of which the first `written` bytes were sent."""
    own = pattern(line, written)
    out = Placement()
    j, e, pending, tagged = 0, None, 0, None
    while j < len(received):
        if e is not None:
            k = _common(received, j, own, e)
            # a record torn at the end of the run may start like the one
            # expected; its whole number says whether it is
            for x in range(max(0, k - 3), k):
                rec = decode(received, j + x) if received[j + x] & 0x80 else None
                if rec is not None and rec != (line, e + x):
                    k = x
                    break
            if tagged == j and k < RECORD and j + k < len(received):
                k = 0  # a fresh tag must be followed by its whole record
            if k:
                out.runs.append((e, k, j))
                j, e = j + k, e + k
                continue
            if tagged == j:
                # a tag that decodes to a place its bytes do not match (a
                # record torn where the line refused bytes): not a record
                j, pending, e, tagged = j + 1, pending + 1, None, None
                continue
        rec = decode(received, j)
        if rec is None:
            j, pending, e = j + 1, pending + 1, None
            continue
        rline, pos = rec
        if rline == line and pos >= len(own):  # torn bytes that read as a tag past the end
            j, pending, e = j + 1, pending + 1, None
            continue
        if rline != line:
            k = _common(received, j, pattern(rline, pos + len(received) - j), pos)
            out.crossed += k
            j, e = j + k, None
            continue
        # bytes held back before this tag: the tail of the record before it
        back = 0
        while back < min(pending, pos) and received[j - back - 1] == own[pos - back - 1]:
            back += 1
        if back:
            out.runs.append((pos - back, back, j - back))
        out.unplaced += pending - back
        pending, e, tagged = 0, pos, j
    out.unplaced += pending
    return out


class Coverage:
    """A set of positions as sorted disjoint intervals [start, end)."""

    def __init__(self):
        self.starts, self.ends = [], []

    def add(self, a, b):
        """Adds [a, b); returns how many of its positions were there already."""
        i = bisect.bisect_left(self.ends, a)
        seen, lo, hi = 0, a, b
        while i < len(self.starts) and self.starts[i] <= b:
            seen += max(0, min(b, self.ends[i]) - max(a, self.starts[i]))
            lo, hi = min(lo, self.starts[i]), max(hi, self.ends[i])
            del self.starts[i], self.ends[i]
        self.starts.insert(i, lo)
        self.ends.insert(i, hi)
        return seen

    def covered(self, a, b):
        i = bisect.bisect_right(self.ends, a)
        n = 0
        while i < len(self.starts) and self.starts[i] < b:
            n += min(b, self.ends[i]) - max(a, self.starts[i])
            i += 1
        return n


def reckon(line, chunks, writes, queued=0, refused=0):
    """Accounts for one line.

    chunks: [(t_ns, bytes)] as received; writes: [(position, taken, t_ns)]
    as the feeder wrote them (in order); queued: bytes still in the line's
    queue at the end; refused: bytes the queue would not take on schedule.
    Returns a dict of counts and the latency of every written slice (ns
    from its write to the arrival of its last byte)."""
    received = b"".join(c for _, c in chunks)
    ends, t = [], []
    off = 0
    for when, c in chunks:
        off += len(c)
        ends.append(off)
        t.append(when)
    written = max((p + n for p, n, _ in writes), default=0)
    pl = place(line, received, written)

    cov, first, duplicated, reordered, top = Coverage(), [], 0, 0, 0
    for pos, n, j in pl.runs:
        dup = cov.add(pos, pos + n)
        duplicated += dup
        if pos < top:
            reordered += max(0, min(pos + n, top) - pos) - dup
        top = max(top, pos + n)
        if dup == 0:  # first arrivals only: they time the bytes
            first.append((pos, n, j))

    # the bytes still queued at the end are the last ones taken
    left, tail_from = queued, written
    for p, n, _ in reversed(writes):
        if left <= 0:
            break
        take = min(left, n)
        tail_from, left = p + n - take, left - take

    first.sort()
    starts = [f[0] for f in first]
    lost, latencies = 0, []
    for p, n, tw in writes:
        if n <= 0:
            continue
        end = min(p + n, tail_from)
        if end > p:
            lost += (end - p) - cov.covered(p, end)
        q = p + n - 1
        i = bisect.bisect_right(starts, q) - 1
        if i >= 0 and q < first[i][0] + first[i][1]:
            idx = first[i][2] + (q - first[i][0])
            latencies.append(t[bisect.bisect_right(ends, idx)] - tw)
    taken = sum(n for _, n, _ in writes)
    return {
        "taken": taken, "received": len(received), "lost": lost,
        "duplicated": duplicated, "reordered": reordered, "crossed": pl.crossed,
        "unplaced": pl.unplaced, "never_taken": refused + queued,
        "refused": refused, "queued": queued,
    }, latencies
