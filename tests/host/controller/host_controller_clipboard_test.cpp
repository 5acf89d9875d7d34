// The host's pasteboard through the controller's own session wiring and a real pasteboard bridge: which
// session the host's copies reach while other sessions wait, are refused, time out or bring a second
// path, and how the bridge follows admission.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/controller/host_controller.hpp"
#include "host/controller/pasteboard_bridge.hpp"
#include "platform/pasteboard/fake_pasteboard.hpp"
#include "tests/host/controller/controller_test_kit.hpp"
#include "tests/testkit/memory_transport.hpp"

namespace tavlo {
namespace {

using controllertest::ControllerRig;
using controllertest::FakeSession;

struct ClipboardRig {
  ControllerRig rig;
  FakePasteboard board;
  std::shared_ptr<SerialExecutor> reads = std::make_shared<SerialExecutor>("test.clip.read");
  std::shared_ptr<PasteboardBridge> bridge;
  std::shared_ptr<HostController> controller;

  ClipboardRig() {
    HostController::Dependencies deps = rig.dependencies();
    bridge = PasteboardBridge::create({board, rig.main, rig.scheduler, [](const std::string&) {},
                                       [] { return std::optional<vela::Platform>(); }, rig.dir / "out", reads});
    deps.seams.clipboard = bridge->seams();
    controller = rig.make(std::move(deps));
    rig.main.post([c = controller] { c->start(); });
    rig.main.runUntilIdle();
  }
  ~ClipboardRig() {
    controller.reset();
    bridge.reset();
  }

  // Another program copies `text` and the bridge's next poll has run.
  void copy(const std::string& text) {
    PasteboardContent content;
    content.text = text;
    board.copyFromOutside(std::move(content));
    rig.scheduler.advanceBy(PasteboardBridge::pollIntervalUs);
    rig.main.runUntilIdle();
    reads->sync([] {});
    rig.main.runUntilIdle();
  }
  // A wired session whose hello is still to come.
  std::shared_ptr<FakeSession> waiting() { return rig.wireSession(*controller); }
  // The session ends on its own (refused, timed out or cancelled) and nothing holds it any more.
  void ends(std::shared_ptr<FakeSession>& session) {
    session->callbacks.onDisconnect();
    rig.main.runUntilIdle();
    std::erase(rig.sessions, session);
    session.reset();
  }
  static std::vector<std::string> texts(const FakeSession& session) {
    std::vector<std::string> out;
    for (const auto& a : session.announced) {
      const ByteView bytes = a.payload.bytes();
      out.emplace_back(bytes.begin(), bytes.end());
    }
    return out;
  }
};

using Texts = std::vector<std::string>;

TEST(ControllerClipboard, TheAdmittedClientKeepsTheClipboardWhileOtherSessionsWaitAreRefusedOrTimeOut) {
  ClipboardRig c;
  auto live = c.rig.admitSession(*c.controller, "device-A");
  c.copy("first");
  ASSERT_EQ(ClipboardRig::texts(*live), (Texts{"first"}));

  // A second client's session waits for its hello: the host's copies are not its to see.
  auto refused = c.waiting();
  c.copy("while B waits");
  EXPECT_TRUE(refused->announced.empty()) << "a session that was never admitted got the host's copy";
  EXPECT_EQ(ClipboardRig::texts(*live).back(), "while B waits");

  // Its automatic hello is refused and it ends.
  bool admitted = true;
  c.controller->approveTakeover("device-B", false, refused, [&](bool answer) { admitted = answer; });
  c.rig.main.runUntilIdle();
  ASSERT_FALSE(admitted);
  c.ends(refused);
  c.copy("after the refusal");
  EXPECT_EQ(ClipboardRig::texts(*live).back(), "after the refusal") << "a refused hello ended the live client's sharing";

  // A session whose hello never comes times out.
  auto silent = c.waiting();
  c.ends(silent);
  c.copy("after the time-out");
  EXPECT_EQ(ClipboardRig::texts(*live).back(), "after the time-out") << "a timed-out hello ended the live client's sharing";

  // A second path of the live client arrives as a session of its own and is handed to the primary.
  live->id = 7;
  auto secondPath = c.waiting();
  vela::testkit::MemorySessionTransport::Options options;
  options.description = "100.64.0.9:5000";
  secondPath->donated = std::make_shared<vela::testkit::MemorySessionTransport>(options);
  vela::MbbAttach attach;
  attach.sessionId = 7;
  secondPath->callbacks.onMbbAttach(attach, nullptr);
  c.rig.main.runUntilIdle();
  ASSERT_EQ(live->calls.back(), "attach 100.64.0.9:5000 7");
  c.copy("during the path switch");
  EXPECT_TRUE(secondPath->announced.empty());
  c.ends(secondPath);
  c.copy("after the path switch");
  EXPECT_EQ(ClipboardRig::texts(*live),
            (Texts{"first", "while B waits", "after the refusal", "after the time-out", "during the path switch",
                   "after the path switch"}));
}

TEST(ControllerClipboard, TheClipboardMovesOnlyWithAdmissionAndStopsWithTheActiveSession) {
  ClipboardRig c;
  auto first = c.rig.admitSession(*c.controller, "device-A");
  // The first client announced an item the bridge now waits for.
  first->callbacks.onClipAnnounce(3, PasteboardBridge::textUti, 100'000, "", std::nullopt);
  c.rig.main.runUntilIdle();
  ASSERT_EQ(c.bridge->pendingCount(), 1u);

  // Another device's client is admitted in its place: the bridge follows it, the first one's item fails.
  auto second = c.rig.admitSession(*c.controller, "device-B");
  ASSERT_EQ(c.controller->session(), second);
  EXPECT_EQ(c.bridge->pendingCount(), 0u);
  c.copy("for B");
  EXPECT_EQ(ClipboardRig::texts(*second), (Texts{"for B"}));
  EXPECT_TRUE(first->announced.empty());

  // The displaced session's late report reaches nothing.
  first->callbacks.onClipAnnounce(4, PasteboardBridge::textUti, 100'000, "", std::nullopt);
  c.rig.main.runUntilIdle();
  EXPECT_EQ(c.bridge->pendingCount(), 0u);

  second->callbacks.onDisconnect();
  c.rig.main.runUntilIdle();
  c.copy("nobody's");
  EXPECT_EQ(ClipboardRig::texts(*second), (Texts{"for B"})) << "sharing ends with the active session";
}

TEST(ControllerClipboard, AFileTheClientCopiedGoesWithTheSessionAlsoAtTheProgramsEnd) {
  ClipboardRig c;
  auto session = c.rig.admitSession(*c.controller, "device-A");
  const auto received = c.rig.dir / "received.part";
  std::ofstream(received) << "pdf";
  session->callbacks.onClipAnnounce(5, PasteboardBridge::fileUti, 3, "report.pdf", std::nullopt);
  session->callbacks.onClipComplete(5, PasteboardBridge::fileUti, "report.pdf", vela::ClipPayload::file(received));
  c.rig.main.runUntilIdle();
  ASSERT_EQ(c.board.files().size(), 1u);
  const auto placed = c.board.files()[0];
  ASSERT_TRUE(std::filesystem::exists(placed));

  c.controller->closeSessionsForExit();
  EXPECT_FALSE(std::filesystem::exists(placed)) << "the session's file outlived the host";
}

}  // namespace
}  // namespace tavlo
