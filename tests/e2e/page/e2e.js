// The browser-side checks of a well-behaved page: the page client, through
// the extension, talks to the agent on a SoftHSM token, and the signatures
// are verified here with WebCrypto against the public key of the
// certificate the agent returned. In Chromium the person uses the keyboard
// alone; in Firefox the mouse.
import * as tolvex from "./tolvex.js";
import { definePhases, expectError, raw, tally, unplanned, watch, watchStart, withConsent } from "./harness.js";

const enc = new TextEncoder();
const hex = (buf) => [...new Uint8Array(buf)].map((b) => b.toString(16).padStart(2, "0")).join("");

// The SubjectPublicKeyInfo of a DER certificate: the seventh element of
// tbsCertificate when the [0] version is present, else the sixth.
function spkiOf(der) {
  const tlv = (pos) => {
    let len = der[pos + 1];
    let header = 2;
    if (len & 0x80) {
      const n = len & 0x7f;
      len = 0;
      for (let i = 0; i < n; i++) len = len * 256 + der[pos + 2 + i];
      header += n;
    }
    return { tag: der[pos], start: pos, body: pos + header, end: pos + header + len };
  };
  const tbs = tlv(tlv(0).body);
  let el = tlv(tbs.body);
  if (el.tag === 0xa0) el = tlv(el.end);
  for (let i = 0; i < 5; i++) el = tlv(el.end); // serial, signature, issuer, validity, subject
  return der.slice(el.start, el.end);
}

async function publicKey(thumbprint, algorithm) {
  const { certificate } = await tolvex.readCertificate(thumbprint);
  return crypto.subtle.importKey("spki", spkiOf(tolvex.base64ToBytes(certificate)), algorithm, false, [
    "verify",
  ]);
}

function missingExtensionInFrame() {
  return new Promise((resolve) => {
    const frame = document.createElement("iframe");
    const onMessage = (event) => {
      if (event.source !== frame.contentWindow || event.data?.kind !== "missing-result") return;
      window.removeEventListener("message", onMessage);
      frame.remove();
      resolve(event.data);
    };
    window.addEventListener("message", onMessage);
    frame.src = "./missing.html";
    document.body.appendChild(frame);
  });
}

const noViolations = (seen) => seen.filter((s) => s.axe).every((s) => s.axe.length === 0);
const axeFound = (seen) => JSON.stringify(seen.filter((s) => s.axe).map((s) => s.axe));

async function mainPhase(fx, check, metric) {
  const keys = fx.keyboard;
  const pong = await tolvex.ping();
  check("ping, without asking the user",
        pong.type === "pong" && pong.protocol_version === 3 && pong.commands.includes("sign"), JSON.stringify(pong));

  const site = location.origin;
  const refused = await withConsent([{ ...(keys ? { keys: ["Escape"] } : { click: "deny" }), axe: true, shot: "consent-site" }],
                                    () => tolvex.listTokens());
  check(`a site the user refuses (${keys ? "Escape" : "Recusar"}) gets user_cancelled`,
        refused.error?.code === "user_cancelled" && refused.error.message === "operação cancelada pelo usuário",
        JSON.stringify(refused));
  check("the approval window names the site and what it may see; axe-core finds nothing",
        (refused.texts[0] ?? "").includes(site) && refused.texts[0].includes("CPF ou CNPJ") &&
          refused.texts[0].includes("Permitir") && noViolations(refused.seen), JSON.stringify(refused.seen));

  // By keyboard: the title has the focus, Tab, Tab reaches "Permitir".
  const allowed = await withConsent([keys ? { keys: ["Tab", "Tab", "Enter"] } : { click: "allow" }], () => tolvex.listTokens());
  const tokens = allowed.value?.tokens ?? [];
  check("after Permitir, list_tokens shows the SoftHSM token", tokens.some((t) => t.label === fx.tokenLabel),
        JSON.stringify(allowed));

  const asked = unplanned.length;
  const { certificates, warnings } = await tolvex.listCertificates();
  const byThumb = Object.fromEntries(certificates.map((c) => [c.thumbprint, c]));
  const person = byThumb[fx.person.thumbprint];
  const company = byThumb[fx.company.thumbprint];
  check("list_certificates lists the token's certificates", !!person && !!company && !!byThumb[fx.bidi.thumbprint],
        JSON.stringify({ certificates: certificates.map((c) => c.subject_name), warnings }));
  if (!person || !company) return;
  for (const [name, cert, want] of [["person", person, fx.person.pki], ["company", company, fx.company.pki]]) {
    const got = Object.fromEntries(Object.keys(want).map((k) => [k, cert.pki_brazil[k]]));
    check(`ICP-Brasil fields of the ${name} certificate`, JSON.stringify(got) === JSON.stringify(want),
          JSON.stringify(got));
  }
  const src = person.sources[0] || {};
  check("the key is on the token and needs a PIN",
        person.sources.length === 1 && src.kind === "pkcs11" && src.label === fx.tokenLabel &&
          src.requires_pin === true && src.key_storage === "token" && !("provider" in src),
        JSON.stringify(person.sources));

  const read = await tolvex.readCertificate(fx.person.thumbprint.toUpperCase());
  const digestOfDer = hex(await crypto.subtle.digest("SHA-256", tolvex.base64ToBytes(read.certificate)));
  check("read_certificate by an upper-case thumbprint returns that certificate",
        read.thumbprint === fx.person.thumbprint && digestOfDer === fx.person.thumbprint, read.thumbprint);
  check("an approved site is not asked again for listings", unplanned.length === asked,
        JSON.stringify(unplanned));

  const toWindow = [];
  const typePin = (extra = {}) => [{ pin: fx.pin, click: "allow", ...extra }];
  const doc = enc.encode("Contrato de teste, cláusula única: assinado no navegador.");
  const rsa256 = await publicKey(fx.person.thumbprint, { name: "RSASSA-PKCS1-v1_5", hash: "SHA-256" });
  const hash = await crypto.subtle.digest("SHA-256", doc);

  // The first signature, by keyboard (Chromium) or mouse: Enter too early
  // does nothing, an empty PIN is refused in the window, a wrong one keeps
  // the window open with the agent's message tied to the field, which has
  // the focus again, and the right one signs.
  // Types `pin` (after clearing the field) and presses Enter, or fills the
  // field and clicks Assinar.
  const submit = (pin) => (keys ? { keys: [...Array(6).fill("Backspace"), ...pin, "Enter"] } : { pin, click: "allow" });
  const one = await withConsent([
    { ...submit("000000"), early: true },
    { ...submit(""), wait: "none" },
    { ...submit("000000") },
    { ...submit(fx.pin), axe: true, shot: "consent-sign-retry" },
  ], () => tolvex.sign({ thumbprint: fx.person.thumbprint, hash, digestAlgorithm: "SHA-256" }));
  toWindow.push(one.toWindowMs);
  const sig = one.value ? tolvex.base64ToBytes(one.value.signature) : new Uint8Array();
  check("RSA signature with the PIN typed in the window verifies with WebCrypto",
        one.value?.signature_algorithm === "rsa-pkcs1-v1_5" && one.value.digest_algorithm === "SHA-256" &&
          (await crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa256, sig, doc)) &&
          !(await crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa256, sig, enc.encode("outro documento"))),
        JSON.stringify(one));
  const [first, , empty, wrong] = one.seen;
  check("the signing window names the site, the holder, the issuer and the digest",
        first && first.text.includes(site) && first.text.includes(fx.person.cn) && first.text.includes("123.456.789-09") &&
          first.text.includes("Detalhes técnicos") && first.text.includes(fx.tokenLabel), JSON.stringify(one.texts));
  check("the PIN field has the focus when the window is ready; Assinar does nothing before a second has passed",
        first?.focus === "pin" && first.after?.state === "ready" && !first.armed, JSON.stringify(first));
  check("an empty PIN is refused in the window, the field keeps the focus",
        empty?.text.includes("Digite o PIN.") && empty.focus === "pin" && empty.invalid === "true", JSON.stringify(empty));
  check("after a wrong PIN the agent's message is tied to the field, which has the focus again; axe-core finds nothing",
        wrong?.text.includes("PIN incorreto") && wrong.focus === "pin" && wrong.invalid === "true" &&
          wrong.describedby === "message" && noViolations(one.seen), JSON.stringify(wrong) + axeFound(one.seen));

  // After a listing, a signature starts one agent: the window comes from
  // the summary the extension kept.
  const rsa512 = await publicKey(fx.person.thumbprint, { name: "RSASSA-PKCS1-v1_5", hash: "SHA-512" });
  const agentsBefore = await watchStart();
  const fromData = await withConsent(typePin(), () =>
    tolvex.sign({ thumbprint: fx.person.thumbprint, data: doc, digestAlgorithm: "SHA-512" }));
  const agentsAfter = await watch();
  toWindow.push(fromData.toWindowMs);
  const perSignature = agentsAfter.agents_started - agentsBefore.agents_started;
  metric(`agent processes for one signature after a listing: ${perSignature}`);
  check("one agent process per signature after a listing; data digested by the agent (SHA-512) verifies",
        perSignature === 1 && fromData.value?.digest_algorithm === "SHA-512" &&
          (await crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa512, tolvex.base64ToBytes(fromData.value.signature), doc)),
        JSON.stringify({ perSignature, fromData }));

  const names = ["Contrato de locação.pdf", "Aditivo nº 1 ao contrato.pdf", "Recibo de entrega.pdf", "Procuração.pdf",
                 "Declaração de residência.pdf", "Termo de ciência.pdf", "Anexo I.pdf"];
  const docs = names.map((n) => enc.encode(`conteúdo de ${n}`));
  const hashes = await Promise.all(docs.map((d) => crypto.subtle.digest("SHA-256", d)));
  const batch = await withConsent(typePin({ axe: true, shot: "consent-batch", zoom: true }),
                                  () => tolvex.sign({ thumbprint: fx.person.thumbprint, hashes, labels: names }));
  toWindow.push(batch.toWindowMs);
  const batchOk = batch.value?.signatures.length === 7 && (await Promise.all(batch.value.signatures.map((s, i) =>
    crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa256, tolvex.base64ToBytes(s), docs[i])))).every(Boolean);
  const batchText = batch.texts[0] ?? "";
  check("a batch of seven digests, shown as 7 items with the site's first five labels under its own heading",
        batchOk && batchText.includes("7 itens") && batchText.includes("Segundo o site") &&
          names.slice(0, 5).every((n) => batchText.includes(n)) && !batchText.includes(names[5]) &&
          batchText.includes("e mais 2 itens") && noViolations(batch.seen), JSON.stringify(batch.texts) + axeFound(batch.seen));

  const ec = await publicKey(fx.company.thumbprint, { name: "ECDSA", namedCurve: "P-256" });
  const ecSig = await withConsent(typePin(), () =>
    tolvex.sign({ thumbprint: fx.company.thumbprint, data: doc, digestAlgorithm: "SHA-384" }));
  toWindow.push(ecSig.toWindowMs);
  check("ECDSA P-256 signature (SHA-384) verifies; the window shows the CNPJ",
        ecSig.value?.signature_algorithm === "ecdsa" && (ecSig.texts[0] ?? "").includes("11.222.333/0001-81") &&
          (await crypto.subtle.verify({ name: "ECDSA", hash: "SHA-384" }, ec, tolvex.base64ToBytes(ecSig.value.signature), doc)),
        JSON.stringify(ecSig));

  const no = await withConsent([keys ? { keys: ["Escape"] } : { click: "deny" }],
                               () => tolvex.sign({ thumbprint: fx.person.thumbprint, hash }));
  toWindow.push(no.toWindowMs);
  check("a signature the user refuses gets user_cancelled", no.error?.code === "user_cancelled", JSON.stringify(no));
  const ms = toWindow.filter((t) => t !== null).map((t) => Math.round(t)).sort((a, b) => a - b);
  metric(`time from the page's call to the signing window shown (ms): ${ms.join(", ")}; median ${ms[ms.length >> 1]}`);

  const pagePin = await expectError(tolvex.sign({ thumbprint: fx.person.thumbprint, hash, pin: fx.pin }));
  check("a PIN sent by the page is refused with invalid_argument, without a window",
        pagePin.code === "invalid_argument" && pagePin.message.includes("janela"), JSON.stringify(pagePin));

  const unknown = await expectError(tolvex.sign({ thumbprint: "00".repeat(32), hash }));
  check("an unknown thumbprint gives certificate_not_found, without a window",
        unknown.code === "certificate_not_found" && unknown.message === "certificado não encontrado",
        JSON.stringify(unknown));

  // What a new user gets wrong fails before any window or agent, with the
  // agent's own words (or the page client's, when it goes through it).
  const before = await watchStart();
  const T = fx.person.thumbprint;
  const mistakes = await Promise.all([
    raw({ id: "m1", command: "sign", thumbprint: T, data: "não é base64" }),
    raw({ id: "m2", command: "sign", thumbprint: T, hash: btoa("x".repeat(32)), digest_algorithm: "SHA-512" }),
    raw({ id: "m3", command: "sign", thumbprint: T, hash: btoa("x".repeat(32)), digest_algorithm: "sha256" }),
  ]);
  const clientSide = await expectError(tolvex.sign({ thumbprint: T, hash: "QQ" }));
  const after = await watch();
  check("bad Base64, a hash of the wrong length and an unknown algorithm fail before any window or agent",
        JSON.stringify(mistakes.map((m) => m.response?.error.message ?? m.error?.code)) ===
          JSON.stringify(["data não é base64 válido", "falha ao assinar: tamanho do hash não corresponde ao algoritmo", "invalid_argument"]) &&
          clientSide.code === "invalid_argument" && after.windows_seen === before.windows_seen &&
          after.agents_started === before.agents_started,
        JSON.stringify({ mistakes: tally(mistakes), clientSide, before, after }));

  const local = await expectError(tolvex.sign({ thumbprint: T, hash, data: doc }));
  check("the client refuses two inputs before asking the agent", local.code === "invalid_argument",
        JSON.stringify(local));

  const missing = await missingExtensionInFrame();
  check("a frame without the extension gets extension_missing",
        missing.code === "extension_missing" && missing.message.includes("extensão"), JSON.stringify(missing));
  check("no window opened that the page did not expect", unplanned.length === 0, JSON.stringify(unplanned));
}

async function refusedPhase(fx, check) {
  const e = await expectError(tolvex.ping());
  check("an agent that does not allow this extension is reported as host_exited",
        e.code === "host_exited" && e.message.includes("TOLVEX_ALLOWED_ORIGINS"), JSON.stringify(e));
}

async function unregisteredPhase(fx, check) {
  const e = await expectError(tolvex.ping());
  check("without a host manifest the page gets host_not_found",
        e.code === "host_not_found" && e.message.includes("não está instalado"), JSON.stringify(e));
}

async function forbiddenPhase(fx, check) {
  const e = await expectError(tolvex.ping());
  // Firefox says the same for a manifest that does not list the add-on as
  // for no manifest at all.
  const want = fx.browser === "firefox" ? "host_not_found" : "host_forbidden";
  check(`a host manifest for another extension gives ${want}`,
        e.code === want && e.message.includes("não autoriza"), JSON.stringify(e));
}

definePhases({
  main: mainPhase,
  refused: refusedPhase,
  forbidden: forbiddenPhase,
  unregistered: unregisteredPhase,
});
