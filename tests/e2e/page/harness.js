// What the test pages share with the driver: phases it starts and polls,
// plans for the extension's windows (what to type, which button or key to
// press, step by step) and what the driver saw in them, the agents and
// windows it counted, and raw requests that skip the page client the way a
// hostile page would.

// The driver takes a plan for each window it finds and reports what each
// step saw. A window nobody planned for is refused and recorded.
const plans = [];
const reports = new Map();
export const unplanned = [];
let planCounter = 0;
window.takeConsentPlan = () => JSON.stringify(plans.shift() ?? null);
window.consentSeen = (id, record) => {
  if (id === null) unplanned.push(record);
  else reports.get(id)?.(record);
};

const now = () => performance.timeOrigin + performance.now();

// Runs `call` while the driver answers the next window with `steps`;
// resolves with {value} or {error}, what the window showed at each step
// (`seen`, `texts`), and how long after the call the window was shown.
export async function withConsent(steps, call) {
  const id = ++planCounter;
  const reported = new Promise((resolve) => reports.set(id, resolve));
  plans.push({ id, steps });
  const calledAt = now();
  let outcome;
  try {
    outcome = { value: await call() };
  } catch (e) {
    outcome = { error: { code: e.code, message: e.message } };
  }
  const timeout = new Promise((resolve) => setTimeout(() => resolve({ seen: [], missing: true }), 15000));
  const record = await Promise.race([reported, timeout]);
  reports.delete(id);
  const shownAt = record.seen[0]?.shownAt;
  return {
    ...outcome,
    seen: record.seen,
    texts: record.seen.map((s) => s.text),
    missing: record.missing,
    toWindowMs: shownAt ? shownAt - calledAt : null,
  };
}

export async function expectError(promise) {
  try {
    await promise;
    return { code: "none", message: "" };
  } catch (e) {
    return { code: e.code, message: e.message };
  }
}

// The driver's counts: agents started (from their log) and at most running
// at once, the extension's windows seen and at most open at once, and the
// commands the agents were given. watchStart() starts counting the peaks.
export const watchStart = () => fetch("/watch?start").then((r) => r.json());
export const watch = () => fetch("/watch").then((r) => r.json());

// A request posted to the content script as any script in the page could,
// without the page client: resolves with the extension's {response} or
// {error}, the statuses it sent before, and `after` when `timeoutMs` passed
// without an answer.
let rawCounter = 0;
export function raw(request, timeoutMs = 20000) {
  const id = `raw-${++rawCounter}`;
  return new Promise((resolve) => {
    const statuses = [];
    const timer = setTimeout(() => done({ after: timeoutMs }), timeoutMs);
    const done = (result) => {
      clearTimeout(timer);
      window.removeEventListener("message", listen);
      resolve({ ...result, statuses });
    };
    const listen = (event) => {
      const d = event.data;
      if (event.source !== window || d?.channel !== "tolvex" || d.direction !== "to-page" || d.id !== id) return;
      if (d.type === "status") statuses.push(d.status);
      if (d.type === "response") done(d.error ? { error: d.error } : { response: d.response });
    };
    window.addEventListener("message", listen);
    window.postMessage({ channel: "tolvex", direction: "to-extension", type: "request", id, request }, location.origin);
  });
}

// What a raw request got, in one word: the error code, or "ok".
export const outcome = (r) =>
  r.error?.code ?? (r.response ? (r.response.ok ? "ok" : r.response.error?.code) : `no answer after ${r.after} ms`);

export function tally(results) {
  const out = {};
  for (const r of results) out[outcome(r)] = (out[outcome(r)] ?? 0) + 1;
  return out;
}

// The driver starts a phase and polls for its outcome, answering the
// extension's windows meanwhile. A phase gets (fixture, check, metric).
export function definePhases(phases) {
  let result = null;
  window.startPhase = (phase, fixture) => {
    result = null;
    const checks = [];
    const metrics = [];
    const check = (name, ok, detail) => checks.push({ name, ok: !!ok, detail: ok ? undefined : detail });
    const metric = (text) => metrics.push(text);
    phases[phase](fixture, check, metric)
      .catch((e) => checks.push({ name: `${phase}: unexpected failure`, ok: false, detail: `${e}\n${e && e.stack}` }))
      .then(() => (result = JSON.stringify({ checks, metrics })));
    return true;
  };
  window.phaseOutcome = () => result;
}
