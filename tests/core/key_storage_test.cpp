#include <gtest/gtest.h>

#include "tolvex/core/key_storage.hpp"
#include "tolvex/core/text.hpp"

namespace tolvex::core {
namespace {

TEST(ClassifyKeyStorage, WordTablesInOrder) {
    struct Case {
        std::string_view name;
        KeyStorage storage;
    };
    for (auto [name, storage] : {
             Case{"Example Software Key Storage Provider", KeyStorage::File},
             Case{"Example Enhanced RSA and AES Cryptographic Provider", KeyStorage::File},
             Case{"Example Base DSS and Diffie-Hellman Cryptographic Provider", KeyStorage::File},
             Case{"Example Smart Card Key Storage Provider", KeyStorage::Token},
             Case{"eToken Base Cryptographic Provider", KeyStorage::Token},
             Case{"VIDaaS Token Provider", KeyStorage::Cloud},
             Case{"Cartão Provider", KeyStorage::Token}, Case{"CARTÃO", KeyStorage::Token},
             Case{"CARTAO", KeyStorage::Token}, Case{"SmartCard", KeyStorage::Token},
             Case{"Tokenizer Provider", KeyStorage::Token},
             Case{"Example Platform Crypto Provider", KeyStorage::Unknown},
             Case{"", KeyStorage::Unknown}, Case{"Provedor em NUVEM", KeyStorage::Cloud},
             Case{"Microsoft Strong Cryptographic Provider", KeyStorage::File},
             Case{"smart\xC2\xA0"
                  "card",
                  KeyStorage::Unknown},  // no normalisation of spaces
             Case{"CART\xFF"
                  "AO",
                  KeyStorage::Unknown},  // invalid byte kept as it is
         }) {
        EXPECT_EQ(classify_key_storage(name), storage) << name;
    }
}

TEST(UnicodeLower, CoveredScripts) {
    EXPECT_EQ(unicode_lower("ÀÉÎÕÜÇ×ß"), "àéîõüç×ß");
    EXPECT_EQ(unicode_lower("ĀĞŁŸŽ"), "āğłÿž");
    EXPECT_EQ(unicode_lower("ΑΩΆΏ"), "αωάώ");
    EXPECT_EQ(unicode_lower("ЁЖЯ"), "ёжя");
    EXPECT_EQ(unicode_lower("İ"), "i\xCC\x87");
    EXPECT_EQ(unicode_lower("\xE2\x84\xAA"), "k");  // Kelvin sign
    EXPECT_EQ(unicode_lower("日本"), "日本");
}

}  // namespace
}  // namespace tolvex::core
