// The page client against a stand-in for the extension's content script, on
// a minimal window that delivers postMessage like a browser does.
import assert from "node:assert/strict";
import { beforeEach, test } from "node:test";

class FakeWindow extends EventTarget {
  constructor() {
    super();
    this.location = { origin: "http://127.0.0.1:8000" };
  }
  postMessage(data, targetOrigin) {
    assert.equal(targetOrigin, this.location.origin, "messages must name the page's own origin");
    const event = new Event("message");
    Object.assign(event, { data: structuredClone(data), source: this, origin: this.location.origin });
    setTimeout(() => this.dispatchEvent(event), 0);
  }
}
globalThis.window = new FakeWindow();

// The content script stand-in: answers probes while `installed`, and hands
// each request to `respond`.
let installed = true;
let respond = (request) => ({ response: { id: request.id, ok: true, result: { echo: request } } });
window.addEventListener("message", (event) => {
  const d = event.data;
  if (!installed || d?.channel !== "tolvex" || d.direction !== "to-extension") return;
  if (d.type === "probe") window.postMessage({ channel: "tolvex", direction: "to-page", type: "ready" }, window.location.origin);
  if (d.type === "request") {
    const reply = respond(d.request);
    if (reply) window.postMessage({ channel: "tolvex", direction: "to-page", type: "response", id: d.id, ...reply }, window.location.origin);
  }
});

const tolvex = await import("../js/tolvex.js");

beforeEach(() => {
  installed = true;
  respond = (request) => ({ response: { id: request.id, ok: true, result: { echo: request } } });
  tolvex.configure({ timeoutMs: 5000, detectMs: 2000 });
});

async function rejection(promise) {
  try {
    await promise;
  } catch (e) {
    return e;
  }
  assert.fail("expected a rejection");
}

const T = "ab".repeat(32);

test("requests carry the protocol names and bytes become Base64", async () => {
  const { echo } = await tolvex.sign({
    thumbprint: T,
    dataList: [new Uint8Array([0x41]), "QUI="],
    digestAlgorithm: "SHA-384",
    labels: ["a.pdf", "b.pdf"],
    pin: "",
  });
  assert.equal(echo.command, "sign");
  assert.deepEqual(echo.data_list, ["QQ==", "QUI="]);
  assert.deepEqual(echo.labels, ["a.pdf", "b.pdf"]);
  assert.equal(echo.digest_algorithm, "SHA-384");
  assert.equal(echo.pin, "", "an empty PIN is sent, not dropped");
  assert.equal("hash" in echo, false);
  const { echo: e2 } = await tolvex.sign({ thumbprint: T, data: new Uint8Array(300000).fill(7).buffer });
  assert.equal(Buffer.from(e2.data, "base64").length, 300000);
});

test("agent errors keep the agent's code and message", async () => {
  respond = (r) => ({ response: { id: r.id, ok: false, error: { code: "pin_incorrect", message: "PIN incorreto" } } });
  const e = await rejection(tolvex.sign({ thumbprint: T, data: "QQ==" }));
  assert.ok(e instanceof tolvex.TolvexError);
  assert.equal(e.code, "pin_incorrect");
  assert.equal(e.message, "PIN incorreto");
  assert.equal(String(e), "pin_incorrect: PIN incorreto");
});

test("extension and host failures become their own codes", async () => {
  respond = () => ({ error: { code: "host_not_found", message: "o agente Tolvex não está instalado", detail: "x" } });
  const e = await rejection(tolvex.ping());
  assert.equal(e.code, "host_not_found");
  assert.equal(e.detail, "x");
});

test("an answer for another request or without an envelope is refused", async () => {
  respond = (r) => ({ response: { id: r.id + "x", ok: true, result: {} } });
  assert.equal((await rejection(tolvex.ping())).code, "invalid_response");
  respond = () => ({ response: "texto" });
  assert.equal((await rejection(tolvex.ping())).code, "invalid_response");
});

test("silence ends in a timeout that cancels the request, and a late answer is dropped", async () => {
  let late;
  respond = (r) => {
    late = r;
    return null;
  };
  const cancels = [];
  const onCancel = (event) => event.data?.type === "cancel" && cancels.push(event.data.id);
  window.addEventListener("message", onCancel);
  const e = await rejection(tolvex.listCertificates({ timeoutMs: 50 }));
  assert.equal(e.code, "timeout");
  await new Promise((r) => setTimeout(r, 0));
  window.removeEventListener("message", onCancel);
  assert.deepEqual(cancels, [late.id], "the extension is told to drop the request");
  window.postMessage({ channel: "tolvex", direction: "to-page", type: "response", id: late.id, response: { id: late.id, ok: true, result: {} } }, window.location.origin);
  respond = (r) => ({ response: { id: r.id, ok: true, result: { echo: r } } });
  const ok = await tolvex.ping();
  assert.equal(ok.echo.command, "ping", "the next call gets its own answer");
});

test("argument errors are reported before anything is sent", async () => {
  let sent = 0;
  respond = () => {
    sent++;
    return null;
  };
  const h32 = new Uint8Array(32);
  for (const args of [{}, { thumbprint: "a", hash: h32 }, { thumbprint: T }, { thumbprint: T, hash: h32, data: "QQ==" },
                      { thumbprint: T, hash: h32, digestAlgorithm: "sha256" }, { thumbprint: T, hash: h32, digestAlgorithm: "SHA-512" },
                      { thumbprint: T, hashes: "QQ==" }, { thumbprint: T, hashes: [] }, { thumbprint: T, hashes: Array(501).fill(h32) },
                      { thumbprint: T, hash: 5 }, { thumbprint: T, data: "QQ" }, { thumbprint: T, hash: h32, labels: ["a", "b"] },
                      { thumbprint: T, hash: h32, labels: ["x".repeat(81)] }]) {
    assert.equal((await rejection(tolvex.sign(args))).code, "invalid_argument", JSON.stringify(args));
  }
  assert.equal((await rejection(tolvex.ping({ timeoutMs: 0 }))).code, "invalid_argument");
  assert.equal(sent, 0);
});

test("the time limit does not run while the extension waits for the person", async () => {
  const post = (type, id, extra) =>
    window.postMessage({ channel: "tolvex", direction: "to-page", type, id, ...extra }, window.location.origin);
  respond = (r) => {
    post("status", r.id, { status: "waiting_user" });
    setTimeout(() => post("status", r.id, { status: "working" }), 120);
    setTimeout(() => post("response", r.id, { response: { id: r.id, ok: true, result: { late: true } } }), 160);
    return null;
  };
  assert.deepEqual(await tolvex.ping({ timeoutMs: 80 }), { late: true }, "120 ms with the person, 40 with the agent");
  respond = (r) => {
    post("status", r.id, { status: "waiting_user" });
    setTimeout(() => post("status", r.id, { status: "working" }), 10);
    return null;
  };
  assert.equal((await rejection(tolvex.ping({ timeoutMs: 80 }))).code, "timeout", "and runs again, whole, after");
});

test("two copies of the client in one page get their own answers", async () => {
  const other = await import("../js/tolvex.js?second-copy");
  other.configure({ timeoutMs: 5000, detectMs: 2000 });
  respond = (r) => ({ response: { id: r.id, ok: true, result: { echo: r } } });
  const [a, b] = await Promise.all([tolvex.readCertificate("aa"), other.readCertificate("bb")]);
  assert.equal(a.echo.thumbprint, "aa");
  assert.equal(b.echo.thumbprint, "bb");
});
