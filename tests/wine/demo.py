"""The demo that scripts/demo.sh runs: the sample product installed and
removed by Wine's Windows Installer, with the registry shown before and
after, in a prefix of its own (made by prefix.py setup beforehand).

  demo.py --arch x64|i686 --msi PACKAGE

With --arch i686 the machine hive is read and written in its 32-bit view,
where a 32-bit module's writes land on 64-bit Windows.
"""

import argparse
import os
import sys
import time

import traces
from winetest import (Agent, Probe, Wine, WineError, load_config, msi_property, msiexec,
                      reg_file_text, winpath)

AGENT_SHUTDOWN_MS = 300


def show(value):
    if value is None:
        return "-"
    kind, data = value
    raw = bytes.fromhex(data)
    if kind == 1:
        return f"REG_SZ {raw[:-1].decode(errors='replace')!r} ({len(raw)} bytes: {raw.hex(' ')})"
    if kind == 4:
        return f"REG_DWORD {int.from_bytes(raw, 'little')}"
    return f"type {kind}, {raw.hex(' ')}"


class Demo:
    def __init__(self, config, arch, msi):
        self.config = config
        self.view32 = arch == "i686"
        self.wine = Wine(config["prefix"], config["wine64"], config["wineserver"])
        self.probe = Probe(self.wine, config["probe"])
        self.work = config["work"]
        self.msi = msi
        os.makedirs(self.work, exist_ok=True)

    def machine(self, *keys):
        return self.probe.dump(*keys, view32=self.view32)

    def seed(self, hives):
        users = {}
        for hive in hives:
            users.update(traces.user_traces(hive, neighbours=hive != traces.BARE_HIVE))
        self.reg_import(reg_file_text((), users), view32=False)
        self.reg_import(reg_file_text((), traces.machine_traces()), view32=self.view32)

    def reg_import(self, text, view32):
        path = os.path.join(self.work, "seed.reg")
        with open(path, "w", encoding="ascii", newline="") as f:
            f.write(text)
        self.wine.run("reg", "import", winpath(path), *(["/reg:32"] if view32 else []))

    def snapshot(self, hives):
        users = [k for k in traces.scope(hives) if k.startswith("HKU\\")]
        snap = self.probe.dump(*users)
        machine = self.machine(*[k for k in traces.scope(hives) if k.startswith("HKLM\\")])
        snap.keys |= machine.keys
        snap.values.update(machine.values)
        return snap

    def run(self):
        step = 0

        def say(text):
            nonlocal step
            step += 1
            print(f"\n[{step}] {text}")

        code = msi_property(self.config["msiinfo"], self.msi, "ProductCode")
        say(f"Installing the sample product {os.path.basename(self.msi)} ({code}) "
            "with msiexec /i")
        took = msiexec(self.wine, "/i", self.msi, os.path.join(self.work, "install.log")).seconds
        print(f"    done in {took:.1f} s; Windows Installer reports the product as "
              f"{'installed' if self.probe.product_state(code) == 5 else 'NOT installed'}")
        entry = self.machine(traces.PLUGINS).value(traces.PLUGINS, traces.PLUGIN_VALUE)
        print(f"    plug-in entry: {traces.PLUGINS}")
        print(f"        {traces.PLUGIN_VALUE} = {show(entry)}")

        extra = list(traces.EXTRA_HIVES)
        current = [h for h in self.probe.hives() if h.startswith("S-1-5-21-")][0]
        self.current = current
        seeded = [current] + extra
        say("Seeding traces in three user hives: " + ", ".join(seeded) +
            f" (the current user's is {current});")
        print("    the other two stand for further signed-in users. The hive .Default is "
              "swept as well. Neighbouring keys and values that must survive go in too.")
        self.seed(seeded)
        hives = self.probe.hives()
        before = self.snapshot(hives)

        say(f"Starting the keep-alive agent (window class VLD_CLASS; it takes "
            f"{AGENT_SHUTDOWN_MS} ms to shut down once asked)")
        agent = Agent(self.wine, self.config["agent"], os.path.join(self.work, "agent.log"),
                      "delay", str(AGENT_SHUTDOWN_MS))
        try:
            print(f"    agent window present: {self.probe.window('VLD_CLASS')}")

            say("Uninstalling with msiexec /x")
            start = time.monotonic()
            msiexec(self.wine, "/x", self.msi, os.path.join(self.work, "uninstall.log"))
            took = time.monotonic() - start
            agent.wait_exit(10)
            closed = agent.after_close_ms()
            print(f"    msiexec /x took {took:.1f} s")
            if closed is not None:
                print(f"    the agent got WM_CLOSE and its window was gone {closed} ms later; "
                      f"agent process ended: {agent.proc.poll() is not None}")
            else:
                print("    the agent's window was NOT closed")
            print(f"    agent window present now: {self.probe.window('VLD_CLASS')}")
            print("    Windows Installer reports the product as "
                  f"{'installed' if self.probe.product_state(code) == 5 else 'removed'}")
        finally:
            agent.kill()

        after = self.snapshot(hives)
        return self.table(hives, before, after) and closed is not None

    def table(self, hives, before, after):
        print("\nRegistry before and after the uninstall "
              "(planned: the module removes it; kept: it must stay)")
        groups = {}
        problems = 0
        for key, name, planned in traces.table_rows(hives):
            if name is None:
                was, now = before.has_key(key), after.has_key(key)
            else:
                was, now = before.value(key, name) is not None, after.value(key, name) is not None
            if not was:
                continue  # not seeded there: the demo leaves .Default empty
            good = (not now) if planned else now
            problems += not good
            parts = key.split("\\")
            root_len = 2 if parts[0] == "HKU" else 1
            group = "\\".join(parts[:root_len])
            what = "\\".join(parts[root_len:]) + ("\\" if name is None else f" [{name}]")
            groups.setdefault(group, []).append(
                (what, "planned" if planned else "kept", "present" if now else "gone",
                 "ok" if good else "WRONG"))
        width = max(len(r[0]) for rows in groups.values() for r in rows)
        count = sum(len(rows) for rows in groups.values())
        planned = sum(r[1] == "planned" for rows in groups.values() for r in rows)
        for group, rows in groups.items():
            label = {"HKLM": "HKEY_LOCAL_MACHINE"}.get(group, group)
            if group == "HKU\\" + self.current:
                label += " (current user, HKEY_CURRENT_USER)"
            print(f"\n  {label}")
            print(f"    {'key [value]':<{width}}  {'kind':<7}  {'before':<7}  {'after':<7}")
            for what, kind, now, verdict in rows:
                print(f"    {what:<{width}}  {kind:<7}  {'present':<7}  {now:<7}  {verdict}")
        print(f"\n  {planned} planned items, {count - planned} neighbours: "
              f"{'all as expected' if problems == 0 else f'{problems} WRONG'}")
        exact = traces.after_cleanup(before, hives)
        if exact.keys != after.keys or exact.values != after.values:
            print("  a full comparison of every key and value found other differences")
            return False
        print("  a full comparison of every key and value under the maker's keys and the "
              "Run keys agrees:\n  exactly the planned items are gone, and nothing else")
        return problems == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=("x64", "i686"), required=True)
    parser.add_argument("--msi", required=True)
    args = parser.parse_args()
    try:
        ok = Demo(load_config(), args.arch, args.msi).run()
    except WineError as error:
        print(f"demo failed: {error}", file=sys.stderr)
        return 1
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
