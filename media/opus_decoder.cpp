#include "media/opus_decoder.hpp"

#include <opus.h>

#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include "media/opus_format.hpp"

namespace vela {

static_assert(std::endian::native == std::endian::little, "PCM bytes are copied from host int16 samples");

struct OpusDecoder::Codec {
  explicit Codec(::OpusDecoder* state) : state(state) {}
  ~Codec() { opus_decoder_destroy(state); }
  Codec(const Codec&) = delete;
  Codec& operator=(const Codec&) = delete;
  ::OpusDecoder* state;
};

std::unique_ptr<OpusDecoder> OpusDecoder::create(int channels) {
  if (channels != 1 && channels != 2) return nullptr;
  int error = OPUS_OK;
  ::OpusDecoder* state = opus_decoder_create(OpusFormat::kSampleRate, channels, &error);
  if (!state) return nullptr;
  auto codec = std::make_unique<Codec>(state);
  if (error != OPUS_OK) return nullptr;
  return std::unique_ptr<OpusDecoder>(new OpusDecoder(std::move(codec), channels));
}

OpusDecoder::OpusDecoder(std::unique_ptr<Codec> codec, int channels)
    : codec_(std::move(codec)), channels_(channels) {}

OpusDecoder::~OpusDecoder() = default;

std::optional<Bytes> OpusDecoder::decode(ByteView packet) {
  // libopus reads an empty packet as a lost one and conceals it with made-up audio.
  if (packet.empty() || packet.size() > static_cast<size_t>(std::numeric_limits<opus_int32>::max())) {
    return std::nullopt;
  }
  std::array<opus_int16, OpusFormat::kMaxDecodedSamples * 2> samples;
  const int decoded = opus_decode(codec_->state, packet.data(), static_cast<opus_int32>(packet.size()),
                                  samples.data(), OpusFormat::kMaxDecodedSamples, /*decode_fec=*/0);
  if (decoded <= 0) return std::nullopt;
  Bytes pcm(static_cast<size_t>(decoded) * OpusFormat::kBytesPerSample * static_cast<size_t>(channels_));
  std::memcpy(pcm.data(), samples.data(), pcm.size());
  return pcm;
}

}  // namespace vela
