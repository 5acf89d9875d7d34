#include "host/desktop/default_input_guard.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/pulse/fake_audio_devices.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "tests/testkit/release_latch.hpp"

namespace tavlo {
namespace {

AudioSource source(const std::string& name, bool isMonitor = false) { return {name, name, isMonitor, false}; }

struct Fixture {
  FakeAudioDevices devices;
  FakeClock clock;
  DefaultInputGuard guard{devices, clock};
  Fixture() {
    devices.list = {source("speakers.monitor", true), source("usb_mic"), source("TavloMic_UID"), source("webcam_mic")};
    devices.defaultName = "usb_mic";
  }
};

TEST(DefaultInputGuard, EngageAndRestoreMatrix) {
  struct Case {
    const char* why;
    std::string defaultBefore;
    bool micPresent;
    std::string userPicksMeanwhile;  // empty: the user changes nothing while engaged
    std::string defaultWhileEngaged;
    std::string defaultAfter;
  };
  const Case cases[] = {
      {"engaged: the previous default comes back", "usb_mic", true, "", "TavloMic_UID", "usb_mic"},
      {"already the default: nothing to remember or restore", "TavloMic_UID", true, "", "TavloMic_UID",
       "TavloMic_UID"},
      {"the user's choice meanwhile stays", "usb_mic", true, "webcam_mic", "webcam_mic", "webcam_mic"},
      {"no virtual microphone: nothing changes", "usb_mic", false, "", "usb_mic", "usb_mic"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Fixture f;
    if (!c.micPresent) f.devices.list.erase(f.devices.list.begin() + 2);
    f.devices.defaultName = c.defaultBefore;
    f.guard.engage();
    if (!c.userPicksMeanwhile.empty()) f.devices.defaultName = c.userPicksMeanwhile;
    EXPECT_EQ(f.devices.defaultName, c.defaultWhileEngaged);
    f.guard.restore();
    EXPECT_EQ(f.devices.defaultName, c.defaultAfter);
    // Restore forgot the saved device: a second restore changes nothing.
    f.devices.defaultName = "TavloMic_UID";
    f.guard.restore();
    EXPECT_EQ(f.devices.defaultName, "TavloMic_UID");
  }
}

TEST(DefaultInputGuard, EngagingTwiceRemembersTheFirstDefault) {
  Fixture f;
  f.guard.engage();
  f.devices.defaultName = "webcam_mic";
  f.guard.engage();  // already engaged: does not switch or remember again
  EXPECT_EQ(f.devices.defaultName, "webcam_mic");
  f.devices.defaultName = "TavloMic_UID";
  f.guard.restore();
  EXPECT_EQ(f.devices.defaultName, "usb_mic");
}

TEST(DefaultInputGuard, AFailingServerEndsEachOperationSilently) {
  Fixture f;
  f.devices.failDefault = true;
  f.guard.engage();
  EXPECT_EQ(f.devices.defaultChanges, 0);
  f.devices.failDefault = false;
  f.guard.restore();  // nothing was remembered
  EXPECT_EQ(f.devices.defaultChanges, 0);
}

TEST(DefaultInputGuard, RestoreIfStrandedPicksTheFirstOtherInputDevice) {
  Fixture f;
  f.devices.defaultName = "TavloMic_UID";
  f.guard.restoreIfStranded();
  EXPECT_EQ(f.devices.defaultName, "usb_mic");  // the monitor listed first is no input device

  f.devices.defaultName = "usb_mic";
  f.guard.restoreIfStranded();
  EXPECT_EQ(f.devices.defaultChanges, 1);  // not stranded: untouched

  Fixture alone;
  alone.devices.list = {source("speakers.monitor", true), source("TavloMic_UID")};
  alone.devices.defaultName = "TavloMic_UID";
  alone.guard.restoreIfStranded();
  EXPECT_EQ(alone.devices.defaultName, "TavloMic_UID");
  EXPECT_EQ(alone.devices.defaultChanges, 0);
}

TEST(DefaultInputGuard, RunningSomewhereIsAskedAtMostOnceASecond) {
  Fixture f;
  f.devices.list[2].running = true;
  EXPECT_TRUE(f.guard.micRunningSomewhere());
  f.devices.list[2].running = false;
  f.clock.advanceUs(500'000);
  EXPECT_TRUE(f.guard.micRunningSomewhere());  // cached
  EXPECT_EQ(f.devices.sourceQueries, 1);
  f.clock.advanceUs(500'000);
  EXPECT_FALSE(f.guard.micRunningSomewhere());
  EXPECT_EQ(f.devices.sourceQueries, 2);

  // Absent, or the server cannot be asked: counted as in use.
  f.devices.list.erase(f.devices.list.begin() + 2);
  f.clock.advanceUs(1'000'000);
  EXPECT_TRUE(f.guard.micRunningSomewhere());
  f.devices.failSources = true;
  f.clock.advanceUs(1'000'000);
  EXPECT_TRUE(f.guard.micRunningSomewhere());
}

// A sound server that does not answer until the test lets it.
class HungAudioDevices final : public AudioDevices {
 public:
  std::optional<std::vector<AudioSource>> sources() override {
    if (!server.hold()) heldTooLong = true;
    ++queries;
    return std::vector<AudioSource>{{"TavloMic_UID", "Tavlo Mic", false, running}};
  }
  std::optional<std::string> defaultSource() override { return std::nullopt; }
  bool setDefaultSource(const std::string&) override { return false; }

  testkit::ReleaseLatch server;
  std::atomic<bool> running{false};
  std::atomic<int> queries{0};
  std::atomic<bool> heldTooLong{false};
};

TEST(DefaultInputGuard, AHungServerHoldsOnlyTheQuestionAndTheCallerReadsTheLastAnswer) {
  HungAudioDevices devices;
  FakeClock clock;
  SerialExecutor questions("mic questions");
  DefaultInputGuard guard(devices, clock, [&](std::function<void()> job) { questions.post(std::move(job)); });

  EXPECT_TRUE(guard.micRunningSomewhere()) << "no answer yet: counted as in use";
  ASSERT_TRUE(devices.server.waitForEntered());
  clock.advanceUs(5'000'000);
  EXPECT_TRUE(guard.micRunningSomewhere()) << "the question is still with the server";
  devices.server.release();
  questions.sync([] {});
  EXPECT_FALSE(devices.heldTooLong);
  EXPECT_EQ(devices.queries, 1);
  EXPECT_FALSE(guard.micRunningSomewhere()) << "the answer that came, fresh from its arrival";

  devices.running = true;
  clock.advanceUs(DefaultInputGuard::kRunningCacheUs);
  EXPECT_FALSE(guard.micRunningSomewhere()) << "old: the last answer, and one new question";
  questions.sync([] {});
  EXPECT_TRUE(guard.micRunningSomewhere());
  EXPECT_EQ(devices.queries, 2);
  questions.shutdown();
}

// The fixture's server whose first question waits until the test lets it go.
class HeldAudioDevices final : public AudioDevices {
 public:
  std::optional<std::vector<AudioSource>> sources() override {
    if (!server.hold()) heldTooLong = true;
    return inner.sources();
  }
  std::optional<std::string> defaultSource() override { return inner.defaultSource(); }
  bool setDefaultSource(const std::string& name) override { return inner.setDefaultSource(name); }

  FakeAudioDevices inner;
  testkit::ReleaseLatch server;
  std::atomic<bool> heldTooLong{false};
};

TEST(DefaultInputGuard, TheSwitchesWaitForTheServerOnTheBackgroundInTheOrderCalled) {
  HeldAudioDevices devices;
  devices.inner.list = {source("usb_mic"), source("TavloMic_UID")};
  devices.inner.defaultName = "usb_mic";
  FakeClock clock;
  SerialExecutor background("sound server");
  DefaultInputGuard guard(devices, clock, [&](std::function<void()> job) { background.post(std::move(job)); });

  // The caller (the main executor) is back at once while the server holds the engage.
  guard.engage();
  ASSERT_TRUE(devices.server.waitForEntered());
  guard.restore();
  EXPECT_EQ(devices.inner.defaultName, "usb_mic") << "nothing switched while the server is held";
  devices.server.release();
  background.sync([] {});
  EXPECT_FALSE(devices.heldTooLong) << "a step waited for the caller";
  EXPECT_EQ(devices.inner.defaultChanges, 2) << "engaged, then restored";
  EXPECT_EQ(devices.inner.defaultName, "usb_mic");

  // The launch's repair goes the same way.
  devices.inner.defaultName = "TavloMic_UID";
  guard.restoreIfStranded();
  background.sync([] {});
  EXPECT_EQ(devices.inner.defaultName, "usb_mic");
  background.shutdown();
}

}  // namespace
}  // namespace tavlo
