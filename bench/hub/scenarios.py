"""The benchmark's scenarios and the targets they are judged against."""

import os
import signal
import time

from trmkit.wait import wait_until
from .procs import ModbusLoad, StuckClient
from .procstat import ProcStat

# The simulator's own answer time above this says the machine, not the
# server, was slow (other work on its cores).
SIM_SLOW_US = 1000
TARGETS = {"connect_s": 60, "cpu_pct": 25, "rss_mb": 150, "added_p99_us": 2000, "back_s": 60}
# Above 10 000 gateways (up to 100 000): more time to connect, more room.
BIG_FLEET = 10000
TARGETS_BIG = dict(TARGETS, connect_s=120, cpu_pct=50, rss_mb=250)


def targets(n):
    return TARGETS_BIG if n > BIG_FLEET else TARGETS
# A phase "moves" the others' latency when its p99 passes both of these.
MOVED_FACTOR, MOVED_US = 1.5, 500


def settle(server, timeout=60):
    """Waits until the server's counters stop changing; the last reading."""
    last = None

    def same():
        nonlocal last
        now = server.counters()
        stable = now == last
        last = now
        return stable

    wait_until(same, timeout, step=1.0, what="the server's counters to settle")
    return last


def all_online(run, fleet, limit):
    """Seconds until every gateway has sent its init packet and the server
    counts all of them online (None: not within limit)."""
    t0 = time.monotonic()
    try:
        wait_until(lambda: fleet.figures()["up"] >= run.n and run.online(fleet) >= run.n, limit, step=0.25,
                   what="all gateways online")
    except TimeoutError:
        return None
    return round(time.monotonic() - t0, 1)


def capacity(run):
    a = run.a
    fleet = run.fleet()
    hub, sim = ProcStat(run.server.pid), ProcStat(fleet.pid)
    out = {"connect_s": all_online(run, fleet, a.connect_limit)}
    out["connect_cpu_pct"] = hub.cpu_pct_since_start()
    hub.mark()
    sim.mark()
    time.sleep(a.steady)
    out.update(cpu_pct=hub.cpu_pct_since_mark(), rss_mb=hub.rss_mb(), peak_rss_mb=hub.peak_rss_mb(),
               fleet_cpu_pct=sim.cpu_pct_since_mark(), steady_s=a.steady)
    if run.checker and run.server.status_topic():
        out["mqtt_statuses_online"] = run.checker.statuses_online()
    fin = fleet.quit()
    got = settle(run.server)
    sent = {"packets": fin["tx_packets"], "port1": fin["bursts"]["port1"], "port2": fin["bursts"]["port2"]}
    out["sent"] = sent
    out["received"] = {"packets": got.get("rx_packets"), "port1": got.get("port1_rx"),
                       "port2": got.get("port2_rx"), "malformed": got.get("malformed")}
    out["lost"] = {k: sent[k] - got[v] for k, v in (("packets", "rx_packets"), ("port1", "port1_rx"),
                                                    ("port2", "port2_rx")) if got.get(v) is not None}
    out["loadavg"] = os.getloadavg()[0]
    out["fleet"] = {k: fin[k] for k in ("all_up_ms", "connects", "closed_by_peer", "tx_dropped",
                                        "tx_unsent_bytes", "heartbeat_bursts")}
    if run.checker:
        b = run.checker.poll()
        b["unseen"] = sent["port1"] + sent["port2"] - b["received"]
        out["mqtt_bursts"] = b
    return out


def measured(fleet, mb, seconds, action=None):
    """The load generator's figures over one phase, with the simulator's own
    answer times; action() runs every 0.1 s meanwhile when given."""
    fleet.command("reset-times")
    start = mb.report()["log_end"]
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if action:
            action()
        time.sleep(min(0.1, max(0.0, end - time.monotonic())))
    r = mb.report()
    r["log_span"] = [start, r.pop("log_end")]
    sim = fleet.figures()
    r["sim_answer_us"], r["sim_timer_late_ms"] = sim["answer_us"], sim["timer_late_ms"]
    r["loadavg"] = os.getloadavg()[0]
    return r


def modbus_phase(run, fleet, mb, seconds):
    r = measured(fleet, mb, seconds)
    # Until the request by request figure is in (added_latency), an estimate.
    r["added_p99_us"] = r["rtt_us"]["p99"] - r["sim_answer_us"].get("p50", 0)
    return r


def quantile(values, q):
    return values[min(len(values) - 1, int(q * len(values)))] if values else None


def added_latency(run, rtt_log, answer_log, phases):
    """Request by request: the round trip through the server minus the
    simulator's answer time for that same request (gateway, transaction id),
    for the requests each phase's slice of the round-trip log holds."""
    answers = {}
    with open(answer_log) as f:
        for line in f:
            gw, tid, us = line.split()
            answers.setdefault((gw, int(tid)), []).append(int(us))
    with open(rtt_log) as f:
        text = f.read()
    for r in phases:
        added, unmatched, negative = [], 0, 0
        for line in text[r["log_span"][0]:r["log_span"][1]].splitlines():
            idx, tid, rtt = (int(x) for x in line.split())
            queue = answers.get((run.target_ids[idx], tid))
            if queue:
                answer = queue.pop(0)
                negative += answer < 0  # the wall clock stepped: no answer time
                added.append(rtt - max(answer, 0))
            else:
                unmatched += 1
        added.sort()
        r["added_us"] = {"count": len(added), "unmatched": unmatched, "clock_steps": negative,
                         "p50": quantile(added, 0.5),
                         "p99": quantile(added, 0.99), "max": added[-1] if added else None}
        if added and "added_p99_us" in r:
            r["added_p99_us"] = r["added_us"]["p99"]


def isolation(run, fleet, mb):
    a = run.a
    out = {}
    k = run.garbage_gw
    fleet.command("garbage %d 1000000 %d" % (k, a.phase))
    out["garbage_flood"] = dict(measured(fleet, mb, a.phase), gateway=k)
    fleet.command("stop %d" % k)
    client = StuckClient(*run.stuck_target)
    out["client_never_reads"] = dict(measured(fleet, mb, a.phase, client.push), requests_pushed=client.sent)
    client.close()
    k = run.flood_gw
    fleet.command("flood %d 2000 %d" % (k, a.phase))
    out["data_flood"] = dict(measured(fleet, mb, a.phase), gateway=k)
    fleet.command("stop %d" % k)
    return out


def restart(run, fleet, mb):
    a = run.a
    before = run.server.registry()
    # Gateways come back as fast as real ones would: at once, then every 1.1 s.
    fleet.command("connect-rate %d" % a.restart_connect_rate)
    mb.report()
    t0 = time.monotonic()
    run.server.stop(signal.SIGKILL if a.restart_signal == "KILL" else signal.SIGTERM)
    run.server.start()
    started = round(time.monotonic() - t0, 1)
    back = all_online(run, fleet, a.connect_limit)
    out = {"signal": a.restart_signal, "start_s": started, "connect_rate": a.restart_connect_rate,
           "back_s": None if back is None else round(back + started, 1), "during": mb.report()}
    after = run.server.registry()
    if before is not None and after is not None:
        missing = [g for g in before if g not in after]
        changed = [g for g in before if g in after and first_seen(before[g]) != first_seen(after[g])]
        out["registry"] = {"before": len(before), "after": len(after), "missing": len(missing),
                           "first_seen_changed": len(changed), "intact": not missing and not changed}
    time.sleep(a.phase)
    out["after"] = mb.report()
    return out


def first_seen(record):
    return record.get("first_seen") if isinstance(record, dict) else None


def under_load(run, wanted):
    a = run.a
    answer_log = os.path.join(run.logs, "fleet-answers.log")
    fleet = run.fleet(answer_log)
    results = {}
    try:
        if all_online(run, fleet, a.connect_limit) is None:
            raise TimeoutError("not every gateway came online for the load scenarios")
        total = a.modbus_seconds + 4 * a.phase + 3 * a.connect_limit + 60
        mb = ModbusLoad(run.mbload_bin, run.targets, run.modbus_rate, total, run.workdir, run.logs)
        time.sleep(3)  # connections and warm-up
        results["modbus"] = modbus_phase(run, fleet, mb, a.modbus_seconds)
        if "isolation" in wanted:
            results["isolation"] = isolation(run, fleet, mb)
        if "restart" in wanted:
            results["restart"] = restart(run, fleet, mb)
        mb.send("quit")
        results["modbus_whole_run"] = mb.result(30)
        results["fleet"] = fleet.quit()
        phases = [results["modbus"]] + [v for v in results.get("isolation", {}).values() if isinstance(v, dict)]
        added_latency(run, mb.rtt_log, answer_log, phases)
        if "isolation" in results:
            results["isolation"]["baseline_p99_us"] = p99_of(results["modbus"])
    finally:
        fleet.stop()
    return results


def p99_of(phase):
    """The added p99 of a phase where it was measured, else its round trip p99."""
    added = phase.get("added_us", {}).get("p99")
    return added if added is not None else phase["rtt_us"]["p99"]


def judge(r):
    """Each figure against its target: True, False, or None (not measured)."""
    v = {}
    t = targets(r["gateways"])
    c = r.get("capacity")
    if c:
        v["connected_within_%ds" % t["connect_s"]] = c["connect_s"] is not None and c["connect_s"] <= t["connect_s"]
        v["cpu_le_%dpct" % t["cpu_pct"]] = c["cpu_pct"] <= t["cpu_pct"]
        v["rss_le_%dmb" % t["rss_mb"]] = c["rss_mb"] <= t["rss_mb"]
        if "mqtt_statuses_online" in c:
            v["mqtt_statuses_all_online"] = c["mqtt_statuses_online"] == r["gateways"]
        lost = c.get("lost", {})
        v["nothing_lost"] = (all(x == 0 for x in lost.values()) if lost else None)
        mal = c["received"].get("malformed")
        v["nothing_misframed"] = None if mal is None else mal == 0
        b = c.get("mqtt_bursts")
        if b:
            v["mqtt_bursts_whole"] = b["misframed"] == 0 and b["lost"] == 0 and b["unseen"] == 0
    m = r.get("modbus")
    if m:
        v["added_p99_le_2ms"] = m["added_p99_us"] <= t["added_p99_us"]
    iso = r.get("isolation")
    if iso:
        base = iso["baseline_p99_us"]
        limit = max(base * MOVED_FACTOR, base + MOVED_US)
        for phase in ("garbage_flood", "client_never_reads", "data_flood"):
            v[phase + "_does_not_move_p99"] = p99_of(iso[phase]) <= limit
    rs = r.get("restart")
    if rs:
        v["back_within_60s"] = rs["back_s"] is not None and rs["back_s"] <= t["back_s"]
        if "registry" in rs:
            v["registry_intact"] = rs["registry"]["intact"]
    return v


def print_summary(r):
    print("\n%s, %d gateways" % (r["server"], r["gateways"]))
    if "capped_by" in r:
        print("  %d asked, capped by the %s" % (r["asked"], r["capped_by"]))
    if "error" in r:
        print("  stopped early: %s" % r["error"])
    c = r.get("capacity")
    if c:
        print("  connected all: %ss; server CPU %s%% of a core (connecting %s%%), RSS %s MB (peak %s)"
              % (c["connect_s"], c["cpu_pct"], c["connect_cpu_pct"], c["rss_mb"], c["peak_rss_mb"]))
        print("  sent %s, received %s, lost %s" % (c["sent"], c["received"], c["lost"]))
        if "mqtt_statuses_online" in c:
            print("  MQTT statuses online: %d of %d" % (c["mqtt_statuses_online"], r["gateways"]))
    m = r.get("modbus")
    if m:
        t = m["rtt_us"]
        sim = m["sim_answer_us"]
        print("  modbus: %d answered, round trip p50 %s us p99 %s us; simulator answer p50 %s us p99 %s us;"
              " added p99 %s us (load average %.1f)" % (m["answered"], t["p50"], t["p99"], sim.get("p50"),
                                                       sim.get("p99"), m["added_p99_us"], m["loadavg"]))
        if sim.get("p99", 0) > SIM_SLOW_US:
            print("  note: the simulator itself answered slowly (p99 %s us): the machine was busy, so the"
                  " round trips are not the server's alone" % sim["p99"])
    for phase, x in (r.get("isolation") or {}).items():
        if isinstance(x, dict):
            print("  isolation %s: added p99 %s us (undisturbed %s us); round trip p99 %s us, simulator answer"
                  " p99 %s us" % (phase, p99_of(x), r["isolation"]["baseline_p99_us"], x["rtt_us"]["p99"],
                                  x["sim_answer_us"].get("p99")))
    rs = r.get("restart")
    if rs:
        print("  restart (%s): back in %ss, registry %s; during: %d timeouts"
              % (rs["signal"], rs["back_s"], rs.get("registry"), rs["during"]["timeouts"]))
    for k, ok in r["verdict"].items():
        print("  %-40s %s" % (k, {True: "met", False: "NOT MET", None: "not measured"}[ok]))
