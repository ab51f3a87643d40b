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

async function mainPhase(fx, check) {
  const pong = await tolvex.ping();
  check("ping", pong.type === "pong" && pong.protocol_version === 3 && pong.commands.includes("sign"),
        JSON.stringify(pong));

  const { tokens } = await tolvex.listTokens();
  check("list_tokens shows the SoftHSM token", tokens.some((t) => t.label === fx.tokenLabel),
        JSON.stringify(tokens));

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

  const doc = enc.encode("Contrato de teste, cláusula única: assinado no navegador.");
  const rsa256 = await publicKey(fx.person.thumbprint, { name: "RSASSA-PKCS1-v1_5", hash: "SHA-256" });
  const hash = await crypto.subtle.digest("SHA-256", doc);
  const one = await tolvex.sign({ thumbprint: fx.person.thumbprint, hash, digestAlgorithm: "SHA-256", pin: fx.pin });
  const sig = tolvex.base64ToBytes(one.signature);
  check("RSA signature of a SHA-256 digest verifies with WebCrypto",
        one.signature_algorithm === "rsa-pkcs1-v1_5" && one.digest_algorithm === "SHA-256" &&
          (await crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa256, sig, doc)) &&
          !(await crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa256, sig, enc.encode("outro documento"))),
        JSON.stringify(one));

  const rsa512 = await publicKey(fx.person.thumbprint, { name: "RSASSA-PKCS1-v1_5", hash: "SHA-512" });
  const fromData = await tolvex.sign({ thumbprint: fx.person.thumbprint, data: doc, digestAlgorithm: "SHA-512", pin: fx.pin });
  check("RSA signature of data digested by the agent (SHA-512) verifies",
        fromData.digest_algorithm === "SHA-512" &&
          (await crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa512, tolvex.base64ToBytes(fromData.signature), doc)),
        JSON.stringify(fromData));

  const docs = [enc.encode("primeiro"), enc.encode("segundo"), enc.encode("terceiro")];
  const batch = await tolvex.sign({
    thumbprint: fx.person.thumbprint,
    hashes: await Promise.all(docs.map((d) => crypto.subtle.digest("SHA-256", d))),
    pin: fx.pin,
  });
  const batchOk = batch.signatures.length === 3 && (await Promise.all(batch.signatures.map((s, i) =>
    crypto.subtle.verify("RSASSA-PKCS1-v1_5", rsa256, tolvex.base64ToBytes(s), docs[i])))).every(Boolean);
  check("a batch of three digests gives three signatures in order", batchOk, JSON.stringify(batch));

  const ec = await publicKey(fx.company.thumbprint, { name: "ECDSA", namedCurve: "P-256" });
  const ecSig = await tolvex.sign({ thumbprint: fx.company.thumbprint, data: doc, digestAlgorithm: "SHA-384", pin: fx.pin });
  check("ECDSA P-256 signature (SHA-384) verifies with WebCrypto",
        ecSig.signature_algorithm === "ecdsa" &&
          (await crypto.subtle.verify({ name: "ECDSA", hash: "SHA-384" }, ec, tolvex.base64ToBytes(ecSig.signature), doc)),
        JSON.stringify(ecSig));

  const wrong = await expectError(tolvex.sign({ thumbprint: fx.person.thumbprint, hash, pin: "000000" }));
  check("a wrong PIN gives pin_incorrect with the Portuguese message",
        wrong.code === "pin_incorrect" && wrong.message.startsWith("PIN incorreto"), JSON.stringify(wrong));
  const again = await expectError(tolvex.sign({ thumbprint: fx.person.thumbprint, hash, pin: fx.pin }));
  check("the right PIN works again after a wrong one", again.code === "none", JSON.stringify(again));

  const noPin = await expectError(tolvex.sign({ thumbprint: fx.person.thumbprint, hash }));
  check("no PIN gives pin_required", noPin.code === "pin_required" && noPin.message === "PIN necessário",
        JSON.stringify(noPin));

  const unknown = await expectError(tolvex.sign({ thumbprint: "00".repeat(32), hash, pin: fx.pin }));
  check("an unknown thumbprint gives certificate_not_found",
        unknown.code === "certificate_not_found" && unknown.message === "certificado não encontrado",
        JSON.stringify(unknown));

  const badB64 = await expectError(tolvex.sign({ thumbprint: fx.person.thumbprint, hash: "QQ", pin: fx.pin }));
  check("the agent's validation errors reach the page",
        badB64.code === "invalid_request" && badB64.message === "hash não é base64 válido", JSON.stringify(badB64));

  const local = await expectError(tolvex.sign({ thumbprint: fx.person.thumbprint, hash, data: doc }));
  check("the client refuses two inputs before asking the agent", local.code === "invalid_argument",
        JSON.stringify(local));

  const missing = await missingExtensionInFrame();
  check("a frame without the extension gets extension_missing",
        missing.code === "extension_missing" && missing.message.includes("extensão"), JSON.stringify(missing));
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

window.runPhase = async (phase, fixture) => {
  const results = [];
  const check = (name, ok, detail) => results.push({ name, ok: !!ok, detail: ok ? undefined : detail });
  try {
    await phases[phase](fixture, check);
  } catch (e) {
    results.push({ name: `${phase}: unexpected failure`, ok: false, detail: `${e}\n${e && e.stack}` });
  }
  return results;
};
