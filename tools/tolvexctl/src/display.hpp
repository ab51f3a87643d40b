#pragma once

// The readable forms of the agent's answers, for an 80-column terminal.
// --json prints the answers whole instead.

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "agent_setup.hpp"

namespace tolvexctl {

// `today` is the current date as "YYYY-MM-DD" (UTC), to mark certificates
// that have expired or are not valid yet.
std::string format_certificates(const nlohmann::json& result, std::string_view today);
std::string format_tokens(const nlohmann::json& result);
// The agent's pong and what it will run with.
std::string format_pong(const nlohmann::json& result, const AgentSetup& setup);

// "12345678909" as "123.456.789-09", "11222333000181" as
// "11.222.333/0001-81"; anything else unchanged.
std::string format_cpf(std::string_view digits);
std::string format_cnpj(std::string_view digits);
// An RFC 3339 time as its date, "dd/mm/aaaa".
std::string format_date(std::string_view rfc3339);

// Display width of UTF-8 text: one column per code point.
std::size_t text_width(std::string_view text);

// Breaks `text` at blanks into lines of at most `width` columns; lines after
// the first start with `indent` blanks. A word longer than a line stays whole.
std::string wrap(std::string_view text, std::size_t width, std::size_t indent);

inline constexpr std::size_t kColumns = 80;

}  // namespace tolvexctl
