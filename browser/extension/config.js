// What this extension relays for. A deployment edits these two lists (and the
// "matches" of the content script in manifest.json, which decide where the
// content script is injected at all).

// The Native Messaging host the agent is registered as (tolvexctl install).
export const HOST_NAME = "br.com.tolvex.agent";

// Page origins whose requests are relayed. An entry is an exact origin
// ("https://assinador.tolvex.com.br") or an origin whose port is "*"
// ("http://127.0.0.1:*", any port, including none). Everything else is
// refused before the agent is started.
export const ALLOWED_PAGE_ORIGINS = [
  "https://assinador.tolvex.com.br",
  "http://127.0.0.1:*",
  "http://localhost:*",
];
