// The certificate model from DER: the whole summary, the key algorithm, and
// the pieces (names, alternative names, times) read from the same bytes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz_check.hpp"
#include "results.hpp"
#include "tolvex/core/cert.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tolvex;
    const std::span<const std::uint8_t> der(data, size);

    auto summary = core::build_summary(der, {});
    auto key = core::key_algorithm(der);
    // One parser behind both: a certificate either reads or it does not.
    FUZZ_CHECK(summary.has_value() ==
               (key.has_value() || key.error().kind() != core::ErrorKind::SignFailed));
    if (summary) {
        FUZZ_CHECK(summary->thumbprint == core::compute_thumbprint(der));
        // Any texts the certificate holds still make a valid listing.
        agent::Certificates listing;
        listing.certificates.push_back(std::move(*summary));
        const auto text = agent::result_json(listing).dump(
            -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        FUZZ_CHECK(nlohmann::json::accept(text));
    }

    if (auto name = core::parse_name(der)) {
        core::display_name(*name);
        core::format_dn(*name);
        core::strip_document_suffix(core::first_common_name(*name));
        if (auto alt = core::parse_general_names(der))
            core::extract_pki_brazil(alt, *name);
    }
    if (auto alt = core::parse_general_names(der)) {
        for (const auto& n : *alt)
            core::other_name_text(n.value);
    }
    if (size > 0) {
        const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
        if (auto time = core::parse_cert_time(data[0], rest))
            core::format_time(*time);
        core::parse_person_data(rest);
    }
    return 0;
}
