#pragma once

// The small types every module passes around: byte vectors and secrets.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvex::core {

using Bytes = std::vector<std::uint8_t>;

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
