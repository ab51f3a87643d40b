// The request the extension judges, shows and relays is one it built itself
// from the page's: only the keys it knows, each of its exact type, checked
// as the agent would check it. The page's object, whatever it holds (a
// String object, an array with extra properties, a getter-free clone of
// something else), is never passed on. Kept free of browser calls so it can
// be tested under node.

export const COMMANDS = new Set(["ping", "list_tokens", "list_certificates", "read_certificate", "sign"]);
export const DIGESTS = new Set(["SHA-256", "SHA-384", "SHA-512"]);
const DIGEST_BYTES = { "SHA-256": 32, "SHA-384": 48, "SHA-512": 64 };
export const MAX_ITEMS = 500;
export const MAX_LABEL = 80;
// The agent reads frames of at most 1 MiB; the PIN and its key still have
// to fit beside the request.
const MAX_REQUEST_BYTES = 1048576 - 1024;

const SIGN_INPUTS = ["data", "hash", "data_list", "hashes"];
const LIST_KEYS = new Set(["data_list", "hashes", "labels"]);
const KNOWN_KEYS = new Set(["id", "command", "thumbprint", ...SIGN_INPUTS, "digest_algorithm", "pin", "labels"]);

export const PAGE_PIN_REFUSED = {
  code: "invalid_argument",
  message: "o PIN não é enviado pela página: ele é digitado na janela da extensão Tolvex",
};

const argument = (message) => ({ error: { code: "invalid_argument", message } });
// The agent's own code and message for a rule it also checks.
const agentRule = (id, code, message) => ({ response: { id, ok: false, error: { code, message } } });
const invalid = (id, message) => agentRule(id, "invalid_request", message);

// Canonical Base64 (standard alphabet, "=" padding, no white space, unused
// bits zero), as the agent decodes it; the decoded length, or -1.
const B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
export function base64Length(text) {
  if (text.length % 4 !== 0 || !/^[A-Za-z0-9+/]*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/.test(text)) return -1;
  const pad = text.endsWith("==") ? 2 : text.endsWith("=") ? 1 : 0;
  if (pad) {
    const last = B64.indexOf(text[text.length - pad - 1]);
    if (last & (pad === 2 ? 0x0f : 0x03)) return -1;
  }
  return (text.length / 4) * 3 - pad;
}

// Control, format (bidirectional controls, zero-width characters) and other
// default-ignorable characters: invisible or reordering, never wanted in a
// text the user is asked to trust.
export const HIDDEN = /[\p{Cc}\p{Cf}\p{Zl}\p{Zp}\p{Default_Ignorable_Code_Point}]/gu;

// A page's short name for an item: white space (line breaks included) made
// one space, hidden characters removed; 1 to 80 characters.
export function cleanLabel(text) {
  const clean = text.replace(/\s+/gu, " ").replace(HIDDEN, "").replace(/ {2,}/g, " ").trim();
  const length = [...clean].length;
  return length >= 1 && length <= MAX_LABEL ? clean : null;
}

const isText = (v) => typeof v === "string";

// Copies a list of primitive strings; null for anything else (a String
// object, a hole, an array-like).
function textList(value) {
  if (!Array.isArray(value)) return null;
  const out = [];
  for (let i = 0; i < value.length; i++) {
    if (!isText(value[i])) return null;
    out.push(value[i]);
  }
  return out;
}

function signRules(id, r, labels) {
  if (r.thumbprint === undefined) return invalid(id, "thumbprint é obrigatório");
  if (!/^[0-9a-fA-F]{64}$/.test(r.thumbprint)) return invalid(id, "thumbprint deve ter 64 dígitos hexadecimais");
  const single = r.data !== undefined || r.hash !== undefined;
  const batch = r.data_list !== undefined || r.hashes !== undefined;
  if (single === batch) return invalid(id, "informe exatamente um entre data, hash, data_list e hashes");
  if (r.data !== undefined && r.hash !== undefined) return invalid(id, "informe exatamente um entre data e hash");
  if (r.data_list !== undefined && r.hashes !== undefined) {
    return invalid(id, "informe exatamente um entre data_list e hashes");
  }
  const field = SIGN_INPUTS.find((k) => r[k] !== undefined);
  const items = single ? [r[field]] : r[field];
  const lengths = items.map(base64Length);
  if (lengths.includes(-1)) {
    return invalid(id, single ? `${field} não é base64 válido` : `${field} contém item que não é base64 válido`);
  }
  if (items.length === 0) return invalid(id, "lote vazio");
  if (items.length > MAX_ITEMS) return invalid(id, `lote excede ${MAX_ITEMS} itens`);
  if (field === "hash" || field === "hashes") {
    const want = DIGEST_BYTES[r.digest_algorithm ?? "SHA-256"];
    if (lengths.some((n) => n !== want)) {
      return agentRule(id, "sign_failed", "falha ao assinar: tamanho do hash não corresponde ao algoritmo");
    }
  }
  if (labels && labels.length !== items.length) {
    return argument(`labels deve ter um rótulo por item (${items.length})`);
  }
  return null;
}

// `page` is what the page sent. Returns {request, labels} with the request
// to relay (the PIN is never in it: the extension adds the one typed in its
// window last) and the cleaned labels, or {error} (the extension's own
// code) or {response} (the agent's code and message for a rule the agent
// also checks), answered before any window opens.
export function rebuildRequest(page, { allowPagePin = false } = {}) {
  if (!page || typeof page !== "object" || Array.isArray(page)) return argument("o pedido deve ser um objeto");
  const r = {};
  for (const key of Object.keys(page)) {
    if (!KNOWN_KEYS.has(key)) return argument(`chave desconhecida no pedido: ${key.slice(0, 64)}`);
    const value = page[key];
    if (value === null || value === undefined) continue; // absent, as the agent reads it
    const copy = LIST_KEYS.has(key) ? textList(value) : isText(value) ? value : null;
    if (copy === null) {
      return argument(`${key} deve ser ${LIST_KEYS.has(key) ? "uma lista de textos" : "um texto"}`);
    }
    r[key] = copy;
  }
  if (r.id === undefined) return argument("id é obrigatório");
  if (r.command === undefined) return argument("command é obrigatório");
  if (r.digest_algorithm !== undefined && !DIGESTS.has(r.digest_algorithm)) {
    return argument("digest_algorithm deve ser SHA-256, SHA-384 ou SHA-512");
  }
  if (r.pin !== undefined && !allowPagePin) return { error: PAGE_PIN_REFUSED };
  if (!COMMANDS.has(r.command)) {
    const shown = r.command.length > 64 ? r.command.slice(0, 64) + "…" : r.command;
    return { error: { code: "unknown_command", message: "comando desconhecido: " + shown } };
  }

  let labels = null;
  if (r.labels !== undefined) {
    if (r.command !== "sign") return argument("labels só vale para sign");
    labels = r.labels.map(cleanLabel);
    if (labels.includes(null)) {
      return argument(`labels: cada rótulo deve ter de 1 a ${MAX_LABEL} caracteres visíveis`);
    }
  }

  // Only what the command uses goes to the agent.
  const request = { id: r.id, command: r.command };
  if (r.command === "read_certificate") {
    if (r.thumbprint === undefined) return invalid(r.id, "thumbprint é obrigatório");
    request.thumbprint = r.thumbprint;
  }
  if (r.command === "sign") {
    const broken = signRules(r.id, r, labels);
    if (broken) return broken;
    request.thumbprint = r.thumbprint;
    for (const key of SIGN_INPUTS) if (r[key] !== undefined) request[key] = r[key];
    if (r.digest_algorithm !== undefined) request.digest_algorithm = r.digest_algorithm;
    if (r.pin !== undefined) request.pin = r.pin;
    if (new TextEncoder().encode(JSON.stringify(request)).length > MAX_REQUEST_BYTES) {
      return invalid(r.id, "pedido excede o limite de 1 MiB do agente");
    }
  }
  return { request, labels };
}
