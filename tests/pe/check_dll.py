#!/usr/bin/python3
"""Checks the shape of a built InstTMMod.dll.

The installer package binds to the module by name and by calling convention,
and the module must load on a bare system. This script reads the built file
and verifies what the package and the loader rely on:

  * the machine type and the DLL flag;
  * the export table: its own name, ordinal base 1, exactly the four decorated
    names at their ordinals, no forwarders, and the entry point at DllMain;
  * the import table: on i686 exactly the set listed in expected_imports.json
    (msi.dll's component query by ordinal, with no name), on x64 only the
    allowed system DLLs; on both, no C or C++ runtime DLL;
  * on i686, that each export returns with the stdcall stack cleanup its
    caller expects (ret 4 for the actions, ret 12 for DllMain);
  * hardening (hardening.py): relocatable, no writable code, a valid
    checksum, time stamps 0, DYNAMIC_BASE, NX_COMPAT and NO_SEH;
  * the version resource (version_info.py): the version of CMakeLists.txt,
    the product's names, a read-only resource section.

Each check prints PASS or FAIL (SKIP where the return check cannot judge an
export, see check_stdcall_returns); the exit status is non-zero if any failed.
Runs with Debian's /usr/bin/python3 and its python3-pefile package.
"""

import argparse
import json
import os
import re
import subprocess
import sys

import pefile

import hardening
import version_info

HERE = os.path.dirname(os.path.abspath(__file__))
# The report shared with the other checks; no bytecode in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "pylib"))

from check_report import Report  # noqa: E402

MODULE_NAME = "InstTMMod.dll"

# Decorated name -> ordinal. The package names the decorated form, so the
# undecorated names must not be exported as well.
EXPORTS = {
    "_CustomInstTMK@4": 1,
    "_DllMain@12": 2,
    "_PreUninsTMK@4": 3,
    "_UninstallTMK@4": 4,
}
ENTRY_EXPORT = "_DllMain@12"

# Bytes of arguments each export pops on return under stdcall on i686:
# the actions take one MSIHANDLE, DllMain takes three arguments.
STDCALL_POP = {
    "_CustomInstTMK@4": 4,
    "_DllMain@12": 12,
    "_PreUninsTMK@4": 4,
    "_UninstallTMK@4": 4,
}

MACHINES = {
    "i686": ("IMAGE_FILE_MACHINE_I386", "i386"),
    "x64": ("IMAGE_FILE_MACHINE_AMD64", "AMD64"),
}

# The only DLLs the module may ever import: all ship with every Windows.
ALLOWED_DLLS = {"advapi32.dll", "kernel32.dll", "user32.dll", "msi.dll"}

# A runtime DLL is not guaranteed to be present when the installer calls the
# module, so none may be imported.
RUNTIME_DLL = re.compile(
    r"^(msvcr.*|msvcp.*|ucrt.*|api-ms-win-crt-.*|libgcc.*|libstdc\+\+.*"
    r"|libwinpthread.*|vcruntime.*)$",
    re.IGNORECASE,
)


def _name(raw):
    return raw.decode("ascii", "replace") if raw is not None else None


def check_header(pe, arch, rep):
    const, label = MACHINES[arch]
    machine = pe.FILE_HEADER.Machine
    rep.check(
        "machine",
        machine == pefile.MACHINE_TYPE[const],
        f"expected {label} (0x{pefile.MACHINE_TYPE[const]:04x}), "
        f"found 0x{machine:04x}",
    )
    rep.check("image is a DLL", pe.is_dll())


def check_exports(pe, rep):
    """Returns {export name: RVA} for the later checks (may be partial)."""
    exp = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if not rep.check("export directory present", exp is not None):
        return {}

    rep.check(
        "export directory name",
        _name(exp.name) == MODULE_NAME,
        f"expected {MODULE_NAME}, found {_name(exp.name)}",
    )
    rep.check("ordinal base", exp.struct.Base == 1, f"expected 1, found {exp.struct.Base}")

    # Every export by name: as many names as functions, none without a name.
    found = {}
    nameless = []
    forwarders = []
    for sym in exp.symbols:
        if sym.name is None:
            nameless.append(sym.ordinal)
        else:
            found[_name(sym.name)] = sym
        if sym.forwarder is not None:
            forwarders.append(f"{_name(sym.name) or sym.ordinal} -> {_name(sym.forwarder)}")

    rep.check(
        "four exports, all by name",
        exp.struct.NumberOfFunctions == len(EXPORTS)
        and exp.struct.NumberOfNames == len(EXPORTS)
        and not nameless,
        f"{exp.struct.NumberOfFunctions} functions, {exp.struct.NumberOfNames} names, "
        f"ordinals without a name: {nameless or 'none'}",
    )
    rep.check("no forwarders", not forwarders, ", ".join(forwarders))

    expected_names = set(EXPORTS)
    extra = sorted(set(found) - expected_names)
    missing = sorted(expected_names - set(found))
    rep.check(
        "export names",
        not extra and not missing,
        f"missing {missing or 'none'}, unexpected {extra or 'none'}",
    )
    wrong_ordinals = [
        f"{name} @{found[name].ordinal} (expected @{ordinal})"
        for name, ordinal in EXPORTS.items()
        if name in found and found[name].ordinal != ordinal
    ]
    rep.check("export ordinals", not wrong_ordinals, "; ".join(wrong_ordinals))

    # Each export must land in code, not in data or outside the image.
    not_code = []
    for name, sym in sorted(found.items()):
        section = pe.get_section_by_rva(sym.address)
        executable = section is not None and (
            section.Characteristics
            & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
        )
        if not executable:
            not_code.append(f"{name} at RVA 0x{sym.address:x}")
    rep.check("exports point into code", not not_code, "; ".join(not_code))

    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    main = found.get(ENTRY_EXPORT)
    rep.check(
        "entry point is DllMain",
        main is not None and main.address == entry,
        f"entry RVA 0x{entry:x}, {ENTRY_EXPORT} RVA "
        + (f"0x{main.address:x}" if main is not None else "missing"),
    )
    return {name: sym.address for name, sym in found.items() if sym.forwarder is None}


def read_imports(pe):
    """Returns ({lowercase dll: (dll as written, [entries])}, [duplicate dlls]).

    An entry is the function name, or the ordinal (int) for an import by
    ordinal. An ordinal import that still carries a name is kept as the name,
    so it can never pass for a nameless ordinal import.
    """
    table = {}
    duplicates = []
    for desc in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = _name(desc.dll)
        entries = []
        for imp in desc.imports:
            if imp.import_by_ordinal and imp.name is None:
                entries.append(imp.ordinal)
            else:
                entries.append(_name(imp.name))
        key = dll.lower()
        if key in table:
            duplicates.append(dll)
            table[key][1].extend(entries)
        else:
            table[key] = (dll, entries)
    return table, duplicates


def describe(entries):
    return ", ".join(f"#{e}" if isinstance(e, int) else e for e in _sorted(entries))


def _sorted(entries):
    # Ordinals first, then names; keeps the printout stable.
    return sorted(entries, key=lambda e: (isinstance(e, str), str(e)))


def load_expected(path, arch):
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    table = data[arch]
    expected = {}
    for dll, entries in table.items():
        for e in entries:
            if not isinstance(e, (int, str)) or isinstance(e, bool):
                raise ValueError(f"{path}: {dll}: entry {e!r} is neither a name nor an ordinal")
        expected[dll.lower()] = (dll, list(entries))
    return expected


def check_runtime(pe, table, rep):
    delay = [_name(d.dll) for d in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
    rep.check("no delay-load imports", not delay, ", ".join(delay))
    runtime = sorted(dll for dll, _ in table.values() if RUNTIME_DLL.match(dll))
    runtime += [d for d in delay if RUNTIME_DLL.match(d)]
    rep.check("no runtime DLL imported", not runtime, ", ".join(runtime))


def check_imports_exact(pe, expected, rep):
    table, duplicates = read_imports(pe)
    check_runtime(pe, table, rep)
    rep.check("each DLL imported once", not duplicates, ", ".join(duplicates))

    extra = sorted(table[k][0] for k in set(table) - set(expected))
    missing = sorted(expected[k][0] for k in set(expected) - set(table))
    rep.check(
        "imported DLLs",
        not extra and not missing,
        f"missing {missing or 'none'}, unexpected {extra or 'none'}",
    )

    for key in sorted(set(table) & set(expected)):
        dll, want = expected[key]
        _, have = table[key]
        # Compared as sorted lists, so a function imported twice also shows.
        ok = _sorted(have) == _sorted(want)
        rep.check(
            f"imports from {dll}",
            ok,
            "" if ok else f"expected [{describe(want)}], found [{describe(have)}]",
        )


def check_imports_allowed(pe, rep):
    table, duplicates = read_imports(pe)
    check_runtime(pe, table, rep)
    rep.check("each DLL imported once", not duplicates, ", ".join(duplicates))
    extra = sorted(dll for key, (dll, _) in table.items() if key not in ALLOWED_DLLS)
    rep.check(
        "imported DLLs are among ADVAPI32, KERNEL32, USER32, msi",
        not extra,
        f"unexpected {extra}",
    )
    for key in sorted(table):
        dll, entries = table[key]
        rep.info(f"{dll}: {describe(entries)}")


# One instruction line of `objdump -d`:
#   "68281050:\tc2 04 00             \tret    $0x4"
# Lines that only continue the bytes of a long instruction have no third field.
INSN = re.compile(r"^\s*([0-9a-f]+):\t([0-9a-f ]+)\t(.*)$")
RET_MNEMONICS = {"ret", "retl", "retw", "lret", "lretl", "lretw"}


def disassemble(objdump, path):
    out = subprocess.run(
        [objdump, "-d", "-j", ".text", path],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    insns = []
    for line in out.splitlines():
        m = INSN.match(line)
        if m:
            insns.append((int(m.group(1), 16), m.group(3).strip()))
    return insns


def ret_operand(text):
    """For a return instruction returns its pop count (0 for a plain ret),
    otherwise None. Prefixes such as `repz ret` are skipped."""
    words = text.split()
    while words and words[0] in {"rep", "repz", "repe", "repnz", "repne", "bnd", "notrack"}:
        words = words[1:]
    if not words or words[0] not in RET_MNEMONICS:
        return None
    if len(words) == 1:
        return 0
    m = re.fullmatch(r"\$(0x[0-9a-f]+|\d+)", words[1])
    return int(m.group(1), 0) if m else -1


def jump_target(text):
    """For an unconditional jmp returns its target address, or "indirect"
    for a jump through memory or a register; otherwise None."""
    words = text.split()
    if not words or words[0] not in {"jmp", "jmpl", "jmpw"}:
        return None
    if len(words) < 2 or words[1].startswith("*"):
        return "indirect"
    m = re.match(r"(?:0x)?([0-9a-f]+)", words[1])
    return int(m.group(1), 16) if m else "indirect"


def check_stdcall_returns(pe, exports, objdump, path, rep):
    """The DLL is stripped, so where a function ends is not recorded. The
    rule used: from an export's address, scan forward to the first return
    instruction, which must pop the stdcall argument bytes (C2 04 00 for the
    actions, C2 0C 00 for DllMain). A plain `ret` (C3) there means the
    function was built with the caller-cleans convention and would unbalance
    the installer's stack. Internal helpers may end in a plain `ret`; only
    the code that starts at an export is judged.

    The scan stops at the next export (or the end of .text for the last
    one). Jumps to addresses inside that stretch are branches within the
    function and are passed over. A jump out of it, or through memory, is a
    tail call: GCC emits one only when the callee pops the same argument
    bytes, and the return then belongs to the callee, so that export is
    reported as SKIP (not judged) instead of borrowing a neighbour's return.
    Reaching the next export with neither is a failure."""
    try:
        insns = disassemble(objdump, path)
    except (OSError, subprocess.CalledProcessError) as e:
        rep.check("disassembly", False, f"{objdump}: {e}")
        return
    if not rep.check("disassembly", bool(insns), f"no instructions from {objdump}"):
        return

    base = pe.OPTIONAL_HEADER.ImageBase
    starts = sorted(base + rva for rva in exports.values())
    text_end = max(addr for addr, _ in insns) + 1
    for name in sorted(STDCALL_POP):
        want = STDCALL_POP[name]
        label = f"{name} returns with ret 0x{want:x}"
        if name not in exports:
            rep.check(label, False, "export missing")
            continue
        va = base + exports[name]
        limit = next((s for s in starts if s > va), text_end)
        verdict = None
        for addr, text in insns:
            if addr < va:
                continue
            if addr >= limit:
                break
            pop = ret_operand(text)
            if pop is not None:
                verdict = ("ret", addr, text, pop)
                break
            target = jump_target(text)
            if target is not None and (target == "indirect" or not va <= target < limit):
                verdict = ("tail", addr, text, None)
                break
        if verdict is None:
            rep.check(label, False, f"no return or tail jump between 0x{va:x} and 0x{limit:x}")
        elif verdict[0] == "tail":
            rep.skip(label, f"ends in a tail call at 0x{verdict[1]:x} (`{verdict[2]}`)")
        else:
            _, addr, text, pop = verdict
            rep.check(label, pop == want, f"first return at 0x{addr:x} is `{text}`")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dll")
    parser.add_argument("--arch", choices=sorted(MACHINES), required=True)
    parser.add_argument(
        "--expected-imports",
        default=os.path.join(HERE, "expected_imports.json"),
        help="table of the imports the i686 module must have (default: %(default)s)",
    )
    parser.add_argument(
        "--objdump",
        default="i686-w64-mingw32-objdump",
        help="objdump that reads pei-i386 (default: %(default)s)",
    )
    parser.add_argument(
        "--rebased",
        help="the same objects linked at another base, for the relocation check")
    parser.add_argument(
        "--cmake-lists",
        default=os.path.join(HERE, "..", "..", "CMakeLists.txt"),
        help="where the module's version is declared (default: the project's)")
    args = parser.parse_args(argv)

    print(f"check_dll: {args.dll} ({args.arch})")
    try:
        pe = pefile.PE(args.dll)
    except (OSError, pefile.PEFormatError) as e:
        print(f"FAIL load: {e}")
        print("check_dll: 0 passed, 1 failed")
        return 1

    rep = Report()
    check_header(pe, args.arch, rep)
    exports = check_exports(pe, rep)
    if args.arch == "i686":
        check_imports_exact(pe, load_expected(args.expected_imports, "i686"), rep)
        check_stdcall_returns(pe, exports, args.objdump, args.dll, rep)
    else:
        check_imports_allowed(pe, rep)
    hardening.check_hardening(pe, args.rebased, rep)
    try:
        version = version_info.project_version(args.cmake_lists)
    except (OSError, ValueError) as e:
        rep.check("project version", False, str(e))
    else:
        version_info.check_version_info(pe, version, rep)

    return rep.summary("check_dll")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
