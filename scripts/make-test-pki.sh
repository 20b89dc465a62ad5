#!/usr/bin/env bash
# Creates the throw-away code-signing PKI the signature tests use:
#   root           test root CA (the tests trust it for the duration of a case)
#   maker          "Brontide, Inc." code-signing certificate
#   maker-expired  the same name and key, validity entirely in the past
#   maker-case     "BRONTIDE, INC." (the maker's name in other letter case)
#   other          a code-signing certificate of another signer
#   msft           "Microsoft Windows" (test stand-in for the platform's signer names)
#   stray          a signer under a root that is never trusted
# Usage: make-test-pki.sh OUTDIR     (keys never leave OUTDIR; rerunning is a no-op)
set -euo pipefail
out="$1"
mkdir -p "$out"
cd "$out"
[ -f .complete ] && exit 0

export OPENSSL_CONF=/dev/null
days=3650

cat > leaf.ext <<'X'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
X

make_root() { # name subject
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days $days -subj "$2" \
        -keyout "$1.key" -out "$1.crt" -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}
make_leaf() { # name subject ca [existing key]
    local key="${4:-$1.key}"
    [ -f "$key" ] || openssl genrsa -out "$key" 2048 2>/dev/null
    openssl req -new -key "$key" -subj "$2" -out "$1.csr" 2>/dev/null
    openssl x509 -req -in "$1.csr" -CA "$3.crt" -CAkey "$3.key" -set_serial "0x$(openssl rand -hex 8)" \
        -days $days -sha256 -extfile leaf.ext -out "$1.crt" 2>/dev/null
    cat "$1.crt" "$3.crt" > "$1.chain.pem"
}

make_root root "/CN=KivProxy Test Root CA/O=KivProxy Test"
make_root stray-root "/CN=KivProxy Stray Root CA/O=KivProxy Test"
make_leaf maker "/CN=Brontide, Inc./O=Brontide, Inc." root
make_leaf maker-case "/CN=BRONTIDE, INC./O=Brontide, Inc." root
make_leaf other "/CN=Larkspur Tools Ltd/O=Larkspur Tools Ltd" root
make_leaf msft "/CN=Microsoft Windows/O=KivProxy Test" root
make_leaf stray "/CN=Brontide, Inc./O=Brontide, Inc." stray-root

# The expired certificate reuses the maker's key, so its public key is a trusted one.
mkdir -p ca/newcerts
: > ca/index.txt
echo 1000 > ca/serial
cat > ca.cnf <<'X'
[ca]
default_ca = test_ca
[test_ca]
dir = ca
database = $dir/index.txt
new_certs_dir = $dir/newcerts
serial = $dir/serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
organizationName = optional
X
openssl req -new -key maker.key -subj "/CN=Brontide, Inc./O=Brontide, Inc." -out maker-expired.csr 2>/dev/null
openssl ca -batch -config ca.cnf -cert root.crt -keyfile root.key -in maker-expired.csr \
    -startdate 20200101000000Z -enddate 20210101000000Z -extfile leaf.ext -notext \
    -out maker-expired.crt 2>/dev/null
cat maker-expired.crt root.crt > maker-expired.chain.pem

rm -f ./*.csr
touch .complete
