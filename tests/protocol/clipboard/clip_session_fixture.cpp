#include "tests/protocol/clipboard/clip_session_fixture.hpp"

#include <stdexcept>

#include "platform/runtime/private_files.hpp"
#include "protocol/wire_payload.hpp"

namespace vela::testing {

ClipSession::ClipSession(tavlo::Scheduler& scheduler, std::filesystem::path tempFolder, FakeControlChannel& control)
    : clock_(scheduler.clock()),
      control_(control),
      engine_(std::make_unique<ClipboardTransfer>(scheduler, std::move(tempFolder))) {
  ClipboardCallbacks callbacks;
  callbacks.onSendData = [this](const ClipData& piece) {
    Bytes packet = encodePacket(piece, /*sessionId=*/0, /*seq=*/0);
    control_.send(packet);
    if (afterSend) afterSend(piece);
  };
  callbacks.sendCredit = [this] { return control_.outstandingBytes(); };
  callbacks.onComplete = [this](uint64_t clipId, const std::string& uti, const std::string& name,
                                const ClipPayload& payload) {
    CompletedClip clip{clipId, uti, name, payload};
    {
      std::lock_guard guard(mutex_);
      completed_.push_back(clip);
    }
    if (afterComplete) afterComplete(clip);
  };
  callbacks.onFailed = [this](uint64_t clipId) {
    std::lock_guard guard(mutex_);
    failed_.push_back(clipId);
  };
  callbacks.onProgress = [this](uint64_t, ClipDir dir, uint32_t done, uint32_t total) {
    std::lock_guard guard(mutex_);
    progress_.push_back({dir, done, total});
  };
  callbacks.onLog = [this](const std::string& line) {
    std::lock_guard guard(mutex_);
    logLines_.push_back(line);
  };
  engine_->setCallbacks(std::move(callbacks));
}

std::optional<uint64_t> ClipSession::announceClipboard(const std::string& uti, const std::string& name,
                                                       ClipPayload payload) {
  const uint64_t clipId = ++clipCounter_;
  auto announce = engine_->announce(clipId, uti, name, std::move(payload));
  if (!announce) return std::nullopt;
  control_.send(encodePacket(*announce, 0, 0));
  return clipId;
}

void ClipSession::requestClip(uint64_t clipId, uint32_t fromOffset) {
  control_.send(encodePacket(ClipRequest{clipId, fromOffset}, 0, 0));
}

void ClipSession::handleControlPacket(ByteView packet) {
  RawPacket raw = RawPacket::decode(packet);
  switch (raw.header.msgType) {
    case ClipAnnounce::msgType: {
      auto announce = raw.decodePayload<ClipAnnounce>();
      engine_->handleAnnounce(announce);
      std::lock_guard guard(mutex_);
      announcements_.push_back(announce);
      break;
    }
    case ClipRequest::msgType:
      engine_->handleRequest(raw.decodePayload<ClipRequest>());
      break;
    case ClipData::msgType: {
      auto piece = raw.decodePayload<ClipData>();
      {
        std::lock_guard guard(mutex_);
        arrived_.push_back({piece.clipId, piece.total, piece.offset, piece.chunk.size(), clock_.nowUs() - startUs});
      }
      engine_->handleData(piece);
      break;
    }
    default:
      break;
  }
}

#define RECORD_GETTER(type, name, field) \
  type ClipSession::name() const {       \
    std::lock_guard guard(mutex_);       \
    return field;                        \
  }
RECORD_GETTER(std::vector<ClipAnnounce>, announcements, announcements_)
RECORD_GETTER(std::vector<CompletedClip>, completed, completed_)
RECORD_GETTER(std::vector<uint64_t>, failed, failed_)
RECORD_GETTER(std::vector<ProgressReport>, progress, progress_)
RECORD_GETTER(std::vector<ArrivedPiece>, arrived, arrived_)
RECORD_GETTER(std::vector<std::string>, logLines, logLines_)
#undef RECORD_GETTER

ClipSessionPair::ClipSessionPair()
    : host(scheduler, dir / "host" / "tl-clip", hostToClient),
      client(scheduler, dir / "client" / "tl-clip", clientToHost),
      startUs(clock.nowUs()) {
  host.startUs = startUs;
  client.startUs = startUs;
}

bool ClipSessionPair::pumpOnce() {
  bool moved = false;
  while (auto packet = hostToClient.incoming().tryReceive()) {
    client.handleControlPacket(*packet);
    moved = true;
  }
  while (auto packet = clientToHost.incoming().tryReceive()) {
    host.handleControlPacket(*packet);
    moved = true;
  }
  return moved;
}

void ClipSessionPair::settle() {
  do {
    scheduler.runDue();
    host.engine().waitForPacer();
    client.engine().waitForPacer();
  } while (pumpOnce());
}

void ClipSessionPair::step() {
  scheduler.advanceBy(ClipboardTransfer::tickUs);
  settle();
}

int ClipSessionPair::runUntilIdle(int maxTicks) {
  settle();
  int ticks = 0;
  while ((host.engine().isPacing() || client.engine().isPacing()) && ticks < maxTicks) {
    step();
    ++ticks;
  }
  return ticks;
}

Bytes pattern(size_t size, uint32_t seed) {
  Bytes bytes(size);
  uint32_t x = seed * 2'654'435'761u + 1;
  for (auto& b : bytes) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return bytes;
}

std::filesystem::path writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::filesystem::create_directories(path.parent_path());
  if (auto error = tavlo::writeFileAtomically(path, bytes)) throw std::runtime_error(*error);
  return path;
}

std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) files.push_back(entry.path());
  return files;
}

std::vector<size_t> pieceSizes(const std::vector<ArrivedPiece>& pieces) {
  std::vector<size_t> sizes;
  for (const auto& piece : pieces) sizes.push_back(piece.size);
  return sizes;
}

ClipAnnounce announcement(uint64_t clipId, uint32_t size, std::string name) {
  return ClipAnnounce{clipId, "public.data", size, std::move(name), std::nullopt};
}

}  // namespace vela::testing
