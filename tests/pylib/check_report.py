"""The PASS, FAIL and SKIP lines that the command-line checks print, and
their tally.

Shared by the PE layout check (tests/pe/check_dll.py) and the checks of the
module under emulation (tests/binary/binary_checks.py): one line per check,
with its detail only when it failed, then a summary line; the exit status
CTest reads follows from the tally."""


class Report:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.skipped = 0

    def check(self, name, ok, detail=""):
        """Prints and counts one check; returns `ok`."""
        line = f"{'PASS' if ok else 'FAIL'} {name}"
        # The detail says what was wrong; a passing check needs none.
        if detail and not ok:
            line += f": {detail}"
        print(line, flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok

    def skip(self, name, why):
        print(f"SKIP {name}: {why}", flush=True)
        self.skipped += 1

    @staticmethod
    def info(text):
        print(f"  info: {text}", flush=True)

    def summary(self, title, *extras):
        """Prints "title: N passed, M failed[, K skipped][, extras...]" and
        returns the exit status: 1 when a check failed, else 0."""
        parts = [f"{self.passed} passed", f"{self.failed} failed"]
        if self.skipped:
            parts.append(f"{self.skipped} skipped")
        parts.extend(extras)
        print(f"{title}: {', '.join(parts)}", flush=True)
        return 1 if self.failed else 0
