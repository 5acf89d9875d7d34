#include "host/controller/service_process.hpp"

#include <gtest/gtest.h>

namespace tavlo {
namespace {

TEST(ServiceProcess, OnlyTheProcessSystemdStartedForTheUnitIsItsMainProcess) {
  const std::string_view unit = "tavlo-host-login-keepalive.service";
  const std::string_view inUnit =
      "0::/user.slice/user-1000.slice/user@1000.service/app.slice/tavlo-host-login-keepalive.service\n";
  const std::string_view byHand = "0::/user.slice/user-1000.slice/session-2.scope\n";
  struct Case {
    const char* why;
    ServiceProcessFacts facts;
    bool main;
  };
  const Case cases[] = {
      {"started by systemd for the unit", {"5f3c", "4242", 4242, inUnit}, true},
      {"an older systemd that sets no exec pid", {"5f3c", nullptr, 4242, inUnit}, true},
      {"started by hand while the unit is enabled", {nullptr, nullptr, 4242, byHand}, false},
      {"started by hand from a shell that systemd started for another unit", {"77aa", "100", 4242, byHand}, false},
      {"a child of the unit's process", {"5f3c", "4000", 4242, inUnit}, false},
      {"an exec pid that is not a number", {"5f3c", "42x", 4242, inUnit}, false},
      {"an empty invocation id", {"", "4242", 4242, inUnit}, false},
      {"the plain login unit", {"5f3c", "4242", 4242, "0::/app.slice/tavlo-host-login.service\n"}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(isMainProcessOfUnit(unit, c.facts), c.main) << c.why;
}

}  // namespace
}  // namespace tavlo
