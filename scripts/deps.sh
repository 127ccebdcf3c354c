#!/usr/bin/env bash
# Installs the Debian packages the build and the tests use, and only those
# that are missing: with everything present it prints nothing and does not
# touch apt. Run it, or source it and call ensure_deps.

# binutils for both MinGW targets are named one per architecture: the
# binutils-mingw-w64 metapackage is only a dependency on the two, and is
# never itself marked installed when they come in through the compilers.
INSTTMMOD_PACKAGES=(
  cmake
  ninja-build
  g++
  libgtest-dev
  g++-mingw-w64-i686
  g++-mingw-w64-x86-64
  binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64
  wine64
  wixl
  msitools
  python3-pefile
  python3-unicorn
  clang
  libclang-rt-14-dev
  # The MSVC toolchain family: clang-cl-14, lld-link-16 (version 14 numbers
  # the exports from 0), llvm-dlltool-14 and llvm-lib-14.
  clang-tools-14
  lld-16
  llvm-14
  openssl
  osslsigncode
)

ensure_deps() {
  local missing=() pkg
  local -A installed=()
  # One dpkg-query for the lot; packages it does not know print nothing.
  while read -r pkg; do
    installed[$pkg]=1
  done < <(dpkg-query -W -f='${Package} ${Status}\n' "${INSTTMMOD_PACKAGES[@]}" 2>/dev/null |
           awk '$2 == "install" && $3 == "ok" && $4 == "installed" { print $1 }')
  for pkg in "${INSTTMMOD_PACKAGES[@]}"; do
    [[ -n "${installed[$pkg]:-}" ]] || missing+=("$pkg")
  done
  ((${#missing[@]} == 0)) && return 0

  local -a sudo=()
  if ((EUID != 0)); then
    if ! command -v sudo >/dev/null; then
      echo "deps: missing ${missing[*]}; run as root or install sudo" >&2
      return 1
    fi
    sudo=(sudo)
  fi
  echo "deps: installing ${missing[*]}" >&2
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq || return 1
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq "${missing[@]}" >/dev/null || return 1
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  set -euo pipefail
  ensure_deps
fi
