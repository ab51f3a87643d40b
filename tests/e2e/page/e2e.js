// The browser-side checks: the page client, through the extension, talks to
// the agent on a SoftHSM token, and the signatures are verified here with
// WebCrypto against the public key of the certificate the agent returned.
import * as tolvex from "./tolvex.js";

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

async function expectError(promise) {
  try {
    await promise;
    return { code: "none", message: "" };
  } catch (e) {
    return { code: e.code, message: e.message };
  }
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

// The extension's window: the driver takes a plan for each window it finds
// (what to type, which button to press, one step per round), does it, and
// reports the window's text back. A window nobody planned for is refused
// and recorded.
const plans = [];
const reports = new Map();
const unplanned = [];
let planCounter = 0;
window.takeConsentPlan = () => JSON.stringify(plans.shift() ?? null);
window.consentSeen = (id, record) => {
  if (id === null) unplanned.push(record);
  else reports.get(id)?.(record);
};

// Runs `call` while the driver answers the next window with `steps`;
// resolves with {value} or {error}, and the texts the window showed.
async function withConsent(steps, call) {
  const id = ++planCounter;
  const reported = new Promise((resolve) => reports.set(id, resolve));
  plans.push({ id, steps });
  let outcome;
  try {
    outcome = { value: await call() };
  } catch (e) {
    outcome = { error: { code: e.code, message: e.message } };
  }
  const timeout = new Promise((resolve) => setTimeout(() => resolve({ texts: [], missing: true }), 15000));
  const record = await Promise.race([reported, timeout]);
  reports.delete(id);
  return { ...outcome, texts: record.texts, missing: record.missing };
}

async function mainPhase(fx, check) {
  const pong = await tolvex.ping();
  check("ping, without asking the user",
        pong.type === "pong" && pong.protocol_version === 3 && pong.commands.includes("sign"), JSON.stringify(pong));

  const site = location.origin;
  const refused = await withConsent([{ click: "deny", shot: "consent-site" }], () => tolvex.listTokens());
  check("a site the user refuses gets user_cancelled",
        refused.error?.code === "user_cancelled" && refused.error.message === "operação cancelada pelo usuário",
        JSON.stringify(refused));
  check("the approval window names the site and what it may see",
        (refused.texts[0] ?? "").includes(site) && refused.texts[0].includes("CPF ou CNPJ") &&
          refused.texts[0].includes("Permitir"), JSON.stringify(refused.texts));

  const allowed = await withConsent([{ click: "allow" }], () => tolvex.listTokens());
  const tokens = allowed.value?.tokens ?? [];
  check("after Permitir, list_tokens shows the SoftHSM token", tokens.some((t) => t.label === fx.tokenLabel),
        JSON.stringify(allowed));

  const asked = unplanned.length;
  const { certificates, warnings } = await tolvex.listCertificates();
  const byThumb = Object.fromEntries(certificates.map((c) => [c.thumbprint, c]));
  const person = byThumb[fx.person.thumbprint];
  const company = byThumb[fx.company.thumbprint];
  check("list_certificates lists both token certificates", !!person && !!company,
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

  const typePin = (shot) => [{ pin: fx.pin, click: "allow", ...(shot ? { shot } : {}) }];
  const doc = enc.encode("Contrato de teste, cláusula única: assinado no navegador.");
  const rsa256 = await publicKey(fx.person.thumbprint, { name: "RSASSA-PKCS1-v1_5", hash: "SHA-256" });
  const hash = await crypto.subtle.digest("SHA-256", doc);
  const one = await withConsent(typePin("consent-sign"), () =>
    tolvex.sign({ thumbprint: fx.person.thumbprint, hash, digestAlgorithm: "SHA-256" }));
  const sig = one.value ? tolvex.base64ToBytes(one.value.signature) : new Uint8Array();
  check("RSA signature with the PIN typed in the window verifies with WebCrypto",
        one.value?.signature_algorithm === "rsa-pkcs1-v1_5" && one.value.digest_algorithm === "SHA-256" &&
          (await crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa256, sig, doc)) &&
          !(await crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa256, sig, enc.encode("outro documento"))),
        JSON.stringify(one));
  const signText = one.texts[0] ?? "";
  check("the signing window names the site, the holder, the issuer and the digest",
        signText.includes(site) && signText.includes(fx.person.cn) && signText.includes("123.456.789-09") &&
          signText.includes("AC TOLVEX DEMONSTRACAO v1") && signText.includes("SHA-256") &&
          signText.includes(fx.tokenLabel), JSON.stringify(one.texts));

  const rsa512 = await publicKey(fx.person.thumbprint, { name: "RSASSA-PKCS1-v1_5", hash: "SHA-512" });
  const fromData = await withConsent(typePin(), () =>
    tolvex.sign({ thumbprint: fx.person.thumbprint, data: doc, digestAlgorithm: "SHA-512" }));
  check("an approved site is asked again for the next signature; data digested by the agent (SHA-512) verifies",
        fromData.value?.digest_algorithm === "SHA-512" &&
          (await crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa512, tolvex.base64ToBytes(fromData.value.signature), doc)),
        JSON.stringify(fromData));

  const docs = [enc.encode("primeiro"), enc.encode("segundo"), enc.encode("terceiro")];
  const hashes = await Promise.all(docs.map((d) => crypto.subtle.digest("SHA-256", d)));
  const batch = await withConsent(typePin(), () => tolvex.sign({ thumbprint: fx.person.thumbprint, hashes }));
  const batchOk = batch.value?.signatures.length === 3 && (await Promise.all(batch.value.signatures.map((s, i) =>
    crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa256, tolvex.base64ToBytes(s), docs[i])))).every(Boolean);
  check("a batch of three digests, shown as 3 items, gives three signatures in order",
        batchOk && (batch.texts[0] ?? "").includes("3 itens"), JSON.stringify(batch));

  const ec = await publicKey(fx.company.thumbprint, { name: "ECDSA", namedCurve: "P-256" });
  const ecSig = await withConsent(typePin(), () =>
    tolvex.sign({ thumbprint: fx.company.thumbprint, data: doc, digestAlgorithm: "SHA-384" }));
  check("ECDSA P-256 signature (SHA-384) verifies; the window shows the CNPJ",
        ecSig.value?.signature_algorithm === "ecdsa" && (ecSig.texts[0] ?? "").includes("11.222.333/0001-81") &&
          (await crypto.subtle.verify({ name: "ECDSA", hash: "SHA-384" }, ec, tolvex.base64ToBytes(ecSig.value.signature), doc)),
        JSON.stringify(ecSig));

  const retry = await withConsent([{ pin: "000000", click: "allow" }, { pin: fx.pin, click: "allow", shot: "consent-sign-retry" }],
    () => tolvex.sign({ thumbprint: fx.person.thumbprint, hash }));
  check("a wrong PIN shows the agent's message in the window, and the right one then signs",
        !!retry.value?.signature && (retry.texts[1] ?? "").includes("PIN incorreto"), JSON.stringify(retry));

  const no = await withConsent([{ click: "deny" }], () => tolvex.sign({ thumbprint: fx.person.thumbprint, hash }));
  check("a signature the user refuses gets user_cancelled", no.error?.code === "user_cancelled", JSON.stringify(no));

  const pagePin = await expectError(tolvex.sign({ thumbprint: fx.person.thumbprint, hash, pin: fx.pin }));
  check("a PIN sent by the page is refused with invalid_argument, without a window",
        pagePin.code === "invalid_argument" && pagePin.message.includes("janela"), JSON.stringify(pagePin));

  const unknown = await expectError(tolvex.sign({ thumbprint: "00".repeat(32), hash }));
  check("an unknown thumbprint gives certificate_not_found, without a window",
        unknown.code === "certificate_not_found" && unknown.message === "certificado não encontrado",
        JSON.stringify(unknown));

  const badB64 = await withConsent(typePin(), () => tolvex.sign({ thumbprint: fx.person.thumbprint, hash: "QQ" }));
  check("the agent's validation errors reach the page",
        badB64.error?.code === "invalid_request" && badB64.error.message === "hash não é base64 válido",
        JSON.stringify(badB64));

  const local = await expectError(tolvex.sign({ thumbprint: fx.person.thumbprint, hash, data: doc }));
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

const phases = {
  main: mainPhase,
  refused: refusedPhase,
  forbidden: forbiddenPhase,
  unregistered: unregisteredPhase,
};

// The driver starts a phase and polls for its outcome, answering the
// extension's windows meanwhile.
let outcome = null;
window.startPhase = (phase, fixture) => {
  outcome = null;
  const results = [];
  const check = (name, ok, detail) => results.push({ name, ok: !!ok, detail: ok ? undefined : detail });
  phases[phase](fixture, check)
    .catch((e) => results.push({ name: `${phase}: unexpected failure`, ok: false, detail: `${e}\n${e && e.stack}` }))
    .then(() => (outcome = JSON.stringify(results)));
  return true;
};
window.phaseOutcome = () => outcome;
