// What this extension relays for. A deployment edits these values (and the
// "matches" of the content script in manifest.json, which decide where the
// content script is injected at all). A development copy that also serves
// pages on this computer is made by browser/dev/make-extension.mjs.

// The Native Messaging host the agent is registered as (tolvexctl install).
export const HOST_NAME = "br.com.tolvex.agent";

// Page origins whose requests are relayed. An entry is an exact origin
// ("https://assinador.tolvex.com.br") or an origin whose port is "*"
// ("https://assinador.tolvex.com.br:*", any port, including none).
// Everything else is refused before the agent is started. Each site still
// needs the user's approval before it may see certificates, and every
// signature is confirmed by the user in the extension's own window.
export const ALLOWED_PAGE_ORIGINS = ["https://assinador.tolvex.com.br"];

// Whether a page may send the PIN itself. Off: the PIN is typed only in the
// extension's window and a page's `pin` is refused. Turning it on is weaker:
// the page, and any script injected into it, then sees the PIN and may try
// it as often as it likes.
export const ALLOW_PAGE_PIN = false;
