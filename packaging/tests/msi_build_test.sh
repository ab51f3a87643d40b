#!/usr/bin/env bash
# Builds the MSIs signed with a throwaway code-signing certificate of this
# test's own, then reads them as a Windows packager would:
# - osslsigncode verifies both MSIs and the exes inside each, which are the
#   staged ones byte for byte;
# - database codepage 1252 with the strings in it; the summary's subject, in
#   1252, decodes to the intended Portuguese; template x64;1046;
# - one component per file, its key path an HKCU value per user and the file
#   per machine; the exes' version in the File table; same-version rebuilds
#   replace (Upgrade attributes);
# - exes stripped, stamped with the last commit's time, debug information
#   kept beside; no path of this machine in any installed file.
#   msi_build_test.sh BUILD_DIR VERSION SOURCE_DIR (the MSIs in BUILD_DIR, the
#   staged files and debug information in BUILD_DIR/packaging)
set -euo pipefail
build=$1 version=$2 src=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
t0=$(date +%s%N)
step() { echo "msi: $1 at $(( ($(date +%s%N) - t0) / 1000000 )) ms" >&2; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tolvex teste/O=Tolvex" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
echo "senha de teste" >"$tmp/password"
openssl pkcs12 -export -inkey "$tmp/key.pem" -in "$tmp/cert.pem" -out "$tmp/code.p12" \
  -passout "file:$tmp/password"
step "certificate"
TOLVEX_SIGN_PKCS12=$tmp/code.p12 TOLVEX_SIGN_PASSWORD_FILE=$tmp/password \
  cmake --build "$build" --target msi >"$tmp/build.log" 2>&1 || fail "build: $(cat "$tmp/build.log")"
grep -q "NOT signed" "$tmp/build.log" && fail "unsigned files: $(cat "$tmp/build.log")"
step "built, signed"

verify() {
  osslsigncode verify -CAfile "$tmp/cert.pem" -in "$1" >"$tmp/verify" 2>&1 ||
    fail "$1: $(cat "$tmp/verify")"
  grep -E '^(Signature verification|Number of verified signatures|Message digest)' "$tmp/verify" |
    sed "s|^|$(basename "$1"): |" >&2
}
stage=$build/packaging/stage
epoch=$(git -C "$src" log -1 --format=%ct)
for exe in tolvex_agent.exe tolvexctl.exe; do
  verify "$stage/$exe"
  x86_64-w64-mingw32-objdump -h "$stage/$exe" | grep -q '\.debug_' && fail "$exe is not stripped"
  x86_64-w64-mingw32-objdump -h "$build/packaging/debug/$exe.debug" | grep -q '\.debug_info' ||
    fail "$exe: its debug information is not kept"
  stamp=$(x86_64-w64-mingw32-objdump -p "$stage/$exe" | sed -n 's/^Time\/Date[[:space:]]*//p')
  [ "$(date -u -d "$stamp" +%s)" = "$epoch" ] || fail "$exe: PE time stamp $stamp, not the last commit's"
done

# pe_version EXE: the file version in EXE's version resource, empty if none.
pe_version() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at >= 0:
    ms, ls = struct.unpack_from("<II", data, at + 8)
    print(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
PY
}
# rows MSI TABLE: the table's rows, sorted.
rows() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4 | sort; }
for scope in user machine; do
  msi=$build/tolvex-agent-$version.msi subject="Tolvex — agente de assinatura digital (para este usuário)"
  [ $scope = machine ] && msi=$build/tolvex-agent-$version-machine.msi \
    subject="Tolvex — agente de assinatura digital (para todos os usuários)"
  verify "$msi"
  mkdir "$tmp/$scope"
  msiextract -C "$tmp/$scope" "$msi" >/dev/null
  for exe in tolvex_agent.exe tolvexctl.exe; do
    cmp "$(find "$tmp/$scope" -name "$exe")" "$stage/$exe" || fail "$scope: $exe is not the staged one"
  done
  if grep -rlaF -e "$src" -e "$build" -e "$HOME/" "$tmp/$scope" "$msi"; then
    fail "$scope: build paths in the files above"
  fi

  msiinfo suminfo "$msi" >"$tmp/suminfo"
  python3 - "$tmp/suminfo" "$subject" <<'PY' || fail "$scope: summary"
import sys
lines = dict(l.split(b": ", 1) for l in open(sys.argv[1], "rb").read().splitlines() if b": " in l)
assert lines[b"Subject"].decode("cp1252") == sys.argv[2], lines[b"Subject"]
assert lines[b"Template"] == b"x64;1046", lines[b"Template"]
PY
  msiinfo export "$msi" _ForceCodepage | tr -d '\r\0' | grep -qx $'1252\t_ForceCodepage' ||
    fail "$scope: the database's codepage is not 1252"
  rows "$msi" Property | grep -qx $'ProductName\tTolvex — agente de assinatura digital' ||
    fail "$scope: product name"
  rows "$msi" Upgrade | grep -q $'\t768\t\tTOLVEX_REPLACED$' || fail "$scope: same version not replaced"
  icon=$(rows "$msi" Property | sed -n 's/^ARPPRODUCTICON\t//p')
  [ -n "$icon" ] && rows "$msi" Icon | grep -q "^$icon"$'\t' || fail "$scope: no Add/Remove Programs icon"

  # File, Component_, version: one file per component; the exes' versions
  # are those of their version resources.
  rows "$msi" File | awk -F'\t' '{ print $1, $2, $5 }' >"$tmp/files"
  [ "$(awk '{ print $2 }' "$tmp/files" | sort | uniq -d)" = "" ] || fail "$scope: components with two files"
  for exe in AgentExe:tolvex_agent.exe CtlExe:tolvexctl.exe; do
    [ "$(awk -v f="${exe%%:*}" '$1 == f { print $3 }' "$tmp/files")" = "$(pe_version "$stage/${exe#*:}")" ] ||
      fail "$scope: ${exe#*:}'s version in the File table is not its own"
  done
  # Every file's component: its key path is an HKCU value per user, the
  # file per machine.
  while read -r file component _; do
    keypath=$(rows "$msi" Component | awk -F'\t' -v c="$component" '$1 == c { print $6 }')
    if [ $scope = user ]; then
      rows "$msi" Registry | awk -F'\t' -v k="$keypath" '$1 == k && $2 == 1' | grep -q . ||
        fail "user: $component's key path is not an HKCU value"
    else
      [ "$keypath" = "$file" ] || fail "machine: $component's key path is $keypath"
    fi
  done <"$tmp/files"
done
step "signatures, summary, tables, files"
echo "msi: ok"
