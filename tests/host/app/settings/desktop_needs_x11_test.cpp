// The X11 backend's check of what the settings window shows as its needs, against a real dummy Xorg
// and against a display nobody serves.
#include <gtest/gtest.h>

#include "host/app/x11_desktop_needs.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

TEST(X11DesktopNeeds, TheCaptureCheckFindsTheDisplayAndItsSharedMemoryOrSaysWhatIsMissing) {
  testkit::XorgServer xorg;
  ASSERT_TRUE(xorg.start()) << xorg.failureText();
  const X11CaptureCheck there = checkX11Capture(xorg.display());
  EXPECT_TRUE(there.met);
  EXPECT_EQ(there.found, "display " + xorg.display() + ", MIT-SHM");

  const X11CaptureCheck nobody = checkX11Capture(":987");
  EXPECT_FALSE(nobody.met);
  EXPECT_EQ(nobody.found, "no X display :987 to open");

  // Asked through the settings window's hook: on the worker, answered on the main executor.
  MainExecutor main;
  auto worker = std::make_shared<SerialExecutor>("tavlo.test");
  auto needs = x11DesktopNeeds(xorg.display(), worker, main, [] {});
  EXPECT_EQ(needs.input.title, "XTEST extension (the client's input)");
  std::optional<std::pair<bool, std::string>> answer;
  needs.checkCapture([&](bool met, std::string found) {
    answer.emplace(met, found);
    main.quit(0);
  });
  main.run();
  ASSERT_TRUE(answer);
  EXPECT_TRUE(answer->first);
  worker->shutdown();
}

}  // namespace
}  // namespace tavlo
