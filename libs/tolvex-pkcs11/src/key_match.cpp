#include "tolvex/pkcs11/key_match.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tolvex::pkcs11 {
namespace {

using core::AgentError;
using core::ErrorKind;
using core::KeyAlgorithm;

std::span<const std::uint8_t> without_leading_zeros(std::span<const std::uint8_t> value) {
    auto first = std::find_if(value.begin(), value.end(), [](std::uint8_t b) { return b != 0; });
    return value.subspan(static_cast<std::size_t>(first - value.begin()));
}

bool same_integer(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return std::ranges::equal(without_leading_zeros(a), without_leading_zeros(b));
}

// The point as a DER OCTET STRING, the form the standard gives CKA_EC_POINT.
core::Bytes octet_string(std::span<const std::uint8_t> point) {
    core::Bytes out{0x04};
    if (point.size() < 0x80) {
        out.push_back(static_cast<std::uint8_t>(point.size()));
    } else {
        std::size_t n = point.size();
        core::Bytes length;
        for (; n > 0; n >>= 8)
            length.insert(length.begin(), static_cast<std::uint8_t>(n & 0xFF));
        out.push_back(static_cast<std::uint8_t>(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), point.begin(), point.end());
    return out;
}

// All objects of the class, with the CKA_ID when one is given.
CallResult<std::vector<CK_OBJECT_HANDLE>> find_by_class(const Session& session, CK_OBJECT_CLASS cls,
                                                        const core::Bytes* id) {
    std::vector<CK_ATTRIBUTE> templ{{CKA_CLASS, &cls, sizeof cls}};
    if (id != nullptr) {
        templ.push_back(
            {CKA_ID, const_cast<std::uint8_t*>(id->data()), static_cast<CK_ULONG>(id->size())});
    }
    return find_objects(session, templ);
}

// A key object's public part as far as it shows it; a read the token
// refuses shows nothing.
KeyAttributes read_key_attributes(const Session& session, CK_OBJECT_HANDLE object,
                                  KeyAlgorithm algorithm) {
    KeyAttributes out;
    const bool rsa = algorithm == KeyAlgorithm::Rsa;
    auto values =
        rsa ? read_attributes(session, object, {CKA_KEY_TYPE, CKA_MODULUS, CKA_PUBLIC_EXPONENT})
            : read_attributes(session, object, {CKA_KEY_TYPE, CKA_EC_PARAMS, CKA_EC_POINT});
    if (!values)
        return out;
    auto& v = *values;
    if (v[0] && v[0]->size() == sizeof(CK_KEY_TYPE)) {
        CK_KEY_TYPE type = 0;
        std::memcpy(&type, v[0]->data(), sizeof type);
        out.type = type;
    }
    (rsa ? out.modulus : out.ec_params) = std::move(v[1]);
    (rsa ? out.public_exponent : out.ec_point) = std::move(v[2]);
    return out;
}

// The verdict of the public key objects that share the key's CKA_ID: Same
// or Different only when all of them that decide agree, since an ID shared
// by several key pairs pairs nothing.
KeyMatch match_through_public_objects(const Session& session, CK_OBJECT_HANDLE private_key,
                                      const core::CertificatePublicKey& key) {
    auto id = read_attributes(session, private_key, {CKA_ID});
    if (!id || !(*id)[0] || (*id)[0]->empty())
        return KeyMatch::Unknown;
    auto publics = find_by_class(session, CKO_PUBLIC_KEY, &*(*id)[0]);
    if (!publics)
        return KeyMatch::Unknown;
    std::optional<KeyMatch> agreed;
    for (CK_OBJECT_HANDLE object : *publics) {
        const KeyMatch m =
            compare_public_key(read_key_attributes(session, object, key.algorithm), key);
        if (m == KeyMatch::Unknown)
            continue;
        if (agreed && *agreed != m)
            return KeyMatch::Unknown;
        agreed = m;
    }
    return agreed.value_or(KeyMatch::Unknown);
}

}  // namespace

KeyMatch compare_public_key(const KeyAttributes& attributes,
                            const core::CertificatePublicKey& key) {
    const CK_KEY_TYPE expected = key.algorithm == KeyAlgorithm::Rsa ? CKK_RSA : CKK_EC;
    if (attributes.type && *attributes.type != expected)
        return KeyMatch::Different;
    if (key.algorithm == KeyAlgorithm::Rsa) {
        if (!attributes.modulus)
            return KeyMatch::Unknown;
        const bool same = same_integer(*attributes.modulus, key.modulus) &&
                          (!attributes.public_exponent ||
                           same_integer(*attributes.public_exponent, key.public_exponent));
        return same ? KeyMatch::Same : KeyMatch::Different;
    }
    if (attributes.ec_params && *attributes.ec_params != key.ec_params)
        return KeyMatch::Different;
    if (!attributes.ec_point)
        return KeyMatch::Unknown;
    const bool same =
        *attributes.ec_point == key.ec_point || *attributes.ec_point == octet_string(key.ec_point);
    return same ? KeyMatch::Same : KeyMatch::Different;
}

core::Result<CK_OBJECT_HANDLE> find_private_key(const Session& session,
                                                const std::optional<core::Bytes>& certificate_id,
                                                std::span<const std::uint8_t> certificate_der) {
    std::vector<CK_OBJECT_HANDLE> candidates;
    if (certificate_id && !certificate_id->empty()) {
        auto keys = find_by_class(session, CKO_PRIVATE_KEY, &*certificate_id);
        if (!keys)
            return std::unexpected(AgentError::sign_failed(keys.error().text()));
        if (keys->size() == 1)
            return keys->front();
        candidates = std::move(*keys);
    }
    if (candidates.empty()) {
        auto keys = find_by_class(session, CKO_PRIVATE_KEY, nullptr);
        if (!keys)
            return std::unexpected(AgentError::sign_failed(keys.error().text()));
        candidates = std::move(*keys);
    }
    if (candidates.empty())
        return std::unexpected(AgentError(ErrorKind::KeyNotFound));

    auto key = core::certificate_public_key(certificate_der);
    if (!key)
        return std::unexpected(key.error());
    std::vector<CK_OBJECT_HANDLE> undecided;
    for (CK_OBJECT_HANDLE candidate : candidates) {
        KeyMatch m =
            compare_public_key(read_key_attributes(session, candidate, key->algorithm), *key);
        if (m == KeyMatch::Unknown)
            m = match_through_public_objects(session, candidate, *key);
        if (m == KeyMatch::Same)
            return candidate;
        if (m == KeyMatch::Unknown)
            undecided.push_back(candidate);
    }
    if (undecided.size() == 1)
        return undecided.front();
    return std::unexpected(AgentError(ErrorKind::KeyNotFound));
}

}  // namespace tolvex::pkcs11
