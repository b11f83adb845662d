"""Figures of a run: per fault kind, per phase, and the verdict. Tables go
to standard output; everything goes to the JSON file."""

import statistics

FAULT_KEYS = ("dup", "reordered", "crossed", "corrupt")


def _stat(values, digits=2):
    v = [x for x in values if x is not None]
    if not v:
        return "-"
    return "%s/%s" % (round(statistics.median(v), digits), round(max(v), digits))


def gap_of(gaps, windows, label):
    """Longest watchdog gap (lower, upper bound) that began in a window."""
    best = (0.0, 0.0)
    for lo, hi, end, _ in gaps:
        start = end - hi
        for t0, t1, lab in windows:
            if lab == label and t0 <= start <= t1 and lo > best[0]:
                best = (lo, hi)
    return best


def kinds(episodes, gaps, windows):
    """One row per fault kind."""
    rows = {}
    for e in episodes:
        k = rows.setdefault(e["kind"], {"kind": e["kind"], "episodes": 0, "breaks": 0,
                                        "stuck": 0, "notice": [], "accept": [], "init": [],
                                        "dropped_reads": 0, "probes_sent": 0, "probes_acted": 0,
                                        "partial_acted": 0, "unexpected_replies": 0,
                                        "up": {}, "down": {}, "in_flight_up": [],
                                        "in_flight_down": []})
        k["episodes"] += 1
        k["breaks"] += e["break"]
        k["stuck"] += e.get("stuck", False)
        for key in ("notice", "accept", "init"):
            k[key].append(e.get(key + "_s"))
        for key in ("dropped_reads", "partial_acted", "unexpected_replies"):
            k[key] += e.get(key, 0)
        k["probes_sent"] += e["probes"]["sent"]
        k["probes_acted"] += e["probes"]["acted"]
        for way in ("up", "down"):
            for d in e[way].values():
                for key, v in d.items():
                    k[way][key] = k[way].get(key, 0) + v
        if e["break"]:
            k["in_flight_up"].append(sum(d["in_flight"] for d in e["up"].values()))
            k["in_flight_down"].append(sum(d["in_flight"] for d in e["down"].values()))
    for k in rows.values():
        k["wdt_gap_s"] = [round(x, 3) for x in gap_of(gaps, windows, k["kind"])]
    return list(rows.values())


def _table(title, header, rows):
    print("\n" + title)
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)] if rows else []
    for row in [header] + rows:
        print("  " + "  ".join(str(x).rjust(w) for x, w in zip(row, widths)))


def print_kinds(rows):
    _table("Link-fault episodes: the link (seconds as median/max; watchdog gap as lower-upper bound)",
           ["kind", "eps", "breaks", "stuck", "noticed", "accepted", "init", "wdt gap",
            "reads not whole"],
           [[k["kind"], k["episodes"], k["breaks"], k["stuck"], _stat(k["notice"]),
             _stat(k["accept"]), _stat(k["init"]),
             "%.3f-%.3f" % tuple(k["wdt_gap_s"]) if k["wdt_gap_s"][0] else "< 0.1",
             k["dropped_reads"]] for k in rows])
    _table("Link-fault episodes: bytes (in flight per break as median/max; faults = "
           "dup+reordered+crossed+corrupt)",
           ["kind", "up fed", "up in flight", "on line", "failed wr", "up lost", "down acc",
            "down in flight", "down lost", "faults", "probes acted"],
           [[k["kind"], k["up"].get("fed", 0), _stat(k["in_flight_up"], 0), k["up"].get("on_line", 0),
             k["up"].get("failed_write", 0), k["up"].get("lost_up", 0),
             k["down"].get("accepted", 0), _stat(k["in_flight_down"], 0),
             k["down"].get("lost_up", 0),
             sum(k[w].get(f, 0) for w in ("up", "down") for f in FAULT_KEYS) + k["partial_acted"]
             + k["unexpected_replies"], "%d/%d" % (k["probes_acted"], k["probes_sent"])]
            for k in rows])


def print_sweep(rows):
    _table("Server packets split and joined (each must be acted on exactly once)",
           ["case", "packets", "acted once", "dropped", "partial", "dup", "link up"],
           [[r["case"], r["packets"], r["acted"], r["dropped"], r["partial"], r["dup"],
             r["link_up"]] for r in rows])


def print_deadlink(rows):
    _table("Silent dead link at the default settings (HeartbeatTime 10)",
           ["path", "mtu", "mode", "noticed after s", "by", "reconnect s", "cap s"],
           [[r["path"], r["mtu"], r["mode"], r["notice_s"] if r["notice_s"] is not None
             else "> %d" % r["cap_s"], r["line"], r["reconnect_after_notice_s"], r["cap_s"]]
            for r in rows])


def print_falsedrop(rows):
    _table("False drops on a slow, lossy cellular path (%s)" % (rows[0]["path"] if rows else ""),
           ["mode", "s", "link events", "relinks", "lost", "dup", "reordered", "link up"],
           [[r["mode"], r["seconds"], r["link_events"], r["relinks"], _lost(r),
             _fault(r, "dup"), _fault(r, "reordered"), r["link_up"]] for r in rows])
    for r in rows:
        if r["first_events"]:
            print("  %s: %s" % (r["mode"], r["first_events"]))


def _lost(r):
    return sum(d["lost_up"] + d["in_flight"] for w in ("up", "down") for d in r[w].values()) + \
        sum(d["on_line"] + d["failed_write"] for d in r["up"].values())


def _fault(r, key):
    return sum(d[key] for w in ("up", "down") for d in r[w].values())


def print_soak(s):
    rows = []
    for way, keys in (("up", ("fed", "lost_up", "in_flight", "on_line", "failed_write")),
                      ("down", ("accepted", "lost_up", "in_flight"))):
        for line, d in sorted(s[way].items()):
            name = "rs%s %s" % ("485" if str(line) == "1" else "232", way)
            lat = s["latency_s"].get(name) or "-"
            rows.append([name, d[keys[0]], d["delivered"], sum(d[k] for k in keys[1:]),
                         d["dup"], d["reordered"], d["crossed"], d["corrupt"],
                         "/".join(map(str, lat)) if lat != "-" else lat])
    _table("Soak (%s s, relinks %d)" % (s["seconds"], s["relinks"]),
           ["stream", "fed/accepted", "delivered", "lost", "dup", "reordered", "crossed",
            "corrupt", "latency s (median/p99/max)"], rows)
    print("  commands and challenges acted on: %d/%d; server reads with no whole packet "
          "(kept for the next read, or dropped): %d; "
          "this run's own loop held up at most %.3f s" % (
              s["probes"]["acted"], s["probes"]["sent"], s["dropped_reads"], s["loop_late_s"]))
    print("  resources: %s" % s["resources"])


def _stream_rows(r):
    return [[name, d["fed"], d["got"], d["lost"] + d["fed"] - d["got"], d["dup"], d["corrupt"],
             " ".join("%d..%d" % tuple(g) for g in d["gaps"][:4]) or "-"]
            for name, d in r["streams"].items()]


def print_hub(r):
    eps = r["episodes"]
    kinds = {}
    for e in eps:
        k = kinds.setdefault(e["kind"] if e["kind"] != "outage" else "outage %gs" % e["outage_s"],
                             [0, 0, []])
        k[0] += 1
        k[1] += bool(e.get("break"))
        k[2] += [e["back_s"]] if e.get("back_s") is not None else []
    _table("Through the hub, acknowledged link %s (%d links)" % ("on" if r["ack"] else "off",
                                                                r["relay_links"]),
           ["fault", "n", "breaks", "back s (median/max)"],
           [[k, v[0], v[1], _stat(v[2])] for k, v in kinds.items()])
    _table("Numbered streams through the hub (drained in %s s)" % r["drain_s"],
           ["stream", "fed", "got", "lost", "dup", "corrupt", "gaps"], _stream_rows(r))
    print("  hub's record: %s" % r["hub_ack"])


def print_overflow(o):
    _table("An outage of %g s past a 64 KiB buffer" % o["outage_s"],
           ["stream", "fed", "got", "lost", "dup", "corrupt", "gaps"], _stream_rows(o))
    print("  gaps seen %s; the daemon's log %s; the hub's last gap %s, bytes %s: %s" % (
        o["seen_gaps"], o["daemon_gaps"], o["hub_gaps"], o["hub_lost"],
        "the same" if o["agrees"] else "NOT THE SAME"))
