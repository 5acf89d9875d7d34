#pragma once
// Shared pieces of the encryption tests: identities kept in memory or in a temporary home, a thread-safe
// log collector, packet builders and bounded waits on streams (the bound only guards against a hang;
// nothing sleeps).
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "e2e/e2e_identity.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/private_files.hpp"
#include "platform/runtime/secret_store.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/message_types.hpp"
#include "protocol/transport_interfaces.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace vela::e2etest {

inline constexpr const char* machineA = "4c4c4544003957108052b4c04f384833";
inline constexpr const char* machineB = "0b5e8b4a1f7f4e1c9a2d55aa00c0ffee";

inline std::shared_ptr<const E2EIdentity> memoryIdentity(std::string machine = "test-machine") {
  tavlo::MemorySecretStore secrets;
  tavlo::Settings settings;
  return E2EIdentity::load({secrets, settings, std::nullopt, [machine] { return std::optional<std::string>(machine); }});
}

inline Bytes publicKeyOf(const E2EIdentity& identity) {
  return Bytes(identity.signingPublicKey().begin(), identity.signingPublicKey().end());
}

inline bool trustAll(const tavlo::Uuid&, ByteView, const tavlo::LogSink&) { return true; }

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

// One host's stores in a temporary home: a file-backed secret store, the mirror file beside it and an
// in-memory user defaults; `platform` is what the machine id reads, `account` the user the host is for.
struct HostStores {
  tavlo::testkit::TempDir home;
  LogLines log;  // what the stores and the identity logged
  tavlo::FileSecretStore secrets{home / "data/tavlo/secrets", log.sink()};
  tavlo::Settings settings;
  std::optional<std::string> platform = machineA;

  uid_t account = E2EIdentity::firstAccountUid;

  std::filesystem::path mirrorPath() const { return home / "data/tavlo/secrets/e2e-identity.bin"; }
  // Where earlier builds kept the mirror.
  std::filesystem::path formerMirrorPath() const { return home / "data/tavlo/e2e-identity.bin"; }
  std::shared_ptr<const E2EIdentity> open() {
    return E2EIdentity::load(
        {secrets, settings, mirrorPath(), [this] { return platform; }, log.sink(), account, formerMirrorPath()});
  }
  std::optional<Bytes> secret() const {
    return secrets.read(E2EIdentity::keychainService(), std::string(E2EIdentity::keychainAccount));
  }
  void setSecret(std::optional<Bytes> blob) {
    if (blob) secrets.write(E2EIdentity::keychainService(), std::string(E2EIdentity::keychainAccount), *blob);
    else secrets.remove(E2EIdentity::keychainService(), std::string(E2EIdentity::keychainAccount));
  }
  std::optional<Bytes> mirror() const { return tavlo::readWholeFile(mirrorPath()); }
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
