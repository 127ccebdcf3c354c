"""The hardening checks of check_dll.py: what a release scanner looks at
first, each check named after what it protects.

  * the image can be relocated: it carries base relocations, and the image
    relocated by them to another base is byte for byte the same objects
    linked at that base (so the relocations are complete and correct, and
    address space layout randomisation can move the module safely);
  * no section is both writable and executable;
  * the header checksum is valid;
  * every time stamp the image holds is 0, so builds stay reproducible;
  * DllCharacteristics hold DYNAMIC_BASE, NX_COMPAT and NO_SEH.

Each check takes the parsed image and a report with check(name, ok, detail)
and skip(name, why).
"""

import struct

import pefile

FLAGS = pefile.DLL_CHARACTERISTICS
REQUIRED_DLL_FLAGS = {
    "DYNAMIC_BASE": FLAGS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"],
    "NX_COMPAT": FLAGS["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"],
    "NO_SEH": FLAGS["IMAGE_DLLCHARACTERISTICS_NO_SEH"],
}

SCN = pefile.SECTION_CHARACTERISTICS
REL = pefile.RELOCATION_TYPE
FILE_RELOCS_STRIPPED = pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]

RELOCATIONS_PRESENT = "relocatable (base relocations present)"
OTHER_BASE = "relocatable (the link at another base has another base)"
RELOCATED_MATCHES = "relocatable (moved to another base, matches the link made there)"

# Offset of CheckSum in the optional header (PE32 and PE32+ alike).
CHECKSUM_OFFSET = 64


def check_dll_characteristics(pe, rep):
    have = pe.OPTIONAL_HEADER.DllCharacteristics
    missing = [name for name, bit in REQUIRED_DLL_FLAGS.items() if not have & bit]
    rep.info(f"DllCharacteristics 0x{have:04x}")
    rep.check("DllCharacteristics hold DYNAMIC_BASE, NX_COMPAT and NO_SEH",
              not missing, f"0x{have:04x} lacks {', '.join(missing)}")


def check_no_writable_code(pe, rep):
    both = SCN["IMAGE_SCN_MEM_WRITE"] | SCN["IMAGE_SCN_MEM_EXECUTE"]
    bad = [f"{_section_name(s)} (0x{s.Characteristics:08x})"
           for s in pe.sections if s.Characteristics & both == both]
    rep.check("no section both writable and executable", not bad, ", ".join(bad))


def check_checksum(pe, rep):
    stored = pe.OPTIONAL_HEADER.CheckSum
    computed = pe.generate_checksum()
    rep.check("header checksum valid", stored != 0 and stored == computed,
              f"stored 0x{stored:08x}, computed 0x{computed:08x}")


def time_stamps(pe):
    """(where, value) for every time stamp field the image holds: the file
    header, the export directory, each import descriptor, each resource
    directory table and any debug directory entry."""
    stamps = [("file header", pe.FILE_HEADER.TimeDateStamp)]
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if exports is not None:
        stamps.append(("export directory", exports.struct.TimeDateStamp))
    for desc in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        stamps.append((f"import of {desc.dll.decode('ascii', 'replace')}",
                       desc.struct.TimeDateStamp))

    def walk(directory, path):
        stamps.append((f"resource directory {path}", directory.struct.TimeDateStamp))
        for entry in directory.entries:
            if hasattr(entry, "directory"):
                walk(entry.directory, f"{path}{entry.id if entry.name is None else entry.name}/")

    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if resources is not None:
        walk(resources, "/")
    for i, entry in enumerate(getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])):
        stamps.append((f"debug entry {i}", entry.struct.TimeDateStamp))
    return stamps


def check_time_stamps(pe, rep):
    nonzero = [f"{where} 0x{value:08x}" for where, value in time_stamps(pe) if value != 0]
    rep.check("time stamps are 0 (reproducible builds)", not nonzero, "; ".join(nonzero))


def relocate(pe, new_base):
    """The file's bytes as they would be with the image moved to new_base:
    every base relocation applied, ImageBase set and the checksum written
    again. Raises ValueError on a relocation type this module never needs."""
    data = bytearray(pe.__data__)
    delta = new_base - pe.OPTIONAL_HEADER.ImageBase
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type == REL["IMAGE_REL_BASED_ABSOLUTE"]:
                continue  # padding
            offset = pe.get_offset_from_rva(entry.rva)
            if entry.type == REL["IMAGE_REL_BASED_HIGHLOW"]:
                value = struct.unpack_from("<I", data, offset)[0]
                struct.pack_into("<I", data, offset, (value + delta) & 0xFFFFFFFF)
            elif entry.type == REL["IMAGE_REL_BASED_DIR64"]:
                value = struct.unpack_from("<Q", data, offset)[0]
                struct.pack_into("<Q", data, offset, (value + delta) & 0xFFFFFFFFFFFFFFFF)
            else:
                raise ValueError(f"relocation type {entry.type} at RVA 0x{entry.rva:x}")
    optional = pe.OPTIONAL_HEADER.get_file_offset()
    base_field = pe.OPTIONAL_HEADER.__field_offsets__["ImageBase"]
    struct.pack_into("<Q" if pe.PE_TYPE == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS else "<I",
                     data, optional + base_field, new_base)
    moved = pefile.PE(data=bytes(data))
    struct.pack_into("<I", data, optional + CHECKSUM_OFFSET, moved.generate_checksum())
    return bytes(data)


def check_relocatable(pe, rebased_path, rep):
    """rebased_path: the same objects linked at another base, or None."""
    relocations = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    count = sum(1 for block in relocations for e in block.entries
                if e.type != REL["IMAGE_REL_BASED_ABSOLUTE"])
    rep.check(RELOCATIONS_PRESENT,
              count > 0 and not pe.FILE_HEADER.Characteristics & FILE_RELOCS_STRIPPED,
              f"{count} relocations, file header characteristics "
              f"0x{pe.FILE_HEADER.Characteristics:04x}")
    name = RELOCATED_MATCHES
    if rebased_path is None:
        rep.skip(name, "no link at another base given (--rebased)")
        return
    try:
        with open(rebased_path, "rb") as f:
            rebased = f.read()
        new_base = pefile.PE(data=rebased, fast_load=True).OPTIONAL_HEADER.ImageBase
    except (OSError, pefile.PEFormatError) as e:
        rep.check(name, False, f"{rebased_path}: {e}")
        return
    if not rep.check(OTHER_BASE, new_base != pe.OPTIONAL_HEADER.ImageBase,
                     f"both at 0x{new_base:x}"):
        return
    try:
        moved = relocate(pe, new_base)
    except ValueError as e:
        rep.check(name, False, str(e))
        return
    differ = [i for i in range(min(len(moved), len(rebased))) if moved[i] != rebased[i]]
    where = ", ".join(_describe_offset(pe, i) for i in differ[:8])
    rep.check(name, len(moved) == len(rebased) and not differ,
              f"at 0x{new_base:x}: sizes {len(moved)} and {len(rebased)}, "
              f"{len(differ)} bytes differ, first at {where or '-'}")


def check_hardening(pe, rebased_path, rep):
    check_relocatable(pe, rebased_path, rep)
    check_no_writable_code(pe, rep)
    check_checksum(pe, rep)
    check_time_stamps(pe, rep)
    check_dll_characteristics(pe, rep)


def _section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def _describe_offset(pe, offset):
    section = pe.get_section_by_offset(offset)
    if section is None:
        return f"file offset 0x{offset:x} (headers)"
    return f"file offset 0x{offset:x} ({_section_name(section)})"
