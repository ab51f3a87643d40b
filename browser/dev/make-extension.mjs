// Makes a development copy of the sample extension that also serves pages
// on 127.0.0.1 and localhost:  node browser/dev/make-extension.mjs OUT
// The copy keeps the extension's IDs (Chromium's key, Firefox's gecko ID).
import { cpSync, readFileSync, renameSync, writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const out = process.argv[2];
if (!out) {
  console.error("uso: node make-extension.mjs PASTA");
  process.exit(2);
}
const here = dirname(fileURLToPath(import.meta.url));
cpSync(join(here, "../extension"), out, { recursive: true });
renameSync(join(out, "config.js"), join(out, "config.shipped.js"));
cpSync(join(here, "config.js"), join(out, "config.js"));
const manifestPath = join(out, "manifest.json");
const manifest = JSON.parse(readFileSync(manifestPath, "utf8"));
for (const script of manifest.content_scripts) {
  script.matches.push("http://127.0.0.1/*", "http://localhost/*");
}
writeFileSync(manifestPath, JSON.stringify(manifest, null, 2) + "\n");
