#include "codec.hpp"

#include <cstdint>
#include <span>

#include "tolvex/core/base64.hpp"
#include "tolvex/core/types.hpp"

namespace tolvexctl {

std::string base64_encode(std::string_view bytes) {
    return tolvex::core::base64_encode(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void wipe(std::string& text) {
    tolvex::core::secure_wipe(text);
}

}  // namespace tolvexctl
