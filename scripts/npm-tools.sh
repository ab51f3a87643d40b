#!/usr/bin/env bash
# Installs the npm packages a folder's package-lock.json pins into a folder
# of the build, and again only when that lockfile changes:
#   npm-tools.sh SOURCE_DIR DEST_DIR FILE_THAT_MUST_EXIST
# The test tools (axe-core, TypeScript, addons-linter) come this way, never
# from the source tree.
set -euo pipefail
src=${1:?usage: npm-tools.sh SOURCE_DIR DEST_DIR FILE} dest=${2:?} marker=${3:?}
if [ -e "$dest/$marker" ] && cmp -s "$src/package-lock.json" "$dest/package-lock.json"; then
  exit 0
fi
command -v npm >/dev/null || { echo "npm not found (scripts/install-deps.sh installs nodejs)" >&2; exit 1; }
rm -rf "$dest"
mkdir -p "$dest"
cp "$src/package.json" "$src/package-lock.json" "$dest/"
(cd "$dest" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) >&2 ||
  { echo "npm could not install the packages of $src/package-lock.json" >&2; exit 1; }
