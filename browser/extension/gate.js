// What the user decides before the agent is asked, and how much a page may
// ask at once. The request is rebuilt first (request.js): only that copy is
// judged, shown and relayed. `ping` goes straight through; every other
// command needs the site approved once (remembered per origin, a refusal is
// not), a signature included, so a site nobody approved learns nothing
// about the certificates, not even whether one exists. Every signature is
// then confirmed in the extension's window, which takes the PIN.
//
// One window at a time, whichever site asks: the next question waits until
// the one before is answered and never covers it. A site has at most
// `waiting` requests queued (for a window or for an agent); beyond, `busy`.
// At most `ports` agents run at once across the extension.
//
// Kept free of browser calls so it can be tested under node:
// `relay(request, cancelled)` talks to the agent, `ui.open(details)` opens
// the window, `approvals` and `summaries` are the stores (approvals.js,
// summaries.js).
import { HIDDEN, rebuildRequest } from "./request.js";

// Agent answers after which the window stays open for another PIN.
const RETRY_CODES = new Set(["pin_incorrect", "pin_required"]);
// How many page labels the window lists; the count says how many there are.
export const LABELS_SHOWN = 5;

const USER_CANCELLED = { code: "user_cancelled", message: "operação cancelada pelo usuário" };
export const BUSY = {
  code: "busy",
  message: "há pedidos demais desta página esperando; tente de novo depois que os anteriores forem respondidos",
};
const GONE = { code: "cancelled", message: "pedido abandonado pela página" };

// Ends a request early with `payload` ({error} or {response}).
class Answer {
  constructor(payload) {
    this.payload = payload;
  }
}

function agentFailure(id, code, message) {
  return { response: { id, ok: false, error: { code, message } } };
}

// A text from a certificate or a token, as the window shows it: characters
// that are invisible or reorder the text around them (U+202E turns
// "LAT ED ONALUF" into "FULANO DE TAL") are written out as [U+202E].
export function shown(text) {
  if (typeof text !== "string") return "";
  return text.replace(HIDDEN, (c) => `[U+${c.codePointAt(0).toString(16).toUpperCase().padStart(4, "0")}]`);
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

// What the signing window shows: the site (from the browser), the
// certificate (from the agent's summary), and counts, algorithm and labels
// from the rebuilt request only.
export function signDetails(origin, request, labels, certificate) {
  const pki = certificate.pki_brazil ?? {};
  const id = pki.cnpj
    ? { label: "CNPJ", value: shown(formatCnpj(pki.cnpj)) }
    : pki.cpf
      ? { label: "CPF", value: shown(formatCpf(pki.cpf)) }
      : null;
  const pinSource = (certificate.sources ?? []).find((s) => s?.requires_pin);
  const list = request.hashes ?? request.data_list;
  const holder = certificate.subject_cn || certificate.subject_name;
  return {
    kind: "sign",
    origin,
    holder: shown(holder),
    id,
    // A company's certificate: its name when the CN does not already say it,
    // and the person responsible for it.
    company: pki.company_name && pki.company_name !== holder ? shown(pki.company_name) : null,
    responsible: pki.responsible_name ? shown(pki.responsible_name) : null,
    issuer: shown(certificate.issuer_cn || certificate.issuer_name),
    validity: { from: shown(formatDate(certificate.not_before)), to: shown(formatDate(certificate.not_after)) },
    items: list ? list.length : 1,
    digest: request.digest_algorithm ?? "SHA-256",
    // The page's own words for the first few items, already cleaned.
    labels: labels ? labels.slice(0, LABELS_SHOWN) : null,
    needsPin: !!pinSource && request.pin === undefined,
    pinLabel: pinSource ? shown(pinSource.label) : null,
  };
}

// `size` holders at a time; the others wait in arrival order. take()
// resolves with a release function, or null when `cancelled` fired first.
function createSlots(size) {
  let free = size;
  const queue = [];
  const release = () => {
    const next = queue.shift();
    if (next) next();
    else free++;
  };
  const once = () => {
    let done = false;
    return () => {
      if (!done) {
        done = true;
        release();
      }
    };
  };
  return {
    tryTake() {
      if (free === 0) return null;
      free--;
      return once();
    },
    take(cancelled) {
      return new Promise((resolve) => {
        const grant = () => resolve(once());
        queue.push(grant);
        cancelled.then(() => {
          const i = queue.indexOf(grant);
          if (i >= 0) {
            queue.splice(i, 1);
            resolve(null);
          }
        });
      });
    },
  };
}

export function createGate({ relay, ui, approvals, summaries, allowPagePin, ports = 4, waiting = 5 }) {
  const windows = createSlots(1);
  const agents = createSlots(ports);
  const queued = new Map(); // origin -> requests waiting

  // Runs `wait` counted as one of the site's waiting requests, or refuses
  // with busy when it already has `waiting` of them.
  async function counted(origin, wait) {
    const n = queued.get(origin) ?? 0;
    if (n >= waiting) throw new Answer({ error: BUSY });
    queued.set(origin, n + 1);
    try {
      return await wait();
    } finally {
      const left = queued.get(origin) - 1;
      if (left) queued.set(origin, left);
      else queued.delete(origin);
    }
  }

  // A slot now, else in the queue; `origin` null for a wait the user asked
  // for (the signature they just confirmed), which is never refused.
  async function take(slots, origin, cancelled) {
    const now = slots.tryTake();
    if (now) return now;
    const release = await (origin === null ? slots.take(cancelled) : counted(origin, () => slots.take(cancelled)));
    if (!release) throw new Answer({ error: GONE });
    return release;
  }

  async function relayed(origin, request, cancelled) {
    const release = await take(agents, origin, cancelled);
    try {
      return await relay(request, cancelled);
    } finally {
      release();
    }
  }

  // Resolves with the user's next choice: {pin?} to go on, null to stop
  // (refused, window closed, or the page gave up).
  const choose = (dialog, cancelled) => Promise.race([dialog.decision(), cancelled.then(() => null)]);

  // Requests of a site that arrive while its question is asked (or waits
  // to be) wait for the same answer.
  const asking = new Map();

  // true or false: the user's answer; null: the page that asked went away
  // before the user answered.
  async function askSite(origin, cancelled) {
    let gone = false;
    cancelled.then(() => (gone = true));
    const release = await take(windows, origin, cancelled).catch((e) => {
      if (gone) return null;
      throw e;
    });
    if (!release) return null;
    try {
      if (await approvals.isApproved(origin)) return true;
      const dialog = ui.open({ kind: "site", origin });
      try {
        if (!(await choose(dialog, cancelled))) return gone ? null : false;
      } finally {
        await dialog.close();
      }
      await approvals.approve(origin);
      return true;
    } finally {
      release();
    }
  }

  async function approveSite(origin, cancelled, status) {
    if (await approvals.isApproved(origin)) return;
    status("waiting_user");
    for (;;) {
      let asked = asking.get(origin);
      const mine = !asked;
      if (mine) {
        asked = askSite(origin, cancelled);
        asking.set(origin, asked);
        const done = () => asking.delete(origin);
        asked.then(done, done);
      }
      const allowed = await (mine ? asked : counted(origin, () => asked));
      // The page that asked went away: ask again for the ones still here.
      if (allowed === null && !mine) continue;
      if (!allowed) throw new Answer({ error: USER_CANCELLED });
      break;
    }
    status("working");
  }

  // The summary of the certificate to sign with: the one a listing of this
  // browser session gave, else a listing now. A certificate the agent does
  // not list (a CA's) is not offered.
  async function summaryOf(origin, request, cancelled) {
    const known = await summaries.get(request.thumbprint);
    if (known) return known;
    const listing = await relayed(origin, { id: "consent", command: "list_certificates" }, cancelled);
    if (listing.error) throw new Answer(listing);
    if (!listing.response?.ok) {
      const e = listing.response?.error ?? {};
      throw new Answer(agentFailure(request.id, e.code ?? "invalid_response", e.message ?? "erro sem descrição"));
    }
    const certificates = listing.response.result?.certificates ?? [];
    await summaries.remember(certificates);
    const wanted = request.thumbprint.toLowerCase();
    const found = certificates.find((c) => c?.thumbprint === wanted);
    if (!found) throw new Answer(agentFailure(request.id, "certificate_not_found", "certificado não encontrado"));
    return found;
  }

  async function sign(origin, request, labels, cancelled, status) {
    const certificate = await summaryOf(origin, request, cancelled);
    status("waiting_user");
    const release = await take(windows, origin, cancelled);
    const dialog = ui.open(signDetails(origin, request, labels, certificate));
    try {
      for (;;) {
        const choice = await choose(dialog, cancelled);
        if (!choice) return { error: USER_CANCELLED };
        status("working");
        // The PIN goes in last, into a request already known to be well
        // formed: no answer of the agent can depend on it but the login.
        const signing = { ...request };
        if (typeof choice.pin === "string") signing.pin = choice.pin;
        // No reference to the PIN outlives this request.
        delete choice.pin;
        const reply = await relayed(null, signing, cancelled);
        delete signing.pin;
        const error = reply.response?.ok === false ? reply.response.error : null;
        if (error?.code === "certificate_not_found") await summaries.forget(request.thumbprint);
        if (error && RETRY_CODES.has(error.code) && request.pin === undefined) {
          dialog.showError(error.message);
          status("waiting_user");
          continue;
        }
        return reply;
      }
    } finally {
      await dialog.close();
      release();
    }
  }

  // `page` is the page's request object; `cancelled` resolves when the page
  // gave up on it; `status("waiting_user")` and `status("working")` tell the
  // page when its request waits for the person and when it goes on.
  // Resolves with {response} (the agent's envelope) or {error} (the
  // extension's own code and message).
  return async function handle(origin, page, cancelled, status = () => {}) {
    const built = rebuildRequest(page, { allowPagePin });
    if (!built.request) return built;
    const { request, labels } = built;
    try {
      if (request.command !== "ping") await approveSite(origin, cancelled, status);
      if (request.command === "sign") return await sign(origin, request, labels, cancelled, status);
      const reply = await relayed(origin, request, cancelled);
      if (request.command === "list_certificates" && reply.response?.ok) {
        await summaries.remember(reply.response.result?.certificates);
      }
      return reply;
    } catch (e) {
      if (e instanceof Answer) return e.payload;
      throw e;
    }
  };
}
