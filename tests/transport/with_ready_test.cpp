#include "transport/with_ready.hpp"

#include <gtest/gtest.h>

#include "transport/transport_error.hpp"

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

  try {
    withReady([](ReadyHandler handler) {
      handler(false);
      handler(true);
    });
    FAIL() << "a connection that failed first is not ready";
  } catch (const TransportError& error) {
    EXPECT_EQ(error, TransportError::notReady());
    EXPECT_STREQ(error.what(), "notReady");
  }
}

TEST(WithReady, WaitsForAHandlerCalledFromAnotherThread) {
  std::thread later;
  withReady([&](ReadyHandler handler) { later = std::thread([handler] { handler(true); }); });
  later.join();
}

}  // namespace
}  // namespace vela
