#!/usr/bin/env bash
# Builds a private SoftHSM token holding two ICP-Brasil-style certificates
# with their keys, for the demo and the browser end-to-end test:
#   - a natural person (RSA 2048): CPF, birth date, NIS and RG in the
#     otherName 2.16.76.1.3.1 of the subjectAltName, and an e-mail;
#   - a company (EC P-256): CNPJ in 2.16.76.1.3.3, the responsible person in
#     2.16.76.1.3.2 and 2.16.76.1.3.4.
# Both are issued by a throw-away CA that stays off the token.
#
# Usage: scripts/softhsm-fixture.sh DIR
# DIR is emptied and then holds softhsm2.conf, tokens/, the certificates
# (person.pem/.der, company.pem/.der, ca.pem), their public keys
# (person.pub.pem, company.pub.pem), their thumbprints (person.thumbprint,
# company.thumbprint) and env.sh, which sets SOFTHSM2_CONF and
# TOLVEX_PKCS11_MODULES for the agent. The user PIN is in pin (123456).
set -euo pipefail

dir=${1:?usage: softhsm-fixture.sh DIR}
module=${SOFTHSM_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
label=${TOLVEX_FIXTURE_TOKEN:-tolvex-demo}
pin=123456
so_pin=12345678

[ -f "$module" ] || { echo "softhsm-fixture: $module not found (apt-get install softhsm2)" >&2; exit 1; }
rm -rf "$dir"
mkdir -p "$dir/tokens"
dir=$(cd "$dir" && pwd)
cd "$dir"

cat > softhsm2.conf <<CONF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
export SOFTHSM2_CONF=$dir/softhsm2.conf
printf '%s\n' "$pin" > pin

# --- certificates ---------------------------------------------------------
# Person data layout: birth date DDMMYYYY, CPF (11), NIS (11), RG (15),
# RG issuer (6).
person_data="15031980""12345678909""10987654321""000000012345678""SSPSP "
responsible_data="02021975""98765432100""00000000000""000000000000000""000000"

cat > openssl.cnf <<CNF
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ person_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment
extendedKeyUsage = clientAuth, emailProtection
subjectAltName = @person_san
[ person_san ]
otherName.1 = 2.16.76.1.3.1;UTF8:$person_data
otherName.2 = 2.16.76.1.3.6;UTF8:000000000000
email.1 = fulano@exemplo.com.br
[ company_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
subjectAltName = @company_san
[ company_san ]
otherName.1 = 2.16.76.1.3.4;UTF8:$responsible_data
otherName.2 = 2.16.76.1.3.2;UTF8:BELTRANA DE SOUZA
otherName.3 = 2.16.76.1.3.3;UTF8:11222333000181
otherName.4 = 2.16.76.1.3.7;UTF8:000000000000
CNF

quiet() { "$@" >/dev/null 2>&1 || { echo "softhsm-fixture: failed: $*" >&2; "$@" >&2 || true; exit 1; }; }

quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
  -subj "/C=BR/O=ICP-Brasil/OU=Tolvex Demonstracao/CN=AC TOLVEX DEMONSTRACAO v1" \
  -config openssl.cnf -extensions ca_ext -sha256

issue() { # name subject extensions keyfile
  quiet openssl req -new -key "$4" -out "$1.csr" -subj "$2" -config openssl.cnf
  quiet openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial \
    -out "$1.pem" -days 1095 -sha256 -extfile openssl.cnf -extensions "$3"
  openssl x509 -in "$1.pem" -outform DER -out "$1.der"
  openssl x509 -in "$1.pem" -noout -pubkey > "$1.pub.pem"
  openssl dgst -sha256 -r "$1.der" | cut -d' ' -f1 > "$1.thumbprint"
  rm -f "$1.csr"
}

quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out person.key
issue person "/C=BR/O=ICP-Brasil/OU=Pessoa Fisica A3/CN=FULANO DE TAL:12345678909" \
  person_ext person.key
quiet openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out company.key
issue company "/C=BR/O=ICP-Brasil/OU=Pessoa Juridica A3/CN=EMPRESA EXEMPLO LTDA:11222333000181" \
  company_ext company.key

# --- token ----------------------------------------------------------------
quiet softhsm2-util --init-token --free --label "$label" --so-pin "$so_pin" --pin "$pin"
load() { # key cert id label
  openssl pkcs8 -topk8 -nocrypt -in "$1" -out "$1.p8"
  quiet softhsm2-util --import "$1.p8" --token "$label" --label "$4" --id "$3" --pin "$pin"
  quiet pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" \
    --write-object "$2" --type cert --id "$3" --label "$4"
  rm -f "$1.p8"
}
load person.key person.der 01 "FULANO DE TAL"
load company.key company.der 02 "EMPRESA EXEMPLO LTDA"
# The keys now live on the token only.
rm -f person.key company.key ca.key ca.srl

cat > env.sh <<ENV
export SOFTHSM2_CONF=$dir/softhsm2.conf
export TOLVEX_PKCS11_MODULES=$module
ENV
