#!/usr/bin/env bash
# The Debian package as a maintainer reviews it, then installed by dpkg into a
# scratch root (dpkg --root, maintainer scripts run outside a chroot with
# DPKG_ROOT; nothing on this system changes):
# - its fields, lintian --pedantic without an error or warning;
# - a second build elsewhere, later, under another umask, time zone and
#   locale, from copies of the programs with other file times, gives the
#   same bytes;
# - programs hardened (PIE, BIND_NOW, RELRO, stack protector, fortify),
#   stripped, their debug information kept in the build tree; no path of
#   this machine in any shipped file; a man page that names every option of
#   tolvexctl --help;
# - installed: each browser's manifest in its browser's form, naming an agent
#   that answers a ping with the package's version; tolvexctl reaches it;
# - removed: no browser is left with a manifest (someone else's stays);
#   purged: nothing of the package is left, and /etc/opt stays.
#   deb_test.sh PACKAGE.deb VERSION SOURCE_DIR AGENT TOLVEXCTL
set -euo pipefail
deb=$1 version=$2 src=$3 agent=$4 ctl=$5
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$(dirname "$deb")" && pwd)
host=br.com.tolvex.agent
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
t0=$(date +%s%N)
step() { echo "deb: $1 at $(( ($(date +%s%N) - t0) / 1000000 )) ms" >&2; }

[ "$(dpkg-deb -f "$deb" Package)" = tolvex-agent ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "not version $version"
[[ $(dpkg-deb -f "$deb" Depends) == *libc6* ]] || fail "Depends not computed"
[ "$(dpkg-deb -f "$deb" Recommends)" = "opensc-pkcs11, pcscd" ] || fail "Recommends"
lintian -I --pedantic --fail-on error,warning --tag-display-limit 0 "$deb" >"$tmp/lintian" 2>&1 ||
  fail "lintian: $(cat "$tmp/lintian")"
grep -v 'running with root privileges' "$tmp/lintian" >&2 || true
step "fields, lintian"

mkdir "$tmp/again" "$tmp/programs"
cp "$agent" "$ctl" "$tmp/programs/"
touch -d '2001-02-03 04:05:06' "$tmp/programs/"*
(umask 077; cd "$tmp/again" && TZ=America/Noronha LC_ALL=C TMPDIR=$tmp/again \
  bash "$here/../deb/build-deb.sh" "$version" "$src" "$tmp/programs/$(basename "$agent")" \
    "$tmp/programs/$(basename "$ctl")" "$tmp/again/again.deb" "$tmp/again/debug")
sha256sum "$deb" "$tmp/again/again.deb" >&2
cmp "$deb" "$tmp/again/again.deb" || fail "a second build differs (diffoscope tells where)"
step "built again, same bytes"

x=$tmp/x
dpkg-deb -x "$deb" "$x"
dpkg-deb -e "$deb" "$x/DEBIAN"
for f in "$x"/usr/lib/tolvex/tolvex_agent "$x"/usr/lib/tolvex/tolvexctl; do
  name=${f#"$x"}
  readelf -d "$f" | grep -q 'FLAGS_1.*NOW.*PIE' || fail "$name: not PIE with BIND_NOW"
  readelf -lW "$f" | grep -q GNU_RELRO || fail "$name: no RELRO"
  readelf --dyn-syms -W "$f" >"$tmp/syms"
  grep -q ' __stack_chk_fail@' "$tmp/syms" || fail "$name: no stack protector"
  grep -q ' __[a-z]*_chk@' "$tmp/syms" || fail "$name: not fortified"
  ! readelf -SW "$f" | grep -qE '\.debug_|\.symtab' || fail "$name: not stripped"
  id=$(readelf -n "$f" | sed -n 's/.*Build ID: *//p')
  [ -s "$build/packaging/debug/.build-id/${id:0:2}/${id:2}.debug" ] ||
    fail "$name: its debug information is not kept in the build tree"
done
# Paths of this machine, in the shipped files as they are and unpacked.
for f in "$x"/usr/share/doc/tolvex-agent/*.gz "$x"/usr/share/man/man1/*.gz; do
  gzip -dc "$f" >"$f.text"
done
if grep -rlaF -e "$src" -e "$build" -e "$HOME/" "$x"; then
  fail "build paths in the files above"
fi
"$ctl" --help | grep -o -- '--[a-z][a-z-]*' | sort -u >"$tmp/options"
sed 's/\\-/-/g' "$x/usr/share/man/man1/tolvexctl.1.gz.text" >"$tmp/man"
while read -r option; do
  grep -qF -- "$option" "$tmp/man" || fail "the man page does not describe $option"
done <"$tmp/options"
step "hardened, stripped, no build paths, man page"

root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" \
  "$root/etc/opt/chrome/native-messaging-hosts"
touch "$root/var/lib/dpkg/status"
# base-files makes /etc/opt; someone else's host is registered for Chrome.
echo '{}' >"$root/etc/opt/chrome/native-messaging-hosts/other.json"
dpkg_() {
  dpkg --root="$root" --log=/dev/null --force-script-chrootless --force-depends "$@" \
    >"$tmp/dpkg" 2>&1 || fail "dpkg $*: $(cat "$tmp/dpkg")"
}
dpkg_ -i "$deb"
step "installed"

# A path inside the scratch root, links followed as they would be there.
in_root() {
  local p=$1 target
  while [ -L "$root$p" ]; do
    target=$(readlink "$root$p")
    case $target in /*) p=$target ;; *) p=$(dirname "$p")/$target ;; esac
  done
  echo "$root$p"
}
manifests="/etc/opt/chrome/native-messaging-hosts/$host.json
/etc/chromium/native-messaging-hosts/$host.json
/etc/opt/edge/native-messaging-hosts/$host.json
/usr/lib/mozilla/native-messaging-hosts/$host.json"
for m in $manifests; do
  [ -f "$(in_root "$m")" ] || fail "$m missing"
  python3 - "$(in_root "$m")" "$m" <<'PY' >>"$tmp/agents" || fail "$m"
import json, sys
m = json.load(open(sys.argv[1], encoding="utf-8"))
key = "allowed_extensions" if "/mozilla/" in sys.argv[2] else "allowed_origins"
assert m["name"] == "br.com.tolvex.agent" and m["type"] == "stdio", m
assert m[key] and set(m) == {"name", "description", "path", "type", key}, m
assert m["path"].startswith("/"), m["path"]
print(m["path"])
PY
done
for agent_path in $(sort -u "$tmp/agents"); do
  [ -x "$root$agent_path" ] || fail "$agent_path not installed"
  "$root/usr/bin/tolvexctl" ping --json --agent "$root$agent_path" </dev/null |
    grep -q "\"agent_version\":\"$version\"" || fail "$agent_path: no pong with version $version"
done
"$root/usr/bin/tolvexctl" ping </dev/null >/dev/null || fail "tolvexctl does not find the agent"
step "manifests, ping"

dpkg_ --remove tolvex-agent
for m in $manifests; do
  [ ! -e "$root$m" ] && [ ! -L "$root$m" ] || fail "$m left after remove"
done
[ -f "$root/etc/opt/chrome/native-messaging-hosts/other.json" ] || fail "someone else's manifest removed"
dpkg_ --purge tolvex-agent
rm "$root/etc/opt/chrome/native-messaging-hosts/other.json"
left=$(cd "$root" && find . -mindepth 1 -not -path './var/lib/dpkg*' -not -path ./var/lib \
       -not -path ./var -not -path './etc/opt/chrome*')
[ "$left" = "$(printf './etc\n./etc/opt')" ] || fail "after purge: ${left:-/etc/opt is gone}"
step "removed, purged"
echo "deb: ok"
