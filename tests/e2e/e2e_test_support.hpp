#pragma once
// Shared pieces of the encryption tests: an identity kept in memory, a thread-safe log collector, packet
// builders and bounded waits on streams (the bound only guards against a hang; nothing sleeps).
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "e2e/e2e_identity.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/secret_store.hpp"
#include "protocol/message_types.hpp"
#include "protocol/transport_interfaces.hpp"

namespace vela::e2etest {

inline std::shared_ptr<const E2EIdentity> memoryIdentity(std::string machine = "test-machine") {
  tavlo::MemorySecretStore secrets;
  tavlo::Settings settings;
  return E2EIdentity::load({secrets, settings, std::nullopt, [machine] { return std::optional<std::string>(machine); }});
}

// Collects log lines from any thread; a test waits for the line that tells it a packet was handled.
class LogLines {
 public:
  tavlo::LogSink sink() {
    return [this](const std::string& line) {
      {
        std::lock_guard guard(mutex_);
        lines_.push_back(line);
      }
      changed_.notify_all();
    };
  }
  // Waits until at least `count` lines have arrived; false after ten seconds.
  bool waitFor(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_.size() >= count; });
  }
  std::vector<std::string> lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// A header and `payloadSize` bytes of 0xA5.
inline Bytes packet(Channel channel, uint8_t msgType, size_t payloadSize = 0, uint32_t seq = 0) {
  ByteWriter writer;
  PacketHeader{channel, msgType, {}, 7, seq}.encode(writer);
  Bytes out = writer.take();
  out.resize(out.size() + payloadSize, 0xA5);
  return out;
}

// The next item of `stream`, or nullopt when it finished or nothing came within ten seconds.
inline std::optional<Bytes> next(PacketStream& stream) {
  const auto& clock = tavlo::SteadyClock::shared();
  return stream.receiveUntil(clock, clock.nowUs() + 10'000'000);
}

inline PacketHeader headerOf(ByteView packet) {
  ByteReader reader(packet);
  return PacketHeader::decode(reader);
}

}  // namespace vela::e2etest
