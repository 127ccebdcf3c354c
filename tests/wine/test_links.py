"""Registry links planted by users, against the elevated uninstall.

Any user can make a key of their own hive a link (REG_OPTION_CREATE_LINK and
a REG_LINK value "SymbolicLinkValue" naming the target). A link back at its
own parent, inside a tree the uninstall deletes, makes a depth-first deletion
open the same key again and again. This test plants such a self-loop in two
planned trees:

  - another signed-in user's hive (an extra hive under HKEY_USERS): the loop
    HKU\\<user>\\Software\\Helvarin\\VLD\\A\\loop -> ...\\VLD\\A, met by the
    first sweep of the plan;
  - the current user's hive: ...\\Software\\Helvarin\\TideMark\\A\\loop ->
    ...\\TideMark\\A, met by a sweep and again by the step under
    HKEY_CURRENT_USER;

then removes the sample product with msiexec /x. The process that hosts the
custom action must survive, and every other planned key in every hive and in
the machine hive must be gone.

The test works in a Wine prefix of its own, made and removed here: a prefix
with links in it is hard to clean key by key, and the other wine tests share
theirs.
"""

import os
import re

import prefix
import traces
from test_installer import INSTALLSTATE_DEFAULT, INSTALLSTATE_UNKNOWN
from winetest import (PrefixTest, Probe, Snapshot, Wine, WineError, load_config, main,
                      msi_property, parse_output, read_msi_log, reg_file_text, reg_import, winpath)

# Wine reports a stack overflow on its error channels ("err:virtual:...
# stack overflow ...", and the exception code c00000fd where an unhandled
# exception is reported); the rest stays quiet. Wine's Windows Installer logs
# the action as returning 1 even when the process hosting it died, so the log
# alone cannot tell whether the action survived.
DEBUG = "-all,err+seh,err+virtual,err+msi"
CRASH = re.compile(r"stack overflow|c00000fd", re.IGNORECASE)


def nt_path(hive, path):
    """The NT name of a key of a user hive, as a link's target holds it."""
    return rf"\Registry\User\{hive}\{path}"


def only_tree(snapshot, path):
    """The part of a snapshot at path and below it."""
    outside = snapshot.without_tree(path)
    return Snapshot(snapshot.keys - outside.keys,
                    {kv: d for kv, d in snapshot.values.items() if kv not in outside.values})


def union(a, b):
    return Snapshot(a.keys | b.keys, {**a.values, **b.values})


class Links:
    """The reglink program."""

    def __init__(self, wine, exe):
        self.wine = wine
        self.exe = exe

    def create(self, key, target):
        out = self.wine.run(self.exe, "create", key, target).stdout.strip()
        if out != "created":
            raise WineError(f"reglink create {key}: {out!r}")

    def read(self, key):
        """(target, status of an ordinary open of key)."""
        out = self.wine.run(self.exe, "read", key).stdout
        target, opens = parse_output(r"target=(.*?)\r?\nopens=(-?\d+)", out, "reglink")
        return target, int(opens)

    def remove(self, key):
        return self.wine.run(self.exe, "remove", key).stdout.strip()


class SelfLoopsInUserHives(PrefixTest):
    @classmethod
    def setUpClass(cls):
        # Not the shared prefix: one of this test's own, removed however the
        # test ends, a failed setup included.
        cls.config = prefix.own_config(load_config(), "links")
        cls.addClassCleanup(prefix.cleanup, cls.config)
        prefix.setup(cls.config)
        cls.wine = Wine(cls.config["prefix"], cls.config["wine64"], cls.config["wineserver"])
        cls.probe = Probe(cls.wine, cls.config["probe"])
        cls.links = Links(cls.wine, cls.config["reglink"])
        cls.work = cls.config["work"]

    def msiexec(self, mode, name):
        """msiexec with a verbose log and Wine's error channels; returns the
        exit status, the log's text and Wine's own output."""
        log = os.path.join(self.work, f"{name}.log")
        result = self.wine.run("msiexec", mode, winpath(self.config["product_msi"]), "/qn",
                               "/l*v", winpath(log), timeout=300, check=False, debug=DEBUG)
        text = read_msi_log(log) if os.path.exists(log) else ""
        return result.returncode, text, result.stdout + result.stderr

    def current_user_hive(self, hives):
        """The hive under HKEY_USERS that is HKEY_CURRENT_USER: the seeded
        traces name their own hive, so read that name back through HKCU."""
        key = r"HKCU\Software\Helvarin\TideMark\History\2024"
        owner = self.probe.dump(key).value(key, "Owner")
        self.assertIsNotNone(owner, "the current user's hive was not seeded")
        hive = bytes.fromhex(owner[1]).rstrip(b"\0").decode()
        self.assertIn(hive, hives)
        return hive

    def test_uninstall_survives_and_cleans_everything_but_the_looping_trees(self):
        product = self.config["product_msi"]
        code = msi_property(self.config["msiinfo"], product, "ProductCode")
        status, text, _ = self.msiexec("/i", "install")
        self.assertEqual(status, 0, text[-3000:])
        self.assertEqual(self.probe.product_state(code), INSTALLSTATE_DEFAULT)

        hives = self.probe.hives() + list(traces.EXTRA_HIVES)
        other = traces.EXTRA_HIVES[0]
        traces.seed(self.wine, self.work, hives)
        current = self.current_user_hive(hives)
        # The loops sit in "A", which the platform lists first in its tree
        # (subkeys are listed in name order), so the deletion of that tree
        # meets the loop before it has removed anything in it.
        looping = {
            other: r"Software\Helvarin\VLD",
            current: r"Software\Helvarin\TideMark",
        }
        parents = {hive: rf"{tree}\A" for hive, tree in looping.items()}
        reg_import(self.wine, self.work, reg_file_text((), {
            rf"HKU\{hive}\{parent}": {"Planted": "link parent"}
            for hive, parent in parents.items()}))
        before = self.probe.dump(*traces.scope(hives))
        self.assertEqual(traces.planned_present(before, hives), [])

        # Planted after the snapshot: reading a tree through a loop never ends.
        link_keys = []
        for hive, parent in parents.items():
            key, target = rf"HKU\{hive}\{parent}\loop", nt_path(hive, parent)
            self.links.create(key, target)
            link_keys.append(key)
            # The loop is live: three links deep still opens.
            self.assertEqual(self.links.read(rf"{key}\loop\loop"), (target, 0))

        status, text, wine_output = self.msiexec("/x", "uninstall")
        crashes = [line for line in wine_output.splitlines() if CRASH.search(line)]
        ended = re.search(r"Action ended [\d:]+: UninstallTMK\. Return value (-?\d+)\.", text)
        print(f"\nmsiexec /x exit status {status}; "
              f"log: {ended.group(0) if ended else 'no end of UninstallTMK logged'}")
        for line in wine_output.splitlines():
            if "err:" in line:
                print(f"  wine: {line}")

        self.assertEqual(crashes, [], "the process hosting the custom action crashed")
        self.assertEqual(status, 0, text[-3000:])
        self.assertIsNotNone(ended, "the log does not show UninstallTMK ending")
        self.assertEqual(ended.group(1), "1")
        self.assertEqual(self.probe.product_state(code), INSTALLSTATE_UNKNOWN)

        # The links themselves are still there, untouched; take them out so
        # that the registry can be read.
        for key in link_keys:
            self.assertEqual(self.links.remove(key), "removed", key)
        after = self.probe.dump(*traces.scope(hives))

        expected = traces.after_cleanup(before, hives)
        for hive, tree in looping.items():
            expected = union(expected, only_tree(before, rf"HKU\{hive}\{tree}"))
        self.assertSnapshot(expected, after, "registry after msiexec /x")
        self.assertEqual(sorted(self.probe.hives()), sorted(hives))


if __name__ == "__main__":
    main()
