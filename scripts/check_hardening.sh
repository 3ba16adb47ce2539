#!/usr/bin/env bash
# Checks that built programs carry the build's hardening (cmake/Hardening.cmake):
#   check_hardening.sh elf PROGRAM...   native: the stack protector (__stack_chk_fail imported), the checked C
#                                       library functions (some __*_chk imported), full RELRO (BIND_NOW, GNU_RELRO)
#   check_hardening.sh pe PROGRAM...    Windows: the stack protector (__stack_chk_fail linked in)
# Each missing property is named; the status is 1 when any is missing.
set -euo pipefail

kind=${1:?"usage: check_hardening.sh elf|pe PROGRAM..."}
shift
missing=0
fail() {
  echo "check_hardening: $1: $2" >&2
  missing=1
  this=1
}

for program in "$@"; do
  this=0
  if [ ! -f "$program" ]; then
    fail "$program" "no such file"
    continue
  fi
  case "$kind" in
    elf)
      symbols=$(nm -D "$program")
      grep -qw '__stack_chk_fail' <<<"$symbols" || fail "$program" "no stack protector (__stack_chk_fail is not imported)"
      grep -qE ' __[a-z_]+_chk(@|$)' <<<"$symbols" || fail "$program" "no checked C library function (_FORTIFY_SOURCE)"
      readelf -dW "$program" | grep -qE '\(BIND_NOW\)|\(FLAGS(_1)?\).*\bNOW\b' || fail "$program" "not bound at start (no BIND_NOW)"
      readelf -lW "$program" | grep -qw 'GNU_RELRO' || fail "$program" "no read-only relocations (no GNU_RELRO)"
      ;;
    pe)
      symbols=$(x86_64-w64-mingw32-nm "$program")
      grep -qw '__stack_chk_fail' <<<"$symbols" || fail "$program" "no stack protector (__stack_chk_fail is not linked in)"
      ;;
    *)
      echo "usage: check_hardening.sh elf|pe PROGRAM..." >&2
      exit 2
      ;;
  esac
  [ "$this" -ne 0 ] || echo "check_hardening: $program: hardened"
done
exit "$missing"
