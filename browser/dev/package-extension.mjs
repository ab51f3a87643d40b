// Builds the extension as a site ships it, from browser/extension with the
// configuration it holds (config.js, manifest.json):
//
//   node browser/dev/package-extension.mjs OUT VERSION
//
//   OUT/tolvex-extension-VERSION-chromium.zip  upload to the Chrome Web Store
//                                              (Chrome; Edge Add-ons takes it too)
//   OUT/tolvex-extension-VERSION-firefox.xpi   submit to addons.mozilla.org
//
// It refuses a configuration that cannot be shipped: a manifest version
// other than VERSION, page origins in config.js that the content script's
// matches do not cover (or the reverse), an origin that is not https, or a
// file the manifest or a script names that is not there.
import { mkdirSync, readdirSync, readFileSync, writeFileSync } from "node:fs";
import { dirname, join, posix } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";
import { crc32, deflateRawSync } from "node:zlib";

const [out, version] = process.argv.slice(2);
if (!out || !version) {
  console.error("uso: node package-extension.mjs PASTA VERSÃO");
  process.exit(2);
}
const source = join(dirname(fileURLToPath(import.meta.url)), "../extension");
const files = readdirSync(source).filter((f) => f !== "README.md").sort();
const manifest = JSON.parse(readFileSync(join(source, "manifest.json"), "utf8"));
const config = await import(pathToFileURL(join(source, "config.js")));

const faults = [];
if (manifest.version !== version) faults.push(`manifest.json tem a versão ${manifest.version}, não ${version}`);

// "https://host", "https://host:8443" and "https://host:*" are all served by
// the content script pattern "https://host/*" (patterns leave the port out).
const patternOf = (origin) => {
  const m = /^(https):\/\/([^/:]+)(?::(?:\d+|\*))?$/.exec(origin);
  return m ? `${m[1]}://${m[2]}/*` : null;
};
const wanted = new Set();
for (const origin of config.ALLOWED_PAGE_ORIGINS) {
  const pattern = patternOf(origin);
  if (pattern) wanted.add(pattern);
  else faults.push(`config.js: ${origin} não é uma origem https (esquema, nome e porta opcional)`);
}
const matches = new Set(manifest.content_scripts.flatMap((s) => s.matches));
for (const p of wanted) if (!matches.has(p)) faults.push(`manifest.json: content_scripts.matches não cobre ${p}`);
for (const p of matches) if (!wanted.has(p)) faults.push(`manifest.json: ${p} não corresponde a nenhuma origem de config.js`);

// Every file the manifest, a page or a script refers to.
const named = [
  manifest.background.service_worker,
  ...manifest.background.scripts,
  manifest.options_ui.page,
  ...manifest.content_scripts.flatMap((s) => s.js),
];
for (const f of files) {
  const text = readFileSync(join(source, f), "utf8");
  if (f.endsWith(".js")) for (const m of text.matchAll(/^\s*(?:import|export)\b[^"']*?from\s+["']\.\/([^"']+)["']/gm)) named.push(m[1]);
  if (f.endsWith(".html")) for (const m of text.matchAll(/\b(?:src|href)="([^":]+)"/g)) named.push(m[1]);
}
for (const f of new Set(named)) if (!files.includes(f)) faults.push(`${f} é citado mas não existe em browser/extension`);

if (faults.length) {
  console.error("package-extension: configuração que não pode ser publicada:\n  " + faults.join("\n  "));
  process.exit(1);
}

// Each store gets only what its browser reads. "key" pins the ID of an
// unpacked copy; a store assigns the ID of what it publishes.
const chromium = structuredClone(manifest);
delete chromium.key;
delete chromium.browser_specific_settings;
delete chromium.background.scripts;
const firefox = structuredClone(manifest);
delete firefox.key;
delete firefox.background.service_worker;

mkdirSync(out, { recursive: true });
for (const [name, m] of [["chromium.zip", chromium], ["firefox.xpi", firefox]]) {
  const entries = files.map((f) => [f, f === "manifest.json" ? Buffer.from(JSON.stringify(m, null, 2) + "\n") : readFileSync(join(source, f))]);
  const path = join(out, `tolvex-extension-${version}-${name}`);
  writeFileSync(path, zip(entries));
  console.log(path);
}

// A plain zip (deflate, no extra fields), the same bytes on every build: the
// entries in name order, all dated 1980-01-01.
function zip(entries) {
  const locals = [];
  const centrals = [];
  let offset = 0;
  for (const [name, data] of entries) {
    const packed = deflateRawSync(data, { level: 9 });
    const fileName = Buffer.from(posix.normalize(name));
    const common = Buffer.alloc(26);
    common.writeUInt16LE(20, 0); // version needed: 2.0
    common.writeUInt16LE(0x0800, 2); // names are UTF-8
    common.writeUInt16LE(8, 4); // deflate
    common.writeUInt16LE(0, 6); // 00:00
    common.writeUInt16LE(0x21, 8); // 1980-01-01
    common.writeUInt32LE(crc32(data), 10);
    common.writeUInt32LE(packed.length, 14);
    common.writeUInt32LE(data.length, 18);
    common.writeUInt16LE(fileName.length, 22);
    common.writeUInt16LE(0, 24);
    const local = Buffer.concat([Buffer.from([0x50, 0x4b, 0x03, 0x04]), common, fileName, packed]);
    // Comment length, disk, internal attributes (all 0), external
    // attributes (a regular file, rw-r--r--), the local header's offset.
    const tail = Buffer.alloc(14);
    tail.writeUInt32LE((0o100644 << 16) >>> 0, 6);
    tail.writeUInt32LE(offset, 10);
    const made = Buffer.alloc(2);
    made.writeUInt16LE(0x0314, 0); // made by: Unix, 2.0
    centrals.push(Buffer.concat([Buffer.from([0x50, 0x4b, 0x01, 0x02]), made, common, tail, fileName]));
    locals.push(local);
    offset += local.length;
  }
  const central = Buffer.concat(centrals);
  const end = Buffer.alloc(22);
  end.writeUInt32LE(0x06054b50, 0);
  end.writeUInt16LE(entries.length, 8);
  end.writeUInt16LE(entries.length, 10);
  end.writeUInt32LE(central.length, 12);
  end.writeUInt32LE(offset, 16);
  return Buffer.concat([...locals, central, end]);
}
