#!/usr/bin/env bash
# Installs the Debian packages that a command needs, only those missing, so a
# second run costs a few dpkg queries:
#   install-deps.sh [GROUP]
#     all    (the default) everything `make test` and CI need: the list below
#     demo   `make demo`: the agent and tolvexctl, and a SoftHSM token
#     host   the Linux build with its unit tests
#     fuzz   `make fuzz`: the host group and clang-19 with libFuzzer
set -euo pipefail

# Everything. A new build or test dependency goes into this list; the groups
# after it name the few that the smaller commands need.
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
# The agent and tolvexctl alone: the compiler, CMake, the libraries they
# link, and python3 with unicode-data for the table generated at build time.
build_packages=(build-essential cmake python3 unicode-data libssl-dev nlohmann-json3-dev
  libspdlog-dev libfmt-dev libp11-kit-dev)
# make demo: SoftHSM as the token, pkcs11-tool (opensc) and softhsm2-util to
# fill it, openssl to issue the certificates and check the signatures.
demo_packages=("${build_packages[@]}" softhsm2 opensc openssl)
host_packages=("${build_packages[@]}" pkg-config libgtest-dev libgmock-dev googletest)
# clang 14 and 16 cannot compile <expected> with GCC 12's libstdc++.
fuzz_packages=("${host_packages[@]}" clang-19 libclang-rt-19-dev)

case ${1:-all} in
  all) ;;
  demo) packages=("${demo_packages[@]}") ;;
  host) packages=("${host_packages[@]}") ;;
  fuzz) packages=("${fuzz_packages[@]}") ;;
  *) echo "install-deps: unknown group '$1' (all, demo, host or fuzz)" >&2; exit 2 ;;
esac

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
