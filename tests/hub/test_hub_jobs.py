"""End-to-end: fleet jobs with the fleet simulator. A job for 200
simulated gateways, 30 % of them down when it starts, reaches every one
exactly once (the simulator counts the command sections each gateway
answered) once they come back; and the jobs view, in a real browser, makes
a job from its form and shows it finish. With HUB_SCREENSHOTS=DIR the view
is also saved as DIR/jobs.png."""

import base64
import json
import os

from hubcase import Fleet, Hub, HubCase
from trmkit.browser import CHROMIUM, Browser
from trmkit.sandbox import tools_bin
from trmkit.wait import wait_until

def online(hub):
    return hub.api("GET", "/api/gateways?limit=1")[1]["online"]


class Jobs(HubCase):
    def setUp(self):
        super().setUp()
        if not os.path.exists(tools_bin("trm-fleet")):
            self.skipTest("trm-fleet not built")

    def job(self, hub, job_id):
        return hub.api("GET", "/api/jobs/%d?limit=0" % job_id)[1]

    def test_offline_gateways_get_the_job_once_when_they_come(self):
        hub = Hub(self, "--no-mqtt", "--admit-all", "--connect-rate", "0", "--log-level", "info",
                  "--db", os.path.join(self.sb.dir, "reg.db"))
        fleet = Fleet(self, hub.port, 200)
        wait_until(lambda: online(hub) == 200, what="200 gateways online")
        down = [k for k in range(200) if k % 10 < 3]
        for k in down:
            self.assertTrue(fleet.ask("down %d" % k).startswith("ok"))
        wait_until(lambda: online(hub) == 140, what="60 gateways gone")

        status, j = hub.api("POST", "/api/jobs", {"channel": "cfg", "commands": "@CSQ\n@HEARTBEAT=10",
                                                 "prefixes": ["10.7."], "deadline_s": 300})
        self.assertEqual((status, j["targets"]), (201, 200), j)
        wait_until(lambda: self.job(hub, j["id"])["counts"]["done"] == 140, what="the online ones done")
        self.assertEqual(self.job(hub, j["id"])["counts"]["pending"], 60)
        for k in down:
            fleet.ask("up %d" % k)
        wait_until(lambda: not self.job(hub, j["id"])["active"], what="the job to finish")
        self.assertEqual(self.job(hub, j["id"])["counts"]["done"], 200)
        self.assertEqual(fleet.counts(), {"0": "0", "1": "200", "2": "0", "3+": "0"})
        _, one = hub.api("GET", "/api/jobs/%d?state=done&limit=1" % j["id"])
        self.assertEqual(one["items"][0]["replies"], ["!CSQ;71;0", "!HEARTBEAT;OK"])
        _, audit = hub.api("GET", "/api/audit")
        self.assertIn(("POST /api/jobs", "201 job %d" % j["id"]),
                      [(r["action"], r["outcome"]) for r in audit["rows"]])

    def test_jobs_view_makes_a_job_and_shows_it_finish(self):
        if not os.path.exists(CHROMIUM):
            self.skipTest("chromium not installed")
        hub = Hub(self, "--no-mqtt", "--admit-all", "--connect-rate", "0", "--token", "s3cret", token="s3cret")
        fleet = Fleet(self, hub.port, 12)
        wait_until(lambda: online(hub) == 12, what="12 gateways online")
        fleet.ask("down 11")
        wait_until(lambda: online(hub) == 11, what="one gateway gone")
        b = Browser("http://127.0.0.1:%d/jobs#token=s3cret" % hub.http, self)
        b.call("Emulation.setDeviceMetricsOverride", b.session, width=1280, height=800, deviceScaleFactor=1,
               mobile=False)
        wait_until(lambda: b.eval("document.getElementById('create') !== null"), what="the form")
        b.eval("document.getElementById('commands').value = '@CSQ';"
               "document.getElementById('prefixes').value = '10.7.';"
               "document.getElementById('create').click()")
        row = ("JSON.stringify([...document.querySelectorAll('#jobs tr.job')].map(r => "
               "[...r.cells].map(c => c.textContent)))")
        jobs = lambda: json.loads(b.eval(row) or "[]")
        wait_until(lambda: jobs() and jobs()[0][7] == "11", what="11 targets done in the view")
        self.assertEqual(jobs()[0][6], "12")
        self.assertEqual(jobs()[0][10], "1")  # the one that is down waits
        targets = "[...document.querySelectorAll('#targets tr.target')].map(r => r.cells[1].textContent).join(',')"
        wait_until(lambda: (b.eval(targets) or "").count("done") == 11, what="the targets' states")
        if os.environ.get("HUB_SCREENSHOTS"):
            png = b.call("Page.captureScreenshot", b.session, format="png")["data"]
            with open(os.path.join(os.environ["HUB_SCREENSHOTS"], "jobs.png"), "wb") as f:
                f.write(base64.b64decode(png))
        b.eval("document.querySelector('#jobs button.cancel').click()")
        wait_until(lambda: jobs()[0][11] == "cancelled", what="the job cancelled")
        self.assertEqual(jobs()[0][10], "0")


if __name__ == "__main__":
    import unittest
    unittest.main()
