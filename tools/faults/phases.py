"""The phases of a run, in order, with the rigs they need: the main rig on
the cellular-sized path carries the episodes, the reassembly sweep, the
modem file and the soak; the dead-link measure also uses one on loopback
and one on the emulated cellular path; the save kills have a rig of their
own, and so has the false-drop run on its slow, lossy cellular path."""

import json
import os
import random
import time
import traceback

from trmkit import netns
from . import celmon_faults, deadlink, falsedrop, filefaults, report, streams, viahub
from .episodes import KINDS, Episode, Stuck
from .reassembly import Sweep
from .rig import Rig
from .soak import soak


class Run:
    def __init__(self, args, seed):
        self.a, self.seed = args, seed
        self.rng = random.Random(seed)
        self.results = {"seed": seed, "quick": args.quick, "build": args.build}
        self.windows = []            # (start, end, label) for the watchdog gaps
        self.paths, self.rigs = {}, {}

    def rig(self, kind, name="main", extra="", profile=None):
        if name not in self.rigs:
            key = kind if profile is None else "%s:%s" % (kind, profile)
            if key not in self.paths:
                tag = kind if profile is None else "%s%d" % (kind, len(self.paths))
                self.paths[key] = netns.Path(kind, profile, tag)
            r = Rig(self.paths[key], random.Random(self.rng.random()), self.a.out, name, extra)
            if name != "save":
                r.start_daemon()
            self.rigs[name] = r
        return self.rigs[name]

    def all(self, names):
        for name in names:
            t0 = time.monotonic()
            print("\n== %s" % name, flush=True)
            try:
                getattr(self, "phase_" + name)()
            except Stuck as e:
                self.results.setdefault("stuck", []).append("%s: %s" % (name, e))
                print("  stuck: %s" % e, flush=True)
            except Exception:        # the suite's own fault: report it, go on
                text = traceback.format_exc()
                self.results.setdefault("errors", []).append("%s: %s" % (name, text))
                print("  ERROR in the suite:\n%s" % text, flush=True)
            self.windows.append((t0, time.monotonic(), name))
            print("   (%.0f s)" % (time.monotonic() - t0), flush=True)
            self.save_partial()

    def save_partial(self):
        """What is known so far, in case the run is cut short."""
        with open(os.path.join(self.a.out, "partial.json"), "w") as f:
            json.dump(self.results, f, indent=1, default=str)

    # --- phases ---------------------------------------------------------------
    def phase_episodes(self):
        rig, eps, order = self.rig("veth"), [], []
        kinds = self.a.kinds or KINDS
        silent_cap = 8.0 if self.a.quick else 35.0
        for i in range(self.a.episodes):
            if not order:
                order = list(kinds)
                self.rng.shuffle(order)
            kind = order.pop()
            t0 = time.monotonic()
            e = Episode(rig, kind, i, random.Random(self.rng.random()), silent_cap,
                        3.0 if self.a.quick else 10.0).run()
            self.windows.append((t0, time.monotonic(), kind))
            eps.append(e)
            if (i + 1) % 50 == 0 or self.a.quick:
                print("  episode %d %s (%.1f s)" % (i + 1, kind, time.monotonic() - t0), flush=True)
        rig.run_for(0.1)     # the sampler sees the last service gap end
        self.results["episodes"] = eps
        self.results["kinds"] = report.kinds(eps, rig.monitor.gaps, self.windows)
        report.print_kinds(self.results["kinds"])

    def phase_reassembly(self):
        rows = Sweep(self.rig("veth"), self.a.quick, self.rng).run()
        self.results["reassembly"] = rows
        report.print_sweep(rows)

    def phase_modemfile(self):
        r = filefaults.modem_replace(self.rig("veth"), 4.0 if self.a.quick else 60.0, self.rng)
        self.results["modemfile"] = r
        print("  %s" % r)

    def cell_rig(self):
        """The rig on the emulated cellular path of the run's profile."""
        return self.rig("cell", "cell", profile=self.a.profile)

    def phase_soak(self):
        rig = self.cell_rig() if self.a.soak_path == "cell" else self.rig("veth")
        r = soak(rig, self.a.soak, self.rng)
        r["path"] = self.a.soak_path
        self.results["soak"] = r
        report.print_soak(r)

    def phase_deadlink(self):
        reps = 1 if self.a.quick else 2
        cap = 40.0 if self.a.quick else 330.0
        rows = []
        for kind, name in (("veth", "main"), ("lo", "loopback"), ("cell", "cell")):
            if kind not in self.a.deadlink_paths.split(","):
                continue
            rig = self.cell_rig() if kind == "cell" else self.rig(kind, name)
            for mode in ("idle", "busy"):
                for _ in range(reps):
                    rows.append(deadlink.measure(rig, mode, cap, self.rng))
                    print("  %s" % rows[-1], flush=True)
        self.results["deadlink"] = rows
        report.print_deadlink(rows)

    def phase_falsedrop(self):
        rig = self.rig("cell", "falsedrop", profile=self.a.profile + "," + self.a.falsedrop_path)
        modes = ["idle", "busy"] if self.a.falsedrop_mode == "both" else [self.a.falsedrop_mode]
        rows = falsedrop.falsedrop(rig, self.a.falsedrop, modes)
        self.results["falsedrop"] = rows
        report.print_falsedrop(rows)

    def phase_hub(self):
        """Link faults and outages through the real hub, then an outage past
        a small buffer (the quick run: one of each fault, a 5 s outage)."""
        a = self.a
        why = netns.forbidden(nft=False, cell=True)
        if why:
            print("  skipped: %s" % why)
            return
        path = netns.Path("cell", a.profile, "hub")
        self.paths["hub"] = path
        keys = os.path.join(a.build, "faults-pki")
        r = self.results["hub"] = viahub.run(path, self.rng, a.out, keys, a.hub_episodes,
                                             a.hub_outages, a.hub_ack == "on",
                                             3.0 if a.quick else 10.0)
        report.print_hub(r)
        if a.hub_overflow > 0 and a.hub_ack == "on":
            o = viahub.overflow(path, self.rng, a.out, keys, a.hub_overflow, a.hub_screen)
            o["agrees"] = viahub.agrees(o)
            self.results["hub_overflow"] = o
            report.print_overflow(o)

    def phase_save(self):
        rig = self.rig("lo", "save")
        r = filefaults.save_kill(rig, 6 if self.a.quick else 100, self.rng)
        self.results["save"] = r
        print("  %s" % r)

    def phase_celmon(self):
        r = celmon_faults.run(1 if self.a.quick else 10)
        self.results["celmon"] = r
        print("  %s" % r)

    # --- the end --------------------------------------------------------------
    def close(self):
        res = {}
        for name, rig in self.rigs.items():
            rig.check_alive()
            m = rig.monitor
            res[name] = {
                "fd_online": [x for x in rig.fd_online if x is not None],
                "resources": m.resource_summary(),
                "wdt_longest": [round(m.longest[0], 3), round(m.longest[1], 3),
                                self._where(m.longest)],
                "wdt_gaps_over_1.5s": [(round(lo, 3), round(hi, 3), self._where((lo, hi, e)))
                                       for lo, hi, e, _ in m.gaps if lo > 1.5][:200],
                "sampler_late_s": round(m.late, 3),
                "loop_late_s": round(rig.loop_late, 3),
                "anomalies": {streams.NAMES[sid]: t.anomalies for sid, t in rig.t.items()
                              if t.anomalies},
                "crashes": rig.crashes, "sanitizer": rig.log.sanitizer,
                "framing_lost": sum(ln.framing_lost for ln in rig.links),
                "alive_at_end": rig.alive() or name == "save"}
            try:
                rig.close()
            except Exception as e:     # the namespaces must go whatever happened
                res[name]["close_error"] = repr(e)
        self.results["rigs"] = res
        for p in self.paths.values():
            p.close()

    def _where(self, gap):
        if gap[2] is None:
            return None
        start = gap[2] - gap[1]
        inside = [(t1 - t0, lab) for t0, t1, lab in self.windows if t0 <= start <= t1]
        return min(inside)[1] if inside else "start-up"
