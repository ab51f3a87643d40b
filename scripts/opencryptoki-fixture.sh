#!/usr/bin/env bash
# opencryptoki's software token for the tests, kept away from the machine's
# own: the command runs in private mount, IPC and PID namespaces, where
# /run, /var/lib/opencryptoki and /var/log/opencryptoki are fresh tmpfs
# mounts, so neither a system pkcsslotd nor a system token store is touched
# or seen. Inside them pkcsslotd is started, the software token (slot 3 of
# Debian's opencryptoki.conf) initialised with pkcsconf, an RSA-2048 key and
# a P-256 key imported with certificates from a throw-away CA, and then the
# command runs. pkcsslotd is stopped by its PID when the command ends; should
# this script die first, the kernel ends everything in the PID namespace.
#
# Usage: scripts/opencryptoki-fixture.sh DIR COMMAND [ARGS...]
# DIR is emptied first and then holds rsa.der/ec.der, their keys, pin (the
# user PIN) and the daemon's log; OPENCRYPTOKI_FIXTURE=DIR is exported to the
# command. Needs root (namespaces, mounts, the pkcs11 group).
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  dir=${1:?usage: opencryptoki-fixture.sh DIR COMMAND [ARGS...]}
  shift
  [ $# -gt 0 ] || { echo "opencryptoki-fixture: no command" >&2; exit 2; }
  # What is missing skips the test (status 77) on a developer's machine and
  # fails it in CI (CI set), where scripts/install-deps.sh has run as root.
  unavailable() {
    echo "opencryptoki-fixture: $*" >&2
    [ -n "${CI:-}" ] && exit 1
    exit 77
  }
  [ "$(id -u)" -eq 0 ] || unavailable "needs root (namespaces, mounts)"
  for tool in pkcsslotd pkcsconf pkcs11-tool openssl unshare; do
    PATH=$PATH:/usr/sbin command -v "$tool" >/dev/null ||
      unavailable "$tool not found (scripts/install-deps.sh)"
  done
  [ -f /usr/lib/x86_64-linux-gnu/pkcs11/libopencryptoki.so ] ||
    unavailable "libopencryptoki.so not found (scripts/install-deps.sh)"
  rm -rf "$dir"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  exec unshare --mount --ipc --pid --fork --mount-proc --kill-child --propagation private -- "$0" --inside "$dir" "$@"
fi

shift
dir=$1
shift
export PATH=$PATH:/usr/sbin
module=/usr/lib/x86_64-linux-gnu/pkcs11/libopencryptoki.so
slot=3
so_pin=87654321
pin=12345678
new_so_pin=76543210

# What the package's postinst and tmpfiles.d entry set up on a booted
# machine: the pkcs11 group (the daemon gives its socket and shared memory
# to it), the token folders and the lock folders, group-owned and 0770.
getent group pkcs11 >/dev/null || groupadd --system pkcs11
mount -t tmpfs -o mode=0755 tolvex-run /run
mount -t tmpfs -o mode=0770 tolvex-ock-lib /var/lib/opencryptoki
mkdir -p /var/log/opencryptoki
mount -t tmpfs -o mode=0770 tolvex-ock-log /var/log/opencryptoki
mkdir -p /run/lock/opencryptoki/swtok /var/lib/opencryptoki/swtok/TOK_OBJ
chgrp -R pkcs11 /run/lock/opencryptoki /var/lib/opencryptoki /var/log/opencryptoki
chmod -R 0770 /run/lock/opencryptoki /var/lib/opencryptoki

daemon_pid=
stop_daemon() {
  [ -n "$daemon_pid" ] || return 0
  if kill "$daemon_pid" 2>/dev/null; then
    for _ in $(seq 50); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$daemon_pid" 2>/dev/null || true
  fi
  daemon_pid=
}
trap stop_daemon EXIT
fail() { echo "opencryptoki-fixture: $*" >&2; exit 1; }

# pkcsslotd forks into the background and writes its PID file; its output
# goes to a file, so no caller's pipe is held open by it.
pkcsslotd </dev/null >"$dir/pkcsslotd.log" 2>&1 || fail "pkcsslotd did not start: $(cat "$dir/pkcsslotd.log")"
for _ in $(seq 50); do [ -S /run/pkcsslotd.socket ] && [ -s /run/pkcsslotd.pid ] && break; sleep 0.1; done
[ -s /run/pkcsslotd.pid ] || fail "no /run/pkcsslotd.pid"
daemon_pid=$(cat /run/pkcsslotd.pid)

cd "$dir"
# The token: initialised (pkcsconf asks for the label on standard input),
# a new SO PIN (the default one may not be kept) and the user PIN.
echo tolvex-ock | pkcsconf -c $slot -I -S $so_pin >pkcsconf.log 2>&1 || fail "pkcsconf -I: $(cat pkcsconf.log)"
pkcsconf -c $slot -P -S $so_pin -n $new_so_pin >>pkcsconf.log 2>&1 || fail "pkcsconf -P: $(cat pkcsconf.log)"
pkcsconf -c $slot -u -S $new_so_pin -n $pin >>pkcsconf.log 2>&1 || fail "pkcsconf -u: $(cat pkcsconf.log)"
printf '%s\n' "$pin" > pin

openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Tolvex CA de Teste" \
  -keyout ca.key -out ca.pem 2>/dev/null
for kind in rsa ec; do
  if [ $kind = rsa ]; then newkey=(-newkey rsa:2048); else newkey=(-newkey ec -pkeyopt ec_paramgen_curve:P-256); fi
  openssl req -new "${newkey[@]}" -nodes -subj "/CN=Titular ${kind^^} opencryptoki" \
    -keyout $kind.key -out $kind.csr 2>/dev/null
  openssl x509 -req -in $kind.csr -CA ca.pem -CAkey ca.key -days 30 -set_serial $RANDOM \
    -outform DER -out $kind.der 2>/dev/null
  openssl pkey -in $kind.key -outform DER -out $kind.key.der
  id=$([ $kind = rsa ] && echo 01 || echo 02)
  tool=(pkcs11-tool --module $module --slot $slot --login --pin $pin)
  "${tool[@]}" --write-object $kind.key.der --type privkey --id $id --label $kind >>import.log 2>&1 ||
    fail "importing the $kind key: $(cat import.log)"
  "${tool[@]}" --write-object $kind.der --type cert --id $id --label $kind >>import.log 2>&1 ||
    fail "importing the $kind certificate: $(cat import.log)"
done

export OPENCRYPTOKI_FIXTURE=$dir
set +e
"$@"
status=$?
set -e
exit $status
