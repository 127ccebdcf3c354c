"""The stand-in against Wine's registry, case by case: the registry cases of
registry_cases.txt run once on the host stand-in and once on Wine's real
registry (the same steps, from one source built twice), and what every step
returned must be the same on both, except in the cases that record a
difference of Wine's with "wine-differs" and say beside it which one Windows
agrees with. A recorded difference that has gone away fails too, so that
the record stays true.
"""

import subprocess

from winetest import PrefixTest, main, winpath


def recorded_cases(path):
    """[(case name, recorded difference or None)] in file order."""
    cases = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split(None, 1)
            if words and words[0] == "case":
                cases.append([words[1].strip(), None])
            elif words and words[0] == "wine-differs":
                cases[-1][1] = words[1].strip()
    return [tuple(c) for c in cases]


def results(text):
    """{case name: the steps' results} from a run's output."""
    out = {}
    for line in text.replace("\r", "").splitlines():
        name, _, steps = line.partition("\t")
        out[name] = steps
    return out


class StandInAgainstWineRegistry(PrefixTest):
    def test_every_case_alike_or_recorded(self):
        path = self.config["cases_file"]
        cases = recorded_cases(path)
        self.assertTrue(cases, f"no case in {path}")
        host = subprocess.run([self.config["cases_host"], path], capture_output=True,
                              text=True, timeout=60)
        self.assertEqual(host.returncode, 0, host.stderr)
        wine = self.wine.run(self.config["cases_wine"], winpath(path), timeout=120)
        on_host, on_wine = results(host.stdout), results(wine.stdout)

        differences = []
        for name, recorded in cases:
            with self.subTest(case=name):
                self.assertIn(name, on_host, "no result from the stand-in")
                self.assertIn(name, on_wine, "no result from Wine")
                if on_host[name] == on_wine[name]:
                    self.assertIsNone(recorded, "recorded as a difference of Wine's, "
                                      "but both now agree: remove the record")
                    continue
                self.assertIsNotNone(
                    recorded, f"the stand-in and Wine differ\n  stand-in: {on_host[name]}"
                              f"\n  Wine:     {on_wine[name]}")
                differences.append(name)
                print(f"  {name}: Wine differs ({recorded})\n"
                      f"    stand-in: {on_host[name]}\n    Wine:     {on_wine[name]}")
        print(f"registry cases: {len(cases)} run on the stand-in and on Wine's registry, "
              f"{len(cases) - len(differences)} alike, {len(differences)} differ "
              f"(each recorded as a difference of Wine's)")


if __name__ == "__main__":
    main()
