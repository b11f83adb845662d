"""The hub's folders depend in one direction: core, gateways, store, mqtt,
jobs, web, then the top (main, the pass, the module table). A file includes
only headers of its own folder and the folders before it, every include of
the hub's own headers names its folder, and the headers include each other
without a cycle. The link lines draw the same picture: each folder's
library links the one before it and only the packages it uses itself."""

import os
import re
import unittest

HUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server", "hub")
ORDER = ["core", "gateways", "store", "mqtt", "jobs", "web"]
TOP = {"main.cpp", "modules.cpp", "modules.h", "pass.cpp", "pass.h"}
# Each folder's library: the hub library it links, and the packages only it
# links (tlskit, the secure link's part shared with the console and the
# fleet simulator, from core on: core keeps the fingerprints).
LINKS = {"core": (None, {"PkgConfig::CJSON", "tlskit"}), "gateways": ("hub_core", {"mbtcp", "rfc2217", "OpenSSL::SSL"}),
         "store": ("hub_gateways", {"PkgConfig::STOREDEPS", "Threads::Threads"}),
         "mqtt": ("hub_store", {"PkgConfig::MOSQ"}), "jobs": ("hub_mqtt", set()),
         "web": ("hub_jobs", {"PkgConfig::MHD"})}
INCLUDE = re.compile(r'^#include "([^"]+)"', re.M)


def sources():
    """(folder or None for the top, path relative to HUB)."""
    for name in sorted(os.listdir(HUB)):
        if name.endswith((".cpp", ".h")):
            yield None, name
    for folder in ORDER:
        for name in sorted(os.listdir(os.path.join(HUB, folder))):
            if name.endswith((".cpp", ".h")):
                yield folder, folder + "/" + name


def includes(rel):
    with open(os.path.join(HUB, rel), encoding="utf-8") as src:
        return INCLUDE.findall(src.read())


def find_cycle(graph):
    state = {}  # 1 on the path, 2 done

    def visit(node, path):
        state[node] = 1
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state and (found := visit(nxt, path + [nxt])):
                return found
        state[node] = 2
        return None

    for start in sorted(graph):
        if start not in state and (found := visit(start, [start])):
            return found
    return None


class Folders(unittest.TestCase):
    def test_only_the_top_at_the_top(self):
        self.assertEqual({rel for folder, rel in sources() if folder is None}, TOP)

    def test_includes_go_back_only(self):
        own = {rel for _, rel in sources()}
        bare = {os.path.basename(rel) for folder, rel in sources() if folder}
        for folder, rel in sources():
            for inc in includes(rel):
                if inc in TOP:
                    self.assertIsNone(folder, "%s includes the top's %s" % (rel, inc))
                    continue
                if "/" not in inc:
                    self.assertNotIn(inc, bare, "%s: #include \"%s\" without its folder" % (rel, inc))
                    continue
                self.assertIn(inc, own, "%s: %s is not a hub header" % (rel, inc))
                if folder is None:
                    continue
                used = inc.split("/")[0]
                self.assertLessEqual(ORDER.index(used), ORDER.index(folder),
                                     "%s includes %s, a folder after its own" % (rel, inc))

    def test_no_header_cycle(self):
        graph = {rel: set(i for i in includes(rel) if "/" in i) for _, rel in sources() if rel.endswith(".h")}
        self.assertIsNone(find_cycle(graph), "include cycle")

    def test_link_lines(self):
        with open(os.path.join(HUB, "CMakeLists.txt"), encoding="utf-8") as f:
            parts = {m[1]: set(m[2].split()) for m in re.findall(r"^hub_part\(hub_(\w+) (\w+) LIBS ([^)]*)\)", f.read(), re.M)}
        self.assertEqual(set(parts), set(ORDER))
        for folder, (below, packages) in LINKS.items():
            libs = parts[folder]
            self.assertEqual({l for l in libs if l.startswith("hub_")}, {below} if below else set(), folder)
            self.assertEqual({l for l in libs if not l.startswith("hub_") and l != "qylink"}, packages, folder)


if __name__ == "__main__":
    unittest.main()
