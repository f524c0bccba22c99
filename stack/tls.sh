#!/usr/bin/env bash
# Makes the TLS material of the local stack under $QZ_RUN/tls (once; safe to
# re-run, a complete directory passes through at once):
#
#   ca.pem                   the stack's own CA: name it as the CA file of a client
#   server.pem, server.key   the servers' certificate (DNS:localhost) and key
#   server.p12               the same as PKCS#12 for Kafka (password in PASSWORD)
#   client.pem, client.key   a client certificate of the same CA, for mutual TLS
#   rogue-ca.pem             a CA that signed none of these: a client that
#                            trusts only it must refuse every server here
#
# The servers' certificate names localhost and nothing else: Python 2.7
# matches host names against DNS names only (never an IP address entry), so
# clients connect to "localhost", which resolves to 127.0.0.1 here.
set -euo pipefail

STACK_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=lib.sh
. "$STACK_DIR/lib.sh"

T="$QZ_RUN/tls"
[[ -f $T/.complete ]] && exit 0

rm -rf "$T.tmp"
mkdir -p "$T.tmp"
cd "$T.tmp"
# Ten years: a test machine kept for a while must not see its stack expire.
days=3650
ossl() { openssl "$@" >>openssl.log 2>&1; }
trap 'echo "tls: openssl failed, its output: $T.tmp/openssl.log" >&2' ERR

make_ca() {  # NAME SUBJECT
  ossl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$days" \
    -keyout "$1.key" -out "$1.pem" -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign"
}

make_leaf() {  # NAME SUBJECT USAGE [SAN]
  local ext="basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=$3"
  [[ -n ${4:-} ]] && ext+="
subjectAltName=$4"
  ossl req -newkey rsa:2048 -nodes -sha256 -keyout "$1.key" -out "$1.csr" -subj "/CN=$2"
  ossl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 \
    -days "$days" -out "$1.pem" -extfile <(echo "$ext")
  rm -f "$1.csr"
}

make_ca ca "qz local stack CA"
make_ca rogue-ca "qz rogue CA"
rm -f rogue-ca.key
make_leaf server localhost serverAuth "DNS:localhost"
make_leaf client qz-client clientAuth
# Kafka reads PKCS#12 key stores; the password only satisfies the format.
echo qzstack >PASSWORD
ossl pkcs12 -export -in server.pem -inkey server.key -certfile ca.pem \
  -name server -out server.p12 -passout file:PASSWORD
# The servers run as root but read these as files; keys stay private to root.
chmod 600 ./*.key
chmod 644 ./*.pem ./*.p12 PASSWORD
rm -f openssl.log ca.srl
touch .complete
cd ..
rm -rf "$T"
mv "$T.tmp" "$T"
echo "tls: CA and certificates in $T" >&2
