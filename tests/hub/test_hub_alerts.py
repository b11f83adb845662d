"""The hub's Prometheus alerting rules: promtool checks them and runs their
unit tests (alerts_test.yml). Skipped where promtool is missing (Debian
package prometheus, tools/install-deps.sh)."""

import os
import shutil
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
RULES = os.path.join(HERE, "..", "..", "server", "hub", "alerts", "trm-hub.rules.yml")
PROMTOOL = shutil.which("promtool")


@unittest.skipUnless(PROMTOOL, "promtool not installed (Debian package prometheus)")
class AlertRules(unittest.TestCase):
    def promtool(self, *args):
        run = subprocess.run([PROMTOOL, *args], capture_output=True, text=True, timeout=60, check=False)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)

    def test_rules_check_and_their_unit_tests_pass(self):
        self.promtool("check", "rules", RULES)
        self.promtool("test", "rules", os.path.join(HERE, "alerts_test.yml"))


if __name__ == "__main__":
    unittest.main()
