"""celmon end to end: the ppp0 line, with interfaces made in network
namespaces of the test's own."""

import unittest

from trmkit.modem import Modem, read_written
from trmkit.netns import NetNs, forbidden
from trmkit.sandbox import Sandbox, emulator, sandbox_bin

FORBIDDEN = forbidden(nft=False)


@unittest.skipIf(FORBIDDEN, FORBIDDEN)
class PppInterface(unittest.TestCase):
    def setUp(self):
        self.namespaces = []
        self.boxes = []

    def tearDown(self):
        for sb in self.boxes:
            sb.close()
        for ns in self.namespaces:
            ns.close()

    def start_in_namespace(self, interfaces):
        ns = NetNs("ppp", prefix="trm-")
        self.namespaces.append(ns)
        for i, name in enumerate(interfaces):
            ns.ip("link", "add", name, "type", "veth", "peer", "name", "far%d" % i)
        sb = Sandbox()
        self.boxes.append(sb)
        Modem(sb)
        cel = sb.start_host(ns.prefix() + emulator() + [sandbox_bin("celmon")])
        return sb, cel

    def test_only_the_exact_name_counts(self):
        up = self.start_in_namespace(["ppp0"])
        near = self.start_in_namespace(["ppp01", "xppp0"])
        for (sb, cel), flag in ((up, b"1"), (near, b"0")):
            cel.wait_for(rb"ppp0=[01]\r\nopen file success\r\n", timeout=25)
            self.assertIn(b"ppp0=" + flag + b"\r\nopen file success", cel.output)
            self.assertEqual(read_written(sb, "/quarne/modemInfo.txt"),
                             b"cpintype=READY\r\ncregvalue=1\r\ncsqvalue=23\r\nppp0=" + flag + b"\r\n")


if __name__ == "__main__":
    unittest.main()
