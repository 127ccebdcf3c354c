#!/usr/bin/env bash
# Measures the module and prints one table (docs/benchmarks.md explains it):
#
#   1. tree deletion under wine64: the module's DeleteTreeUnderRoot against
#      RegDeleteTreeA and SHDeleteKeyA on three generated trees, with the
#      registry calls it makes per deleted key;
#   2. the whole uninstall action under wine64 against a plain peer, with 20
#      user hives;
#   3. how long the pre-uninstall action holds its caller, with the test
#      agent closing at once and never closing;
#   4. the size of the 32-bit module and the stack it needs per tree level
#      (the 32-bit binary harness of tests/binary/), for both builds of it:
#      MinGW-w64's, which ships, and the MSVC toolchain family's.
#
# `scripts/bench.sh module` measures 4 alone, in seconds and without Wine.
#
# Not part of scripts/test.sh: timings depend on the machine and its load, so
# nothing here fails on a number. It fails only when a benchmark could not
# measure (a deletion that did not happen, a window that did not close).
#
# Uses its own Wine prefix, build/bench/prefix, with its own wineserver, made
# afresh each run and removed at the end. BENCH_KEEP_PREFIX=1 keeps it and
# reuses it next time; BENCH_ROUNDS sets the timed rounds (default 5).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
rounds=${BENCH_ROUNDS:-5}
work=$root/build/bench
log=$work/results.log
only=${1:-}
if [[ -n $only && $only != module ]]; then
  echo "usage: scripts/bench.sh [module]" >&2
  exit 64
fi

source scripts/deps.sh
ensure_deps

if [[ -z $only ]]; then
  echo "== Building the x64 preset (module, test agent, bench program)"
  cmake --preset x64 >/dev/null
  cmake --build --preset x64 >/dev/null
fi
for build in i686 i686-msvc; do
  echo "== Building the $build preset (a 32-bit module)"
  cmake --preset "$build" >/dev/null
  cmake --build --preset "$build" >/dev/null
done
echo "== Building the host stand-in the 32-bit binary harness runs against"
cmake --preset host >/dev/null
cmake --build --preset host --target scenarios >/dev/null
mkdir -p "$work"

# module_figures NAME DLL: the size of one 32-bit module and the stack its
# deletion of a deep tree needs under the binary harness, as result lines.
module_figures() {
  local name=$1 dll=$2 stack_out
  echo "result module ${name}_bytes $(stat -c %s "$dll")" | tee -a "$log"
  stack_out=$(/usr/bin/python3 tests/binary/binary_checks.py stack --dll "$dll" \
                --stand-in build/host/tests/scenarios/libscenarios.so)
  echo "$stack_out"
  # "stack used for a tree of 513 levels: 172512 bytes (...)"
  if [[ $stack_out =~ tree\ of\ ([0-9]+)\ levels:\ ([0-9]+)\ bytes ]]; then
    echo "result module ${name}_stack_levels ${BASH_REMATCH[1]}" | tee -a "$log"
    echo "result module ${name}_stack_bytes ${BASH_REMATCH[2]}" | tee -a "$log"
  else
    echo "bench.sh: the binary harness did not report the stack of $dll" >&2
    return 1
  fi
}

# Both 32-bit modules: MinGW-w64's (linked stripped; a copy stripped once
# more shows that nothing is left to strip) and the MSVC family's.
measure_modules() {
  local stripped
  stripped=$(mktemp)
  cp build/i686/InstTMMod.dll "$stripped"
  i686-w64-mingw32-strip "$stripped"
  echo "result module i686_restripped_bytes $(stat -c %s "$stripped")" | tee -a "$log"
  rm -f "$stripped"
  module_figures i686 build/i686/InstTMMod.dll
  module_figures i686_msvc build/i686-msvc/InstTMMod.dll
}

if [[ $only == module ]]; then
  : >"$log"
  echo "== module size and stack per tree level, both 32-bit builds"
  measure_modules
  echo
  /usr/bin/python3 bench/report.py --module "$log"
  echo "(raw results: $log)"
  exit 0
fi

config=$work/winetest.json
/usr/bin/python3 - build/x64/tests/wine/winetest.json "$config" "$work" <<'PY'
import json, sys
config = json.load(open(sys.argv[1]))
config["per_run"] = False
config["prefix"] = sys.argv[3] + "/prefix"
config["work"] = sys.argv[3] + "/work"
json.dump(config, open(sys.argv[2], "w"), indent=2)
PY
export WINETEST_CONFIG=$config PYTHONDONTWRITEBYTECODE=1
prefix=$work/prefix
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64

cleanup() {
  if [[ -n "${BENCH_KEEP_PREFIX:-}" ]]; then
    WINETEST_KEEP_PREFIX=1 /usr/bin/python3 tests/wine/prefix.py cleanup >/dev/null || true
  else
    /usr/bin/python3 tests/wine/prefix.py cleanup >/dev/null || true
  fi
}
trap cleanup EXIT

if [[ -n "${BENCH_KEEP_PREFIX:-}" && -d $prefix/drive_c ]]; then
  # The server is restarted below before anything runs in it.
  echo "== Reusing the Wine prefix $prefix"
else
  echo "== Making a private Wine prefix (headless, persistent wineserver)"
  /usr/bin/python3 tests/wine/prefix.py setup
fi

# Everything the Windows programs get; paths through Wine's Z: drive.
run_wine() {
  env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$prefix" WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=" "$wine64" "$@"
}
bench=$root/build/x64/bench/bench.exe
dll_x64=Z:$root/build/x64/InstTMMod.dll
agent=Z:$root/build/x64/tests/wine/agent.exe

: >"$log"
started=$(date +%s)
# Other work on the machine shows in the timings: note how busy it was.
echo "result run load_before $(cut -d" " -f1 /proc/loadavg)" >>"$log"
# Why the times differ: the requests each deletion makes of the wineserver,
# on a small tree, from a server that traces every request (-d1). It runs
# before the timings, and the traced server is then replaced by a quiet one.
echo "== 1/4 tree deletion: wineserver requests per deletion, traced"
restart_server() {
  WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
  WINEPREFIX=$prefix "$wineserver" -w
  WINEPREFIX=$prefix "$wineserver" -p "$@"
}
trace=$work/server-trace.txt
restart_server -d1 2>"$trace"
run_wine "$bench" tree-requests | tee -a "$log"
restart_server
/usr/bin/python3 bench/server_requests.py "$trace" | tee -a "$log"
rm -f "$trace"

echo "== 1/4 tree deletion, timed ($rounds rounds; a few seconds per deletion of 10,000 keys)"
run_wine "$bench" tree --rounds "$rounds" | tee -a "$log"
echo "== 2/4 whole uninstall, 20 user hives ($rounds rounds)"
run_wine "$bench" uninstall "$dll_x64" --hives 20 --keys 200 --rounds "$rounds" | tee -a "$log"
echo "== 3/4 agent wait"
run_wine "$bench" agent "$dll_x64" "$agent" --close-runs 20 --hung-runs 5 | tee -a "$log"

echo "== 4/4 module size and stack per tree level, both 32-bit builds"
echo "result module x64_bytes $(stat -c %s build/x64/InstTMMod.dll)" | tee -a "$log"
measure_modules
echo "result run seconds $(($(date +%s) - started))" >>"$log"

echo
/usr/bin/python3 bench/report.py "$log"
echo "(raw results: $log)"
