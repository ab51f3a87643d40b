// The page client's reference (js/README.md) and types (js/tolvex.d.ts)
// against what the code does: the calls the module exports, the error codes
// the agent, the extension and the client produce, and the keys the agent
// writes into its results. A change to one that the others miss fails here.
import assert from "node:assert/strict";
import { readFileSync, readdirSync } from "node:fs";
import { test } from "node:test";

const read = (path) => readFileSync(new URL(path, import.meta.url), "utf8");
const all = (text, re) => [...text.matchAll(re)].map((m) => m[1]);
const sorted = (list) => [...new Set(list)].sort();

const readme = read("../js/README.md");
const types = read("../js/tolvex.d.ts");

test("the reference and the types name exactly the calls the module exports", async () => {
  // Imported with no window at all, as under server-side rendering.
  const exported = sorted(Object.keys(await import("../js/tolvex.js?reference")));
  assert.deepEqual(sorted(all(types, /^export (?:function|class) (\w+)/gm)), exported);
  const calls = readme.slice(readme.indexOf("\n## Calls"), readme.indexOf("\n## ", readme.indexOf("\n## Calls") + 1));
  assert.deepEqual(sorted(all(calls, /^### (\w+)/gm)), exported);
});

test("every error code a page can get is typed and explained, and no other", () => {
  const union = types.slice(types.indexOf("export type TolvexErrorCode"), types.indexOf(";", types.indexOf("export type TolvexErrorCode")));
  const typed = sorted(all(union, /"([a-z_]+)"/g));
  const documented = sorted(all(readme.slice(readme.indexOf("| code | from |")), /^\| `([a-z_]+)` \|/gm));
  assert.deepEqual(documented, typed);

  const agent = [read("../../libs/tolvex-core/src/error.cpp"), read("../../apps/agent/results.hpp"), read("../../apps/agent/handler.cpp")]
    .flatMap((text) => all(text, /(?:return \{?|CommandFailure\{)"([a-z]+(?:_[a-z]+)*)"/g));
  const scripts = [
    read("../js/tolvex.js"),
    ...readdirSync(new URL("../extension/", import.meta.url)).filter((f) => f.endsWith(".js")).map((f) => read(`../extension/${f}`)),
  ];
  const browser = scripts.flatMap((text) => all(text, /(?:code: |TolvexError\(\s*)"([a-z]+(?:_[a-z]+)*)"/g));
  // "cancelled" answers a request the page itself gave up on (it already
  // rejected it with timeout) or a page that went away: no page sees it.
  const produced = sorted([...agent, ...browser]).filter((code) => code !== "cancelled");
  assert.ok(agent.includes("pin_locked") && agent.includes("unknown_command") && browser.includes("busy"), "the scan finds codes");
  assert.deepEqual(produced, typed);
});

test("every key the agent writes into a result is typed and explained", () => {
  const results = read("../../apps/agent/results.cpp");
  const keys = sorted([...all(results, /(?:out|item)\["(\w+)"\]/g), "module", "source"]);
  assert.ok(keys.includes("pki_brazil") && keys.includes("requires_pin"), "the scan finds keys");
  for (const key of keys) {
    assert.match(types, new RegExp(`^\\s+${key}\\??:`, "m"), `tolvex.d.ts lacks ${key}`);
    assert.ok(readme.includes(`\`${key}\``), `README.md lacks ${key}`);
  }
});
