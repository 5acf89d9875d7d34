#pragma once
// What a streaming session does for its clipboard engine, as a test fixture: two sessions wired back
// to back through in-memory control channels, timed by a ManualScheduler.
#include <atomic>
#include <functional>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/scheduler.hpp"
#include "protocol/clipboard/clipboard_transfer.hpp"
#include "protocol/transport_interfaces.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace vela::testing {

// A control channel whose packets wait until the test pumps them, with a backlog the test sets.
class FakeControlChannel final : public ReliableChannel {
 public:
  void send(ByteView packet) override { incoming_.send(Bytes(packet.begin(), packet.end())); }
  PacketStream& incoming() override { return incoming_; }
  int64_t outstandingBytes() const override { return outstanding_.load(); }
  void setOutstandingBytes(int64_t bytes) { outstanding_.store(bytes); }

 private:
  PacketStream incoming_;
  std::atomic<int64_t> outstanding_{0};
};

struct CompletedClip {
  uint64_t clipId;
  std::string uti;
  std::string name;
  ClipPayload payload;
};

struct ProgressReport {
  ClipDir dir;
  uint32_t done;
  uint32_t total;
  friend bool operator==(const ProgressReport&, const ProgressReport&) = default;
};

struct ArrivedPiece {
  uint64_t clipId;
  uint32_t total;
  uint32_t offset;
  size_t size;
  uint64_t atUs;  // since the pair was made
  friend bool operator==(const ArrivedPiece&, const ArrivedPiece&) = default;
};

// One side's session: its clip counter, its engine and the clipboard cases of its control loop.
class ClipSession {
 public:
  ClipSession(tavlo::Scheduler& scheduler, std::filesystem::path tempFolder, FakeControlChannel& control);

  // The session's announceClipboard: the next clip id, provide, then the announcement (with the bytes
  // inline for a memory item of at most 8,192 bytes). Nothing when the engine refuses the item.
  std::optional<uint64_t> announceClipboard(const std::string& uti, const std::string& name, ClipPayload payload);
  // What the controller does to fetch an announced item.
  void requestClip(uint64_t clipId, uint32_t fromOffset = 0);
  // One packet of the control loop.
  void handleControlPacket(ByteView packet);
  void close() { engine_->reset(); }

  ClipboardTransfer& engine() { return *engine_; }

  // What reached the session's own clipboard callbacks (guarded: the pacer calls from its thread).
  std::vector<ClipAnnounce> announcements() const;
  std::vector<CompletedClip> completed() const;
  std::vector<uint64_t> failed() const;
  std::vector<ProgressReport> progress() const;
  std::vector<ArrivedPiece> arrived() const;
  std::vector<std::string> logLines() const;

  uint64_t startUs = 0;
  // Test hooks, set before any traffic: after a piece went out (on the pacer's thread), and after an
  // item completed (what the controller's completion handler would do, such as a rendezvous delivery).
  std::function<void(const ClipData&)> afterSend;
  std::function<void(const CompletedClip&)> afterComplete;

 private:
  const tavlo::Clock& clock_;
  FakeControlChannel& control_;
  std::unique_ptr<ClipboardTransfer> engine_;
  uint64_t clipCounter_ = 0;

  mutable std::mutex mutex_;
  std::vector<ClipAnnounce> announcements_;
  std::vector<CompletedClip> completed_;
  std::vector<uint64_t> failed_;
  std::vector<ProgressReport> progress_;
  std::vector<ArrivedPiece> arrived_;
  std::vector<std::string> logLines_;
};

// Host and client back to back. `pump` delivers what each side sent to the other; `step` moves time by
// one pacer tick and lets both pacers run first.
class ClipSessionPair {
 public:
  ClipSessionPair();

  // Lets both pacers run what is due now and delivers packets both ways until nothing moves.
  void settle();
  // One 20 ms tick, then settle.
  void step();
  void steps(int count) {
    for (int i = 0; i < count; ++i) step();
  }
  // Ticks until neither pacer runs (at most `maxTicks`); returns the ticks taken.
  int runUntilIdle(int maxTicks = 100'000);

  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler{clock};
  tavlo::testkit::TempDir dir;
  FakeControlChannel hostToClient, clientToHost;
  ClipSession host, client;
  const uint64_t startUs;

 private:
  bool pumpOnce();
};

// Test data and shorthands shared by the clipboard tests.
inline constexpr uint64_t ms = 1'000;
// Deterministic bytes that differ from seed to seed.
Bytes pattern(size_t size, uint32_t seed = 1);
std::filesystem::path writeFile(const std::filesystem::path& path, const Bytes& bytes);
std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder);
std::vector<size_t> pieceSizes(const std::vector<ArrivedPiece>& pieces);
ClipAnnounce announcement(uint64_t clipId, uint32_t size, std::string name);

}  // namespace vela::testing
