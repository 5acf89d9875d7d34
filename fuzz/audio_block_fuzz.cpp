// Blocks of system audio as an audio server could describe them: any format flags, channel counts, frame
// count and buffer sizes, through the tap engine's conversion and the capture engine's. Neither may read
// past a buffer, and a block that converts has the size its rules give.
//
// Input: flags (bit 0 float, bit 1 planar, bit 2 no format at all), channels per frame, frame count (u16
// little-endian), buffer count (0…7); then per buffer its channel count, its length (u16) and its bytes
// (cut short where the input ends).
#include <cstdint>
#include <cstdlib>

#include "hostcore/engines/captured_audio_converter.hpp"
#include "hostcore/engines/tap_audio_conversion.hpp"

namespace {

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t byte() { return at < size ? data[at++] : 0; }
  uint16_t word() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const uint8_t flags = in.byte();
  tavlo::AudioSampleBuffer block;
  if ((flags & 4) == 0) {
    tavlo::AudioStreamDescription format;
    format.sampleRate = 48000;
    if (flags & 1) format.formatFlags |= tavlo::kAudioFlagFloat;
    if (flags & 2) format.formatFlags |= tavlo::kAudioFlagNonInterleaved;
    format.channelsPerFrame = in.byte();
    format.bitsPerChannel = 32;
    block.format = format;
  }
  block.frameCount = in.word();
  const int buffers = in.byte() & 7;
  for (int i = 0; i < buffers; ++i) {
    tavlo::AudioBufferData buffer;
    buffer.numberChannels = in.byte();
    const size_t length = in.word();
    const size_t available = in.at < size ? size - in.at : 0;
    const size_t taken = length < available ? length : available;
    buffer.data.assign(data + in.at, data + in.at + taken);
    in.at += taken;
    block.buffers.push_back(std::move(buffer));
  }

  if (auto tapped = vela::convertTapInput(block)) {
    const auto& first = block.buffers.front();
    const size_t channels = first.numberChannels > 1 ? first.numberChannels : 1;
    if (tapped->size() != first.data.size() / 4 / channels * 4) std::abort();
  }
  vela::CapturedAudioConverter converter;
  auto captured = converter.convertAudioToInt16(block);
  if (captured.block && captured.block->size() != static_cast<size_t>(block.frameCount) * 4) std::abort();
  return 0;
}
