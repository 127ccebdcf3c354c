#!/usr/bin/env bash
# Shows the module at work in a real Windows Installer (Wine's): builds the
# module and the sample package, makes a private Wine prefix, installs the
# product, seeds registry traces in three user hives, starts the keep-alive
# agent, uninstalls, and prints the registry before and after.
#
# The shipped module is the 32-bit one. Where 32-bit Wine runs, the demo
# installs a 32-bit package carrying build/i686/InstTMMod.dll; where it does
# not (a 64-bit-only Wine, or a kernel without 32-bit support), it runs the
# x64 build of the same sources, and says so.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

source scripts/deps.sh
ensure_deps

echo "== Building the x64 preset (module, test programs, sample packages)"
cmake --preset x64 >/dev/null
cmake --build --preset x64 >/dev/null

tmp=$(mktemp -d)
config=$tmp/winetest.json
/usr/bin/python3 - build/x64/tests/wine/winetest.json "$config" "$tmp" <<'PY'
import json, sys
config = json.load(open(sys.argv[1]))
config["prefix"] = sys.argv[3] + "/prefix"
config["work"] = sys.argv[3] + "/work"
json.dump(config, open(sys.argv[2], "w"), indent=2)
PY
export WINETEST_CONFIG=$config PYTHONDONTWRITEBYTECODE=1
cleanup() {
  /usr/bin/python3 tests/wine/prefix.py cleanup >/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

echo "== Making a private Wine prefix (headless, persistent wineserver)"
/usr/bin/python3 tests/wine/prefix.py setup

# Does 32-bit Wine work here? Try it: run a 32-bit program in the prefix.
printf '#include <stdio.h>\nint main(void) { puts("32-bit ok"); return 0; }\n' > "$tmp/try32.c"
i686-w64-mingw32-gcc -static -o "$tmp/try32.exe" "$tmp/try32.c"
if WINEPREFIX=$tmp/prefix WINEDEBUG=-all /usr/lib/wine/wine64 "$tmp/try32.exe" 2>/dev/null |
     grep -q "32-bit ok"; then
  echo "== 32-bit Wine works here: the demo uses the shipped 32-bit module"
  cmake --preset i686 >/dev/null
  cmake --build --preset i686 >/dev/null
  (cd build/i686 && wixl -a x86 -D Win64=no -D ModuleDll=InstTMMod.dll \
                         -o "$tmp/product.msi" ../../packaging/product.wxs)
  arch=i686 dll=build/i686/InstTMMod.dll msi=$tmp/product.msi
else
  echo "== 32-bit Wine does not run on this machine (a 32-bit test program failed to"
  echo "   start), so the demo runs the x64 build of the same sources under wine64."
  arch=x64 dll=build/x64/InstTMMod.dll msi=build/x64/tests/wine/product.msi
fi
echo "   module: $dll; package: $msi"

/usr/bin/python3 tests/wine/demo.py --arch "$arch" --msi "$msi"
