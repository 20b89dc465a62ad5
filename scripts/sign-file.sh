#!/usr/bin/env bash
# Signs a PE file with one identity of the test PKI (scripts/make-test-pki.sh).
#   sign-file.sh PKI_DIR IDENTITY IN [OUT] [--nest] [--sha1]
# IDENTITY names PKI_DIR/<IDENTITY>.chain.pem; the key is PKI_DIR/<IDENTITY>.key
# (maker-expired uses the maker's key). Without OUT the file is signed in place.
# The digests are SHA-256 unless --sha1 is given.
set -euo pipefail
pki="$1" id="$2" in="$3" out="${4:-$3}" nest=() hash=sha256
for opt in "${@:5}"; do
    case "$opt" in
    --nest) nest=(-nest) ;;
    --sha1) hash=sha1 ;;
    *) echo "unknown option $opt" >&2; exit 2 ;;
    esac
done
key="$pki/$id.key"
[ "$id" = "maker-expired" ] && key="$pki/maker.key"
tmp="$out.signing.$$"
rm -f "$tmp"
osslsigncode sign "${nest[@]}" -certs "$pki/$id.chain.pem" -key "$key" -h "$hash" -in "$in" -out "$tmp" >/dev/null
mv -f "$tmp" "$out"
