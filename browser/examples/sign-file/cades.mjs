// A CAdES-BES detached signature (.p7s) from a signature the Tolvex agent
// made: the server builds the signed attributes, the page has the agent
// sign their SHA-256 digest, the server puts the signature into the CMS.
//
//   const prepared = prepare(certificateDer, contentDigest);   // -> prepared.toSign
//   const p7s = assemble(prepared, signature, signatureAlgorithm);
//
// The content itself never reaches this code: the message digest does.
import { createHash, verify, X509Certificate } from "node:crypto";
import * as asn1js from "asn1js";
import * as pkijs from "pkijs";

const OID = {
  data: "1.2.840.113549.1.7.1",
  signedData: "1.2.840.113549.1.7.2",
  contentType: "1.2.840.113549.1.9.3",
  messageDigest: "1.2.840.113549.1.9.4",
  signingTime: "1.2.840.113549.1.9.5",
  signingCertificateV2: "1.2.840.113549.1.9.16.2.47",
  sha256: "2.16.840.1.101.3.4.2.1",
  rsaEncryption: "1.2.840.113549.1.1.1",
  ecPublicKey: "1.2.840.10045.2.1",
  sha256WithRSA: "1.2.840.113549.1.1.11",
  ecdsaWithSHA256: "1.2.840.10045.4.3.2",
};

export class CadesError extends Error {}

const sha256 = (bytes) => createHash("sha256").update(bytes).digest();
const attribute = (type, value) => new pkijs.Attribute({ type, values: [value] });
const der = (schema) => Buffer.from(schema.toBER(false));

// DER orders the members of a SET OF by their encodings (X.690 11.6); a
// verifier re-encodes the signed attributes that way before it checks the
// signature, so they must be signed in that order.
function derOrder(a, b) {
  for (let i = 0; i < Math.max(a.length, b.length); i++) {
    const d = (a[i] ?? 0) - (b[i] ?? 0);
    if (d) return d;
  }
  return a.length - b.length;
}

function parseCertificate(certificateDer) {
  try {
    return { x509: new X509Certificate(certificateDer), pki: pkijs.Certificate.fromBER(certificateDer) };
  } catch {
    throw new CadesError("o certificado não é um X.509 válido");
  }
}

// The signed attributes of CAdES-BES: content type, message digest,
// signing time and the signing certificate (ESS signing-certificate-v2,
// which ties the signature to this certificate and not just to its key).
// Returns what assemble() needs, with `toSign`: the SHA-256 digest of the
// attributes' DER, which the agent signs as a `hash`.
export function prepare(certificateDer, contentDigest, signingTime = new Date()) {
  const certificate = Buffer.from(certificateDer);
  if (contentDigest.length !== 32) throw new CadesError("o resumo do arquivo deve ser SHA-256 (32 bytes)");
  const { x509, pki } = parseCertificate(certificate);
  const keyAlgorithm = pki.subjectPublicKeyInfo.algorithm.algorithmId;
  if (keyAlgorithm !== OID.rsaEncryption && keyAlgorithm !== OID.ecPublicKey) {
    throw new CadesError("só certificados RSA e EC assinam aqui");
  }
  const essCertId = new asn1js.Sequence({
    value: [
      // hashAlgorithm is left out: SHA-256 is its default.
      new asn1js.OctetString({ valueHex: sha256(certificate) }),
      new pkijs.IssuerSerial({
        issuer: new pkijs.GeneralNames({ names: [new pkijs.GeneralName({ type: 4, value: pki.issuer })] }),
        serialNumber: pki.serialNumber,
      }).toSchema(),
    ],
  });
  const attributes = [
    attribute(OID.contentType, new asn1js.ObjectIdentifier({ value: OID.data })),
    attribute(OID.messageDigest, new asn1js.OctetString({ valueHex: contentDigest })),
    // UTCTime up to 2049, as RFC 5652 asks.
    attribute(OID.signingTime, new asn1js.UTCTime({ valueDate: signingTime })),
    attribute(OID.signingCertificateV2, new asn1js.Sequence({ value: [new asn1js.Sequence({ value: [essCertId] })] })),
  ]
    .map((a) => ({ a, bytes: der(a.toSchema()) }))
    .sort((x, y) => derOrder(x.bytes, y.bytes))
    .map(({ a }) => a);
  // What is signed is the attributes' DER with the SET OF tag (31), not the
  // [0] IMPLICIT tag they carry inside SignerInfo.
  const signedAttributes = der(new asn1js.Set({ value: attributes.map((a) => a.toSchema()) }));
  return {
    certificate,
    x509,
    pki,
    ec: keyAlgorithm === OID.ecPublicKey,
    attributes,
    signedAttributes,
    toSign: sha256(signedAttributes),
  };
}

// The agent's ECDSA signature is r‖s, each half as long as the curve's
// order; CMS carries ECDSA-Sig-Value ::= SEQUENCE { r INTEGER, s INTEGER }.
export function ecdsaRawToDer(raw) {
  if (raw.length === 0 || raw.length % 2 !== 0 || raw.length > 132) {
    throw new CadesError("assinatura ECDSA com tamanho inválido");
  }
  const integer = (bytes) => {
    let i = 0;
    while (i < bytes.length - 1 && bytes[i] === 0) i++; // minimal: no leading zeros…
    const body = bytes.subarray(i);
    // …but a 00 before a first byte of 80 or more, which would read as negative.
    return Buffer.concat([Buffer.from([0x02, body.length + (body[0] & 0x80 ? 1 : 0)]), body[0] & 0x80 ? Buffer.from([0]) : Buffer.alloc(0), body]);
  };
  const half = raw.length / 2;
  const content = Buffer.concat([integer(raw.subarray(0, half)), integer(raw.subarray(half))]);
  const length = content.length < 0x80 ? Buffer.from([content.length]) : Buffer.from([0x81, content.length]);
  return Buffer.concat([Buffer.from([0x30]), length, content]);
}

// The detached CMS SignedData, DER, once the signature is checked against
// the certificate's public key: a token that signed with another key, or a
// page that sent something else, gets an error instead of a file that will
// not verify.
export function assemble(prepared, signature, signatureAlgorithm) {
  const expected = prepared.ec ? "ecdsa" : "rsa-pkcs1-v1_5";
  if (signatureAlgorithm !== expected) throw new CadesError(`assinatura ${signatureAlgorithm}, mas a chave pede ${expected}`);
  const value = prepared.ec ? ecdsaRawToDer(signature) : Buffer.from(signature);
  if (!verify("sha256", prepared.signedAttributes, prepared.x509.publicKey, value)) {
    throw new CadesError("a assinatura não confere com o certificado");
  }
  const sha256Id = new pkijs.AlgorithmIdentifier({ algorithmId: OID.sha256 });
  const signerInfo = new pkijs.SignerInfo({
    version: 1,
    sid: new pkijs.IssuerAndSerialNumber({ issuer: prepared.pki.issuer, serialNumber: prepared.pki.serialNumber }),
    digestAlgorithm: sha256Id,
    signedAttrs: new pkijs.SignedAndUnsignedAttributes({ type: 0, attributes: prepared.attributes }),
    signatureAlgorithm: new pkijs.AlgorithmIdentifier({
      algorithmId: prepared.ec ? OID.ecdsaWithSHA256 : OID.sha256WithRSA,
      // RSA algorithm identifiers carry NULL parameters; ECDSA ones none.
      ...(prepared.ec ? {} : { algorithmParams: new asn1js.Null() }),
    }),
    signature: new asn1js.OctetString({ valueHex: value }),
  });
  const signedData = new pkijs.SignedData({
    version: 1,
    digestAlgorithms: [sha256Id],
    encapContentInfo: new pkijs.EncapsulatedContentInfo({ eContentType: OID.data }), // detached: no content
    certificates: [prepared.pki],
    signerInfos: [signerInfo],
  });
  return der(new pkijs.ContentInfo({ contentType: OID.signedData, content: signedData.toSchema(true) }).toSchema());
}
