#!/usr/bin/env bash
# Builds the Windows-side dependencies once and caches them outside the
# repository: OpenSSL from Debian's own source package, cross-compiled with
# mingw-w64, plus a private include directory holding only the header-only
# libraries (nlohmann, spdlog, fmt), so the host's /usr/include never reaches
# the mingw compiler.
set -euo pipefail

cache=${TOLVEX_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tolvex/mingw}
prefix="$cache/prefix"
stamp="$prefix/.complete"
if [ -f "$stamp" ]; then
  echo "$prefix"
  exit 0
fi

work="$cache/work"
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
  ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- \
    no-shared no-asm no-tests no-engine no-module no-dso \
    --prefix="$prefix" --libdir=lib >&2
  make -j"$(nproc)" build_libs >&2
  make install_dev >&2
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
