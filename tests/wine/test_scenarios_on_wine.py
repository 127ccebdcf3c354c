"""The scenarios of tests/scenarios/ on Wine's registry: each scenario that
a real registry can hold is set up there as the host stand-in sets it up,
the x64 module's export is called on it, and the registry it leaves must
differ from where it started exactly as the stand-in's did after the host
build of the product ran the same scenario.

The host side (host/scenario_states.cpp) prints each scenario's registry
before and after; the Windows side (tools/state_replay.cpp) seeds the same
keys and values, runs the export in its own process and prints the same keys
before and after. Wine's hives get the stand-in's hive names, except that
the stand-in's current user becomes Wine's and ".DEFAULT" Wine's ".Default".

What is compared, per key that either side's scenario holds: that it
exists, each of its values (type and bytes) and the names of its subkeys.
Wine's own keys and values around them (HKLM\\Software, the hives' keys)
are there before and after alike, so the comparison is of what changed:
what the action added and what it removed must be the same on both sides.
"""

import os
import subprocess

import traces
from winetest import PrefixTest, WineError, main, winpath


def host_scenarios(program):
    """[(name, export, handle, current user, obstacle, before, after)] from
    the host run; before and after are lists of dump lines (fields)."""
    out = subprocess.run([program], check=True, capture_output=True, text=True,
                         timeout=120).stdout
    scenarios = []
    for line in out.splitlines():
        fields = line.split("\t")
        if fields[0] == "S":
            name, export, handle, user, verdict, reason = fields[1:7]
            scenarios.append({"name": name, "export": export, "handle": handle, "user": user,
                              "obstacle": reason if verdict == "skip" else "",
                              "B": [], "A": []})
        elif fields[0] in ("B", "A"):
            scenarios[-1][fields[0]].append(fields[1:])
    return scenarios


def hive_map(host_user, wine_hives):
    """The Wine name of each stand-in hive name."""
    default = next(h for h in wine_hives if h.casefold() == ".default")
    wine_user = next(h for h in wine_hives if h.startswith("S-1-5-21-")
                     and not h.endswith("_Classes"))

    def to_wine(hive):
        if hive.casefold() == ".default":
            return default
        if hive == host_user:
            return wine_user
        if hive == host_user + "_Classes":
            return wine_user + "_Classes"
        return hive
    return to_wine


def renamed(path, to_wine):
    parts = path.split("\\")
    if parts[0] == "HKU" and len(parts) > 1:
        parts[1] = to_wine(parts[1])
    return "\\".join(parts)


def host_items(lines, to_wine):
    """The dump as items: ("K", key), ("V", key, name, type, hex) and
    ("C", key, child), for every key. The keys straight below a root are
    hives (HKLM\\Software, HKU\\<user>), which a real registry always has:
    the stand-in starts without them, so their coming is no change."""
    items = set()
    for fields in lines:
        key = renamed(fields[1], to_wine)
        if fields[0] == "K":
            parent, _, child = key.rpartition("\\")
            if "\\" in parent:
                items.add(("K", key))
                items.add(("C", parent, child))
        else:
            items.add(("V", key, *fields[2:]))
    return items


def parent_keys(path):
    """The keys above a path that are keys (below the root and the hive
    list itself)."""
    parts = path.split("\\")
    return ["\\".join(parts[:i]) for i in range(2, len(parts))]


class ScenariosOnWineRegistry(PrefixTest):
    def test_end_states_match_the_host_run(self):
        scenarios = host_scenarios(self.config["scenario_states"])
        self.assertGreater(len(scenarios), 0)
        traces.reset(self.wine, self.probe, self.work)
        self.addCleanup(traces.reset, self.wine, self.probe, self.work)
        hives = self.probe.hives()
        replayed = [s for s in scenarios if not s["obstacle"]]
        self.assertTrue(replayed, "no scenario can be replayed")

        universe = set()
        request = []
        for s in replayed:
            to_wine = hive_map(s["user"], hives)
            s["host_B"] = host_items(s["B"], to_wine)
            s["host_A"] = host_items(s["A"], to_wine)
            keys = {i[1] for i in s["host_B"] | s["host_A"] if i[0] == "K"}
            universe |= keys
            for key in keys:
                universe.update(parent_keys(key))
            request.append("\t".join(("R", s["name"], s["export"], s["handle"])))
            request += ["K\t" + i[1] for i in sorted(s["host_B"]) if i[0] == "K"]
            request += ["\t".join(i) for i in sorted(s["host_B"]) if i[0] == "V"]
        path = os.path.join(self.work, "replay.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(["U\t" + k for k in sorted(universe)] + request) + "\n")

        run = self.wine.run(self.config["state_replay"], winpath(path), winpath(self.config["dll"]),
                            timeout=400)
        wine = {s["name"]: {"B": set(), "A": set(), "result": None, "failed": []}
                for s in replayed}
        for line in run.stdout.replace("\r", "").splitlines():
            fields = line.split("\t")
            if fields[0] in ("B", "A"):
                wine[fields[1]][fields[0]].add(tuple(fields[2:]))
            elif fields[0] == "R":
                wine[fields[1]]["result"] = fields[2]
            elif fields[0] == "F":
                wine[fields[1]]["failed"].append(f"{fields[2]}: status {fields[3]}")

        alike = 0
        for s in replayed:
            w = wine[s["name"]]
            with self.subTest(scenario=s["name"]):
                self.assertEqual(w["failed"], [], "Wine's registry could not be seeded")
                self.assertEqual(w["result"], "0", "the export's result under Wine")
                unseeded = s["host_B"] - w["B"]
                self.assertFalse(unseeded, f"seeded but missing under Wine: {sorted(unseeded)[:5]}")
                self.assertEqual(sorted(w["A"] - w["B"]), sorted(s["host_A"] - s["host_B"]),
                                 "added by the action: Wine (first) and the stand-in")
                self.assertEqual(sorted(w["B"] - w["A"]), sorted(s["host_B"] - s["host_A"]),
                                 "removed by the action: Wine (first) and the stand-in")
                alike += 1
                removed = len([i for i in s["host_B"] - s["host_A"] if i[0] != "C"])
                added = len([i for i in s["host_A"] - s["host_B"] if i[0] != "C"])
                print(f"  {s['name']}: alike ({removed} keys and values removed, {added} added)")
        skipped = [s for s in scenarios if s["obstacle"]]
        for s in skipped:
            print(f"  {s['name']}: not replayed, {s['obstacle']}")
        print(f"scenarios on Wine's registry: {len(replayed)} replayed, {alike} end states "
              f"as on the stand-in; {len(skipped)} not replayable here")


if __name__ == "__main__":
    main()
