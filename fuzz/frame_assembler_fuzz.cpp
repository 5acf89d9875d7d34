// Any bytes as a stream of video packets and timer ticks into the client's frame assembler: the packets
// are decoded by the real record decoders, so every field value a peer can send reaches the assembler.
// Nothing may crash or over-read, and what comes out must be consistent: a NACK names exactly the chunk
// indices listed with it, in ascending order, and a frame is given up at most once per tick.
//
// Input: steps of [op][time step in 100 µs][length][length bytes]. op % 4: 0 a chunk, 1 a parity
// packet (both decoded from the step's bytes), 2 a NACK scan, 3 a reap.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>

#include "protocol/frame_assembler.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vela;
  FrameAssembler assembler(8);
  size_t lines = 0;
  assembler.setOnLossDiag([&](const std::string&) { ++lines; });
  const FrameAssembler::NackPolicy policy{.holdoffUs = 5'000,
                                          .maxRounds = 3,
                                          .giveUpAgeUs = 40'000,
                                          .idrMaxRounds = 5,
                                          .idrGiveUpAgeUs = 120'000,
                                          .firstNackDelayUs = 1'000,
                                          .fecFirstNackDelayUs = 3'000};
  uint64_t now = 1'000'000'000'000ULL;
  ByteReader input(ByteView(data, size));
  try {
    while (!input.isAtEnd()) {
      const uint8_t op = input.u8();
      now += uint64_t(input.u8()) * 100;
      ByteReader step(input.view(input.u8()));
      try {
        switch (op % 4) {
          case 0: (void)assembler.ingest(VideoChunk::decode(step), now); break;
          case 1: (void)assembler.ingestParity(VideoParity::decode(step), now); break;
          case 2:
            for (const auto& request : assembler.framesNeedingNack(now, policy)) {
              if (request.missing.empty() || !std::is_sorted(request.missing.begin(), request.missing.end())) {
                std::abort();
              }
              if (request.nack.missingChunks() != request.missing) std::abort();
            }
            break;
          case 3: {
            std::set<uint32_t> reaped;
            for (const auto& expired : assembler.reapExpired(now, policy.giveUpAgeUs, policy.idrGiveUpAgeUs)) {
              if (!reaped.insert(expired.frameId).second) std::abort();
            }
            break;
          }
        }
      } catch (const WireError&) {
        // A packet that does not decode is dropped, as the receive loop does.
      }
    }
  } catch (const WireError&) {
    // The input ended inside a step.
  }
  (void)assembler.inFlightCount();
  return 0;
}
