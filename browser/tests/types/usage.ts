// A page written against the published types, checked with tsc --noEmit in
// a scratch project where the package was installed from its tarball. Each
// line marked to expect an error is a mistake the types must catch.
import * as tolvex from "@tolvex/page-client";
import { TolvexError, type CertificateSummary, type TolvexErrorCode } from "@tolvex/page-client";

tolvex.configure({ timeoutMs: 60_000, detectMs: 1000 });

export function describe(c: CertificateSummary): string {
  const id = c.pki_brazil.kind === "pj" ? c.pki_brazil.cnpj : c.pki_brazil.cpf;
  const where = c.sources.map((s) => `${s.kind}:${s.label}:${s.key_storage}:${s.requires_pin}:${s.provider ?? "-"}`);
  return [c.thumbprint, c.subject_cn, id ?? "", c.issuer_cn, c.not_before, c.not_after, c.key_usage.join(), ...where].join(" ");
}

// What a site tells the person; the switch must cover every code.
export function advice(code: TolvexErrorCode): string {
  switch (code) {
    case "extension_missing":
    case "origin_not_allowed":
    case "host_not_found":
    case "host_forbidden":
    case "host_exited":
    case "host_error":
    case "extension_error":
      return "instalação";
    case "busy":
    case "timeout":
    case "invalid_response":
      return "tente de novo";
    case "user_cancelled":
      return "";
    case "certificate_not_found":
    case "key_not_found":
    case "pin_required":
    case "pin_incorrect":
    case "pin_locked":
    case "unsupported":
    case "sign_failed":
      return "token";
    case "invalid_argument":
    case "invalid_request":
    case "unknown_command":
      return "erro da página";
    default: {
      const unreachable: never = code;
      return unreachable;
    }
  }
}

export async function run(file: Uint8Array, digest: ArrayBuffer): Promise<string[]> {
  const pong = await tolvex.ping({ timeoutMs: 5000 });
  const out: string[] = [pong.agent_version, String(pong.protocol_version), pong.os_store, ...pong.commands];
  const { tokens, warnings } = await tolvex.listTokens();
  out.push(...tokens.map((t) => `${t.module} ${t.slot_id} ${t.label} ${t.manufacturer} ${t.model} ${t.serial_number}`));
  out.push(...warnings.map((w) => `${w.module}: ${w.message}`));
  const list = await tolvex.listCertificates();
  out.push(...list.certificates.map(describe), ...list.warnings.map((w) => `${w.source}: ${w.message}`));
  const chosen = list.certificates[0];
  const der: Uint8Array = tolvex.base64ToBytes((await tolvex.readCertificate(chosen.thumbprint)).certificate);
  out.push(String(der.length));

  const one = await tolvex.sign({ thumbprint: chosen.thumbprint, hash: digest, labels: ["contrato.pdf"] });
  const s: string = one.signature;
  const algorithm: "rsa-pkcs1-v1_5" | "ecdsa" = one.signature_algorithm;
  const many = await tolvex.sign({ thumbprint: chosen.thumbprint, dataList: [file, "QQ=="], digestAlgorithm: "SHA-512" });
  const all: string[] = many.signatures;
  out.push(s, algorithm, ...all, many.digest_algorithm);

  try {
    await tolvex.sign({ thumbprint: chosen.thumbprint, data: file });
  } catch (e) {
    if (e instanceof TolvexError) out.push(advice(e.code), e.message, e.detail ?? "", String(e));
  }

  // @ts-expect-error exactly one input
  await tolvex.sign({ thumbprint: chosen.thumbprint, hash: digest, data: file });
  // @ts-expect-error the algorithm's spelling is exact
  await tolvex.sign({ thumbprint: chosen.thumbprint, hash: digest, digestAlgorithm: "sha256" });
  // @ts-expect-error a single item has one label
  await tolvex.sign({ thumbprint: chosen.thumbprint, hash: digest, labels: ["a", "b"] });
  // @ts-expect-error a single signature has no list
  out.push(one.signatures);
  // @ts-expect-error results are snake_case, as the agent sends them
  out.push(chosen.notAfter);
  // @ts-expect-error not an error code
  out.push(advice("pin_incorect"));
  return out;
}
