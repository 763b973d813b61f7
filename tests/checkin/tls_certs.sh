#!/bin/sh
# Throwaway keys and certificates for the https check-in tests, made fresh
# in DIR on every run:
#   ca.pem         test CA (its key ca.key)
#   server.key     the server's key; server.pub its public key (for the pin)
#   other.pub      some other public key
#   good.pem       server.key, signed by the CA, for IP 127.0.0.1, valid now
#   self.pem       server.key, self-signed, for IP 127.0.0.1
#   wronghost.pem  server.key, signed by the CA, for checkin.other.invalid
#   expired.pem    server.key, signed by the CA, for 127.0.0.1, expired in 2020
#   client.pem     client.key, signed by the CA, for a boat's client authentication
#   stranger.pem   client.key, self-signed, for client authentication
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

key ca.key
key server.key
key other.key
key client.key
openssl pkey -in server.key -pubout -out server.pub
openssl pkey -in other.key -pubout -out other.pub

cat >ca.cnf <<'CNF'
[req]
distinguished_name = dn
[dn]
[ca]
default_ca = test_ca
[test_ca]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[v3_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server_ip]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1
[server_other]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:checkin.other.invalid
[client]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
CNF
: >index.txt
echo 1000 >serial

openssl req -config ca.cnf -new -x509 -key ca.key -subj "/CN=Boat test CA" -days 2 -extensions v3_ca -out ca.pem
openssl req -config ca.cnf -new -key server.key -subj "/CN=127.0.0.1" -out server.csr
openssl req -config ca.cnf -new -key server.key -subj "/CN=checkin.other.invalid" -out other.csr
openssl req -config ca.cnf -new -key client.key -subj "/CN=boat 7" -out client.csr

sign() {  # out csr extensions [start end]
  if [ $# -eq 5 ]; then dates="-startdate $4 -enddate $5"; else dates="-days 2"; fi
  # shellcheck disable=SC2086
  openssl ca -config ca.cnf -batch -notext -cert ca.pem -keyfile ca.key -in "$2" -extensions "$3" \
    $dates -out "$1" 2>/dev/null
}
sign good.pem server.csr server_ip
sign wronghost.pem other.csr server_other
sign expired.pem server.csr server_ip 20200101000000Z 20200102000000Z
sign client.pem client.csr client
openssl req -config ca.cnf -new -x509 -key server.key -subj "/CN=127.0.0.1" -days 2 -extensions server_ip -out self.pem
openssl req -config ca.cnf -new -x509 -key client.key -subj "/CN=boat 7" -days 2 -extensions client -out stranger.pem
