// The extension's own window: names the site and what it asks, takes the
// user's answer and, for a signature, the PIN. The service worker sends the
// question and, after a wrong PIN, the agent's message; the window stays
// open until the service worker closes it. The PIN goes to the service
// worker once and the field is emptied at once.
const api = globalThis.browser ?? globalThis.chrome;
const $ = (id) => document.getElementById(id);

function setState(state) {
  document.body.dataset.state = state;
  const busy = state === "busy" || state === "loading";
  $("allow").disabled = busy;
  $("deny").disabled = busy;
  $("pin").disabled = busy;
}

// Text nodes only: nothing the site or a certificate says is read as HTML.
function lead(before, origin, after) {
  const strong = document.createElement("strong");
  strong.className = "origin";
  strong.textContent = origin;
  $("lead").replaceChildren(before, strong, after);
}

function row(term, value) {
  if (!value) return;
  const dt = document.createElement("dt");
  dt.textContent = term;
  const dd = document.createElement("dd");
  dd.textContent = value;
  $("certificate").append(dt, dd);
}

function showPin(label) {
  $("pin-label").textContent = label;
  $("pin-field").hidden = false;
  $("pin").focus();
}

function render(d) {
  if (d.kind === "site") {
    document.title = "Tolvex: permitir acesso";
    $("title").textContent = "Permitir acesso aos seus certificados?";
    lead("O site ", d.origin, " pede acesso aos seus certificados digitais. " +
      "Se você permitir, ele poderá, sem perguntar de novo:");
    $("site-rights").hidden = false;
    $("site-note").hidden = false;
    $("allow").textContent = "Permitir";
    return;
  }
  document.title = "Tolvex: confirmar assinatura";
  $("title").textContent = "Assinar com o seu certificado?";
  lead("O site ", d.origin, " pede uma assinatura digital com este certificado:");
  row("Titular", d.holder);
  if (d.id) row(d.id.label, d.id.value);
  row("Empresa", d.company);
  row("Responsável", d.responsible);
  row("Emitido por", d.issuer);
  row("Validade", `${d.validity.from} a ${d.validity.to}`);
  row("A assinar", d.items === 1 ? "1 item" : `${d.items} itens`);
  row("Algoritmo", d.digest);
  $("certificate").hidden = false;
  $("allow").textContent = "Assinar";
  if (d.needsPin) showPin(d.pinLabel ? `PIN do token “${d.pinLabel}”` : "PIN");
}

setState("loading");
const port = api.runtime.connect({ name: "consent" });
port.onMessage.addListener((message) => {
  if (message.type === "details") {
    render(message.details);
    setState("ready");
  } else if (message.type === "error") {
    $("message").textContent = message.message;
    $("message").hidden = false;
    if ($("pin-field").hidden) showPin("PIN");
    $("pin").select();
    setState("error");
  }
});
port.onDisconnect.addListener(() => window.close());
port.postMessage({ type: "hello", id: location.hash.slice(1) });
// Keeps the service worker running while the user reads and types.
setInterval(() => port.postMessage({ type: "alive" }), 10000);

$("form").addEventListener("submit", (event) => {
  event.preventDefault();
  if (document.body.dataset.state === "busy") return;
  const message = { type: "allow" };
  if (!$("pin-field").hidden) message.pin = $("pin").value;
  $("pin").value = "";
  setState("busy");
  port.postMessage(message);
});
$("deny").addEventListener("click", () => {
  port.postMessage({ type: "deny" });
  setState("busy");
});
