"""End-to-end: the hub's pages in a real browser (headless Chromium,
driven through its DevTools protocol on a pipe). The fleet page renders
the gateways, its own live update shows the real daemon arriving, the
filter narrows the rows, text a gateway sends stays text, and its headers
sort, its pager pages and its summary counts; a gateway's page draws its
plots from the history and shows the reply to an action, or says that a
read token cannot act."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

from hubcase import GW_ID, TIMEOUT, Hub, HubCase, wait_until
import fakegw  # noqa: E402  (tests/console, on the path hubcase sets)

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
ROWS = ("JSON.stringify([...document.querySelectorAll('#rows tr.gw')]"
        ".map(r => [r.dataset.id, r.className, r.cells[2].textContent, r.cells[4].firstChild.dataset.csq]))")


class Browser:
    """Chromium with --remote-debugging-pipe: requests on its descriptor 3,
    answers and events on 4, each a JSON text ended by a NUL byte."""

    def __init__(self, case, url):
        self.profile = tempfile.mkdtemp(prefix="hub-chromium-")
        case.addCleanup(shutil.rmtree, self.profile, True)
        to_r, self.to_w = os.pipe()
        self.from_r, from_w = os.pipe()
        flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + self.profile, "--remote-debugging-pipe", url]
        shell = 'exec "$0" "$@" 3<&%d 4>&%d' % (to_r, from_w)
        self.p = subprocess.Popen(["bash", "-c", shell, CHROMIUM] + flags, pass_fds=(to_r, from_w),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        case.addCleanup(self.close)
        os.close(to_r)
        os.close(from_w)
        self.buf, self.next_id = b"", 0
        page = wait_until(lambda: next((t for t in self.call("Target.getTargets")["targetInfos"]
                                        if t["type"] == "page"), None), what="the page target")
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"], flatten=True)["sessionId"]

    def call(self, method, session=None, **params):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self.to_w, json.dumps(msg).encode() + b"\0")
        while True:
            while b"\0" not in self.buf:
                chunk = os.read(self.from_r, 65536)
                if not chunk:
                    raise AssertionError("chromium went away")
                self.buf += chunk
            text, self.buf = self.buf.split(b"\0", 1)
            reply = json.loads(text)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise AssertionError(reply["error"])
                return reply["result"]

    def eval(self, expression):
        r = self.call("Runtime.evaluate", self.session, expression=expression, returnByValue=True)
        return r["result"].get("value")

    def close(self):
        if self.p.poll() is None:
            os.killpg(self.p.pid, 9)
            self.p.wait(TIMEOUT)
        os.close(self.to_w)
        os.close(self.from_r)


def text(b, element_id):
    return b.eval("document.getElementById(%s).textContent" % json.dumps(element_id))


def click(b, selector):
    b.eval("document.querySelector(%s).click()" % json.dumps(selector))


class Page(HubCase):
    def setUp(self):
        super().setUp()
        if not os.path.exists(CHROMIUM):
            self.skipTest("chromium not installed")

    def gateways(self, hub, count, weak=None):
        """count fake gateways 10.9.0.1 ... (the weak one's signal CSQ 5), online."""
        for i in range(1, count + 1):
            ip = b"10.9.0.%d" % i
            g = fakegw.FakeGateway(hub.port, ip=ip, send_init=False)
            self.addCleanup(g.close)
            g.send(fakegw.init_packet(ip=ip, signal=5 if i == weak else 23))
        wait_until(lambda: hub.api("GET", "/api/hub")[1]["online"] == count, what="the gateways online")

    def test_fleet_sorts_pages_filters_and_puts_attention_first(self):
        hub = Hub(self, "--no-mqtt", "--admit-all", "--token", "s3cret", token="s3cret")
        self.gateways(hub, 12, weak=7)
        b = Browser(self, "http://127.0.0.1:%d/#token=s3cret&rows=5" % hub.http)
        ids = lambda: [r[0] for r in json.loads(b.eval(ROWS) or "[]")]
        wait_until(lambda: len(ids()) == 5, what="a page of rows")
        self.assertEqual(ids()[0], "10.9.0.7")  # weak signal: needs attention, so first
        self.assertIn("1 \u26A0 needs attention", text(b, "summary"))
        self.assertIn("12 \u25CF online", text(b, "summary"))
        click(b, "th[data-sort=id]")
        wait_until(lambda: ids() == ["10.9.0.%d" % i for i in range(1, 6)], what="natural order")
        click(b, "#next")
        wait_until(lambda: ids() == ["10.9.0.%d" % i for i in range(6, 11)], what="the second page")
        self.assertEqual(text(b, "range"), "6\u201310 of 12")
        click(b, "th[data-sort=id]")
        wait_until(lambda: ids()[:3] == ["10.9.0.12", "10.9.0.11", "10.9.0.10"], what="descending order")
        b.eval("const f = document.getElementById('filter'); f.value = '9.0.1';"
               "f.dispatchEvent(new Event('input'))")
        wait_until(lambda: ids() == ["10.9.0.12", "10.9.0.11", "10.9.0.10", "10.9.0.1"], what="the filtered rows")
        self.assertEqual(b.eval("document.querySelector('nav a[href^=\"/jobs\"]').getAttribute('href')"),
                         "/jobs#token=s3cret")

    def test_gateway_page_plots_and_actions(self):
        config = ('[[http.tokens]]\nname = "ops"\ntoken = "op"\nrole = "operate"\n'
                  '[[http.tokens]]\nname = "viewer"\ntoken = "ro"\nrole = "read"\n')
        hub = Hub(self, "--no-mqtt", "--admit-all", "--db", os.path.join(self.sb.dir, "reg.db"),
                  config=config, token="op")
        self.gateways(hub, 1)
        wait_until(lambda: hub.api("GET", "/api/gateways/10.9.0.1/history?kind=state")[1]["state"]["rows"],
                   what="the online event stored")
        url = "http://127.0.0.1:%d/gateway/10.9.0.1#token=" % hub.http
        b = Browser(self, url + "op")
        wait_until(lambda: b.eval("document.body.dataset.plots") == "drawn", what="the plots")
        self.assertEqual(b.eval("document.querySelectorAll('.plots svg').length"), 4)
        self.assertGreaterEqual(b.eval("+document.querySelector('#tl24 svg').dataset.spans"), 1)
        self.assertEqual(b.eval("document.querySelector('#tl24 rect.span:last-of-type').classList[1]"), "online")
        self.assertIn("online", text(b, "events"))
        self.assertEqual(b.eval("document.getElementById('readonly').offsetHeight"), 0)
        click(b, "button[data-act=verify]")
        wait_until(lambda: '"match": true' in text(b, "reply"), what="the verify reply")
        self.assertTrue(text(b, "reply").startswith("verify: HTTP 200"))

        ro = Browser(self, url + "ro")
        wait_until(lambda: ro.eval("(document.getElementById('readonly') || {}).offsetHeight > 0"), what="the read-only note")
        self.assertTrue(ro.eval("document.querySelector('button[data-act=close]').disabled"))

    def test_live_rows_filter_and_text_only(self):
        hub = Hub(self, "--no-mqtt", "--admit-all", "--token", "s3cret", token="s3cret")
        fake = fakegw.FakeGateway(hub.port, ip=b"10.20.30.40")
        self.addCleanup(fake.close)
        odd = fakegw.FakeGateway(hub.port, ip=b"10.20.30.41", send_init=False)
        self.addCleanup(odd.close)
        odd.send(fakegw.init_packet(ip=b"10.20.30.41", alias=b"<img src=x onerror=alert(1)>"))
        hub.wait_state("online", "10.20.30.41")

        b = Browser(self, "http://127.0.0.1:%d/#token=s3cret" % hub.http)
        rows = lambda: json.loads(b.eval(ROWS) or "[]")
        wait_until(lambda: len(rows()) == 2, what="two rows")
        self.assertEqual(rows()[0][:3], ["10.20.30.40", "gw online", "KX-7700"])
        self.assertEqual(rows()[1][2], "<img src=x onerror=alert(1)>")
        self.assertEqual(b.eval("document.querySelectorAll('#rows img').length"), 0)

        # The real daemon dials in; the page's own polling shows it.
        self.start_daemon(hub.port)
        wait_until(lambda: [r for r in rows() if r[0] == GW_ID and r[1] == "gw online" and r[3] == "71"],
                   what="the daemon's row")
        b.eval("const f = document.getElementById('filter'); f.value = '0.101';"
               "f.dispatchEvent(new Event('input'))")
        wait_until(lambda: [r[0] for r in rows()] == [GW_ID], what="the filtered rows")
        self.kill_daemon()
        self.daemon = None
        wait_until(lambda: rows() and rows()[0][1] == "gw offline", what="the row to go offline")
        self.assertEqual(text(b, "range"), "1\u20131 of 1")
        self.assertIn("3 gateways known", text(b, "status"))


if __name__ == "__main__":
    unittest.main()
