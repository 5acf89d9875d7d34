// Sealing and opening one 1,350-byte packet through the envelope, against raw OpenSSL EVP
// ChaCha20-Poly1305 doing the same work (random nonce, seal, open) into buffers allocated once.
// BM_EnvelopeAgainstRawEvp runs both in the same loop and reports the ratio of their throughputs
// (raw time / envelope time; the target is at least 0.9).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdlib>

#include "bench/interleaved_batches.hpp"
#include "e2e/e2e_envelope.hpp"
#include "e2e/seal_nonces.hpp"
#include "platform/crypto/random_bytes.hpp"

namespace vela {
namespace {

constexpr size_t packetSize = 1350;

// The baseline: the cipher driven directly, contexts and buffers made once, nothing allocated per packet.
class RawEvp {
 public:
  RawEvp() : enc_(EVP_CIPHER_CTX_new()), dec_(EVP_CIPHER_CTX_new()), cipher_(EVP_chacha20_poly1305()) {
    EVP_EncryptInit_ex(enc_, cipher_, nullptr, nullptr, nullptr);
    EVP_DecryptInit_ex(dec_, cipher_, nullptr, nullptr, nullptr);
  }
  ~RawEvp() {
    EVP_CIPHER_CTX_free(enc_);
    EVP_CIPHER_CTX_free(dec_);
  }

  // Returns false if anything fails (the benchmark then aborts).
  bool sealOpen(const uint8_t* key, const Bytes& packet) {
    int n = 0;
    if (RAND_bytes(nonce_, sizeof nonce_) != 1) return false;
    if (EVP_EncryptInit_ex(enc_, nullptr, nullptr, key, nonce_) != 1) return false;
    if (EVP_EncryptUpdate(enc_, sealed_, &n, packet.data(), static_cast<int>(packet.size())) != 1) return false;
    if (EVP_EncryptFinal_ex(enc_, sealed_ + n, &n) != 1) return false;
    if (EVP_CIPHER_CTX_ctrl(enc_, EVP_CTRL_AEAD_GET_TAG, 16, tag_) != 1) return false;
    if (EVP_DecryptInit_ex(dec_, nullptr, nullptr, key, nonce_) != 1) return false;
    if (EVP_DecryptUpdate(dec_, opened_, &n, sealed_, static_cast<int>(packet.size())) != 1) return false;
    if (EVP_CIPHER_CTX_ctrl(dec_, EVP_CTRL_AEAD_SET_TAG, 16, tag_) != 1) return false;
    return EVP_DecryptFinal_ex(dec_, opened_ + n, &n) == 1;
  }

 private:
  EVP_CIPHER_CTX* enc_;
  EVP_CIPHER_CTX* dec_;
  const EVP_CIPHER* cipher_;
  uint8_t nonce_[12];
  uint8_t tag_[16];
  uint8_t sealed_[packetSize];
  uint8_t opened_[packetSize];
};

bool envelopeSealOpen(const SymmetricKey& key, const Bytes& packet) {
  static SealNonces nonces;  // as a session's wrapper seals: one counter for every packet
  auto envelope = E2EEnvelope::seal(packet, key, nonces.next());
  if (!envelope) return false;
  auto opened = E2EEnvelope::open(*envelope, key);
  benchmark::DoNotOptimize(opened);
  return opened.has_value();
}

void BM_EnvelopeSealOpen(benchmark::State& state) {
  SymmetricKey key(tavlo::crypto::randomArray<32>());
  Bytes packet(packetSize, 0x5C);
  for (auto _ : state) {
    if (!envelopeSealOpen(key, packet)) state.SkipWithError("envelope failed");
  }
  state.SetBytesProcessed(state.iterations() * int64_t(packetSize));
}
BENCHMARK(BM_EnvelopeSealOpen);

void BM_RawEvpChaChaPolySealOpen(benchmark::State& state) {
  SymmetricKey key(tavlo::crypto::randomArray<32>());
  Bytes packet(packetSize, 0x5C);
  RawEvp raw;
  for (auto _ : state) {
    if (!raw.sealOpen(key.data(), packet)) state.SkipWithError("EVP failed");
  }
  state.SetBytesProcessed(state.iterations() * int64_t(packetSize));
}
BENCHMARK(BM_RawEvpChaChaPolySealOpen);

// Both in one loop, interleaved in batches so that frequency changes hit both alike.
void BM_EnvelopeAgainstRawEvp(benchmark::State& state) {
  constexpr int batch = 64;
  SymmetricKey key(tavlo::crypto::randomArray<32>());
  Bytes packet(packetSize, 0x5C);
  RawEvp raw;
  const auto ns = timeInterleavedBatches(
      state, batch, [&] { if (!envelopeSealOpen(key, packet)) state.SkipWithError("envelope failed"); },
      [&] { if (!raw.sealOpen(key.data(), packet)) state.SkipWithError("EVP failed"); });
  state.counters["envelope_ns"] = ns.first;
  state.counters["raw_evp_ns"] = ns.second;
  state.counters["ratio"] = ns.second / ns.first;
}
BENCHMARK(BM_EnvelopeAgainstRawEvp);

}  // namespace
}  // namespace vela
