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

# axe-core from npm, at the version the lockfile pins, kept in the build
# folder: installed again only when the lockfile changes.
npm_dir=$root/build/e2e-npm
bash "$root/scripts/npm-tools.sh" "$root/tests/e2e" "$npm_dir" node_modules/axe-core/axe.min.js ||
  { echo "e2e: axe-core could not be installed" >&2; exit 1; }
export TOLVEX_AXE=$npm_dir/node_modules/axe-core/axe.min.js

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-e2e.XXXXXX")
cleanup() {
  if [ "${TOLVEX_E2E_KEEP:-}" = 1 ]; then echo "e2e: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

# The development copy of the extension: the shipped one serves no page on
# this computer.
extension=$work/extension
node "$root/browser/dev/make-extension.mjs" "$extension"
# The same copy with Chromium's structured-clone messaging, where a String
# object reaches the extension as an object.
cloning=$work/extension-structured-clone
cp -r "$extension" "$cloning"
node -e 'const fs = require("fs"); const f = process.argv[1]; const m = JSON.parse(fs.readFileSync(f));
  m.message_serialization = "structured_clone"; fs.writeFileSync(f, JSON.stringify(m, null, 2));' "$cloning/manifest.json"

# Chromium writes under HOME even with --user-data-dir.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache \
       XDG_DATA_HOME=$work/home/.local/share XDG_RUNTIME_DIR=$work/home/run
mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

"$root/scripts/softhsm-fixture.sh" "$work/token"
# shellcheck source=/dev/null
. "$work/token/env.sh"
# A third certificate, self-signed, whose name begins with U+202E (right-to-
# left override): "LAT ED ONALUF" would read as "FULANO DE TAL".
(
  cd "$work/token"
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out bidi.key 2>/dev/null
  openssl req -x509 -new -key bidi.key -out bidi.pem -days 365 -utf8 \
    -subj "/C=BR/O=ICP-Brasil/CN=$(printf '\342\200\256')LAT ED ONALUF:12345678909" \
    -addext "basicConstraints=critical,CA:FALSE" -addext "keyUsage=critical,digitalSignature" 2>/dev/null
  openssl x509 -in bidi.pem -outform DER -out bidi.der
  openssl dgst -sha256 -r bidi.der | cut -d' ' -f1 > bidi.thumbprint
  openssl pkcs8 -topk8 -nocrypt -in bidi.key -out bidi.p8
  softhsm2-util --import bidi.p8 --token tolvex-demo --label bidi --id 03 --pin "$(cat pin)" >/dev/null
  pkcs11-tool --module "$TOLVEX_PKCS11_MODULES" --token-label tolvex-demo --login --pin "$(cat pin)" \
    --write-object bidi.der --type cert --id 03 --label bidi >/dev/null 2>&1
  rm -f bidi.key bidi.p8
)
# Each agent the browsers start logs here: the tests count agents and the
# commands they were given.
printf '{"log_file":"%s"}\n' "$work/agent.log" > "$work/agent.json"
export TOLVEX_AGENT_CONFIG=$work/agent.json
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
    "bidi": {"thumbprint": thumb("bidi")},
    "company": {"thumbprint": thumb("company"), "pki": {
        "kind": "pj", "cpf": None, "cnpj": "11222333000181",
        "responsible_name": "BELTRANA DE SOUZA", "responsible_cpf": "98765432100",
        "responsible_birth_date": "1975-02-02", "company_name": "EMPRESA EXEMPLO LTDA"}},
}
json.dump(fixture, open(f"{work}/fixture.json", "w"))
PY

# TOLVEX_E2E_BROWSERS picks some of: chromium (the shipped messaging),
# cloning (Chromium with structured-clone messaging, the attacks only),
# firefox, sample (the sample site in Chromium, its .p7s checked by OpenSSL).
browsers=" ${TOLVEX_E2E_BROWSERS:-chromium cloning firefox sample} "
status=0
if [[ $browsers == *" chromium "* ]]; then
  echo "e2e: headless Chromium, extension $extension_id, agent $agent"
  python3 "$root/tests/e2e/cdp_driver.py" --work "$work" --www "$www" --extension "$extension" \
    --udd "$udd" --ctl "$ctl" --agent "$agent" --refusing-agent "$work/refusing-agent.sh" \
    --fixture "$work/fixture.json" --extension-id "$extension_id" || status=1
fi
if [[ $browsers == *" cloning "* ]]; then
  echo "e2e: headless Chromium, the same extension with structured-clone messaging: the attacks"
  mkdir -p "$work/udd-cloning"
  python3 "$root/tests/e2e/cdp_driver.py" --work "$work" --www "$www" --extension "$cloning" \
    --udd "$work/udd-cloning" --ctl "$ctl" --agent "$agent" --refusing-agent "$work/refusing-agent.sh" \
    --fixture "$work/fixture.json" --extension-id "$extension_id" --phases probe,confusion || status=1
fi
if [[ $browsers == *" firefox "* ]]; then
  echo "e2e: headless Firefox ESR, add-on $addon_id, agent $agent"
  python3 "$root/tests/e2e/bidi_driver.py" --work "$work" --www "$www" --extension "$extension" \
    --ctl "$ctl" --agent "$agent" --refusing-agent "$work/refusing-agent.sh" \
    --fixture "$work/fixture.json" --addon-id "$addon_id" || status=1
fi
if [[ $browsers == *" sample "* ]]; then
  # The sample site as its README runs it: its dependencies from npm at the
  # versions its lockfile pins (installed again only when that changes),
  # beside a copy of the page client, which its package.json names as
  # ../../js.
  sample_root=$root/build/e2e-sample
  sample=$sample_root/examples/sign-file
  sample_lock=$root/browser/examples/sign-file/package-lock.json
  fresh=
  if [ ! -d "$sample/node_modules/pkijs" ] || ! cmp -s "$sample_lock" "$sample/package-lock.json"; then
    rm -rf "$sample_root"
    fresh=1
  fi
  mkdir -p "$sample_root/js" "$sample"
  find "$sample_root/js" "$sample" -mindepth 1 -maxdepth 1 ! -name node_modules -exec rm -rf {} +
  tar -C "$root/browser/js" --exclude=node_modules -cf - . | tar -C "$sample_root/js" -xf -
  tar -C "$root/browser/examples/sign-file" --exclude=node_modules -cf - . | tar -C "$sample" -xf -
  if [ -n "$fresh" ]; then
    (cd "$sample" && npm ci --ignore-scripts --no-audit --no-fund --no-update-notifier --loglevel=error) >&2 ||
      { echo "e2e: npm could not install the sample's packages" >&2; exit 1; }
  fi
  if ! sample_out=$(cd "$sample" && node --test test/ 2>&1); then
    printf '%s\n' "$sample_out" >&2
    echo "e2e: the sample's CAdES tests failed" >&2
    status=1
  else
    echo "e2e: the sample's CAdES assembly: $(printf '%s\n' "$sample_out" | grep -E '^# pass' | sed 's/# pass //') tests passed under node"
  fi
  echo "e2e: the sample site in headless Chromium, signing on the SoftHSM token"
  mkdir -p "$work/udd-sample" "$work/sample"
  python3 "$root/tests/e2e/sample_driver.py" --work "$work/sample" --extension "$extension" \
    --udd "$work/udd-sample" --ctl "$ctl" --agent "$agent" --fixture "$work/fixture.json" \
    --extension-id "$extension_id" --sample "$sample" --token "$work/token" || status=1
fi
exit $status
