#include "tests/transport/loopback_host.hpp"

#include <gtest/gtest.h>

#include <random>
#include <system_error>

#include "tests/transport/raw_sockets.hpp"
#include "transport/transport_error.hpp"

namespace vela::testkit {

tavlo::LogSink LogRecorder::sink() const {
  std::weak_ptr<State> weak = state_;
  return [weak](const std::string& line) {
    auto state = weak.lock();
    if (!state) return;
    {
      std::lock_guard guard(state->mutex);
      state->lines.push_back(line);
    }
    state->added.notify_all();
  };
}

std::optional<std::string> LogRecorder::waitFor(const std::string& text, size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  std::optional<std::string> found;
  state_->added.wait_for(lock, timeout, [&] {
    size_t seen = 0;
    for (const std::string& line : state_->lines) {
      if (line.find(text) != std::string::npos && ++seen == count) {
        found = line;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<std::string> LogRecorder::lines() const {
  std::lock_guard guard(state_->mutex);
  return state_->lines;
}

size_t LogRecorder::count(const std::string& text) const {
  std::lock_guard guard(state_->mutex);
  size_t n = 0;
  for (const std::string& line : state_->lines) n += line.find(text) != std::string::npos;
  return n;
}

LoopbackHost::LoopbackHost(tavlo::Scheduler* scheduler) : listener_(HostListener::create(scheduler)) {
  listener_->setOnLog(log.sink());
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
  log.sink()("❌ start nasłuchu: " + lastError);
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

std::optional<TransportError> transportErrorOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const TransportError& error) {
    return error;
  }
  return std::nullopt;
}

bool checkedWithoutIpv6(const std::string& address, DirectDialer dialer) {
  if (!ipv6Missing(address)) return false;
  LoopbackHost host;
  EXPECT_TRUE(host.start()) << "a host without IPv6 listens on IPv4";
  auto error = transportErrorOf([&] { (void)dialer.connect(address, host.basePort()); });
  EXPECT_EQ(error.value_or(TransportError::badEndpoint()).kind(), TransportError::Kind::notReady)
      << "dialing " << address << " without IPv6 is refused: " << (error ? error->describe() : "no error");
  EXPECT_TRUE(connectPair(host, "127.0.0.1", dialer).host) << "IPv4 is served meanwhile";
  return true;
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

namespace {

// After every test, the network threads it started have ended: whatever it opened has closed. (Kept in
// this file, which every program of the kit links for its LogRecorder.)
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
