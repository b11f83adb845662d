"""The table a run prints, and the goals the figures are held against."""

DAEMON_FAST, DAEMON = "qysc TI=1", "qysc TI=50"


def _get(d, *path):
    for k in path:
        if not isinstance(d, (dict, list)):
            return None
        try:
            d = d[k]
        except (KeyError, IndexError, TypeError):
            return None
    return d


def _f(v, fmt="%.2f"):
    return "-" if v is None else fmt % v


def _stats(s):
    if not s:
        return "-"
    return "/".join(_f(s[k]) for k in ("p50", "p90", "p99", "max"))


def _ratio(a, b):
    return None if a is None or not b else a / b


def goals(r):
    """[{goal, value, target, met}]; met is None where a figure is missing."""
    out = []

    def add(goal, value, limit, fmt="%.2f", unit="", below=True, note=""):
        met = None if value is None or limit is None else (value <= limit if below else value >= limit)
        out.append({"goal": goal, "value": _f(value, fmt) + unit,
                    "target": ("≤ " if below else "≥ ") + _f(limit, fmt) + unit + note, "met": met})

    lat = r.get("latency") or {}
    for label in (DAEMON_FAST, DAEMON):
        gap = _get(lat, label, "gap_ms")
        for size in ("16", "256"):
            add("serial→server p99, %s B, %s" % (size, label), _get(lat, label, "up", size, "p99"),
                None if gap is None else gap + 0.5, unit=" ms",
                note=" (ser2net %s)" % _f(_get(lat, "ser2net", "up", size, "p99")))
    for size in ("16", "256"):
        ref = _get(lat, "ser2net", "down", size, "p99")
        add("server→serial p99, %s B, %s" % (size, DAEMON_FAST),
            _get(lat, DAEMON_FAST, "down", size, "p99"), None if ref is None else 1.2 * ref,
            unit=" ms", note=" (1.2 × ser2net)")

    bursts = r.get("bursts") or {}
    for label in (DAEMON_FAST, DAEMON):
        add("CPU per 16-byte burst, %s" % label, _get(bursts, label, "cpu_us"),
            _get(bursts, "ser2net", "cpu_us"), fmt="%.0f", unit=" µs",
            note=" (ser2net; net of idle timers %s / %s)" % (
                _f(_get(bursts, label, "cpu_us_net"), "%.0f"), _f(_get(bursts, "ser2net", "cpu_us_net"), "%.0f")))
        add("context switches per burst, %s" % label, _get(bursts, label, "switches"), 3.0)

    runs = [x for x in (_get(r, "load", "qysc") or []) if isinstance(x, dict)]
    top = max(runs, key=lambda x: x["bitrate"]) if runs else None
    if top:
        faults = sum(_get(top, ln, k) or 0 for ln in ("line1", "line2")
                     for k in ("never_taken", "lost", "duplicated", "reordered", "crossed"))
        what = "both lines %d bit/s, %g s" % (top["bitrate"], top["seconds"])
        add(what + ": bytes not through", faults, 0, fmt="%d", note=" (target run: 60 s)")
        for ln in ("line1", "line2"):
            add(what + ": %s p99" % ln, _get(top, ln, "latency", "p99"), 50 + 20.0, unit=" ms")

    tp = _get(r, "throughput", "qysc") or {}
    add("one line flat out", tp.get("mb_per_s"), 4.0, unit=" MB/s", below=False)
    add("one line flat out: bytes lost", tp.get("lost"), 0, fmt="%d")

    idle = r.get("idle") or {}
    floor = " (floor %s %%)"
    add("idle connected CPU", _get(idle, "qysc", "connected", "cpu_pct"), 0.05, fmt="%.3f", unit=" %",
        note=floor % _f(_get(idle, "floor", "connected", "cpu_pct"), "%.3f"))
    add("idle connected wake-ups", _get(idle, "qysc", "connected", "wakeups_per_s"), 5.0, fmt="%.1f",
        unit="/s")
    # a pass now comes only when something is due, and does what it is for
    # (a pass every 5 ms once had one call): the calls a second are the cost
    add("idle connected system calls a second",
        _get(idle, "qysc", "connected", "syscalls", "per_s"), 10.0, fmt="%.1f")
    add("idle disconnected CPU", _get(idle, "qysc", "disconnected", "cpu_pct"), 0.02,
        fmt="%.3f", unit=" %", note=floor % _f(_get(idle, "floor", "disconnected", "cpu_pct"), "%.3f"))
    rss = _get(idle, "qysc", "memory", "rss_kib")
    add("RSS, dynamic host build", None if rss is None else rss / 1024, 2.0, unit=" MiB")
    rss = _get(idle, "qysc static", "memory", "rss_kib")
    add("RSS, static board configuration", None if rss is None else rss / 1024, 1.0, unit=" MiB")
    add("heap calls after start-up (every daemon run)", _get(r, "heap_after_start", "total"), 0,
        fmt="%d")
    add("trickle 1 byte / 2 ms: CPU", _get(r, "trickle", "qysc", "cpu_pct"), 2.0, unit=" %")
    return out


def _section(title, cols, rows):
    width = [max(len(str(x)) for x in col) for col in zip(*([[""] + cols] + rows))]
    lines = [title, "  " + "  ".join(str(c).rjust(w) if i else str(c).ljust(w)
                                     for i, (c, w) in enumerate(zip([""] + cols, width)))]
    for row in rows:
        lines.append("  " + "  ".join(str(c).rjust(w) if i else str(c).ljust(w)
                                      for i, (c, w) in enumerate(zip(row, width))))
    return "\n".join(lines)


def _latency(r):
    lat = r.get("latency") or {}
    cols = [c for c in lat if isinstance(lat[c], dict) and "up" in lat[c]]
    if not cols:
        return None
    rows = []
    for d, name in (("up", "serial→server"), ("down", "server→serial")):
        for size in ("16", "256"):
            rows.append(["%s %s B" % (name, size)] + [_stats(_get(lat, c, d, size)) for c in cols])
            if d == "up":
                rows.append(["  p50/p99 minus gap"] + [
                    "%s/%s" % (_f(_get(lat, c, d, size, "p50") - lat[c]["gap_ms"]),
                               _f(_get(lat, c, d, size, "p99") - lat[c]["gap_ms"]))
                    if _get(lat, c, d, size) else "-" for c in cols])
            for ref in ("ser2net", "socat"):
                if ref in lat:
                    rows.append(["  p50/p99 ÷ %s" % ref] + [
                        "%s/%s" % (_f(_ratio(_get(lat, c, d, size, "p50"), _get(lat, ref, d, size, "p50"))),
                                   _f(_ratio(_get(lat, c, d, size, "p99"), _get(lat, ref, d, size, "p99"))))
                        for c in cols])
    rows.append(["samples (bad)"] + ["%s (%s)" % (_get(lat, c, "up", "16", "n"), lat[c]["bad_samples"])
                                     for c in cols])
    return _section("Latency, line 1, p50/p90/p99/max ms (gap = TimeInterval; ser2net and socat "
                    "have none)", cols, rows)


def _bursts(r):
    b = r.get("bursts") or {}
    cols = [c for c in b if isinstance(b[c], dict) and "cpu_us" in b[c]]
    if not cols:
        return None
    calls = sorted({k for c in cols for k in (_get(b, c, "syscalls", "per_burst") or {})})
    rows = [["CPU µs per burst"] + [_f(_get(b, c, "cpu_us"), "%.0f") for c in cols],
            ["context switches per burst"] + [_f(_get(b, c, "switches")) for c in cols],
            ["  net of its idle timers: CPU µs, switches"] + [
                "%s, %s" % (_f(_get(b, c, "cpu_us_net"), "%.0f"), _f(_get(b, c, "switches_net")))
                for c in cols],
            ["window ms (write to arrival + 3 ms)"] + [_f(_get(b, c, "window_ms"), "%.1f") for c in cols],
            ["bursts (bad)"] + ["%s (%s)" % (_get(b, c, "n"), _get(b, c, "bad")) for c in cols],
            ["system calls per burst (strace)"] + [_f(_get(b, c, "syscalls", "total"), "%.1f") for c in cols]]
    rows += [["  " + k] + [_f(_get(b, c, "syscalls", "per_burst", k), "%.1f") for c in cols] for k in calls]
    return _section("One 16-byte burst on line 1, serial→server (CPU of the forwarder's processes)",
                    cols, rows)


def _throughput(r):
    tp = r.get("throughput") or {}
    cols = [c for c in tp if isinstance(tp[c], dict) and "taken" in tp[c]]
    if not cols:
        return None
    rows = [["MB/s"] + [_f(tp[c]["mb_per_s"]) for c in cols],
            ["bytes fed"] + [tp[c]["taken"] for c in cols],
            ["lost/dup/reordered/unplaced"] + ["%d/%d/%d/%d" % tuple(
                tp[c][k] for k in ("lost", "duplicated", "reordered", "unplaced")) for c in cols],
            ["CPU % of one core"] + [_f(tp[c]["cpu_pct"], "%.1f") for c in cols]]
    if "ser2net" in tp and "qysc" in tp:
        rows.append(["qysc ÷ ser2net / ÷ socat"] + ["%s / %s" % (
            _f(_ratio(tp["qysc"]["mb_per_s"], tp["ser2net"]["mb_per_s"]), "%.3f"),
            _f(_ratio(tp["qysc"]["mb_per_s"], _get(tp, "socat", "mb_per_s")), "%.3f"))] +
            [""] * (len(cols) - 1))
    return _section("One line flat out (byte-exact check on the numbered stream)", cols, rows)


def _load(r):
    ld = r.get("load") or {}
    cols = [c for c in ld if isinstance(ld[c], list)]
    if not cols:
        return None
    rows = []
    for i, run in enumerate(ld[cols[0]]):
        rows.append(["%d bit/s, %g s" % (run["bitrate"], run["seconds"])] + [""] * len(cols))
        for ln, name in (("line1", "RS-485"), ("line2", "RS-232")):
            rows.append(["  %s never taken/lost/dup/reord/crossed" % name] + [
                "%d/%d/%d/%d/%d" % tuple(_get(ld, c, i, ln, k) or 0 for k in (
                    "never_taken", "lost", "duplicated", "reordered", "crossed")) for c in cols])
            rows.append(["  %s latency p50/p90/p99/max ms" % name] +
                        [_stats(_get(ld, c, i, ln, "latency")) for c in cols])
        rows.append(["  CPU % of one core"] + [_f(_get(ld, c, i, "cpu_pct"), "%.1f") for c in cols])
    return _section("Both lines fed at once, paced (8N1)", cols, rows)


def _idle(r):
    idle, tr = r.get("idle") or {}, r.get("trickle") or {}
    cols = [c for c in idle if isinstance(idle[c], dict) and "connected" in idle[c]]
    cols += [c for c in tr if isinstance(tr[c], dict) and "cpu_pct" in tr[c] and c not in cols]
    if not cols:
        return None

    def cell(c, *p):
        return _get(idle, c, *p)
    rows = []
    for state in ("connected", "disconnected"):
        rows.append(["%s: CPU %% / wake-ups/s" % state] + [
            "%s / %s" % (_f(cell(c, state, "cpu_pct"), "%.3f"), _f(cell(c, state, "wakeups_per_s"), "%.0f"))
            if cell(c, state) else "-" for c in cols])
        rows.append(["%s: syscalls/s%s" % (state, ", per pass" if state == "connected" else "")] + [
            _f(cell(c, state, "syscalls", "per_s"), "%.0f") +
            (", " + _f(cell(c, state, "syscalls", "per_pass"), "%.1f") if state == "connected" else "")
            if cell(c, state, "syscalls") else "-" for c in cols])
    rows.append(["RSS / PSS KiB"] + ["%s / %s" % (cell(c, "memory", "rss_kib"), cell(c, "memory", "pss_kib"))
                                     if cell(c, "memory") else "-" for c in cols])
    rows.append(["trickle 1 B/2 ms: CPU % / wake-ups/s"] + [
        "%s / %s" % (_f(_get(tr, c, "cpu_pct"), "%.2f"), _f(_get(tr, c, "wakeups_per_s"), "%.0f"))
        if _get(tr, c) else "-" for c in cols])
    rows.append(["trickle: latency p50/p99 ms"] + [
        "%s/%s" % (_f(_get(tr, c, "latency", "p50"), "%.1f"), _f(_get(tr, c, "latency", "p99"), "%.1f"))
        if _get(tr, c, "latency") else "-" for c in cols])
    return _section("Cost (idle windows, strace windows apart)", cols, rows)


def _modbus(r):
    mb = r.get("modbus") or {}
    cols = [c for c in mb if isinstance(mb[c], dict) and "bad_samples" in mb[c]]
    if not cols:
        return None
    rows = [["read 10 registers, ms"] + [_stats(mb[c]) for c in cols],
            ["samples (bad)"] + ["%s (%d)" % (mb[c].get("n"), mb[c]["bad_samples"]) for c in cols]]
    return _section("Modbus round trip to a pymodbus RTU slave (qysc: bridge; others: RTU over TCP)",
                    cols, rows)


def table(r):
    m = r["meta"]
    head = ("TRM-310 daemon benchmark %s%s\nmachine: %s, %d cores, %s; load average %s at start, %s at end"
            "\nbuild: %s (source %s); ser2net %s; %s" % (
                m["date"], " (quick smoke: small counts, not figures)" if m["quick"] else "",
                m["machine"]["cpu"], m["machine"]["cores"], m["machine"]["kernel"],
                " ".join(m["machine"]["loadavg_start"]), " ".join(m["machine"].get("loadavg_end", [])),
                m["build"], m["source"], m["ser2net"], " ".join(m["socat"])))
    parts = [head]
    for fn in (_latency, _bursts, _throughput, _load, _idle, _modbus):
        try:
            s = fn(r)
        except (KeyError, TypeError, IndexError) as e:
            s = "(%s: cannot show: %r)" % (fn.__name__, e)
        if s:
            parts.append(s)
    rows = [[g["goal"], g["value"], g["target"],
             {True: "yes", False: "NO", None: "-"}[g["met"]]] for g in r["goals"]]
    parts.append(_section("Goals", ["value", "target", "met"], rows))
    return "\n\n".join(parts)


def markdown(r):
    """The README's summary table of a run: qysc beside ser2net and socat."""
    g = {x["goal"]: x for x in r["goals"]}
    lat, tp, idle = r.get("latency") or {}, r.get("throughput") or {}, r.get("idle") or {}
    ld = {c: v for c, v in (r.get("load") or {}).items() if isinstance(v, list)}
    subjects = ("ser2net", "socat")

    def pair(d, *p):
        return "%s / %s ms" % (_f(_get(d, *p, "p50")), _f(_get(d, *p, "p99"))) if _get(d, *p) else ""

    def met(goal):
        m = g.get(goal, {}).get("met")
        return {True: "yes", False: "no", None: "-"}[m]

    def faults(run, ln):
        return "/".join(str(_get(run, ln, k)) for k in ("never_taken", "lost", "duplicated", "reordered"))

    rows = []
    for size in ("16", "256"):
        for label in (DAEMON_FAST, DAEMON):
            gap = _get(lat, label, "gap_ms")
            rows.append(["serial→server %s B p50/p99, TI=%s" % (size, gap), pair(lat, label, "up", size)] +
                        [pair(lat, s, "up", size) if label == DAEMON_FAST else "" for s in subjects] +
                        ["p99 ≤ gap + 0.5 ms", met("serial→server p99, %s B, %s" % (size, label))])
    for size in ("16", "256"):
        rows.append(["server→serial %s B p50/p99, TI=1" % size, pair(lat, DAEMON_FAST, "down", size)] +
                    [pair(lat, s, "down", size) for s in subjects] +
                    ["p99 ≤ 1.2 × ser2net", met("server→serial p99, %s B, %s" % (size, DAEMON_FAST))])
    bursts = r.get("bursts") or {}
    for label in (DAEMON_FAST, DAEMON):
        rows.append(["16-byte burst: CPU µs, switches, TI=%s" % _get(bursts, label, "gap_ms"),
                     "%s, %s" % (_f(_get(bursts, label, "cpu_us"), "%.0f"), _f(_get(bursts, label, "switches")))] +
                    ["%s, %s" % (_f(_get(bursts, s, "cpu_us"), "%.0f"), _f(_get(bursts, s, "switches")))
                     if label == DAEMON_FAST else "" for s in subjects] +
                    ["≤ ser2net, ≤ 3", "/".join(met(x % label) for x in (
                        "CPU per 16-byte burst, %s", "context switches per burst, %s"))])
    rows.append(["one line flat out", "%s MB/s, %s lost" % (_f(_get(tp, "qysc", "mb_per_s")),
                                                           _get(tp, "qysc", "lost"))] +
                ["%s MB/s" % _f(_get(tp, s, "mb_per_s"), "%.1f") for s in subjects] +
                ["≥ 4 MB/s, 0 lost", met("one line flat out")])
    runs = ld.get("qysc", [])
    for i, run in enumerate(runs):
        name = "both lines %d bit/s, %g s" % (run["bitrate"], run["seconds"])
        top = run["bitrate"] == max(x["bitrate"] for x in runs)
        rows.append([name + ": never taken/lost/dup/reordered",
                     "RS-485 %s, RS-232 %s" % (faults(run, "line1"), faults(run, "line2"))] +
                    ["%s, %s" % (faults(_get(ld, s, i), "line1"), faults(_get(ld, s, i), "line2"))
                     if _get(ld, s, i) else "" for s in subjects] +
                    ["all 0" if top else "", met(name + ": bytes not through") if top else ""])
        rows.append([name + ": per-line p99", "%s / %s ms" % (
            _f(_get(run, "line1", "latency", "p99")), _f(_get(run, "line2", "latency", "p99")))] +
            ["%s / %s ms" % (_f(_get(ld, s, i, "line1", "latency", "p99")),
                             _f(_get(ld, s, i, "line2", "latency", "p99"))) for s in subjects] +
            ["≤ gap + 20 ms" if top else "",
             "/".join(met(name + ": line%d p99" % k) for k in (1, 2)) if top else ""])
    for state, limit in (("connected", "≤ 0.05 %, ≤ 10 calls a second"), ("disconnected", "≤ 0.02 %")):
        rows.append(["idle %s: CPU, wake-ups/s, syscalls/s%s" % (
            state, " (a pass)" if state == "connected" else "")] + [
            "%s %%, %s, %s%s" % (_f(_get(idle, c, state, "cpu_pct"), "%.3f"),
                                 _f(_get(idle, c, state, "wakeups_per_s"), "%.0f"),
                                 _f(_get(idle, c, state, "syscalls", "per_s"), "%.0f"),
                                 " (%s)" % _f(_get(idle, c, state, "syscalls", "per_pass"), "%.1f")
                                 if c == "qysc" and state == "connected" else "")
            for c in ("qysc",) + subjects] +
            [limit, "/".join(met(x) for x in ("idle %s CPU" % state,
                                              "idle connected system calls a second")[:2 if state == "connected" else 1])])
    rows.append(["RSS / PSS KiB", "%s / %s; static %s / %s" % (
        _get(idle, "qysc", "memory", "rss_kib"), _get(idle, "qysc", "memory", "pss_kib"),
        _get(idle, "qysc static", "memory", "rss_kib"), _get(idle, "qysc static", "memory", "pss_kib"))] +
        ["%s / %s" % (_get(idle, s, "memory", "rss_kib"), _get(idle, s, "memory", "pss_kib")) for s in subjects] +
        ["≤ 2 MiB; static ≤ 1 MiB", "%s/%s" % (met("RSS, dynamic host build"),
                                              met("RSS, static board configuration"))])
    heap = _get(r, "heap_after_start") or {}
    rows.append(["heap calls after start-up", "%s (%d daemon runs)" % (heap.get("total"), len(heap.get("runs", [])))] +
                ["", "", "0", met("heap calls after start-up (every daemon run)")])
    tr = r.get("trickle") or {}
    rows.append(["trickle 1 B / 2 ms: CPU, latency p50/p99"] + [
        "%s %%, %s / %s ms" % (_f(_get(tr, c, "cpu_pct")), _f(_get(tr, c, "latency", "p50"), "%.0f"),
                               _f(_get(tr, c, "latency", "p99"), "%.0f")) for c in ("qysc",) + subjects] +
        ["≤ 2 %", met("trickle 1 byte / 2 ms: CPU")])
    mb = r.get("modbus") or {}
    rows.append(["Modbus read 10 registers p50/p99", "TI=1 %s; TI=50 %s" % (pair(mb, DAEMON_FAST), pair(mb, DAEMON))] +
                [pair(mb, s) for s in subjects] + ["", ""])
    head = ["figure", "qysc", "ser2net", "socat", "goal", "met"]
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(out)
