"""The verdict of a run. Findings are correctness faults, whatever the
machine's speed: they fail every run. Criteria are the figures the daemon
must show (loss while the link is up, timings, flat memory); a full run
fails when one is missed, the quick run only reports them."""

FAULTS = ("dup", "reordered", "crossed", "corrupt")
RSS_FLAT_KB = 512
BREAK_KINDS = ("close", "reset", "close_in_packet", "close_in_heartbeat", "silent", "stall")


def _sum(rows, way, keys):
    return sum(d.get(k, 0) for r in rows for d in r[way].values() for k in keys)


def _stat(values):
    v = sorted(x for x in values if x is not None)
    missing = len(values) - len(v)
    text = "%.1f/%.1f" % (v[len(v) // 2], v[-1]) if v else "-"
    return text + (" (%d not noticed)" % missing if missing else "")


def _growth(fds):
    """Descriptors at the last link-ups over those at the first ones."""
    return min(fds[-5:]) - min(fds[:5]) if fds else 0


def _hub_sum(r, key):
    return sum(d[key] for d in r["streams"].values())


class Judge:
    def __init__(self, results):
        self.r = results
        self.findings, self.missed, self.criteria = [], [], []

    def finding(self, cond, text):
        if cond:
            self.findings.append(text)

    def criterion(self, name, ok, figure):
        if ok is None:
            return
        self.criteria.append({"criterion": name, "ok": ok, "figure": figure})
        if not ok:
            self.missed.append(name)

    def episodes(self):
        eps = self.r.get("episodes")
        if eps is None:
            return
        bad = _sum(eps, "up", FAULTS) + _sum(eps, "down", FAULTS)
        odd = sum(e["partial_acted"] + e["unexpected_replies"] + e["framing_lost"] for e in eps)
        self.finding(bad, "%d bytes duplicated, reordered, crossed or corrupt in the episodes" % bad)
        self.finding(odd, "%d partial packets acted on / duplicate replies / unframeable "
                          "bytes in the episodes" % odd)
        stuck = sum(e.get("stuck", False) for e in eps)
        self.finding(stuck, "%d episodes after which the daemon did not come back" % stuck)
        fds = self.r["rigs"].get("main", {}).get("fd_online", [])
        self.finding(_growth(fds), "descriptors grew by %d over the episodes" % _growth(fds))
        lost = _sum(eps, "up", ("lost_up",)) + _sum(eps, "down", ("lost_up",))
        self.criterion("episodes: 0 bytes lost while the link was up", lost == 0,
                       "%d bytes" % lost)
        slow = [e for e in eps if e["break"] and e.get("accept_s") is not None and
                e.get("notice_s") is not None and e["kind"] != "silent" and
                (e["accept_s"] - e["notice_s"] > 1.5 or not 0.9 < e["init_s"] - e["accept_s"] < 2.0)]
        self.criterion("episodes: reconnect at once after the link is given up, init 1 s later",
                       not slow, "%d slow of %d breaks" % (len(slow), sum(e["break"] for e in eps)))
        quiet = [e.get("notice_s") for e in eps if e["kind"] == "silent"]
        if quiet:
            self.criterion("episodes: silent path (busy) noticed within 30 s",
                           all(q is not None and q <= 30 for q in quiet),
                           "median/max %s s" % _stat(quiet))
        probes = [(e["probes"]["acted"], e["probes"]["sent"]) for e in eps
                  if e["kind"] in ("split", "coalesce", "trickle")]
        acted, sent = sum(p[0] for p in probes), sum(p[1] for p in probes)
        self.criterion("episodes: split, joined and trickled packets acted on", acted == sent,
                       "%d of %d" % (acted, sent))

    def watchdog(self):
        for name in ("main", "loopback"):
            rig = self.r["rigs"].get(name)
            if rig:
                lo, hi, where = rig["wdt_longest"]
                # the loop sleeps until something is due, and the watchdog is
                # due at the latest 1.5 s after its last service (of its 5 s)
                self.criterion("%s daemon: longest watchdog service gap <= 1.5 s" % name,
                               (lo + hi) / 2 <= 1.5, "%.3f-%.3f s (%s)" % (lo, hi, where))

    def rigs(self):
        for name, rig in self.r["rigs"].items():
            self.finding(rig["crashes"], "%s daemon ended: %s" % (name, rig["crashes"]))
            self.finding(rig["sanitizer"], "%s daemon sanitizer report: %s" % (
                name, rig["sanitizer"][:3]))
            self.finding(not rig["alive_at_end"], "%s daemon not running at the end" % name)
        for s in self.r.get("stuck", []):
            self.findings.append("stuck: " + s)
        for e in self.r.get("errors", []):
            self.findings.append("the suite itself failed: " + e.strip().splitlines()[-1])

    def sweep(self):
        rows = self.r.get("reassembly")
        if rows is None:
            return
        dup = sum(x["dup"] + x["partial"] for x in rows)
        self.finding(dup, "%d split/joined packets acted on twice or in part" % dup)
        acted, sent = sum(x["acted"] for x in rows), sum(x["packets"] for x in rows)
        self.criterion("every packet split at any byte or joined (2-4) acted on once",
                       acted == sent and not dup, "%d of %d" % (acted, sent))

    def deadlink(self):
        rows = self.r.get("deadlink")
        if rows:
            worst = [r["notice_s"] for r in rows]
            self.criterion("silent dead link noticed within 30 s (idle, busy; veth, lo, cell)",
                           all(w is not None and w <= 30 for w in worst),
                           ", ".join("%s %s %s" % (r["path"], r["mode"], r["notice_s"]) for r in rows))
        busy = [r["notice_s"] for r in rows or () if r["path"] == "cell" and r["mode"] == "busy"]
        if busy:
            self.criterion("silent dead link on the cellular path noticed within 10 s busy",
                           all(w is not None and w <= 10 for w in busy), _stat(busy) + " s")

    def falsedrop(self):
        for r in self.r.get("falsedrop", ()):
            bad = sum(d[k] for w in ("up", "down") for d in r[w].values() for k in FAULTS)
            self.finding(bad + r["partial_acted"], "falsedrop %s: %d bytes duplicated/reordered/"
                         "crossed/corrupt, %d partial packets" % (r["mode"], bad, r["partial_acted"]))
            lost = sum(d["lost_up"] + d["in_flight"] for w in ("up", "down") for d in r[w].values())
            lost += sum(d["on_line"] + d["failed_write"] for d in r["up"].values())
            self.criterion("falsedrop %s: no link given up, 0 bytes lost" % r["mode"],
                           r["link_events"] == 0 and r["relinks"] == 0 and lost == 0,
                           "%d link events, %d relinks, %d bytes lost in %.0f s" % (
                               r["link_events"], r["relinks"], lost, r["seconds"]))

    def soak(self):
        s = self.r.get("soak")
        if s is None:
            return
        bad = sum(d[k] for w in ("up", "down") for d in s[w].values() for k in FAULTS)
        self.finding(bad + s["partial_acted"] + s["unexpected_replies"],
                     "soak: %d bytes duplicated/reordered/crossed/corrupt, %d partial packets, "
                     "%d duplicate replies" % (bad, s["partial_acted"], s["unexpected_replies"]))
        res = s.get("resources", {})
        grew = res.get("fds_last", 0) - res.get("fds_first", 0)
        self.finding(grew > 0, "soak: descriptors grew by %d" % grew)
        lost = sum(d["lost_up"] + d["in_flight"] for w in ("up", "down") for d in s[w].values())
        lost += sum(d["on_line"] + d["failed_write"] for d in s["up"].values())
        self.criterion("soak: 0 lost, duplicated or reordered, link up throughout",
                       lost == 0 and not bad and s["relinks"] == 0,
                       "%d lost, %d relinks, %d/%d commands" % (
                           lost, s["relinks"], s["probes"]["acted"], s["probes"]["sent"]))
        g = res.get("rss_growth_kb")
        self.criterion("soak: RSS and descriptors flat", None if g is None else
                       g <= RSS_FLAT_KB and grew <= 0,
                       "RSS %s -> %s kB (max %s, second half %+d kB), fds %s -> %s" % (
                           res.get("rss_first_kb"), res.get("rss_last_kb"), res.get("rss_max_kb"),
                           g or 0, res.get("fds_first"), res.get("fds_last")))

    def files(self):
        m = self.r.get("modemfile")
        if m:
            self.finding(m["mixed"] or m["odd_signals"],
                         "modem file: %d @CSQ replies and %d signal bytes from no one file" % (
                             m["mixed"], m["odd_signals"]))
        s = self.r.get("save")
        if s:
            self.finding(s["broken"], "configuration file broken after %d kills: %s" % (
                s["broken"], s["broken_files"][:2]))
            self.finding(s["start_read_wrong"], "%d starts after a kill did not read the saved "
                                                "file" % s["start_read_wrong"])
            self.finding(not (s["final_save_ok"] and s["final_start_alias_ok"]) or
                         s["final_tmp_left"], "the save after the kills failed or left its "
                                              "temporary file: %s" % s)
        c = self.r.get("celmon")
        if c:
            self.finding(not c["alive"], "celmon ended: %s" % (c.get("error") or c.get("tail")))
            self.finding(c.get("malformed"), "modem information file malformed %d times" %
                         c.get("malformed", 0))
            grew = (c.get("fds_last") or 0) - (c.get("fds_first") or 0)
            self.finding(grew > 0, "celmon descriptors grew by %d" % grew)
            self.criterion("celmon picks the modem up again after each return",
                           c["recovered"] == c["cycles"], "%d of %d, %s s" % (
                               c["recovered"], c["cycles"], c["recover_s"]))


    def hub(self):
        """Through the hub: with the acknowledged link nothing may go missing."""
        r = self.r.get("hub")
        if r is not None:
            bad = _hub_sum(r, "dup") + _hub_sum(r, "corrupt")
            self.finding(bad, "through the hub: %d bytes duplicated or corrupt" % bad)
            self.finding(r["stuck"], "through the hub: %d breaks the gateway did not come back "
                         "from" % r["stuck"])
            lost = _hub_sum(r, "lost") + sum(d["fed"] - d["got"] for d in r["streams"].values())
            if r["ack"]:
                self.finding(lost, "through the hub with the acknowledged link: %d bytes lost" % lost)
            self.criterion("through the hub: 0 bytes lost, duplicated or reordered over %d faults"
                           % len(r["episodes"]), lost == 0 and not bad, "%d lost" % lost)
        o = self.r.get("hub_overflow")
        if o is not None:
            self.finding(not o["agrees"], "an outage past the daemon's buffer: the bytes lost are not "
                         "those the daemon and the hub name: %s" % {k: o[k] for k in (
                             "seen_gaps", "daemon_gaps", "hub_gaps", "hub_lost")})
            self.finding(_hub_sum(o, "dup") + _hub_sum(o, "corrupt"), "the overflow run doubled bytes")


def judge(results, quick):
    j = Judge(results)
    for part in (j.episodes, j.watchdog, j.rigs, j.sweep, j.deadlink, j.falsedrop, j.soak,
                 j.files, j.hub):
        part()
    return {"findings": j.findings, "missed": j.missed, "criteria": j.criteria, "quick": quick}


def show(results):
    v = results["verdict"]
    print("\nWhat the daemon must show")
    for c in v["criteria"]:
        print("  %-4s %s: %s" % ("ok" if c["ok"] else "MISS", c["criterion"], c["figure"]))
    print("\nCorrectness findings: %s" % (len(v["findings"]) or "none"))
    for f in v["findings"]:
        print("  FINDING %s" % f)
