#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset: clang 14, libFuzzer, ASan + UBSan) and runs each one for a
# bounded time, one process at a time, from its seeds. A crash, a leak, undefined behaviour or a failed check
# ends the script with an error; the input that caused it is kept in build/fuzz/findings/<target>/.
#
#   bash scripts/fuzz.sh                           every target for 12 s (what the test suite runs)
#   bash scripts/fuzz.sh --long 600                every target for 600 s
#   bash scripts/fuzz.sh --long 600 fuzz_unit_answers    only the targets named
#
# Each target reads its seeds from fuzz/corpus/<target>/ (never written) and the inputs found by earlier runs
# from build/fuzz/corpus/<target>/, where new ones go. Full logs: build/fuzz/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=12
if [ "${1:-}" = "--long" ]; then
  seconds="${2:?--long needs a number of seconds}"
  shift 2
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_unit_answers fuzz_image_catalogue fuzz_registry_check fuzz_settings_file fuzz_demo_settings fuzz_capture_reader)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}" -j 2

failed=()
for target in "${targets[@]}"; do
  corpus="build/fuzz/corpus/$target"
  findings="build/fuzz/findings/$target"
  log="build/fuzz/logs/$target.log"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$findings/")
  if [ -f "fuzz/dict/$target.dict" ]; then args+=(-dict="fuzz/dict/$target.dict"); fi

  echo "=== $target: ${seconds} s"
  status=0
  "build/fuzz/fuzz/$target" "${args[@]}" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added))' "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "--- $target failed (exit $status); the input is in $findings/:"
    grep -E 'ERROR|SUMMARY|check failed|Test unit written' "$log" || tail -n 40 "$log"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "=== fuzz: failed: ${failed[*]}"
  exit 1
fi
echo "=== fuzz: ${#targets[@]} targets ran without a finding"
