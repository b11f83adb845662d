"""The hub's modules depend in one direction: its include graph, read from
the sources (a header and its sources are one module), has no cycle, and
the gateways include none of the modules that hear what they announce."""

import os
import re
import unittest

HUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server", "hub")
# Sources without a header of their own: the module whose header they implement.
PARTS = {"gwsend": "gateways", "clash": "gateways", "metrics": "api", "page_common": "api", "page_fleet": "api",
         "page_gateway": "api", "page_plots": "api", "page_jobs": "api", "attention": "hub", "apihist": "api",
         "apijobs": "api", "check": "config", "journalq": "journal", "journalprune": "journal",
         "regstore": "registry", "db_sqlite": "db", "db_pg": "db", "jobrun": "fleetjobs", "jobrequest": "fleetjobs",
         "jobsync": "fleetjobs"}
# Sources that put the modules together: they include, nobody includes them.
TOPS = {"main", "modules"}
ABOVE_GATEWAYS = {"commands", "exposures", "mqtt", "registry", "history", "audit", "journal", "fleetjobs", "jobstore"}


def include_graph():
    files = [f for f in os.listdir(HUB) if f.endswith((".cpp", ".h"))]
    modules = {os.path.splitext(f)[0] for f in files if f.endswith(".h")}
    graph = {}
    for f in files:
        stem = os.path.splitext(f)[0]
        module = PARTS.get(stem, stem)
        if module not in modules and module not in TOPS:
            raise AssertionError("%s: no header and not in PARTS or TOPS" % f)
        with open(os.path.join(HUB, f), encoding="utf-8") as src:
            used = set(re.findall(r'^#include "([^"/]+)\.h"', src.read(), re.M)) & modules
        graph.setdefault(module, set()).update(used - {module})
    return graph


def find_cycle(graph):
    state = {}  # 1 on the path, 2 done

    def visit(node, path):
        state[node] = 1
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt, path + [nxt])
                if found:
                    return found
        state[node] = 2
        return None

    for start in sorted(graph):
        if start not in state:
            found = visit(start, [start])
            if found:
                return found
    return None


class IncludeGraph(unittest.TestCase):
    def test_one_direction(self):
        graph = include_graph()
        self.assertIsNone(find_cycle(graph), "include cycle")
        self.assertEqual(graph["gateways"] & ABOVE_GATEWAYS, set())
        self.assertEqual(graph["hub"] & (ABOVE_GATEWAYS | {"gateways"}), set())
        for top in TOPS:
            self.assertFalse(any(top in deps for deps in graph.values()), top)


if __name__ == "__main__":
    unittest.main()
