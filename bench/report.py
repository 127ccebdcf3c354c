#!/usr/bin/python3
"""Prints the table of one run of scripts/bench.sh from its results log.

  report.py [--module] RESULTS_LOG

With --module only the rows of the two 32-bit modules are printed (the log of
`scripts/bench.sh module`).

The log holds "result <bench> <name> <value>" lines from the bench program
and from bench.sh itself. Each row gives what was measured and, where the
module has a goal for it, the goal and whether this run met it. Missing a
goal is reported, never an error: the numbers depend on the machine.
"""

import os
import platform
import re
import subprocess
import sys

SHAPES = ["wide", "deep", "bushy"]
TREE_GOAL = 1.10  # ours within 1.10x of RegDeleteTreeA
CLOSE_GOAL_MS = 60.0  # agent that closes at once: median return
OVERSHOOT_GOAL_MS = 60.0  # agent that never closes: beyond 2000 ms
MODULE_GOAL_BYTES = 6 * 1024


def load(path):
    results = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            fields = line.split()
            if len(fields) == 4 and fields[0] == "result":
                results[(fields[1], fields[2])] = float(fields[3])
    return results


def machine():
    def first(path, pattern):
        try:
            with open(path, encoding="utf-8") as f:
                for line in f:
                    m = re.match(pattern, line)
                    if m:
                        return m.group(1).strip()
        except OSError:
            pass
        return "unknown"

    cpu = first("/proc/cpuinfo", r"model name\s*:\s*(.*)")
    mem_kib = first("/proc/meminfo", r"MemTotal:\s*(\d+)")
    mem = f"{int(mem_kib) / 1024 / 1024:.1f} GiB" if mem_kib.isdigit() else "unknown"
    try:
        wine = subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True,
                              text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        wine = "unknown"
    return (f"{os.cpu_count()} CPUs ({cpu}), {mem} RAM, {wine}, "
            f"Linux {platform.release()}")


def verdict(ok):
    return "met" if ok else "MISSED"


# The two builds of the 32-bit module: result-name prefix and row title.
MODULE_BUILDS = [("i686", "module, MinGW-w64 (shipped)"),
                 ("i686_msvc", "module, MSVC family")]


def module_rows(get):
    rows = []
    for build, title in MODULE_BUILDS:
        size = int(get("module", f"{build}_bytes"))
        measured = f"{size:,} bytes = {size / 1024:.2f} KiB"
        largest = size
        if build == "i686":
            restripped = int(get("module", "i686_restripped_bytes"))
            measured += f" (restripped {restripped:,})"
            largest = max(size, restripped)
        rows.append((title, "size, as linked", measured,
                     f"<= {MODULE_GOAL_BYTES:,} bytes", verdict(largest <= MODULE_GOAL_BYTES)))
        levels = int(get("module", f"{build}_stack_levels"))
        stack = int(get("module", f"{build}_stack_bytes"))
        rows.append(("", f"stack of a {levels}-level deletion (binary harness)",
                     f"{stack:,} bytes, {stack / levels:.1f} bytes a level", "", ""))
    return rows


def print_table(rows):
    headers = ("Benchmark", "Quantity", "Measured", "Goal", "Verdict")
    widths = [max(len(str(row[i])) for row in rows + [headers]) for i in range(5)]
    line = "-+-".join("-" * w for w in widths)
    print(line)
    print(" | ".join(h.ljust(w) for h, w in zip(headers, widths)).rstrip())
    print(line)
    for row in rows:
        print(" | ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
    print(line)


def main(argv):
    args = argv[1:]
    only_module = args[:1] == ["--module"]
    if only_module:
        args = args[1:]
    if len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 64
    path = args[0]
    r = load(path)
    rows = []  # (benchmark, quantity, measured, goal, verdict)

    def get(bench, name):
        if (bench, name) not in r:
            raise SystemExit(f"report.py: {bench} {name} is missing from {path}")
        return r[(bench, name)]

    if only_module:
        print(f"Machine: {machine()}")
        print_table(module_rows(get))
        return 0

    for shape in SHAPES:
        keys = int(get("tree", f"{shape}.keys"))
        n = int(get("tree", f"{shape}.rounds"))
        ours = get("tree", f"{shape}.ours_ms")
        reg = get("tree", f"{shape}.RegDeleteTreeA_ms")
        sh = get("tree", f"{shape}.SHDeleteKeyA_ms")
        ratio_reg = get("tree", f"{shape}.ratio_RegDeleteTreeA")
        ratio_sh = get("tree", f"{shape}.ratio_SHDeleteKeyA")
        name = f"tree {shape}, {keys:,} keys"
        rows.append((name, f"median of {n}: ours / Reg / SH",
                     f"{ours:.1f} / {reg:.1f} / {sh:.1f} ms", "", ""))
        rows.append(("", "ours / RegDeleteTreeA", f"{ratio_reg:.3f}",
                     f"<= {TREE_GOAL:.2f}", verdict(ratio_reg <= TREE_GOAL)))
        rows.append(("", "ours / SHDeleteKeyA", f"{ratio_sh:.3f}", "", ""))
        calls = int(get("tree", f"{shape}.calls_total"))
        rows.append(("", "registry calls per deleted key (ours)",
                     f"{get('tree', f'{shape}.calls_per_key'):.4f} ({calls:,} calls)", "", ""))

    traced = int(get("requests", "keys"))
    per_key = [get("requests", who) / traced for who in ("ours", "RegDeleteTreeA", "SHDeleteKeyA")]
    rows.append((f"tree of {traced} keys, traced", "wineserver requests per key: ours / Reg / SH",
                 " / ".join(f"{n:.2f}" for n in per_key), "", ""))

    hives = int(get("uninstall", "hives"))
    listed = int(get("uninstall", "hives_listed"))
    n = int(get("uninstall", "rounds"))
    rows.append((f"uninstall, {hives} hives, {int(get('uninstall', 'keys_deleted')):,} keys",
                 f"median of {n}: UninstallTMK / plain peer",
                 f"{get('uninstall', 'ours_ms'):.1f} / {get('uninstall', 'peer_ms'):.1f} ms",
                 "", ""))
    rows.append((f"  ({listed} listed, trees of {int(get('uninstall', 'keys_per_tree'))} keys)",
                 "UninstallTMK / peer", f"{get('uninstall', 'ratio'):.3f}", "", ""))

    close = get("agent", "close_median_ms")
    rows.append(("agent closes at once",
                 f"return of PreUninsTMK, median of {int(get('agent', 'close_runs'))}",
                 f"{close:.1f} ms (max {get('agent', 'close_max_ms'):.1f})",
                 f"<= {CLOSE_GOAL_MS:.0f} ms", verdict(close <= CLOSE_GOAL_MS)))
    over_max = get("agent", "overshoot_max_ms")
    rows.append(("agent never closes",
                 f"beyond 2000 ms, {int(get('agent', 'hung_runs'))} runs: median (min-max)",
                 f"{get('agent', 'overshoot_median_ms'):.1f} ms "
                 f"({get('agent', 'overshoot_min_ms'):.1f}-{over_max:.1f})",
                 f"<= {OVERSHOOT_GOAL_MS:.0f} ms (every run)",
                 verdict(over_max <= OVERSHOOT_GOAL_MS)))
    rows.append(("no agent running",
                 f"return of PreUninsTMK, median of {int(get('agent', 'absent_runs'))}",
                 f"{get('agent', 'absent_median_ms'):.3f} ms", "", ""))

    rows += module_rows(get)

    print("Reg = RegDeleteTreeA, SH = SHDeleteKeyA; all times under wine64.")
    print(f"Machine: {machine()}; load average before the run "
          f"{get('run', 'load_before'):.2f}; benchmarks took {int(get('run', 'seconds'))} s")
    print_table(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
