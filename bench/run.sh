#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine.
#   bench/run.sh [runs]
# Wine's server and the programs run on one CPU (taskset -c 0): a wake-up
# across CPUs costs tens of microseconds here and would swamp every pipe and
# registry figure.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-7}"
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build build/release >/dev/null
export KIV_WINEPREFIX="$PWD/build/release/bench-prefix"
export WINEPREFIX="$KIV_WINEPREFIX" WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -k 2>/dev/null || true
mkdir -p "$WINEPREFIX"
taskset -c 0 ./scripts/wine-run.sh cmd /c exit >/dev/null
bin=build/release/bin
echo "== log path (pinned to CPU 0, $runs runs)"
taskset -c 0 ./scripts/wine-run.sh "$bin/log_bench.exe" "$runs" 2000
for b in "$bin"/*_bench.exe; do
    [ "$(basename "$b")" = log_bench.exe ] && continue
    echo "== $(basename "$b" .exe) (pinned to CPU 0)"
    taskset -c 0 ./scripts/wine-run.sh "$b" "$runs"
done
