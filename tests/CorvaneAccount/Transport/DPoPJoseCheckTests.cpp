// Hands proofs made by DPoPSigner to tools/jose-check, which checks them with the jose package
// (signature against the embedded JWK, header fields, claims, and its own RFC 7638 thumbprint).
#include "CorvaneAccount/Transport/DPoPSigner.h"
#include "Platform/Sim/SimHost.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using corvane::DPoPSigner;
using platform::sim::KeychainOperation;

namespace {

std::filesystem::path sourceDir() {
    if (const char* root = std::getenv("QUILLET_SOURCE_DIR"))
        return root;
    return QUILLET_SOURCE_DIR;
}

std::filesystem::path joseCheckDir() {
    return sourceDir() / "tools" / "jose-check";
}

// Under CI a missing outside checker is a failure: a skipped check would pass unseen.
bool underCI() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

// How node is started. Debian 12's nodejs (18.x) has no global WebCrypto object; a newer node
// behaves the same way without it, which the checker must cope with.
enum class NodeGlobals { asShipped, withoutGlobalWebCrypto };

std::string nodeCommand(NodeGlobals globals) {
    if (globals == NodeGlobals::asShipped)
        return "node";
    // Newer releases may drop the flag; deleting the global before any module loads is the
    // same thing.
    if (std::system("node --no-experimental-global-webcrypto -e '' > /dev/null 2>&1") == 0)
        return "node --no-experimental-global-webcrypto";
    return "node --require '" + (sourceDir() / "tests/support/without-webcrypto.cjs").string() +
           "'";
}

struct CheckRun {
    int exitStatus = -1;
    std::vector<nlohmann::json> results; // one per proof, in order
    std::string output;
};

// Runs check.mjs with `items` on its stdin; its report goes through a private temporary file.
CheckRun runJoseCheck(const nlohmann::json& items, NodeGlobals globals) {
    CheckRun run;
    char outPath[] = "/tmp/quillet-jose-check-XXXXXX";
    const int fd = mkstemp(outPath);
    if (fd < 0)
        return run;
    close(fd);
    const auto command = "cd '" + joseCheckDir().string() + "' && " + nodeCommand(globals) +
                         " check.mjs > '" + std::string(outPath) + "'";
    if (FILE* pipe = popen(command.c_str(), "w")) {
        const auto input = items.dump();
        std::fwrite(input.data(), 1, input.size(), pipe);
        const int status = pclose(pipe);
        run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::ifstream in(outPath);
    std::stringstream text;
    text << in.rdbuf();
    run.output = text.str();
    std::remove(outPath);
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty())
            run.results.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return run;
}

class DPoPJoseCheck : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        if (std::system("node --version > /dev/null 2>&1") != 0)
            missing = "node is not installed";
        else if (!std::filesystem::exists(joseCheckDir() / "node_modules" / "jose"))
            missing = joseCheckDir().string() + "/node_modules/jose is missing";
        if (missing.empty())
            return;
        if (underCI())
            FAIL() << missing << " (scripts/install-deps installs it)";
        std::fprintf(stderr, "\n*** DPoPJoseCheck SKIPPED: %s; run scripts/install-deps ***\n\n",
                     missing.c_str());
        GTEST_SKIP() << missing << " (run scripts/install-deps)";
    }

    // Proofs of one signer for a spread of requests, with what the checker must find in them.
    static void addProofs(nlohmann::json& items, const DPoPSigner& signer) {
        struct Request {
            const char* url;
            const char* method;
            std::optional<std::string> token;
            const char* htu;
            const char* htm;
            const char* ath; // base64url SHA-256 of the token, when there is one
        };
        const Request requests[] = {
            {"https://id.example/api/app-sessions/exchange", "POST", std::nullopt,
             "https://id.example/api/app-sessions/exchange", "POST", nullptr},
            {"https://id.example/api/app-data-token?x=1#frag", "get", std::string("cas-token"),
             "https://id.example/api/app-data-token", "GET",
             "WWHP9JnzFVnvQIx9mjEVh8JFvj_LrzcsibVH1kwZH5w"},
            {"http://127.0.0.1:8080/api/sessions/revoke", "post", std::string(),
             "http://127.0.0.1:8080/api/sessions/revoke", "POST",
             "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU"},
        };
        for (const auto& r : requests) {
            nlohmann::json item = {{"proof", signer.generateProof(r.url, r.method, r.token)},
                                   {"jkt", signer.jktThumbprint()},
                                   {"htm", r.htm},
                                   {"htu", r.htu}};
            if (r.token)
                item["ath"] = r.ath;
            items.push_back(std::move(item));
        }
    }

    platform::sim::SimHost host;
};

} // namespace

TEST_F(DPoPJoseCheck, ProofsOfEveryBackendVerifyWithJose) {
    nlohmann::json items = nlohmann::json::array();
    std::vector<DPoPSigner::BackendKind> kinds;
    {
        DPoPSigner enclave;
        kinds.push_back(enclave.backendKind());
        addProofs(items, enclave);
    }
    host.simKeychain().removeKeys(DPoPSigner::keyTag());
    host.simKeychain().setSecureEnclavePresent(false);
    {
        DPoPSigner software;
        kinds.push_back(software.backendKind());
        addProofs(items, software);
    }
    host.simKeychain().setFailure(KeychainOperation::copyPrivateKey, platform::errSecAuthFailed);
    host.simKeychain().setFailure(KeychainOperation::createRandomKey, platform::errSecAuthFailed);
    {
        DPoPSigner memory;
        kinds.push_back(memory.backendKind());
        addProofs(items, memory);
    }
    EXPECT_EQ(kinds,
              (std::vector<DPoPSigner::BackendKind>{DPoPSigner::BackendKind::secureEnclave,
                                                    DPoPSigner::BackendKind::softwareKeychain,
                                                    DPoPSigner::BackendKind::ephemeralCryptoKit}));
    for (const auto globals : {NodeGlobals::asShipped, NodeGlobals::withoutGlobalWebCrypto}) {
        SCOPED_TRACE(nodeCommand(globals));
        const auto run = runJoseCheck(items, globals);
        EXPECT_EQ(run.exitStatus, 0) << run.output;
        ASSERT_EQ(run.results.size(), items.size()) << run.output;
        for (const auto& result : run.results)
            EXPECT_EQ(result.value("ok", false), true) << result.dump();
    }
}

TEST_F(DPoPJoseCheck, CheckerRefusesTamperedProofsAndWrongThumbprints) {
    DPoPSigner signer;
    const auto proof = signer.generateProof("https://id.example/a", "GET", std::nullopt);
    // Another claims part with the original signature.
    const auto other = signer.generateProof("https://id.example/b", "GET", std::nullopt);
    const auto first = proof.find('.');
    const auto second = proof.rfind('.');
    const auto otherFirst = other.find('.');
    const auto otherSecond = other.rfind('.');
    const auto spliced = proof.substr(0, first) +
                         other.substr(otherFirst, otherSecond - otherFirst) + proof.substr(second);

    nlohmann::json items = nlohmann::json::array();
    const auto item = [&](const std::string& p, const std::string& jkt) {
        return nlohmann::json{
            {"proof", p}, {"jkt", jkt}, {"htm", "GET"}, {"htu", "https://id.example/a"}};
    };
    items.push_back(item(proof, signer.jktThumbprint()));
    items.push_back(item(spliced, signer.jktThumbprint()));
    items.push_back(item(proof, DPoPSigner::jwkThumbprint(DPoPSigner::JWK{
                                    {"kty", "EC"}, {"crv", "P-256"}, {"x", "X"}, {"y", "Y"}})));

    for (const auto globals : {NodeGlobals::asShipped, NodeGlobals::withoutGlobalWebCrypto}) {
        SCOPED_TRACE(nodeCommand(globals));
        const auto run = runJoseCheck(items, globals);
        EXPECT_EQ(run.exitStatus, 1) << run.output;
        ASSERT_EQ(run.results.size(), 3u) << run.output;
        EXPECT_EQ(run.results[0].value("ok", false), true) << run.output;
        EXPECT_EQ(run.results[1].value("ok", true), false) << run.output;
        EXPECT_EQ(run.results[2].value("ok", true), false) << run.output;
    }
}
