"""The hub's pages at fleet size: load times in a real browser, the API
replies they wait for, and the screenshots of the documentation.

A registry is filled first with the hub's own code on a fast-forwarded
clock (hub_history_size --end now: DAYS of history with churn ending at
the present, gateways numbered as trm-fleet numbers them); the hub starts
on it (every stored gateway known, offline) and trm-fleet brings LIVE of
them online. Headless Chromium (the DevTools pipe of the page test) loads
the fleet page and a live gateway's page RUNS times each: navigation start
to the first rows, and to the plots drawn (the pages' own performance
marks "rows" and "plots"); the API replies are timed over HTTP alone.

    python3 -m bench.hub.pages --gateways 10000 --live 10000 --days 1 --screens docs/img
    python3 -m bench.hub.pages --gateways 100000 --live 10000 --days 0

The fd limit here (ulimit -Hn 20000) allows no 100 000 live connections:
a fleet of 100 000 is 100 000 records with a live part.
"""

import argparse
import base64
import json
import os
import shutil
import statistics
import tempfile
import time
import urllib.request

from trmkit.browser import Browser
from trmkit.procs import LineProcess
from trmkit.wait import wait_until
from .procs import Fleet

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")

FLEET_QUERY = "/api/gateways?q=&state=all&sort=attention&dir=asc&offset=0&limit=50"


def timed_get(base, path, runs):
    took = []
    for _ in range(runs):
        t0 = time.perf_counter()
        with urllib.request.urlopen(base + path, timeout=30) as r:
            r.read()
        took.append((time.perf_counter() - t0) * 1000)
    return statistics.median(took), max(took)


def page_load(b, url, mark, runs):
    """Median and worst ms from navigation start to the page's mark."""
    took = []
    for _ in range(runs):
        before = b.eval("performance.timeOrigin")
        b.call("Page.navigate", b.session, url=url)
        got = lambda: b.eval("performance.timeOrigin !== %r && performance.getEntriesByName(%r).length ? "
                             "performance.getEntriesByName(%r)[0].startTime : null" % (before, mark, mark))
        took.append(wait_until(got, 30, step=0.02, what=mark))
    return statistics.median(took), max(took)


def screenshot(b, url, mark, path):
    b.call("Page.navigate", b.session, url=url)
    wait_until(lambda: b.eval("performance.getEntriesByName(%r).length" % mark), 30, step=0.1, what=mark)
    time.sleep(0.3)  # fonts and layout settle
    shot = b.call("Page.captureScreenshot", b.session, format="png")
    with open(path, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    print("screenshot %s (%d bytes)" % (path, os.path.getsize(path)))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "host-release"))
    ap.add_argument("--gateways", type=int, default=10000, help="records in the registry")
    ap.add_argument("--live", type=int, default=10000, help="of them online through trm-fleet")
    ap.add_argument("--days", type=int, default=1, help="days of history before now")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--screens", help="directory for fleet.png and gateway.png")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="hub-pages-")
    b = None
    procs = []
    try:
        t0 = time.monotonic()
        filler = LineProcess("fill", [os.path.join(a.build, "bench", "hub_history_size"), "--gateways", a.gateways,
                                      "--days", a.days, "--end", "now", "--first-id", "10.0.0.1", "--dir", work + "/reg"],
                             work, log_dir=work)
        filler.wait_line(lambda l: l.startswith("in use"), 3600)
        filler.stop()
        print("registry: %d gateways, %d days of history, filled in %.0f s" % (a.gateways, a.days, time.monotonic() - t0))
        hub = LineProcess("hub", [os.path.join(a.build, "tools", "trm-hub"), "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0",
                                  "--no-mqtt", "--admit-all", "--connect-rate", "0", "--gap", "0", "--db", work + "/reg/registry.db",
                                  "--log-level", "warn"], work, log_dir=work)
        procs.append(hub)
        line = hub.wait_line(lambda l: "listening gateways=" in l, 120)[1]
        gw_port = line.split("gateways=")[1].split()[0]
        base = "http://" + line.split("http=")[1].split()[0]
        fleet = Fleet(os.path.join(a.build, "tools", "trm-fleet"), [gw_port], a.live, work, work,
                      extra=["--first-id", "10.0.0.1", "--signal", "18", "--heartbeat", "30"])
        procs.append(fleet)
        online = lambda: json.load(urllib.request.urlopen(base + "/api/hub", timeout=30))["online"]
        wait_until(lambda: online() >= a.live, 300, step=0.5, what="the live fleet")
        gw = "10.0.0.42"
        api_fleet = timed_get(base, FLEET_QUERY, a.runs * 4)
        api_gw = timed_get(base, "/api/gateways/" + gw, a.runs * 4)
        now = int(time.time() * 1000)
        api_hist = timed_get(base, "/api/gateways/%s/history?kind=state&limit=5000&from=%d" % (gw, now - 30 * 86400000), a.runs * 4)
        b = Browser("about:blank")
        b.call("Emulation.setDeviceMetricsOverride", b.session, width=1280, height=800, deviceScaleFactor=1, mobile=False)
        fleet_ms = page_load(b, base + "/", "rows", a.runs)
        gw_ms = page_load(b, base + "/gateway/" + gw, "plots", a.runs)
        print("gateways %d (live %d): fleet page %.0f ms (worst %.0f), gateway page %.0f ms (worst %.0f); "
              "API: fleet page of 50 %.1f ms (worst %.1f), gateway %.1f ms, its 30 d of events %.1f ms"
              % (a.gateways, a.live, fleet_ms[0], fleet_ms[1], gw_ms[0], gw_ms[1], api_fleet[0], api_fleet[1],
                 api_gw[0], api_hist[0]))
        if a.screens:
            os.makedirs(a.screens, exist_ok=True)
            screenshot(b, base + "/", "rows", os.path.join(a.screens, "fleet.png"))
            screenshot(b, base + "/gateway/" + gw, "plots", os.path.join(a.screens, "gateway.png"))
    finally:
        if b is not None:
            b.close()
        for p in reversed(procs):
            p.stop()
        shutil.rmtree(work, True)


if __name__ == "__main__":
    main()
