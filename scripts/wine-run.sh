#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's private prefix.
# The prefix lives in $KIV_WINEPREFIX, or in "wineprefix" under the current
# build folder.  The first call starts a persistent wineserver for the prefix
# and warms it with null standard handles, so that Wine's own service
# processes never inherit a pipe somebody is reading (ctest would hang).
set -u
if [ -z "${KIV_WINEPREFIX:-}" ]; then
    dir=$PWD
    while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    [ -f "$dir/CMakeCache.txt" ] || dir=$PWD
    KIV_WINEPREFIX="$dir/wineprefix"
fi
export WINEPREFIX="$KIV_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$WINEPREFIX"
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        # Fresh prefix: let Wine build it completely before anything else runs.
        wineboot -i </dev/null >/dev/null 2>&1 9>&-
        wineserver -w 9>&-
    fi
    if wineserver -p 2>/dev/null 9>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&-
    fi
) 9>"$WINEPREFIX/.warm.lock"
# Output goes through files: a Wine service that a program starts lazily
# inherits its standard handles, and would keep a reader's pipe open.
tmp=$(mktemp -d)
wine "$@" >"$tmp/out" 2>"$tmp/err" </dev/null
rc=$?
cat "$tmp/out"
cat "$tmp/err" >&2
rm -rf "$tmp"
exit $rc
