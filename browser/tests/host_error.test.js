import assert from "node:assert/strict";
import { test } from "node:test";

import { hostError } from "../extension/host_error.js";

test("each browser's native-port failures become the page client's codes", () => {
  const cases = [
    ["Specified native messaging host not found.", "host_not_found"],
    ["Access to the specified native messaging host is forbidden.", "host_forbidden"],
    ["Native host has exited.", "host_exited"],
    ["No such native application br.com.tolvex.agent", "host_not_found"], // Firefox: missing or not listed
    [undefined, "host_exited"], // Firefox: the agent ended without an error
    ["Error when communicating with the native messaging host.", "host_error"],
  ];
  for (const [text, code] of cases) {
    const e = hostError(text);
    assert.equal(e.code, code, String(text));
    assert.equal(e.detail, text);
    assert.ok(e.message.startsWith("o agente Tolvex") || e.message.startsWith("falha ao falar"), e.message);
  }
});
