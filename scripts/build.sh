#!/usr/bin/env bash
# Builds the shipped 32-bit module, checks its PE layout, proves the build is
# reproducible by building it again in a separate tree, and puts it in dist/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

source scripts/deps.sh
ensure_deps

cmake --preset i686 >/dev/null
cmake --build --preset i686
dll=build/i686/InstTMMod.dll

/usr/bin/python3 tests/pe/check_dll.py "$dll" --arch i686 --objdump i686-w64-mingw32-objdump \
  --rebased build/i686/rebased/InstTMMod.dll

# Same sources, same toolchain, another directory: the linker writes no time
# stamp (--no-insert-timestamp), so the two images must be byte-identical.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake -S . -B "$tmp" --toolchain cmake/mingw-i686.cmake -G Ninja \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tmp" >/dev/null
if ! cmp "$dll" "$tmp/InstTMMod.dll"; then
  echo "build.sh: a second build in $tmp differs: not reproducible" >&2
  exit 1
fi

mkdir -p dist
cp "$dll" dist/InstTMMod.dll

/usr/bin/python3 - dist/InstTMMod.dll <<'PY'
import os
import sys

import pefile

path = sys.argv[1]
pe = pefile.PE(path)
print(f"{path}: {os.path.getsize(path)} bytes, reproducible")
print(f"DllCharacteristics: 0x{pe.OPTIONAL_HEADER.DllCharacteristics:04x}")
for info in getattr(pe, "FileInfo", [[]])[0]:
    for table in getattr(info, "StringTable", []):
        print(f"version: {table.entries.get(b'FileVersion', b'?').decode()}")
print("exports:")
for sym in sorted(pe.DIRECTORY_ENTRY_EXPORT.symbols, key=lambda s: s.ordinal):
    print(f"  @{sym.ordinal} {sym.name.decode() if sym.name else '(no name)'}")
print("imports:")
for desc in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
    entries = [imp.name.decode() if imp.name else f"#{imp.ordinal}" for imp in desc.imports]
    print(f"  {desc.dll.decode()}: {', '.join(entries)}")
PY
