#!/usr/bin/env bash
# Builds and tests every preset: the host unit tests against the stand-in,
# then the 32-bit and 64-bit Windows modules. Every stage runs even when an
# earlier one fails; the exit status is non-zero if any failed.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

source scripts/deps.sh
ensure_deps || { echo "test.sh: installing the build dependencies failed" >&2; exit 1; }

results=()  # "NAME ok" or "NAME FAILED", in the order the stages ran
failures=0

# stage NAME COMMAND...: runs COMMAND (typically a shell function), records
# NAME as ok or failed and carries on either way.
stage() {
  local name=$1
  shift
  echo "=== test.sh: $name"
  if "$@"; then
    results+=("$name ok")
  else
    echo "=== test.sh: $name FAILED" >&2
    results+=("$name FAILED")
    failures=$((failures + 1))
  fi
}

# Configure, build and test one CMake preset; stops at its first failing step.
preset() {
  cmake --preset "$1" &&
    cmake --build --preset "$1" &&
    ctest --preset "$1" "${@:2}"
}

# The i686 module built by its stage, run under emulation against the host
# stand-in (tests/binary/). Here a missing module fails instead of skipping,
# and a module whose build failed is not run at all: it would be a stale one.
binary_tests() {
  if [[ " ${results[*]} " != *" i686 ok "* ]]; then
    echo "test.sh: the i686 stage did not pass; its module is not run" >&2
    return 1
  fi
  INSTTMMOD_REQUIRE_BINARY=1 ctest --preset host -L binary
}

# The binary tests need the i686 module, built below: they run in their own stage.
stage host preset host -LE binary
stage host-asan preset host-asan
stage i686 preset i686
stage binary binary_tests
stage x64 preset x64

summary=$(printf '%s, ' "${results[@]}")
summary=${summary%, }
if ((failures == 0)); then
  echo "test.sh: $summary — all passed"
else
  echo "test.sh: $summary — $failures of ${#results[@]} stages failed"
  exit 1
fi
