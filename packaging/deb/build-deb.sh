#!/usr/bin/env bash
# Builds the Debian package from the built agent and tolvexctl:
#   build-deb.sh VERSION AGENT TOLVEXCTL OUT.deb
# Both programs go to /usr/lib/tolvex (tolvexctl finds the agent beside
# itself), with tolvexctl linked into /usr/bin. The system-wide host
# manifests are written by the packaged tolvexctl itself, so they are exactly
# what `tolvexctl install --system` would write.
set -euo pipefail
version=$1 agent=$2 ctl=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
package=tolvex-agent
lib=/usr/lib/tolvex
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
doc=$root/usr/share/doc/$package

install -d -m 0755 "$root$lib" "$root/usr/bin" "$doc" "$root/DEBIAN"
for f in "$agent" "$ctl"; do
  install -m 0755 "$f" "$root$lib/"
  # The debug information stays in the build tree.
  strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    "$root$lib/$(basename "$f")"
done
ln -s ../lib/tolvex/tolvexctl "$root/usr/bin/tolvexctl"

# Where each browser reads system-wide manifests on Linux.
declare -A dirs=(
  [chrome]=/etc/opt/chrome/native-messaging-hosts
  [chromium]=/etc/chromium/native-messaging-hosts
  [edge]=/etc/opt/edge/native-messaging-hosts
  [firefox]=/usr/lib/mozilla/native-messaging-hosts
)
# The extensions let in: the build's TOLVEX_EXTENSION_IDS and
# TOLVEX_FIREFOX_IDS (comma-separated), else tolvexctl's defaults.
allowed=()
IFS=, read -ra ids <<<"${TOLVEX_EXTENSION_IDS:-}"
for id in "${ids[@]}"; do allowed+=(--extension-id "$id"); done
IFS=, read -ra ids <<<"${TOLVEX_FIREFOX_IDS:-}"
for id in "${ids[@]}"; do allowed+=(--firefox-id "$id"); done
for browser in chrome chromium edge firefox; do
  # tolvexctl warns that the agent is not at its installed path yet.
  if ! log=$("$root$lib/tolvexctl" install --browser "$browser" --dir "$root${dirs[$browser]}" \
               --agent "$lib/tolvex_agent" "${allowed[@]}" 2>&1 </dev/null); then
    echo "$log" >&2
    exit 1
  fi
done
find "$root/etc" -type f -printf '/etc/%P\n' | sort >"$root/DEBIAN/conffiles"

# A native package: its changelog is changelog.gz.
date=$(date -R ${SOURCE_DATE_EPOCH:+-d @$SOURCE_DATE_EPOCH})
printf '%s (%s) unstable; urgency=medium\n\n  * Versão %s.\n\n -- Tolvex <agente@tolvex.com.br>  %s\n' \
  "$package" "$version" "$version" "$date" | gzip -9n >"$doc/changelog.gz"
install -m 0644 "$here/copyright" "$doc/copyright"
install -D -m 0644 "$here/lintian-overrides" "$root/usr/share/lintian/overrides/$package"

# dpkg-shlibdeps wants a debian/control beside it; only the binaries count.
mkdir -p "$work/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$package" "$package" >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "root$lib/tolvex_agent" "root$lib/tolvexctl" 2>/dev/null |
          sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "build-deb: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$(dpkg --print-architecture)/" \
    -e "s/@DEPENDS@/$depends/" -e "s/@SIZE@/$size/" "$here/control.in" >"$root/DEBIAN/control"
# Whatever the umask: directories 0755, files 0644, programs 0755.
chmod -R u=rwX,go=rX "$root"

dpkg-deb --root-owner-group -Zxz --build "$root" "$out" >/dev/null
