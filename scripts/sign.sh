#!/usr/bin/env bash
# Signs the module (Authenticode, SHA-256) with osslsigncode, in place.
#
#   scripts/sign.sh --cert CERT.pem --key KEY.pem [options] [FILE]
#   scripts/sign.sh --pkcs12 BUNDLE.p12 [options] [FILE]
#
#   FILE              the PE image to sign (default: dist/InstTMMod.dll of
#                     this checkout, where scripts/build.sh puts the module)
#   --time UNIX       signing time in seconds since 1970: two signings of the
#                     same file with the same time give identical bytes
#   --timestamp URL   an RFC 3161 timestamp server, for real releases
#
# The password of an encrypted key or of the PKCS#12 bundle comes from the
# environment variable SIGN_PASSWORD, never from the command line, where
# every user of the machine could read it.
#
# The signed image is written to a temporary file next to FILE and moved
# over FILE only when signing succeeded: on any error FILE is left as it was
# and the exit status is non-zero (2 for a usage error).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly DEFAULT_FILE=$root/dist/InstTMMod.dll

usage() {
  cat >&2 <<'EOF'
usage: scripts/sign.sh --cert CERT.pem --key KEY.pem [--time UNIX] [--timestamp URL] [FILE]
       scripts/sign.sh --pkcs12 BUNDLE.p12 [--time UNIX] [--timestamp URL] [FILE]
The password, if the key or bundle has one, is read from SIGN_PASSWORD.
FILE defaults to dist/InstTMMod.dll and is signed in place.
EOF
  exit 2
}

fail() {
  echo "sign.sh: $*" >&2
  exit 1
}

usage_error() {
  echo "sign.sh: $*" >&2
  usage
}

# need_value OPTION ARGS...: the option's value must follow it.
need_value() {
  (($# >= 2)) && [[ -n $2 ]] || usage_error "$1 needs a value"
}

cert= key= pkcs12= sign_time= timestamp= file=
while (($#)); do
  case $1 in
    --cert) need_value "$@"; cert=$2; shift 2 ;;
    --key) need_value "$@"; key=$2; shift 2 ;;
    --pkcs12) need_value "$@"; pkcs12=$2; shift 2 ;;
    --time) need_value "$@"; sign_time=$2; shift 2 ;;
    --timestamp) need_value "$@"; timestamp=$2; shift 2 ;;
    --pass | --password | --pass=* | --password=*)
      usage_error "the password is read from SIGN_PASSWORD, not from an argument" ;;
    -h | --help) usage ;;
    --) shift; (($# <= 1)) || usage_error "more than one FILE"; file=${1:-}; shift $# ;;
    -*) usage_error "unknown option $1" ;;
    *) [[ -z $file ]] || usage_error "more than one FILE"; file=$1; shift ;;
  esac
done
file=${file:-$DEFAULT_FILE}

if [[ -n $pkcs12 ]]; then
  [[ -z $cert && -z $key ]] || usage_error "give either --pkcs12 or --cert and --key, not both"
elif [[ -z $cert || -z $key ]]; then
  usage_error "give --cert and --key, or --pkcs12"
fi
if [[ -n $sign_time && ! $sign_time =~ ^[0-9]+$ ]]; then
  usage_error "--time takes seconds since 1970, not '$sign_time'"
fi
if [[ -n $timestamp && ! $timestamp =~ ^https?:// ]]; then
  usage_error "--timestamp takes an http:// or https:// URL, not '$timestamp'"
fi

command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (scripts/deps.sh installs it)"

# readable WHAT PATH: PATH must be a readable regular file.
readable() {
  [[ -e $2 ]] || fail "$1 $2: no such file"
  [[ -f $2 ]] || fail "$1 $2: not a regular file"
  [[ -r $2 ]] || fail "$1 $2: not readable"
}

# uint PATH OFFSET BYTES: the little-endian unsigned number there, or
# nothing past the end of the file.
uint() {
  od -An -t "u$3" -j "$2" -N "$3" -- "$1" | tr -d ' \n'
}

# is_pe PATH: an MZ header whose e_lfanew points at the PE signature, and
# every section's raw data inside the file. osslsigncode signs a cut-off
# image without complaint, and the result would never load.
is_pe() {
  [[ $(head -c 2 -- "$1") == MZ ]] || return 1
  local size at sections table i raw_size raw_at
  size=$(stat -c %s -- "$1")
  at=$(uint "$1" 60 4)
  [[ -n $at ]] && ((at + 24 <= size)) || return 1
  [[ $(od -An -t x1 -j "$at" -N 4 -- "$1" | tr -d ' \n') == 50450000 ]] || return 1
  sections=$(uint "$1" $((at + 6)) 2)
  table=$((at + 24 + $(uint "$1" $((at + 20)) 2)))
  ((sections > 0 && table + 40 * sections <= size)) || return 1
  for ((i = 0; i < sections; i++)); do
    raw_size=$(uint "$1" $((table + 40 * i + 16)) 4)
    raw_at=$(uint "$1" $((table + 40 * i + 20)) 4)
    ((raw_at + raw_size <= size)) || return 1
  done
}

readable "FILE" "$file"
is_pe "$file" || fail "FILE $file: not a PE image, or one cut off"
if [[ -n $pkcs12 ]]; then
  readable "PKCS#12 bundle" "$pkcs12"
else
  readable "certificate" "$cert"
  readable "key" "$key"
  # Without a password OpenSSL would ask for one on the terminal, which a
  # release pipeline does not have.
  if [[ -z ${SIGN_PASSWORD:-} ]] && grep -q -- '-----BEGIN .*ENCRYPTED' "$key"; then
    fail "key $key is encrypted: set SIGN_PASSWORD"
  fi
fi

args=(sign -h sha256)
if [[ -n $pkcs12 ]]; then
  args+=(-pkcs12 "$pkcs12")
else
  args+=(-certs "$cert" -key "$key")
fi
[[ -z $sign_time ]] || args+=(-time "$sign_time")
[[ -z $timestamp ]] || args+=(-ts "$timestamp")
# The password travels on standard input: never on a command line.
[[ -z ${SIGN_PASSWORD:-} ]] || args+=(-readpass -)

# A fresh directory beside FILE: on the same file system, so the final move
# replaces FILE in one step; osslsigncode refuses to overwrite its output.
dir=$(dirname -- "$file")
work=$(mktemp -d "$dir/.sign.XXXXXX") || fail "cannot create a temporary directory in $dir"
trap 'rm -rf -- "$work"' EXIT
signed=$work/$(basename -- "$file")

if ! printf '%s' "${SIGN_PASSWORD:-}" |
    osslsigncode "${args[@]}" -in "$file" -out "$signed" >"$work/log" 2>&1; then
  # osslsigncode says what went wrong in its own lines; OpenSSL's error
  # stack below them only repeats it in library terms.
  grep -v -E '^[0-9A-F]+:error:' "$work/log" | sed 's/^/  /' >&2 || true
  fail "signing $file failed; it is unchanged"
fi
[[ -s $signed ]] || fail "osslsigncode reported success but wrote nothing; $file is unchanged"

chmod --reference="$file" -- "$signed"
mv -f -- "$signed" "$file"
echo "sign.sh: signed $file"
