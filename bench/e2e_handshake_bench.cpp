// The host's share of one handshake: gate-MAC check, ephemeral X25519 key, agreement, Ed25519
// signature of the transcript, HKDF and the ack packet (E2EHostHandshake::respond). The client's
// check of the answer is measured beside it for comparison.
#include <benchmark/benchmark.h>

#include "e2e/e2e_client_handshake.hpp"
#include "e2e/e2e_host_handshake.hpp"
#include "platform/runtime/secret_store.hpp"

namespace vela {
namespace {

std::shared_ptr<const E2EIdentity> benchIdentity() {
  tavlo::MemorySecretStore secrets;
  tavlo::Settings settings;
  return E2EIdentity::load({secrets, settings, std::nullopt, [] { return std::optional<std::string>("bench"); }});
}

Bytes publicKeyOf(const E2EIdentity& identity) {
  return Bytes(identity.signingPublicKey().begin(), identity.signingPublicKey().end());
}

void BM_HostHandshakeRespond(benchmark::State& state) {
  auto identity = benchIdentity();
  auto client = E2EClientHandshake::start(publicKeyOf(*identity));
  for (auto _ : state) {
    auto outcome = E2EHostHandshake::respond(*identity, true, client->helloPacket());
    if (!outcome.answer) state.SkipWithError("hello refused");
    benchmark::DoNotOptimize(outcome);
  }
  state.SetLabel("one host-side handshake per iteration");
}
BENCHMARK(BM_HostHandshakeRespond)->Unit(benchmark::kMicrosecond);

void BM_HostRefusesHelloWithoutGateMac(benchmark::State& state) {
  auto identity = benchIdentity();
  auto client = E2EClientHandshake::start(std::nullopt);
  for (auto _ : state) {
    auto outcome = E2EHostHandshake::respond(*identity, true, client->helloPacket());
    benchmark::DoNotOptimize(outcome);
  }
  state.SetLabel("what a stranger costs the host");
}
BENCHMARK(BM_HostRefusesHelloWithoutGateMac)->Unit(benchmark::kMicrosecond);

void BM_ClientJudgesAck(benchmark::State& state) {
  auto identity = benchIdentity();
  auto client = E2EClientHandshake::start(publicKeyOf(*identity));
  Bytes ack = E2EHostHandshake::respond(*identity, true, client->helloPacket()).answer->ackPacket;
  auto trust = [](const tavlo::Uuid&, ByteView, const tavlo::LogSink&) { return true; };
  for (auto _ : state) {
    auto result = client->judgeAck(ack, trust, {});
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_ClientJudgesAck)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vela
