#include "tests/transport/loopback_host.hpp"

#include <gtest/gtest.h>

#include <random>
#include <system_error>

#include "transport/transport_error.hpp"

namespace vela::testkit {

LoopbackHost::LoopbackHost(tavlo::Scheduler* scheduler)
    : listener_(HostListener::create(scheduler)), logs_(std::make_shared<tavlo::Channel<std::string>>()) {
  listener_->setOnLog([logs = logs_](const std::string& line) { logs->send(line); });
  acceptLoop_ = std::thread([this, listener = listener_] {
    while (auto transport = listener->sessions().receive()) accepted_.send(*transport);
    accepted_.close();
  });
}

LoopbackHost::~LoopbackHost() {
  stop();
  acceptLoop_.join();
}

bool LoopbackHost::start() {
  std::random_device seed;
  std::mt19937 random(seed());
  // Below the kernel's ephemeral range, where client sockets take their ports.
  std::uniform_int_distribution<int> base(12000, 31000);
  std::string lastError;
  for (int attempt = 0; attempt < 64; ++attempt) {
    auto port = static_cast<uint16_t>(base(random));
    try {
      listener_->start(port);
      basePort_ = port;
      return true;
    } catch (const std::system_error& error) {
      lastError = error.what();
    } catch (const TransportError& error) {
      lastError = error.what();
    }
  }
  logs_->send("❌ start nasłuchu: " + lastError);
  return false;
}

void LoopbackHost::stop() { listener_->stop(); }

std::shared_ptr<DirectSessionTransport> LoopbackHost::nextSession(std::chrono::milliseconds timeout) {
  auto transport = receiveWithin(accepted_, timeout);
  return transport ? std::dynamic_pointer_cast<DirectSessionTransport>(*transport) : nullptr;
}

bool LoopbackHost::acceptLoopEnded() {
  return !receiveWithin(accepted_, 5s).has_value() && accepted_.isFinished();
}

std::vector<std::string> LoopbackHost::logLines() {
  std::lock_guard guard(mutex_);
  while (auto line = logs_->tryReceive()) seen_.push_back(*line);
  return seen_;
}

bool LoopbackHost::waitForLog(const std::string& text, std::chrono::milliseconds timeout) {
  const auto& clock = tavlo::SteadyClock::shared();
  uint64_t deadline = clock.nowUs() + static_cast<uint64_t>(timeout.count()) * 1000;
  {
    std::lock_guard guard(mutex_);
    for (const auto& line : seen_)
      if (line.find(text) != std::string::npos) return true;
  }
  while (auto line = logs_->receiveUntil(clock, deadline)) {
    std::lock_guard guard(mutex_);
    seen_.push_back(*line);
    if (line->find(text) != std::string::npos) return true;
  }
  return false;
}

ConnectedPair connectPair(LoopbackHost& host, const std::string& address, DirectDialer dialer) {
  ConnectedPair pair;
  try {
    pair.client = std::dynamic_pointer_cast<DirectSessionTransport>(dialer.connect(address, host.basePort()));
  } catch (const TransportError&) {
    return {};
  }
  pair.host = host.nextSession();
  return pair;
}

bool waitUntil(HostListener& listener, const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    listener.waitIdle();
    if (condition()) {
      listener.waitIdle();  // whatever made it true has finished running on the listener's thread
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
}

}  // namespace vela::testkit

namespace vela::testkit {
namespace {

// After every test, the network threads it started have ended: whatever it opened has closed.
class NetThreadLeakCheck : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { before_ = tavlo::NetThread::liveCount(); }
  void OnTestEnd(const ::testing::TestInfo& info) override {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (tavlo::NetThread::liveCount() > before_ && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(tavlo::NetThread::liveCount(), before_) << info.name() << " left network threads running";
  }
  int before_ = 0;
};

const bool registered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new NetThreadLeakCheck);
  return true;
}();

}  // namespace
}  // namespace vela::testkit
