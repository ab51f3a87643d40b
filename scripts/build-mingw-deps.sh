#!/usr/bin/env bash
# Builds the Windows-side dependencies once and caches them outside the
# repository: OpenSSL from Debian's own source package, cross-compiled with
# mingw-w64, plus a private include directory holding only the header-only
# libraries (nlohmann, spdlog, fmt), so the host's /usr/include never reaches
# the mingw compiler. Prints the prefix.
set -euo pipefail

# OpenSSL as the exes ship it:
# - it never reads a configuration file by itself (no-autoload-config): the
#   default one would sit in OPENSSLDIR, and OPENSSL_CONF could name any
#   other; neither is ours to trust;
# - its folders are those of OpenSSL's own Windows builds, under Program
#   Files, which only an administrator can create, instead of this machine's
#   prefix (that would be \root\... on the current drive, which any user can
#   create); nothing loads from them;
# - no engines, modules or DSO loading, so no folder it names can load code;
# - its build date is the source package's. (It is compiled from relative
#   paths without debug information, so no folder of this machine is in it.)
openssl_options=(mingw64 --cross-compile-prefix=x86_64-w64-mingw32-
  no-shared no-asm no-tests no-engine no-module no-dso no-autoload-config
  "--prefix=C:/Program Files/OpenSSL" --openssldir=ssl)
# The cache folder is keyed by the recipe: a changed option builds afresh
# beside the old prefix, which builds of older checkouts may still use.
recipe=$(printf '%s\n' "${openssl_options[@]}" "gtest-1" | sha256sum | cut -c1-12)
cache=${TOLVEX_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tolvex/mingw}
prefix="$cache/prefix-$recipe"
stamp="$prefix/.complete"
if [ -f "$stamp" ]; then
  echo "$prefix"
  exit 0
fi

work="$cache/work-$recipe"
rm -rf "$work" "$prefix"
mkdir -p "$work/apt/lists/partial" "$prefix/include"

# A private apt configuration so the system's sources are never edited.
cat > "$work/apt/debian-src.sources" <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  # Reuse the mirror the machine already reaches.
  uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  [ -n "$uri" ] && sed -i "s|^URIs: .*|URIs: $uri|" "$work/apt/debian-src.sources"
fi
aptopts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/apt"
         -o "Dir::State::Lists=$work/apt/lists")
apt-get "${aptopts[@]}" update -q >&2
(cd "$work" && apt-get "${aptopts[@]}" source --download-only openssl >&2)
(cd "$work" && dpkg-source -x --no-check openssl_*.dsc src >&2)

(
  cd "$work/src"
  SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -STimestamp)
  export SOURCE_DATE_EPOCH
  ./Configure "${openssl_options[@]}" >&2
  make -j"$(nproc)" build_libs >&2
  # Staged, then moved to the prefix: the Windows folders stay in the code.
  make install_dev DESTDIR="$work/dest" >&2
  top=$(dirname "$(dirname "$(find "$work/dest" -path '*/include/openssl/opensslv.h')")")
  cp -r "$top/include/openssl" "$prefix/include/"
  mkdir -p "$prefix/lib"
  cp "$(find "$top" -name libcrypto.a)" "$prefix/lib/"
  install -m 0644 LICENSE.txt "$prefix/openssl-LICENSE.txt"
  dpkg-parsechangelog -SVersion >"$prefix/openssl-version"
)

# Header-only libraries for the cross build, copied so that nothing else from
# /usr/include comes along.
cp -r /usr/include/nlohmann "$prefix/include/"
cp -r /usr/include/spdlog "$prefix/include/"
cp -r /usr/include/fmt "$prefix/include/"

# GoogleTest for the cross build, from the source Debian ships.
cmake -S /usr/src/googletest -B "$work/gtest" \
  -DCMAKE_TOOLCHAIN_FILE="$(cd "$(dirname "$0")/.." && pwd)/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -Dgtest_disable_pthreads=OFF -DBUILD_GMOCK=ON >&2
cmake --build "$work/gtest" -j"$(nproc)" >&2
cmake --install "$work/gtest" >&2

rm -rf "$work"
touch "$stamp"
echo "$prefix"
