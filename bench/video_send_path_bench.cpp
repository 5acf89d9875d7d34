// The host's video send path, run once per frame at up to 120 fps with keyframes of 500 KB and more.
//
// BM_Parity500KB_G8 reports the parity throughput (bytes of frame per second) of the word-wise XOR
// over the shared chunks; BM_ParityByteLoopBaseline does the same work the naive way (each payload
// copied into a vector, XORed a byte at a time) in the same run, for comparison. BM_SendPath reports
// the time per frame of chunk + parity + retain; BM_ChunksForNack16 the time to answer a 16-chunk NACK.
#include <benchmark/benchmark.h>

#include "platform/runtime/random.hpp"
#include "protocol/parity_encoder.hpp"
#include "protocol/retransmit_buffer.hpp"

namespace vela {
namespace {

constexpr size_t keyframeBytes = 500'000;
constexpr int groupCount = 8;

Bytes frameBytes(size_t size) { return tavlo::SeededRandom(size).bytes(size); }

std::vector<SharedVideoChunk> chunked(const Bytes& frame, uint32_t frameId = 1) {
  return Chunker::chunk(frameId, 1, FrameFlags::idr, ltrTokenNone, 0, frame);
}

void BM_Parity500KB_G8(benchmark::State& state) {
  const Bytes frame = frameBytes(keyframeBytes);
  const auto chunks = chunked(frame);
  for (auto _ : state) {
    auto parity = ParityEncoder::encode(chunks, groupCount);
    benchmark::DoNotOptimize(parity.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
  state.SetLabel("bytes/s = parity throughput over the frame");
}
BENCHMARK(BM_Parity500KB_G8);

void BM_ParityByteLoopBaseline(benchmark::State& state) {
  const Bytes frame = frameBytes(keyframeBytes);
  const auto chunks = chunked(frame);
  for (auto _ : state) {
    std::vector<Bytes> parity;
    for (int g = 0; g < groupCount; ++g) {
      Bytes out(maxVideoChunkPayload, 0);
      for (size_t m = size_t(g); m < chunks.size(); m += groupCount) {
        Bytes copy = chunks[m]->payload;
        for (size_t i = 0; i < copy.size(); ++i) out[i] ^= copy[i];
      }
      parity.push_back(std::move(out));
    }
    benchmark::DoNotOptimize(parity.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
  state.SetLabel("baseline: payload copies + byte loop");
}
BENCHMARK(BM_ParityByteLoopBaseline);

void BM_SendPath(benchmark::State& state) {
  const Bytes frame = frameBytes(size_t(state.range(0)));
  RetransmitBuffer buffer(RetransmitBuffer::hostMaxBytes, RetransmitBuffer::hostMaxFrames);
  uint32_t frameId = 0;
  for (auto _ : state) {
    auto chunks = chunked(frame, frameId);
    buffer.retain(frameId, 1, chunks);
    auto parity = ParityEncoder::encode(chunks, groupCount);
    benchmark::DoNotOptimize(parity.data());
    ++frameId;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
  state.SetLabel("time = µs per frame: chunk + retain + parity (G = 8)");
}
BENCHMARK(BM_SendPath)->Arg(30'000)->Arg(150'000)->Arg(500'000)->Unit(benchmark::kMicrosecond);

void BM_ChunksForNack16(benchmark::State& state) {
  RetransmitBuffer buffer(RetransmitBuffer::hostMaxBytes, RetransmitBuffer::hostMaxFrames);
  for (uint32_t id = 0; id < 44; ++id) buffer.retain(id, 1, chunked(frameBytes(30'000), id));
  buffer.retain(44, 1, chunked(frameBytes(keyframeBytes), 44));
  std::vector<uint16_t> missing;
  for (uint16_t i = 0; i < 16; ++i) missing.push_back(uint16_t(20 + i * 21));  // spread over the frame
  const VideoNack nack = VideoNack::fromMissing(44, 1, missing);
  for (auto _ : state) {
    auto answer = buffer.chunksFor(nack);
    if (answer.size() != 16) state.SkipWithError("wrong answer");
    benchmark::DoNotOptimize(answer.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  state.SetLabel("time = one answer of 16 chunks");
}
BENCHMARK(BM_ChunksForNack16);

}  // namespace
}  // namespace vela
