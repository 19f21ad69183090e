// Cost of one DPoP proof: claims and header JSON, base64url, a fresh "jti", and the P-256
// signature, with the key in the (simulated) Keychain and with the in-memory key.
#include "CorvaneAccount/Transport/DPoPSigner.h"
#include "Platform/Sim/SimHost.h"

#include <benchmark/benchmark.h>

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

} // namespace

BENCHMARK_MAIN();
