// What the user decides before the agent is asked. `ping` goes straight
// through. Listing tokens or certificates and reading a certificate need the
// site to be approved once (remembered per origin; a refusal is not). Every
// signature is confirmed in the extension's window, which also takes the PIN;
// a page's own PIN is refused unless the deployment allows it. Kept free of
// browser calls so it can be tested under node: `relay(request, cancelled)`
// talks to the agent, `ui.open(details)` opens the window, `approvals` is
// the store of approved sites.

export const SITE_COMMANDS = new Set(["list_tokens", "list_certificates", "read_certificate"]);
// Agent answers after which the window stays open for another PIN.
const RETRY_CODES = new Set(["pin_incorrect", "pin_required"]);

const USER_CANCELLED = { code: "user_cancelled", message: "operação cancelada pelo usuário" };
export const PAGE_PIN_REFUSED = {
  code: "invalid_argument",
  message: "o PIN não é enviado pela página: ele é digitado na janela da extensão Tolvex",
};

function agentFailure(id, code, message) {
  return { response: { id, ok: false, error: { code, message } } };
}

const digits = (text) => (typeof text === "string" ? text.replace(/\D/g, "") : "");

function formatCpf(cpf) {
  const d = digits(cpf);
  return d.length === 11 ? `${d.slice(0, 3)}.${d.slice(3, 6)}.${d.slice(6, 9)}-${d.slice(9)}` : cpf;
}

function formatCnpj(cnpj) {
  const d = digits(cnpj);
  return d.length === 14
    ? `${d.slice(0, 2)}.${d.slice(2, 5)}.${d.slice(5, 8)}/${d.slice(8, 12)}-${d.slice(12)}`
    : cnpj;
}

// "2026-01-31T12:00:00Z" -> "31/01/2026"; anything else as it is.
function formatDate(text) {
  const m = /^(\d{4})-(\d{2})-(\d{2})/.exec(text ?? "");
  return m ? `${m[3]}/${m[2]}/${m[1]}` : text ?? "";
}

// What the signing window shows of a certificate summary.
export function signDetails(origin, request, certificate, pagePin) {
  const pki = certificate.pki_brazil ?? {};
  const id = pki.cnpj
    ? { label: "CNPJ", value: formatCnpj(pki.cnpj) }
    : pki.cpf
      ? { label: "CPF", value: formatCpf(pki.cpf) }
      : null;
  const pinSource = (certificate.sources ?? []).find((s) => s.requires_pin);
  const list = request.hashes ?? request.data_list;
  const holder = certificate.subject_cn || certificate.subject_name;
  return {
    kind: "sign",
    origin,
    holder,
    id,
    // A company's certificate: its name when the CN does not already say it,
    // and the person responsible for it.
    company: pki.company_name && pki.company_name !== holder ? pki.company_name : null,
    responsible: pki.responsible_name ?? null,
    issuer: certificate.issuer_cn || certificate.issuer_name,
    validity: { from: formatDate(certificate.not_before), to: formatDate(certificate.not_after) },
    items: Array.isArray(list) ? list.length : 1,
    digest: request.digest_algorithm ?? "SHA-256",
    needsPin: !!pinSource && !pagePin,
    pinLabel: pinSource ? pinSource.label : null,
  };
}

export function createGate({ relay, ui, approvals, allowPagePin }) {
  // Resolves with the user's next choice: {pin?} to go on, null to stop
  // (refused, window closed, or the page gave up).
  const choose = (dialog, cancelled) => Promise.race([dialog.decision(), cancelled.then(() => null)]);

  // One question per site at a time: requests that arrive while the window
  // is open wait for the same answer.
  const asking = new Map();

  async function askSite(origin, command, cancelled) {
    const dialog = ui.open({ kind: "site", origin, command });
    try {
      if (!(await choose(dialog, cancelled))) return false;
    } finally {
      dialog.close();
    }
    await approvals.approve(origin);
    return true;
  }

  async function approveSite(origin, command, cancelled) {
    if (await approvals.isApproved(origin)) return true;
    if (!asking.has(origin)) {
      const answer = askSite(origin, command, cancelled);
      asking.set(origin, answer);
      const done = () => asking.delete(origin);
      answer.then(done, done);
    }
    return asking.get(origin);
  }

  async function sign(origin, request, cancelled) {
    const pagePin = request.pin !== undefined && request.pin !== null;
    if (pagePin && !allowPagePin) return { error: PAGE_PIN_REFUSED };
    // Without a thumbprint text the agent refuses the request before any key
    // is touched; let it say so in its own words.
    if (typeof request.thumbprint !== "string") return relay(request, cancelled);

    // The window shows whose certificate signs: ask the agent for the
    // listing. A certificate it does not list (a CA's) is not offered.
    const listing = await relay({ id: "consent", command: "list_certificates" }, cancelled);
    if (listing.error) return listing;
    if (!listing.response?.ok) {
      const e = listing.response?.error ?? {};
      return agentFailure(request.id, e.code ?? "invalid_response", e.message ?? "erro sem descrição");
    }
    const wanted = request.thumbprint.toLowerCase();
    const certificate = (listing.response.result?.certificates ?? []).find((c) => c.thumbprint === wanted);
    if (!certificate) return agentFailure(request.id, "certificate_not_found", "certificado não encontrado");

    const dialog = ui.open(signDetails(origin, request, certificate, pagePin));
    try {
      for (;;) {
        const choice = await choose(dialog, cancelled);
        if (!choice) return { error: USER_CANCELLED };
        const signing = { ...request };
        if (typeof choice.pin === "string") signing.pin = choice.pin;
        // No reference to the PIN outlives this request.
        delete choice.pin;
        const reply = await relay(signing, cancelled);
        delete signing.pin;
        const error = reply.response && reply.response.ok === false ? reply.response.error : null;
        if (error && RETRY_CODES.has(error.code) && !pagePin) {
          dialog.showError(error.message);
          continue;
        }
        return reply;
      }
    } finally {
      dialog.close();
    }
  }

  // `request` is the page's request object; `cancelled` resolves when the
  // page gave up on it. Resolves with {response} (the agent's envelope) or
  // {error} (the extension's own code and message).
  return async function handle(origin, request, cancelled) {
    if (request.command === "sign") return sign(origin, request, cancelled);
    if (SITE_COMMANDS.has(request.command) && !(await approveSite(origin, request.command, cancelled))) {
      return { error: USER_CANCELLED };
    }
    return relay(request, cancelled);
  };
}
