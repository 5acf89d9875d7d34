#include "media/opus_encoder.hpp"

#include <opus.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include "media/opus_format.hpp"

namespace vela {
namespace {

static_assert(std::endian::native == std::endian::little, "PCM bytes are copied as host int16 samples");

// Room for one 20-ms packet: libopus never makes one longer than 1,275 bytes plus its table of contents.
constexpr int kMaxPacketBytes = 1500;

}  // namespace

struct OpusEncoder::Codec {
  explicit Codec(::OpusEncoder* state) : state(state) {}
  ~Codec() { opus_encoder_destroy(state); }
  Codec(const Codec&) = delete;
  Codec& operator=(const Codec&) = delete;
  ::OpusEncoder* state;
};

std::unique_ptr<OpusEncoder> OpusEncoder::create(int channels, int64_t bitrate) {
  if (channels != 1 && channels != 2) return nullptr;
  if (bitrate <= 0) return nullptr;
  int error = OPUS_OK;
  ::OpusEncoder* state = opus_encoder_create(OpusFormat::kSampleRate, channels, OPUS_APPLICATION_AUDIO, &error);
  if (!state) return nullptr;
  auto codec = std::make_unique<Codec>(state);
  if (error != OPUS_OK) return nullptr;
  // libopus caps the rate itself (300 kbit/s per channel); only the int32 range is ours to respect.
  const auto rate = static_cast<opus_int32>(std::min<int64_t>(bitrate, std::numeric_limits<opus_int32>::max()));
  if (opus_encoder_ctl(state, OPUS_SET_BITRATE(rate)) != OPUS_OK) return nullptr;
  return std::unique_ptr<OpusEncoder>(new OpusEncoder(std::move(codec), channels, bitrate));
}

OpusEncoder::OpusEncoder(std::unique_ptr<Codec> codec, int channels, int64_t bitrate)
    : codec_(std::move(codec)),
      channels_(channels),
      bitrate_(bitrate),
      frameBytes_(OpusFormat::frameBytes(channels)) {}

OpusEncoder::~OpusEncoder() = default;

std::vector<Bytes> OpusEncoder::encode(ByteView pcm) {
  pending_.insert(pending_.end(), pcm.begin(), pcm.end());
  std::vector<Bytes> packets;
  std::array<opus_int16, OpusFormat::kFrameSamples * 2> samples;
  std::array<unsigned char, kMaxPacketBytes> packet;
  size_t consumed = 0;
  while (pending_.size() - consumed >= frameBytes_) {
    std::memcpy(samples.data(), pending_.data() + consumed, frameBytes_);
    consumed += frameBytes_;
    const opus_int32 length =
        opus_encode(codec_->state, samples.data(), OpusFormat::kFrameSamples, packet.data(), kMaxPacketBytes);
    if (length <= 0) continue;  // the frame is lost; the stream goes on with the next one
    packets.emplace_back(packet.begin(), packet.begin() + length);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(consumed));
  return packets;
}

int OpusEncoder::lookaheadSamples() const {
  opus_int32 lookahead = 0;
  if (opus_encoder_ctl(codec_->state, OPUS_GET_LOOKAHEAD(&lookahead)) != OPUS_OK) return 0;
  return lookahead;
}

}  // namespace vela
