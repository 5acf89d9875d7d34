#pragma once
// Opus packets (the client's microphone) back to PCM (see OpusFormat). A packet may hold up to 40 ms;
// anything the codec cannot decode, and an empty packet, gives no PCM rather than invented audio.
//
// Not thread-safe: one task at a time uses an instance.
#include <memory>
#include <optional>

#include "platform/runtime/bytes.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

class OpusDecoder {
 public:
  // nullptr when libopus refuses the channel count (1 or 2).
  static std::unique_ptr<OpusDecoder> create(int channels);

  ~OpusDecoder();
  OpusDecoder(const OpusDecoder&) = delete;
  OpusDecoder& operator=(const OpusDecoder&) = delete;

  // The PCM of one packet: samples × 2 × channels bytes; nullopt for an empty, undecodable or longer
  // than 40-ms packet.
  std::optional<Bytes> decode(ByteView packet);

  int channels() const { return channels_; }

 private:
  struct Codec;  // libopus's decoder state, in its owner
  OpusDecoder(std::unique_ptr<Codec> codec, int channels);

  std::unique_ptr<Codec> codec_;
  int channels_;
};

}  // namespace vela
