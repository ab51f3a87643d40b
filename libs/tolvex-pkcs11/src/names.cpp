#include "tolvex/pkcs11/names.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace tolvex::pkcs11 {
namespace {

struct Named {
    unsigned long value;
    std::string_view name;
};

// Every return value the PKCS#11 standard (up to 3.2) defines.
constexpr auto kReturnValues = std::to_array<Named>({
    {0x000, "CKR_OK"},
    {0x001, "CKR_CANCEL"},
    {0x002, "CKR_HOST_MEMORY"},
    {0x003, "CKR_SLOT_ID_INVALID"},
    {0x005, "CKR_GENERAL_ERROR"},
    {0x006, "CKR_FUNCTION_FAILED"},
    {0x007, "CKR_ARGUMENTS_BAD"},
    {0x008, "CKR_NO_EVENT"},
    {0x009, "CKR_NEED_TO_CREATE_THREADS"},
    {0x00A, "CKR_CANT_LOCK"},
    {0x010, "CKR_ATTRIBUTE_READ_ONLY"},
    {0x011, "CKR_ATTRIBUTE_SENSITIVE"},
    {0x012, "CKR_ATTRIBUTE_TYPE_INVALID"},
    {0x013, "CKR_ATTRIBUTE_VALUE_INVALID"},
    {0x01B, "CKR_ACTION_PROHIBITED"},
    {0x020, "CKR_DATA_INVALID"},
    {0x021, "CKR_DATA_LEN_RANGE"},
    {0x030, "CKR_DEVICE_ERROR"},
    {0x031, "CKR_DEVICE_MEMORY"},
    {0x032, "CKR_DEVICE_REMOVED"},
    {0x035, "CKR_AEAD_DECRYPT_FAILED"},
    {0x040, "CKR_ENCRYPTED_DATA_INVALID"},
    {0x041, "CKR_ENCRYPTED_DATA_LEN_RANGE"},
    {0x050, "CKR_FUNCTION_CANCELED"},
    {0x051, "CKR_FUNCTION_NOT_PARALLEL"},
    {0x054, "CKR_FUNCTION_NOT_SUPPORTED"},
    {0x060, "CKR_KEY_HANDLE_INVALID"},
    {0x062, "CKR_KEY_SIZE_RANGE"},
    {0x063, "CKR_KEY_TYPE_INCONSISTENT"},
    {0x064, "CKR_KEY_NOT_NEEDED"},
    {0x065, "CKR_KEY_CHANGED"},
    {0x066, "CKR_KEY_NEEDED"},
    {0x067, "CKR_KEY_INDIGESTIBLE"},
    {0x068, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
    {0x069, "CKR_KEY_NOT_WRAPPABLE"},
    {0x06A, "CKR_KEY_UNEXTRACTABLE"},
    {0x070, "CKR_MECHANISM_INVALID"},
    {0x071, "CKR_MECHANISM_PARAM_INVALID"},
    {0x082, "CKR_OBJECT_HANDLE_INVALID"},
    {0x090, "CKR_OPERATION_ACTIVE"},
    {0x091, "CKR_OPERATION_NOT_INITIALIZED"},
    {0x0A0, "CKR_PIN_INCORRECT"},
    {0x0A1, "CKR_PIN_INVALID"},
    {0x0A2, "CKR_PIN_LEN_RANGE"},
    {0x0A3, "CKR_PIN_EXPIRED"},
    {0x0A4, "CKR_PIN_LOCKED"},
    {0x0B0, "CKR_SESSION_CLOSED"},
    {0x0B1, "CKR_SESSION_COUNT"},
    {0x0B3, "CKR_SESSION_HANDLE_INVALID"},
    {0x0B4, "CKR_SESSION_PARALLEL_NOT_SUPPORTED"},
    {0x0B5, "CKR_SESSION_READ_ONLY"},
    {0x0B6, "CKR_SESSION_EXISTS"},
    {0x0B7, "CKR_SESSION_READ_ONLY_EXISTS"},
    {0x0B8, "CKR_SESSION_READ_WRITE_SO_EXISTS"},
    {0x0C0, "CKR_SIGNATURE_INVALID"},
    {0x0C1, "CKR_SIGNATURE_LEN_RANGE"},
    {0x0D0, "CKR_TEMPLATE_INCOMPLETE"},
    {0x0D1, "CKR_TEMPLATE_INCONSISTENT"},
    {0x0E0, "CKR_TOKEN_NOT_PRESENT"},
    {0x0E1, "CKR_TOKEN_NOT_RECOGNIZED"},
    {0x0E2, "CKR_TOKEN_WRITE_PROTECTED"},
    {0x0F0, "CKR_UNWRAPPING_KEY_HANDLE_INVALID"},
    {0x0F1, "CKR_UNWRAPPING_KEY_SIZE_RANGE"},
    {0x0F2, "CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x100, "CKR_USER_ALREADY_LOGGED_IN"},
    {0x101, "CKR_USER_NOT_LOGGED_IN"},
    {0x102, "CKR_USER_PIN_NOT_INITIALIZED"},
    {0x103, "CKR_USER_TYPE_INVALID"},
    {0x104, "CKR_USER_ANOTHER_ALREADY_LOGGED_IN"},
    {0x105, "CKR_USER_TOO_MANY_TYPES"},
    {0x110, "CKR_WRAPPED_KEY_INVALID"},
    {0x112, "CKR_WRAPPED_KEY_LEN_RANGE"},
    {0x113, "CKR_WRAPPING_KEY_HANDLE_INVALID"},
    {0x114, "CKR_WRAPPING_KEY_SIZE_RANGE"},
    {0x115, "CKR_WRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x120, "CKR_RANDOM_SEED_NOT_SUPPORTED"},
    {0x121, "CKR_RANDOM_NO_RNG"},
    {0x130, "CKR_DOMAIN_PARAMS_INVALID"},
    {0x140, "CKR_CURVE_NOT_SUPPORTED"},
    {0x150, "CKR_BUFFER_TOO_SMALL"},
    {0x160, "CKR_SAVED_STATE_INVALID"},
    {0x170, "CKR_INFORMATION_SENSITIVE"},
    {0x180, "CKR_STATE_UNSAVEABLE"},
    {0x190, "CKR_CRYPTOKI_NOT_INITIALIZED"},
    {0x191, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
    {0x1A0, "CKR_MUTEX_BAD"},
    {0x1A1, "CKR_MUTEX_NOT_LOCKED"},
    {0x1B0, "CKR_NEW_PIN_MODE"},
    {0x1B1, "CKR_NEXT_OTP"},
    // p11-kit's header puts these five at 0x1C0..0x1C4; the standard has
    // them at 0x1B5..0x1B9, which is what modules return.
    {0x1B5, "CKR_EXCEEDED_MAX_ITERATIONS"},
    {0x1B6, "CKR_FIPS_SELF_TEST_FAILED"},
    {0x1B7, "CKR_LIBRARY_LOAD_FAILED"},
    {0x1B8, "CKR_PIN_TOO_WEAK"},
    {0x1B9, "CKR_PUBLIC_KEY_INVALID"},
    {0x200, "CKR_FUNCTION_REJECTED"},
    {0x201, "CKR_TOKEN_RESOURCE_EXCEEDED"},
    {0x202, "CKR_OPERATION_CANCEL_FAILED"},
    {0x203, "CKR_KEY_EXHAUSTED"},
    {0x204, "CKR_PENDING"},
    {0x205, "CKR_SESSION_ASYNC_NOT_SUPPORTED"},
    {0x206, "CKR_SEED_RANDOM_REQUIRED"},
    {0x207, "CKR_OPERATION_NOT_VALIDATED"},
    {0x208, "CKR_TOKEN_NOT_INITIALIZED"},
    {0x209, "CKR_PARAMETER_SET_NOT_SUPPORTED"},
    {0x80000000UL, "CKR_VENDOR_DEFINED"},
});

// Every key type the PKCS#11 standard (up to 3.2) defines. CKK_ECDSA is the
// older name of CKK_EC; the current name is given.
constexpr auto kKeyTypes = std::to_array<Named>({
    {0x00, "CKK_RSA"},
    {0x01, "CKK_DSA"},
    {0x02, "CKK_DH"},
    {0x03, "CKK_EC"},
    {0x04, "CKK_X9_42_DH"},
    {0x05, "CKK_KEA"},
    {0x10, "CKK_GENERIC_SECRET"},
    {0x11, "CKK_RC2"},
    {0x12, "CKK_RC4"},
    {0x13, "CKK_DES"},
    {0x14, "CKK_DES2"},
    {0x15, "CKK_DES3"},
    {0x16, "CKK_CAST"},
    {0x17, "CKK_CAST3"},
    {0x18, "CKK_CAST128"},
    {0x19, "CKK_RC5"},
    {0x1A, "CKK_IDEA"},
    {0x1B, "CKK_SKIPJACK"},
    {0x1C, "CKK_BATON"},
    {0x1D, "CKK_JUNIPER"},
    {0x1E, "CKK_CDMF"},
    {0x1F, "CKK_AES"},
    {0x20, "CKK_BLOWFISH"},
    {0x21, "CKK_TWOFISH"},
    {0x22, "CKK_SECURID"},
    {0x23, "CKK_HOTP"},
    {0x24, "CKK_ACTI"},
    {0x25, "CKK_CAMELLIA"},
    {0x26, "CKK_ARIA"},
    {0x27, "CKK_MD5_HMAC"},
    {0x28, "CKK_SHA_1_HMAC"},
    {0x29, "CKK_RIPEMD128_HMAC"},
    {0x2A, "CKK_RIPEMD160_HMAC"},
    {0x2B, "CKK_SHA256_HMAC"},
    {0x2C, "CKK_SHA384_HMAC"},
    {0x2D, "CKK_SHA512_HMAC"},
    {0x2E, "CKK_SHA224_HMAC"},
    {0x2F, "CKK_SEED"},
    {0x30, "CKK_GOSTR3410"},
    {0x31, "CKK_GOSTR3411"},
    {0x32, "CKK_GOST28147"},
    {0x33, "CKK_CHACHA20"},
    {0x34, "CKK_POLY1305"},
    {0x35, "CKK_AES_XTS"},
    {0x36, "CKK_SHA3_224_HMAC"},
    {0x37, "CKK_SHA3_256_HMAC"},
    {0x38, "CKK_SHA3_384_HMAC"},
    {0x39, "CKK_SHA3_512_HMAC"},
    {0x3A, "CKK_BLAKE2B_160_HMAC"},
    {0x3B, "CKK_BLAKE2B_256_HMAC"},
    {0x3C, "CKK_BLAKE2B_384_HMAC"},
    {0x3D, "CKK_BLAKE2B_512_HMAC"},
    {0x3E, "CKK_SALSA20"},
    {0x3F, "CKK_X2RATCHET"},
    {0x40, "CKK_EC_EDWARDS"},
    {0x41, "CKK_EC_MONTGOMERY"},
    {0x42, "CKK_HKDF"},
    {0x43, "CKK_SHA512_224_HMAC"},
    {0x44, "CKK_SHA512_256_HMAC"},
    {0x45, "CKK_SHA512_T_HMAC"},
    {0x46, "CKK_HSS"},
    {0x47, "CKK_XMSS"},
    {0x48, "CKK_XMSSMT"},
    {0x49, "CKK_ML_KEM"},
    {0x4A, "CKK_ML_DSA"},
    {0x4B, "CKK_SLH_DSA"},
    {0x80000000UL, "CKK_VENDOR_DEFINED"},
});

template <std::size_t N>
const Named* find(const std::array<Named, N>& table, unsigned long value) {
    auto it =
        std::find_if(table.begin(), table.end(), [&](const Named& n) { return n.value == value; });
    return it == table.end() ? nullptr : &*it;
}

// "CKR_PIN_INCORRECT" -> "PinIncorrect".
std::string mixed_case(std::string_view constant) {
    constant.remove_prefix(constant.find('_') + 1);
    std::string out;
    bool word_start = true;
    for (char c : constant) {
        if (c == '_') {
            word_start = true;
            continue;
        }
        if (word_start && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (!word_start && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        out.push_back(c);
        word_start = false;
    }
    return out;
}

std::string hex8(unsigned long value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%08lx", value);
    return buf;
}

}  // namespace

std::string rv_name(CK_RV rv) {
    if (const Named* n = find(kReturnValues, rv))
        return mixed_case(n->name);
    return "Unknown(0x" + hex8(rv) + ")";
}

std::string key_type_name(CK_KEY_TYPE type) {
    if (const Named* n = find(kKeyTypes, type))
        return std::string(n->name);
    return "unknown (" + hex8(type) + ")";
}

}  // namespace tolvex::pkcs11
