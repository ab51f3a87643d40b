// The sample page: the person picks one of their certificates and a file;
// the server builds what is signed, the agent signs it (the extension asks
// the person and takes the PIN), the server returns the .p7s.
import * as tolvex from "@tolvex/page-client";

const $ = (id) => document.getElementById(id);
let chosen = null; // the thumbprint picked
let certificates = [];

// What a person can do about each failure (codes: the page client's README).
const ADVICE = {
  extension_missing: "Instale a extensão Tolvex neste navegador e recarregue a página.",
  host_not_found: "Instale o agente Tolvex neste computador e recarregue a página.",
  host_forbidden: "O agente Tolvex instalado não reconhece esta extensão: reinstale o agente.",
  host_exited: "O agente Tolvex não respondeu: reinstale-o.",
  user_cancelled: "Assinatura cancelada.",
  certificate_not_found: "O certificado não está mais disponível: conecte o token e mostre os certificados de novo.",
  key_not_found: "Este certificado não pode assinar neste computador: escolha outro.",
  pin_locked: "O PIN está bloqueado: desbloqueie-o com o PUK ou com o programa do fabricante do token.",
  timeout: "O token não respondeu: confira se está conectado e tente de novo.",
  busy: "Há pedidos demais em andamento: aguarde e tente de novo.",
};
const explain = (e) =>
  e instanceof tolvex.TolvexError ? ADVICE[e.code] ?? `${e.message} (${e.code})` : String(e.message ?? e);

function status(text, error = false) {
  $("status").textContent = text;
  $("status").classList.toggle("error", error);
}

const digits = (text, groups) => {
  if (!text) return "";
  let i = 0;
  return groups.map(([n, sep]) => text.slice(i, (i += n)) + sep).join("");
};
const cpf = (d) => digits(d, [[3, "."], [3, "."], [3, "-"], [2, ""]]);
const cnpj = (d) => digits(d, [[2, "."], [3, "."], [3, "/"], [4, "-"], [2, ""]]);
const date = (iso) => (iso ? new Date(iso).toLocaleDateString("pt-BR", { timeZone: "UTC" }) : "?");
const KEY_PLACES = { token: "token ou cartão", file: "neste computador", cloud: "na nuvem", unknown: "" };

function cell(row, ...parts) {
  const td = row.insertCell();
  for (const part of parts) if (part) td.append(part);
  return td;
}
// Certificate texts are the issuer's words, not the site's: isolated from
// the text around them, and characters that are invisible or reorder text
// (U+202E can make "LAT ED ONALUF" read "FULANO DE TAL") written out.
const HIDDEN = /[\p{Cc}\p{Cf}\p{Zl}\p{Zp}\p{Default_Ignorable_Code_Point}]/gu;
const visible = (text) => text.replace(HIDDEN, (c) => `[U+${c.codePointAt(0).toString(16).toUpperCase().padStart(4, "0")}]`);
const bdi = (text) => Object.assign(document.createElement("bdi"), { textContent: visible(text) });
const note = (text, className = "note") => Object.assign(document.createElement("span"), { className, textContent: text });

function render() {
  const body = $("certificates").tBodies[0];
  body.replaceChildren();
  const now = Date.now();
  for (const c of certificates) {
    const row = body.insertRow();
    row.dataset.thumbprint = c.thumbprint;
    const expired = c.not_after && Date.parse(c.not_after) < now;
    const early = c.not_before && Date.parse(c.not_before) > now;
    row.classList.toggle("invalid", Boolean(expired || early));
    const radio = Object.assign(document.createElement("input"), {
      type: "radio",
      name: "certificate",
      value: c.thumbprint,
      disabled: Boolean(expired || early),
      checked: c.thumbprint === chosen,
    });
    radio.setAttribute("aria-label", `Usar o certificado de ${c.subject_cn || c.subject_name}`);
    radio.addEventListener("change", () => {
      chosen = c.thumbprint;
      update();
    });
    cell(row, radio);
    const pki = c.pki_brazil;
    cell(row, bdi(c.subject_cn || c.subject_name), pki.kind === "pj" && pki.responsible_name && note(`Responsável: ${visible(pki.responsible_name)}`));
    cell(row, pki.cnpj ? `CNPJ ${cnpj(pki.cnpj)}` : pki.cpf ? `CPF ${cpf(pki.cpf)}` : "—").className = "document";
    cell(row, bdi(c.issuer_cn || c.issuer_name));
    cell(row, `${date(c.not_before)} a ${date(c.not_after)}`, expired && note("vencido", "warning"), early && note("ainda não vale", "warning"));
    const source = c.sources[0];
    cell(row, bdi(source.label), note([KEY_PLACES[source.key_storage], source.requires_pin && "pede PIN"].filter(Boolean).join(" · ")));
  }
  $("certificates").hidden = false;
}

function update() {
  $("sign").disabled = !(chosen && $("file").files.length);
}

async function list() {
  status("Aguardando a sua autorização na janela da extensão…");
  try {
    ({ certificates } = await tolvex.listCertificates());
    render();
    $("list").textContent = "Atualizar a lista";
    status(certificates.length ? "" : "Nenhum certificado encontrado: conecte o token e tente de novo.");
  } catch (e) {
    status(explain(e), true);
  }
}

async function post(path, body) {
  const response = await fetch(path, { method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
  if (!response.ok) throw new Error((await response.json().catch(() => null))?.error ?? `erro ${response.status}`);
  return response;
}

const base64 = (buffer) => {
  let binary = "";
  for (const b of new Uint8Array(buffer)) binary += String.fromCharCode(b);
  return btoa(binary);
};

async function sign() {
  const file = $("file").files[0];
  const thumbprint = chosen;
  $("sign").disabled = true;
  $("result").hidden = true;
  try {
    status("Preparando…");
    const digest = await crypto.subtle.digest("SHA-256", await file.arrayBuffer());
    const { certificate } = await tolvex.readCertificate(thumbprint);
    const { id, hash } = await (await post("/api/prepare", { certificate, digest: base64(digest) })).json();
    status("Confirme a assinatura na janela da extensão.");
    const { signature, signature_algorithm } = await tolvex.sign({ thumbprint, hash, labels: [file.name.slice(0, 80)] });
    status("Montando o arquivo de assinatura…");
    const p7s = await (await post("/api/finish", { id, signature, signature_algorithm })).blob();
    const link = $("download");
    URL.revokeObjectURL(link.href);
    link.href = URL.createObjectURL(p7s);
    link.download = `${file.name}.p7s`;
    link.textContent = `Baixar ${file.name}.p7s`;
    $("result").hidden = false;
    const holder = certificates.find((c) => c.thumbprint === thumbprint)?.subject_cn ?? "";
    status(`Assinado por ${visible(holder)} em ${new Date().toLocaleString("pt-BR")}.`);
  } catch (e) {
    status(explain(e), true);
  } finally {
    update();
  }
}

$("list").addEventListener("click", list);
$("file").addEventListener("change", update);
$("sign").addEventListener("click", sign);

try {
  const pong = await tolvex.ping();
  $("agent").textContent = `Agente Tolvex ${pong.agent_version} pronto.`;
  $("list").disabled = false;
} catch (e) {
  $("agent").textContent = explain(e);
}
