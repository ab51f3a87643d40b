#!/usr/bin/env bash
# The PKCS#11 signing benchmark on a private SoftHSM token: 500 RSA-2048
# signatures in a plain loop over the module against the agent signing the
# same batch through real frames; then the module loads of each kind of
# request, counted by OpenSC's pkcs11-spy.
# Usage: scripts/bench-pkcs11.sh [BUILD_DIR]   (default build/linux)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
bench=$build/bin/tolvex_bench_pkcs11
agent=$build/bin/tolvex_agent
[ -x "$bench" ] && [ -x "$agent" ] || { echo "bench-pkcs11: build $bench and $agent first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/scripts/softhsm-fixture.sh" "$work/token" >/dev/null
export SOFTHSM2_CONF=$work/token/softhsm2.conf
"$bench" --agent "$agent" --module "${SOFTHSM_MODULE:-/usr/lib/softhsm/libsofthsm2.so}" \
  --thumbprint "$(cat "$work/token/person.thumbprint")" --pin "$(cat "$work/token/pin")" \
  --items 500 --rounds "${ROUNDS:-5}" \
  --spy "${PKCS11_SPY:-/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so}"
