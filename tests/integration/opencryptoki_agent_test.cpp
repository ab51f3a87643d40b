// The agent on opencryptoki's software token, in the private namespaces that
// scripts/opencryptoki-fixture.sh sets up around this test (it exports
// OPENCRYPTOKI_FIXTURE). One agent process serves every request, as a caller
// that keeps its port does: opencryptoki drags in libitm, which did not
// survive being unloaded and loaded again, and left a lock file open per
// load.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "pkcs11_agent_support.hpp"
#include "tolvex/core/cert.hpp"

namespace tolvex::testing {
namespace {

using core::DigestAlgorithm;

constexpr const char* kModule = "/usr/lib/x86_64-linux-gnu/pkcs11/libopencryptoki.so";

TEST(OpenCryptoki, ThirtyRequestsInOneAgentSignRsaRefuseEcAndKeepDescriptorsFlat) {
    const char* fixture = std::getenv("OPENCRYPTOKI_FIXTURE");
    if (fixture == nullptr)
        GTEST_SKIP() << "run through scripts/opencryptoki-fixture.sh (ctest does)";
    const std::filesystem::path dir = fixture;
    const test::TestKey rsa = key_of(read_bytes(dir / "rsa.der"));
    const test::TestKey ec = key_of(read_bytes(dir / "ec.der"));
    std::string pin;
    std::ifstream(dir / "pin") >> pin;
    AgentOptions options;
    options.env["TOLVEX_PKCS11_MODULES"] = kModule;
#if defined(TOLVEX_SANITIZED)
    // opencryptoki keeps allocations of its own until the process ends.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
#endif
    AgentProcess agent(options, (dir / "agent.err").string());
    auto sign = [&](const test::TestKey& key, const core::Bytes& digest) {
        return ask_process(agent, {{"id", "s"},
                                   {"command", "sign"},
                                   {"thumbprint", thumbprint_of(key.cert_der)},
                                   {"hash", b64(digest)},
                                   {"pin", pin}});
    };

    Json tokens = ask_process(agent, {{"id", "t"}, {"command", "list_tokens"}});
    ASSERT_EQ(tokens["result"]["tokens"].size(), 1u) << tokens.dump();
    EXPECT_EQ(tokens["result"]["tokens"][0]["label"], "tolvex-ock");

    // Its mechanism list has no CKM_ECDSA: the EC key cannot sign, and says
    // so without ending the session.
    const core::Bytes digest = core::compute_digest(core::Bytes{1}, DigestAlgorithm::Sha256);
    Json refused = sign(ec, digest);
    EXPECT_EQ(refused["error"]["code"], "sign_failed") << refused.dump();
    EXPECT_EQ(refused["error"]["message"],
              "falha ao assinar: Function::SignInit: PKCS11 error: MechanismInvalid");

    ProcessStats early;
    for (int request = 3; request <= 30; request += 2) {
        Json listing = ask_process(agent, {{"id", "l"}, {"command", "list_certificates"}});
        ASSERT_EQ(listing["result"]["certificates"].size(), 2u) << request << listing.dump();
        EXPECT_TRUE(listing["result"]["warnings"].empty()) << request << listing.dump();
        const core::Bytes d = core::compute_digest(core::Bytes{static_cast<std::uint8_t>(request)},
                                                   DigestAlgorithm::Sha256);
        Json reply = sign(rsa, d);
        ASSERT_TRUE(reply["ok"]) << request << reply.dump();
        EXPECT_TRUE(
            test::verify(rsa, DigestAlgorithm::Sha256, d, unb64(reply["result"]["signature"])));
        if (request == 5)
            early = stats_of(agent.pid());
    }
    EXPECT_EQ(stats_of(agent.pid()).descriptors, early.descriptors);
    EXPECT_EQ(agent.finish(), 0) << read_file((dir / "agent.err").string());
}

}  // namespace
}  // namespace tolvex::testing
