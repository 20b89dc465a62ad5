#!/usr/bin/env bash
# Signs a PE file with one identity of the test PKI (scripts/make-test-pki.sh).
#   sign-file.sh PKI_DIR IDENTITY IN [OUT] [--nest]
# IDENTITY names PKI_DIR/<IDENTITY>.chain.pem; the key is PKI_DIR/<IDENTITY>.key
# (maker-expired uses the maker's key). Without OUT the file is signed in place.
set -euo pipefail
pki="$1" id="$2" in="$3" out="${4:-$3}" nest=()
[ "${5:-}" = "--nest" ] && nest=(-nest)
key="$pki/$id.key"
[ "$id" = "maker-expired" ] && key="$pki/maker.key"
tmp="$out.signing.$$"
rm -f "$tmp"
osslsigncode sign "${nest[@]}" -certs "$pki/$id.chain.pem" -key "$key" -h sha256 -in "$in" -out "$tmp" >/dev/null
mv -f "$tmp" "$out"
