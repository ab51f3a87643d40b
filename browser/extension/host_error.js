// What the page is told when the agent could not be used. Chromium reports
// a failed native port in runtime.lastError, Firefox in port.error; both
// with English texts. Kept apart from the service worker so it can be tested
// without a browser.

const NOT_FOUND =
  "o agente Tolvex não está instalado neste computador (host de mensagens nativas não encontrado)";
const KNOWN = [
  // Chromium
  { match: /host not found/i, code: "host_not_found", message: NOT_FOUND },
  {
    match: /forbidden/i,
    code: "host_forbidden",
    message: "o agente Tolvex não autoriza esta extensão (allowed_origins do manifesto do host)",
  },
  // Firefox gives this one text both for a missing host manifest and for a
  // manifest that does not list this add-on.
  {
    match: /no such native application/i,
    code: "host_not_found",
    message:
      "o agente Tolvex não está instalado neste computador ou não autoriza esta extensão " +
      "(manifesto do host de mensagens nativas ausente, ou sem este complemento em allowed_extensions)",
  },
  { match: /exited/i, code: "host_exited" },
];
const EXITED =
  "o agente Tolvex encerrou sem responder; ele pode ter recusado a origem desta extensão (TOLVEX_ALLOWED_ORIGINS)";

// `text` is the browser's error text, or nothing when the port closed
// without an error: the agent ended before answering.
export function hostError(text) {
  if (!text) return { code: "host_exited", message: EXITED };
  const known = KNOWN.find((e) => e.match.test(text));
  if (known) return { code: known.code, message: known.message ?? EXITED, detail: text };
  return { code: "host_error", message: "falha ao falar com o agente Tolvex: " + text, detail: text };
}
