#include "protocol/session_messages.hpp"

#include <algorithm>
#include <limits>

namespace vela {

namespace {
// The host's protocol version, its fixed UDP ports (TCP control is 47700) and its audio format code.
constexpr uint16_t hostProtoVersion = 1;
constexpr uint16_t videoPort = 47701, audioPort = 47702, inputPort = 47703;
constexpr uint8_t hostAudioFormat = 0;
constexpr uint16_t firstGeneration = 1;
}  // namespace

const char* deviceLabel(Platform platform) {
  switch (platform) {
    case Platform::mac: return "Mac";
    case Platform::iPhone: return "iPhone";
    case Platform::iPad: return "iPad";
    case Platform::vision: return "Vision";
  }
  return "?";
}

HostHello HostHello::acceptance(uint32_t sessionId, std::string hostName, bool mbbCapable) {
  return HostHello{hostProtoVersion, true,           RejectReason::ok, sessionId,           videoPort,
                   audioPort,        inputPort,      VideoCodec::hevc8, hostAudioFormat,    firstGeneration,
                   std::move(hostName), mbbCapable};
}

HostHello HostHello::busyRefusal(std::string hostName) {
  return HostHello{hostProtoVersion, false, RejectReason::busy, 0, 0, 0, 0, VideoCodec::hevc8, hostAudioFormat,
                   firstGeneration, std::move(hostName), false};
}

uint32_t HostHello::randomSessionId(tavlo::Random& random) {
  return static_cast<uint32_t>(1 + random.below(std::numeric_limits<uint32_t>::max()));
}

uint16_t Pong::inputAgeMs(std::optional<uint64_t> sinceLastInputUs) {
  if (!sinceLastInputUs) return neverSeen;
  return static_cast<uint16_t>(std::min<uint64_t>(*sinceLastInputUs / 1000, maxAge));
}

}  // namespace vela
