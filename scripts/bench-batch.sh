#!/usr/bin/env bash
# One sign request of 500 data items filling the 1 MiB frame limit, through the
# agent binary against the emulated store (EC P-256 key, so the cost is the
# agent's own: reading, decoding, digesting, checking each signature against
# the certificate and answering). Prints the median wall and user CPU time of
# ROUNDS runs and the peak memory that /usr/bin/time reports.
# Usage: scripts/bench-batch.sh [BUILD_DIR]   (default build/linux)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
agent=$build/bin/tolvex_agent
[ -x "$agent" ] || { echo "bench-batch: build $agent first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
  -subj "/CN=Bench" -keyout "$work/key.pem" -outform DER -out "$work/cert.der" 2>/dev/null
cat > "$work/store.json" <<JSON
{"certificates":[{"der":"cert.der",
  "key_provider":{"provider":"Microsoft Software Key Storage Provider"},
  "key":{"pem":"key.pem","api":"cng"}}]}
JSON

python3 - "$work" <<'PY'
import base64, hashlib, json, os, struct, sys
work = sys.argv[1]
der = open(os.path.join(work, "cert.der"), "rb").read()
thumb = hashlib.sha256(der).hexdigest()
head = '{"id":"b","command":"sign","thumbprint":"%s","data_list":[' % thumb
tail = ']}'
items = 500
# Largest item size (a multiple of 3 bytes, so no padding) that still fits.
room = 1048576 - len(head) - len(tail) - (items - 1) - 2 * items
size = (room // items) * 3 // 4 // 3 * 3
rnd = os.urandom(size)
body = (head + ",".join('"%s"' % base64.b64encode(rnd[i:] + rnd[:i]).decode()
                       for i in range(items)) + tail).encode()
assert len(body) <= 1048576, len(body)
with open(os.path.join(work, "in.bin"), "wb") as f:
    f.write(struct.pack("<I", len(body)) + body)
print("request: %d items, %d bytes" % (items, len(body)))
PY

# ROUNDS runs (default 7): on a shared machine one run says little.
rounds=${ROUNDS:-7}
for i in $(seq "$rounds"); do
  TOLVEX_EMULATED_STORE=$work/store.json TOLVEX_PKCS11_MODULES= \
    /usr/bin/time -f "%e %U %M" -o "$work/time.$i" "$agent" < "$work/in.bin" > "$work/out.bin" 2>/dev/null
done
python3 - "$work" "$rounds" <<'PY'
import json, statistics, struct, sys
work, rounds = sys.argv[1], int(sys.argv[2])
out = open(work + "/out.bin", "rb").read()
n = struct.unpack("<I", out[:4])[0]
resp = json.loads(out[4:4 + n])
assert resp["ok"], resp
print("response: %d signatures, %d bytes" % (len(resp["result"]["signatures"]), n))
runs = [list(map(float, open("%s/time.%d" % (work, i + 1)).read().split())) for i in range(rounds)]
print("  wall clock, median of %d: %.3f s (min %.3f)" % (rounds, statistics.median(r[0] for r in runs), min(r[0] for r in runs)))
print("  user CPU, median of %d:   %.3f s" % (rounds, statistics.median(r[1] for r in runs)))
print("  peak resident memory:     %d KiB" % max(r[2] for r in runs))
PY
