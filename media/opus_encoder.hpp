#pragma once
// Captured PCM (see OpusFormat) to Opus packets of 20 ms each for the audio channel. Input arrives in
// blocks of any size; what does not fill a whole frame waits for the next call. The codec's state
// lives as long as the encoder: a new channel count or bitrate means a new encoder.
//
// Not thread-safe: one task at a time uses an instance.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

class OpusEncoder {
 public:
  // nullptr when libopus refuses the channel count (1 or 2) or the bitrate (bits per second, above 0).
  static std::unique_ptr<OpusEncoder> create(int channels, int64_t bitrate);

  ~OpusEncoder();
  OpusEncoder(const OpusEncoder&) = delete;
  OpusEncoder& operator=(const OpusEncoder&) = delete;

  // Buffers `pcm` and returns one packet per whole 20-ms frame now available, oldest first. A frame the
  // codec fails on is dropped; the remainder stays buffered.
  std::vector<Bytes> encode(ByteView pcm);

  int channels() const { return channels_; }
  int64_t bitrate() const { return bitrate_; }
  // PCM bytes buffered and not yet encoded: always less than one frame between calls.
  size_t pendingBytes() const { return pending_.size(); }
  // Hands over the PCM buffered and not yet encoded, and forgets it: an owner replacing the encoder (a
  // new channel count or bitrate) feeds it to the next one, so that no sample is lost at the switch.
  Bytes takePending() { return std::exchange(pending_, Bytes{}); }
  // Samples per channel the codec delays its output by (its look-ahead).
  int lookaheadSamples() const;

 private:
  struct Codec;  // libopus's encoder state, in its owner
  OpusEncoder(std::unique_ptr<Codec> codec, int channels, int64_t bitrate);

  std::unique_ptr<Codec> codec_;
  Bytes pending_;
  int channels_;
  int64_t bitrate_;
  size_t frameBytes_;
};

}  // namespace vela
