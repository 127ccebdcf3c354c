"""The pre-uninstall action against a real window manager and the test
agent, running as a process of its own in the same prefix.

Times are those of the action's call alone, as the runner measured them
around it; the action's own bound is counted with GetTickCount, which
counts whole milliseconds, hence the 1 ms of slack below its 2000 ms.
"""

import os

from winetest import Agent, PrefixTest, main

WINDOW_CLASS = "VLD_CLASS"


class PreUninstallAction(PrefixTest):
    def setUp(self):
        self.assertTrue(self.window_gone(WINDOW_CLASS),
                        "a window of the agent's class is left from before")

    def pre_uninstall(self):
        return self.run_action("_PreUninsTMK@4")

    def run_with_agent(self, name, *mode):
        agent = Agent(self.wine, self.config["agent"],
                      os.path.join(self.work, f"agent-{name}.log"), *mode)
        self.addCleanup(agent.kill)
        self.assertTrue(self.probe.window(WINDOW_CLASS))
        elapsed = self.pre_uninstall()
        print(f"\n{name}: the action returned after {elapsed:.1f} ms")
        return agent, elapsed

    def test_agent_that_closes_at_once(self):
        agent, elapsed = self.run_with_agent("close", "close")
        self.assertLess(elapsed, 500)
        self.assertFalse(self.probe.window(WINDOW_CLASS))
        self.assertTrue(agent.wait_exit(20), "agent still running after its window went")
        self.assertEqual(agent.close_messages(), 1)

    def test_agent_that_closes_after_a_delay(self):
        # The action returns at the first check after the window went: no
        # sooner, and within about one poll interval of it.
        agent, elapsed = self.run_with_agent("delay", "delay", "600")
        self.assertGreaterEqual(elapsed, 590)
        self.assertLess(elapsed, 1000)
        self.assertFalse(self.probe.window(WINDOW_CLASS))
        self.assertTrue(agent.wait_exit(20), "agent still running after its window went")

    def test_agent_that_ignores_the_message(self):
        agent, elapsed = self.run_with_agent("ignore", "ignore")
        self.assertGreaterEqual(elapsed, 1999)
        self.assertLess(elapsed, 2500)
        # The action gives up without a second message, and leaves the
        # window to its owner.
        self.assertTrue(self.probe.window(WINDOW_CLASS))
        self.assertEqual(agent.close_messages(), 1)
        agent.kill()
        self.assertTrue(self.window_gone(WINDOW_CLASS))

    def test_no_agent(self):
        elapsed = self.pre_uninstall()
        print(f"\nno agent: the action returned after {elapsed:.1f} ms")
        # At once: less than the one 50 ms poll interval that any wait
        # would take.
        self.assertLess(elapsed, 45)


if __name__ == "__main__":
    main()
