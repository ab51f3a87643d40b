// Lists the sites the user approved and revokes them.
import { createApprovals } from "./approvals.js";

const api = globalThis.browser ?? globalThis.chrome;
const approvals = createApprovals(api.storage.local);

async function show() {
  const sites = await approvals.list();
  const items = sites.map(({ origin, approved_at }) => {
    const li = document.createElement("li");
    const name = document.createElement("strong");
    name.className = "origin";
    name.textContent = origin;
    const when = document.createElement("span");
    when.className = "note";
    when.textContent = ` desde ${new Date(approved_at).toLocaleDateString("pt-BR")} `;
    const revoke = document.createElement("button");
    revoke.type = "button";
    revoke.textContent = "Revogar";
    revoke.addEventListener("click", async () => {
      await approvals.revoke(origin);
      await show();
    });
    li.append(name, when, revoke);
    return li;
  });
  document.getElementById("sites").replaceChildren(...items);
  document.getElementById("empty").hidden = sites.length > 0;
}

api.storage.onChanged.addListener(() => show());
show();
