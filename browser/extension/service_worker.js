// Relays one page request to the agent and its answer back. Each request gets
// its own native port, so the agent process lives only for that request and
// nothing (a PIN above all) outlives it. Chromium runs this file as the
// service worker, Firefox as the background script.
import { ALLOWED_PAGE_ORIGINS, HOST_NAME } from "./config.js";
import { hostError } from "./host_error.js";
import { originAllowed } from "./origin.js";

const api = globalThis.browser ?? globalThis.chrome;

// Sends `request` on a new native port and resolves with {response} or
// {error}. When `cancelled` fires first, the port is closed: the browser then
// ends the agent, so a request the page gave up on does not keep it running.
function relay(request, cancelled) {
  return new Promise((resolve) => {
    let port;
    let settled = false;
    const finish = (payload) => {
      if (settled) return;
      settled = true;
      try {
        port?.disconnect();
      } catch (_) {
        // already gone
      }
      resolve(payload);
    };
    try {
      port = api.runtime.connectNative(HOST_NAME);
    } catch (e) {
      finish({ error: hostError(String(e?.message ?? e)) });
      return;
    }
    cancelled.then(() => finish({ error: { code: "cancelled", message: "pedido abandonado pela página" } }));
    port.onMessage.addListener((response) => finish({ response }));
    port.onDisconnect.addListener((p) => {
      finish({ error: hostError(p?.error?.message ?? api.runtime.lastError?.message) });
    });
    port.postMessage(request);
  });
}

function senderOrigin(sender) {
  if (sender.origin) return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch (_) {
    return undefined;
  }
}

async function answer(message, sender, cancelled) {
  if (!message || message.type !== "tolvex-request") {
    return { error: { code: "invalid_request", message: "mensagem desconhecida" } };
  }
  const origin = senderOrigin(sender);
  if (!originAllowed(origin, ALLOWED_PAGE_ORIGINS)) {
    return {
      error: {
        code: "origin_not_allowed",
        message: "esta página (" + origin + ") não está autorizada a usar o agente Tolvex",
      },
    };
  }
  const request = message.request;
  if (!request || typeof request !== "object" || Array.isArray(request)) {
    return { error: { code: "invalid_request", message: "pedido da página não é um objeto" } };
  }
  return relay(request, cancelled);
}

api.runtime.onConnect.addListener((port) => {
  // Only our own content script, in a tab.
  const sender = port.sender;
  if (port.name !== "tolvex-request" || !sender || sender.id !== api.runtime.id || !sender.tab) {
    port.disconnect();
    return;
  }
  let gone;
  const cancelled = new Promise((resolve) => (gone = resolve));
  port.onDisconnect.addListener(() => gone());
  let asked = false;
  port.onMessage.addListener(async (message) => {
    if (asked) return; // one request per port
    asked = true;
    const reply = await answer(message, sender, cancelled);
    try {
      port.postMessage(reply);
    } catch (_) {
      // the page went away meanwhile
    }
  });
});
