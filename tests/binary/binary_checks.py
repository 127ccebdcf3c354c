#!/usr/bin/python3
"""Runs the shipped 32-bit module's own machine code against the host stand-in.

The module given with --dll (build/i686/InstTMMod.dll from MinGW-w64, or
build/i686-msvc/InstTMMod.dll from the MSVC toolchain family) is executed
under Unicorn with every import bound to the same stand-in of Windows that
the host unit tests use. One check per invocation:

  contract      every export removes exactly its argument bytes (4 for the
                actions, 12 for DllMain), keeps the registers a Win32 callee
                must keep and returns its fixed result (0, TRUE); DllMain makes no
                platform call; an action does the same whatever handle it gets
  differential  every scenario of the scenario table runs once with the
                product compiled for the host and once with the module under
                emulation; the journals of platform calls (with arguments and
                results) and the end states must be identical. Scenarios with
                a sweep code are replayed once per platform call, with that
                call failing
  stack         the stack the module uses to delete a key with a chain of 512
                keys below it, and at the depth bound, where a registry link
                back to the product's machine key makes the deletion recurse
                until it stops; both measured and required to stay below
                256 KiB
  guards        the harness itself: an access outside the module's memory, a
                write into its code, data run as code, a wrong stack cleanup,
                a clobbered register and a bad pointer handed to an import are
                each caught, and two runs that differ are told apart

In every run the module may touch only its image, its stack and the buffers
it passes to the platform; anything else fails the run with the address.

Exit status 0 when every check passed, 1 when one failed, 77 (skip) when the
module has not been built, unless INSTTMMOD_REQUIRE_BINARY is set, which
turns a missing module into a failure. Runs with Debian's /usr/bin/python3
(python3-unicorn, python3-pefile).
"""

import argparse
import difflib
import os
import struct
import sys
import time

# The harness's own modules sit beside it, the report shared with the other
# checks in tests/pylib; no bytecode in the source tree.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "pylib"))

from check_report import Report  # noqa: E402
from module_emulator import PAGE, EmulationFault, ModuleEmulator  # noqa: E402
from stand_in import StandIn  # noqa: E402

SKIP = 77

ACTIONS = ["_CustomInstTMK@4", "_PreUninsTMK@4", "_UninstallTMK@4"]
DLLMAIN = "_DllMain@12"
STACK_LIMIT = 256 * 1024
DEEP_TREE_SCENARIO = "uninstall/tree 512 levels deep"
DEEP_TREE_KEYS = 513  # the named key and 512 levels below it
# What scenario_run_native returns when the host build ran past the stand-in's
# call budget (tests/scenarios/scenarios.h).
SCENARIO_ENDLESS = 0xE0D1E55
DEPTH_BOUND = 512
PRODUCT_KEY = r"Software\Helvarin\TideMark"


# ---- one run, either way ------------------------------------------------------------


class Outcome:
    def __init__(self, result, journal, state, call=None, fault=None):
        self.result = result
        self.journal = journal
        self.state = state
        self.call = call  # the emulator's CallResult, for binary runs
        self.fault = fault  # why a binary run stopped, if it did


def run_native(stand_in, index, fail_at=None, code=0):
    lib = stand_in.lib
    lib.scenario_setup(index)
    if fail_at:
        lib.sim_fail_call(fail_at, code)
    result = lib.scenario_run_native(index)
    return Outcome(result, stand_in.journal(), stand_in.end_state())


def run_binary(emulator, stand_in, scenario, fail_at=None, code=0, measure_stack=False):
    lib = stand_in.lib
    lib.scenario_setup(scenario["index"])
    if fail_at:
        lib.sim_fail_call(fail_at, code)
    try:
        call = emulator.call_export(scenario["export"], [scenario["install"]], measure_stack)
    except EmulationFault as e:
        return Outcome(None, stand_in.journal(), stand_in.end_state(), fault=str(e))
    return Outcome(call.eax, stand_in.journal(), stand_in.end_state(), call=call)


def contract_faults(call, pop):
    """What is wrong with how a call returned, as a list of texts."""
    faults = []
    if call.popped != pop:
        faults.append(f"removed {call.popped} argument bytes, not {pop}")
    if call.clobbered_regs:
        faults.append(f"did not restore {', '.join(call.clobbered_regs)}")
    if call.image_writes:
        faults.append(
            "wrote into its own image at " + ", ".join(f"0x{a:08x}" for a in call.image_writes[:4])
        )
    return faults


def replay_problems(native, binary, expect_all_closed):
    """Everything wrong with one scenario replayed both ways, as text."""
    problems = differences(native, binary)
    if binary.call:
        problems += contract_faults(binary.call, 4)
    for side, outcome in (("host", native), ("module", binary)):
        if outcome.result == SCENARIO_ENDLESS:
            problems.append(f"{side} made more platform calls than the stand-in allows: "
                            "an endless loop?")
        elif outcome.result not in (0, None):
            problems.append(f"{side} returned {outcome.result}")
        if expect_all_closed and outcome.state["open handles"]:
            problems.append(f"{side} left keys open: {outcome.state['open handles']}")
        if outcome.state["bad closes"] != ["0"]:
            problems.append(f"{side} closed a key it did not hold")
    return problems


def differences(native, binary):
    """Where the two runs part, as text; empty when they agree."""
    out = []
    if binary.fault:
        out.append(f"the module's run stopped: {binary.fault}")
    if native.result != binary.result:
        out.append(f"result: host {native.result}, module {binary.result}")
    if native.journal != binary.journal:
        diff = difflib.unified_diff(native.journal, binary.journal, "host", "module", lineterm="", n=2)
        out.append("journal differs:\n      " + "\n      ".join(list(diff)[:40]))
    for part in sorted(set(native.state) | set(binary.state)):
        a, b = native.state.get(part), binary.state.get(part)
        if a != b:
            diff = difflib.unified_diff(a or [], b or [], "host", "module", lineterm="", n=1)
            out.append(f"end state {part} differs:\n      " + "\n      ".join(list(diff)[:30]))
    return out


# ---- the checks -----------------------------------------------------------------------


def check_contract(emulator, stand_in, rep):
    missing = [n for n in ACTIONS + [DLLMAIN] if n not in emulator.exports]
    if not rep.check("the four decorated exports are there", not missing, f"missing {missing}"):
        return

    faults = []
    for reason in (0, 1, 2, 3, 4, 0x7FFFFFFF, 0xFFFFFFFF):
        for instance, reserved in ((emulator.base, 0), (0, 1)):
            stand_in.lib.sim_reset()
            what = f"reason {reason:#x}, instance {instance:#x}, reserved {reserved}"
            try:
                call = emulator.call_export(DLLMAIN, [instance, reason, reserved])
            except EmulationFault as e:
                faults.append(f"{what}: {e}")
                continue
            faults += [f"{what}: {f}" for f in contract_faults(call, 12)]
            if call.eax != 1:
                faults.append(f"{what}: returned {call.eax:#x}, not TRUE")
            if call.imports_called or stand_in.call_count():
                faults.append(f"{what}: made {call.imports_called} platform calls")
    rep.check(f"{DLLMAIN}: TRUE for every reason, 12 bytes removed, no platform call",
              not faults, "; ".join(faults[:5]))

    for name in ACTIONS:
        faults = []
        first = None
        for install in (0, 1, 0x1234, 0xFFFFFFFF):
            stand_in.lib.sim_reset()
            try:
                call = emulator.call_export(name, [install])
            except EmulationFault as e:
                faults.append(f"handle {install:#x}: {e}")
                continue
            faults += [f"handle {install:#x}: {f}" for f in contract_faults(call, 4)]
            if call.eax != 0:
                faults.append(f"handle {install:#x}: returned {call.eax:#x}, not 0")
            seen = (stand_in.journal(), stand_in.end_state())
            if first is None:
                first = seen
            elif seen != first:
                faults.append(f"handle {install:#x}: did other work than with handle 0")
        rep.check(f"{name}: returns 0, 4 bytes removed, same work whatever the handle",
                  not faults, "; ".join(faults[:5]))


def check_differential(emulator, stand_in, rep):
    scenarios = stand_in.scenarios()
    rep.check("the scenario table is not empty", bool(scenarios))
    by_action = {}
    runs = calls = 0
    for scenario in scenarios:
        index = scenario["index"]
        by_action[scenario["export"]] = by_action.get(scenario["export"], 0) + 1
        native = run_native(stand_in, index)
        binary = run_binary(emulator, stand_in, scenario)
        runs += 1
        calls += len(native.journal)
        problems = replay_problems(native, binary, expect_all_closed=True)
        name = scenario["name"]
        rep.check(f"{name}: same calls and end state ({len(native.journal)} calls)",
                  not problems, "\n    ".join(problems))

        code = scenario["sweep_code"]
        # A plain run that never ended is reported above; replaying it once
        # per call, each a million calls long, would only run out the clock.
        if not code or native.result == SCENARIO_ENDLESS:
            continue
        failing = []
        for k in range(1, len(native.journal) + 1):
            n = run_native(stand_in, index, k, code)
            b = run_binary(emulator, stand_in, scenario, k, code)
            runs += 1
            calls += len(n.journal)
            # A close made to fail leaves its key open in the stand-in, so
            # open keys are compared between the two runs, not required gone.
            problems = replay_problems(n, b, expect_all_closed=False)
            if problems:
                failing.append(f"call {k} failing: " + "\n    ".join(problems))
        rep.check(f"{name}: same with each of its {len(native.journal)} calls failing "
                  f"with {code}", not failing, "\n    ".join(failing[:3]))

    rep.info(f"{len(scenarios)} scenarios ("
             + ", ".join(f"{n} of {e}" for e, n in sorted(by_action.items()))
             + f"), {runs} runs each way, {calls} platform calls compared")
    for export in ACTIONS:
        rep.check(f"scenarios cover {export}", export in by_action)


def check_stack(emulator, stand_in, rep):
    scenario = next((s for s in stand_in.scenarios() if s["name"] == DEEP_TREE_SCENARIO), None)
    if not rep.check(f"scenario '{DEEP_TREE_SCENARIO}' exists", scenario is not None):
        return
    binary = run_binary(emulator, stand_in, scenario, measure_stack=True)
    if not rep.check("the deep tree deletion runs to its end", binary.call is not None,
                     binary.fault or ""):
        return
    deleted = [line for line in binary.journal
               if line.startswith("RegDeleteKeyA(") and line.endswith(") = 0")]
    rep.check(f"all {DEEP_TREE_KEYS} keys of the tree were deleted",
              len(deleted) >= DEEP_TREE_KEYS, f"{len(deleted)} deletions succeeded")
    used = binary.call.stack_used
    rep.info(f"stack used for a tree of {DEEP_TREE_KEYS} levels: {used} bytes "
             f"({used / 1024:.1f} KiB, about {used // DEEP_TREE_KEYS} bytes a level)")
    rep.check(f"stack stays below {STACK_LIMIT // 1024} KiB", used < STACK_LIMIT,
              f"{used} bytes")

    # At the bound: a link below the product's machine key back to that key
    # is opened once per level, down to 512 levels below it, and no further.
    stand_in.lib.sim_reset()
    stand_in.create_link("HKLM", PRODUCT_KEY + r"\loop", "HKLM", PRODUCT_KEY)
    try:
        call = emulator.call_export("_UninstallTMK@4", [0], measure_stack=True)
    except EmulationFault as e:
        rep.check("the uninstall with a self-loop runs to its end", False, str(e))
        return
    journal = stand_in.journal()
    loop_opens = [line for line in journal
                  if line.startswith("RegOpenKeyExA(h") and '"loop"' in line and " = 0 " in line]
    rep.check(f"the self-loop is followed exactly {DEPTH_BOUND} levels deep",
              len(loop_opens) == DEPTH_BOUND, f"{len(loop_opens)} opens of the link")
    rep.check("the uninstall with a self-loop returns 0 and leaves no key open",
              call.eax == 0 and not stand_in.end_state()["open handles"],
              f"returned {call.eax}, open: {stand_in.end_state()['open handles'][:5]}")
    at_bound = call.stack_used
    rep.info(f"stack used at the depth bound: {at_bound} bytes ({at_bound / 1024:.1f} KiB)")
    rep.check(f"stack at the bound stays below {STACK_LIMIT // 1024} KiB",
              at_bound < STACK_LIMIT, f"{at_bound} bytes")


SCRATCH = 0x7E000000


def check_guards(emulator, stand_in, rep):
    """Each fault planted in a scrap of code must be caught, or the checks
    above could pass on a module that does the same."""
    emulator.uc.mem_map(SCRATCH, PAGE, 5)  # read and execute
    text = next(s for s in emulator.pe.sections if s.Name.rstrip(b"\0") == b".text")
    text_va = emulator.base + text.VirtualAddress
    iat = {imp.name.decode(): imp.address
           for d in emulator.pe.DIRECTORY_ENTRY_IMPORT for imp in d.imports if imp.name}

    # Each scrap gets fresh addresses: the emulator keeps code it has
    # translated, so rewriting one place would run the old scrap again.
    slots = iter(range(SCRATCH, SCRATCH + PAGE, 0x80))

    def run(code):
        address = next(slots)
        emulator.uc.mem_write(address, bytes(code))
        stand_in.lib.sim_reset()
        try:
            return emulator.call_address(address, [0], measure_stack=True), None
        except EmulationFault as e:
            return None, str(e)

    ret4 = b"\xC2\x04\x00"
    _, fault = run(b"\xA1" + struct.pack("<I", 0x12345678) + ret4)
    rep.check("a read outside the module's memory fails with its address",
              fault is not None and "0x12345678" in fault, fault or "not caught")
    _, fault = run(b"\xC7\x05" + struct.pack("<II", text_va, 1) + ret4)
    rep.check("a write into the module's code fails with its address",
              fault is not None and f"0x{text_va:08x}" in fault, fault or "not caught")
    call, fault = run(b"\x31\xC0\xC3")  # xor eax, eax; ret
    rep.check("a return that leaves its argument on the stack is caught",
              call is not None and contract_faults(call, 4), fault or "not caught")
    call, fault = run(b"\xBB\x01\x00\x00\x00" + ret4)  # mov ebx, 1
    rep.check("a callee-saved register left changed is caught",
              call is not None and call.clobbered_regs == ["ebx"], fault or "not caught")
    if "lstrlenA" in iat:
        # push 0x1000; call [lstrlenA]: a string pointer into unmapped memory.
        _, fault = run(b"\x68\x00\x10\x00\x00\xFF\x15" + struct.pack("<I", iat["lstrlenA"]) + ret4)
        rep.check("a platform call given a pointer outside the module's memory fails",
                  fault is not None and "0x00001000" in fault, fault or "not caught")
    # mov eax, .rdata; jmp eax: running data as code.
    rdata_va = emulator.base + next(
        s.VirtualAddress for s in emulator.pe.sections if s.Name.rstrip(b"\0") == b".rdata")
    _, fault = run(b"\xB8" + struct.pack("<I", rdata_va) + b"\xFF\xE0")
    rep.check("running data as code fails with its address",
              fault is not None and f"0x{rdata_va:08x}" in fault, fault or "not caught")
    # sub esp, 0x10000; mov [esp], eax; add esp, 0x10000
    call, fault = run(b"\x81\xEC\x00\x00\x01\x00\x89\x04\x24\x81\xC4\x00\x00\x01\x00" + ret4)
    rep.check("stack use is measured", call is not None and call.stack_used >= 0x10000,
              fault or f"measured {call.stack_used if call else None}")
    emulator.uc.mem_unmap(SCRATCH, PAGE)

    # The comparison of two runs: real runs of two different scenarios, one
    # pair whose calls differ, one whose calls agree and whose registries do not.
    by_name = {s["name"]: s for s in stand_in.scenarios()}
    for host_side, module_side, part in [
        ("pre-uninstall/closes during the first sleep",
         "pre-uninstall/window gone at the first check", "journal"),
        ("install/fresh machine", "install/old entry and neighbours", "end state HKLM"),
    ]:
        if host_side not in by_name or module_side not in by_name:
            rep.check(f"scenarios '{host_side}' and '{module_side}' exist", False)
            continue
        native = run_native(stand_in, by_name[host_side]["index"])
        binary = run_binary(emulator, stand_in, by_name[module_side])
        found = differences(native, binary)
        rep.check(f"runs whose {part} differs are told apart",
                  any(f.startswith(part) for f in found), "; ".join(found) or "no difference")


CHECKS = {
    "contract": check_contract,
    "differential": check_differential,
    "stack": check_stack,
    "guards": check_guards,
}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("check", choices=sorted(CHECKS))
    parser.add_argument("--dll", required=True, help="the 32-bit module")
    parser.add_argument("--stand-in", required=True,
                        help="the stand-in library with the scenario table (libscenarios.so)")
    args = parser.parse_args(argv)

    if not os.path.isfile(args.dll):
        if os.environ.get("INSTTMMOD_REQUIRE_BINARY"):
            print(f"FAIL {args.dll} is missing; build its preset first")
            return 1
        print(f"SKIP {args.check}: {args.dll} is not built (cmake --build --preset i686 "
              "or i686-msvc)")
        return SKIP

    started = time.monotonic()
    stand_in = StandIn(args.stand_in)
    try:
        emulator = ModuleEmulator(args.dll, stand_in.bind)
    except EmulationFault as e:
        print(f"FAIL loading {args.dll}: {e}")
        return 1
    print(f"module {args.dll}, image at 0x{emulator.base:08x}, "
          f"{len(emulator.stubs)} imports bound")
    if stand_in.unbound:
        # Calling one fails the run; the PE layout check lists what is allowed.
        print(f"  info: imports without a model: {', '.join(stand_in.unbound)}")
    rep = Report()
    CHECKS[args.check](emulator, stand_in, rep)
    return rep.summary(args.check, f"{time.monotonic() - started:.2f} s")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
