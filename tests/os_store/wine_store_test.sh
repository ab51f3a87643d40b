#!/usr/bin/env bash
# The Windows agent's real store backend under Wine: a private prefix is
# created, its MY store seeded with keyed RSA certificates by our
# tolvex_store_seed.exe, and the agent driven over frames by the Linux test
# binary integration_store_wine, which verifies the signatures with OpenSSL.
#
#   tests/os_store/wine_store_test.sh [WINDOWS_BIN] [LINUX_BIN]
#
# WINDOWS_BIN holds tolvex_agent.exe and tolvex_store_seed.exe (default
# $TOLVEX_WINDOWS_BIN, else build/windows/bin); LINUX_BIN holds
# integration_store_wine (default build/linux/bin).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win_bin=$(cd "${1:-${TOLVEX_WINDOWS_BIN:-$root/build/windows/bin}}" && pwd)
linux_bin=$(cd "${2:-$root/build/linux/bin}" && pwd)
for f in "$win_bin/tolvex_agent.exe" "$win_bin/tolvex_store_seed.exe" \
         "$linux_bin/integration_store_wine"; do
  [[ -e $f ]] || { echo "wine_store_test: missing $f" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-wine-store.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A prefix of our own: the test writes to its MY store.
export WINEPREFIX=$work/prefix
export TOLVEX_WINE_STORE_PREFIX=$WINEPREFIX
export TOLVEX_WINDOWS_BIN=$win_bin
export TOLVEX_AGENT_COMMAND="wine $win_bin/tolvex_agent.exe"
export TOLVEX_AGENT_PLATFORM=windows
"$root/scripts/with-wine.sh" "$linux_bin/integration_store_wine" --gtest_brief=1
