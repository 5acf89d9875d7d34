// Opus packets from the client's microphone. The first byte picks the channel count; the rest is one
// packet for the decoder and, read as PCM, input for the encoder's framing.
#include <cstdint>
#include <cstdlib>

#include "media/opus_decoder.hpp"
#include "media/opus_encoder.hpp"
#include "media/opus_format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vela;
  if (size < 1) return 0;
  const int channels = (data[0] & 1) + 1;
  ByteView packet(data + 1, size - 1);

  auto decoder = OpusDecoder::create(channels);
  if (!decoder) std::abort();
  if (auto pcm = decoder->decode(packet)) {
    const size_t frameBytes = OpusFormat::kBytesPerSample * static_cast<size_t>(channels);
    if (pcm->empty() || pcm->size() % frameBytes != 0 ||
        pcm->size() > OpusFormat::kMaxDecodedSamples * frameBytes) {
      std::abort();
    }
  }

  auto encoder = OpusEncoder::create(channels, 64'000);
  if (!encoder) std::abort();
  const size_t frame = OpusFormat::frameBytes(channels);
  auto packets = encoder->encode(packet);
  if (packets.size() > packet.size() / frame || encoder->pendingBytes() != packet.size() % frame) std::abort();
  return 0;
}
