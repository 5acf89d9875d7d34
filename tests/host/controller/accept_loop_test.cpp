#include "host/controller/accept_loop.hpp"

#include <gtest/gtest.h>

#include <future>

#include "tests/host/controller/controller_test_kit.hpp"
#include "tests/testkit/memory_transport.hpp"

namespace tavlo {
namespace {

using controllertest::FakeListener;
using controllertest::Trace;

std::shared_ptr<vela::SessionTransport> transportFrom(const std::string& description) {
  vela::testkit::MemorySessionTransport::Options options;
  options.description = description;
  return std::make_shared<vela::testkit::MemorySessionTransport>(options);
}

TEST(AcceptLoop, HandsTransportsOverOneAtATimeInArrivalOrder) {
  Trace trace;
  auto listener = std::make_shared<FakeListener>(trace);
  MainExecutor main;
  std::vector<std::string> handed;
  AcceptLoop loop(listener, main, [&](std::shared_ptr<vela::SessionTransport> transport) {
    handed.push_back(transport->remoteDescription());
    if (handed.size() == 1) {
      EXPECT_EQ(listener->stream.size(), 1u) << "the second transport waits until this hand-over returns";
    } else {
      main.quit(0);
    }
  });
  listener->stream.send(transportFrom("192.0.2.1:1"));
  listener->stream.send(transportFrom("192.0.2.2:2"));
  main.run();
  EXPECT_EQ(handed, (std::vector<std::string>{"192.0.2.1:1", "192.0.2.2:2"}));
  loop.stop();
  EXPECT_EQ(trace, (Trace{"listener stop"}));
}

TEST(AcceptLoop, StopsWhileAHandOverWaitsForAMainExecutorThatDoesNotRun) {
  Trace trace;
  auto listener = std::make_shared<FakeListener>(trace);
  MainExecutor main;
  std::promise<void> posted;
  main.setWakeHook([&] { posted.set_value(); });
  int handed = 0;
  auto loop = std::make_unique<AcceptLoop>(listener, main, [&](auto) { ++handed; });
  listener->stream.send(transportFrom("192.0.2.1:1"));
  posted.get_future().wait();
  loop.reset();  // returns although the hand-over never ran
  main.close();
  EXPECT_EQ(handed, 0);
}

}  // namespace
}  // namespace tavlo
