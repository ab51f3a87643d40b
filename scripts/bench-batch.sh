#!/usr/bin/env bash
# One sign request of 500 data items filling the 1 MiB frame limit, through the
# test build of the agent against the emulated store (EC P-256 key, so the
# cost is the agent's own: reading, decoding, digesting, checking each
# signature against the certificate and answering). tolvex_bench_batch
# sends it and prints the median wall clock and user CPU time of ROUNDS runs
# and the agent's peak memory.
# Usage: scripts/bench-batch.sh [BUILD_DIR]   (default build/linux)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
agent=$build/bin/tolvex_test_agent
bench=$build/bin/tolvex_bench_batch
[ -x "$agent" ] && [ -x "$bench" ] || { echo "bench-batch: build $agent and $bench first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
  -subj "/CN=Bench" -keyout "$work/key.pem" -outform DER -out "$work/cert.der" 2>/dev/null
cat > "$work/store.json" <<JSON
{"certificates":[{"der":"cert.der",
  "key_provider":{"provider":"Microsoft Software Key Storage Provider"},
  "key":{"pem":"key.pem","api":"cng"}}]}
JSON

# ROUNDS runs (default 7), each with a fresh agent: on a shared machine one
# run says little.
TOLVEX_EMULATED_STORE=$work/store.json TOLVEX_PKCS11_MODULES= \
  "$bench" --agent "$agent" --cert "$work/cert.der" --items 500 --rounds "${ROUNDS:-7}"
