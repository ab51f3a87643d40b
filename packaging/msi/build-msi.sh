#!/usr/bin/env bash
# Builds the Windows installers from the built exes:
#   build-msi.sh VERSION SOURCE_DIR BIN_DIR MANIFEST_DIR ICON MINGW_PREFIX WORK_DIR MSI_DIR \
#                HELP_URL ABOUT_URL
# WORK_DIR gets stage/ (the files the MSIs install) and debug/ (the exes'
# debug information, which is not shipped); MSI_DIR tolvex-agent-VERSION.msi
# (per user) and tolvex-agent-VERSION-machine.msi.
#
# The exes are stripped and stamped with SOURCE_DATE_EPOCH (by default the
# last commit's time). They are signed, then the MSIs, when a code-signing
# certificate is configured:
#   TOLVEX_SIGN_PKCS12         the PKCS#12 file with the certificate and key
#   TOLVEX_SIGN_PASSWORD_FILE  a file holding its password, or
#   TOLVEX_SIGN_PASSWORD       the password itself
#   TOLVEX_SIGN_TIMESTAMP_URL  (optional) an RFC 3161 time-stamping server
# Without TOLVEX_SIGN_PKCS12 the files are left unsigned, and this says so.
set -euo pipefail
version=$1 src=$2 bin=$3 manifests=$4 icon=$5 mingw=$6 work=$7 out=$8 help_url=$9 about_url=${10}
here=$(cd "$(dirname "$0")" && pwd)
wxs=$here/tolvex-agent.wxs
fail() { echo "build-msi: $*" >&2; exit 1; }

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null) ||
    fail "no SOURCE_DATE_EPOCH and no git history in $src"
fi
export SOURCE_DATE_EPOCH LC_ALL=C.UTF-8

# The password is read once (TOLVEX_SIGN_PASSWORD_FILE may be a pipe) and
# reaches osslsigncode through a pipe, never on a command line other
# processes can read.
if [ -n "${TOLVEX_SIGN_PASSWORD_FILE:-}" ]; then
  TOLVEX_SIGN_PASSWORD=$(cat "$TOLVEX_SIGN_PASSWORD_FILE") || fail "cannot read $TOLVEX_SIGN_PASSWORD_FILE"
fi
# sign FILE NAME: signs FILE in place with the configured certificate.
sign() {
  if [ -z "${TOLVEX_SIGN_PKCS12:-}" ]; then
    echo "build-msi: $2 is NOT signed (TOLVEX_SIGN_PKCS12 is not set)" >&2
    return
  fi
  local pass=() ts=()
  [ -n "${TOLVEX_SIGN_PASSWORD:-}" ] && pass=(-readpass /dev/stdin)
  [ -n "${TOLVEX_SIGN_TIMESTAMP_URL:-}" ] && ts=(-ts "$TOLVEX_SIGN_TIMESTAMP_URL")
  printf '%s' "${TOLVEX_SIGN_PASSWORD:-}" |
    osslsigncode sign -pkcs12 "$TOLVEX_SIGN_PKCS12" "${pass[@]}" -h sha256 -comm \
      -n "Tolvex" -i "$about_url" "${ts[@]}" -in "$1" -out "$1.signed" >"$1.log" 2>&1 ||
    fail "signing $2 failed: $(cat "$1.log")"
  mv "$1.signed" "$1"
  rm -f "$1.log"
  echo "build-msi: $2 signed" >&2
}

stage=$work/stage debug=$work/debug
# A failed build leaves no MSI of an earlier one behind to be shipped.
rm -rf "$stage" "$debug" "$out/tolvex-agent-$version.msi" "$out/tolvex-agent-$version-machine.msi"
mkdir -p "$stage" "$debug"
for exe in tolvex_agent.exe tolvexctl.exe; do
  x86_64-w64-mingw32-objcopy --only-keep-debug "$bin/$exe" "$debug/$exe.debug"
  # strip writes SOURCE_DATE_EPOCH as the PE time stamp.
  x86_64-w64-mingw32-strip --strip-all -o "$stage/$exe" "$bin/$exe"
  sign "$stage/$exe" "$exe"
done
python3 "$here/../notices.py" "$here/../third-party.txt" windows "$stage/THIRD-PARTY-NOTICES.txt" \
  --mingw-prefix "$mingw" --crlf
cp "$manifests"/*.json "$icon" "$stage/"
host=$(cd "$manifests" && ls *.chrome.json)
host=${host%.chrome.json}

# A GUID named by a text: the same inputs give the same one.
guid() {
  sha256sum | cut -c1-30 | sed -E 's/^(.{8})(.{4})(.{3})(.{3})(.{12})$/\1-\2-5\3-8\4-\5/' |
    tr a-f A-F
}
for scope in user machine; do
  msi=$out/tolvex-agent-$version.msi
  [ "$scope" = machine ] && msi=$out/tolvex-agent-$version-machine.msi
  # The product code follows the contents: another build of this version is
  # another product, which replaces this one (see the wxs).
  contents=$( (cd "$stage" && sha256sum -- *; sha256sum <"$wxs"; echo "$scope $version") )
  product=$(echo "product $contents" | guid)
  package=$(echo "package $contents" | guid)
  (cd "$stage" && wixl -a x64 -D Scope="$scope" -D Version="$version" -D ProductCode="$product" \
     -D Host="$host" -D HelpUrl="$help_url" -D AboutUrl="$about_url" -D SourceDir=. \
     -o "$msi.tmp" "$wxs")

  # What wixl gets wrong or cannot say:
  # - the database's codepage is 0 (the machine's ANSI codepage) though
  #   its strings are in 1252;
  # - the summary holds its strings as UTF-8 though it declares 1252: libmsi
  #   stores the bytes it is given, so the subject (the only one that is not
  #   ASCII) is given again in 1252, with the template's language and a
  #   package code that follows the contents;
  # - IncludeMaximum is ignored (768: both ends included), so a rebuild of
  #   this version would not replace the installed one;
  # - a property found by AppSearch reaches the elevated part of a
  #   per-machine installation only when it is listed as secure;
  # - the File table has no version for the exes (wixl does not read their
  #   version resource, which says the same), so Windows Installer would
  #   treat them as unversioned files.
  summary=$(msiinfo suminfo "$msi.tmp")
  for field in Title Author Keywords Comments; do
    sed -n "s/^$field: //p" <<<"$summary" | LC_ALL=C grep -q '[^ -~]' &&
      fail "the summary's $field is not ASCII: only the subject is converted"
  done
  subject=$(sed -n 's/^Subject: //p' <<<"$summary" | iconv -f UTF-8 -t CP1252) ||
    fail "the summary's subject cannot be written in codepage 1252"
  author=$(sed -n 's/^Author: //p' <<<"$summary")
  property() { msiinfo export "$msi.tmp" Property | tr -d '\r' | sed -n "s/^$1\t//p"; }
  upgrade_code=$(property UpgradeCode)
  secure=$(property SecureCustomProperties)
  printf '\r\n\r\n1252\t_ForceCodepage\r\n' >"$work/_ForceCodepage.idt"
  # (Attributes is part of the Upgrade table's key: the row is replaced.)
  msibuild "$msi.tmp" -i "$work/_ForceCodepage.idt" \
    -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'TOLVEX_REPLACED'" \
    -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMin\`, \`VersionMax\`, \`Attributes\`,
        \`ActionProperty\`) VALUES ('$upgrade_code', '0.0.0', '$version', 768, 'TOLVEX_REPLACED')" \
    -q "UPDATE \`Property\` SET \`Value\` = '$secure;TOLVEX_OTHER_SCOPE'
        WHERE \`Property\` = 'SecureCustomProperties'" \
    -q "UPDATE \`File\` SET \`Version\` = '$version.0', \`Language\` = '1046'
        WHERE \`File\` = 'AgentExe' OR \`File\` = 'CtlExe'" \
    -s "$subject" "$author" "x64;1046" "{$package}"
  rm -f "$work/_ForceCodepage.idt"
  sign "$msi.tmp" "$(basename "$msi")"
  mv "$msi.tmp" "$msi"
done
