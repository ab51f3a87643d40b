#!/usr/bin/env bash
# Every benchmark, against the Linux build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
echo "== sign: one 500-item, 1 MiB batch request through the agent"
"$root/scripts/bench-batch.sh" "$build"
echo "== list_certificates over 1,000 emulated store certificates"
"$build/bin/bench_store"
echo "== PKCS#11: 500 RSA-2048 signatures on SoftHSM, plain loop vs agent"
"$root/scripts/bench-pkcs11.sh" "$build"
