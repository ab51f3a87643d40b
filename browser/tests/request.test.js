// The request the extension rebuilds from a page's, against what a hostile
// page or a careless one sends.
import assert from "node:assert/strict";
import { test } from "node:test";

import { rebuildRequest } from "../extension/request.js";

const T = "ab".repeat(32);
const H32 = Buffer.alloc(32, 1).toString("base64");
const sign = (extra) => ({ id: "1", command: "sign", thumbprint: T, hash: H32, ...extra });
const code = (r) => r.error?.code ?? r.response?.error.code ?? "ok";
const message = (r) => r.error?.message ?? r.response?.error.message;

test("only known keys of their exact types are rebuilt; the page's object is never passed on", () => {
  const wrapped = [1, 2];
  wrapped.extra = "x";
  const good = rebuildRequest(
    sign({ hash: null, hashes: wrapped.map(() => H32), digest_algorithm: "SHA-256", labels: [" a\u202Eb\u200B\tc ", "d\ne"] }),
  );
  assert.deepEqual(good.request, { id: "1", command: "sign", thumbprint: T, hashes: [H32, H32], digest_algorithm: "SHA-256" });
  assert.deepEqual(good.labels, ["ab c", "d e"], "format and control characters removed, not relayed");
  assert.deepEqual(rebuildRequest({ id: "2", command: "ping", thumbprint: T, pin: null }).request, { id: "2", command: "ping" });

  // What a structured clone can carry, and what the page client never sends.
  const holed = [H32];
  holed[2] = H32;
  const hostile = [
    sign({ command: new String("sign") }),
    { id: "1", command: new String("list_certificates") },
    sign({ thumbprint: new String(T) }),
    sign({ hash: undefined, hashes: [new String(H32)] }),
    sign({ hash: undefined, hashes: holed }),
    sign({ hash: undefined, hashes: 0 }),
    sign({ hash: [H32] }),
    sign({ digest_algorithm: "SHA\u2010256" }),
    sign({ digest_algorithm: "sha256" }),
    sign({ labels: "contrato" }),
    sign({ labels: ["\u202E\u200B"] }),
    sign({ labels: ["x".repeat(81)] }),
    sign({ labels: ["a", "b"] }),
    { id: "1", command: "list_tokens", labels: ["a"] },
    sign({ extra: 1 }),
    JSON.parse(`{"id":"1","command":"ping","__proto__":{"command":"sign"}}`),
    { id: 1, command: "ping" },
    { command: "ping" },
    [T],
    new String("ping"),
  ];
  for (const page of hostile) assert.equal(code(rebuildRequest(page)), "invalid_argument", JSON.stringify(page));

  // A page's PIN: refused unless the deployment allows it, and then it must
  // be text too.
  assert.equal(message(rebuildRequest(sign({ pin: "" }))), "o PIN não é enviado pela página: ele é digitado na janela da extensão Tolvex");
  assert.equal(rebuildRequest(sign({ pin: "1234" }), { allowPagePin: true }).request.pin, "1234");
  assert.equal(code(rebuildRequest(sign({ pin: new String("1234") }), { allowPagePin: true })), "invalid_argument");

  // A command the extension does not know never reaches the agent, and its
  // name is not echoed whole.
  const unknown = rebuildRequest({ id: "1", command: "x".repeat(1 << 20) });
  assert.equal(code(unknown), "unknown_command");
  assert.equal(message(unknown), "comando desconhecido: " + "x".repeat(64) + "…");
});

test("whatever the agent would refuse is refused first, with the agent's code and message", () => {
  const b64 = (n) => Buffer.alloc(n, 7).toString("base64");
  const cases = [
    [{ thumbprint: undefined }, "invalid_request", "thumbprint é obrigatório"],
    [{ thumbprint: T.slice(1) }, "invalid_request", "thumbprint deve ter 64 dígitos hexadecimais"],
    [{ hash: undefined }, "invalid_request", "informe exatamente um entre data, hash, data_list e hashes"],
    [{ hashes: [H32] }, "invalid_request", "informe exatamente um entre data, hash, data_list e hashes"],
    [{ data: "" }, "invalid_request", "informe exatamente um entre data e hash"],
    [{ hash: undefined, hashes: [H32], data_list: [] }, "invalid_request", "informe exatamente um entre data_list e hashes"],
    [{ hash: undefined, data: "QQ" }, "invalid_request", "data não é base64 válido"],
    [{ hash: "QR==" }, "invalid_request", "hash não é base64 válido"],
    [{ hash: undefined, data_list: ["QQ==", "Q Q="] }, "invalid_request", "data_list contém item que não é base64 válido"],
    [{ hash: undefined, hashes: ["-_8="] }, "invalid_request", "hashes contém item que não é base64 válido"],
    [{ hash: undefined, hashes: [] }, "invalid_request", "lote vazio"],
    [{ hash: undefined, hashes: Array(501).fill(H32) }, "invalid_request", "lote excede 500 itens"],
    [{ hash: "" }, "sign_failed", "falha ao assinar: tamanho do hash não corresponde ao algoritmo"],
    [{ digest_algorithm: "SHA-512" }, "sign_failed", "falha ao assinar: tamanho do hash não corresponde ao algoritmo"],
    [{ hash: undefined, data: b64(800000) }, "invalid_request", "pedido excede o limite de 1 MiB do agente"],
  ];
  for (const [extra, wantCode, wantMessage] of cases) {
    const r = rebuildRequest(sign(extra));
    assert.deepEqual([r.response?.id, code(r), message(r)], ["1", wantCode, wantMessage], JSON.stringify(extra).slice(0, 80));
  }
  // What the agent takes, the extension takes.
  for (const extra of [
    { hash: undefined, data: "" },
    { hash: undefined, hashes: Array(500).fill(b64(64)), digest_algorithm: "SHA-512" },
    { hash: b64(48), digest_algorithm: "SHA-384", thumbprint: T.toUpperCase() },
  ]) {
    assert.equal(code(rebuildRequest(sign(extra))), "ok", JSON.stringify(extra).slice(0, 80));
  }
});
