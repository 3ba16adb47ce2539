#!/usr/bin/env bash
# The whole test suite: set-up, the format check, then the native tests, the sanitizer runs (ASan+UBSan, TSan), the Windows
# tests under Wine and a short run of every fuzz target. Exits non-zero if any part fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

echo "=== format: every source file as clang-format lays it out"
bash scripts/format-check.sh

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}

run_native() {
  echo "=== $1: tests"
  (cd "build/$1" && ctest -j "$jobs" --output-on-failure --timeout 900)
}

for preset in native asan tsan windows; do
  echo "=== $preset: build"
  build "$preset"
done

echo "=== windows: the programs are hardened"
bash scripts/check_hardening.sh pe build/windows/{HelmetUpdater,HelmetUpdaterDemo,helmet-update,helmet-update-demo}.exe

run_native native
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 run_native asan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_native tsan

# Under Wine every process start is dear: the whole suite runs in one process here (`ctest -R Name` in the
# session still runs a single case).
echo "=== windows: tests under Wine"
bash scripts/wine-session.sh build/windows bash -c 'cd build/windows && wine ./updater_tests.exe --gtest_brief=1 --gtest_color=no'

# Wine's loader does not search for DLLs as Windows does: the restriction is checked in the import tables.
echo "=== windows: every program restricts its DLL search to the system folder"
bash scripts/check_dll_search.sh build/windows/{HelmetUpdater,HelmetUpdaterDemo,helmet-update,helmet-update-demo,HelmetDemoDriver}.exe
# The control: the tests call the helper with a fake only, so their program must show no such import.
bash scripts/check_dll_search.sh --absent build/windows/updater_tests.exe

# The release: two builds of the commit compared byte for byte, the first one's programs signed and verified,
# its package checked by lintian, installed, run and purged.
echo "=== release: reproducible double build"
bash scripts/reproducible.sh --keep build/release-unsigned
echo "=== release: signature, checksums, package"
bash scripts/release_check.sh build/release-unsigned

echo "=== fuzz: every fuzz target for a few seconds"
bash scripts/fuzz.sh

echo "=== all tests passed"
