// Header encode + decode: the framing cost every packet pays.
#include <benchmark/benchmark.h>

#include "protocol/packet_header.hpp"

namespace vela {
namespace {

void BM_HeaderEncodeDecode(benchmark::State& state) {
  PacketHeader header{Channel::video, 0x10, {}, 0x0304, 0};
  for (auto _ : state) {
    ++header.seq;
    ByteWriter w(16);
    header.encode(w);
    ByteReader r(w.data());
    PacketHeader decoded = PacketHeader::decode(r);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("ns per packet = time per iteration");
}
BENCHMARK(BM_HeaderEncodeDecode);

void BM_HeaderDecode(benchmark::State& state) {
  ByteWriter w;
  PacketHeader{Channel::video, 0x10, {}, 0x0304, 7}.encode(w);
  for (auto _ : state) {
    ByteReader r(w.data());
    benchmark::DoNotOptimize(PacketHeader::decode(r));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HeaderDecode);

}  // namespace
}  // namespace vela
