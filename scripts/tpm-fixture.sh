#!/usr/bin/env bash
# A TPM-backed PKCS#11 token for the tests: a software TPM (swtpm) on free
# loopback ports, a resource manager (tpm2-abrmd) on a private D-Bus session
# bus, and a tpm2-pkcs11 store holding one token with an RSA-2048 and a P-256
# key, each with a certificate from a throw-away CA.
#
# Usage: scripts/tpm-fixture.sh start DIR   (DIR is emptied first)
#        scripts/tpm-fixture.sh stop DIR
#
# After start, DIR holds env.sh (the variables the module and the tools
# need), pin (the user PIN), rsa.der/ec.der and their .thumbprint files, the
# daemons' logs and their PID files. The daemons write only to files and read
# nothing, so a caller that captures this script's output is not kept waiting
# by them; stop ends them by PID.
set -euo pipefail
scripts=$(cd "$(dirname "$0")" && pwd)

action=${1:?usage: tpm-fixture.sh start|stop DIR}
dir=${2:?usage: tpm-fixture.sh start|stop DIR}
label=tolvex-tpm
pin=123456
so_pin=87654321
python=/usr/bin/python3

stop_daemons() {
  local name pid
  for name in abrmd dbus swtpm; do
    [ -f "$dir/$name.pid" ] || continue
    pid=$(cat "$dir/$name.pid")
    if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/$name.pid"
  done
}

if [ "$action" = stop ]; then
  [ -d "$dir" ] && stop_daemons
  exit 0
fi
[ "$action" = start ] || { echo "tpm-fixture: unknown action $action" >&2; exit 2; }

for tool in swtpm tpm2-abrmd dbus-daemon tpm2_ptool pkcs11-tool tpm2_getrandom; do
  command -v "$tool" >/dev/null || { echo "tpm-fixture: $tool not found (scripts/install-deps.sh)" >&2; exit 1; }
done
module=/usr/lib/x86_64-linux-gnu/pkcs11/libtpm2_pkcs11.so
[ -f "$module" ] || { echo "tpm-fixture: $module not found (libtpm2-pkcs11-1)" >&2; exit 1; }

rm -rf "$dir"
mkdir -p "$dir/state" "$dir/store"
dir=$(cd "$dir" && pwd)
cd "$dir"
# Whatever fails from here on leaves no daemon behind.
trap 'status=$?; [ $status -eq 0 ] || stop_daemons; exit $status' EXIT

fail() { echo "tpm-fixture: $*" >&2; for f in swtpm abrmd dbus; do [ -f $f.log ] && sed "s/^/  $f: /" $f.log >&2; done; exit 1; }

# swtpm's TCTI finds the control channel at the server port + 1.
port=$($python "$scripts/free-port-pair.py")
[ -n "$port" ] || fail "no free pair of loopback ports"

swtpm socket --tpm2 --tpmstate dir="$dir/state" \
  --server type=tcp,port=$port,bindaddr=127.0.0.1 \
  --ctrl type=tcp,port=$((port + 1)),bindaddr=127.0.0.1 \
  --flags not-need-init,startup-clear </dev/null >swtpm.log 2>&1 &
echo $! > swtpm.pid
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/$((port + 1))) 2>/dev/null && break
  sleep 0.05
done

dbus-daemon --session --fork --print-address=3 --print-pid=4 \
  3>bus.address 4>dbus.pid </dev/null >dbus.log 2>&1 || fail "dbus-daemon did not start"
export DBUS_SESSION_BUS_ADDRESS=$(head -n1 bus.address)

tpm2-abrmd --session --allow-root --tcti=swtpm:host=127.0.0.1,port=$port \
  </dev/null >abrmd.log 2>&1 &
echo $! > abrmd.pid

export TPM2TOOLS_TCTI=tabrmd:bus_type=session
export TPM2_PKCS11_TCTI=tabrmd:bus_type=session
export TPM2_PKCS11_STORE=$dir/store
ready=0
for _ in $(seq 100); do
  if tpm2_getrandom 4 >/dev/null 2>&1; then ready=1; break; fi
  kill -0 "$(cat abrmd.pid)" 2>/dev/null || break
  sleep 0.05
done
[ $ready = 1 ] || fail "tpm2-abrmd did not come up"

quiet() { "$@" >>setup.log 2>&1 || { sed 's/^/  /' setup.log >&2; fail "failed: $*"; }; }
ptool() { quiet $python /usr/bin/tpm2_ptool "$@" --path "$dir/store"; }
ptool init
ptool addtoken --pid=1 --sopin=$so_pin --userpin=$pin --label=$label
# tpm2_ptool stores the id as the ASCII bytes of what it is given.
ptool addkey --label=$label --userpin=$pin --algorithm=rsa2048 --id=rsa --key-label=rsa
ptool addkey --label=$label --userpin=$pin --algorithm=ecc256 --id=ec --key-label=ec

quiet openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 30 \
  -subj "/O=Tolvex Testes/CN=AC Tolvex TPM"
for kind in rsa ec; do
  quiet pkcs11-tool --module "$module" --token-label $label --read-object --type pubkey \
    --label $kind -o $kind.pub.der
  quiet openssl pkey -pubin -inform DER -in $kind.pub.der -out $kind.pub.pem
  quiet openssl x509 -new -force_pubkey $kind.pub.pem -subj "/O=Tolvex Testes/CN=Titular TPM $kind" \
    -CA ca.pem -CAkey ca.key -days 30 -out $kind.pem
  ptool addcert --label=$label --key-label=$kind $kind.pem
  openssl x509 -in $kind.pem -outform DER -out $kind.der
  openssl dgst -sha256 -r $kind.der | cut -d' ' -f1 > $kind.thumbprint
done
rm -f ca.key
printf '%s\n' "$pin" > pin

cat > env.sh <<ENV
export DBUS_SESSION_BUS_ADDRESS='$DBUS_SESSION_BUS_ADDRESS'
export TPM2_PKCS11_TCTI=tabrmd:bus_type=session
export TPM2TOOLS_TCTI=tabrmd:bus_type=session
export TPM2_PKCS11_STORE='$dir/store'
export TOLVEX_PKCS11_MODULES='$module'
ENV
