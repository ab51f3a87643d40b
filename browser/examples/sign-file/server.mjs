// The sample site: serves the page and turns a signature of the agent into
// a CAdES-BES .p7s.
//
//   npm install && npm start           # http://127.0.0.1:8080/
//   PORT=0 node server.mjs              # any free port; the address is printed
//
//   POST /api/prepare  {certificate, digest}  -> {id, hash}
//        certificate: the DER certificate in Base64 (readCertificate), digest:
//        the file's SHA-256 in Base64; hash: what the agent must sign.
//   POST /api/finish   {id, signature, signature_algorithm}  -> the .p7s
//        (application/pkcs7-signature), or {error} with status 400.
//
// The file never leaves the browser; only its digest comes here.
import { randomUUID } from "node:crypto";
import { readFile } from "node:fs/promises";
import { createServer } from "node:http";
import { fileURLToPath } from "node:url";
import { assemble, CadesError, prepare } from "./cades.mjs";

const here = (path) => fileURLToPath(new URL(path, import.meta.url));
const STATIC = {
  "/": [here("public/index.html"), "text/html; charset=utf-8"],
  "/app.js": [here("public/app.js"), "text/javascript; charset=utf-8"],
  "/style.css": [here("public/style.css"), "text/css; charset=utf-8"],
  // The page client, from the installed package.
  "/vendor/tolvex.js": [fileURLToPath(import.meta.resolve("@tolvex/page-client")), "text/javascript; charset=utf-8"],
};

// Signatures begun and not yet finished, for ten minutes each.
const PENDING_MS = 10 * 60 * 1000;
const MAX_PENDING = 1000;
const pending = new Map();

function forgetOld(now) {
  for (const [id, entry] of pending) if (entry.expires < now) pending.delete(id);
}

const base64 = (text, name) => {
  if (typeof text !== "string" || !/^[A-Za-z0-9+/]*={0,2}$/.test(text) || text.length % 4) {
    throw new CadesError(`${name} deve ser Base64`);
  }
  return Buffer.from(text, "base64");
};

const api = {
  "/api/prepare"(body) {
    forgetOld(Date.now());
    if (pending.size >= MAX_PENDING) throw new CadesError("assinaturas demais em andamento; tente daqui a pouco");
    const prepared = prepare(base64(body.certificate, "certificate"), base64(body.digest, "digest"));
    const id = randomUUID();
    pending.set(id, { prepared, expires: Date.now() + PENDING_MS });
    return { id, hash: prepared.toSign.toString("base64") };
  },
  "/api/finish"(body) {
    const entry = typeof body.id === "string" && pending.get(body.id);
    if (!entry || entry.expires < Date.now()) throw new CadesError("assinatura não iniciada ou expirada; comece de novo");
    pending.delete(body.id);
    return assemble(entry.prepared, base64(body.signature, "signature"), body.signature_algorithm);
  },
};

async function readJson(request) {
  const chunks = [];
  let size = 0;
  for await (const chunk of request) {
    size += chunk.length;
    if (size > 64 * 1024) throw new CadesError("pedido grande demais");
    chunks.push(chunk);
  }
  try {
    const body = JSON.parse(Buffer.concat(chunks).toString("utf8"));
    if (body && typeof body === "object") return body;
  } catch {}
  throw new CadesError("o corpo deve ser um objeto JSON");
}

const server = createServer(async (request, response) => {
  const path = new URL(request.url, "http://localhost").pathname;
  const send = (status, type, body) => {
    response.writeHead(status, { "Content-Type": type, "Cache-Control": "no-store", "X-Content-Type-Options": "nosniff" });
    response.end(body);
  };
  try {
    if (request.method === "GET" && STATIC[path]) {
      const [file, type] = STATIC[path];
      return send(200, type, await readFile(file));
    }
    if (request.method === "POST" && api[path]) {
      const result = api[path](await readJson(request));
      return Buffer.isBuffer(result)
        ? send(200, "application/pkcs7-signature", result)
        : send(200, "application/json", JSON.stringify(result));
    }
    send(404, "text/plain; charset=utf-8", "não encontrado");
  } catch (e) {
    if (!(e instanceof CadesError)) console.error(e);
    const message = e instanceof CadesError ? e.message : "erro interno";
    send(e instanceof CadesError ? 400 : 500, "application/json", JSON.stringify({ error: message }));
  }
});

server.listen(Number(process.env.PORT ?? 8080), process.env.HOST ?? "127.0.0.1", () => {
  const { address, port } = server.address();
  console.log(`sample: http://${address}:${port}/`);
});
