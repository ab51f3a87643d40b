#include <array>

#include "tolvex/core/key_storage.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::core {
namespace {

constexpr std::array<std::string_view, 10> CLOUD_PROVIDER_WORDS = {
    "vidaas", "birdid", "safeid",     "neoid", "remoteid",
    "nuvem",  "cloud",  "syngularid", "dexon", "safeweb"};
constexpr std::array<std::string_view, 13> TOKEN_PROVIDER_WORDS = {
    "smart card", "smartcard", "etoken", "safenet", "safesign", "aladdin", "gemalto",
    "watchdata",  "starsign",  "token",  "athena",  "cartao",   "cartão"};
constexpr std::array<std::string_view, 6> SOFTWARE_PROVIDER_WORDS = {
    "software key storage", "enhanced rsa and aes", "enhanced cryptographic",
    "strong cryptographic", "base cryptographic",   "base dss"};

template <std::size_t N>
bool contains_any(std::string_view text, const std::array<std::string_view, N>& words) {
    for (std::string_view w : words) {
        if (text.find(w) != std::string_view::npos)
            return true;
    }
    return false;
}

}  // namespace

std::string_view key_storage_text(KeyStorage storage) {
    constexpr std::array<std::string_view, 4> names = {"token", "file", "cloud", "unknown"};
    const auto i = static_cast<std::size_t>(storage);
    return i < names.size() ? names[i] : names.back();
}

KeyStorage classify_key_storage(std::string_view provider_name) {
    std::string lowered = unicode_lower(provider_name);
    if (contains_any(lowered, CLOUD_PROVIDER_WORDS))
        return KeyStorage::Cloud;
    if (contains_any(lowered, TOKEN_PROVIDER_WORDS))
        return KeyStorage::Token;
    if (contains_any(lowered, SOFTWARE_PROVIDER_WORDS))
        return KeyStorage::File;
    return KeyStorage::Unknown;
}

}  // namespace tolvex::core
