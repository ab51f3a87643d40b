#!/usr/bin/env bash
# make demo: the agent end to end on a SoftHSM token, from a fresh clone.
# Installs only the packages it needs (install-deps.sh demo), builds only the
# agent and tolvexctl, builds a token with two ICP-Brasil-style
# certificates, lists them with tolvexctl, signs a document with each key,
# checks the signatures with openssl and tries a wrong PIN. It prints a few
# lines of progress; everything else goes to the log it names.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
work=${TOLVEX_DEMO_DIR:-$root/build/demo}
# Its own build: no tests, no debug information, -O1; half the compile
# time of build/linux, and nothing of it changes under `make build`.
build=$root/build/demo/build
ctl=$build/bin/tolvexctl
log=$work/demo.log
mkdir -p "$work"
: > "$log"
start=$(date +%s)

say() { printf 'demo: %s\n' "$*"; }
since() { echo "$(( $(date +%s) - ${1:-$start} )) s"; }
# A step whose output only the log needs; on failure, the log's last lines.
quiet() {
  local what=$1
  shift
  printf '\n== %s\n' "$what" >> "$log"
  if ! "$@" >> "$log" 2>&1; then
    say "FAILED: $what. The end of $log:"
    tail -n 30 "$log" | sed 's/^/  /'
    exit 1
  fi
}

say "the full log is $log"

t=$(date +%s)
say "[1/4] Debian packages for the build and the token (scripts/install-deps.sh demo)"
quiet "install-deps demo" bash "$root/scripts/install-deps.sh" demo
if installed=$(grep -m1 '^install-deps: installing ' "$log"); then
  say "      installed ${installed#install-deps: installing } in $(since "$t")"
else
  say "      all were there already"
fi

t=$(date +%s)
say "[2/4] building the agent and tolvexctl in build/demo/build"
quiet "cmake configure" cmake --preset demo
quiet "cmake build" cmake --build --preset demo --target tolvex_agent tolvexctl -j"$(nproc)"
say "      built in $(since "$t")"

say "[3/4] a SoftHSM token with two ICP-Brasil-style certificates in ${work#"$root"/}/token"
quiet "softhsm-fixture" "$root/scripts/softhsm-fixture.sh" "$work/token"
# shellcheck source=/dev/null
. "$work/token/env.sh"
unset TOLVEX_ALLOWED_ORIGINS TOLVEX_AGENT_CONFIG

say "[4/4] tolvexctl starts the agent as a browser does: tolvexctl certificados"
"$ctl" certificados 2>&1 | sed 's/^./      &/'

printf 'Contrato de demonstração, assinado em %s.\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" \
  > "$work/documento.txt"

# ECDSA signatures come as r||s; openssl wants the DER SEQUENCE of two
# INTEGERs (short lengths: enough for P-256).
raw_to_der() {
  local hex half r s body
  hex=$(od -An -v -tx1 "$1" | tr -d ' \n')
  half=$(( ${#hex} / 2 ))
  r=${hex:0:half}
  s=${hex:half}
  integer() {
    local v=$1
    while [ ${#v} -gt 2 ] && [ "${v:0:2}" = 00 ]; do v=${v:2}; done
    if [ $(( 16#${v:0:2} )) -ge 128 ]; then v=00$v; fi
    printf '02%02x%s' $(( ${#v} / 2 )) "$v"
  }
  body=$(integer "$r")$(integer "$s")
  printf '%b' "$(printf '30%02x%s' $(( ${#body} / 2 )) "$body" | sed 's/../\\x&/g')" > "$2"
}

failed=0
for who in person company; do
  thumb=$(cat "$work/token/$who.thumbprint")
  printf '\n== sign (%s)\n' "$who" >> "$log"
  if ! sig=$("$ctl" assinar --thumbprint "$thumb" --data-file "$work/documento.txt" \
               --digest sha256 --pin-stdin < "$work/token/pin" 2>> "$log"); then
    say "FAILED: tolvexctl assinar ($who); see $log"
    exit 1
  fi
  printf '%s\n' "$sig" >> "$log"
  printf '%s' "$sig" | base64 -d > "$work/$who.sig"
  kind="RSA 2048, PKCS#1 v1.5"
  if [ "$who" = company ]; then
    kind="ECDSA P-256"
    raw_to_der "$work/$who.sig" "$work/$who.sig.der"
    mv "$work/$who.sig.der" "$work/$who.sig"
  fi
  if openssl dgst -sha256 -verify "$work/token/$who.pub.pem" -signature "$work/$who.sig" \
       "$work/documento.txt" >> "$log" 2>&1; then
    say "      signed documento.txt with the $who's key ($kind): openssl verifies it"
  else
    say "      the $who's signature ($kind) does NOT verify"
    failed=1
  fi
done

if answer=$(echo 000000 | "$ctl" assinar --thumbprint "$(cat "$work/token/person.thumbprint")" \
              --data-file "$work/documento.txt" --pin-stdin 2>&1); then
  say "      a wrong PIN was accepted"
  failed=1
else
  say "      a wrong PIN is refused: ${answer#tolvexctl: }"
fi

if [ "$failed" -ne 0 ]; then
  say "FAILED (see $log)"
  exit 1
fi
say "proved in $(since): the agent built from this clone lists the certificates of a"
say "  PKCS#11 token (SoftHSM) with their CPF and CNPJ, signs with the RSA and the EC"
say "  key on it after the PIN, openssl verifies both signatures against the"
say "  certificates, and a wrong PIN is refused. Files: $work"
