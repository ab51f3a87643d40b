// The user's control over what a page may do, with the agent, the window and
// the storage replaced by stand-ins.
import assert from "node:assert/strict";
import { test } from "node:test";

import { createApprovals } from "../extension/approvals.js";
import { createGate } from "../extension/gate.js";
import { createSummaries } from "../extension/summaries.js";

const SITE = "https://assinador.tolvex.com.br";
const H32 = Buffer.alloc(32, 1).toString("base64");
const PERSON = {
  thumbprint: "ab".repeat(32),
  subject_name: "FULANO DE TAL:12345678909",
  subject_cn: "\u202ELAT ED ONALUF:12345678909",
  issuer_cn: "AC TESTE",
  not_before: "2026-01-31T00:00:00Z",
  not_after: "2028-01-31T00:00:00Z",
  pki_brazil: { cpf: "12345678909", cnpj: null, company_name: null },
  sources: [{ kind: "pkcs11", label: "tolvex-demo", requires_pin: true, key_storage: "token" }],
};
const tick = () => new Promise((r) => setTimeout(r, 0));

// storage.local / storage.session: every call answers on a later turn, as
// the browser's do, so writes from two places can interleave.
function memoryArea() {
  const data = {};
  const later = (f) => tick().then(f);
  return {
    get: (k) => later(() => structuredClone(k === null ? data : { [k]: data[k] })),
    set: (o) => later(() => Object.assign(data, structuredClone(o))),
    remove: (k) => later(() => delete data[k]),
  };
}

// `choices` are the user's answers, in order: {pin} or {} to go on, null to
// refuse; with none left the user is still reading. `agent` answers each
// relayed request, `hold` keeps it from answering until released.
function setup({ choices = [], agent, allowPagePin = false } = {}) {
  const sent = [];
  const dialogs = [];
  const held = [];
  let running = 0;
  const peak = { agents: 0, windows: 0 };
  const approvals = createApprovals(memoryArea());
  const summaries = createSummaries(memoryArea());
  const relay = async (request) => {
    sent.push(structuredClone(request));
    peak.agents = Math.max(peak.agents, ++running);
    if (g.hold) await new Promise((r) => held.push(r));
    running--;
    if (request.command === "list_certificates") {
      return { response: { id: request.id, ok: true, result: { certificates: [PERSON], warnings: [] } } };
    }
    return agent ? agent(request) : { response: { id: request.id, ok: true, result: { command: request.command } } };
  };
  let open = 0;
  const ui = {
    open(details) {
      peak.windows = Math.max(peak.windows, ++open);
      const dialog = { details, errors: [], closed: false };
      dialog.decision = () => (choices.length ? Promise.resolve(choices.shift()) : new Promise(() => {}));
      dialog.showError = (message) => dialog.errors.push(message);
      dialog.close = async () => {
        if (!dialog.closed) open--;
        dialog.closed = true;
      };
      dialogs.push(dialog);
      return dialog;
    },
  };
  const handle = createGate({ relay, ui, approvals, summaries, allowPagePin });
  const never = new Promise(() => {});
  const ask = (request, origin = SITE, cancelled = never, status) => handle(origin, request, cancelled, status);
  const g = { sent, dialogs, approvals, peak, held, ask, hold: false };
  return g;
}

test("a site is approved once, before anything but ping; a refusal is not remembered", async () => {
  const g = setup({ choices: [null, {}, {}, null] });
  assert.equal((await g.ask({ id: "1", command: "ping" })).response.ok, true);
  assert.equal(g.dialogs.length, 0);

  assert.deepEqual((await g.ask({ id: "2", command: "list_tokens" })).error.code, "user_cancelled");
  assert.equal(g.sent.length, 1, "nothing reaches the agent after a refusal");
  assert.equal((await g.ask({ id: "3", command: "list_tokens" })).response.ok, true);
  assert.deepEqual(g.dialogs.map((d) => [d.details.kind, d.details.origin, d.closed]), [
    ["site", SITE, true],
    ["site", SITE, true],
  ]);
  await g.ask({ id: "4", command: "list_certificates" });
  await g.ask({ id: "5", command: "read_certificate", thumbprint: PERSON.thumbprint });
  assert.equal(g.dialogs.length, 2, "an approved site is not asked again");

  const other = "https://outro.tolvex.com.br";
  const both = await Promise.all([g.ask({ id: "6", command: "list_certificates" }, other),
                                  g.ask({ id: "6b", command: "list_tokens" }, other)]);
  assert.ok(both.every((r) => r.response.ok));
  assert.equal(g.dialogs.length, 3, "approval is per origin, one window for requests that arrive together");
  await g.approvals.revoke(SITE);
  assert.equal((await g.ask({ id: "7", command: "list_tokens" })).error.code, "user_cancelled", "asked again after revoking");
});

test("a site nobody approved learns nothing about the certificates from a signature", async () => {
  const g = setup({ choices: [null, null] });
  const present = await g.ask({ id: "p", command: "sign", thumbprint: PERSON.thumbprint, hash: H32 });
  const absent = await g.ask({ id: "a", command: "sign", thumbprint: "00".repeat(32), hash: H32 });
  assert.deepEqual(present, absent);
  assert.equal(present.error.code, "user_cancelled");
  assert.deepEqual(g.dialogs.map((d) => d.details.kind), ["site", "site"]);
  assert.equal(g.sent.length, 0, "not even a listing before the site is approved");
});

test("every signature is confirmed in the window, which shows only checked facts and takes the PIN", async () => {
  let tries = 0;
  const agent = (r) =>
    r.pin === "1234"
      ? { response: { id: r.id, ok: true, result: { signatures: ["c2ln"] } } }
      : { response: { id: r.id, ok: false, error: { code: "pin_incorrect", message: `PIN incorreto (${++tries})` } } };
  const g = setup({ choices: [{}, { pin: "0000" }, { pin: "1234" }, { pin: "1234" }, null], agent });
  const statuses = [];
  const request = {
    id: "s", command: "sign", thumbprint: PERSON.thumbprint.toUpperCase(), hashes: Array(7).fill(Buffer.alloc(48).toString("base64")),
    digest_algorithm: "SHA-384", labels: Array.from({ length: 7 }, (_, i) => `doc\u200B ${i}.pdf`),
  };
  const signed = await g.ask(request, SITE, new Promise(() => {}), (s) => statuses.push(s));
  assert.deepEqual(signed.response.result.signatures, ["c2ln"]);
  const d = g.dialogs[1];
  assert.deepEqual(d.details, {
    kind: "sign", origin: SITE, holder: "[U+202E]LAT ED ONALUF:12345678909", id: { label: "CPF", value: "123.456.789-09" },
    company: null, responsible: null, issuer: "AC TESTE", validity: { from: "31/01/2026", to: "31/01/2028" },
    items: 7, digest: "SHA-384", labels: ["doc 0.pdf", "doc 1.pdf", "doc 2.pdf", "doc 3.pdf", "doc 4.pdf"],
    needsPin: true, pinLabel: "tolvex-demo",
  });
  assert.deepEqual(d.errors, ["PIN incorreto (1)"], "the agent's message is shown and the window stays");
  const signs = g.sent.filter((r) => r.command === "sign");
  assert.deepEqual(signs.map((r) => r.pin), ["0000", "1234"]);
  assert.deepEqual(Object.keys(signs[0]), ["id", "command", "thumbprint", "hashes", "digest_algorithm", "pin"],
                   "labels stay in the extension; the PIN goes in last");
  assert.equal("pin" in request, false, "the page's request never holds the typed PIN");
  assert.deepEqual(statuses, ["waiting_user", "working", "waiting_user", "working", "waiting_user", "working"],
                   "the page's time limit is off while the person decides");

  // The listing made for the first window is remembered: the next signature
  // starts one agent, for the signature itself.
  const before = g.sent.length;
  assert.equal((await g.ask({ ...request, id: "t", labels: undefined })).response.ok, true);
  assert.deepEqual(g.sent.slice(before).map((r) => r.command), ["sign"]);
  assert.equal(g.dialogs.at(-1).details.labels, null);
  // A refusal reaches no key.
  assert.equal((await g.ask({ ...request, id: "u" })).error.code, "user_cancelled");
  assert.equal(g.sent.length, before + 1);

  // An unknown certificate is not offered for signing, and a certificate
  // the agent no longer finds is listed again next time.
  const unknown = await g.ask({ ...request, id: "v", thumbprint: "00".repeat(32) });
  assert.equal(unknown.response.error.code, "certificate_not_found");
  assert.equal(g.dialogs.length, 4);
});

test("one window at a time, a few requests waiting per site, a few agents at once", async () => {
  const g = setup();
  await g.approvals.approve(SITE);
  await g.ask({ id: "l", command: "list_certificates" });
  g.hold = true;
  const signs = Array.from({ length: 12 }, (_, i) =>
    g.ask({ id: `s${i}`, command: "sign", thumbprint: PERSON.thumbprint, hash: H32 }));
  const pings = Array.from({ length: 40 }, (_, i) => g.ask({ id: `p${i}`, command: "ping" }, "https://outro.tolvex.com.br"));
  const busyAtOnce = await Promise.race([Promise.all(signs.slice(6)), new Promise((r) => setTimeout(r, 50))]);
  assert.deepEqual(count(busyAtOnce ?? []), { busy: 6 }, "one signature shown, five waiting, the rest busy");
  assert.equal(g.dialogs.length, 1);
  for (let i = 0; i < 100 && (g.held.length || g.sent.length < 10); i++) {
    g.held.shift()?.();
    await tick();
  }
  assert.deepEqual(count(await Promise.all(pings)), { ok: 9, busy: 31 });
  assert.equal(g.peak.agents, 4);
  assert.equal(g.peak.windows, 1);
});

function count(replies) {
  const out = {};
  for (const r of replies) {
    const key = r.error?.code ?? (r.response.ok ? "ok" : r.response.error.code);
    out[key] = (out[key] ?? 0) + 1;
  }
  return out;
}

test("a page that gives up closes its window; the requests behind it are asked for themselves", async () => {
  const g = setup({ choices: [] });
  let giveUp;
  const cancelled = new Promise((r) => (giveUp = r));
  const first = g.ask({ id: "c", command: "list_tokens" }, SITE, cancelled);
  const second = g.ask({ id: "d", command: "list_certificates" });
  for (let i = 0; i < 10; i++) await tick();
  assert.equal(g.dialogs.length, 1);
  giveUp();
  assert.equal((await first).error.code, "user_cancelled");
  for (let i = 0; i < 10; i++) await tick();
  assert.deepEqual(g.dialogs.map((d) => [d.details.kind, d.closed]), [["site", true], ["site", false]],
                   "the second request gets its own question, after the first window is gone");
  assert.equal(g.peak.windows, 1);
  void second;
});

test("approving one site while another is revoked loses neither", async () => {
  const area = memoryArea();
  const a = createApprovals(area);
  const b = createApprovals(area); // the options page's own copy
  await a.approve("https://a.example");
  await Promise.all([b.revoke("https://a.example"), a.approve("https://b.example"), a.approve("https://c.example")]);
  assert.deepEqual((await b.list()).map((s) => s.origin), ["https://b.example", "https://c.example"]);
});
