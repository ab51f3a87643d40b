#include "tolvex/core/log.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace tolvex::log {

std::shared_ptr<spdlog::logger> target(const std::string& name) {
    if (auto existing = spdlog::get(name))
        return existing;
    auto def = spdlog::default_logger();
    if (!def) {
        // No logger installed (or it was dropped): a logger without sinks,
        // not registered, so a later installation is still picked up.
        return std::make_shared<spdlog::logger>(name);
    }
    auto logger = std::make_shared<spdlog::logger>(name, def->sinks().begin(), def->sinks().end());
    logger->set_level(def->level());
    logger->flush_on(spdlog::level::trace);
    // Another caller may have registered the name meanwhile; keep theirs.
    try {
        spdlog::register_logger(logger);
    } catch (const spdlog::spdlog_ex&) {
        if (auto existing = spdlog::get(name))
            return existing;
    }
    return logger;
}

namespace {

void append_escaped(std::string& out, std::string_view value) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        auto c = static_cast<unsigned char>(value[i]);
        // U+0080 to U+009F (C2 80 to C2 9F) are control characters too; NEL
        // among them ends a line in some viewers.
        if (c == 0xC2 && i + 1 < value.size()) {
            auto next = static_cast<unsigned char>(value[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                out += fmt::format("\\u{{{:x}}}", next);
                ++i;
                continue;
            }
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += fmt::format("\\u{{{:x}}}", c);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
}

}  // namespace

std::string quoted(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out.push_back('"');
    append_escaped(out, value);
    out.push_back('"');
    return out;
}

std::string name(std::string_view value) {
    constexpr std::size_t kMax = 64;
    auto plain = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.';
    };
    if (!value.empty() && value.size() <= kMax &&
        std::all_of(value.begin(), value.end(), [&](char c) { return plain(c); }))
        return std::string(value);
    // Cut after 64 characters, counting the bytes that start one, so a
    // UTF-8 sequence is never split.
    std::size_t end = 0;
    for (std::size_t chars = 0; end < value.size(); ++end) {
        if ((static_cast<unsigned char>(value[end]) & 0xC0) != 0x80 && chars++ == kMax)
            break;
    }
    std::string out = quoted(value.substr(0, end));
    if (end < value.size())
        out.insert(out.size() - 1, "…");
    return out;
}

}  // namespace tolvex::log
