#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
#   scripts/test.sh [debug|release]      (default: release)
# Installs what is missing first (scripts/setup.sh). The build's private Wine
# prefix is created on first use and its wineserver is shut down at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"

./scripts/setup.sh
cmake --preset "$preset" >/dev/null
build="build/$preset"
export KIV_WINEPREFIX="$PWD/$build/wineprefix"
export WINEPREFIX="$KIV_WINEPREFIX" WINEDEBUG=-all
cleanup() { wineserver -k 2>/dev/null || true; }
trap cleanup EXIT

# Start the prefix's server for the whole run and warm it with null handles,
# so that no test (or test discovery) pays Wine's start-up or hangs on it.
scripts/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1 || true

cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure --timeout 300 -j1 "${@:2}"
