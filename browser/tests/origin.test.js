import assert from "node:assert/strict";
import { test } from "node:test";

import { originAllowed } from "../extension/origin.js";

const allowed = ["https://assinador.tolvex.com.br", "http://127.0.0.1:*"];

test("exact origins and wildcard ports", () => {
  assert.ok(originAllowed("https://assinador.tolvex.com.br", allowed));
  assert.ok(originAllowed("http://127.0.0.1:8080", allowed));
  assert.ok(originAllowed("http://127.0.0.1", allowed));
});

test("look-alike origins are refused", () => {
  for (const origin of [
    "http://assinador.tolvex.com.br", // scheme
    "https://assinador.tolvex.com.br:8443", // port not listed
    "https://assinador.tolvex.com.br.evil.example",
    "https://evil.example/https://assinador.tolvex.com.br",
    "https://user@assinador.tolvex.com.br",
    "https://127.0.0.1:8080", // wildcard port keeps the scheme
    "http://127.0.0.1:*", // a pattern is not an origin
    "null",
    "",
    undefined,
  ]) {
    assert.equal(originAllowed(origin, allowed), false, String(origin));
  }
});

test("host names compare without case", () => {
  assert.ok(originAllowed("https://ASSINADOR.tolvex.com.br", allowed));
});
