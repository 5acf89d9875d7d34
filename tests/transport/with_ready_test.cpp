#include "transport/with_ready.hpp"

#include <gtest/gtest.h>

#include "tests/transport/loopback_host.hpp"

namespace vela {
namespace {

TEST(WithReady, TheFirstCallDecidesAndLaterOnesAreIgnored) {
  ReadyHandler kept;
  EXPECT_NO_THROW(withReady([&](ReadyHandler handler) {
    handler(true);
    handler(false);
    kept = handler;
  }));
  kept(false);  // a cancellation long after: nothing to resume

  auto error = testkit::transportErrorOf([] {
    withReady([](ReadyHandler handler) {
      handler(false);
      handler(true);
    });
  });
  ASSERT_EQ(error, TransportError::notReady()) << "a connection that failed first is not ready";
  EXPECT_STREQ(error->what(), "notReady");
}

}  // namespace
}  // namespace vela
