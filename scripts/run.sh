#!/usr/bin/env bash
# Sets up, builds the Windows program and runs the updater against the emulated unit under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"
if [ ! -f build/windows/HelmetUpdaterDemo.exe ]; then
  echo "run: the demo program (the updater with the emulated unit) is not built yet; nothing to run." >&2
  exit 1
fi
