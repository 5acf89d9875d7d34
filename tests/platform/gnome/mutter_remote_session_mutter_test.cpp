// Mutter's remote-desktop and screen-cast sessions through our D-Bus layer, against a private headless
// mutter: a virtual monitor is announced as a PipeWire node, takes the size its consumer negotiates and
// goes when the session stops; two sessions on one connection each learn their own node.
#include "platform/gnome/mutter_remote_session.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/testkit/headless_mutter.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

struct Monitor {
  std::string connector;
  int64_t width = 0;
  int64_t height = 0;
};

// The monitors mutter shows now, with their current mode.
std::vector<Monitor> currentMonitors(BusConnection& bus) {
  std::vector<Monitor> monitors;
  auto state = bus.call({mutter::kDisplayConfigName, mutter::kDisplayConfigPath, mutter::kDisplayConfigName,
                         "GetCurrentState"});
  if (!state || state->size() < 2) return monitors;
  for (const auto& monitor : (*state)[1].items) {
    for (const auto& mode : monitor.at(1).items) {
      const BusValue* current = mode.at(6).field("is-current");
      if (current && current->asBool()) {
        monitors.push_back({monitor.at(0).at(0).asText(), mode.at(1).asInt(), mode.at(2).asInt()});
      }
    }
  }
  return monitors;
}

bool showsMonitorOf(BusConnection& bus, int64_t width, int64_t height) {
  for (const auto& monitor : currentMonitors(bus)) {
    if (monitor.width == width && monitor.height == height) return true;
  }
  return false;
}

// Polls `condition` for up to 10 s (mutter applies monitor changes on its own loop).
template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 200; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

class MutterRemoteSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mutter_.start(testkit::MonitorSize{1024, 768})) << mutter_.failureText();
    mutter_.applyToThisProcess();
    std::string error;
    bus_ = BusConnection::openSession(&error);
    ASSERT_TRUE(bus_) << error;
  }

  // A consumer that fixes the stream's size, as the capture's will.
  void consume(testkit::ChildProcess& consumer, uint32_t node, int width, int height) {
    ASSERT_TRUE(mutter_.startClient(consumer,
                                    {"gst-launch-1.0", "pipewiresrc", "path=" + std::to_string(node), "!",
                                     "video/x-raw,width=" + std::to_string(width) + ",height=" + std::to_string(height),
                                     "!", "fakesink"},
                                    "consumer-" + std::to_string(node) + ".log"));
  }

  testkit::HeadlessMutter mutter_;
  std::shared_ptr<BusConnection> bus_;
};

TEST_F(MutterRemoteSessionTest, AVirtualMonitorTakesItsConsumersSizeAndGoesWithTheSession) {
  std::string error;
  auto session = MutterRemoteSession::create(bus_, &error);
  ASSERT_TRUE(session) << error;
  auto stream = session->recordVirtual(CastCursorMode::metadata, &error);
  ASSERT_TRUE(stream) << error;
  EXPECT_FALSE(session->nodeOf(*stream));
  ASSERT_TRUE(session->start(5s, &error)) << error << mutter_.logs();
  auto node = session->nodeOf(*stream);
  ASSERT_TRUE(node);
  EXPECT_TRUE(session->alive());

  testkit::ChildProcess consumer;
  consume(consumer, *node, 640, 480);
  EXPECT_TRUE(eventually([&] { return showsMonitorOf(*bus_, 640, 480); })) << mutter_.logs() << consumer.log();
  EXPECT_TRUE(showsMonitorOf(*bus_, 1024, 768));  // the stand-in physical monitor stays

  session->stop();
  EXPECT_FALSE(session->alive());
  EXPECT_TRUE(eventually([&] { return !showsMonitorOf(*bus_, 640, 480); })) << mutter_.logs();
  EXPECT_TRUE(showsMonitorOf(*bus_, 1024, 768));
  session->stop();  // a second stop is harmless
}

TEST_F(MutterRemoteSessionTest, SessionsOnOneConnectionEachLearnTheirOwnNode) {
  std::string error;
  auto first = MutterRemoteSession::create(bus_, &error);
  auto second = MutterRemoteSession::create(bus_, &error);
  ASSERT_TRUE(first && second) << error;
  auto firstStream = first->recordVirtual(CastCursorMode::embedded, &error);
  auto secondStream = second->recordVirtual(CastCursorMode::embedded, &error);
  ASSERT_TRUE(firstStream && secondStream) << error;
  ASSERT_TRUE(first->start(5s, &error)) << error;
  // The second session's announcement must not be taken for the first's, nor the other way round.
  EXPECT_FALSE(second->nodeOf(*firstStream));
  ASSERT_TRUE(second->start(5s, &error)) << error;
  ASSERT_TRUE(first->nodeOf(*firstStream) && second->nodeOf(*secondStream));
  EXPECT_NE(*first->nodeOf(*firstStream), *second->nodeOf(*secondStream));

  testkit::ChildProcess a, b;
  consume(a, *first->nodeOf(*firstStream), 800, 600);
  consume(b, *second->nodeOf(*secondStream), 640, 360);
  EXPECT_TRUE(eventually([&] { return showsMonitorOf(*bus_, 800, 600) && showsMonitorOf(*bus_, 640, 360); }))
      << mutter_.logs();
  first.reset();  // the destructor stops the session
  EXPECT_TRUE(eventually([&] { return !showsMonitorOf(*bus_, 800, 600); }));
  EXPECT_TRUE(showsMonitorOf(*bus_, 640, 360));
}

TEST_F(MutterRemoteSessionTest, AStoppedSessionRefusesNewMonitorsWithMuttersAnswer) {
  std::string error;
  auto session = MutterRemoteSession::create(bus_, &error);
  ASSERT_TRUE(session) << error;
  ASSERT_TRUE(session->recordVirtual(CastCursorMode::embedded, &error)) << error;
  ASSERT_TRUE(session->start(5s, &error)) << error;
  session->stop();
  error.clear();
  EXPECT_FALSE(session->recordVirtual(CastCursorMode::embedded, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tavlo
