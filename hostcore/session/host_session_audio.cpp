// The audio send path: the system's audio, in buffers of any size, cut into 5 ms slices, gated for
// silence, and sent on the audio flow as Opus or as PCM of the mode the link affords.
//
// Mode and codec changes lose nothing: a slice is cut once and goes out once, in the mode and codec in
// force when it is cut. PCM an Opus encoder still holds when it is replaced (a new channel count or
// rate, or Opus given up) goes first into whatever replaces it. The only slices that never go out are
// those the rules drop: long silence, audio not wanted or the video paused, and the clog cut.
#include <string>
#include <utility>
#include <vector>

#include "hostcore/engines/capture_engine.hpp"
#include "hostcore/session/audio_send_plan.hpp"
#include "hostcore/session/audio_slice.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "media/opus_encoder.hpp"

namespace vela {

namespace {

// An audio packet's bytes besides its audio: the header, the time stamp, the format and a reserved byte.
constexpr int64_t audioPacketOverhead = PacketHeader::byteCount + 8 + 1 + 1;
// The capture buffer that logs the path's counters: the first and then every this many.
constexpr int64_t audioLogEvery = 100;

// Slices of the current mode and codec, as audio records of one call.
class AudioPacker {
 public:
  AudioPacker(int64_t mode, OpusEncoder* opus, uint64_t timestampUs)
      : mode_(mode), opus_(opus), timestampUs_(timestampUs) {}

  void add(ByteView slice) {
    if (!opus_) {
      records_.push_back(AudioPcm{timestampUs_, static_cast<uint8_t>(mode_),
                                  mode_ == 0 ? Bytes(slice.begin(), slice.end()) : degradeAudio(slice, mode_)});
      return;
    }
    const bool stereo = opus_->channels() == 2;
    const uint8_t format = stereo ? AudioMode::opusStereoFormat : AudioMode::opusMonoFormat;
    auto packets = stereo ? opus_->encode(slice) : opus_->encode(degradeAudio(slice, 1));
    for (auto& packet : packets) records_.push_back(AudioPcm{timestampUs_, format, std::move(packet)});
  }
  std::vector<AudioPcm>& records() { return records_; }

 private:
  const int64_t mode_;
  OpusEncoder* const opus_;
  const uint64_t timestampUs_;
  std::vector<AudioPcm> records_;
};

// The PCM a replaced encoder still held, as stereo slices (a mono encoder's samples are duplicated).
Bytes heldByReplaced(OpusEncoder* replaced) {
  if (!replaced) return {};
  Bytes held = replaced->takePending();
  return replaced->channels() == 1 ? monoToStereo(held) : held;
}

}  // namespace

void HostSession::startAudioSendPath(CaptureEngine& capture) { capture.setOnAudio(audioInput()); }

std::function<void(const Bytes&)> HostSession::audioInput() {
  std::weak_ptr<HostSession> weak = weak_from_this();
  return [weak](const Bytes& block) {
    if (auto self = weak.lock()) self->handleAudio(block);
  };
}

void HostSession::handleAudio(ByteView pcm) {
  AudioSendPlan plan;
  Bytes buffer;
  int64_t silentRun = 0;
  std::shared_ptr<OpusEncoder> encoder;
  {
    Locked locked(*this);
    std::vector<std::string> lines;
    plan = planAudioSend(locked.state(), deps_.processFlags.audioHiFi, nowUs(), lines);
    for (auto& line : lines) locked.log(std::move(line));
    if (!plan.send) return;
    auto& media = locked->media;
    // Only this path touches the buffer, the run and the encoder, one call at a time: they are taken
    // out for the work without the mutex and put back after it.
    buffer = std::move(media.audioBuffer);
    silentRun = media.silentPacketRun;
    encoder = media.opusEncoder;
  }

  // Codec: a new encoder whenever the wanted channel count or rate differs from the one in use.
  std::shared_ptr<OpusEncoder> replaced;
  bool broken = false;
  if (plan.opus &&
      (!encoder || encoder->channels() != plan.opus->channels || encoder->bitrate() != plan.opus->bitrate)) {
    std::shared_ptr<OpusEncoder> made = OpusEncoder::create(plan.opus->channels, plan.opus->bitrate);
    replaced = std::exchange(encoder, std::move(made));
    if (encoder) {
      log(std::string("🎼 Opus ") + (plan.mode <= 1 ? "stereo" : "mono") + " " +
          std::to_string(plan.opus->bitrate / 1000) + "k (proven " + std::to_string(plan.levelBps / 1000) + "k)");
    } else {
      broken = true;  // this buffer, and the rest of the session, goes out on the PCM ladder
      log("⚠️ enkoder Opus niedostępny → drabinka PCM");
    }
  } else if (!plan.opus && encoder) {
    replaced = std::exchange(encoder, nullptr);
  }

  AudioPacker packer(plan.mode, encoder.get(), nowUs());
  // What the replaced encoder held was cut and gated before: it goes first, as it is.
  Bytes held = heldByReplaced(replaced.get());
  for (size_t at = 0; at + AudioSlice::bytes <= held.size(); at += AudioSlice::bytes)
    packer.add(ByteView(held).subspan(at, AudioSlice::bytes));

  // A block is whole stereo frames; a ragged tail would shift every later slice off its frames.
  const size_t wholeFrames = pcm.size() - pcm.size() % AudioSlice::frameBytes;
  buffer.insert(buffer.end(), pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(wholeFrames));
  size_t consumed = 0;
  while (buffer.size() - consumed >= AudioSlice::bytes) {
    ByteView slice = ByteView(buffer).subspan(consumed, AudioSlice::bytes);
    consumed += AudioSlice::bytes;
    if (isSilentAudio(slice)) {
      silentRun += 1;
      if (silentRun > AudioSlice::silentSlicesSent) continue;  // the first 100 ms of a silence still go out
    } else {
      silentRun = 0;
    }
    packer.add(slice);
  }
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));

  auto& records = packer.records();
  std::vector<Bytes> packets;
  packets.reserve(records.size());
  int64_t bytes = 0;
  uint32_t seq = 0;
  {
    Locked locked(*this);
    auto& media = locked->media;
    media.audioBuffer = std::move(buffer);
    media.silentPacketRun = silentRun;
    media.opusEncoder = encoder;
    media.opusBroken = media.opusBroken || broken;
    seq = media.audioSeq;
    media.audioSeq += static_cast<uint32_t>(records.size());  // wraps
    for (const auto& record : records) bytes += audioPacketOverhead + static_cast<int64_t>(record.pcm.size());
    locked->diag.diagAudioBytes += bytes;
  }
  for (const auto& record : records) packets.push_back(encodePacket(record, plan.sessionId, seq++));
  auto& flow = plan.transport->audio();
  for (const auto& packet : packets) flow.send(packet);

  int64_t seen = 0, total = 0;
  {
    Locked locked(*this);
    auto& media = locked->media;
    media.audioPacketsTotal += static_cast<int64_t>(packets.size());
    seen = media.audioBuffersSeen;
    total = media.audioPacketsTotal;
  }
  if (seen == 1 || seen % audioLogEvery == 0) {
    log("audio: " + std::to_string(seen) + " buforów SCK, łącznie " + std::to_string(total) + " pakietów, ta paczka " +
        std::to_string(packets.size()) + " (cisza run " + std::to_string(silentRun) + ")");
  }
}

}  // namespace vela
