"""The install action, called directly in Wine's registry, and the export
names that the module answers to."""

import traces
from winetest import PrefixTest, Snapshot, export_lookup, main, reg_file_text, reg_import

PLUGINS = traces.PLUGINS
HELVARIN = r"HKLM\Software\Helvarin"


class InstallAction(PrefixTest):
    def setUp(self):
        traces.reset(self.wine, self.probe, self.work)

    def install(self, handle):
        return self.run_action("_CustomInstTMK@4", handle)

    def user_side(self):
        return self.probe.dump(*[rf"HKU\{h}\Software\Helvarin" for h in self.probe.hives()])

    def test_creates_the_entry_on_a_machine_without_the_makers_key(self):
        self.assertFalse(self.probe.dump(HELVARIN).keys)
        for handle in (0, 0x4D2):
            with self.subTest(handle=handle):
                traces.reset(self.wine, self.probe, self.work)
                self.install(handle)
                expected = Snapshot(
                    {HELVARIN, rf"{HELVARIN}\TideMark", PLUGINS},
                    {(PLUGINS, traces.PLUGIN_VALUE): traces.PLUGIN_DATA})
                self.assertSnapshot(expected, self.probe.dump(HELVARIN),
                                    "machine hive after the install action")
                # The machine hive only: no user hive gets anything.
                self.assertEqual(self.user_side(), Snapshot())

    def test_keeps_other_entries_and_replaces_one_of_another_type(self):
        reg_import(self.wine, self.work, reg_file_text((), {
            PLUGINS: {"Charts.dll": " ", traces.PLUGIN_VALUE: 7, "@": "list"},
            rf"{PLUGINS}\Disabled": {"Old.dll": b"\x00\x01"},
            r"HKLM\Software\Helvarin\TideMark": {"Edition": "sample"},
        }))
        before = self.probe.dump(HELVARIN)
        self.assertEqual(before.value(PLUGINS, traces.PLUGIN_VALUE), (4, "07000000"))

        self.install(0)
        expected = before.copy()
        expected.values[(PLUGINS, traces.PLUGIN_VALUE)] = traces.PLUGIN_DATA
        first = self.probe.dump(HELVARIN)
        self.assertSnapshot(expected, first, "after the first run")

        self.install(0x7FFFFFFF)
        self.assertSnapshot(first, self.probe.dump(HELVARIN),
                            "a second run must leave the same single entry")


class ExportNames(PrefixTest):
    """Windows Installer looks an entry up by the exact name of the
    CustomAction row: only the decorated names may answer."""

    def test_decorated_names_resolve_and_undecorated_ones_do_not(self):
        dll, runner = self.config["dll"], self.config["runner"]
        cases = [("_PreUninsTMK@4", 0), ("CustomInstTMK", 2), ("PreUninsTMK", 2),
                 ("UninstallTMK", 2), ("DllMain", 2), ("_CustomInstTMK", 2),
                 ("CustomInstTMK@4", 2)]
        for name, status in cases:
            with self.subTest(name=name):
                self.assertEqual(export_lookup(self.wine, runner, dll, name), status)


if __name__ == "__main__":
    main()
