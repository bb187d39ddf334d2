#!/bin/sh
# make_certificates.sh DIR: the TLS tests' certificates, made in DIR with the
# openssl command. A CA (ca.pem, ca.key), and signed by it server.pem for
# 127.0.0.1, other.pem for camera.example and expired.pem for 127.0.0.1
# (valid in January 2020 only); self.pem, self-signed for 127.0.0.1. EC P-256
# keys (NAME.key): quick handshakes. `openssl ca` is the one way of openssl
# 3.0 to date a certificate in the past.
set -e
cd "$1"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; }
key ca
openssl req -x509 -new -key ca.key -out ca.pem -days 30 -subj /CN=rtsppull-test-ca
key self
openssl req -x509 -new -key self.key -out self.pem -days 30 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1
printf '%s\n' '[ca]' 'default_ca = c' '[c]' 'database = index.txt' 'new_certs_dir = .' \
  'serial = serial' 'default_md = sha256' 'policy = p' 'copy_extensions = copy' \
  'unique_subject = no' '[p]' 'commonName = supplied' > ca.cnf
: > index.txt
echo 1000 > serial
signed() {  # NAME SUBJECT_ALT_NAME DATES...
  name="$1" alt="$2"
  shift 2
  key "$name"
  openssl req -new -key "$name.key" -out "$name.csr" -subj "/CN=$name" -addext "subjectAltName=$alt"
  openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -in "$name.csr" \
    -out "$name.pem" "$@"
}
signed server IP:127.0.0.1 -days 30
signed other DNS:camera.example -days 30
signed expired IP:127.0.0.1 -startdate 20200101000000Z -enddate 20200201000000Z
