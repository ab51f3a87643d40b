#!/usr/bin/env bash
# A smart card in a reader, with no hardware, for the tests: a pcscd of its
# own whose only reader is vsmartcard's vpcd, and the project's virtual CAC
# card (tests/smartcard/virtual_card.cpp, over libcacard) in that reader. The
# card holds an RSA-2048 key with an ICP-Brasil-style certificate (CPF, birth
# date, NIS and RG in the otherName 2.16.76.1.3.1) from a throw-away CA, in an
# NSS database whose password is the card's PIN. OpenSC's module reaches it
# through PCSCLITE_CSOCK_NAME.
#
# Usage: scripts/smartcard-fixture.sh start DIR CARD_PROGRAM   (DIR is emptied)
#        scripts/smartcard-fixture.sh stop DIR
#
# After start, DIR holds env.sh (PCSCLITE_CSOCK_NAME and
# TOLVEX_PKCS11_MODULES), pin, person.der and person.thumbprint, card.state
# (written by the card: inserted=, verify=, tries=), the daemons' logs and
# their PID files (pcscd.pid, card.pid). Signals to the card's PID take it out
# (USR1), put it back (USR2) and unblock its PIN (HUP).
#
# pcscd serves /run/pcscd/pcscd.comm whatever PCSCLITE_CSOCK_NAME says, so it
# runs in a mount namespace of its own with DIR/run over /run: its socket is
# DIR/run/pcscd/pcscd.comm and a system pcscd is never touched. It is started
# with --auto-exit, so one whose caller was killed ends 60 s after its last
# client, and the card ends with its reader. Never add -a (APDU logging):
# it writes PINs in clear.
set -euo pipefail
scripts=$(cd "$(dirname "$0")" && pwd)

action=${1:?usage: smartcard-fixture.sh start DIR CARD_PROGRAM | stop DIR}
dir=${2:?usage: smartcard-fixture.sh start DIR CARD_PROGRAM | stop DIR}
# Eight digits, the most a CAC PIN has: no log timestamp holds eight in a
# row, so the suite can look for the PIN in the agent's log.
pin=12345678
nickname=titular
driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
module=/usr/lib/x86_64-linux-gnu/pkcs11/opensc-pkcs11.so

# Our daemons outlive this script, so whoever reaps orphans collects them,
# when it gets round to it: a zombie has ended.
running() { [ -n "$1" ] && grep -q '^State:[[:space:]]*[^Z[:space:]]' "/proc/$1/status" 2>/dev/null; }

stop_daemons() {
  local name pid pids=()
  for name in card pcscd; do
    [ -f "$dir/$name.pid" ] && pids+=("$(cat "$dir/$name.pid")")
  done
  if [ ${#pids[@]} -gt 0 ]; then kill "${pids[@]}" 2>/dev/null || true; fi
  for pid in "${pids[@]}"; do
    for _ in $(seq 100); do running "$pid" || break; sleep 0.05; done
    if running "$pid"; then kill -9 "$pid" 2>/dev/null || true; fi
  done
  rm -f "$dir/card.pid" "$dir/pcscd.pid"
}

if [ "$action" = stop ]; then
  [ -d "$dir" ] && stop_daemons
  exit 0
fi
[ "$action" = start ] || { echo "smartcard-fixture: unknown action $action" >&2; exit 2; }
card=${3:?usage: smartcard-fixture.sh start DIR CARD_PROGRAM}

[ "$(id -u)" -eq 0 ] || { echo "smartcard-fixture: needs root (a mount namespace for pcscd)" >&2; exit 1; }
for tool in pcscd certutil pk12util openssl unshare; do
  command -v "$tool" >/dev/null || { echo "smartcard-fixture: $tool not found (scripts/install-deps.sh)" >&2; exit 1; }
done
for file in "$driver" "$module" "$card"; do
  [ -e "$file" ] || { echo "smartcard-fixture: $file not found (scripts/install-deps.sh)" >&2; exit 1; }
done
card=$(cd "$(dirname "$card")" && pwd)/$(basename "$card")

rm -rf "$dir"
mkdir -p "$dir/run/pcscd" "$dir/reader.conf.d" "$dir/nss"
dir=$(cd "$dir" && pwd)
cd "$dir"
# Whatever fails from here on leaves no daemon behind.
trap 'status=$?; [ $status -eq 0 ] || stop_daemons; exit $status' EXIT

fail() { echo "smartcard-fixture: $*" >&2; for f in pcscd card; do [ -f $f.log ] && sed "s/^/  $f: /" $f.log >&2; done; exit 1; }
quiet() { "$@" >>setup.log 2>&1 || { sed 's/^/  /' setup.log >&2; fail "failed: $*"; }; }

# --- the card's certificate and key -----------------------------------------
# Person data layout: birth date DDMMYYYY, CPF (11), NIS (11), RG (15),
# RG issuer (6).
person_data="15031980""12345678909""10987654321""000000012345678""SSPSP "
cat > openssl.cnf <<CNF
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
[ person_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment
extendedKeyUsage = clientAuth, emailProtection
subjectAltName = otherName.1:2.16.76.1.3.1;UTF8:$person_data, otherName.2:2.16.76.1.3.6;UTF8:000000000000, email:fulano@exemplo.com.br
CNF
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
  -subj "/C=BR/O=ICP-Brasil/OU=Tolvex Testes/CN=AC TOLVEX CARTAO" -config openssl.cnf \
  -extensions ca_ext -sha256
quiet openssl req -new -newkey rsa:2048 -nodes -keyout person.key -out person.csr \
  -subj "/C=BR/O=ICP-Brasil/OU=Pessoa Fisica A3/CN=FULANO DE TAL:12345678909" -config openssl.cnf
quiet openssl x509 -req -in person.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out person.pem \
  -days 30 -sha256 -extfile openssl.cnf -extensions person_ext
openssl x509 -in person.pem -outform DER -out person.der
openssl dgst -sha256 -r person.der | cut -d' ' -f1 > person.thumbprint

# --- the NSS database behind the card: its password is the PIN --------------
printf '%s\n' "$pin" > pin
printf 'p12\n' > p12.pass
quiet openssl pkcs12 -export -in person.pem -inkey person.key -name "$nickname" \
  -passout file:p12.pass -out person.p12
quiet certutil -N -d sql:nss -f pin
quiet pk12util -i person.p12 -d sql:nss -k pin -w p12.pass
rm -f ca.key ca.srl person.key person.csr person.p12 p12.pass

# --- pcscd with vpcd as its reader, on a free pair of loopback ports ---------
# vpcd offers two readers, on the port and the next one.
port=$(python3 "$scripts/free-port-pair.py")
[ -n "$port" ] || fail "no free pair of loopback ports"
cat > reader.conf.d/vpcd <<CONF
FRIENDLYNAME "Tolvex Virtual PCD"
DEVICENAME   /dev/null:$port
LIBPATH      $driver
CHANNELID    $port
CONF

unshare -m sh -c 'mount --bind "$1" /run && exec pcscd -f -x -c "$2"' pcscd "$dir/run" \
  "$dir/reader.conf.d" </dev/null >pcscd.log 2>&1 &
echo $! > pcscd.pid
for _ in $(seq 100); do
  [ -S run/pcscd/pcscd.comm ] && break
  running "$(cat pcscd.pid)" || fail "pcscd ended"
  sleep 0.05
done
[ -S run/pcscd/pcscd.comm ] || fail "pcscd made no socket"

"$card" "$dir/nss" "$nickname" "$port" "$dir/card.state" </dev/null >card.log 2>&1 &
echo $! > card.pid
for _ in $(seq 200); do
  grep -q inserted=1 card.state 2>/dev/null && break
  running "$(cat card.pid)" || fail "the card ended"
  sleep 0.05
done
grep -q inserted=1 card.state 2>/dev/null || fail "the card did not reach its reader"

cat > env.sh <<ENV
export PCSCLITE_CSOCK_NAME='$dir/run/pcscd/pcscd.comm'
export TOLVEX_PKCS11_MODULES='$module'
ENV
