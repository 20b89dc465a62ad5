#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine.
# Idempotent: returns at once when everything is already present.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
pkg_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

have i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686 mingw-w64-i686-dev)
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have wine || need+=(wine)
pkg_installed wine32:i386 || need+=(wine32:i386)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
have openssl || need+=(openssl)
have osslsigncode || need+=(osslsigncode)
have python3 || need+=(python3)

if [ ${#need[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

echo "setup: installing ${need[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
