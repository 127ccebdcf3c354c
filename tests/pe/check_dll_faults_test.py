#!/usr/bin/python3
"""The hardening and version checks of check_dll.py must catch what they are
there for. Each case copies the built module (and its link at another base),
plants one fault, and requires check_dll.py to fail exactly the checks named
for that fault and pass all the others.

    check_dll_faults_test.py DLL --arch ARCH --objdump OBJDUMP --rebased DLL
"""

import argparse
import contextlib
import io
import os
import shutil
import struct
import sys
import tempfile
import unittest

import pefile

import check_dll
import hardening
import version_info

FLAGS = pefile.DLL_CHARACTERISTICS
SCN = pefile.SECTION_CHARACTERISTICS
CHECKSUM_OFFSET = hardening.CHECKSUM_OFFSET

DLL_FLAGS = "DllCharacteristics hold DYNAMIC_BASE, NX_COMPAT and NO_SEH"
WRITABLE_CODE = "no section both writable and executable"
CHECKSUM = "header checksum valid"
TIME_STAMPS = "time stamps are 0 (reproducible builds)"
RELOCATIONS_PRESENT = "relocatable (base relocations present)"
RELOCATED_MATCHES = "relocatable (moved to another base, matches the link made there)"
RSRC_READONLY = "resource section is read-only"
FIXED_VERSION = "fixed FileVersion and ProductVersion are the CMake version"
STRINGS = "VERSIONINFO strings"

ARGS = None  # the command line, set in main()


def with_checksum(data):
    """data with a correct header checksum, so that a planted fault is the
    only thing wrong with the image."""
    pe = pefile.PE(data=data, fast_load=True)
    out = bytearray(data)
    struct.pack_into("<I", out, pe.OPTIONAL_HEADER.get_file_offset() + CHECKSUM_OFFSET,
                     pe.generate_checksum())
    return bytes(out)


def edited(data, edit):
    """Parses data, lets edit change pefile structures, writes them back."""
    pe = pefile.PE(data=data)
    edit(pe)
    return with_checksum(pe.write())


def section(pe, name):
    return next(s for s in pe.sections if s.Name.rstrip(b"\0") == name)


def set_flags(name, bits):
    def edit(pe):
        section(pe, name).Characteristics |= bits
    return lambda data: edited(data, edit)


def clear_dll_flag(flag):
    def edit(pe):
        pe.OPTIONAL_HEADER.DllCharacteristics &= ~FLAGS[flag]
    return lambda data: edited(data, edit)


def stamp(where):
    def edit(pe):
        where(pe).TimeDateStamp = 0x5F5E1000
    return lambda data: edited(data, edit)


def stored_checksum(change):
    """Writes change(correct checksum) into the header, and nothing else."""
    def mutate(data):
        pe = pefile.PE(data=data, fast_load=True)
        out = bytearray(data)
        struct.pack_into("<I", out, pe.OPTIONAL_HEADER.get_file_offset() + CHECKSUM_OFFSET,
                         change(pe.OPTIONAL_HEADER.CheckSum))
        return bytes(out)
    return mutate


def drop_one_relocation(data):
    """Turns the first real relocation into padding: the loader would then
    leave that address pointing at the old base."""
    pe = pefile.PE(data=data)
    out = bytearray(data)
    for block in pe.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            if entry.type != 0:
                at = entry.struct.get_file_offset()
                word = struct.unpack_from("<H", out, at)[0]
                struct.pack_into("<H", out, at, word & 0x0FFF)
                return with_checksum(bytes(out))
    raise AssertionError("the module has no relocations to drop")


def no_relocation_directory(data):
    def edit(pe):
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        entry.VirtualAddress = 0
        entry.Size = 0
    return edited(data, edit)


def utf16_replace(old, new):
    def mutate(data):
        old16, new16 = old.encode("utf-16-le"), new.encode("utf-16-le")
        assert len(old16) == len(new16) and data.count(old16) == 1, old
        return with_checksum(data.replace(old16, new16))
    return mutate


def bump_fixed_version(data):
    def edit(pe):
        pe.VS_FIXEDFILEINFO[0].FileVersionLS += 1
    return edited(data, edit)


# (what is planted, mutation, applied to the other-base link too, checks that must fail)
CASES = [
    ("NO_SEH missing", clear_dll_flag("IMAGE_DLLCHARACTERISTICS_NO_SEH"), True, {DLL_FLAGS}),
    ("NX_COMPAT missing", clear_dll_flag("IMAGE_DLLCHARACTERISTICS_NX_COMPAT"), True,
     {DLL_FLAGS}),
    ("DYNAMIC_BASE missing", clear_dll_flag("IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"), True,
     {DLL_FLAGS}),
    ("writable code", set_flags(b".text", SCN["IMAGE_SCN_MEM_WRITE"]), True, {WRITABLE_CODE}),
    # The relocated copy gets a checksum of its own: the link at the other
    # base keeps its correct one.
    ("wrong checksum", stored_checksum(lambda c: c ^ 0x10), False, {CHECKSUM}),
    ("no checksum", stored_checksum(lambda c: 0), False, {CHECKSUM}),
    ("file header time stamp", stamp(lambda pe: pe.FILE_HEADER), True, {TIME_STAMPS}),
    ("export directory time stamp", stamp(lambda pe: pe.DIRECTORY_ENTRY_EXPORT.struct), True,
     {TIME_STAMPS}),
    ("resource directory time stamp",
     stamp(lambda pe: pe.DIRECTORY_ENTRY_RESOURCE.entries[0].directory.struct), True,
     {TIME_STAMPS}),
    ("one relocation missing", drop_one_relocation, False, {RELOCATED_MATCHES}),
    ("no relocation directory", no_relocation_directory, True,
     {RELOCATIONS_PRESENT, RELOCATED_MATCHES}),
    ("writable resources", set_flags(b".rsrc", SCN["IMAGE_SCN_MEM_WRITE"]), True,
     {RSRC_READONLY}),
    ("another company name", utf16_replace("Helvarin\0", "Helvarim\0"), True, {STRINGS}),
    ("another product name", utf16_replace("TideMark\0", "TideMarc\0"), True, {STRINGS}),
    ("fixed version off by one", bump_fixed_version, True, {FIXED_VERSION}),
]


class CheckDllCatchesFaults(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="check_dll_faults.")
        self.addCleanup(shutil.rmtree, self.tmp)
        with open(ARGS.dll, "rb") as f:
            self.dll = f.read()
        with open(ARGS.rebased, "rb") as f:
            self.rebased = f.read()

    def run_check(self, dll, rebased, cmake_lists=None):
        """Runs check_dll.py on the two images; returns (exit status, names
        of the failed checks, output)."""
        paths = []
        for name, data in (("module", dll), ("rebased", rebased)):
            os.makedirs(os.path.join(self.tmp, name), exist_ok=True)
            path = os.path.join(self.tmp, name, "InstTMMod.dll")
            with open(path, "wb") as f:
                f.write(data)
            paths.append(path)
        argv = [paths[0], "--arch", ARGS.arch, "--objdump", ARGS.objdump,
                "--rebased", paths[1]]
        if cmake_lists:
            argv += ["--cmake-lists", cmake_lists]
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = check_dll.main(argv)
        failed = {line[len("FAIL "):].split(": ", 1)[0]
                  for line in out.getvalue().splitlines() if line.startswith("FAIL ")}
        return status, failed, out.getvalue()

    def test_the_built_module_passes(self):
        status, failed, out = self.run_check(self.dll, self.rebased)
        self.assertEqual((status, failed), (0, set()), out)

    def test_each_fault_fails_its_own_checks_only(self):
        for what, mutate, both, expected in CASES:
            with self.subTest(what):
                dll = mutate(self.dll)
                self.assertNotEqual(dll, self.dll, "the mutation changed nothing")
                rebased = mutate(self.rebased) if both else self.rebased
                status, failed, out = self.run_check(dll, rebased)
                self.assertEqual(status, 1, out)
                self.assertEqual(failed, expected, out)

    def test_cmake_lists_decides_the_version(self):
        current = version_info.project_version(
            os.path.join(check_dll.HERE, "..", "..", "CMakeLists.txt"))
        major, _, rest = current.partition(".")
        other = f"{int(major) + 1}.{rest}" if rest else str(int(major) + 1)
        cases = [
            (f"project(InstTMMod VERSION {other} LANGUAGES CXX)", {FIXED_VERSION, STRINGS}),
            ("project(InstTMMod LANGUAGES CXX)", {"project version"}),
        ]
        for text, expected in cases:
            with self.subTest(text):
                lists = os.path.join(self.tmp, "CMakeLists.txt")
                with open(lists, "w", encoding="utf-8") as f:
                    f.write(f"cmake_minimum_required(VERSION 3.25)\n{text}\n")
                status, failed, out = self.run_check(self.dll, self.rebased, lists)
                self.assertEqual(status, 1, out)
                self.assertEqual(failed, expected, out)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dll")
    parser.add_argument("--arch", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--rebased", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
