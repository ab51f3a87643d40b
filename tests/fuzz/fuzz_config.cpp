// The configuration file's reader and Base64, both over arbitrary text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

#include "config.hpp"
#include "fuzz_check.hpp"
#include "tolvex/core/base64.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tolvex;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The reader is stricter than JSON (duplicate keys, types), never laxer.
    auto config = agent::parse_config(text);
    if (config)
        FUZZ_CHECK(nlohmann::json::accept(text));
    else
        FUZZ_CHECK(!config.error().empty());
    agent::split_path_list(text);

    // Strict decoding: only the canonical text of some bytes is accepted,
    // and every byte string has one.
    if (auto bytes = core::base64_decode(text))
        FUZZ_CHECK(core::base64_encode(*bytes) == text);
    const auto encoded = core::base64_encode(std::span(data, size));
    const auto decoded = core::base64_decode(encoded);
    FUZZ_CHECK(decoded && std::equal(decoded->begin(), decoded->end(), data, data + size) &&
               decoded->size() == size);
    return 0;
}
