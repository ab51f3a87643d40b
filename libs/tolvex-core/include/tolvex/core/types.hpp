#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvex::core {

using Bytes = std::vector<std::uint8_t>;

// Where a certificate's private key lives, as far as the provider name tells.
enum class KeyStorage : std::uint8_t { Token = 0, File = 1, Cloud = 2, Unknown = 3 };
std::string_view key_storage_text(KeyStorage storage);  // "token", "file", ...

enum class DigestAlgorithm : std::uint8_t { Sha256 = 0, Sha384 = 1, Sha512 = 2 };
std::string_view digest_algorithm_text(DigestAlgorithm alg);  // "SHA-256", ...
std::optional<DigestAlgorithm> parse_digest_algorithm(std::string_view text);
constexpr std::size_t digest_length(DigestAlgorithm alg) {
    return 32 + 16 * static_cast<std::size_t>(alg);
}

// Overwrites memory that held a secret (a PIN) so it does not linger after
// use; the compiler may not elide it.
void secure_wipe(void* data, std::size_t size);
inline void secure_wipe(std::string& s) {
    secure_wipe(s.data(), s.size());
}

// A PIN as it travels from the request to a source: borrowed, never copied by
// the handler. std::nullopt means the request carried no "pin".
using PinView = std::optional<std::string_view>;

}  // namespace tolvex::core

namespace tolvex::core {

// Owns a secret (a PIN) and wipes it when destroyed or moved from. Not
// copyable, so the secret is never duplicated by accident.
class SecretString {
  public:
    SecretString() = default;
    // Copies from a view, so no intermediate std::string is left holding the
    // secret; the caller wipes its own buffer.
    explicit SecretString(std::string_view value) : value_(value) {}
    SecretString(const SecretString&) = delete;
    SecretString& operator=(const SecretString&) = delete;
    SecretString(SecretString&& other) noexcept : value_(other.value_) { other.wipe(); }
    SecretString& operator=(SecretString&& other) noexcept {
        if (this != &other) {
            wipe();
            value_ = other.value_;
            other.wipe();
        }
        return *this;
    }
    ~SecretString() { wipe(); }

    std::string_view view() const { return value_; }

  private:
    void wipe() {
        secure_wipe(value_);
        value_.clear();
    }
    std::string value_;
};

}  // namespace tolvex::core
