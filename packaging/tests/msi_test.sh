#!/usr/bin/env bash
# The MSIs installed with Wine's msiexec in a fresh Wine prefix of this test:
#   msi_test.sh USER.msi MACHINE.msi VERSION WXS MANIFEST_DIR BIN_DIR
# Per user: a registration left by tolvexctl, an older build, the upgrade to
# this one (keys, manifests, the manifests' agent answering a ping), tolvexctl
# beside the installation, the refused downgrade, and an uninstall that leaves
# nothing. Per machine: the same keys under HKLM, ping, uninstall.
# Wine calls are few on purpose: each costs a process start under Wine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${MSI_TEST_TMP:-}" ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  # with-wine.sh starts (and stops) a wineserver of this prefix alone.
  MSI_TEST_TMP=$tmp WINEPREFIX=$tmp/prefix "$here/../../scripts/with-wine.sh" bash "$0" "$@"
  exit
fi
user_msi=$1 machine_msi=$2 version=$3 wxs=$4 manifests=$5 bin=$6
tmp=$MSI_TEST_TMP
host=br.com.tolvex.agent
fail() { echo "FAIL: $*" >&2; exit 1; }
t0=$(date +%s%N)
step() { echo "msi: $1 at $(( ($(date +%s%N) - t0) / 1000000 )) ms" >&2; }

# The Linux path of a C: path of this prefix (winepath costs a Wine start).
unix() { local p=${1//\\//}; echo "$WINEPREFIX/drive_c/${p#[Cc]:/}"; }
# reg KEY [NAME]: the value's data ("/ve": the default), empty when absent.
reg() {
  local sel=(/ve)
  [ $# -gt 1 ] && sel=(/v "$2")
  wine reg query "$1" "${sel[@]}" 2>/dev/null | tr -d '\r' |
    sed -n 's/.*REG_SZ[[:space:]]*//p' | head -n1
}
msiexec() { local rc=0 s=$(date +%s%N); wine msiexec "$@" /qn >/dev/null 2>&1 || rc=$?; echo "msiexec $1 $(( ($(date +%s%N) - s) / 1000000 )) ms" >&2; echo "$rc"; }
browser_keys() {
  for k in 'Google\Chrome' 'Chromium' 'Microsoft\Edge' 'Mozilla'; do
    echo "$1\\Software\\$k\\NativeMessagingHosts\\$host"
  done
}

# Every browser key names the installation's manifest of its form. $1 = HKCU
# or HKLM, $2 = the installation folder.
check_keys() {
  local key want
  while read -r key; do
    want="$2$host.chrome.json"
    [[ $key == *Mozilla* ]] && want="$2$host.firefox.json"
    [ "$(reg "$key")" = "$want" ] || fail "$key does not name $want"
  done < <(browser_keys "$1")
}

# The installation under $1 (HKCU or HKLM) is this version, its keys lead to
# its manifests, which let in what tolvexctl lets in by default and name an
# agent that answers a ping with this version. Sets INSTALLED to its folder.
check_installed() {
  local root=$1 dir form agent
  dir=$(reg "$root\\Software\\TolvexSign" InstallDir)
  [ -n "$dir" ] || fail "$root: no installation folder recorded"
  [ "$(reg "$root\\Software\\TolvexSign" Version)" = "$version" ] || fail "$root: not version $version"
  check_keys "$root" "$dir"
  for form in chrome firefox; do
    agent=$(python3 - "$(unix "$dir$host.$form.json")" "$tmp/ref/$form/$host.json" <<'PY'
import json, sys
m, ref = (json.load(open(p, encoding="utf-8")) for p in sys.argv[1:])
for k in ("name", "type", "allowed_origins", "allowed_extensions"):
    assert m.get(k) == ref.get(k), (k, m.get(k), ref.get(k))
print(m["path"])
PY
) || fail "$form manifest differs from tolvexctl's"
    # A relative path is resolved against the manifest's folder.
    [ "$agent" = tolvex_agent.exe ] && [ -f "$(unix "$dir$agent")" ] ||
      fail "$form manifest names $agent, not the installed agent"
  done
  wine "$dir"tolvexctl.exe ping --json --agent "$dir"tolvex_agent.exe </dev/null |
    grep -q "\"agent_version\":\"$version\"" || fail "no pong with version $version"
  INSTALLED=$dir
}

check_gone() {
  local root=$1 dir=$2 key
  while read -r key; do
    ! wine reg query "$key" >/dev/null 2>&1 || fail "$key left after uninstall"
  done < <(browser_keys "$root")
  ! wine reg query "$root\\Software\\TolvexSign" >/dev/null 2>&1 || fail "$root\\Software\\TolvexSign left"
  [ ! -e "$(unix "$dir")" ] || fail "$dir left: $(ls -R "$(unix "$dir")")"
}

# An older build of the same package (wixl takes relative sources only).
old=$tmp/old.msi
mkdir "$tmp/src"
ln -s "$bin"/tolvex_agent.exe "$bin"/tolvexctl.exe "$manifests"/$host.*.json "$tmp/src/"
(cd "$tmp/src" && wixl -a x64 -D Scope=user -D Version=0.0.1 -D Host=$host \
  -D ProductCode="$(cat /proc/sys/kernel/random/uuid)" -D BinDir=. -D ManifestDir=. -o "$old" "$wxs")
# What tolvexctl writes by default, to compare the installed manifests with.
for form in chrome firefox; do
  wine "$bin/tolvexctl.exe" install --browser "${form/chrome/chromium}" --agent 'C:\x.exe' \
    --dir "Z:${tmp//\//\\}\\ref\\$form" </dev/null >/dev/null 2>&1 || fail "tolvexctl install --dir"
done
step "older MSI built"

# A registration by tolvexctl before any installation; the MSI takes its keys.
wine "$bin/tolvexctl.exe" install </dev/null >/dev/null
[ "$(msiexec /i "$old")" = 0 ] || fail "older MSI did not install"
[ "$(reg 'HKCU\Software\TolvexSign' Version)" = 0.0.1 ] || fail "older MSI not recorded"
step "older MSI installed"
[ "$(msiexec /i "$user_msi")" = 0 ] || fail "upgrade did not install"
step "upgrade installed"
check_installed HKCU
dir=$INSTALLED
step "keys, manifests, ping"

# Beside the installation tolvexctl leaves its keys alone: install is
# refused, uninstall removes only tolvexctl's own earlier manifests; another
# host name is free.
ctl="$dir"tolvexctl.exe
if out=$(wine "$ctl" install </dev/null 2>&1); then fail "tolvexctl install over the MSI succeeded"; fi
[[ $out == *"pertence ao Tolvex instalado em"* ]] || fail "tolvexctl install: $out"
wine "$ctl" uninstall </dev/null >/dev/null || fail "tolvexctl uninstall failed"
check_keys HKCU "$dir"
wine "$ctl" install --name br.com.tolvex.outro --browser chromium </dev/null >/dev/null
wine "$ctl" uninstall --name br.com.tolvex.outro --browser chromium </dev/null >/dev/null
step "tolvexctl beside the installation"

[ "$(msiexec /i "$old")" != 0 ] || fail "downgrade was not refused"
[ "$(reg 'HKCU\Software\TolvexSign' Version)" = "$version" ] || fail "downgrade changed the installation"
step "downgrade refused"
[ "$(msiexec /x "$user_msi")" = 0 ] || fail "uninstall failed"
check_gone HKCU "$dir"
step "uninstalled"

[ "$(msiexec /i "$machine_msi")" = 0 ] || fail "per-machine MSI did not install"
step "machine MSI installed"
check_installed HKLM
dir=$INSTALLED
if out=$(wine "$dir"tolvexctl.exe install --system </dev/null 2>&1); then
  fail "tolvexctl install --system over the per-machine MSI succeeded"
fi
[[ $out == *"HKLM pertence ao Tolvex"* ]] || fail "tolvexctl install --system: $out"
step "machine checked"
[ "$(msiexec /x "$machine_msi")" = 0 ] || fail "per-machine uninstall failed"
check_gone HKLM "$dir"
step "per-machine install, ping, uninstall"
echo "msi: ok"
