// Relays one page request to the agent and its answer back, after the user
// agreed (gate.js). Each request gets its own native port, so the agent
// process lives only for that request and nothing (a PIN above all)
// outlives it. Chromium runs this file as the service worker, Firefox as the
// background script.
import { createApprovals } from "./approvals.js";
import { ALLOW_PAGE_PIN, ALLOWED_PAGE_ORIGINS, HOST_NAME } from "./config.js";
import { createGate } from "./gate.js";
import { hostError } from "./host_error.js";
import { originAllowed } from "./origin.js";
import { createSummaries } from "./summaries.js";

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

// The extension's own window (consent.html) for one question. The window
// connects back with a port named "consent" and the dialog's id; it sends
// "allow" (with the PIN when it asked for one) or "deny", and "alive" now and
// then so the service worker is not stopped while the user reads. Closing
// the window counts as "deny".
const dialogs = new Map();

function openDialog(details) {
  const id = crypto.randomUUID();
  const choices = [];
  const waiting = [];
  const height = details.kind === "sign" ? 640 : 520;
  const created = api.windows
    .create({ url: `consent.html#${id}`, type: "popup", width: 460, height, focused: true })
    .then(
      (w) => (dialog.windowId = w.id),
      () => {
        dialog.push(null);
        return null;
      },
    );
  const dialog = {
    details,
    port: null,
    windowId: null,
    closed: null,
    push(choice) {
      if (waiting.length) waiting.shift()(choice);
      else choices.push(choice);
    },
    decision() {
      if (choices.length) return Promise.resolve(choices.shift());
      if (dialog.closed) return Promise.resolve(null);
      return new Promise((resolve) => waiting.push(resolve));
    },
    showError(message) {
      dialog.port?.postMessage({ type: "error", message });
    },
    // Resolves once the window is gone, so the next one never opens over it.
    close() {
      if (!dialog.closed) {
        dialogs.delete(id);
        while (waiting.length) waiting.shift()(null);
        dialog.closed = created.then((windowId) => windowId !== null && api.windows.remove(windowId).catch(() => {}));
      }
      return dialog.closed;
    },
  };
  dialogs.set(id, dialog);
  return dialog;
}

// A window closed before its page connected still answers "deny".
api.windows.onRemoved.addListener((windowId) => {
  for (const dialog of dialogs.values()) if (dialog.windowId === windowId) dialog.push(null);
});

function connectDialog(port) {
  let dialog = null;
  port.onMessage.addListener((message) => {
    if (!dialog) {
      dialog = message?.type === "hello" ? dialogs.get(message.id) : undefined;
      if (!dialog || dialog.port) {
        port.disconnect();
        return;
      }
      dialog.port = port;
      port.postMessage({ type: "details", details: dialog.details });
      return;
    }
    if (message?.type === "allow") {
      dialog.push(typeof message.pin === "string" ? { pin: message.pin } : {});
    } else if (message?.type === "deny") {
      dialog.push(null);
    }
  });
  port.onDisconnect.addListener(() => {
    if (dialog) dialog.push(null);
  });
}

const handle = createGate({
  relay,
  ui: { open: openDialog },
  approvals: createApprovals(api.storage.local),
  summaries: createSummaries(api.storage.session),
  allowPagePin: ALLOW_PAGE_PIN,
});
// Approvals were once one shared map under this key; each site has its own
// key now, and a site approved under the old one is simply asked again.
api.storage.local.remove("approved_sites").catch(() => {});

function senderOrigin(sender) {
  if (sender.origin) return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch (_) {
    return undefined;
  }
}

async function answer(message, sender, cancelled, status) {
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
  return handle(origin, message.request, cancelled, status);
}

const extensionPage = (sender) => typeof sender?.url === "string" && sender.url.startsWith(api.runtime.getURL(""));

api.runtime.onConnect.addListener((port) => {
  const sender = port.sender;
  if (port.name === "consent" && sender?.id === api.runtime.id && extensionPage(sender)) {
    connectDialog(port);
    return;
  }
  // Otherwise only our own content script, in a tab.
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
    const post = (payload) => {
      try {
        port.postMessage(payload);
      } catch (_) {
        // the page went away meanwhile
      }
    };
    // Before the answer, the page may be told that its request waits for
    // the person ({status: "waiting_user"}) and when it goes on
    // ({status: "working"}): its time limit does not run meanwhile.
    post(await answer(message, sender, cancelled, (status) => post({ status })));
  });
});
