#!/usr/bin/env bash
# Browser end to end: headless Chromium and headless Firefox ESR with the
# sample extension, a page on 127.0.0.1 using the page client, and the agent
# on a SoftHSM token. The host manifest is written by tolvexctl into the fresh
# profile (Chromium) or the private HOME (Firefox). Exits non-zero when a
# check fails; every process it starts is ended before it exits.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=${TOLVEX_BIN:-$root/build/linux/bin}
agent=$bin/tolvex_agent
ctl=$bin/tolvexctl
extension_id=ngdffiogcclincbckcnpmknjmklpfnkh
addon_id=agente@tolvex.com.br
for f in "$agent" "$ctl" /usr/lib/chromium/chromium /usr/bin/firefox-esr; do
  [ -x "$f" ] || { echo "e2e: $f is missing (make build; apt-get install chromium firefox-esr)" >&2; exit 1; }
done

# The page client and the extension's origin check, without a browser.
if ! command -v node >/dev/null; then
  echo "e2e: node not found (apt-get install nodejs)" >&2
  exit 1
elif ! node_out=$(cd "$root/browser" && node --test tests/ 2>&1); then
  printf '%s\n' "$node_out" >&2
  echo "e2e: the page client tests failed" >&2
  exit 1
else
  echo "e2e: page client and extension logic: $(printf '%s\n' "$node_out" | grep -E '^# pass' | sed 's/# pass //') tests passed under node"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-e2e.XXXXXX")
cleanup() {
  if [ "${TOLVEX_E2E_KEEP:-}" = 1 ]; then echo "e2e: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

# The development copy of the extension: the shipped one serves no page on
# this computer.
extension=$work/extension
node "$root/browser/dev/make-extension.mjs" "$extension"

# Chromium writes under HOME even with --user-data-dir.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache \
       XDG_DATA_HOME=$work/home/.local/share XDG_RUNTIME_DIR=$work/home/run
mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset TOLVEX_AGENT_CONFIG

"$root/scripts/softhsm-fixture.sh" "$work/token"
# shellcheck source=/dev/null
. "$work/token/env.sh"
# The browser passes these on to the agent it starts; the agent checks that
# its caller is the sample extension (Chromium's origin, Firefox's add-on ID).
export TOLVEX_ALLOWED_ORIGINS="chrome-extension://$extension_id/, $addon_id"

udd=$work/udd
mkdir -p "$udd"

# The same agent, allowing only other extensions: it must refuse the caller.
cat > "$work/refusing-agent.sh" <<WRAP
#!/bin/sh
TOLVEX_ALLOWED_ORIGINS=chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/,outro@exemplo.com.br "$agent" "\$@"
status=\$?
echo \$status >> "$work/refused.status"
exit \$status
WRAP
chmod +x "$work/refusing-agent.sh"

www=$work/www
mkdir -p "$www"
cp "$root/tests/e2e/page/"* "$www/"
cp "$root/browser/js/tolvex.js" "$www/"

python3 - "$work" <<'PY'
import json, sys
work = sys.argv[1]
thumb = lambda n: open(f"{work}/token/{n}.thumbprint").read().strip()
fixture = {
    "tokenLabel": "tolvex-demo",
    "pin": open(f"{work}/token/pin").read().strip(),
    "person": {"thumbprint": thumb("person"), "cn": "FULANO DE TAL", "pki": {
        "kind": "pf", "cpf": "12345678909", "cnpj": None, "birth_date": "1980-03-15",
        "nis": "10987654321", "rg": "12345678", "rg_issuer": "SSPSP",
        "email": "fulano@exemplo.com.br", "company_name": None}},
    "company": {"thumbprint": thumb("company"), "pki": {
        "kind": "pj", "cpf": None, "cnpj": "11222333000181",
        "responsible_name": "BELTRANA DE SOUZA", "responsible_cpf": "98765432100",
        "responsible_birth_date": "1975-02-02", "company_name": "EMPRESA EXEMPLO LTDA"}},
}
json.dump(fixture, open(f"{work}/fixture.json", "w"))
PY

status=0
echo "e2e: headless Chromium, extension $extension_id, agent $agent"
python3 "$root/tests/e2e/cdp_driver.py" --work "$work" --www "$www" --extension "$extension" \
  --udd "$udd" --ctl "$ctl" --agent "$agent" --refusing-agent "$work/refusing-agent.sh" \
  --fixture "$work/fixture.json" --extension-id "$extension_id" || status=1
echo "e2e: headless Firefox ESR, add-on $addon_id, agent $agent"
python3 "$root/tests/e2e/bidi_driver.py" --work "$work" --www "$www" --extension "$extension" \
  --ctl "$ctl" --agent "$agent" --refusing-agent "$work/refusing-agent.sh" \
  --fixture "$work/fixture.json" --addon-id "$addon_id" || status=1
exit $status
