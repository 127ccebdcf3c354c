#!/usr/bin/env bash
# Builds and tests every preset: the host unit tests against the stand-in,
# then the 32-bit module from MinGW-w64 and from the MSVC toolchain family,
# and the 64-bit one. Every stage runs even when an earlier one fails; the
# exit status is non-zero if any failed.
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

# A 32-bit module built by its stage (i686 or i686-msvc), run under emulation
# against the host stand-in (tests/binary/, the tests labelled LABEL). Here a
# missing module fails instead of skipping, and a module whose build failed
# is not run at all: it would be a stale one.
binary_tests() {
  local build=$1 label=$2
  if [[ " ${results[*]} " != *" $build ok "* ]]; then
    echo "test.sh: the $build stage did not pass; its module is not run" >&2
    return 1
  fi
  INSTTMMOD_REQUIRE_BINARY=1 ctest --preset host -L "^$label\$"
}

# The binary tests need the 32-bit modules, built below: they run in stages
# of their own, one per build of the module.
stage host preset host -LE binary
stage host-asan preset host-asan
stage i686 preset i686
stage binary binary_tests i686 binary
stage i686-msvc preset i686-msvc
stage binary-msvc binary_tests i686-msvc binary-msvc
stage x64 preset x64

summary=$(printf '%s, ' "${results[@]}")
summary=${summary%, }
if ((failures == 0)); then
  echo "test.sh: $summary — all passed"
else
  echo "test.sh: $summary — $failures of ${#results[@]} stages failed"
  exit 1
fi
