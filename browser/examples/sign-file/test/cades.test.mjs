// The CAdES assembly without a browser or a token: keys made here sign the
// way the agent does (a digest; ECDSA as r‖s), OpenSSL verifies the result.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { createHash, createPrivateKey, generateKeyPairSync, sign, verify } from "node:crypto";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { test } from "node:test";
import { assemble, CadesError, ecdsaRawToDer, prepare } from "../cades.mjs";

test("ECDSA r‖s becomes a minimal DER ECDSA-Sig-Value", () => {
  const r = Buffer.alloc(32);
  r[31] = 1; // leading zeros dropped
  const s = Buffer.alloc(32, 0xff); // a first byte of 80 or more gets a 00
  assert.equal(ecdsaRawToDer(Buffer.concat([r, s])).toString("hex"), "3026020101022100" + "ff".repeat(32));
  const { privateKey, publicKey } = generateKeyPairSync("ec", { namedCurve: "P-521" });
  for (let i = 0; i < 64; i++) {
    const raw = sign("sha256", Buffer.from([i]), { key: privateKey, dsaEncoding: "ieee-p1363" });
    assert.ok(verify("sha256", Buffer.from([i]), publicKey, ecdsaRawToDer(raw)), `signature ${i}`);
  }
  assert.throws(() => ecdsaRawToDer(Buffer.alloc(63)), CadesError);
});

test("OpenSSL verifies the .p7s of an RSA and an EC key; a signature of anything else is refused", () => {
  const dir = mkdtempSync(join(tmpdir(), "cades-"));
  try {
    const content = join(dir, "contrato.txt");
    writeFileSync(content, "Contrato de exemplo\n");
    const digest = createHash("sha256").update(readFileSync(content)).digest();
    for (const [name, keyArgs] of [["rsa", ["-newkey", "rsa:2048"]], ["ec", ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"]]]) {
      const key = join(dir, `${name}.key`);
      const cert = join(dir, `${name}.der`);
      execFileSync("openssl", ["req", "-x509", ...keyArgs, "-nodes", "-keyout", key, "-outform", "DER", "-out", cert,
                               "-subj", "/CN=FULANO DE TAL:12345678909", "-days", "2"], { stdio: "ignore" });
      const prepared = prepare(readFileSync(cert), digest);
      const privateKey = createPrivateKey(readFileSync(key));
      const options = { key: privateKey, dsaEncoding: "ieee-p1363" };
      const algorithm = name === "ec" ? "ecdsa" : "rsa-pkcs1-v1_5";
      assert.throws(() => assemble(prepared, sign("sha256", Buffer.from("outra coisa"), options), algorithm), CadesError);
      const p7s = join(dir, `${name}.p7s`);
      writeFileSync(p7s, assemble(prepared, sign("sha256", prepared.signedAttributes, options), algorithm));
      execFileSync("openssl", ["cms", "-verify", "-binary", "-content", content, "-inform", "DER", "-in", p7s, "-noverify",
                               "-out", "/dev/null"], { stdio: "pipe" });
    }
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});
