#pragma once

// Composes DER tag-length-value elements so tests can spell out certificates
// with exactly the unusual encodings they need, around a real public key
// generated with OpenSSL at run time. The outer signature is filler: nothing
// in the agent verifies it.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace tolvex::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes length_of(std::size_t n) {
    if (n < 0x80)
        return {static_cast<std::uint8_t>(n)};
    Bytes be;
    for (; n != 0; n >>= 8)
        be.insert(be.begin(), static_cast<std::uint8_t>(n & 0xFF));
    be.insert(be.begin(), static_cast<std::uint8_t>(0x80 | be.size()));
    return be;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes cat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes bytes_of(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// An element with an explicitly spelled length (non-minimal forms, lies).
inline Bytes tlv_len(std::uint8_t tag, const Bytes& len, const Bytes& content) {
    return cat({Bytes{tag}, len, content});
}
inline Bytes tlv(std::uint8_t tag, const Bytes& content) {
    return tlv_len(tag, length_of(content.size()), content);
}
inline Bytes tlv(std::uint8_t tag, std::string_view text) {
    return tlv(tag, bytes_of(text));
}

inline Bytes seq(std::initializer_list<Bytes> items) {
    return tlv(0x30, cat(items));
}
inline Bytes seq(const std::vector<Bytes>& items) {
    return tlv(0x30, cat(items));
}
inline Bytes set(std::initializer_list<Bytes> items) {
    return tlv(0x31, cat(items));
}

inline Bytes oid(std::string_view dotted) {
    std::vector<std::uint64_t> arcs;
    std::uint64_t v = 0;
    for (char c : dotted) {
        if (c == '.') {
            arcs.push_back(v);
            v = 0;
        } else {
            v = v * 10 + static_cast<std::uint64_t>(c - '0');
        }
    }
    arcs.push_back(v);
    Bytes content;
    auto put = [&](std::uint64_t x) {
        Bytes groups{static_cast<std::uint8_t>(x & 0x7F)};
        for (x >>= 7; x != 0; x >>= 7) {
            groups.insert(groups.begin(), static_cast<std::uint8_t>(0x80 | (x & 0x7F)));
        }
        content.insert(content.end(), groups.begin(), groups.end());
    };
    put(arcs[0] * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i)
        put(arcs[i]);
    return tlv(0x06, content);
}

constexpr std::uint8_t UTF8 = 0x0C, PRINTABLE = 0x13, TELETEX = 0x14, IA5 = 0x16, VISIBLE = 0x1A,
                       BMP = 0x1E, OCTETS = 0x04;

// One AttributeTypeAndValue; RDNs are set(...) of these, names seq(...) of RDNs.
inline Bytes atv(std::string_view type, std::uint8_t tag, const Bytes& value) {
    return seq({oid(type), tlv(tag, value)});
}
inline Bytes atv(std::string_view type, std::uint8_t tag, std::string_view value) {
    return atv(type, tag, bytes_of(value));
}
inline Bytes cn(std::string_view v) {
    return set({atv("2.5.4.3", UTF8, v)});
}

inline Bytes utc(std::string_view t) {
    return tlv(0x17, t);
}
inline Bytes gen_time(std::string_view t) {
    return tlv(0x18, t);
}

inline Bytes extension(std::string_view id, const Bytes& value, bool critical = false) {
    if (critical)
        return seq({oid(id), tlv(0x01, Bytes{0xFF}), tlv(OCTETS, value)});
    return seq({oid(id), tlv(OCTETS, value)});
}
// keyUsage with the given bits (bit 0 = digitalSignature) in two bytes.
inline Bytes key_usage_ext(std::uint16_t bits) {
    std::uint8_t b0 = 0, b1 = 0;
    for (int i = 0; i < 8; ++i) {
        if (bits & (1u << i))
            b0 |= static_cast<std::uint8_t>(0x80 >> i);
    }
    if (bits & 0x100)
        b1 = 0x80;
    Bytes content = b1 != 0 ? Bytes{7, b0, b1} : Bytes{0, b0};
    return extension("2.5.29.15", tlv(0x03, content), true);
}
inline Bytes basic_constraints_ext(bool ca) {
    return extension("2.5.29.19", ca ? seq({tlv(0x01, Bytes{0xFF})}) : seq({}), true);
}
// subjectAltName entries: other_name(...) and rfc822(...).
inline Bytes other_name(std::string_view type, const Bytes& value_element) {
    return tlv(0xA0, cat({oid(type), value_element}));
}
inline Bytes other_name_utf8(std::string_view type, std::string_view text) {
    return other_name(type, tlv(0xA0, tlv(UTF8, text)));
}
inline Bytes rfc822(std::string_view address) {
    return tlv(0x81, address);
}
inline Bytes san_ext(const std::vector<Bytes>& names) {
    return extension("2.5.29.17", seq(names));
}

enum class KeyType { Ec, Rsa, Ed25519 };

// SubjectPublicKeyInfo of a freshly generated key (one per type per run).
inline const Bytes& spki(KeyType type = KeyType::Ec) {
    static Bytes cache[3];
    Bytes& out = cache[static_cast<int>(type)];
    if (!out.empty())
        return out;
    EVP_PKEY* key = nullptr;
    switch (type) {
        case KeyType::Ec:
            key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
            break;
        case KeyType::Rsa:
            key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
            break;
        case KeyType::Ed25519:
            key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
            break;
    }
    unsigned char* buf = nullptr;
    int n = key ? i2d_PUBKEY(key, &buf) : 0;
    if (n > 0)
        out.assign(buf, buf + n);
    OPENSSL_free(buf);
    EVP_PKEY_free(key);
    return out;
}

struct CertFields {
    Bytes serial = {0x01};  // INTEGER content as stored
    Bytes issuer = seq({set({atv("2.5.4.6", PRINTABLE, "BR")}), cn("AC Teste")});
    Bytes subject = seq({set({atv("2.5.4.6", PRINTABLE, "BR")}), cn("Titular")});
    Bytes not_before = utc("240510140322Z");
    Bytes not_after = utc("270510140322Z");
    std::vector<Bytes> extensions;
    KeyType key = KeyType::Ec;
};

inline Bytes build_cert(const CertFields& s) {
    Bytes sig_alg = seq({oid("1.2.840.10045.4.3.2")});
    std::vector<Bytes> tbs = {
        tlv(0xA0, tlv(0x02, Bytes{2})),   tlv(0x02, s.serial), sig_alg,    s.issuer,
        seq({s.not_before, s.not_after}), s.subject,           spki(s.key)};
    if (!s.extensions.empty())
        tbs.push_back(tlv(0xA3, seq(s.extensions)));
    return seq({seq(tbs), sig_alg, tlv(0x03, Bytes{0x00, 0x30, 0x00})});
}

}  // namespace tolvex::test
