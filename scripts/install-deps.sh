#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one is
# missing, so a second run costs a few dpkg queries.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-format python3 unicode-data
  libssl-dev nlohmann-json3-dev libspdlog-dev libfmt-dev libp11-kit-dev
  libgtest-dev libgmock-dev googletest
  softhsm2 opensc openssl
  g++-mingw-w64-x86-64-posix wine64 wine dpkg-dev
  chromium firefox-esr nodejs
  wixl lintian
  # A TPM-backed PKCS#11 token for the tests: software TPM, resource manager
  # on a private D-Bus bus, the tpm2-pkcs11 module and its tools.
  swtpm swtpm-tools tpm2-abrmd libtss2-tcti-tabrmd0 libtpm2-pkcs11-1 libtpm2-pkcs11-tools
  tpm2-tools dbus opensc-pkcs11
  # A smart card in a reader without hardware: a private pcscd with vpcd as
  # its reader, our virtual CAC card over libcacard backed by an NSS database
  # (certutil, pk12util), and libpcsclite for the suite to watch the reader.
  pcscd vsmartcard-vpcd libcacard-dev libnss3-tools libpcsclite-dev
  # Real modules with their own ways: opencryptoki's software token behind
  # pkcsslotd, and NSS's PEM module, which refuses CKF_OS_LOCKING_OK.
  opencryptoki nss-plugin-pem
)
# Optional extra groups, chosen by the caller ("all" is the default).
want=${1:-all}
host_packages=(build-essential cmake pkg-config python3 unicode-data libssl-dev nlohmann-json3-dev libspdlog-dev libfmt-dev libp11-kit-dev libgtest-dev libgmock-dev googletest)
if [ "$want" = "host" ]; then
  packages=("${host_packages[@]}")
fi
# make fuzz: the build's libraries and clang-19 with its libFuzzer and
# sanitizer runtimes (clang 14 and 16 cannot compile <expected> with GCC 12's
# libstdc++).
if [ "$want" = "fuzz" ]; then
  packages=("${host_packages[@]}" clang-19 libclang-rt-19-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "install-deps: installing ${missing[*]}" >&2
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
