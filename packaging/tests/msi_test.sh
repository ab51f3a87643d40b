#!/usr/bin/env bash
# The MSIs installed with Wine's msiexec in a fresh Wine prefix of this test:
#   msi_test.sh USER.msi MACHINE.msi VERSION STAGE_DIR
# Per user: refused when forced to all users; a registration left by
# tolvexctl, an older build, the upgrade to this one (keys, manifests, the
# manifests' agent answering a ping, the Add/Remove Programs entry with the
# product name as Windows decodes it), tolvexctl beside the installation, the
# per-machine MSI refused beside it, another build of this version replacing
# the installed files, the refused downgrade, and an uninstall that leaves
# nothing. Per machine: the same keys under HKLM, ping, the per-user MSI
# refused beside it, uninstall.
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
user_msi=$1 machine_msi=$2 version=$3 stage=$4
wxs=$here/../msi/tolvex-agent.wxs
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

# arp_entry MSI: its Add/Remove Programs key as a .reg text, empty when
# absent. Wine keeps a per-user product's under HKLM, Windows under HKCU.
arp_entry() {
  local code root
  code=$(msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')
  for root in HKLM HKCU; do
    if wine reg export "$root\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code" \
         "Z:${tmp//\//\\}\\arp.reg" /y >/dev/null 2>&1; then
      iconv -f UTF-16 -t UTF-8 "$tmp/arp.reg" | tr -d '\r'
      return
    fi
  done
}
# The entry shows the product's name as Windows decodes it from the MSI's
# codepage, its links and folder. (Wine does not publish the icon.)
check_arp() {
  arp_entry "$1" >"$tmp/arp"
  python3 - "$tmp/arp" "$2" <<'PY' || fail "Add/Remove Programs: $(cat "$tmp/arp")"
import re, sys
values = dict(re.findall(r'^"(\w+)"="(.*)"$', open(sys.argv[1], encoding="utf-8").read(), re.M))
want = {"DisplayName": "Tolvex — agente de assinatura digital", "Publisher": "Tolvex",
        "HelpLink": "https://", "URLInfoAbout": "https://",
        "InstallLocation": sys.argv[2].replace("\\", "\\\\")}
for key, value in want.items():
    assert values.get(key, "").startswith(value), (key, values.get(key))
PY
}

# An older version of the same package (wixl takes relative sources only).
old=$tmp/old.msi
(cd "$stage" && wixl -a x64 -D Scope=user -D Version=0.0.1 -D Host=$host -D HelpUrl=h -D AboutUrl=a \
  -D ProductCode="$(cat /proc/sys/kernel/random/uuid)" -D SourceDir=. -o "$old" "$wxs")
# Another build of this version: another product and package code.
rebuild=$tmp/rebuild.msi
cp "$user_msi" "$rebuild"
summary() { msiinfo suminfo "$1" | sed -n "s/^$2: //p"; }
msibuild "$rebuild" -q "UPDATE \`Property\` SET \`Value\` = '{$(cat /proc/sys/kernel/random/uuid)}' \
  WHERE \`Property\` = 'ProductCode'" -s "$(summary "$user_msi" Subject)" \
  "$(summary "$user_msi" Author)" "$(summary "$user_msi" Template)" \
  "{$(cat /proc/sys/kernel/random/uuid)}"
# What tolvexctl writes by default, to compare the installed manifests with.
for form in chrome firefox; do
  wine "$stage/tolvexctl.exe" install --browser "${form/chrome/chromium}" --agent 'C:\x.exe' \
    --dir "Z:${tmp//\//\\}\\ref\\$form" </dev/null >/dev/null 2>&1 || fail "tolvexctl install --dir"
done
step "older MSI built"

# Forced to all users, the per-user MSI is refused.
[ "$(msiexec /i "$user_msi" ALLUSERS=1)" != 0 ] || fail "per-user MSI installed for all users"
nothing_installed() {
  ! wine reg query 'HKCU\Software\TolvexSign' >/dev/null 2>&1 &&
    ! wine reg query 'HKLM\Software\TolvexSign' >/dev/null 2>&1
}
nothing_installed || fail "the refused per-user MSI installed something"
step "ALLUSERS=1 refused"

# A registration by tolvexctl before any installation; the MSI takes its keys.
wine "$stage/tolvexctl.exe" install </dev/null >/dev/null
[ "$(msiexec /i "$old")" = 0 ] || fail "older MSI did not install"
[ "$(reg 'HKCU\Software\TolvexSign' Version)" = 0.0.1 ] || fail "older MSI not recorded"
step "older MSI installed"
[ "$(msiexec /i "$user_msi")" = 0 ] || fail "upgrade did not install"
step "upgrade installed"
check_installed HKCU
dir=$INSTALLED
check_arp "$user_msi" "$dir"
step "keys, manifests, ping, Add/Remove Programs"

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

[ "$(msiexec /i "$machine_msi")" != 0 ] || fail "per-machine MSI installed beside the per-user one"
! wine reg query 'HKLM\Software\TolvexSign' >/dev/null 2>&1 || fail "the refused per-machine MSI installed"
step "per-machine refused beside"

# Another build of this version replaces the installed one, files included.
echo damaged >"$(unix "$dir")THIRD-PARTY-NOTICES.txt"
[ "$(msiexec /i "$rebuild")" = 0 ] || fail "another build of this version did not install"
cmp -s "$(unix "$dir")THIRD-PARTY-NOTICES.txt" "$stage/THIRD-PARTY-NOTICES.txt" ||
  fail "another build of this version did not replace the files"
[ -z "$(arp_entry "$user_msi")" ] || fail "the replaced build is still in Add/Remove Programs"
check_arp "$rebuild" "$dir"
check_keys HKCU "$dir"
step "same version replaced"

[ "$(msiexec /i "$old")" != 0 ] || fail "downgrade was not refused"
[ "$(reg 'HKCU\Software\TolvexSign' Version)" = "$version" ] || fail "downgrade changed the installation"
step "downgrade refused"
[ "$(msiexec /x "$rebuild")" = 0 ] || fail "uninstall failed"
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
[ "$(msiexec /i "$user_msi")" != 0 ] || fail "per-user MSI installed beside the per-machine one"
! wine reg query 'HKCU\Software\TolvexSign' >/dev/null 2>&1 || fail "the refused per-user MSI installed"
step "machine checked, per-user refused beside"
[ "$(msiexec /x "$machine_msi")" = 0 ] || fail "per-machine uninstall failed"
check_gone HKLM "$dir"
step "per-machine install, ping, uninstall"
echo "msi: ok"
