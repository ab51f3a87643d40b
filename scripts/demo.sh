#!/usr/bin/env bash
# The agent end to end on a SoftHSM token: builds a token with two
# ICP-Brasil-style certificates, lists it with tolvexctl, signs a document
# with each key and checks the signatures with openssl.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${TOLVEX_BIN:-$root/build/linux/bin}
work=${TOLVEX_DEMO_DIR:-$root/build/demo}
ctl=$bin/tolvexctl
for f in "$ctl" "$bin/tolvex_agent"; do
  [ -x "$f" ] || { echo "demo: $f is missing; run 'make build' first" >&2; exit 1; }
done

step() { printf '\n== %s\n' "$*"; }

step "SoftHSM token with ICP-Brasil-style certificates in $work/token"
"$root/scripts/softhsm-fixture.sh" "$work/token"
# shellcheck source=/dev/null
. "$work/token/env.sh"
unset TOLVEX_ALLOWED_ORIGINS TOLVEX_AGENT_CONFIG

step "tolvexctl ping"
"$ctl" ping
step "tolvexctl tokens"
"$ctl" tokens
step "tolvexctl certs"
"$ctl" certs

printf 'Contrato de demonstração, assinado em %s.\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" \
  > "$work/documento.txt"

# ECDSA signatures come as r||s; openssl wants the DER SEQUENCE of two INTEGERs.
raw_to_der() {
  python3 - "$1" "$2" <<'PY'
import sys
raw = open(sys.argv[1], "rb").read()
half = len(raw) // 2
def integer(b):
    b = b.lstrip(b"\0") or b"\0"
    if b[0] & 0x80:
        b = b"\0" + b
    return b"\x02" + bytes([len(b)]) + b
body = integer(raw[:half]) + integer(raw[half:])
open(sys.argv[2], "wb").write(b"\x30" + bytes([len(body)]) + body)
PY
}

failed=0
for who in person company; do
  thumb=$(cat "$work/token/$who.thumbprint")
  step "tolvexctl sign --thumbprint $thumb --data-file documento.txt --pin-stdin ($who)"
  sig=$("$ctl" sign --thumbprint "$thumb" --data-file "$work/documento.txt" --digest SHA-256 \
          --pin-stdin < "$work/token/pin")
  echo "$sig"
  printf '%s' "$sig" | base64 -d > "$work/$who.sig"
  if [ "$who" = company ]; then
    raw_to_der "$work/$who.sig" "$work/$who.sig.der"
    mv "$work/$who.sig.der" "$work/$who.sig"
  fi
  printf 'openssl: '
  if ! openssl dgst -sha256 -verify "$work/token/$who.pub.pem" -signature "$work/$who.sig" \
         "$work/documento.txt"; then
    failed=1
  fi
done

step "a wrong PIN is reported with the agent's code and message"
if echo 000000 | "$ctl" sign --thumbprint "$(cat "$work/token/person.thumbprint")" \
     --data-file "$work/documento.txt" --pin-stdin; then
  echo "demo: a wrong PIN was accepted" >&2
  failed=1
fi

if [ "$failed" -ne 0 ]; then
  echo "demo: FAILED" >&2
  exit 1
fi
printf '\ndemo: ok (token, certificates and signatures in %s)\n' "$work"
