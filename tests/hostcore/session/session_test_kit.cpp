#include "tests/hostcore/session/session_test_kit.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "e2e/encrypted_transport.hpp"
#include "hostcore/session/session_threads.hpp"
#include "tests/e2e/e2e_test_support.hpp"

namespace vela::testkit {

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

std::optional<Bytes> SessionClient::nextPacket() {
  if (!held_.empty()) {
    Bytes packet = std::move(held_.front());
    held_.pop_front();
    return packet;
  }
  return receiveWithin(transport_->control().incoming());
}

std::optional<PacketHeader> SessionClient::nextHeader() {
  auto packet = nextPacket();
  if (!packet) return std::nullopt;
  return RawPacket::decode(*packet).header;
}

bool SessionClient::roundTrip() {
  uint64_t mark = nextMark_++;
  send(Ping{mark});
  while (auto packet = receiveWithin(transport_->control().incoming())) {
    auto raw = RawPacket::decode(*packet);
    if (raw.header.msgType == ControlType::pong && raw.decodePayload<Pong>().t1 == mark) return true;
    held_.push_back(std::move(*packet));
  }
  return false;
}

SessionRig::SessionRig() {
  deps.scheduler = std::shared_ptr<tavlo::Scheduler>(time_, &time_->scheduler);
  deps.settings = std::make_shared<tavlo::Settings>();
  deps.random = std::make_shared<tavlo::SeededRandom>(13);
  deps.displayGate = std::make_shared<DisplayGate>();
  deps.rungMemory = std::make_shared<RungMemory>();
  deps.clipTempFolder = clipFolder_.path();
  deps.engines = std::make_shared<EngineFactory>(captureBackend, encoderBackend, time_->clock, deps.settings);
  deps.injectors = [poster = poster, time = time_] { return std::make_shared<InputInjector>(poster, time->clock); };
}

void SessionRig::useEncoderBackend(std::shared_ptr<tavlo::FakeEncoder> backend) {
  encoderBackend = std::move(backend);
  deps.engines = std::make_shared<EngineFactory>(captureBackend, encoderBackend, time_->clock, deps.settings);
}

std::shared_ptr<EncoderEngine> SessionRig::makeEncoder(int64_t width, int64_t height) {
  return deps.engines->makeEncoderEngine(width, height, 60, 8'000'000, 2.0, [](const EncodedFrame&) {});
}

SessionRig::~SessionRig() {
  session.reset();
  pair.host->close();
  EXPECT_TRUE(eventually([] { return liveSessionThreads() == 0; })) << "a session loop is still running";
}

void SessionRig::encrypt() {
  auto identity = e2etest::memoryIdentity();
  hostTransport = EncryptedTransport::host(pair.host, identity, true, log.sink());
  auto clientSide = EncryptedTransport::client(pair.client, e2etest::publicKeyOf(*identity),
                                               [](auto&&...) { return true; }, log.sink());
  EXPECT_TRUE(clientSide->isEncrypted());
  client = SessionClient(clientSide);
}

SessionConfig SessionRig::config() {
  SessionConfig c;
  c.transport = hostTransport;
  c.display = display;
  c.hostName = "Studio Host";
  c.onLog = log.sink();
  return c;
}

std::shared_ptr<HostSession> SessionRig::make(std::optional<SessionConfig> c) {
  session = HostSession::create(c ? std::move(*c) : config(), deps);
  return session;
}

std::shared_ptr<HostSession> SessionRig::started(std::optional<SessionConfig> c) {
  make(std::move(c))->start();
  return session;
}

bool SessionRig::hello(uint16_t windowPxW, uint16_t windowPxH) {
  ClientHello hello;
  hello.platform = Platform::iPad;
  hello.windowPxW = windowPxW;
  hello.windowPxH = windowPxH;
  hello.deviceName = "Studio";
  client.send(hello);
  return client.roundTrip();
}

namespace {

// After every test, the session threads it started have ended.
class SessionThreadLeakCheck : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { before_ = liveSessionThreads(); }
  void OnTestEnd(const ::testing::TestInfo& info) override {
    EXPECT_TRUE(eventually([&] { return liveSessionThreads() <= before_; }))
        << info.name() << " left session threads running";
  }
  int before_ = 0;
};

const bool registered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new SessionThreadLeakCheck);
  return true;
}();

}  // namespace
}  // namespace vela::testkit
