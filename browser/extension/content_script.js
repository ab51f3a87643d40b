// Runs in the pages that manifest.json matches. It relays requests that the
// page posts on its own window to the service worker and posts the answers
// back; it adds nothing and keeps nothing. The service worker checks the
// page's origin again: this script only decides which messages to look at.
//
// Each request travels on its own port to the service worker. Closing it
// (the page gave up waiting, or the page itself went away) tells the service
// worker to drop the request and end the agent it started for it.
(() => {
  const CHANNEL = "tolvex";
  const api = globalThis.browser ?? globalThis.chrome;
  const open = new Map(); // request id -> port

  function post(message) {
    window.postMessage({ channel: CHANNEL, direction: "to-page", ...message }, window.location.origin);
  }

  function request(id, body) {
    const answer = (payload) => {
      if (!open.has(id)) return;
      const port = open.get(id);
      open.delete(id);
      if (port) port.disconnect();
      post({ type: "response", id, ...payload });
    };
    let port;
    try {
      port = api.runtime.connect({ name: "tolvex-request" });
    } catch (e) {
      // The extension was reloaded or removed while the page stayed open.
      open.set(id, null);
      answer({
        error: {
          code: "extension_missing",
          message: "a extensão Tolvex foi desativada ou atualizada; recarregue a página",
        },
      });
      return;
    }
    open.set(id, port);
    port.onMessage.addListener((reply) => {
      // Whether the request waits for the person; the answer comes later.
      if (reply && typeof reply.status === "string" && !("response" in reply) && !("error" in reply)) {
        if (open.has(id)) post({ type: "status", id, status: reply.status });
        return;
      }
      answer(reply ?? { error: { code: "extension_error", message: "resposta vazia da extensão" } });
    });
    port.onDisconnect.addListener(() => {
      answer({ error: { code: "extension_error", message: "a extensão encerrou o pedido sem responder" } });
    });
    port.postMessage({ type: "tolvex-request", request: body });
  }

  window.addEventListener("message", (event) => {
    // Only messages the page posted to itself, from its own origin; messages
    // from other frames or windows are ignored.
    if (event.source !== window || event.origin !== window.location.origin) return;
    const data = event.data;
    if (!data || data.channel !== CHANNEL || data.direction !== "to-extension") return;
    if (data.type === "probe") {
      post({ type: "ready" });
    } else if (data.type === "cancel" && typeof data.id === "string") {
      const port = open.get(data.id);
      open.delete(data.id);
      if (port) port.disconnect();
    } else if (data.type === "request" && typeof data.id === "string" && !open.has(data.id)) {
      request(data.id, data.request);
    }
  });

  post({ type: "ready" });
})();
