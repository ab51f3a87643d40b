// Relays one page request to the agent and its answer back. Each request gets
// its own native port, so the agent process lives only for that request and
// nothing (a PIN above all) outlives it.
import { ALLOWED_PAGE_ORIGINS, HOST_NAME } from "./config.js";
import { originAllowed } from "./origin.js";

// How the page learns that the host could not be used. Chromium reports
// these as English texts in runtime.lastError.
const HOST_ERRORS = [
  {
    match: /not found/i,
    code: "host_not_found",
    message:
      "o agente Tolvex não está instalado neste computador (host de mensagens nativas não encontrado)",
  },
  {
    match: /forbidden/i,
    code: "host_forbidden",
    message: "o agente Tolvex não autoriza esta extensão (allowed_origins do manifesto do host)",
  },
  {
    match: /exited/i,
    code: "host_exited",
    message:
      "o agente Tolvex encerrou sem responder; ele pode ter recusado a origem desta extensão (TOLVEX_ALLOWED_ORIGINS)",
  },
];

function hostError(chromeText) {
  const text = chromeText || "desconhecido";
  const known = HOST_ERRORS.find((e) => e.match.test(text));
  if (known) return { code: known.code, message: known.message, detail: text };
  return { code: "host_error", message: "falha ao falar com o agente Tolvex: " + text, detail: text };
}

function relay(request) {
  return new Promise((resolve) => {
    let settled = false;
    const finish = (payload, port) => {
      if (settled) return;
      settled = true;
      if (port) {
        try {
          port.disconnect();
        } catch (_) {
          // already gone
        }
      }
      resolve(payload);
    };
    let port;
    try {
      port = chrome.runtime.connectNative(HOST_NAME);
    } catch (e) {
      finish({ error: hostError(String(e && e.message)) });
      return;
    }
    port.onMessage.addListener((response) => finish({ response }, port));
    port.onDisconnect.addListener(() => {
      finish({ error: hostError(chrome.runtime.lastError && chrome.runtime.lastError.message) });
    });
    port.postMessage(request);
  });
}

chrome.runtime.onMessage.addListener((message, sender, sendResponse) => {
  // Only our own content script, in a tab, on an allowed page origin.
  if (sender.id !== chrome.runtime.id || !sender.tab) return false;
  if (!message || message.type !== "tolvex-request") return false;
  const origin = sender.origin ?? (sender.url ? new URL(sender.url).origin : undefined);
  if (!originAllowed(origin, ALLOWED_PAGE_ORIGINS)) {
    sendResponse({
      error: {
        code: "origin_not_allowed",
        message: "esta página (" + origin + ") não está autorizada a usar o agente Tolvex",
      },
    });
    return false;
  }
  const request = message.request;
  if (!request || typeof request !== "object" || Array.isArray(request)) {
    sendResponse({ error: { code: "invalid_request", message: "pedido da página não é um objeto" } });
    return false;
  }
  relay(request).then(sendResponse);
  return true;  // answered asynchronously
});
