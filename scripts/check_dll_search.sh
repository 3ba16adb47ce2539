#!/usr/bin/env bash
# Checks that each Windows program imports SetDefaultDllDirectories from KERNEL32.dll: the program restricts
# its DLL search to the system folder before anything else (platform/win32/safe_dll_search.h). Reads the PE
# import tables; Wine's loader does not search as Windows does, so running the programs would prove nothing.
#
#   scripts/check_dll_search.sh PROGRAM.exe...              every program must import it
#   scripts/check_dll_search.sh --absent PROGRAM.exe...     none may (the check's own control)
set -euo pipefail

objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
want=present
if [ "${1:-}" = "--absent" ]; then want=absent; shift; fi
[ $# -gt 0 ] || { echo "usage: $0 [--absent] PROGRAM.exe..." >&2; exit 2; }

failed=0
for program in "$@"; do
  if ! table=$("$objdump" -p "$program"); then
    echo "FAIL $program: no import table read" >&2
    failed=1
    continue
  fi
  # The import table names each DLL, then its imported functions.
  found=$(awk '/DLL Name:/ { dll = tolower($3) } dll == "kernel32.dll" && $NF == "SetDefaultDllDirectories" { n++ }
               END { print n + 0 }' <<<"$table")
  if [ "$want" = present ] && [ "$found" -eq 0 ]; then
    echo "FAIL $program: SetDefaultDllDirectories is not imported from KERNEL32.dll" >&2
    failed=1
  elif [ "$want" = absent ] && [ "$found" -ne 0 ]; then
    echo "FAIL $program: imports SetDefaultDllDirectories (control expected without it)" >&2
    failed=1
  else
    echo "ok   $program: SetDefaultDllDirectories $want"
  fi
done
exit $failed
