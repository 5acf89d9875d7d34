#include "media/diagnostics/signposts.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace vela {
namespace {

TEST(Signposts, AHookSeesIntervalsAndEventsWithTheirIdentifiersAndNothingAfterItIsRemoved) {
  std::vector<Signposts::Record> records;
  Signposts::setHook([&](const Signposts::Record& r) { records.push_back(r); });
  auto state = Signposts::video().begin("encode");
  Signposts::video().end("encode", state);
  Signposts::render().event("frame", "late 3 ms");
  Signposts::setHook({});
  Signposts::video().event("ignored");
  Signposts::video().end("encode", Signposts::video().begin("encode"));  // without a hook: nothing, no crash

  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].kind, Signposts::Kind::intervalBegin);
  EXPECT_EQ(records[1].kind, Signposts::Kind::intervalEnd);
  EXPECT_EQ(records[0].id, records[1].id);
  EXPECT_EQ(records[0].category, "video");
  EXPECT_EQ(records[2].category, "render");
  EXPECT_EQ(records[2].message, "late 3 ms");
  EXPECT_NE(records[2].id, records[0].id);
}

}  // namespace
}  // namespace vela
