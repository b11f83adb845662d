"""End-to-end: the hub's pages in a real browser (headless Chromium,
driven through its DevTools protocol on a pipe). The fleet page renders
the gateways, its own live update shows the real daemon arriving, the
filter narrows the rows, text a gateway sends stays text, and its headers
sort, its pager pages and its summary counts; a gateway's page draws its
plots from the history and shows the reply to an action, or says that a
read token cannot act."""

import json
import os
import unittest

from hubcase import GW_ID, Hub, HubCase
from trmkit import fakegw
from trmkit.browser import CHROMIUM, Browser
from trmkit.wait import wait_until

ROWS = ("JSON.stringify([...document.querySelectorAll('#rows tr.gw')]"
        ".map(r => [r.dataset.id, r.className, r.cells[2].textContent, r.cells[4].firstChild.dataset.csq]))")


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
        b = Browser("http://127.0.0.1:%d/#token=s3cret&rows=5" % hub.http, self)
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
        b = Browser(url + "op", self)
        wait_until(lambda: b.eval("document.body.dataset.plots") == "drawn", what="the plots")
        self.assertEqual(b.eval("document.querySelectorAll('.plots svg').length"), 4)
        self.assertGreaterEqual(b.eval("+document.querySelector('#tl24 svg').dataset.spans"), 1)
        self.assertEqual(b.eval("document.querySelector('#tl24 rect.span:last-of-type').classList[1]"), "online")
        self.assertIn("online", text(b, "events"))
        self.assertEqual(b.eval("document.getElementById('readonly').offsetHeight"), 0)
        click(b, "button[data-act=verify]")
        wait_until(lambda: '"match": true' in text(b, "reply"), what="the verify reply")
        self.assertTrue(text(b, "reply").startswith("verify: HTTP 200"))

        ro = Browser(url + "ro", self)
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

        b = Browser("http://127.0.0.1:%d/#token=s3cret" % hub.http, self)
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
