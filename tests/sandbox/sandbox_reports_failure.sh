#!/usr/bin/env bash
# Runs the sandbox with a failing program in place of KivProxy.exe and
# passes when the sandbox reports the failed step and exits with 1.
#   sandbox_reports_failure.sh <sandbox.sh> <build dir> <Wine prefix>
set -uo pipefail
sandbox=$1 build=$2 prefix=$3
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
mkdir -p "$fake/bin"
for f in LogServer.exe PluginManager.exe ProductSetup.exe Quarn32.dll samples; do
    ln -s "$build/bin/$f" "$fake/bin/$f" || exit 1
done
# PatternTool.exe rejects the command line "SampleDLP Install" with exit code 1.
cp "$build/bin/PatternTool.exe" "$fake/bin/KivProxy.exe" || exit 1

out=$(bash "$sandbox" --ci --no-build --build-dir "$fake" --prefix "$prefix" --scenario installed 2>&1)
rc=$?
printf '%s\n' "$out"
echo "--- sandbox exit code: $rc"
ok=1
[ $rc -eq 1 ] || { echo "expected exit code 1"; ok=0; }
grep -qF "FAILED: exit code 1, expected 0" <<<"$out" || { echo "expected the exit code mismatch to be reported"; ok=0; }
grep -qE "^ +installed +SampleDLP Install +1 +0 .* FAILED$" <<<"$out" || { echo "expected a FAILED row in the summary"; ok=0; }
[ $ok -eq 1 ]
