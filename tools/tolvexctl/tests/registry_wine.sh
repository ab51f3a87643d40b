#!/usr/bin/env bash
# Registers the host with the Windows build of tolvexctl and checks, with
# Wine's reg.exe, that every browser's key holds the manifest path as its
# default value, that the manifest is right, and that uninstall removes both.
# Expects a warm wineserver (run inside scripts/with-wine.sh).
set -euo pipefail
ctl=$1
name=br.com.tolvex.agent.regtest
agent='C:\tolvex\tolvex_agent.exe'
fail() { echo "FAIL: $*" >&2; exit 1; }

keys=(
  'HKCU\Software\Google\Chrome\NativeMessagingHosts'
  'HKCU\Software\Chromium\NativeMessagingHosts'
  'HKCU\Software\Microsoft\Edge\NativeMessagingHosts'
  'HKCU\Software\Mozilla\NativeMessagingHosts'
)

wine "$ctl" install --user --name "$name" --agent "$agent" \
  --browser chrome,chromium,edge,firefox --firefox-id teste@tolvex.com.br </dev/null >/dev/null

for key in "${keys[@]}"; do
  out=$(wine reg query "$key\\$name" /ve 2>/dev/null | tr -d '\r') || fail "no key $key\\$name"
  manifest=$(printf '%s\n' "$out" | sed -n 's/.*REG_SZ[[:space:]]*//p' | head -n1)
  [ -n "$manifest" ] || fail "no default value in $key\\$name: $out"
  unix=$(winepath -u "$manifest" 2>/dev/null)
  [ -f "$unix" ] || fail "manifest $manifest ($unix) missing"
  python3 - "$unix" "$name" "$key" <<'PY' || fail "bad manifest $manifest"
import json, sys
m = json.load(open(sys.argv[1], encoding="utf-8"))
assert m["name"] == sys.argv[2] and m["type"] == "stdio", m
assert m["path"] == "C:\\tolvex\\tolvex_agent.exe", m["path"]
if "Mozilla" in sys.argv[3]:
    assert m["allowed_extensions"] == ["teste@tolvex.com.br"], m
else:
    assert m["allowed_origins"] == ["chrome-extension://ngdffiogcclincbckcnpmknjmklpfnkh/"], m
PY
  manifests+=("$unix")
done

wine "$ctl" uninstall --user --name "$name" </dev/null >/dev/null
for key in "${keys[@]}"; do
  if wine reg query "$key\\$name" /ve >/dev/null 2>&1; then fail "$key\\$name still there"; fi
done
for m in "${manifests[@]}"; do [ ! -e "$m" ] || fail "$m still there"; done
echo "registry: ok"
