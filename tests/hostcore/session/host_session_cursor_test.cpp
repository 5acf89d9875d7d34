// The cursor's visibility in the captured frames follows the owner's calls in the order they were made.
#include <gtest/gtest.h>

#include <future>

#include "tests/hostcore/session/streaming_session.hpp"

namespace vela {
namespace {

using namespace std::chrono_literals;
using testkit::SessionRig;

// The cursor visibility of each configuration the capture stream took after the one it started with.
std::vector<bool> cursorUpdates(SessionRig& rig) {
  std::vector<bool> shown;
  const auto configurations = rig.captureBackend->streams().back().configurations;
  for (size_t i = 1; i < configurations.size(); ++i) shown.push_back(configurations[i].showsCursor);
  return shown;
}

TEST(HostSessionCursor, QuickTogglesTakeEffectInCallOrderWithTheLastOneWinning) {
  SessionRig rig;
  rig.make();
  testkit::makeStreaming(rig);
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  rig.captureBackend->beforeNextUpdate([&entered, released] {
    entered.set_value();
    released.wait();
  });
  rig.session->setCursorVisible(true);
  ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
  // While the first one is being applied the user toggles on and off: only the last wish counts.
  for (int i = 0; i < 10; ++i) {
    rig.session->setCursorVisible(false);
    rig.session->setCursorVisible(true);
  }
  rig.session->setCursorVisible(false);
  release.set_value();
  ASSERT_TRUE(testkit::eventually([&] { return !rig.probe([](SessionState& s) { return s.engines.cursorApplying; }); }));
  EXPECT_EQ(cursorUpdates(rig), (std::vector<bool>{true, false}));

  rig.session->setCursorVisible(true);  // a later call starts applying again
  ASSERT_TRUE(testkit::eventually([&] { return cursorUpdates(rig).size() == 3; }));
  EXPECT_EQ(cursorUpdates(rig).back(), true);
}

}  // namespace
}  // namespace vela
