#!/usr/bin/env bash
# Shows what KivProxy does, in a Wine sandbox of its own.
#   scripts/sandbox.sh [--help]
# Builds what is missing, starts the log server stand-in, runs KivProxy.exe
# with a few command lines and shows the records the log server receives.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() { sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//'; }
case "${1:-}" in -h|--help) usage; exit 0 ;; esac

./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build build/release --target KivProxy LogServer >/dev/null
bin="$root/build/release/bin"
export KIV_WINEPREFIX="$root/build/release/sandbox-prefix"
export WINEPREFIX="$KIV_WINEPREFIX" WINEDEBUG=-all
run() { "$root/scripts/wine-run.sh" "$@"; }

color=""
[ -t 1 ] && color="--color"
logserver_pid=""
cleanup() {
    exec 3>&- 2>/dev/null || true
    [ -n "$logserver_pid" ] && wait "$logserver_pid" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT INT TERM

run cmd /c exit   # creates and warms the sandbox's prefix
echo "== log server stand-in: records received on \\\\.\\pipe\\Log_ServerNamePipe"
exec 3> >(wine "$bin/LogServer.exe" $color)
logserver_pid=$!
sleep 0.5

kivproxy() {
    printf '\n== KivProxy.exe %s\n' "$*"
    local start end rc=0 out
    start=$(date +%s%N)
    out=$(wine "$bin/KivProxy.exe" "$@" </dev/null) || rc=$?
    end=$(date +%s%N)
    sleep 0.2
    [ -n "$out" ] && printf 'console: %s\n' "$out"
    [ $rc -eq 255 ] && rc=-1
    printf 'exit code %d after %d ms\n' "$rc" $(( (end - start) / 1000000 ))
}

kivproxy
kivproxy Sample.Component Frobnicate
kivproxy Sample.Component PostPatternUpdate only-one-path
