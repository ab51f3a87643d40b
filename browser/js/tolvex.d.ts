// Types of the Tolvex page client (tolvex.js). README.md beside this file
// says the same in prose, with what to tell the person for each error code.
//
// Naming: what the page passes is camelCase (`digestAlgorithm`, `dataList`,
// `timeoutMs`); what comes back is the agent's JSON as it sends it, in
// snake_case (`not_after`, `pki_brazil`, `requires_pin`).

/** "SHA-256" (the default), "SHA-384" or "SHA-512". */
export type DigestAlgorithm = "SHA-256" | "SHA-384" | "SHA-512";

/** Bytes: canonical Base64 text (standard alphabet, "=" padding), or an
 * ArrayBuffer, or a view of one (Uint8Array, DataView…). */
export type Bytes = string | ArrayBuffer | ArrayBufferView;

/** The agent's commands, as `ping` lists them. */
export type Command = "ping" | "list_tokens" | "list_certificates" | "read_certificate" | "sign";

export interface Settings {
  /** Time limit of a call, in ms; 120000 by default. Paused while the
   * extension's window waits for the person, and started again, whole,
   * when they have answered. */
  timeoutMs?: number;
  /** How long to wait for the extension to answer the first call, in ms;
   * 1500 by default. Then extension_missing. */
  detectMs?: number;
}

/** Per call: `timeoutMs` overrides the configured one for this call. */
export interface CallOptions {
  timeoutMs?: number;
}

/** Sets the defaults of every later call. Throws TolvexError
 * invalid_argument for a value that is not a positive number. */
export function configure(settings: Settings): void;

// --- results ---------------------------------------------------------------

export interface Pong {
  type: "pong";
  /** The agent's version, "0.1.1". */
  agent_version: string;
  /** 3 for this client. */
  protocol_version: number;
  commands: Command[];
  /** The operating system's certificate store kind: "windows". */
  os_store: string;
}

export interface Token {
  /** Path of the PKCS#11 module that shows the token. */
  module: string;
  /** The module's slot number (a 64-bit integer; JavaScript holds it
   * exactly up to 2^53). */
  slot_id: number;
  label: string;
  manufacturer: string;
  model: string;
  serial_number: string;
}

export interface TokenWarning {
  /** The module path that could not be read. */
  module: string;
  /** Portuguese text. */
  message: string;
}

export interface TokenList {
  tokens: Token[];
  warnings: TokenWarning[];
}

/** Where a private key lives: a smart card or USB token, a software key of
 * the operating system, a remote signing service, or not recognised. */
export type KeyStorage = "token" | "file" | "cloud" | "unknown";

/** One place the certificate was found. */
export interface CertificateSource {
  /** "os": the Windows personal store; "pkcs11": a token. */
  kind: "os" | "pkcs11";
  /** The store's name ("MY") or the token's label. */
  label: string;
  /** Whether signing asks for a PIN (the extension's window takes it). */
  requires_pin: boolean;
  key_storage: KeyStorage;
  /** The key's cryptographic provider (Windows); absent when unknown. */
  provider?: string;
}

/** Identity fields of ICP-Brasil certificates; each is `null` when the
 * certificate does not carry it. Digits are as written in the certificate,
 * without dots or dashes. */
export interface PkiBrazil {
  /** "pf" (a person: has a CPF), "pj" (a company: has a CNPJ), or null. */
  kind: "pf" | "pj" | null;
  /** 11 digits. */
  cpf: string | null;
  /** 14 digits. */
  cnpj: string | null;
  /** "YYYY-MM-DD". */
  birth_date: string | null;
  /** 11 digits. */
  nis: string | null;
  /** Leading zeros removed. */
  rg: string | null;
  rg_issuer: string | null;
  /** A company certificate's responsible person. */
  responsible_name: string | null;
  /** 11 digits. */
  responsible_cpf: string | null;
  /** "YYYY-MM-DD". */
  responsible_birth_date: string | null;
  email: string | null;
  /** Only for "pj": the subject's common name without the CNPJ suffix. */
  company_name: string | null;
}

/** A certificate the person can sign with. Every text is present; what
 * could not be read is "". */
export interface CertificateSummary {
  /** SHA-256 of the DER certificate: 64 lower-case hex digits. Names the
   * certificate in readCertificate and sign. */
  thumbprint: string;
  /** "C=BR, O=ICP-Brasil, CN=NOME:12345678901": RDNs in certificate order. */
  subject_name: string;
  issuer_name: string;
  /** RFC 4514: "CN=NOME:12345678901,O=ICP-Brasil,C=BR". */
  subject_dn: string;
  issuer_dn: string;
  /** The holder's name: the first common name without the ":CPF" or
   * ":CNPJ" suffix. */
  subject_cn: string;
  /** The issuing authority's common name, as stored. */
  issuer_cn: string;
  /** Lower-case hex digits, as encoded (a leading "00" stays). */
  serial_number: string;
  /** RFC 3339, "2026-05-10T14:03:22Z". */
  not_before: string;
  /** RFC 3339; "" when the certificate's date cannot be written. */
  not_after: string;
  /** Names of the key usage bits set: "digitalSignature",
   * "nonRepudiation", "keyEncipherment", "dataEncipherment",
   * "keyAgreement", "keyCertSign", "cRLSign". */
  key_usage: string[];
  pki_brazil: PkiBrazil;
  /** At least one: the same certificate in several places is listed once. */
  sources: CertificateSource[];
}

export interface CertificateWarning {
  /** "MY", a module path, "module/token label", "Os" or "Pkcs11". */
  source: string;
  /** Portuguese text. */
  message: string;
}

export interface CertificateList {
  /** Sorted by subject_name, then thumbprint. Certification authorities
   * are left out. */
  certificates: CertificateSummary[];
  /** What could not be read; the other certificates are still listed. */
  warnings: CertificateWarning[];
}

export interface CertificateData {
  /** The thumbprint asked for, in lower case. */
  thumbprint: string;
  /** The DER certificate in Base64 (base64ToBytes gives its bytes). */
  certificate: string;
}

/** "rsa-pkcs1-v1_5", or "ecdsa": r‖s, each as long as the curve's order
 * (64 bytes for P-256); a CMS or X.509 signature needs it DER-encoded. */
export type SignatureAlgorithm = "rsa-pkcs1-v1_5" | "ecdsa";

export interface Signature {
  /** Base64. */
  signature: string;
  signature_algorithm: SignatureAlgorithm;
  digest_algorithm: DigestAlgorithm;
}

export interface Signatures {
  /** Base64, one per item, in the order given. */
  signatures: string[];
  signature_algorithm: SignatureAlgorithm;
  digest_algorithm: DigestAlgorithm;
}

// --- calls -----------------------------------------------------------------

/** Whether the agent is there, and what it offers. Asks the person nothing. */
export function ping(options?: CallOptions): Promise<Pong>;

/** The PKCS#11 tokens plugged in. */
export function listTokens(options?: CallOptions): Promise<TokenList>;

/** The certificates the person can sign with. */
export function listCertificates(options?: CallOptions): Promise<CertificateList>;

/** One certificate's DER encoding, by thumbprint (either case). */
export function readCertificate(thumbprint: string, options?: CallOptions): Promise<CertificateData>;

interface SignCommon {
  /** 64 hex digits, from listCertificates. */
  thumbprint: string;
  /** "SHA-256" when left out. */
  digestAlgorithm?: DigestAlgorithm;
  /** Only for a deployment whose extension sets ALLOW_PAGE_PIN; the
   * shipped extension refuses it with invalid_argument. */
  pin?: string | null;
}

/** One item: a digest made by the site (`hash`, as long as the algorithm's
 * digest: 32, 48 or 64 bytes), or bytes the agent digests (`data`). */
export type SignOne = SignCommon &
  (
    | { hash: Bytes; data?: never; hashes?: never; dataList?: never }
    | { data: Bytes; hash?: never; hashes?: never; dataList?: never }
  ) & {
    /** The site's name for the item, 1 to 80 characters, shown to the
     * person as the site's words. */
    labels?: readonly [string] | null;
  };

/** 1 to 500 items, signed after one confirmation. */
export type SignMany = SignCommon &
  (
    | { hashes: readonly Bytes[]; hash?: never; data?: never; dataList?: never }
    | { dataList: readonly Bytes[]; hash?: never; data?: never; hashes?: never }
  ) & {
    /** One name per item, 1 to 80 characters each. */
    labels?: readonly string[] | null;
  };

/** Signs with the certificate's private key, after the person confirmed
 * (and typed the PIN) in the extension's window. */
export function sign(request: SignOne, options?: CallOptions): Promise<Signature>;
export function sign(request: SignMany, options?: CallOptions): Promise<Signatures>;

/** Base64 text (a certificate, a signature) to bytes. */
export function base64ToBytes(text: string): Uint8Array;

// --- errors ----------------------------------------------------------------

/** Every code a call can reject with; README.md says what each means and
 * what to tell the person. */
export type TolvexErrorCode =
  // the agent
  | "invalid_request"
  | "unknown_command"
  | "certificate_not_found"
  | "key_not_found"
  | "pin_required"
  | "pin_incorrect"
  | "pin_locked"
  | "user_cancelled"
  | "unsupported"
  | "sign_failed"
  // the extension
  | "busy"
  | "origin_not_allowed"
  | "host_not_found"
  | "host_forbidden"
  | "host_exited"
  | "host_error"
  | "extension_error"
  // this client
  | "extension_missing"
  | "timeout"
  | "invalid_argument"
  | "invalid_response";

export class TolvexError extends Error {
  constructor(code: TolvexErrorCode, message: string, detail?: string);
  readonly name: "TolvexError";
  readonly code: TolvexErrorCode;
  /** The browser's own text, for host_* failures. */
  readonly detail?: string;
  /** "code: message". */
  toString(): string;
}
