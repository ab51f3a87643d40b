#!/usr/bin/env bash
# The Debian package: its fields, lintian, and dpkg installing it into a
# scratch root (dpkg --root, nothing on this system changes): every manifest
# is in its browser's folder in its browser's form, names an agent that is
# there and answers a ping with the package's version; tolvexctl reaches the
# agent through /usr/bin; a purge leaves nothing.
#   deb_test.sh PACKAGE.deb VERSION
set -euo pipefail
deb=$1 version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
t0=$(date +%s%N)
step() { echo "deb: $1 at $(( ($(date +%s%N) - t0) / 1000000 )) ms" >&2; }

[ "$(dpkg-deb -f "$deb" Package)" = tolvex-agent ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "not version $version"
[[ $(dpkg-deb -f "$deb" Depends) == *libc6* ]] || fail "Depends not computed"
lintian --fail-on error --no-tag-display-limit "$deb" >"$tmp/lintian" 2>&1 ||
  fail "lintian: $(cat "$tmp/lintian")"
step "fields, lintian"

root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root has none of the libraries the package depends on.
dpkg --root="$root" --log=/dev/null --force-depends \
  -i "$deb" >"$tmp/dpkg" 2>&1 || fail "dpkg -i: $(cat "$tmp/dpkg")"
step "installed"

dpkg --root="$root" -L tolvex-agent | grep '/native-messaging-hosts/' | grep '\.json$' |
  sort >"$tmp/manifests"
cat >"$tmp/want" <<'EOF'
/etc/chromium/native-messaging-hosts/br.com.tolvex.agent.json
/etc/opt/chrome/native-messaging-hosts/br.com.tolvex.agent.json
/etc/opt/edge/native-messaging-hosts/br.com.tolvex.agent.json
/usr/lib/mozilla/native-messaging-hosts/br.com.tolvex.agent.json
EOF
diff -u "$tmp/want" "$tmp/manifests" || fail "manifests"
# Each manifest in its browser's form; the agents they name, once each.
python3 - "$root" "$tmp/manifests" >"$tmp/agents" <<'PY' || fail "manifests"
import json, sys
agents = set()
for name in open(sys.argv[2]).read().split():
    m = json.load(open(sys.argv[1] + name, encoding="utf-8"))
    key = "allowed_extensions" if "/mozilla/" in name else "allowed_origins"
    assert m["name"] == "br.com.tolvex.agent" and m["type"] == "stdio", (name, m)
    assert m[key] and set(m) == {"name", "description", "path", "type", key}, (name, m)
    assert m["path"].startswith("/"), (name, m["path"])
    agents.add(m["path"])
print("\n".join(sorted(agents)))
PY
while read -r agent; do
  [ -x "$root$agent" ] || fail "$agent not installed"
  "$root/usr/bin/tolvexctl" ping --json --agent "$root$agent" </dev/null |
    grep -q "\"agent_version\":\"$version\"" || fail "$root$agent: no pong with version $version"
done <"$tmp/agents"
"$root/usr/bin/tolvexctl" ping </dev/null >/dev/null || fail "tolvexctl does not find the agent"
step "manifests, ping"

dpkg --root="$root" --log=/dev/null --purge tolvex-agent \
  >"$tmp/dpkg" 2>&1 || fail "dpkg --purge: $(cat "$tmp/dpkg")"
left=$(cd "$root" && find . -mindepth 1 -not -path './var/lib/dpkg*' -not -path ./var/lib -not -path ./var)
[ -z "$left" ] || fail "left after purge: $left"
step "purged"
echo "deb: ok"
