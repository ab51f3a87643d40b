// Page client of the Tolvex signing agent.
//
//   import * as tolvex from "@tolvex/page-client";
//   const { certificates } = await tolvex.listCertificates();
//   const { signature } = await tolvex.sign({ thumbprint, data: bytes });
//
// Requests travel page -> content script -> service worker of the Tolvex
// extension -> agent (Native Messaging), and the answer the same way back.
// Every failure is a TolvexError with a stable `code` and a Portuguese
// `message`. README.md beside this file is the reference (every call,
// option, result field and error code, and what to tell the person for
// each); tolvex.d.ts types the same, and a test keeps the three in step.
//
// Importing this module touches no browser global: under server-side
// rendering it can be imported, and a call made there rejects with
// extension_missing.

const CHANNEL = "tolvex";

const settings = {
  timeoutMs: 120000, // signing may wait for a PIN typed into the token's own dialog
  detectMs: 1500, // how long to wait for the extension to say it is there
};

export class TolvexError extends Error {
  constructor(code, message, detail) {
    super(message);
    this.name = "TolvexError";
    this.code = code;
    if (detail !== undefined) this.detail = detail;
  }
  toString() {
    return `${this.code}: ${this.message}`;
  }
}

function positive(options, key) {
  const value = options?.[key];
  if (value !== undefined && (!Number.isFinite(value) || value <= 0)) {
    throw new TolvexError("invalid_argument", `${key} deve ser um número positivo`);
  }
  return value;
}

export function configure(options = {}) {
  const given = { timeoutMs: positive(options, "timeoutMs"), detectMs: positive(options, "detectMs") };
  for (const [key, value] of Object.entries(given)) if (value !== undefined) settings[key] = value;
}

// --- transport ------------------------------------------------------------

let extensionReady = false;
let readyWaiters = [];
const pending = new Map();
let counter = 0;
// Two copies of this module in one page share the window's messages; a
// per-copy prefix keeps their request ids apart.
const instance = Math.random().toString(36).slice(2, 10);

// The page's messages are listened to from the first call on, not at
// import: a module imported on a server must not reach for `window`.
let listening = false;
function listen() {
  if (listening) return;
  listening = true;
  window.addEventListener("message", (event) => {
    if (event.source !== window || event.origin !== window.location.origin) return;
    const data = event.data;
    if (!data || data.channel !== CHANNEL || data.direction !== "to-page") return;
    if (data.type === "ready") {
      extensionReady = true;
      const waiters = readyWaiters;
      readyWaiters = [];
      waiters.forEach((w) => w());
      return;
    }
    if (data.type === "response" && pending.has(data.id)) {
      const { resolve } = pending.get(data.id);
      pending.delete(data.id);
      resolve(data);
    } else if (data.type === "status" && pending.has(data.id)) {
      pending.get(data.id).status(data.status);
    }
  });
}

function post(message) {
  window.postMessage({ channel: CHANNEL, direction: "to-extension", ...message }, window.location.origin);
}

function waitForExtension() {
  if (extensionReady) return Promise.resolve();
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      readyWaiters = readyWaiters.filter((w) => w !== onReady);
      reject(
        new TolvexError(
          "extension_missing",
          "a extensão Tolvex não está instalada ou não está ativa nesta página",
        ),
      );
    }, settings.detectMs);
    const onReady = () => {
      clearTimeout(timer);
      resolve();
    };
    readyWaiters.push(onReady);
    post({ type: "probe" });
  });
}

async function call(command, fields, options) {
  if (typeof window === "undefined" || typeof window.postMessage !== "function") {
    throw new TolvexError("extension_missing", "a extensão Tolvex só é alcançada de uma página aberta no navegador");
  }
  const timeoutMs = positive(options, "timeoutMs") ?? settings.timeoutMs;
  listen();
  await waitForExtension();
  const id = `${instance}-${++counter}`;
  const request = { id, command, ...fields };
  const reply = await new Promise((resolve, reject) => {
    let timer;
    const start = () => {
      clearTimeout(timer);
      timer = setTimeout(() => {
        pending.delete(id);
        // The extension drops the request and ends the agent it started.
        post({ type: "cancel", id });
        reject(new TolvexError("timeout", `o agente não respondeu em ${Math.ceil(timeoutMs / 1000)} s`));
      }, timeoutMs);
    };
    start();
    pending.set(id, {
      resolve: (data) => {
        clearTimeout(timer);
        resolve(data);
      },
      // While the extension's window waits for the person the time limit
      // is off; it starts again, whole, once they have answered.
      status: (status) => (status === "waiting_user" ? clearTimeout(timer) : start()),
    });
    post({ type: "request", id, request });
  });
  if (reply.error) {
    throw new TolvexError(
      reply.error.code || "extension_error",
      reply.error.message || "erro sem descrição",
      reply.error.detail,
    );
  }
  const response = reply.response;
  if (!response || typeof response !== "object" || typeof response.ok !== "boolean") {
    throw new TolvexError("invalid_response", "resposta do agente não é um envelope válido");
  }
  if (response.id !== id) {
    throw new TolvexError("invalid_response", "resposta do agente para outro pedido");
  }
  if (!response.ok) {
    const e = response.error || {};
    throw new TolvexError(e.code || "invalid_response", e.message || "erro sem descrição");
  }
  return response.result;
}

// --- helpers --------------------------------------------------------------

const DIGESTS = ["SHA-256", "SHA-384", "SHA-512"];

const DIGEST_BYTES = { "SHA-256": 32, "SHA-384": 48, "SHA-512": 64 };
const B64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/][AQgw]==|[A-Za-z0-9+/]{2}[AEIMQUYcgkosw048]=)?$/;

// Text must be canonical Base64 already (the extension and the agent refuse
// anything else); bytes are encoded here.
function toBase64(value, name) {
  if (typeof value === "string") {
    if (!B64.test(value)) throw new TolvexError("invalid_argument", `${name} não é base64 válido`);
    return value;
  }
  let bytes;
  if (value instanceof ArrayBuffer) bytes = new Uint8Array(value);
  else if (ArrayBuffer.isView(value)) bytes = new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  else throw new TolvexError("invalid_argument", `${name} deve ser Base64, ArrayBuffer ou Uint8Array`);
  let binary = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

export function base64ToBytes(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

// --- the agent's commands -------------------------------------------------

export function ping(options) {
  return call("ping", {}, options);
}

export function listTokens(options) {
  return call("list_tokens", {}, options);
}

export function listCertificates(options) {
  return call("list_certificates", {}, options);
}

export function readCertificate(thumbprint, options) {
  if (typeof thumbprint !== "string") {
    return Promise.reject(new TolvexError("invalid_argument", "thumbprint é obrigatório"));
  }
  return call("read_certificate", { thumbprint }, options);
}

// Exactly one of hash, data, hashes and dataList: single values are Base64
// text or bytes; lists are arrays of them, 1 to 500. digestAlgorithm is
// "SHA-256" (the default), "SHA-384" or "SHA-512"; a hash must have its
// length. labels, optional, names each item for the person (one short text
// per item, up to 80 characters): the extension's window lists them as the
// site's description of what is signed. The user confirms every signature,
// and types the PIN, in the extension's window. pin is passed on only for a
// deployment whose extension allows page PINs; by default the extension
// refuses it with invalid_argument. Whatever the agent would refuse is
// refused here, or by the extension, before the window opens.
export function sign(
  { thumbprint, hash, data, hashes, dataList, digestAlgorithm, labels, pin } = {},
  options,
) {
  try {
    if (typeof thumbprint !== "string" || !/^[0-9a-fA-F]{64}$/.test(thumbprint)) {
      throw new TolvexError("invalid_argument", "thumbprint deve ter 64 dígitos hexadecimais");
    }
    const given = [hash, data, hashes, dataList].filter((v) => v !== undefined && v !== null);
    if (given.length !== 1) {
      throw new TolvexError("invalid_argument", "informe exatamente um entre hash, data, hashes e dataList");
    }
    if (digestAlgorithm !== undefined && !DIGESTS.includes(digestAlgorithm)) {
      throw new TolvexError("invalid_argument", `digestAlgorithm deve ser ${DIGESTS.join(", ")}`);
    }
    if (pin !== undefined && pin !== null && typeof pin !== "string") {
      throw new TolvexError("invalid_argument", "pin deve ser texto");
    }
    const fields = { thumbprint };
    const list = (v, name) => {
      if (!Array.isArray(v)) throw new TolvexError("invalid_argument", `${name} deve ser uma lista`);
      if (v.length < 1 || v.length > 500) throw new TolvexError("invalid_argument", `${name} deve ter de 1 a 500 itens`);
      return v.map((item) => toBase64(item, name));
    };
    if (hash != null) fields.hash = toBase64(hash, "hash");
    if (data != null) fields.data = toBase64(data, "data");
    if (hashes != null) fields.hashes = list(hashes, "hashes");
    if (dataList != null) fields.data_list = list(dataList, "dataList");
    const digests = fields.hash !== undefined ? [fields.hash] : fields.hashes;
    const want = DIGEST_BYTES[digestAlgorithm ?? "SHA-256"];
    if (digests?.some((b64) => (b64.length / 4) * 3 - (b64.match(/=*$/)[0].length) !== want)) {
      throw new TolvexError("invalid_argument", `um hash ${digestAlgorithm ?? "SHA-256"} tem ${want} bytes`);
    }
    if (labels !== undefined && labels !== null) {
      const items = fields.hashes ?? fields.data_list ?? [null];
      if (!Array.isArray(labels) || labels.length !== items.length ||
          !labels.every((l) => typeof l === "string" && l.trim() !== "" && [...l].length <= 80)) {
        throw new TolvexError("invalid_argument", "labels deve ter um texto de 1 a 80 caracteres por item");
      }
      fields.labels = labels;
    }
    if (digestAlgorithm !== undefined) fields.digest_algorithm = digestAlgorithm;
    if (pin != null) fields.pin = pin;
    return call("sign", fields, options);
  } catch (e) {
    return Promise.reject(e);
  }
}
