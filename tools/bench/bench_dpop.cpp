// Cost of one DPoP proof: claims JSON, base64url, a fresh "jti", the "ath" hash and the P-256
// signature, with the key in the (simulated) Keychain and with the in-memory key; beside it, in
// the same run, a raw P-256 ECDSA signature of 32 bytes through OpenSSL's EVP interface (as
// `openssl speed ecdsap256` measures it). The run ends by printing each proof's cost (CPU time)
// as a multiple of the raw signature's.
#include "CorvaneAccount/Transport/DPoPSigner.h"
#include "Platform/Sim/SimHost.h"

#include <benchmark/benchmark.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace {

void generateProofs(benchmark::State& state, const corvane::DPoPSigner& signer) {
    const std::optional<std::string> token = std::string(64, 'c');
    for (auto _ : state) {
        auto proof =
            signer.generateProof("https://id.example/api/app-data-token?x=1", "post", token);
        benchmark::DoNotOptimize(proof);
    }
}

void BM_GenerateProof_KeychainKey(benchmark::State& state) {
    platform::sim::SimHost host;
    const corvane::DPoPSigner signer;
    if (signer.backendKind() == corvane::DPoPSigner::BackendKind::ephemeralCryptoKit)
        state.SkipWithError("the key did not land in the Keychain");
    generateProofs(state, signer);
}
BENCHMARK(BM_GenerateProof_KeychainKey);

void BM_GenerateProof_InMemoryKey(benchmark::State& state) {
    platform::sim::SimHost host;
    host.simKeychain().setFailure(platform::sim::KeychainOperation::copyPrivateKey,
                                  platform::errSecAuthFailed);
    host.simKeychain().setFailure(platform::sim::KeychainOperation::createRandomKey,
                                  platform::errSecAuthFailed);
    const corvane::DPoPSigner signer;
    if (signer.backendKind() != corvane::DPoPSigner::BackendKind::ephemeralCryptoKit)
        state.SkipWithError("the in-memory key was not chosen");
    generateProofs(state, signer);
}
BENCHMARK(BM_GenerateProof_InMemoryKey);

// The floor: EVP_PKEY_sign of a 32-byte digest with a P-256 key, the context set up once.
void BM_RawECDSAP256Sign32Bytes(benchmark::State& state) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr) : nullptr, EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_sign_init(context.get()) != 1) {
        state.SkipWithError("no P-256 signing context");
        return;
    }
    std::array<unsigned char, 32> digest{};
    digest.fill(0x5a);
    std::array<unsigned char, 80> signature{};
    for (auto _ : state) {
        std::size_t length = signature.size();
        if (EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) !=
            1)
            state.SkipWithError("signing failed");
        benchmark::DoNotOptimize(signature);
    }
}
BENCHMARK(BM_RawECDSAP256Sign32Bytes);

// The console report, keeping each benchmark's CPU time per iteration for the ratios: on a
// machine shared with other work the real time also counts the waits for a CPU, which differ
// from one benchmark to the next. With repetitions (best interleaved:
// --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true) the fastest
// repetition of each counts, the one least disturbed by other work.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                const auto [entry, added] =
                    times.emplace(run.benchmark_name(), run.GetAdjustedCPUTime());
                if (!added)
                    entry->second = std::min(entry->second, run.GetAdjustedCPUTime());
            }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto raw = reporter.times.find("BM_RawECDSAP256Sign32Bytes");
    if (raw == reporter.times.end() || raw->second <= 0)
        return 0;
    for (const char* name : {"BM_GenerateProof_InMemoryKey", "BM_GenerateProof_KeychainKey"}) {
        const auto proof = reporter.times.find(name);
        if (proof != reporter.times.end())
            std::printf("%s / raw ECDSA P-256 signature: %.2f\n", name,
                        proof->second / raw->second);
    }
    return 0;
}
