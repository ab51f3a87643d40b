#!/usr/bin/env bash
# What a web developer and a site get, checked as they would use it:
#   - the page client packed with npm pack, installed from the tarball into
#     an empty project, imported by node (no browser there: importing must
#     not touch one) and type-checked with tsc against a typed page;
#   - the extension's Firefox package (make extension) linted by
#     addons-linter, the checker behind web-ext lint and addons.mozilla.org.
# The tools come from npm at the versions browser/package-lock.json pins,
# installed once into build/browser-npm.
#
# Usage: browser/dev/check.sh VERSION EXTENSION_DIR
set -euo pipefail
version=${1:?usage: check.sh VERSION EXTENSION_DIR}
extensions=${2:?usage: check.sh VERSION EXTENSION_DIR}
root=$(cd "$(dirname "$0")/../.." && pwd)
tools=$root/build/browser-npm
started=$(date +%s.%N)

bash "$root/scripts/npm-tools.sh" "$root/browser" "$tools" node_modules/.bin/tsc ||
  { echo "browser: typescript and addons-linter could not be installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

declared=$(node -p 'require(process.argv[1]).version' "$root/browser/js/package.json")
[ "$declared" = "$version" ] ||
  { echo "browser: browser/js/package.json has version $declared, the project $version" >&2; exit 1; }
tarball=$(cd "$root/browser/js" && npm pack --silent --pack-destination "$work")
contents=$(tar -tzf "$work/$tarball" | sort | tr '\n' ' ')
[ "$contents" = "package/README.md package/package.json package/tolvex.d.ts package/tolvex.js " ] ||
  { echo "browser: the package holds $contents" >&2; exit 1; }

# An empty project, as a site starts one; nothing in it comes from the
# registry.
app=$work/app
mkdir -p "$app"
printf '{ "name": "site", "private": true, "type": "module" }\n' >"$app/package.json"
(cd "$app" && npm install --offline --no-audit --no-fund --loglevel=error "$work/$tarball") >/dev/null
(cd "$app" && node --input-type=module -e '
  const tolvex = await import("@tolvex/page-client");
  const names = Object.keys(tolvex).sort().join(" ");
  if (typeof window !== "undefined") throw new Error("a window appeared");
  const e = await tolvex.ping().then(() => null, (e) => e);
  if (!(e instanceof tolvex.TolvexError) || e.code !== "extension_missing") throw new Error(`ping outside a browser: ${e}`);
  console.log(`browser: ${process.argv[1]} imported by node ${process.version}: ${names}; ping outside a browser: ${e}`);
' "$tarball")
cp "$root/browser/tests/types/usage.ts" "$app/"
cat >"$app/tsconfig.json" <<'JSON'
{ "compilerOptions": { "strict": true, "noEmit": true, "target": "es2022", "module": "nodenext",
                       "moduleResolution": "nodenext", "lib": ["es2022", "dom"], "types": [] },
  "files": ["usage.ts"] }
JSON
(cd "$app" && "$tools/node_modules/.bin/tsc" -p .) ||
  { echo "browser: tsc found faults in the typed page against the package's types" >&2; exit 1; }
echo "browser: tsc $("$tools/node_modules/.bin/tsc" --version | sed 's/Version //') checked a typed page against the installed package: no faults"

xpi=$extensions/tolvex-extension-$version-firefox.xpi
lint=$(node "$tools/node_modules/addons-linter/bin/addons-linter" --output json "$xpi" 2>/dev/null) || true
node -e '
  const r = JSON.parse(process.argv[1]);
  const found = ["errors", "warnings", "notices"].flatMap((k) => r[k].map((m) => `${k}: ${m.code} ${m.file ?? ""} ${m.message}`));
  if (found.length) { console.error(found.join("\n")); process.exit(1); }
  console.log(`browser: addons-linter: ${process.argv[2]}: no errors, warnings or notices`);
' "$lint" "$(basename "$xpi")" || { echo "browser: addons-linter found faults in $xpi" >&2; exit 1; }
echo "browser: checked in $(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $started }") s"
