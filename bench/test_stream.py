"""The byte reckoning of the numbered streams: a forwarder's faults must
show as exactly the bytes they cost, or the benchmark would hide them."""

import os
import random
import unittest

from .stream import pattern, reckon

MS = 1_000_000


def writes(total, step=100):
    return [(p, min(step, total - p), p // step * MS) for p in range(0, total, step)]


def chunks(pieces, line=1, delay=5 * MS, step=100):
    """[(t, bytes)] of stream slices (line, start, end), each arriving
    `delay` after the write that held its last byte."""
    out = []
    for ln, a, b in pieces:
        out.append(((b - 1) // step * MS + delay, pattern(ln, b)[a:b]))
    return out


class Reckoning(unittest.TestCase):
    def test_clean_stream_in_random_pieces(self):
        seed = int(os.environ.get("TRM_FUZZ_SEED", random.randrange(1 << 16)))
        print("seed", seed, "(TRM_FUZZ_SEED repeats it)")
        rng, cuts, p = random.Random(seed), [], 0
        while p < 20000:
            q = min(20000, p + rng.randrange(1, 1500))
            cuts.append((1, p, q))
            p = q
        counts, lat = reckon(1, chunks(cuts), writes(20000))
        self.assertEqual({k: counts[k] for k in ("lost", "duplicated", "reordered", "crossed",
                                                 "unplaced", "never_taken")},
                         dict(lost=0, duplicated=0, reordered=0, crossed=0, unplaced=0, never_taken=0))
        self.assertEqual(counts["received"], 20000)
        self.assertEqual(len(lat), 200)
        self.assertEqual(min(lat), 5 * MS)

    def test_each_fault_counted_exactly(self):
        pieces = [(1, 0, 600), (2, 800, 840), (1, 600, 1001),   # 40 bytes of line 2 crossed over
                  (1, 1502, 2500), (1, 2000, 2100),              # 501 lost, 100 again
                  (1, 2500, 3000), (1, 3200, 3400), (1, 3000, 3200),  # 200 late
                  (1, 3400, 9900)]                               # the last 100 still queued
        counts, lat = reckon(1, chunks(pieces), writes(10000), queued=100, refused=30)
        self.assertEqual(counts["lost"], 501)
        self.assertEqual(counts["duplicated"], 100)
        self.assertEqual(counts["reordered"], 200)
        self.assertEqual(counts["crossed"], 40)
        self.assertEqual(counts["unplaced"], 0)
        self.assertEqual(counts["never_taken"], 130)
        # slices whose last byte never came have no latency
        self.assertEqual(len(lat), 100 - 5 - 1)


if __name__ == "__main__":
    unittest.main()
