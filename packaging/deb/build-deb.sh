#!/usr/bin/env bash
# Builds the Debian package from the built agent and tolvexctl:
#   build-deb.sh VERSION SOURCE_DIR AGENT TOLVEXCTL OUT.deb DEBUG_DIR
# Both programs go to /usr/lib/tolvex (tolvexctl finds the agent beside
# itself), stripped, with tolvexctl linked into /usr/bin; their debug
# information goes to DEBUG_DIR/.build-id/, not into the package. The host
# manifests are written by the packaged tolvexctl itself, so they are exactly
# what `tolvexctl install --system` would write: Firefox's in its folder,
# Chromium's as a link to the package's copy, Chrome's and Edge's as links
# that postinst makes in /etc/opt (see there).
# The same sources give the same bytes: times are SOURCE_DATE_EPOCH (by
# default the last commit's), and nothing depends on the umask, the locale,
# the time zone or the folders the build runs in.
set -euo pipefail
version=$1 src=$2 agent=$3 ctl=$4 out=$5 debug=$6
here=$(cd "$(dirname "$0")" && pwd)
package=tolvex-agent
maintainer="Tolvex <agente@tolvex.com.br>"
lib=/usr/lib/tolvex
fail() { echo "build-deb: $*" >&2; exit 1; }

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null) ||
    fail "no SOURCE_DATE_EPOCH and no git history in $src"
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
doc=$root/usr/share/doc/$package
install -d "$root$lib" "$root/usr/bin" "$doc" "$root/usr/share/man/man1" "$root/DEBIAN" \
  "$root/usr/lib/mozilla/native-messaging-hosts" "$root/etc/chromium/native-messaging-hosts"

for f in "$agent" "$ctl"; do
  name=$(basename "$f")
  id=$(readelf -n "$f" | sed -n 's/.*Build ID: *//p')
  [ -n "$id" ] || fail "$f has no build ID"
  mkdir -p "$debug/.build-id/${id:0:2}"
  objcopy --only-keep-debug --compress-debug-sections "$f" "$debug/.build-id/${id:0:2}/${id:2}.debug"
  # As dh_strip does; the build ID note stays, for finding the debug file.
  strip --remove-section=.comment --remove-section=.note -o "$root$lib/$name" "$f"
done
ln -s ../lib/tolvex/tolvexctl "$root/usr/bin/tolvexctl"

# The extensions let in: the build's TOLVEX_EXTENSION_IDS and
# TOLVEX_FIREFOX_IDS (comma-separated), else tolvexctl's defaults.
allowed=()
IFS=, read -ra ids <<<"${TOLVEX_EXTENSION_IDS:-}"
for id in "${ids[@]}"; do allowed+=(--extension-id "$id"); done
IFS=, read -ra ids <<<"${TOLVEX_FIREFOX_IDS:-}"
for id in "${ids[@]}"; do allowed+=(--firefox-id "$id"); done
# tolvexctl warns that the agent is not at its installed path yet.
manifest() {
  local log
  if ! log=$("$root$lib/tolvexctl" install --browser "$1" --dir "$2" --agent "$lib/tolvex_agent" \
               "${allowed[@]}" 2>&1 </dev/null); then
    fail "tolvexctl install --browser $1: $log"
  fi
}
manifest chromium "$work/chrome"
manifest firefox "$root/usr/lib/mozilla/native-messaging-hosts"
json=$(cd "$work/chrome" && echo *.json)
host=${json%.json}
install -m 0644 "$work/chrome/$json" "$root$lib/$host.chrome.json"
ln -s "$lib/$host.chrome.json" "$root/etc/chromium/native-messaging-hosts/$json"
for script in postinst postrm; do
  sed -e "s|@LIB@|$lib|g" -e "s|@HOST@|$host|g" "$here/$script" >"$root/DEBIAN/$script"
  chmod 0755 "$root/DEBIAN/$script"
done

# A native package: its changelog is changelog.gz.
python3 "$here/changelog.py" "$src" "$package" "$maintainer" | gzip -9n >"$doc/changelog.gz"
python3 "$here/../notices.py" "$here/../third-party.txt" linux "$work/notices" \
  --comment "$work/bundled"
gzip -9n <"$work/notices" >"$doc/THIRD-PARTY-NOTICES.gz"
sed -e "/@BUNDLED@/{r $work/bundled" -e 'd}' "$here/copyright.in" >"$doc/copyright"
install -D -m 0644 "$here/lintian-overrides" "$root/usr/share/lintian/overrides/$package"
sed -e "s/^\.TH \(\S*\) 1 \"\"/.TH \1 1 \"$(date -d "@$SOURCE_DATE_EPOCH" +%F)\"/" \
    -e "s/\"tolvex-agent\"/\"tolvex-agent $version\"/" "$here/tolvexctl.1" |
  gzip -9n >"$root/usr/share/man/man1/tolvexctl.1.gz"

# dpkg-shlibdeps wants a debian/control beside it; only the binaries count.
mkdir -p "$work/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$package" "$package" >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "root$lib/tolvex_agent" "root$lib/tolvexctl" 2>/dev/null |
          sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || fail "dpkg-shlibdeps found no dependencies"

(cd "$root" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z | xargs -0 md5sum) \
  >"$root/DEBIAN/md5sums"
# As dpkg-gencontrol counts it: each file's size in whole KiB, 1 for every
# other entry; the file system's block size plays no part.
size=$(cd "$root" && find . -mindepth 1 ! -path './DEBIAN*' -printf '%y %s\n' |
       awk '{ n += ($1 == "f") ? int(($2 + 1023) / 1024) : 1 } END { print n }')
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$(dpkg --print-architecture)/" \
    -e "s/@MAINTAINER@/$maintainer/" -e "s/@DEPENDS@/$depends/" -e "s/@SIZE@/$size/" \
    "$here/control.in" >"$root/DEBIAN/control"
# Whatever the umask was: directories 0755, files 0644, programs 0755; and
# every time the source's.
chmod -R u=rwX,go=rX "$root"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

dpkg-deb --root-owner-group -Zxz --build "$root" "$out" >/dev/null
