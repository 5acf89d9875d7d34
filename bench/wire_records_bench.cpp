// Record encode and decode through the field-list mechanism, on the records of the hot paths: a full
// video chunk (host, per chunk sent), feedback (host, per frame received) and a pointer batch.
#include <benchmark/benchmark.h>

#include "protocol/media_messages.hpp"
#include "protocol/pointer_messages.hpp"

namespace vela {
namespace {

VideoChunk fullChunk() {
  return VideoChunk{42, 3, 9, FrameFlags::idr, ltrTokenNone, 1, 123456789, 11790, Bytes(maxVideoChunkPayload, 0xAB)};
}

void BM_VideoChunkEncodePacket(benchmark::State& state) {
  VideoChunk chunk = fullChunk();
  uint32_t seq = 0;
  for (auto _ : state) benchmark::DoNotOptimize(encodePacket(chunk, 7, ++seq));
  state.SetBytesProcessed(state.iterations() * (16 + 24 + maxVideoChunkPayload));
}
BENCHMARK(BM_VideoChunkEncodePacket);

void BM_VideoChunkDecodePacket(benchmark::State& state) {
  Bytes packet = encodePacket(fullChunk(), 7, 1);
  for (auto _ : state) benchmark::DoNotOptimize(RawPacket::decode(packet).decodePayload<VideoChunk>());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(packet.size()));
}
BENCHMARK(BM_VideoChunkDecodePacket);

void BM_FrameFeedbackDecodePacket(benchmark::State& state) {
  Bytes packet = encodePacket(FrameFeedback{1, 1, FrameFeedback::Status::clean, 0, 0, 900, 2100, 5, 1, 20000}, 7, 1);
  for (auto _ : state) benchmark::DoNotOptimize(RawPacket::decode(packet).decodePayload<FrameFeedback>());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameFeedbackDecodePacket);

void BM_PointerMoveBatchDecodePacket(benchmark::State& state) {
  PointerMoveBatch batch{1, 5, std::vector<PointerMoveBatch::Sample>(16, {100, 200, 1000})};
  Bytes packet = encodePacket(batch, 7, 1);
  for (auto _ : state) benchmark::DoNotOptimize(RawPacket::decode(packet).decodePayload<PointerMoveBatch>());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PointerMoveBatchDecodePacket);

}  // namespace
}  // namespace vela
