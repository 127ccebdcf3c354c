"""The guard inside a real msiexec, on a MODIFIED platform.

Wine 8's MsiLocateComponentA refuses a null length pointer before it looks
anything up, so under plain Wine the module's exact query (a null buffer and
a null length, which Windows accepts) never reports a guard component and
the cleanup always runs. This test makes its own copy of Wine's msi.dll with
that one argument check turned into no-ops, found by its byte pattern, and
loads it as a native DLL (WINEDLLOVERRIDES=msi=n) in a Wine prefix of its
own, so that no other test meets the modified platform. Then:

  - with the sample guard package installed, msiexec /x of the product asks
    about the first guard only (Wine's +msi trace shows every query with its
    arguments), and every key and value of the product stays, in every user
    hive and in the machine hive;
  - with the guard package removed, on the same copy, both guards are asked
    about and the cleanup runs.

If the byte pattern is not found in this Wine's msi.dll, the test skips and
names the Wine version.
"""

import os
import re
import shutil
import subprocess
import sys
import unittest

import pefile

import prefix as prefixes
import traces
from test_guard import GUARDS, INSTALLSTATE_LOCAL, MSI_LOCATE_COMPONENT_ORDINAL, TRACE
from test_installer import INSTALLSTATE_DEFAULT
from winetest import (DLL_OVERRIDES, Probe, Wine, load_config, msi_property, msiexec,
                      snapshot_diff)

WINE_MSI_DLLS = ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/msi.dll",
                 "/usr/lib/wine/x86_64-windows/msi.dll")
# Wine's builtin DLLs carry this text after the DOS header; a file that keeps
# it is taken for the builtin and not loaded as native.
BUILTIN_MARKER = b"Wine builtin DLL"
BUILTIN_MARKER_OFFSET = 0x40
# In MsiLocateComponentA: the length pointer (the third argument, r8) kept
# in rsi, then "test rsi, rsi; je <rel32>" to the exit that returns
# INSTALLSTATE_INVALIDARG, "mov eax, -2".
SAVE_LENGTH_POINTER = b"\x4c\x89\xc6"
TEST_AND_JUMP = re.compile(rb"\x48\x85\xf6\x0f\x84(....)", re.S)
RETURN_INVALIDARG = b"\xb8\xfe\xff\xff\xff"
NOP6 = b"\x66\x0f\x1f\x44\x00\x00"
SEARCH_WINDOW = 0x80


def relaxed_msi_dll(original):
    """A copy of Wine's msi.dll whose MsiLocateComponentA no longer refuses a
    null length pointer, without the builtin marker; None when this build
    does not have the expected check."""
    data = bytearray(original)
    pe = pefile.PE(data=original, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    exports = [e for e in pe.DIRECTORY_ENTRY_EXPORT.symbols
               if e.ordinal == MSI_LOCATE_COMPONENT_ORDINAL]
    if len(exports) != 1:
        return None
    start = pe.get_offset_from_rva(exports[0].address)
    window = bytes(data[start:start + SEARCH_WINDOW])
    saved = window.find(SAVE_LENGTH_POINTER)
    check = TEST_AND_JUMP.search(window, saved + 1) if saved >= 0 else None
    if check is None:
        return None
    jump = start + check.start() + 3
    target = start + check.end() + int.from_bytes(check.group(1), "little", signed=True)
    if bytes(data[target:target + len(RETURN_INVALIDARG)]) != RETURN_INVALIDARG:
        return None
    data[jump:jump + len(NOP6)] = NOP6
    marker = slice(BUILTIN_MARKER_OFFSET, BUILTIN_MARKER_OFFSET + len(BUILTIN_MARKER))
    if bytes(data[marker]) == BUILTIN_MARKER:
        data[marker] = bytes(len(BUILTIN_MARKER))
    return bytes(data)


class ModifiedWine(Wine):
    """Wine with msi.dll taken from the prefix's system32, as native."""

    def env(self, debug="-all"):
        env = super().env(debug)
        env["WINEDLLOVERRIDES"] = DLL_OVERRIDES + ";msi=n"
        return env


class GuardInMsiexecOnModifiedPlatform(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        config = load_config()
        version = subprocess.run([config["wine64"], "--version"], capture_output=True,
                                 text=True, timeout=60).stdout.strip() or "unknown Wine"
        source = next((p for p in WINE_MSI_DLLS if os.path.exists(p)), None)
        if source is None:
            raise unittest.SkipTest(f"{version}: no x86_64 msi.dll found in {WINE_MSI_DLLS}")
        with open(source, "rb") as f:
            relaxed = relaxed_msi_dll(f.read())
        if relaxed is None:
            raise unittest.SkipTest(
                f"{version}: the null length check of MsiLocateComponentA was not found "
                f"by its byte pattern in {source}; the platform cannot be modified")
        print(f"\nmodified platform: {version}, its {source} with the null length check of "
              f"MsiLocateComponentA relaxed, loaded as native (msi=n) in a prefix of its own")

        cls.config = prefixes.own_config(config, "modified-msi")
        prefixes.setup(cls.config)
        cls.addClassCleanup(prefixes.cleanup, cls.config)
        cls.wine = ModifiedWine(cls.config["prefix"], cls.config["wine64"],
                                cls.config["wineserver"])
        system32 = os.path.join(cls.wine.prefix, "drive_c", "windows", "system32")
        with open(os.path.join(system32, "msi.dll"), "wb") as f:
            f.write(relaxed)
        cls.probe = Probe(cls.wine, cls.config["probe"])
        cls.work = cls.config["work"]
        os.makedirs(cls.work, exist_ok=True)

    def log(self, name):
        return os.path.join(self.work, name)

    def uninstall_product(self, product, step):
        """Seeds the traces into every hive, runs msiexec /x of the product
        with Wine's msi trace, and returns (the module's queries, the
        registry before, after, the hives)."""
        hives = self.probe.hives() + list(traces.EXTRA_HIVES)
        traces.seed(self.wine, self.work, hives)
        before = self.probe.dump(*traces.scope(hives))
        missing = traces.planned_present(before, hives)
        self.assertEqual(missing, [], "the seeded traces are not all there")
        result = msiexec(self.wine, "/x", product, self.log(f"{step}-uninstall.log"),
                         debug="+msi")
        queries = [(code, int(buffer, 16), int(length, 16))
                   for code, buffer, length in TRACE.findall(result.stderr)]
        return queries, before, self.probe.dump(*traces.scope(hives)), hives

    def test_guard_holds_then_without_it_the_cleanup_runs(self):
        product, guard = self.config["product_msi"], self.config["guard_msi"]
        product_code = msi_property(self.config["msiinfo"], product, "ProductCode")
        _, unknown = self.probe.component(GUARDS[0])
        self.assertNotEqual(unknown, -2, "the modified msi.dll is not the one loaded: Wine "
                            "still refuses the null length")

        # With the guard package installed: the cleanup is held back.
        msiexec(self.wine, "/i", guard, self.log("guard-install.log"))
        with_length, null_length = self.probe.component(GUARDS[0])
        self.assertEqual((with_length, null_length), (INSTALLSTATE_LOCAL, INSTALLSTATE_LOCAL),
                         "the guard component, asked with a length and with the module's "
                         "null buffer and null length")
        msiexec(self.wine, "/i", product, self.log("product-install-1.log"))
        self.assertEqual(self.probe.product_state(product_code), INSTALLSTATE_DEFAULT)
        queries, before, after, _ = self.uninstall_product(product, "guarded")
        print(f"queries in Wine's msi trace, guard installed: {queries}")
        self.assertEqual(queries, [(GUARDS[0], 0, 0)],
                         "the module asks about the first guard only, with null buffer "
                         "and length")
        # msiexec itself removes the package's own value; the module nothing.
        expected = before.without_value(r"HKLM\Software\Helvarin\TideMark", "Version")
        self.assertEqual(snapshot_diff(expected, after), [],
                         "registry with the guard installed")
        print("guard held in msiexec: first query 3, second not asked, keys kept")

        # The guard package removed, the same copy of msi.dll: the cleanup runs.
        msiexec(self.wine, "/x", guard, self.log("guard-uninstall.log"))
        self.assertNotEqual(self.probe.component(GUARDS[0])[1], INSTALLSTATE_LOCAL)
        msiexec(self.wine, "/i", product, self.log("product-install-2.log"))
        queries, before, after, hives = self.uninstall_product(product, "unguarded")
        print(f"queries in Wine's msi trace, no guard installed: {queries}")
        self.assertEqual(queries, [(GUARDS[0], 0, 0), (GUARDS[1], 0, 0)])
        expected = traces.after_cleanup(before, hives)
        self.assertEqual(snapshot_diff(expected, after), [], "registry after the cleanup")
        print("without the guard package, on the same modified platform: both guards "
              "asked about, the cleanup ran")


if __name__ == "__main__":
    outcome = unittest.main(verbosity=2, exit=False).result
    if not outcome.wasSuccessful():
        sys.exit(1)
    # 77: CTest reports the test as skipped (SKIP_RETURN_CODE).
    sys.exit(77 if outcome.skipped else 0)
