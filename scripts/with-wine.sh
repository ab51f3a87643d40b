#!/usr/bin/env bash
# Runs a command with a private Wine prefix and one warm wineserver, and stops
# the server afterwards so no process outlives the run. The server is started
# first with its output on /dev/null: a server spawned by a captured command
# would inherit that command's pipes and keep them open.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/windows/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$WINEPREFIX"
wineserver -p120 >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineboot -i >/dev/null 2>&1
"$@"
