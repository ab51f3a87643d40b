// Runs in the pages that manifest.json matches. It relays requests that the
// page posts on its own window to the service worker and posts the answers
// back; it adds nothing and keeps nothing. The service worker checks the
// page's origin again: this script only decides which messages to look at.
(() => {
  const CHANNEL = "tolvex";

  function post(message) {
    window.postMessage({ channel: CHANNEL, direction: "to-page", ...message }, window.location.origin);
  }

  window.addEventListener("message", (event) => {
    // Only messages the page posted to itself, from its own origin; messages
    // from other frames or windows are ignored.
    if (event.source !== window || event.origin !== window.location.origin) return;
    const data = event.data;
    if (!data || data.channel !== CHANNEL || data.direction !== "to-extension") return;

    if (data.type === "probe") {
      post({ type: "ready" });
      return;
    }
    if (data.type !== "request" || typeof data.id !== "string") return;

    let answered = false;
    const answer = (payload) => {
      if (answered) return;
      answered = true;
      post({ type: "response", id: data.id, ...payload });
    };
    try {
      chrome.runtime.sendMessage({ type: "tolvex-request", request: data.request }, (reply) => {
        if (chrome.runtime.lastError) {
          answer({
            error: {
              code: "extension_error",
              message: "a extensão não respondeu: " + chrome.runtime.lastError.message,
            },
          });
          return;
        }
        answer(reply ?? { error: { code: "extension_error", message: "resposta vazia da extensão" } });
      });
    } catch (e) {
      // The extension was reloaded or removed while the page stayed open.
      answer({
        error: {
          code: "extension_missing",
          message: "a extensão Tolvex foi desativada ou atualizada; recarregue a página",
        },
      });
    }
  });

  post({ type: "ready" });
})();
