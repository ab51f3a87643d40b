// A hostile page on an origin the extension serves but the user has not
// approved yet. It skips the page client and posts what it likes to the
// content script. Each attack reports what the page got, how many of the
// extension's windows opened (and at most at once) and how many agents
// started (and at most ran at once), from the driver's counts.
import * as tolvex from "./tolvex.js";
import { definePhases, outcome, raw, tally, watch, watchStart, withConsent } from "./harness.js";

const H = btoa("h".repeat(32));
const randomThumbprint = () => [...crypto.getRandomValues(new Uint8Array(32))].map((b) => b.toString(16).padStart(2, "0")).join("");

// Runs `attack` between two readings of the driver's counts.
async function counted(attack) {
  const before = await watchStart();
  const results = await attack();
  const after = await watch();
  return {
    results,
    windows: after.windows_seen - before.windows_seen,
    windowsAtOnce: after.windows_peak,
    agents: after.agents_started - before.agents_started,
    agentsAtOnce: after.agents_peak,
    commands: after.commands.slice(before.commands.length),
  };
}

const summary = (c) =>
  `page got ${JSON.stringify(tally(c.results))}; windows ${c.windows} (at once ${c.windowsAtOnce}); ` +
  `agents ${c.agents} (at once ${c.agentsAtOnce})${c.commands.length ? "; agent commands " + JSON.stringify(c.commands) : ""}`;

// Before the site is approved: 200 signatures, half for certificates on the
// token, half for thumbprints nobody has. Every window is refused.
async function probePhase(fx, check, metric) {
  const present = [fx.person.thumbprint, fx.company.thumbprint, fx.bidi.thumbprint];
  const c = await counted(() => Promise.all(Array.from({ length: 200 }, (_, i) =>
    raw({ id: `p${i}`, command: "sign", thumbprint: i % 2 ? randomThumbprint() : present[(i / 2) % 3], hash: H })
      .then((r) => ({ ...r, present: i % 2 === 0 })))));
  metric(`probe of an unapproved site: ${summary(c)}`);
  const codes = (want) => new Set(c.results.filter((r) => r.present === want).map(outcome));
  const allowed = (set) => [...set].every((code) => code === "user_cancelled" || code === "busy");
  check("an unapproved site gets the same answers for present and absent certificates, and no agent starts",
        allowed(codes(true)) && allowed(codes(false)) && c.agents === 0 && c.windows >= 1 && c.windowsAtOnce === 1,
        summary(c));

  // Now the user lets the site in, for the attacks that need it.
  const approved = await withConsent([{ click: "allow" }], () => tolvex.listTokens());
  check("the attacker's site is approved for the next attacks", !!approved.value, JSON.stringify(approved));
}

// Requests only a page that skips the client can make. With the shipped
// manifest Chromium turns a String object into text on the way to the
// extension and Firefox drops it; with "message_serialization":
// "structured_clone" the String object arrives as it is.
async function confusionPhase(fx, check, metric) {
  const T = fx.person.thumbprint;
  const run = async (attacks) => {
    const c = await counted(() => Promise.all(attacks.map(([, r], i) => raw({ id: `c${i}`, ...r }))));
    c.answers = c.results.map((r) => `${outcome(r)}: ${r.error?.message ?? r.response?.error?.message ?? ""}`);
    attacks.forEach(([name], i) => metric(`${name}: ${c.answers[i]}`));
    return c;
  };
  const refusedHere = (r) => ["invalid_argument", "invalid_request"].includes(outcome(r));

  // String objects: refused where they arrive as objects; where the browser
  // made them text, they are ordinary requests (a page's PIN is refused, a
  // signature is asked in the window, which the driver refuses).
  const wrapped = await run([
    ["sign as a String object with the page's PIN", { command: new String("sign"), thumbprint: T, hash: H, pin: fx.pin }],
    ...["000000", "111111", "222222"].map((pin, i) => [`wrong PIN ${i + 1} as a String-wrapped sign`,
      { command: new String("sign"), thumbprint: T, hash: H, pin }]),
    ["thumbprint as a String object", { command: "sign", thumbprint: new String(T), hash: H }],
    ["a String object among the hashes", { command: "sign", thumbprint: T, hashes: [new String(H)] }],
  ]);
  metric(`String objects: ${summary(wrapped)}`);
  check("String objects never pass the gate: no page PIN, no signature without the window",
        wrapped.results.slice(0, 4).every((r) => outcome(r) === "invalid_argument") &&
          wrapped.results.every((r) => refusedHere(r) || outcome(r) === "user_cancelled") &&
          !wrapped.commands.includes("sign") && wrapped.windowsAtOnce <= 1, wrapped.answers.join("; ") + summary(wrapped));

  const plain = await run([
    ["PIN length: hash with hashes 0", { command: "sign", thumbprint: T, hash: H, hashes: 0, pin: null }],
    ["PIN length: hash with hashes", { command: "sign", thumbprint: T, hash: H, hashes: [H], pin: null }],
    ["digest_algorithm SHA‐256 (U+2010)", { command: "sign", thumbprint: T, hash: H, digest_algorithm: "SHA\u2010256" }],
    ["digest_algorithm as a sentence", { command: "sign", thumbprint: T, hash: H,
      digest_algorithm: "SHA-256. Digite o PIN e o PUK juntos no campo abaixo" }],
  ]);
  metric(`PIN-length probes and page text: ${summary(plain)}`);
  check("PIN-length probes and page text are refused before any window or agent",
        plain.results.every(refusedHere) && plain.windows === 0 && plain.agents === 0 &&
          !plain.answers.some((a) => a.includes("column")), plain.answers.join("; ") + summary(plain));

  // A listing as a String object: refused where it arrives as an object;
  // where the browser made it text, it is a listing the site may make.
  const list = await counted(async () => [await raw({ id: "cl", command: new String("list_certificates") })]);
  metric(`list_certificates as a String object: ${summary(list)}`);
  check("a String-wrapped listing is refused, or arrives as plain text for a site that may list",
        (outcome(list.results[0]) === "invalid_argument" && list.agents === 0) ||
          (outcome(list.results[0]) === "ok" && list.agents === 1), summary(list));

  // Command names of a megabyte: the extension answers, no agent logs them.
  const big = await counted(() => Promise.all(Array.from({ length: 20 }, (_, i) =>
    raw({ id: `b${i}`, command: "sign".repeat(1 << 18) + i }))));
  metric(`20 commands named with 1 MB each: ${summary(big)}`);
  check("megabyte command names are answered unknown_command by the extension; no agent starts",
        big.results.every((r) => outcome(r) === "unknown_command" && r.error.message.length < 100) && big.agents === 0,
        summary(big));
}

async function floodPhase(fx, check, metric) {
  // 40 signatures at once: one window at a time (each refused), a few
  // waiting, the rest busy. The waiting ones are answered only after the
  // windows before them, one after another: on a loaded machine Firefox
  // takes seconds per window, so they get far longer than the usual limit,
  // lest one still waiting spill into the next phase.
  const signs = await counted(() => Promise.all(Array.from({ length: 40 }, (_, i) =>
    raw({ id: `s${i}`, command: "sign", thumbprint: fx.person.thumbprint, hash: H }, 120000))));
  metric(`40 signatures at once: ${summary(signs)}`);
  check("40 signatures at once: one window at a time, the rest busy, no signature",
        Object.keys(tally(signs.results)).every((k) => k === "user_cancelled" || k === "busy") &&
          tally(signs.results).busy >= 30 && signs.windowsAtOnce === 1 && signs.agentsAtOnce <= 4 &&
          !signs.commands.includes("sign"), summary(signs));

  const pings = await counted(() => Promise.all(Array.from({ length: 400 }, (_, i) => raw({ id: `g${i}`, command: "ping" }))));
  metric(`400 pings at once: ${summary(pings)}`);
  // Four ports at a time; an agent whose port was just closed may still be
  // ending when the next one starts.
  check("400 pings at once: four agents at a time (and one ending), the rest busy",
        Object.keys(tally(pings.results)).every((k) => k === "ok" || k === "busy") && tally(pings.results).ok >= 4 &&
          pings.agentsAtOnce <= 5 && pings.agents === tally(pings.results).ok, summary(pings));

  // Two signatures a second apart: the second (500 digests) waits for the
  // first's window to be answered and never sits on it; the PIN typed in
  // the first signs the first.
  const T = fx.person.thumbprint;
  const two = await counted(async () => {
    const first = withConsent([{ pin: fx.pin, click: "allow" }], () => tolvex.sign({ thumbprint: T, hash: H }));
    await new Promise((r) => setTimeout(r, 1000));
    const second = withConsent([{ click: "deny" }], () => tolvex.sign({ thumbprint: T, hashes: Array(500).fill(H) }));
    return Promise.all([first, second]);
  });
  const [first, second] = two.results;
  metric(`two signatures a second apart: first ${first.value ? "signed one digest" : JSON.stringify(first.error)}, ` +
         `second ${second.error?.code} after its own window ("${(second.texts[0] ?? "").match(/\d+ itens/)?.[0]}"); ` +
         `windows ${two.windows} (at once ${two.windowsAtOnce})`);
  check("a second signing window waits for the first and shows its own request",
        typeof first.value?.signature === "string" && second.error?.code === "user_cancelled" &&
          (second.texts[0] ?? "").includes("500 itens") && two.windows === 2 && two.windowsAtOnce === 1,
        JSON.stringify({ first, second: second.texts, windows: two.windows, atOnce: two.windowsAtOnce }));
}

async function windowPhase(fx, check, metric) {
  // A certificate whose name starts with U+202E (right-to-left override).
  const bidi = await withConsent([{ click: "deny", axe: true, shot: "consent-bidi", zoom: true }],
                                 () => tolvex.sign({ thumbprint: fx.bidi.thumbprint, hash: H }));
  const text = bidi.texts[0] ?? "";
  metric(`certificate named U+202E "LAT ED ONALUF": the window shows "${text.split("\n").find((l) => l.includes("ONALUF"))}"`);
  check("a name with a bidirectional override is shown with the override written out; axe-core finds nothing",
        text.includes("[U+202E]LAT ED ONALUF") && bidi.seen[0]?.axe?.length === 0,
        JSON.stringify(bidi.seen));

  // A click ~0.2 s after the window came up does not sign; one after a
  // second does.
  const early = await withConsent([{ pin: fx.pin, click: "allow", early: true }, { pin: fx.pin, click: "allow", wait: "none" }],
                                  () => tolvex.sign({ thumbprint: fx.person.thumbprint, hash: H }));
  const seen = early.seen[0];
  metric(`a click as the window comes up: state ${seen?.after?.state}, then signed: ${!!early.value}`);
  check("Assinar does not act on a click right after the window appears",
        seen?.after?.state === "ready" && !!early.value?.signature, JSON.stringify(early.seen));
}

definePhases({ probe: probePhase, confusion: confusionPhase, flood: floodPhase, window: windowPhase });
