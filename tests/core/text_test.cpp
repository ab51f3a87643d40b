#include <gtest/gtest.h>

#include "tolvex/core/text.hpp"

namespace tolvex::core {
namespace {

constexpr std::string_view R = "\xEF\xBF\xBD";  // U+FFFD

TEST(LossyText, OneReplacementPerMaximalIllFormedSubsequence) {
    // The expected texts write U+FFFD as "~".
    auto r = [](std::string_view marked) {
        std::string out;
        for (char c : marked)
            out.append(c == '~' ? R : std::string_view(&c, 1));
        return out;
    };
    struct Case {
        std::string_view in;
        std::string out;
    };
    for (const auto& [in, out] : {
             // The example of the Unicode standard: a cut-short four-byte and
             // three-byte sequence, a lone lead, lone continuations.
             Case{"a\xF1\x80\x80\xE1\x80\xC2"
                  "b\x80"
                  "c\x80\xBF"
                  "d",
                  r("a~~~b~c~~d")},
             Case{"\xF0\x9F\x98\xF0\x9F\x98\x80", r("~\xF0\x9F\x98\x80")},
             Case{"\xE0\x80\x80", r("~~~")},       // overlong
             Case{"\xED\xA0\x80", r("~~~")},       // surrogate
             Case{"\xF4\x90\x80\x80", r("~~~~")},  // above U+10FFFF
             Case{"\xC0\xAF\xFF", r("~~~")},
             Case{"ok \xC3\xA3", "ok \xC3\xA3"},
         }) {
        EXPECT_EQ(to_utf8_lossy(in), out);
        EXPECT_EQ(to_utf8_lossy(to_utf16_lossy(in)), out);
    }

    struct Case16 {
        std::u16string_view in;
        std::string out;
        bool well_formed;
    };
    for (const auto& [in, out, well_formed] : {
             Case16{u"a\xD800"
                    u"b",
                    r("a~b"), false},
             Case16{u"\xDE00\xD83D", r("~~"), false},  // a pair the wrong way round
             Case16{u"x\xD83D", r("x~"), false},
             Case16{u"\xD83D\xDE00\u00E3", "\xF0\x9F\x98\x80\xC3\xA3", true},
         }) {
        EXPECT_EQ(to_utf8_lossy(in), out);
        EXPECT_EQ(to_utf8(in), well_formed ? std::optional(out) : std::nullopt);
    }
}

TEST(UnicodeLower, FullMappingWithoutContext) {
    EXPECT_EQ(unicode_lower("\xC4\xB0STANBUL"), "i\xCC\x87stanbul");  // U+0130
    EXPECT_EQ(unicode_lower("ΣΟΦΟΣ ς"), "σοφοσ ς");                   // no final-sigma rule
    EXPECT_EQ(unicode_lower("CARTÃO ЖЕТОН"), "cartão жетон");
    EXPECT_EQ(unicode_lower("\xE1\xBA\x9E\xEF\xBC\xA1"), "ß\xEF\xBD\x81");  // ẞ, fullwidth A
    EXPECT_EQ(unicode_lower("A\xC3"), "a\xC3");
}

}  // namespace
}  // namespace tolvex::core
