#!/usr/bin/env bash
# Builds the registry fuzzer (clang, libFuzzer, AddressSanitizer and UBSan) in
# build/fuzz and runs it for the given number of seconds (default 60). Each
# input becomes a random registry with refusals; the module's tree deletion
# and uninstall are checked against the reference model. Inputs that found new
# paths are kept in build/fuzz/corpus for the next run; a failing input is
# written to build/fuzz/ as crash-*.
#
#   scripts/fuzz.sh [seconds] [extra libFuzzer options...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
shift || true
build="$root/build/fuzz"
cxx=${FUZZ_CXX:-clang++-14}
# clang warns about a few things gcc does not; they stay warnings here rather
# than stopping the fuzzer's build.

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$cxx" \
  -DINST_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  >/dev/null
cmake --build "$build" --target registry_fuzz

mkdir -p "$build/corpus"
cd "$build"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
  "$build/tests/random/registry_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -len_control=0 "$@" "$build/corpus"
