// The user's control over what a page may do, with the agent, the window and
// the storage replaced by stand-ins.
import assert from "node:assert/strict";
import { test } from "node:test";

import { createApprovals } from "../extension/approvals.js";
import { createGate } from "../extension/gate.js";

const SITE = "https://assinador.tolvex.com.br";
const PERSON = {
  thumbprint: "ab".repeat(32),
  subject_name: "FULANO DE TAL:12345678909",
  subject_cn: "FULANO DE TAL:12345678909",
  issuer_cn: "AC TESTE",
  not_before: "2026-01-31T00:00:00Z",
  not_after: "2028-01-31T00:00:00Z",
  pki_brazil: { cpf: "12345678909", cnpj: null, company_name: null },
  sources: [{ kind: "pkcs11", label: "tolvex-demo", requires_pin: true, key_storage: "token" }],
};

function memoryArea() {
  const data = {};
  return { get: async (k) => ({ [k]: structuredClone(data[k]) }), set: async (o) => Object.assign(data, structuredClone(o)) };
}

// `choices` are the user's answers, in order: {pin} or {} to go on, null to
// refuse. `agent` answers each relayed request.
function setup({ choices = [], agent, allowPagePin = false } = {}) {
  const sent = [];
  const dialogs = [];
  const approvals = createApprovals(memoryArea());
  const relay = async (request) => {
    sent.push(structuredClone(request));
    if (request.command === "list_certificates") {
      return { response: { id: request.id, ok: true, result: { certificates: [PERSON], warnings: [] } } };
    }
    return agent ? agent(request) : { response: { id: request.id, ok: true, result: { command: request.command } } };
  };
  const ui = {
    open(details) {
      const dialog = { details, errors: [], closed: false };
      // With no answer left the user is still reading: only the page can end it.
      dialog.decision = () => (choices.length ? Promise.resolve(choices.shift()) : new Promise(() => {}));
      dialog.showError = (message) => dialog.errors.push(message);
      dialog.close = () => (dialog.closed = true);
      dialogs.push(dialog);
      return dialog;
    },
  };
  const handle = createGate({ relay, ui, approvals, allowPagePin });
  const never = new Promise(() => {});
  return { sent, dialogs, approvals, ask: (request, origin = SITE, cancelled = never) => handle(origin, request, cancelled) };
}

test("a site is approved once for listings, a refusal is not remembered, ping never asks", async () => {
  const g = setup({ choices: [null, {}, {}, null] });
  assert.equal((await g.ask({ id: "1", command: "ping" })).response.ok, true);
  assert.equal(g.dialogs.length, 0);

  assert.deepEqual((await g.ask({ id: "2", command: "list_tokens" })).error.code, "user_cancelled");
  assert.equal(g.sent.length, 1, "nothing reaches the agent after a refusal");
  assert.equal((await g.ask({ id: "3", command: "list_tokens" })).response.ok, true);
  assert.deepEqual(g.dialogs.map((d) => [d.details.kind, d.details.origin, d.details.command, d.closed]), [
    ["site", SITE, "list_tokens", true],
    ["site", SITE, "list_tokens", true],
  ]);
  await g.ask({ id: "4", command: "list_certificates" });
  await g.ask({ id: "5", command: "read_certificate", thumbprint: PERSON.thumbprint });
  assert.equal(g.dialogs.length, 2, "an approved site is not asked again");

  const other = "https://outro.tolvex.com.br";
  const both = await Promise.all([g.ask({ id: "6", command: "list_certificates" }, other),
                                  g.ask({ id: "6b", command: "list_tokens" }, other)]);
  assert.ok(both.every((r) => r.response.ok));
  assert.equal(g.dialogs.length, 3, "approval is per origin, one window for requests that arrive together");
  assert.deepEqual((await g.approvals.list()).map((s) => s.origin), ["https://assinador.tolvex.com.br", "https://outro.tolvex.com.br"]);
  await g.approvals.revoke(SITE);
  assert.equal((await g.ask({ id: "7", command: "list_tokens" })).error.code, "user_cancelled", "asked again after revoking");
});

test("every signature is confirmed in the window, which takes the PIN and offers a retry", async () => {
  let tries = 0;
  const agent = (r) =>
    r.pin === "1234"
      ? { response: { id: r.id, ok: true, result: { signatures: ["c2ln"] } } }
      : { response: { id: r.id, ok: false, error: { code: "pin_incorrect", message: `PIN incorreto (${++tries})` } } };
  const g = setup({ choices: [{ pin: "0000" }, { pin: "1234" }, { pin: "1234" }, null], agent });
  const request = { id: "s", command: "sign", thumbprint: PERSON.thumbprint.toUpperCase(), hashes: ["QQ==", "Qg==", "Qw=="], digest_algorithm: "SHA-384" };

  const signed = await g.ask(request);
  assert.deepEqual(signed.response.result.signatures, ["c2ln"]);
  const [d] = g.dialogs;
  assert.deepEqual(d.details, {
    kind: "sign", origin: SITE, holder: "FULANO DE TAL:12345678909", id: { label: "CPF", value: "123.456.789-09" },
    company: null, responsible: null, issuer: "AC TESTE", validity: { from: "31/01/2026", to: "31/01/2028" },
    items: 3, digest: "SHA-384", needsPin: true, pinLabel: "tolvex-demo",
  });
  assert.deepEqual(d.errors, ["PIN incorreto (1)"], "the agent's message is shown and the window stays");
  assert.equal(d.closed, true);
  assert.deepEqual(g.sent.filter((r) => r.command === "sign").map((r) => r.pin), ["0000", "1234"]);
  assert.equal("pin" in request, false, "the page's request never holds the typed PIN");

  // Asked again for the next signature; a refusal reaches no key.
  assert.equal((await g.ask({ ...request, id: "t" })).response.ok, true);
  const before = g.sent.length;
  assert.equal((await g.ask({ ...request, id: "u" })).error.code, "user_cancelled");
  assert.equal(g.sent.slice(before).some((r) => r.command === "sign"), false);
  assert.equal(g.dialogs.length, 3);

  // An unknown certificate is not offered for signing.
  const unknown = await g.ask({ ...request, id: "v", thumbprint: "00".repeat(32) });
  assert.equal(unknown.response.error.code, "certificate_not_found");
  assert.equal(g.dialogs.length, 3);
});

test("a page's PIN is refused before anything is asked or sent, unless the deployment allows it", async () => {
  const request = { id: "p", command: "sign", thumbprint: PERSON.thumbprint, hash: "QQ==", pin: "1234" };
  const strict = setup();
  assert.equal((await strict.ask(request)).error.code, "invalid_argument");
  assert.equal(strict.sent.length + strict.dialogs.length, 0);
  assert.equal((await strict.ask({ ...request, pin: "" })).error.code, "invalid_argument");

  const lenient = setup({ choices: [{}], allowPagePin: true });
  assert.equal((await lenient.ask(request)).response.ok, true);
  assert.equal(lenient.dialogs[0].details.needsPin, false, "the signature is still confirmed, without a PIN field");
  assert.equal(lenient.sent.at(-1).pin, "1234");
});

test("a page that gives up closes the window", async () => {
  const g = setup();
  let giveUp;
  const cancelled = new Promise((r) => (giveUp = r));
  const pending = g.ask({ id: "c", command: "list_certificates" }, SITE, cancelled);
  await new Promise((r) => setTimeout(r, 0));
  giveUp();
  assert.equal((await pending).error.code, "user_cancelled");
  assert.equal(g.dialogs[0].closed, true);
});
