"""The module inside a real Windows Installer package: the sample product
built from packaging/product.wxs, installed and removed with Wine's msiexec,
twice over."""

import os
import re

import traces
from winetest import (Agent, PrefixTest, main, msi_property, msi_table, msiexec,
                      read_msi_log)

WINDOW_CLASS = "VLD_CLASS"
DLL_IN_BINARY_TABLE = 1          # custom action type: DLL stored in the Binary table
DEFERRED = 1024                  # msidbCustomActionTypeInScript
NO_IMPERSONATE = 2048            # msidbCustomActionTypeNoImpersonate
INSTALLSTATE_DEFAULT = 5         # MsiQueryProductState: installed for this context
INSTALLSTATE_UNKNOWN = -1        # MsiQueryProductState: not known to the installer


def ensure_removed(test, package_key, msi):
    """Uninstalls a package left installed by an earlier, failed test."""
    code = msi_property(test.config["msiinfo"], msi, "ProductCode")
    if test.probe.product_state(code) == INSTALLSTATE_DEFAULT:
        msiexec(test.wine, "/x", msi, os.path.join(test.work, f"leftover-{package_key}.log"))
    return code


class PackageTables(PrefixTest):
    """What the package tells Windows Installer, read back from the .msi."""

    def test_custom_actions_and_their_sequence(self):
        msi, msiinfo = self.config["product_msi"], self.config["msiinfo"]
        actions = {row["Action"]: row for row in msi_table(msiinfo, msi, "CustomAction")}
        self.assertEqual(set(actions), {"PreUninsTMK", "CustomInstTMK", "UninstallTMK"})
        expected = {
            "PreUninsTMK": (DLL_IN_BINARY_TABLE, "_PreUninsTMK@4"),
            "CustomInstTMK": (DLL_IN_BINARY_TABLE | DEFERRED | NO_IMPERSONATE,
                              "_CustomInstTMK@4"),
            "UninstallTMK": (DLL_IN_BINARY_TABLE | DEFERRED | NO_IMPERSONATE,
                             "_UninstallTMK@4"),
        }
        binaries = {row["Name"] for row in msi_table(msiinfo, msi, "Binary")}
        for name, (kind, target) in expected.items():
            with self.subTest(action=name):
                row = actions[name]
                self.assertEqual(int(row["Type"]), kind)
                self.assertEqual(row["Target"], target)
                self.assertIn(row["Source"], binaries)

        sequence = {row["Action"]: row for row in
                    msi_table(msiinfo, msi, "InstallExecuteSequence")}
        seq = {name: int(row["Sequence"]) for name, row in sequence.items()}
        self.assertLess(seq["PreUninsTMK"], seq["InstallValidate"])
        self.assertEqual(sequence["PreUninsTMK"]["Condition"], 'REMOVE="ALL"')
        self.assertTrue(seq["WriteRegistryValues"] < seq["CustomInstTMK"]
                        < seq["InstallFinalize"])
        self.assertEqual(sequence["CustomInstTMK"]["Condition"], "NOT Installed")
        self.assertTrue(seq["InstallInitialize"] < seq["UninstallTMK"]
                        < seq["InstallFinalize"])
        self.assertEqual(sequence["UninstallTMK"]["Condition"], 'REMOVE="ALL"')


class InstallUninstallCycles(PrefixTest):
    def test_two_cycles(self):
        msi = self.config["product_msi"]
        code = ensure_removed(self, "product", msi)
        ensure_removed(self, "guard", self.config["guard_msi"])
        self.assertFalse(self.probe.window(WINDOW_CLASS))
        for cycle in (1, 2):
            with self.subTest(cycle=cycle):
                self.cycle(cycle, msi, code)

    def cycle(self, cycle, msi, code):
        ensure_removed(self, f"product-{cycle}", msi)
        traces.reset(self.wine, self.probe, self.work)

        log = os.path.join(self.work, f"install-{cycle}.log")
        took = msiexec(self.wine, "/i", msi, log).seconds
        print(f"\ncycle {cycle}: msiexec /i took {took:.1f} s")
        self.assertEqual(self.probe.product_state(code), INSTALLSTATE_DEFAULT)
        installed = self.probe.dump(traces.PLUGINS)
        self.assertEqual(installed.value(traces.PLUGINS, traces.PLUGIN_VALUE),
                         traces.PLUGIN_DATA)
        self.assertRegex(read_msi_log(log),
                         r"Action ended [\d:]+: CustomInstTMK\. Return value 1\.")

        # Traces of several signed-in users, the machine's neighbours, and
        # the agent running in the installing user's session.
        hives = self.probe.hives() + list(traces.EXTRA_HIVES)
        traces.seed(self.wine, self.work, hives)
        before = self.probe.dump(*traces.scope(hives))
        self.assertEqual(traces.planned_present(before, hives), [])
        agent = Agent(self.wine, self.config["agent"],
                      os.path.join(self.work, f"agent-{cycle}.log"), "close")
        self.addCleanup(agent.kill)
        self.assertTrue(self.probe.window(WINDOW_CLASS))

        log = os.path.join(self.work, f"uninstall-{cycle}.log")
        took = msiexec(self.wine, "/x", msi, log).seconds
        print(f"cycle {cycle}: msiexec /x took {took:.1f} s; the agent closed "
              f"{agent.after_close_ms()} ms after WM_CLOSE arrived")

        self.assertFalse(self.probe.window(WINDOW_CLASS))
        self.assertTrue(agent.wait_exit(20), "agent still running after the uninstall")
        self.assertEqual(agent.close_messages(), 1)
        self.assertSnapshot(traces.after_cleanup(before, hives),
                            self.probe.dump(*traces.scope(hives)),
                            f"registry after msiexec /x (cycle {cycle})")
        self.assertEqual(self.probe.product_state(code), INSTALLSTATE_UNKNOWN)

        text = read_msi_log(log)
        starts = [m.group(1) for m in re.finditer(r"Action start [\d:]+: (\w+)\.",
                                                  text)]
        self.assertIn("PreUninsTMK", starts)
        self.assertLess(starts.index("PreUninsTMK"), starts.index("InstallValidate"))
        self.assertRegex(text, r"Action ended [\d:]+: UninstallTMK\. Return value 1\.")


if __name__ == "__main__":
    main()
