"""The version-resource checks of check_dll.py.

Explorer's Details page and inventory tools read the module's VERSIONINFO.
Its numbers must be the one version that CMakeLists.txt declares
(`project(... VERSION ...)`), its names the product's, and the section that
holds the resources must be read-only.
"""

import re

import pefile

# String values the resource must hold exactly; FileVersion and
# ProductVersion are added from CMakeLists.txt.
EXPECTED_STRINGS = {
    "CompanyName": "Helvarin",
    "ProductName": "TideMark",
    "OriginalFilename": "InstTMMod.dll",
    "InternalName": "InstTMMod.dll",
}
VFT_DLL = 2  # VS_FIXEDFILEINFO.FileType of a DLL

PROJECT_VERSION = re.compile(
    r"\bproject\s*\(\s*InstTMMod\b[^)]*?\bVERSION\s+(\d+(?:\.\d+){0,3})\b", re.IGNORECASE)


def project_version(cmake_lists):
    """The version string of `project(InstTMMod VERSION ...)`."""
    with open(cmake_lists, encoding="utf-8") as f:
        m = PROJECT_VERSION.search(f.read())
    if m is None:
        raise ValueError(f"{cmake_lists}: no project(InstTMMod VERSION ...)")
    return m.group(1)


def fixed_parts(version):
    """"1.2.3" -> (1, 2, 3, 0): the four numbers of the fixed file version."""
    parts = [int(p) for p in version.split(".")]
    return tuple(parts + [0] * (4 - len(parts)))


def _split(ms, ls):
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def read_strings(pe):
    """{name: value} of every string table in the resource."""
    strings = {}
    for info_list in getattr(pe, "FileInfo", []):
        for info in info_list:
            if getattr(info, "Key", b"") != b"StringFileInfo":
                continue
            for table in info.StringTable:
                for key, value in table.entries.items():
                    strings[key.decode("utf-8", "replace")] = value.decode("utf-8", "replace")
    return strings


def check_resource_section(pe, rep):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
    if not rep.check("resource directory present", directory.VirtualAddress != 0):
        return
    section = pe.get_section_by_rva(directory.VirtualAddress)
    writable = section is not None and (
        section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"])
    if section is None:
        detail = "no section holds the resources"
    else:
        name = section.Name.rstrip(b"\0").decode("ascii", "replace")
        detail = f"{name} has flags 0x{section.Characteristics:08x}"
    rep.check("resource section is read-only", section is not None and not writable, detail)


def check_version_info(pe, version, rep):
    check_resource_section(pe, rep)
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    if not rep.check("VERSIONINFO present", bool(fixed)):
        return
    fixed = fixed[0]
    want = fixed_parts(version)
    file_version = _split(fixed.FileVersionMS, fixed.FileVersionLS)
    product_version = _split(fixed.ProductVersionMS, fixed.ProductVersionLS)
    rep.info(f"version {version} from CMakeLists.txt")
    rep.check("fixed FileVersion and ProductVersion are the CMake version",
              file_version == want and product_version == want,
              f"expected {want}, found file {file_version}, product {product_version}")
    rep.check("fixed FileType is a DLL", fixed.FileType == VFT_DLL,
              f"expected {VFT_DLL}, found {fixed.FileType}")

    strings = read_strings(pe)
    expected = dict(EXPECTED_STRINGS, FileVersion=version, ProductVersion=version)
    wrong = [f"{key}: expected {value!r}, found {strings.get(key)!r}"
             for key, value in expected.items() if strings.get(key) != value]
    rep.check("VERSIONINFO strings", not wrong, "; ".join(wrong))
    rep.check("FileDescription present", bool(strings.get("FileDescription", "").strip()))
