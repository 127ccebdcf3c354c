"""The x64 module signed by scripts/sign.sh still loads and does its work:
the signature is appended to the image and must change nothing the loader
or the actions rely on. The certificate comes from a throwaway CA made for
this run."""

import os
import shutil
import sys

import traces
from winetest import Agent, PrefixTest, call_action, main

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "signing"))
import throwaway_ca  # noqa: E402

WINDOW_CLASS = "VLD_CLASS"


class SignedModule(PrefixTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        keys = os.path.join(cls.work, "keys")
        shutil.rmtree(keys, ignore_errors=True)
        os.makedirs(keys)
        signer = throwaway_ca.make_signer(keys)
        cls.signed = os.path.join(cls.work, "InstTMMod.dll")
        shutil.copy(cls.config["dll"], cls.signed)
        result = throwaway_ca.run_sign_sh("--cert", signer.cert, "--key", signer.key,
                                          cls.signed)
        if result.returncode != 0:
            raise AssertionError(f"sign.sh failed:\n{result.stderr}")
        passed, out = throwaway_ca.verify(signer.ca, cls.signed)
        if not passed:
            raise AssertionError(f"the signed module does not verify:\n{out}")

    def call(self, export):
        result, _ = call_action(self.wine, self.config["runner"], self.signed, export, 0)
        self.assertEqual(result, 0, export)

    def test_signed_module_runs_each_action(self):
        with open(self.config["dll"], "rb") as built, open(self.signed, "rb") as signed:
            self.assertNotEqual(built.read(), signed.read(), "the copy was not signed")
        traces.reset(self.wine, self.probe, self.work)

        self.call("_CustomInstTMK@4")
        self.assertEqual(self.probe.dump(traces.PLUGINS).value(traces.PLUGINS,
                                                                traces.PLUGIN_VALUE),
                         traces.PLUGIN_DATA)

        agent = Agent(self.wine, self.config["agent"],
                      os.path.join(self.work, "agent.log"), "close")
        self.addCleanup(agent.kill)
        self.call("_PreUninsTMK@4")
        self.assertEqual(agent.close_messages(), 1)
        self.assertTrue(self.window_gone(WINDOW_CLASS))

        self.call("_UninstallTMK@4")
        self.assertFalse(self.probe.dump(r"HKLM\Software\Helvarin\TideMark").keys,
                         "the product key is still there after the uninstall action")


if __name__ == "__main__":
    main()
