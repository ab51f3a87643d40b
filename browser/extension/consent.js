// The extension's own window: names the site and what it asks, takes the
// user's answer and, for a signature, the PIN. The service worker sends the
// question and, after a wrong PIN, the agent's message; the window stays
// open until the service worker closes it. The PIN goes to the service
// worker once and the field is emptied at once.
//
// "Permitir" and "Assinar" act only once the window has been shown, visible
// and focused, for a second without a break: a click or an Enter aimed at
// the page before the window came up does not land on them. Escape is
// "Recusar", except while the answer is on its way.
const api = globalThis.browser ?? globalThis.chrome;
const $ = (id) => document.getElementById(id);
const ARM_MS = 1000;

let state = "loading";
let signing = false;
let armed = false;
let armTimer = null;

function setState(next) {
  state = next;
  document.body.dataset.state = next;
  const busy = next === "busy" || next === "loading";
  $("deny").disabled = busy;
  $("pin").disabled = busy;
  $("allow").disabled = busy || !armed;
  $("form").setAttribute("aria-busy", String(busy));
  $("status").textContent = next === "busy" ? (signing ? "Assinando… aguarde." : "Aguarde…") : "";
  watchFocus();
}

// Arms the default button after ARM_MS of being visible and focused; any
// break (another window in front, the window hidden) starts over.
function watchFocus() {
  const shown = state !== "loading" && document.visibilityState === "visible" && document.hasFocus();
  if (!shown) {
    clearTimeout(armTimer);
    armTimer = null;
    if (armed) {
      armed = false;
      $("allow").disabled = true;
    }
    return;
  }
  if (armed || armTimer !== null) return;
  armTimer = setTimeout(() => {
    armTimer = null;
    armed = true;
    $("allow").disabled = state === "busy";
  }, ARM_MS);
}
window.addEventListener("focus", watchFocus);
window.addEventListener("blur", watchFocus);
document.addEventListener("visibilitychange", watchFocus);

// Text nodes only: nothing the site or a certificate says is read as HTML.
// Texts from outside are isolated (<bdi>), so a right-to-left name cannot
// reorder the words around it.
function isolated(text, className) {
  const bdi = document.createElement("bdi");
  if (className) bdi.className = className;
  bdi.textContent = text;
  return bdi;
}

function lead(before, origin, after) {
  $("lead").replaceChildren(before, isolated(origin, "origin"), after);
}

function row(list, term, value) {
  if (!value) return;
  const dt = document.createElement("dt");
  dt.textContent = term;
  const dd = document.createElement("dd");
  dd.append(isolated(value));
  $(list).append(dt, dd);
}

function showMessage(text) {
  $("message").textContent = text;
  $("message").hidden = false;
  $("pin").setAttribute("aria-invalid", "true");
  $("pin").setAttribute("aria-describedby", "message");
}

function focusPin() {
  $("pin").focus();
  $("pin").select();
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
  signing = true;
  document.title = "Tolvex: confirmar assinatura";
  $("title").textContent = "Assinar com o seu certificado?";
  lead("O site ", d.origin, " pede uma assinatura digital com este certificado:");
  row("certificate", "Titular", d.holder);
  if (d.id) row("certificate", d.id.label, d.id.value);
  row("certificate", "Empresa", d.company);
  row("certificate", "Responsável", d.responsible);
  row("certificate", "Validade", `${d.validity.from} a ${d.validity.to}`);
  row("certificate", "A assinar", d.items === 1 ? "1 item" : `${d.items} itens`);
  $("certificate").hidden = false;
  if (d.labels?.length) {
    $("label-list").replaceChildren(...d.labels.map((label) => {
      const li = document.createElement("li");
      li.append(isolated(label));
      return li;
    }));
    const more = d.items - d.labels.length;
    $("labels-more").textContent = more > 0 ? `e mais ${more} ${more === 1 ? "item" : "itens"}` : "";
    $("labels-more").hidden = more <= 0;
    $("labels").hidden = false;
  }
  row("technical-list", "Emitido por", d.issuer);
  row("technical-list", "Algoritmo", d.digest);
  $("technical").hidden = false;
  $("allow").textContent = "Assinar";
  if (d.needsPin) {
    $("pin-label").textContent = d.pinLabel ? `PIN do token “${d.pinLabel}”` : "PIN";
    $("pin-field").hidden = false;
  }
}

function deny() {
  if (state === "busy" || state === "loading") return;
  port.postMessage({ type: "deny" });
  setState("busy");
}

const port = api.runtime.connect({ name: "consent" });
port.onMessage.addListener((message) => {
  if (message.type === "details") {
    render(message.details);
    setState("ready");
    // Focus once the field is enabled: a disabled field does not take it.
    if (!$("pin-field").hidden) focusPin();
    else $("title").focus();
    performance.mark("tolvex-consent-shown");
  } else if (message.type === "error") {
    $("pin-field").hidden = false;
    showMessage(message.message);
    setState("error");
    focusPin();
  }
});
port.onDisconnect.addListener(() => window.close());
port.postMessage({ type: "hello", id: location.hash.slice(1) });
// Keeps the service worker running while the user reads and types.
setInterval(() => port.postMessage({ type: "alive" }), 10000);

$("form").addEventListener("submit", (event) => {
  event.preventDefault();
  if (state === "busy" || state === "loading" || !armed) return;
  const message = { type: "allow" };
  if (!$("pin-field").hidden) {
    if ($("pin").value === "") {
      showMessage("Digite o PIN.");
      setState("error");
      focusPin();
      return;
    }
    message.pin = $("pin").value;
  }
  $("pin").value = "";
  setState("busy");
  port.postMessage(message);
});
$("deny").addEventListener("click", deny);
document.addEventListener("keydown", (event) => {
  if (event.key === "Escape") {
    event.preventDefault();
    deny();
  }
});
