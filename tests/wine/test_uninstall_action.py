"""The uninstall action, called directly, against Wine's registry with four
user hives loaded: .Default, the current user's and two more."""

import traces
from winetest import PrefixTest, main


class UninstallAction(PrefixTest):
    def seeded(self):
        """Resets, seeds every hive and the machine hive, and returns the
        hives and the state before the action."""
        traces.reset(self.wine, self.probe, self.work)
        # The extra hives come into being with their first key.
        hives = self.probe.hives() + list(traces.EXTRA_HIVES)
        traces.seed(self.wine, self.work, hives)
        self.assertEqual(sorted(self.probe.hives()), sorted(hives))
        before = self.probe.dump(*traces.scope(hives))
        self.assertEqual(traces.planned_present(before, hives), [],
                         "seeding left planned items out")
        return hives, before

    def uninstall(self, handle):
        return self.run_action("_UninstallTMK@4", handle)

    def test_removes_exactly_the_planned_keys_and_values_in_every_hive(self):
        for handle in (0, 0x4D2):
            with self.subTest(handle=handle):
                hives, before = self.seeded()
                print(f"\nhandle {handle}: hives {', '.join(hives)}; "
                      f"{len(before.keys)} keys, {len(before.values)} values before")
                elapsed = self.uninstall(handle)
                after = self.probe.dump(*traces.scope(hives))
                print(f"handle {handle}: action took {elapsed:.1f} ms; "
                      f"{len(after.keys)} keys, {len(after.values)} values after")
                self.assertSnapshot(traces.after_cleanup(before, hives), after,
                                    f"registry after the uninstall action (handle {handle})")
                # The maker's key stays even where the plan left it empty.
                self.assertTrue(after.has_key(rf"HKU\{traces.BARE_HIVE}\Software\Helvarin"))
                # The sweeps delete below the hives, never a hive itself.
                self.assertEqual(sorted(self.probe.hives()), sorted(hives))

    def test_a_second_run_on_the_cleaned_registry_changes_nothing(self):
        hives, _ = self.seeded()
        self.uninstall(0)
        cleaned = self.probe.dump(*traces.scope(hives))
        self.uninstall(0)
        self.assertSnapshot(cleaned, self.probe.dump(*traces.scope(hives)),
                            "second uninstall run")


if __name__ == "__main__":
    main()
